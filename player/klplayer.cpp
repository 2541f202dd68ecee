#include "klplayer.h"

#include "klbass.h"
#include "klbitrates.h"
#include "klcredentials.h"
#include "klenginesyncs.h"
#include "klengineusers.h"
#include "klhandover.h"
#include "klhlsplayback.h"
#include "kllogging.h"
#include "klplayback.h"
#include "klplayerbackends.h"
#include "klplayermeter.h"
#include "klplaylistparser.h"
#include "klstreamhandle.h"

#include <QCoreApplication>
#include <QTimer>

#include <algorithm>
#include <limits>

namespace {

constexpr uint duckFadeMs = 200;
// The standby's rise when the heard stream ran dry: nothing is heard to fade out, so only long
// enough against a click.
constexpr uint handOverFadeMs = 20;
constexpr double duckFactor = 0.2;

constexpr double minusInfinity()
{
    return -std::numeric_limits<double>::infinity();
}

} // namespace

KLPlayer::KLPlayer(QObject *parent)
    : KLPlayerSimpleSource(parent)
{
    construct(nullptr);
}

KLPlayer::KLPlayer(KLNetworkAccessManager *nam, QObject *parent)
    : KLPlayerSimpleSource(parent)
{
    construct(nam);
}

void KLPlayer::construct(KLNetworkAccessManager *nam)
{
    qRegisterMetaType<HSTREAM>("HSTREAM");
    qRegisterMetaType<QWORD>("QWORD");
    qRegisterMetaType<QPointer<KLNetworkAccessManager>>();

    // The network manager.
    updateNam(nam ? nam : new KLNetworkAccessManager(this));
    if (m_nam->await())
        m_nam->setAwait(false);

    createTimers();
    m_syncs = new KLEngineSyncs(this);
    m_handOver = std::make_unique<KLHandOver>();
    connect(m_syncs, &KLEngineSyncs::notified, this, &KLPlayer::handleNotification);
    m_parser = new KLPlaylistParser(this);
    connect(m_parser, &KLPlaylistParser::parsingFinished, this, &KLPlayer::handlePlaylist);
    // The back-ends. Their signals may come from engine threads; the player's own thread
    // handles them.
    m_backends = std::make_unique<KLPlayerBackends>(this);

    // Defaults of a player.
    setIsRestarted(true);
    setState(StoppedState);
    setLevelDb(minusInfinity());
    setLoudnessMomentary(minusInfinity());
    setLoudnessShortTerm(minusInfinity());
    setPlaybackRate(1.0);
    setVolume(1.0);
    setCurrentQuality(LowQuality);
    setPlayingQuality(AutoQuality);
    updateStateHelpers();

    connectOwnSignals();
    registerPlayer();
    qCDebug(klLog) << m_name << "was created";
}

void KLPlayer::createTimers()
{
    m_meter = new KLPlayerMeter(this);
    m_restartTimer = new QTimer(this);
    m_restartTimer->setInterval(KL_PLAYER_RESTART_INTERVAL_MS);
    m_restartTimer->setSingleShot(true);
    connect(m_restartTimer, &QTimer::timeout, this, &KLPlayer::processPlay);
}

void KLPlayer::connectOwnSignals()
{
    connect(this, &KLPlayerSource::streamUrlChanged, this, &KLPlayer::handleStreamUrlChange);
    connect(this, &KLPlayerSource::stateChanged, this, &KLPlayer::updateStateHelpers);
    connect(this, &KLPlayerSource::isPlayingChanged, m_meter,
            &KLPlayerMeter::updateTimersForPlaying);
    connect(this, &KLPlayerSource::lengthChanged, this, &KLPlayer::updateIsSeekable);
    connect(this, &KLPlayerSource::startPositionChanged, m_meter,
            &KLPlayerMeter::updatePositionAndBufferedLength);
    connect(this, &KLPlayerSource::playbackRateChanged, this,
            qOverload<>(&KLPlayer::changePlaybackRate));
    connect(this, &KLPlayerSource::playbackRateChanged, m_meter,
            &KLPlayerMeter::updateTimerIntervals);
    connect(this, &KLPlayerSource::isUpdatesLevelChanged, m_meter,
            &KLPlayerMeter::updateLevelTimer);
    connect(this, &KLPlayerSource::isMeasuresLoudnessChanged, this, [this](bool isMeasures) {
        if (const HSTREAM handle = stream())
            BASS_ChannelSetAttribute(handle, BASS_ATTRIB_LOUDNESS, isMeasures ? 1 : 0);
    });
    connect(this, &KLPlayerSource::duckVolumeChanged, this, qOverload<>(&KLPlayer::changeVolume));
    connect(this, &KLPlayerSource::volumeChanged, this, qOverload<>(&KLPlayer::changeVolume));
    connect(this, &KLPlayerSource::streamsChanged, this, &KLPlayer::updateAvailableBitrates);
    connect(this, &KLPlayerSource::streamsChanged, this, &KLPlayer::updatePlayingBitrates);
    connect(this, &KLPlayerSource::currentBitrateChanged, this, &KLPlayer::updateCurrentQuality);
    connect(this, &KLPlayerSource::playingBitrateChanged, this, &KLPlayer::updatePlayingBitrates);
    connect(this, &KLPlayerSource::playingQualityChanged, this, &KLPlayer::updatePlayingBitrates);
}

void KLPlayer::registerPlayer()
{
    m_serial = quintptr(KLEngineUsers::enter());
    m_name = QStringLiteral("KLPlayer #%1").arg(m_serial);
}

KLPlayer::~KLPlayer()
{
    m_syncs->detach();
    m_handOver->detach();

    if (!isStopped())
        processStop(StoppedState, 0);

    KLEngineUsers::leave();

    qCDebug(klLog) << m_name << "was deleted";
}

QPointer<KLPushPlaybackDevice> KLPlayer::pushPlaybackDevice() const
{
    return m_backends->pushPlaybackDevice();
}

int KLPlayer::playersCount()
{
    return KLEngineUsers::count();
}

void KLPlayer::reopenOutputDevice()
{
    KLEngineUsers::reopenDevice();
}

int KLPlayer::restartIntervalMs() const
{
    return m_restartTimer->interval();
}

void KLPlayer::setRestartIntervalMs(int restartIntervalMs)
{
    m_restartTimer->setInterval(restartIntervalMs);
}

bool KLPlayer::updateNam(QPointer<KLNetworkAccessManager> nam)
{
    if (m_nam == nam)
        return false;
    m_nam = nam;
    emit namChanged(m_nam);
    return true;
}

void KLPlayer::updateStateHelpers()
{
    const State current = state();
    // Observers read "playing and not stalled" as connected, so a stall is published before the
    // playing that comes with it and ends after it: between the two notifications a stopped
    // player that starts stalled must not look connected, even for a moment.
    if (current == StalledState) {
        setIsStalled(true);
        setIsPlaying(true);
    } else {
        setIsPlaying(current == PlayingState);
        setIsStalled(false);
    }
    setIsPaused(current == PausedState);
    setIsStopped(current == StoppedState || current == ErrorState);
}

// --- Control --------------------------------------------------------------------------------

void KLPlayer::play(QUrl url)
{
    const bool wasPlaying = isPlaying();
    setStreamUrl(url);
    if (!wasPlaying)
        play();
}

void KLPlayer::play()
{
    KLEngineUsers::openDevice();

    if (isPlaying()) {
        qCDebug(klLog) << m_name << "Already playing";
        return;
    }

    if (isPaused() && stream()) {
        qCDebug(klLog) << m_name << "Play from pause";
        if (BASS_ChannelPlay(stream(), FALSE))
            setState(PlayingState);
        else
            processError(QStringLiteral("Can not play stream from pause"));
        return;
    }

    processPlay();
}

void KLPlayer::pause()
{
    if (!isPlaying()) {
        qCDebug(klLog) << m_name << "Can not pause from state" << state();
        return;
    }

    if (!isSeekable()) {
        tearDown(Release::Stop, 0, PausedState);
        return;
    }

    if (!BASS_ChannelPause(stream())) {
        processError(QStringLiteral("Can not pause stream"));
        return;
    }
    setState(PausedState);
}

void KLPlayer::stop()
{
    tearDown(Release::Stop, 0, StoppedState);
}

void KLPlayer::processStop(KLPlayerSource::State state, QWORD startBytePos)
{
    tearDown(Release::Stop, startBytePos, state);
}

void KLPlayer::tearDown(Release release, QWORD startBytePos, State targetState)
{
    QCoreApplication::processEvents();

    if (const HSTREAM handle = stream()) {
        const bool released =
            release == Release::Stop ? BASS_ChannelStop(handle) : BASS_StreamFree(handle);
        // A stream that ended has freed itself (an HLS stream at a discontinuity, for one).
        if (!released && BASS_ErrorGetCode() == BASS_ERROR_HANDLE)
            qCDebug(klLog) << m_name << "Stream had freed itself";
        else if (!released)
            qCWarning(klLog) << m_name
                             << (release == Release::Stop ? "Can not stop stream"
                                                          : "Can not free stream")
                             << KLBass::errorMessage();
    }

    m_restartTimer->stop();
    m_parser->abort();
    m_backends->stop();

    m_stream.store(0, std::memory_order_release);
    m_streamCell->store(0, std::memory_order_release);
    m_handOver->detach();
    resetStreamInfo();
    m_startBytePos = startBytePos;

    setState(targetState);
    setLength(0);
    setBufferedLength(0);
    if (m_startBytePos == 0)
        setStartPosition(0);
    if (position() != 0)
        setPositionValue(0);
    setLevel(0);
    setLevelDb(minusInfinity());
    setLoudnessMomentary(minusInfinity());
    setLoudnessShortTerm(minusInfinity());
    setMeta(QString());
}

void KLPlayer::restartKeepingPlayState()
{
    const bool wasPlaying = isPlaying();
    processStop(wasPlaying ? StalledState : StoppedState, 0);
    if (wasPlaying)
        processPlay();
}

void KLPlayer::restart()
{
    restartKeepingPlayState();
}

void KLPlayer::handleStreamUrlChange()
{
    setStreams(KLPlaylistStreams());
    restartKeepingPlayState();
}

void KLPlayer::processPlay()
{
    QCoreApplication::processEvents();

    const QUrl url = streamUrl();
    if (url.isEmpty() || !url.isValid()) {
        qCDebug(klLog) << m_name << "Stream url is not valid, stop playing";
        stop();
        return;
    }

    setState(StalledState);

    if (m_parser->isProcessing()) {
        qCWarning(klLog) << m_name << "Playlist parsing was not finished before play";
        m_parser->abort();
    }

    m_restartTimer->stop();
    m_backends->stop();

    m_parser->parse(url);
}

void KLPlayer::handlePlaylist(KLPlaylistStreams streams, bool isHls)
{
    setIsHls(isHls);
    setStreams(streams);

    if (stream())
        processStop(StalledState, 0);

    const QString scheme = streamUrl().scheme();
    const bool isPush = scheme == QLatin1String("push");
    const bool isRecord = scheme == QLatin1String("record");

    if (streams.isEmpty() && !isPush && !isRecord) {
        qCWarning(klLog) << m_name << "Playback" << KLCredentials::redacted(streamUrl())
                         << "start error, streams is empty";
    } else {
        KLPlayback *backend = m_backends->forAddress(streamUrl(), isHls);
        const HSTREAM handle = backend->start(m_startBytePos);
        // Another HLS start may have taken a handle while this one was on the stack.
        if (backend == m_backends->hls() && stream() && handle) {
            if (!BASS_StreamFree(handle))
                qCWarning(klLog) << m_name << "Can not free stream" << KLBass::errorMessage();
            return;
        }
        // Read now: the error code belongs to the back-end's last engine call on this thread.
        const QString startError = handle ? QString() : KLBass::errorMessage();
        m_stream.store(handle, std::memory_order_release);
        m_streamCell->store(handle, std::memory_order_release);

        setCurrentBitrate(backend->currentBitrate());

        if (handle) {
            startHandle();
            return;
        }
        qCWarning(klLog) << m_name << "Playback start error." << startError;
    }

    setState(StalledState);
    m_restartTimer->start();
}

void KLPlayer::startHandle()
{
    const HSTREAM handle = stream();

    BASS_CHANNELINFO info = {};
    if (!BASS_ChannelGetInfo(handle, &info)) {
        processError(QStringLiteral("Can not get channel info"));
        return;
    }
    m_streamFreq = info.freq;

    m_meter->updateLength();
    m_meter->updatePosition();
    m_meter->updateBufferedLength();
    changePlaybackRate();
    changeVolume(volumeLevel(), 0);
    BASS_ChannelSetAttribute(handle, BASS_ATTRIB_LOUDNESS, isMeasuresLoudness() ? 1 : 0);

    if (QString failed; !m_syncs->attach(handle, &failed)) {
        processError(QStringLiteral("Can not set %1 sync").arg(failed));
        return;
    }
    if (!m_handOver->attach(handle)) {
        processError(QStringLiteral("Can not set hand-over sync"));
        return;
    }

    if (!BASS_ChannelPlay(handle, FALSE)) {
        processError(QStringLiteral("Can not play stream"));
        return;
    }

    setState(BASS_ChannelIsActive(handle) == BASS_ACTIVE_PLAYING ? PlayingState : StalledState);
}

void KLPlayer::processError(QString message)
{
    // The engine's error code belongs to the failed call: read it before other events run.
    const QString fullMessage =
        KLCredentials::redacted(message + QLatin1Char(' ') + KLBass::errorMessage());

    QCoreApplication::processEvents();

    qCWarning(klLog) << m_name << fullMessage;

    tearDown(Release::Free, 0, ErrorState);

    emit error(fullMessage);

    if (isRestarted())
        m_restartTimer->start();
}

// --- Engine notifications -------------------------------------------------------------------

void KLPlayer::streamStalled(bool stalled)
{
    m_syncs->post(
        stalled ? KLEngineNotification::Kind::Stalled : KLEngineNotification::Kind::Resumed, 0);
}

void KLPlayer::streamEnd()
{
    m_syncs->post(KLEngineNotification::Kind::End, 0);
}

void KLPlayer::handleDeviceFailure()
{
    m_syncs->post(KLEngineNotification::Kind::DeviceFailure, 0);
}

void KLPlayer::handleNotification(const KLEngineNotification &queued)
{
    using Notification = KLEngineNotification::Kind;
    const Notification notification = queued.kind;
    // A stall or end of a handle that has been replaced or released meanwhile concerns a stream
    // that no longer plays; it must not touch the current one.
    const bool isCurrent = queued.handle == 0 || queued.handle == stream();

    switch (notification) {
    case Notification::Stalled:
    case Notification::Resumed:
        if (!isCurrent)
            return;
        if (notification == Notification::Resumed && stream())
            setState(PlayingState);
        else
            setState(StalledState);
        if (m_handOver->takeHandedOver())
            emit handedOver();
        return;
    case Notification::End:
        if (!isCurrent)
            return;
        // A finished HLS programme ends like a file; a live one goes on with what follows.
        if (isRestarted() && !isSeekable() && !(isHls() && m_backends->hls()->isFinished())) {
            processStop(StalledState, 0);
            if (!isHls())
                processPlay();
            else
                handlePlaylist(streams(), true);
        } else {
            processStop(StoppedState, 0);
            emit ended();
        }
        if (m_handOver->takeHandedOver())
            emit handedOver();
        return;
    case Notification::DeviceFailure:
        qCWarning(klLog) << m_name << "Device failure"
                         << KLBass::deviceFailureToString(queued.data);
        stop();
        emit deviceFailure();
        return;
    case Notification::DeviceFormat:
        qCWarning(klLog) << m_name << "Device format changed. Restarting.";
        restartKeepingPlayState();
        return;
    }
}

// --- Volume and rate ------------------------------------------------------------------------

double KLPlayer::volumeLevel()
{
    return duckVolume() ? volume() * duckFactor : volume();
}

void KLPlayer::setStandby(std::shared_ptr<const std::atomic<HSTREAM>> standby, double volume)
{
    m_handOver->arm(std::move(standby), float(volume), handOverFadeMs);
}

void KLPlayer::applyVolume()
{
    changeVolume();
}

void KLPlayer::changeVolume()
{
    changeVolume(volumeLevel(), duckFadeMs);
}

void KLPlayer::changeVolume(double volume, uint timeMs)
{
    KLStreamHandle(stream(), m_name).setVolume(volume, timeMs);
}

void KLPlayer::changePlaybackRate()
{
    KLStreamHandle(stream(), m_name).setRate(m_streamFreq, playbackRate());
}

void KLPlayer::resetStreamInfo()
{
    m_streamFreq = 0;
}

// --- Measurements ---------------------------------------------------------------------------

double KLPlayer::streamBytesToSeconds(QWORD bytes, QString name)
{
    return KLStreamHandle(stream(), m_name).seconds(bytes, name);
}

void KLPlayer::updateIsSeekable()
{
    setIsSeekable(length() > 0.001);
}

void KLPlayer::setPositionValue(double position)
{
    KLPlayerSimpleSource::setPosition(position);
}

QWORD KLPlayer::streamFilePosition(DWORD mode) const
{
    return KLStreamHandle(stream(), m_name).filePosition(mode);
}

QWORD KLPlayer::streamFilePosCurrent() const
{
    return streamFilePosition(BASS_FILEPOS_CURRENT);
}

QWORD KLPlayer::streamFilePosEnd() const
{
    return streamFilePosition(BASS_FILEPOS_END);
}

QWORD KLPlayer::streamFilePosBuffer() const
{
    return streamFilePosition(BASS_FILEPOS_BUFFER);
}

quint64 KLPlayer::receivedBytes() const
{
    return m_backends->receivedBytes();
}

// --- Seeking --------------------------------------------------------------------------------

void KLPlayer::setPosition(double position)
{
    qCDebug(klLog) << m_name << "Set position to" << position;
    changePosition(position);
}

void KLPlayer::skipForward(double duration)
{
    changePosition(std::min(position() + duration, length()));
}

void KLPlayer::skipBackward(double duration)
{
    changePosition(std::max(position() - duration, 0.0));
}

void KLPlayer::changePosition(double p)
{
    if (p < 0 || p >= length()) {
        qCDebug(klLog) << m_name << "Can not change position to invalid value" << p;
        return;
    }

    const bool inside = streamUrl().isLocalFile() ||
                        (startPosition() <= p && p < startPosition() + bufferedLength());
    const KLStreamHandle handle(stream(), m_name);
    if (inside) {
        qCDebug(klLog) << m_name << "Change position to" << p << "inside buffered area";
        handle.seek(p - startPosition());
        return;
    }

    qCDebug(klLog) << m_name << "Change position to" << p << "outside buffered area";
    const QWORD offset = handle.byteAt(p / length(), m_startBytePos);
    setStartPosition(p);
    const bool wasPlaying = isPlaying();
    processStop(wasPlaying ? StalledState : StoppedState, offset);
    if (wasPlaying)
        handlePlaylist(streams(), isHls());
}

// --- Bitrates -------------------------------------------------------------------------------

void KLPlayer::updateAvailableBitrates()
{
    setAvailableBitrates(KLBitrates::available(streams()));
}

void KLPlayer::updatePlayingBitrates()
{
    setPlayingBitrates(KLBitrates::playing(streams(), playingBitrate(), playingQuality()));
}

void KLPlayer::updateCurrentQuality()
{
    setCurrentQuality(KLBitrates::quality(currentBitrate()));
}

uint KLPlayer::bitrateByCoef(double coef) const
{
    return KLBitrates::byCoef(playingBitrates(), coef);
}

QUrl KLPlayer::streamByBitrate(uint bitrate) const
{
    return KLBitrates::streamByBitrate(streams(), bitrate);
}
