#include "vcsource.h"

#include "klcredentials.h"
#include "klnetworkaccessmanager.h"
#include "klplayer.h"
#include "vcassign.h"
#include "vchub.h"
#include "vcidentity.h"
#include "vcstepqueue.h"

#include <QDateTime>
#include <QDebug>

#include <chrono>
#include <cmath>
#include <condition_variable>
#include <limits>
#include <mutex>

using VC::assign;

namespace {

constexpr double minusInfinity = -std::numeric_limits<double>::infinity();

qint64 nowMs()
{
    return QDateTime::currentMSecsSinceEpoch();
}

// The failback hold's clock: monotonic, so that a change of the wall clock neither ends nor
// stretches a hold.
qint64 steadyMs()
{
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

bool isRecordAddress(const QUrl &url)
{
    return url.scheme() == QLatin1String("record");
}

} // namespace

VCSource::VCSource(VCHub *hub, const QUrl &streamUrl, double volumeLevel, QObject *parent)
    : QObject(parent)
    , m_hub(hub)
    , m_streamUrl(streamUrl)
    , m_volumeLevel(volumeLevel)
    , m_isRecordDevice(isRecordAddress(streamUrl))
    , m_avgLevelDb(minusInfinity)
    , m_loudnessLufs(minusInfinity)
{
    if (m_hub)
        followHub();
    logChanges();
    m_soundByLevelChangedMs = nowMs();
    connect(this, &VCSource::levelChanged, this, &VCSource::calculateAvgLevel);

    m_lastLevelDb = 0;
    m_lastLevelDbChangedMs = nowMs();
    connect(this, &VCSource::levelDbChanged, this, &VCSource::updateSilentState);

    updateSilentState();
    initPlayer();
    startMonitor();

    m_startGraceTimer.setSingleShot(true);
    connect(&m_startGraceTimer, &QTimer::timeout, this, [this] { updateIsStarting(false); });

    m_playerThread.setObjectName(QStringLiteral("VCSource player"));
    m_playerThread.start();
}

void VCSource::followHub()
{
    connect(m_hub, &VCHub::silenceDetectionLevelDbChanged, this, [this](double value) {
        m_silenceLevelDb = value;
        updateSilentState();
    });
    connect(m_hub, &VCHub::silenceDetectionStartMsChanged, this, [this](int value) {
        m_silenceStartMs = value;
        updateSilentState();
    });
    connect(m_hub, &VCHub::silenceDetectionEndMsChanged, this, [this](int value) {
        m_silenceEndMs = value;
        updateSilentState();
    });
    m_silenceLevelDb = m_hub->silenceDetectionLevelDb();
    m_silenceStartMs = m_hub->silenceDetectionStartMs();
    m_silenceEndMs = m_hub->silenceDetectionEndMs();

    const auto applyFailbackTiming = [this] {
        VCFailbackHold::Timing timing;
        timing.firstHoldMs = m_hub->failbackHoldMs();
        timing.maxHoldMs = m_hub->failbackHoldMaxMs();
        m_failbackHold.setTiming(timing);
        updateFailbackHold();
    };
    connect(m_hub, &VCHub::failbackHoldMsChanged, this, applyFailbackTiming);
    applyFailbackTiming();

    connect(m_hub, &VCHub::loudnessMatchChanged, this, &VCSource::applyLoudnessMatch);
    connect(m_hub, &VCHub::loudnessTargetLufsChanged, this, &VCSource::applyLoudnessMatch);
    m_isMatchingLoudness = m_hub->loudnessMatch();
    m_loudnessMatch.setTargetLufs(m_hub->loudnessTargetLufs());
}

void VCSource::logChanges()
{
    m_activityChangedMs = nowMs();
    connect(this, &VCSource::isActiveChanged, this, [this](bool value) {
        qInfo() << "Source" << sourceName() << "isActive changed to" << value;
        m_activityChangedMs = nowMs();
    });
    m_connectionChangedMs = nowMs();
    connect(this, &VCSource::isConnectedChanged, this, [this](bool value) {
        qInfo() << "Source" << sourceName() << "isConnected changed to" << value;
        m_connectionChangedMs = nowMs();
    });
    connect(this, &VCSource::isConnectedChanged, this, &VCSource::handleConnectedChange);
    connect(this, &VCSource::isHeldBackChanged, this, [this](bool value) {
        qInfo() << "Source" << sourceName() << "isHeldBack changed to" << value;
    });
    m_soundChangedMs = nowMs();
    connect(this, &VCSource::isSilentSoundChanged, this, [this](bool value) {
        qInfo() << "Source" << sourceName() << "isSilentSound changed to" << value;
        m_soundChangedMs = nowMs();
    });
}

void VCSource::startMonitor()
{
    m_monitorTimer.setInterval(monitorIntervalMs);
    connect(&m_monitorTimer, &QTimer::timeout, this, [this] {
        // A level that stays put (true silence is exactly 0) sends no more changes; without a
        // sample the average would keep showing the sound that went before it.
        if (!m_levelSampledSinceTick)
            calculateAvgLevel(m_level);
        m_levelSampledSinceTick = false;
        updateSilentState();
        updateFailbackHold();
    });
    // Every source ticks on the same grid of the monotonic clock, so that what the ticks change
    // on the window (durations, silence) is drawn in one frame for all sources, not one each.
    m_monitorTimer.setTimerType(Qt::PreciseTimer);
    QTimer::singleShot(monitorIntervalMs - steadyMs() % monitorIntervalMs, Qt::PreciseTimer,
                       &m_monitorTimer, qOverload<>(&QTimer::start));
}

KLPlayer *VCSource::playerForTesting() const
{
    return m_player;
}

VCSource::~VCSource()
{
    if (m_player)
        stopSync();
    m_playerThread.quit();
    m_playerThread.wait();
}

QString VCSource::sourceName() const
{
    if (!m_player)
        return QStringLiteral("Unnamed source");
    return m_player->playerName() + QLatin1Char(' ') + KLCredentials::redacted(m_streamUrl);
}

quint64 VCSource::receivedBytes() const
{
    // The player is deleted only after its thread has finished, in the destructor; its count
    // may be read from any thread.
    return m_player ? m_player->receivedBytes() : 0;
}

void VCSource::initPlayer()
{
    auto *player = new KLPlayer(static_cast<QObject *>(nullptr));
    m_player = player;
    player->setIsUpdatesLevel(true);
    if (KLNetworkAccessManager *nam = player->nam())
        nam->setReferer(QString::fromLatin1(VCIdentity::organizationDomain));

    player->moveToThread(&m_playerThread);
    connect(&m_playerThread, &QThread::finished, player, &QObject::deleteLater);
    m_playerSteps = new VCStepQueue;
    m_playerSteps->moveToThread(&m_playerThread);
    connect(&m_playerThread, &QThread::finished, m_playerSteps, &QObject::deleteLater);
    m_mainSteps = new VCStepQueue(this);
    connect(player, &KLPlayer::deviceFailure, this, &VCSource::deviceFailure);
    // A start that fails holds no source behind it back any longer.
    connect(
        player, &KLPlayer::error, this, [this] { updateIsStarting(false); }, Qt::QueuedConnection);

    const QUrl url = m_streamUrl;
    postToPlayer([url](KLPlayer *p) { p->setStreamUrl(url); });
    connect(player, &KLPlayer::streamUrlChanged, this, &VCSource::updateStreamUrl,
            Qt::QueuedConnection);

    m_isActive = false;
    postToPlayer([](KLPlayer *p) { p->setVolume(0.0); });
    connect(this, &VCSource::isActiveChanged, this, &VCSource::handleActiveUpdate);
    connect(this, &VCSource::volumeLevelChanged, this, &VCSource::handleVolumeLevelUpdate);
    connect(player, &KLPlayer::handedOver, this, &VCSource::handedOver, Qt::QueuedConnection);

    m_isRecordDevice = isRecordAddress(m_streamUrl);

    // The thread has not started yet, so reading the player here races with nothing.
    connect(player, &KLPlayer::isPlayingChanged, this, &VCSource::updateIsPlaying,
            Qt::QueuedConnection);
    connect(player, &KLPlayer::isStalledChanged, this, &VCSource::updateIsStalled,
            Qt::QueuedConnection);
    m_isPlaying = player->isPlaying();
    m_isStalled = player->isStalled();

    connect(this, &VCSource::isPlayingChanged, this, &VCSource::updateIsConnected,
            Qt::QueuedConnection);
    connect(this, &VCSource::isStalledChanged, this, &VCSource::updateIsConnected,
            Qt::QueuedConnection);
    updateIsConnected();

    m_level = player->level();
    connect(player, &KLPlayer::levelChanged, this, &VCSource::updateLevel, Qt::QueuedConnection);
    m_levelDb = player->levelDb();
    connect(player, &KLPlayer::levelDbChanged, this, &VCSource::updateLevelDb,
            Qt::QueuedConnection);
    // Measured always (the main view shows it); matching uses it only when the hub says so.
    postToPlayer([](KLPlayer *p) { p->setIsMeasuresLoudness(true); });
    connect(player, &KLPlayer::loudnessShortTermChanged, this, &VCSource::updateLoudnessLufs,
            Qt::QueuedConnection);
    m_currentBitrate = player->currentBitrate();
    connect(player, &KLPlayer::currentBitrateChanged, this, &VCSource::updateCurrentBitrate,
            Qt::QueuedConnection);

    m_isSilentSound = true;
    m_soundByLevelDurationMs = 0;
}

void VCSource::postToPlayer(std::function<void(KLPlayer *)> step)
{
    KLPlayer *player = m_player;
    if (!player)
        return;
    m_playerSteps->post([player, step = std::move(step)] { step(player); });
}

void VCSource::handBack(std::function<void()> step)
{
    m_mainSteps->post(std::move(step));
}

// Player-thread steps. They read nothing of this object but what was copied for them; their
// results reach the properties through handBack().

void VCSource::playInPlayerThread(const QUrl &streamUrl, quint64 command)
{
    KLPlayer *player = m_player;
    // Every start logs here, whether it comes from play(), restart() or a stuck level. The name
    // is read from the player: this object's own address belongs to the main thread.
    const QString name =
        player->playerName() + QLatin1Char(' ') + KLCredentials::redacted(player->streamUrl());
    if (streamUrl.isEmpty()) {
        qInfo() << "Source" << name << "start playing";
        player->play();
    } else {
        qInfo() << "Source" << name << "start playing" << KLCredentials::redacted(streamUrl);
        player->play(streamUrl);
    }
    const bool recordDevice = isRecordAddress(player->streamUrl());
    // A player that was playing and goes on (the same address again) is not disconnected; a
    // later command may still disconnect it.
    const bool stillPlaying = player->isPlaying() && !player->isStalled();
    handBack([this, recordDevice, stillPlaying, command] {
        updateIsRecordDevice(recordDevice);
        if (stillPlaying && command == m_lastCommand) {
            m_isDisconnectionExpected = false;
            updateIsStarting(false);
        }
    });
}

void VCSource::stopInPlayerThread()
{
    m_player->stop();
    handBack([this] { resetAfterStop(); });
}

void VCSource::restartInPlayerThread()
{
    stopInPlayerThread();
    // Stopped first: the play cannot find the player still playing.
    playInPlayerThread(QUrl(), 0);
}

void VCSource::resetAfterStop()
{
    const qint64 now = nowMs();
    m_activityChangedMs = now;
    m_connectionChangedMs = now;
    m_soundChangedMs = now;
    m_soundByLevelChangedMs = now;
    updateAvgLevel(0);
    updateAvgLevelDb(minusInfinity);
    m_levelWindow.clear();
    m_loudnessMatch.reset();
    m_lastLevelDb = 0;
    m_lastLevelDbChangedMs = now;
}

quint64 VCSource::expectDisconnection()
{
    m_isDisconnectionExpected = true;
    return ++m_lastCommand;
}

void VCSource::handleConnectedChange(bool isConnected)
{
    const qint64 now = steadyMs();
    if (isConnected) {
        updateIsStarting(false);
        m_isDisconnectionExpected = false;
        m_failbackHold.connect(now);
    } else {
        m_failbackHold.disconnect(now);
        if (!m_isDisconnectionExpected)
            emit connectionLost();
    }
    updateFailbackHold();
}

void VCSource::holdBack()
{
    m_failbackHold.loseConnection(steadyMs());
    if (m_failbackHold.timing().firstHoldMs > 0) {
        qInfo() << "Source" << sourceName() << "lost its connection, hold"
                << m_failbackHold.holdMs() << "ms";
    }
    updateFailbackHold();
}

void VCSource::updateFailbackHold()
{
    const qint64 now = steadyMs();
    updateHeldBackRemainingMs(m_failbackHold.remainingMs(now));
    updateIsHeldBack(m_failbackHold.isHeldBack(now));
}

void VCSource::beginStart()
{
    // A recording device is connected at all times: it has no start to wait for.
    const int graceMs = m_hub ? m_hub->startupGraceMs() : 0;
    if (graceMs > 0 && !m_isRecordDevice)
        updateIsStarting(true);
}

void VCSource::play(const QUrl &streamUrl)
{
    if (!m_player)
        return;
    m_shouldPlay = true;
    beginStart();
    const quint64 command = expectDisconnection();
    postToPlayer(
        [this, streamUrl, command](KLPlayer *) { playInPlayerThread(streamUrl, command); });
}

void VCSource::play()
{
    play(QUrl());
}

void VCSource::stop()
{
    m_shouldPlay = false;
    updateIsStarting(false);
    expectDisconnection();
    postToPlayer([this](KLPlayer *) { stopInPlayerThread(); });
}

void VCSource::stopSync()
{
    m_shouldPlay = false;
    updateIsStarting(false);
    expectDisconnection();
    if (!m_player || !m_playerThread.isRunning())
        return;
    std::mutex mutex;
    std::condition_variable stopped;
    bool done = false;
    std::unique_lock locker(mutex);
    postToPlayer([&](KLPlayer *) {
        stopInPlayerThread();
        std::lock_guard stepLocker(mutex);
        done = true;
        stopped.notify_all();
    });
    stopped.wait(locker, [&] { return done; });
}

void VCSource::restart()
{
    m_shouldPlay = true;
    beginStart();
    postRestart();
}

void VCSource::postRestart()
{
    if (!m_player)
        return;
    expectDisconnection();
    qInfo() << sourceName() << "Restart source";
    postToPlayer([this](KLPlayer *) { restartInPlayerThread(); });
}

// Volume routing: only the active source is heard.

void VCSource::handleActiveUpdate(bool)
{
    applyPlayerVolume();
}

void VCSource::handleVolumeLevelUpdate(double)
{
    applyPlayerVolume();
}

void VCSource::applyPlayerVolume()
{
    updatePlayerVolume(m_isActive ? m_volumeLevel * m_loudnessGain : 0.0);
}

void VCSource::applyLoudnessMatch()
{
    if (m_hub) {
        m_isMatchingLoudness = m_hub->loudnessMatch();
        m_loudnessMatch.setTargetLufs(m_hub->loudnessTargetLufs());
    }
    if (!m_isMatchingLoudness) {
        updateLoudnessGain(1);
        return;
    }
    // Small steps are left out: each one is a volume command to the player.
    const double gain = m_loudnessMatch.gain();
    if (std::abs(20 * std::log10(gain / m_loudnessGain)) >= minGainStepDb)
        updateLoudnessGain(gain);
}

void VCSource::updatePlayerVolume(double volumeLevel)
{
    postToPlayer([volumeLevel](KLPlayer *p) { p->setVolume(volumeLevel); });
}

void VCSource::reapplyVolume()
{
    postToPlayer([](KLPlayer *p) { p->applyVolume(); });
}

void VCSource::setStandby(VCSource *standby)
{
    const double volume = standby ? standby->heardVolume() : 0;
    if (standby == m_standby && volume == m_standbyVolume)
        return;
    m_standby = standby;
    m_standbyVolume = volume;
    // Any thread may arm the player; both players live as long as their sources.
    if (m_player)
        m_player->setStandby(
            standby && standby->m_player ? standby->m_player->streamCell() : nullptr, volume);
}

bool VCSource::updateIsConnected()
{
    if (!m_player)
        return false;
    const bool connected = m_isRecordDevice || (m_isPlaying && !m_isStalled);
    return assign(this, m_isConnected, connected, &VCSource::isConnectedChanged);
}

void VCSource::calculateAvgLevel(double level)
{
    m_levelSampledSinceTick = true;
    const double sample = level * m_volumeLevel;
    m_levelWindow.append(sample);
    double oldest = 0;
    if (m_levelWindow.size() > levelWindowSize)
        oldest = m_levelWindow.takeFirst();
    updateAvgLevel(m_avgLevel - oldest / levelWindowSize + sample / levelWindowSize);
    updateAvgLevelDb(m_avgLevel > 0 ? 20 * std::log10(m_avgLevel) : minusInfinity);
}

void VCSource::updateSilentState()
{
    const qint64 now = nowMs();
    const bool silentByLevel = m_silenceLevelDb >= m_levelDb;
    if (silentByLevel != m_isSilentSoundByLevel) {
        m_soundByLevelChangedMs = now;
        updateIsSilentSoundByLevel(silentByLevel);
    }

    updateActivityDurationMs(now - m_activityChangedMs);
    updateConnectionDurationMs(now - m_connectionChangedMs);
    updateSoundDurationMs(now - m_soundChangedMs);
    updateSoundByLevelDurationMs(now - m_soundByLevelChangedMs);

    if (!m_isSilentSound && m_isSilentSoundByLevel && m_soundByLevelDurationMs >= m_silenceStartMs)
        updateIsSilentSound(true);
    else if (m_isSilentSound && !m_isSilentSoundByLevel &&
             m_soundByLevelDurationMs >= m_silenceEndMs)
        updateIsSilentSound(false);

    // A level that has not moved for five minutes means a stuck player. A source stopped on
    // purpose (logout) is left alone: restarting it would play with an ended session.
    if (m_levelDb != m_lastLevelDb)
        m_lastLevelDbChangedMs = now;
    m_lastLevelDb = m_levelDb;
    if (m_shouldPlay && now - m_lastLevelDbChangedMs >= m_stuckIntervalMs) {
        qWarning() << "Source" << sourceName() << "was stuck, restarting";
        m_lastLevelDbChangedMs = now;
        postRestart();
    }
}

// Property writers.

bool VCSource::setIsActive(bool isActive)
{
    return assign(this, m_isActive, isActive, &VCSource::isActiveChanged);
}

bool VCSource::setVolumeLevel(double volumeLevel)
{
    return assign(this, m_volumeLevel, volumeLevel, &VCSource::volumeLevelChanged);
}

bool VCSource::updateStreamUrl(const QUrl &streamUrl)
{
    return assign(this, m_streamUrl, streamUrl, &VCSource::streamUrlChanged);
}

bool VCSource::updateActivityDurationMs(qint64 value)
{
    return assign(this, m_activityDurationMs, value, &VCSource::activityDurationMsChanged);
}

bool VCSource::updateIsRecordDevice(bool value)
{
    return assign(this, m_isRecordDevice, value, &VCSource::isRecordDeviceChanged);
}

bool VCSource::updateIsPlaying(bool value)
{
    return assign(this, m_isPlaying, value, &VCSource::isPlayingChanged);
}

bool VCSource::updateIsStalled(bool value)
{
    return assign(this, m_isStalled, value, &VCSource::isStalledChanged);
}

bool VCSource::updateConnectionDurationMs(qint64 value)
{
    return assign(this, m_connectionDurationMs, value, &VCSource::connectionDurationMsChanged);
}

bool VCSource::updateLevel(double value)
{
    return assign(this, m_level, value, &VCSource::levelChanged);
}

bool VCSource::updateLevelDb(double value)
{
    return assign(this, m_levelDb, value, &VCSource::levelDbChanged);
}

bool VCSource::updateCurrentBitrate(uint value)
{
    return assign(this, m_currentBitrate, value, &VCSource::currentBitrateChanged);
}

bool VCSource::updateAvgLevel(double value)
{
    return assign(this, m_avgLevel, value, &VCSource::avgLevelChanged);
}

bool VCSource::updateAvgLevelDb(double value)
{
    return assign(this, m_avgLevelDb, value, &VCSource::avgLevelDbChanged);
}

bool VCSource::updateIsSilentSound(bool value)
{
    return assign(this, m_isSilentSound, value, &VCSource::isSilentSoundChanged);
}

bool VCSource::updateSoundDurationMs(qint64 value)
{
    return assign(this, m_soundDurationMs, value, &VCSource::soundDurationMsChanged);
}

bool VCSource::updateIsSilentSoundByLevel(bool value)
{
    return assign(this, m_isSilentSoundByLevel, value, &VCSource::isSilentSoundByLevelChanged);
}

bool VCSource::updateSoundByLevelDurationMs(qint64 value)
{
    return assign(this, m_soundByLevelDurationMs, value, &VCSource::soundByLevelDurationMsChanged);
}

bool VCSource::updateIsHeldBack(bool value)
{
    return assign(this, m_isHeldBack, value, &VCSource::isHeldBackChanged);
}

bool VCSource::updateHeldBackRemainingMs(qint64 value)
{
    return assign(this, m_heldBackRemainingMs, value, &VCSource::heldBackRemainingMsChanged);
}

bool VCSource::updateLoudnessLufs(double value)
{
    m_loudnessMatch.measure(value, steadyMs());
    applyLoudnessMatch();
    return assign(this, m_loudnessLufs, value, &VCSource::loudnessLufsChanged);
}

bool VCSource::updateLoudnessGain(double value)
{
    if (!assign(this, m_loudnessGain, value, &VCSource::loudnessGainChanged))
        return false;
    applyPlayerVolume();
    return true;
}

bool VCSource::updateIsStarting(bool value)
{
    // Every start lasts the hub's grace at most, counted from its latest play or restart.
    if (value && m_hub && m_hub->startupGraceMs() > 0)
        m_startGraceTimer.start(m_hub->startupGraceMs());
    else
        m_startGraceTimer.stop();
    return assign(this, m_isStarting, value, &VCSource::isStartingChanged);
}
