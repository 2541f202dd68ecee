#include "klplayer.h"

#include "klbass.h"
#include "klbassplayback.h"
#include "klcredentials.h"
#include "klhlsplayback.h"
#include "kllogging.h"
#include "klplaylistparser.h"
#include "klpushplayback.h"
#include "klrecordplayback.h"

#include <QCoreApplication>
#include <QHash>
#include <QRandomGenerator64>
#include <QTimer>

#include <algorithm>
#include <cmath>
#include <limits>
#include <mutex>

int KLPlayer::m_playersCount = 0;
bool KLPlayer::m_bassInitialized = false;
int KLPlayer::m_playersSerial = 0;

namespace {

constexpr int positionIntervalMs = 500;
constexpr int levelIntervalMs = 100;
constexpr uint duckFadeMs = 200;
constexpr double duckFactor = 0.2;
constexpr QWORD bassFailure = std::numeric_limits<QWORD>::max();

// Guards the engine bookkeeping: the number of living players, whether a player opened the
// device, the serial counter. Held across KLBass::configInit(), init() and free(), so that the
// device is never closed while another thread opens it or configures the engine.
std::mutex &engineMutex()
{
    static std::mutex mutex;
    return mutex;
}

// Living players by serial number. The engine calls the syncs on its own threads with the
// serial as user data; a sync that arrives while its player is being destroyed finds nothing
// here and is dropped, so no callback ever touches a deleted player.
std::mutex &registryMutex()
{
    static std::mutex mutex;
    return mutex;
}

QHash<quintptr, KLPlayer *> &registry()
{
    static QHash<quintptr, KLPlayer *> players;
    return players;
}

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
    m_parser = new KLPlaylistParser(this);
    connect(m_parser, &KLPlaylistParser::parsingFinished, this, &KLPlayer::handlePlaylist);
    createBackends();

    // Defaults of a player.
    setIsRestarted(true);
    setState(StoppedState);
    setLevelDb(minusInfinity());
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
    m_positionTimer = new QTimer(this);
    m_positionTimer->setInterval(positionIntervalMs);
    connect(m_positionTimer, &QTimer::timeout, this, &KLPlayer::updatePositionAndBufferedLength);
    m_levelTimer = new QTimer(this);
    m_levelTimer->setInterval(levelIntervalMs);
    connect(m_levelTimer, &QTimer::timeout, this, &KLPlayer::updateLevelDb);
    m_restartTimer = new QTimer(this);
    m_restartTimer->setInterval(KL_PLAYER_RESTART_INTERVAL_MS);
    m_restartTimer->setSingleShot(true);
    connect(m_restartTimer, &QTimer::timeout, this, &KLPlayer::processPlay);
}

void KLPlayer::createBackends()
{
    // The back-ends. Their signals may come from engine threads; the player's own thread
    // handles them.
    m_bassPlayback = new KLBassPlayback(this, this);
    connect(m_bassPlayback, &KLPlayback::metaUpdated, this, [this](const QString &meta) {
        if (!isHls() && isPlaying())
            setMeta(meta);
    });
    connect(m_bassPlayback, &KLPlayback::currentBitrateChanged, this, [this](uint bitrate) {
        if (!isHls())
            setCurrentBitrate(bitrate);
    });
    connect(m_bassPlayback, &KLPlayback::restartRequired, this, &KLPlayer::restart);

    m_hlsPlayback = new KLHlsPlayback(this, this);
    connect(m_hlsPlayback, &KLPlayback::metaUpdated, this, [this](const QString &meta) {
        if (isHls() && isPlaying())
            setMeta(meta);
    });
    connect(m_hlsPlayback, &KLPlayback::currentBitrateChanged, this, [this](uint bitrate) {
        if (isHls())
            setCurrentBitrate(bitrate);
    });
    connect(m_hlsPlayback, &KLHlsPlayback::error, this, &KLPlayer::processError);

    m_pushPlayback = new KLPushPlayback(this, this);
    m_recordPlayback = new KLRecordPlayback(this, this);
}

void KLPlayer::connectOwnSignals()
{
    connect(this, &KLPlayerSource::streamUrlChanged, this, &KLPlayer::handleStreamUrlChange);
    connect(this, &KLPlayerSource::stateChanged, this, &KLPlayer::updateStateHelpers);
    connect(this, &KLPlayerSource::isPlayingChanged, this, &KLPlayer::updateTimersForPlaying);
    connect(this, &KLPlayerSource::lengthChanged, this, &KLPlayer::updateIsSeekable);
    connect(this, &KLPlayerSource::startPositionChanged, this,
            &KLPlayer::updatePositionAndBufferedLength);
    connect(this, &KLPlayerSource::playbackRateChanged, this,
            qOverload<>(&KLPlayer::changePlaybackRate));
    connect(this, &KLPlayerSource::playbackRateChanged, this, &KLPlayer::updateTimerIntervals);
    connect(this, &KLPlayerSource::isUpdatesLevelChanged, this, &KLPlayer::updateLevelTimer);
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
    // The engine is configured by the first player of the process.
    {
        std::lock_guard locker(engineMutex());
        if (m_playersCount == 0)
            KLBass::configInit();
        ++m_playersCount;
        m_serial = quintptr(++m_playersSerial);
    }
    m_name = QStringLiteral("KLPlayer #%1").arg(m_serial);
    {
        std::lock_guard locker(registryMutex());
        registry().insert(m_serial, this);
    }
}

KLPlayer::~KLPlayer()
{
    {
        std::lock_guard locker(registryMutex());
        registry().remove(m_serial);
    }

    if (!isStopped())
        processStop(StoppedState, 0);

    {
        std::lock_guard locker(engineMutex());
        --m_playersCount;
        if (m_playersCount == 0 && m_bassInitialized) {
            KLBass::free();
            m_bassInitialized = false;
        }
    }

    qCDebug(klLog) << m_name << "was deleted";
}

QPointer<KLPushPlaybackDevice> KLPlayer::pushPlaybackDevice() const
{
    return m_pushPlayback->pushPlaybackDevice();
}

int KLPlayer::playersCount()
{
    std::lock_guard locker(engineMutex());
    return m_playersCount;
}

void KLPlayer::reopenOutputDevice()
{
    std::lock_guard locker(engineMutex());
    if (!m_bassInitialized)
        return;
    KLBass::free();
    KLBass::init();
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
    {
        std::lock_guard locker(engineMutex());
        if (!m_bassInitialized) {
            KLBass::init();
            m_bassInitialized = true;
        }
    }

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
        if (release == Release::Stop) {
            if (!BASS_ChannelStop(handle))
                qCWarning(klLog) << m_name << "Can not stop stream" << KLBass::errorMessage();
        } else {
            if (!BASS_StreamFree(handle))
                qCWarning(klLog) << m_name << "Can not free stream" << KLBass::errorMessage();
        }
    }

    m_restartTimer->stop();
    m_parser->abort();
    stopBackends();

    m_stream.store(0, std::memory_order_release);
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
    setMeta(QString());
}

void KLPlayer::stopBackends()
{
    m_bassPlayback->stop();
    m_hlsPlayback->stop();
    m_pushPlayback->stop();
    m_recordPlayback->stop();
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
    stopBackends();

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
        KLPlayback *backend = nullptr;
        HSTREAM handle = 0;
        if (isPush) {
            backend = m_pushPlayback;
            handle = m_pushPlayback->start(m_startBytePos);
        } else if (isRecord) {
            backend = m_recordPlayback;
            handle = m_recordPlayback->start(m_startBytePos);
        } else if (isHls) {
            backend = m_hlsPlayback;
            handle = m_hlsPlayback->start(m_startBytePos);
            // Another start may have taken a handle while this one was on the stack.
            if (stream() && handle) {
                if (!BASS_StreamFree(handle))
                    qCWarning(klLog) << m_name << "Can not free stream" << KLBass::errorMessage();
                return;
            }
        } else {
            backend = m_bassPlayback;
            handle = m_bassPlayback->start(m_startBytePos);
        }
        // Read now: the error code belongs to the back-end's last engine call on this thread.
        const QString startError = handle ? QString() : KLBass::errorMessage();
        m_stream.store(handle, std::memory_order_release);

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

    updateLength();
    updatePosition();
    updateBufferedLength();
    changePlaybackRate();
    changeVolume(volumeLevel(), 0);

    struct SyncSetting
    {
        DWORD type;
        SYNCPROC *proc;
        const char *name;
    };
    static constexpr SyncSetting syncs[] = {
        {BASS_SYNC_STALL, &KLPlayer::bassStallSync, "stall"},
        {BASS_SYNC_END, &KLPlayer::bassEndSync, "end"},
        {BASS_SYNC_DEV_FAIL, &KLPlayer::bassDevFailSync, "dev fail"},
        {BASS_SYNC_DEV_FORMAT, &KLPlayer::bassDevFormatSync, "dev format"},
    };
    for (const SyncSetting &sync : syncs) {
        if (!BASS_ChannelSetSync(handle, sync.type, 0, sync.proc, syncUser())) {
            processError(QStringLiteral("Can not set %1 sync").arg(QLatin1String(sync.name)));
            return;
        }
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

void *KLPlayer::syncUser() const
{
    return reinterpret_cast<void *>(m_serial);
}

void KLPlayer::postNotification(void *user, Notification notification, DWORD channel, DWORD data)
{
    std::lock_guard locker(registryMutex());
    if (KLPlayer *player = registry().value(reinterpret_cast<quintptr>(user)))
        player->queueNotification(notification, channel, data);
}

void KLPlayer::queueNotification(Notification notification, HSTREAM handle, DWORD data)
{
    {
        std::lock_guard locker(m_notificationsMutex);
        m_notifications.push_back({notification, handle, data});
    }
    // Posted by name: nothing made on the calling thread is read on the player's thread except
    // through the queue above.
    QMetaObject::invokeMethod(this, "processNotifications", Qt::QueuedConnection);
}

void KLPlayer::processNotifications()
{
    std::vector<QueuedNotification> notifications;
    {
        std::lock_guard locker(m_notificationsMutex);
        notifications.swap(m_notifications);
    }
    for (const QueuedNotification &queued : notifications)
        handleNotification(queued);
}

void KLPlayer::bassStallSync(HSYNC, DWORD channel, DWORD data, void *user)
{
    postNotification(user, data == 0 ? Notification::Stalled : Notification::Resumed, channel);
}

void KLPlayer::bassEndSync(HSYNC, DWORD channel, DWORD, void *user)
{
    postNotification(user, Notification::End, channel);
}

void KLPlayer::bassDevFailSync(HSYNC, DWORD channel, DWORD data, void *user)
{
    postNotification(user, Notification::DeviceFailure, channel, data);
}

void KLPlayer::bassDevFormatSync(HSYNC, DWORD channel, DWORD, void *user)
{
    postNotification(user, Notification::DeviceFormat, channel);
}

void KLPlayer::streamStalled(bool stalled)
{
    queueNotification(stalled ? Notification::Stalled : Notification::Resumed, 0);
}

void KLPlayer::streamEnd()
{
    queueNotification(Notification::End, 0);
}

void KLPlayer::handleDeviceFailure()
{
    queueNotification(Notification::DeviceFailure, 0);
}

void KLPlayer::handleNotification(const QueuedNotification &queued)
{
    const Notification notification = queued.notification;
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
        return;
    case Notification::End:
        if (!isCurrent)
            return;
        // A finished HLS programme ends like a file; a live one goes on with what follows.
        if (isRestarted() && !isSeekable() && !(isHls() && m_hlsPlayback->isFinished())) {
            processStop(StalledState, 0);
            if (!isHls())
                processPlay();
            else
                handlePlaylist(streams(), true);
        } else {
            processStop(StoppedState, 0);
            emit ended();
        }
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

void KLPlayer::changeVolume()
{
    changeVolume(volumeLevel(), duckFadeMs);
}

void KLPlayer::changeVolume(double volume, uint timeMs)
{
    const HSTREAM handle = stream();
    if (!handle)
        return;

    if (timeMs != 0) {
        if (!BASS_ChannelSlideAttribute(handle, BASS_ATTRIB_VOL, float(volume), timeMs))
            qCWarning(klLog) << m_name << "Can not slide volume to" << volume << "with fade"
                             << timeMs << "ms" << KLBass::errorMessage();
    } else {
        if (!BASS_ChannelSetAttribute(handle, BASS_ATTRIB_VOL, float(volume)))
            qCWarning(klLog) << m_name << "Can not change volume to" << volume << "without fade"
                             << KLBass::errorMessage();
    }
}

void KLPlayer::changePlaybackRate()
{
    const double rate = playbackRate();
    if (rate <= 0) {
        qCWarning(klLog) << m_name << "Can not change playback rate to invalid value" << rate;
        return;
    }
    if (m_streamFreq == 0) {
        qCWarning(klLog) << m_name << "Can not change playback rate to invalid stream info freq"
                         << m_streamFreq;
        return;
    }
    if (!BASS_ChannelSetAttribute(stream(), BASS_ATTRIB_FREQ, float(m_streamFreq * rate)))
        qCWarning(klLog) << m_name << "Can not change playback rate to" << rate
                         << KLBass::errorMessage();
}

void KLPlayer::resetStreamInfo()
{
    m_streamFreq = 0;
}

// --- Timers ---------------------------------------------------------------------------------

void KLPlayer::updateTimersForPlaying(bool isPlaying)
{
    if (isPlaying) {
        m_positionTimer->start();
        if (isUpdatesLevel())
            m_levelTimer->start();
    } else {
        m_positionTimer->stop();
        m_levelTimer->stop();
    }
}

void KLPlayer::updateLevelTimer(bool isUpdatesLevel)
{
    if (!isUpdatesLevel)
        m_levelTimer->stop();
    else if (isPlaying())
        m_levelTimer->start();
}

void KLPlayer::updateTimerIntervals(double rate)
{
    // A rate of 0 or less is refused by changePlaybackRate(); the timers keep their pace.
    if (!(rate > 0))
        return;
    const auto interval = [rate](int baseMs) {
        const double ms = std::trunc(baseMs / rate);
        return int(std::clamp(ms, 1.0, double(std::numeric_limits<int>::max())));
    };
    m_positionTimer->setInterval(interval(positionIntervalMs));
    m_levelTimer->setInterval(interval(levelIntervalMs));
}

// --- Measurements ---------------------------------------------------------------------------

double KLPlayer::streamBytesToSeconds(QWORD bytes, QString name)
{
    const HSTREAM handle = stream();
    if (!handle)
        return 0;
    if (bytes == bassFailure) {
        if (!name.isEmpty())
            qCDebug(klLog) << m_name << "Can not get" << name << "from stream"
                           << KLBass::errorMessage();
        return 0;
    }
    const double seconds = BASS_ChannelBytes2Seconds(handle, bytes);
    return seconds > 0 ? seconds : 0;
}

void KLPlayer::updateLength()
{
    const HSTREAM handle = stream();
    if (!isHls() && handle)
        setLength(startPosition() +
                  streamBytesToSeconds(BASS_ChannelGetLength(handle, BASS_POS_BYTE)));
    else
        setLength(0);
}

void KLPlayer::updatePosition()
{
    const HSTREAM handle = stream();
    const QWORD bytes = handle ? BASS_ChannelGetPosition(handle, BASS_POS_BYTE) : bassFailure;
    const double p = startPosition() + streamBytesToSeconds(bytes, QStringLiteral("position"));
    if (p != position())
        setPositionValue(p);
}

void KLPlayer::updateBufferedLength()
{
    const QWORD buffered = streamFilePosition(BASS_FILEPOS_BUFFER);
    const QWORD end = streamFilePosition(BASS_FILEPOS_END);
    if (buffered == 0 || end == 0) {
        setBufferedLength(0);
        return;
    }
    double seconds = (length() - startPosition()) * double(buffered) / double(end);
    seconds = std::min(std::max(seconds, 0.0), length() - position());
    // A live stream's position runs past its length of 0: never report a negative amount.
    setBufferedLength(std::max(seconds, 0.0));
}

void KLPlayer::updatePositionAndBufferedLength()
{
    updatePosition();
    updateBufferedLength();
}

void KLPlayer::updateIsSeekable()
{
    setIsSeekable(length() > 0.001);
}

void KLPlayer::setPositionValue(double position)
{
    KLPlayerSimpleSource::setPosition(position);
}

void KLPlayer::updateLevelDb()
{
    const HSTREAM handle = stream();
    if (isPlaying() && handle) {
        float level = 0;
        if (!BASS_ChannelGetLevelEx(handle, &level, 0.02f, BASS_LEVEL_MONO | BASS_LEVEL_RMS))
            level = 0;
        setLevel(level);
        setLevelDb(level > 0 ? double(20.0f * std::log10(level)) : minusInfinity());
    } else {
        setLevel(0);
        setLevelDb(minusInfinity());
    }
}

QWORD KLPlayer::streamFilePosition(DWORD mode) const
{
    const HSTREAM handle = stream();
    if (!handle)
        return 0;
    const QWORD result = BASS_StreamGetFilePosition(handle, mode);
    return result == bassFailure ? 0 : result;
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
    const HSTREAM handle = stream();

    if (inside) {
        qCDebug(klLog) << m_name << "Change position to" << p << "inside buffered area";
        const double seconds = p - startPosition();
        const QWORD bytes = BASS_ChannelSeconds2Bytes(handle, seconds);
        if (bytes == bassFailure) {
            qCWarning(klLog) << m_name << "Can not convert position" << seconds << "to bytes"
                             << KLBass::errorMessage();
            return;
        }
        if (!BASS_ChannelSetPosition(handle, bytes, BASS_POS_BYTE))
            qCWarning(klLog) << m_name << "Can not change position to" << seconds
                             << KLBass::errorMessage();
        return;
    }

    qCDebug(klLog) << m_name << "Change position to" << p << "outside buffered area";
    const QWORD start = handle ? BASS_StreamGetFilePosition(handle, BASS_FILEPOS_START) : 0;
    const QWORD end = handle ? BASS_StreamGetFilePosition(handle, BASS_FILEPOS_END) : 0;
    QWORD offset = 0;
    // A start of 0 is a file whose audio begins at its first byte, not a failure.
    if (start == bassFailure || end == 0 || end == bassFailure || end <= start) {
        qCWarning(klLog) << m_name
                         << "Can not change position cause can not get filepos end from stream"
                         << KLBass::errorMessage() << "fallback to zero position" << 0;
    } else {
        const double fraction = std::clamp(p / length(), 0.0, 1.0);
        offset = QWORD(double(m_startBytePos + (end - start)) * fraction + double(start));
    }

    setStartPosition(p);
    const bool wasPlaying = isPlaying();
    processStop(wasPlaying ? StalledState : StoppedState, offset);
    if (wasPlaying)
        handlePlaylist(streams(), isHls());
}

// --- Bitrates -------------------------------------------------------------------------------

void KLPlayer::updateAvailableBitrates()
{
    const KLPlaylistStreams current = streams();
    QList<quint32> bitrates;
    for (auto it = current.keyBegin(); it != current.keyEnd(); ++it) {
        if (!bitrates.contains(*it))
            bitrates.append(*it);
    }
    setAvailableBitrates(bitrates);
}

void KLPlayer::updatePlayingBitrates()
{
    const KLPlaylistStreams current = streams();
    if (current.isEmpty()) {
        setPlayingBitrates({});
        return;
    }

    constexpr uint noUpperBound = std::numeric_limits<uint>::max();
    uint lower = 0;
    uint upper = noUpperBound;
    if (playingBitrate() != 0) {
        lower = upper = playingBitrate();
    } else {
        switch (playingQuality()) {
        case AutoQuality:
            break;
        case HighQuality:
            lower = KL_PLAYER_HIGH_QUALITY_BITRATE;
            break;
        case MidQuality:
            lower = KL_PLAYER_MID_QUALITY_BITRATE;
            upper = KL_PLAYER_HIGH_QUALITY_BITRATE;
            break;
        case LowQuality:
            upper = KL_PLAYER_MID_QUALITY_BITRATE;
            break;
        }
    }

    QList<quint32> keys;
    for (auto it = current.keyBegin(); it != current.keyEnd(); ++it) {
        if (!keys.contains(*it))
            keys.append(*it);
    }

    QList<quint32> collected;
    for (const quint32 key : std::as_const(keys)) {
        if (lower <= key && key < upper)
            collected.append(key);
    }

    if (collected.isEmpty()) {
        const uint middle = lower + (upper - lower) / 2;
        const auto distance = [middle](quint32 key) {
            return key > middle ? quint64(key - middle) : quint64(middle - key);
        };
        quint32 best = keys.first();
        for (const quint32 key : std::as_const(keys)) {
            if (distance(key) < distance(best))
                best = key;
        }
        collected.append(best);
    }

    std::sort(collected.begin(), collected.end());
    setPlayingBitrates(collected);
}

void KLPlayer::updateCurrentQuality()
{
    const uint bitrate = currentBitrate();
    if (bitrate == 0 || bitrate == std::numeric_limits<uint>::max())
        setCurrentQuality(AutoQuality);
    else if (bitrate < KL_PLAYER_MID_QUALITY_BITRATE)
        setCurrentQuality(LowQuality);
    else if (bitrate < KL_PLAYER_HIGH_QUALITY_BITRATE)
        setCurrentQuality(MidQuality);
    else
        setCurrentQuality(HighQuality);
}

uint KLPlayer::bitrateByCoef(double coef) const
{
    const QList<quint32> bitrates = playingBitrates();
    const qsizetype count = bitrates.size();
    if (count == 0)
        return 0;
    const double k = std::clamp(coef, 0.0, 1.0);
    const qsizetype index =
        std::clamp(qsizetype(std::floor(double(count) * k)), qsizetype(0), count - 1);
    return bitrates.at(index);
}

QUrl KLPlayer::streamByBitrate(uint bitrate) const
{
    const QList<QUrl> urls = streams().values(bitrate);
    if (urls.isEmpty())
        return QUrl();
    return urls.at(qsizetype(QRandomGenerator64::global()->bounded(qint64(urls.size()))));
}
