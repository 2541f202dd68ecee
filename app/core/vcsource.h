#pragma once

#include <QObject>
#include <QPointer>
#include <QThread>
#include <QTimer>
#include <QUrl>

#include <functional>

#include "vcfailbackhold.h"
#include "vcloudnessmatch.h"

class KLPlayer;
class VCHub;
class VCStepQueue;

// One monitored source: a stream or a local recording device played by its own KLPlayer in its
// own thread. Turns the player's raw state into connection, average level, silence by level and
// by time, and the durations of each state; restarts the player when its level is stuck. Tells
// the hub when it lost its connection by a fault (not by a stop or play of ours), and keeps the
// failback hold that the hub puts on it then (see VCFailbackHold).
//
// Threads: the properties, timers and the hub live on the main thread. The player lives in
// playerThread and is only reached by posting function objects to it; what a posted step
// computes is handed back to the main thread before it is stored, so every property is written
// on the main thread only.
class VCSource : public QObject
{
    Q_OBJECT

    // clang-format off
    Q_PROPERTY(QUrl streamUrl READ streamUrl NOTIFY streamUrlChanged)
    Q_PROPERTY(bool isActive READ isActive WRITE setIsActive NOTIFY isActiveChanged)
    Q_PROPERTY(double volumeLevel READ volumeLevel WRITE setVolumeLevel NOTIFY volumeLevelChanged)
    Q_PROPERTY(qint64 activityDurationMs READ activityDurationMs NOTIFY activityDurationMsChanged)
    Q_PROPERTY(bool isRecordDevice READ isRecordDevice NOTIFY isRecordDeviceChanged)
    Q_PROPERTY(bool isPlaying READ isPlaying NOTIFY isPlayingChanged)
    Q_PROPERTY(bool isStalled READ isStalled NOTIFY isStalledChanged)
    Q_PROPERTY(bool isConnected READ isConnected NOTIFY isConnectedChanged)
    Q_PROPERTY(qint64 connectionDurationMs
               READ connectionDurationMs
               NOTIFY connectionDurationMsChanged)
    Q_PROPERTY(double level READ level NOTIFY levelChanged)
    Q_PROPERTY(double levelDb READ levelDb NOTIFY levelDbChanged)
    Q_PROPERTY(double avgLevel READ avgLevel NOTIFY avgLevelChanged)
    Q_PROPERTY(double avgLevelDb READ avgLevelDb NOTIFY avgLevelDbChanged)
    Q_PROPERTY(bool isSilentSound READ isSilentSound NOTIFY isSilentSoundChanged)
    Q_PROPERTY(qint64 soundDurationMs READ soundDurationMs NOTIFY soundDurationMsChanged)
    Q_PROPERTY(bool isSilentSoundByLevel
               READ isSilentSoundByLevel
               NOTIFY isSilentSoundByLevelChanged)
    Q_PROPERTY(qint64 soundByLevelDurationMs
               READ soundByLevelDurationMs
               NOTIFY soundByLevelDurationMsChanged)
    Q_PROPERTY(bool isHeldBack
               READ isHeldBack
               NOTIFY isHeldBackChanged)
    Q_PROPERTY(qint64 heldBackRemainingMs
               READ heldBackRemainingMs
               NOTIFY heldBackRemainingMsChanged)
    // From a play or restart of ours until the source connects, its player reports an error,
    // it is stopped, or the hub's start-up grace has passed (see VCStartupOrder).
    Q_PROPERTY(bool isStarting
               READ isStarting
               NOTIFY isStartingChanged)
    // EBU R128 short-term loudness of the decoded audio (before the volume), in LUFS; minus
    // infinity while nothing is measured.
    Q_PROPERTY(double loudnessLufs
               READ loudnessLufs
               NOTIFY loudnessLufsChanged)
    // The loudness matching's gain (linear) that multiplies volumeLevel; exactly 1 while the
    // hub's matching is off.
    Q_PROPERTY(double loudnessGain
               READ loudnessGain
               NOTIFY loudnessGainChanged)
    Q_PROPERTY(uint currentBitrate READ currentBitrate NOTIFY currentBitrateChanged)
    // clang-format on

public:
    static constexpr int monitorIntervalMs = 250;
    static constexpr qint64 stuckIntervalMs = 300000;
    static constexpr int levelWindowSize = 30;
    // The smallest change of the loudness gain passed on to the player.
    static constexpr double minGainStepDb = 0.05;

    VCSource(VCHub *hub, const QUrl &streamUrl, double volumeLevel, QObject *parent = nullptr);
    ~VCSource() override;

    QUrl streamUrl() const { return m_streamUrl; }
    bool isActive() const { return m_isActive; }
    double volumeLevel() const { return m_volumeLevel; }
    qint64 activityDurationMs() const { return m_activityDurationMs; }
    bool isRecordDevice() const { return m_isRecordDevice; }
    bool isPlaying() const { return m_isPlaying; }
    bool isStalled() const { return m_isStalled; }
    bool isConnected() const { return m_isConnected; }
    qint64 connectionDurationMs() const { return m_connectionDurationMs; }
    double level() const { return m_level; }
    double levelDb() const { return m_levelDb; }
    double avgLevel() const { return m_avgLevel; }
    double avgLevelDb() const { return m_avgLevelDb; }
    bool isSilentSound() const { return m_isSilentSound; }
    qint64 soundDurationMs() const { return m_soundDurationMs; }
    bool isSilentSoundByLevel() const { return m_isSilentSoundByLevel; }
    qint64 soundByLevelDurationMs() const { return m_soundByLevelDurationMs; }
    bool isHeldBack() const { return m_isHeldBack; }
    qint64 heldBackRemainingMs() const { return m_heldBackRemainingMs; }
    bool isStarting() const { return m_isStarting; }
    double loudnessLufs() const { return m_loudnessLufs; }
    double loudnessGain() const { return m_loudnessGain; }
    // Bit/s of the stream being played: as its server or playlist names it, or as measured when
    // it names none; 0 while unknown.
    uint currentBitrate() const { return m_currentBitrate; }
    // Bytes that the player has received from the network, over every reconnection.
    quint64 receivedBytes() const;

    // The player's name and the address without credentials, for log lines.
    QString sourceName() const;
    // True from play() or restart() until stop(): the source is meant to be on air, whether its
    // player is connected, stalled or waiting to retry.
    bool shouldPlay() const { return m_shouldPlay; }

    // The volume this source is heard at: the operator's level times the loudness gain.
    double heardVolume() const { return m_volumeLevel * m_loudnessGain; }
    // While this source is heard and its stream runs dry, `standby` is raised at once in the
    // engine (see KLPlayer::setStandby); null disarms. Only a change reaches the player.
    void setStandby(VCSource *standby);
    // The player's volume as this source wants it, again (after another source's hand-over
    // raised this one in the engine).
    void reapplyVolume();

    // Tests shorten the five-minute stuck interval; the program keeps the constant.
    void setStuckIntervalForTesting(qint64 ms) { m_stuckIntervalMs = ms; }
    KLPlayer *playerForTesting() const;

signals:
    // The engine raised this source's standby as its stream ran dry.
    void handedOver();
    void streamUrlChanged(const QUrl &streamUrl);
    void isActiveChanged(bool isActive);
    void volumeLevelChanged(double volumeLevel);
    void activityDurationMsChanged(qint64 activityDurationMs);
    void isRecordDeviceChanged(bool isRecordDevice);
    void isPlayingChanged(bool isPlaying);
    void isStalledChanged(bool isStalled);
    void isConnectedChanged(bool isConnected);
    void connectionDurationMsChanged(qint64 connectionDurationMs);
    void levelChanged(double level);
    void levelDbChanged(double levelDb);
    void avgLevelChanged(double avgLevel);
    void avgLevelDbChanged(double avgLevelDb);
    void isSilentSoundChanged(bool isSilentSound);
    void soundDurationMsChanged(qint64 soundDurationMs);
    void isSilentSoundByLevelChanged(bool isSilentSoundByLevel);
    void soundByLevelDurationMsChanged(qint64 soundByLevelDurationMs);
    void isHeldBackChanged(bool isHeldBack);
    void heldBackRemainingMsChanged(qint64 heldBackRemainingMs);
    void isStartingChanged(bool isStarting);
    void loudnessLufsChanged(double loudnessLufs);
    void loudnessGainChanged(double loudnessGain);
    void currentBitrateChanged(uint currentBitrate);
    void deviceFailure();
    // isConnected turned false by a fault (stall, drop, error), not by a stop or play of ours.
    void connectionLost();

public slots:
    bool setIsActive(bool isActive);
    bool setVolumeLevel(double volumeLevel);

    void play(const QUrl &streamUrl);
    void play();
    void stop();
    void stopSync();
    void restart();
    // Holds the source back from failover: called by the hub for a connection loss that counts.
    void holdBack();

protected slots:
    bool updateStreamUrl(const QUrl &streamUrl);
    bool updateActivityDurationMs(qint64 activityDurationMs);
    bool updateIsRecordDevice(bool isRecordDevice);
    bool updateIsPlaying(bool isPlaying);
    bool updateIsStalled(bool isStalled);
    bool updateIsConnected();
    bool updateConnectionDurationMs(qint64 connectionDurationMs);
    bool updateLevel(double level);
    bool updateLevelDb(double levelDb);
    bool updateAvgLevel(double avgLevel);
    bool updateAvgLevelDb(double avgLevelDb);
    bool updateIsSilentSound(bool isSilentSound);
    bool updateSoundDurationMs(qint64 soundDurationMs);
    bool updateIsSilentSoundByLevel(bool isSilentSoundByLevel);
    bool updateSoundByLevelDurationMs(qint64 soundByLevelDurationMs);
    bool updateIsHeldBack(bool isHeldBack);
    bool updateHeldBackRemainingMs(qint64 heldBackRemainingMs);
    bool updateIsStarting(bool isStarting);
    bool updateLoudnessLufs(double loudnessLufs);
    bool updateLoudnessGain(double loudnessGain);
    bool updateCurrentBitrate(uint currentBitrate);

private slots:
    void initPlayer();
    void handleActiveUpdate(bool isActive);
    void handleVolumeLevelUpdate(double volumeLevel);
    void updateSilentState();
    void updatePlayerVolume(double volumeLevel);
    void calculateAvgLevel(double level);
    void updateFailbackHold();

private:
    // The steps of the constructor: the hub's silence, failback and loudness settings, the log
    // lines and times of the state changes, and the monitor's tick.
    void followHub();
    void logChanges();
    void startMonitor();
    // Runs `step` on the player in playerThread; does nothing when the player is gone.
    void postToPlayer(std::function<void(KLPlayer *)> step);
    // Runs `step` on the main thread (this object's thread).
    void handBack(std::function<void()> step);

    // Steps that run in playerThread.
    // `command` is the serial number of the play command (see expectDisconnection()).
    void playInPlayerThread(const QUrl &streamUrl, quint64 command);
    void stopInPlayerThread();
    void restartInPlayerThread();

    // Main-thread halves of the steps above.
    void postRestart();
    void resetAfterStop();
    // A command of ours is on its way to the player; the disconnection it may cause is no loss.
    // Returns the command's serial number.
    quint64 expectDisconnection();
    void handleConnectedChange(bool isConnected);
    // A play or restart of ours begins a start (see isStarting).
    void beginStart();
    // The gain that the hub's loudness matching wants now (see VCLoudnessMatch).
    void applyLoudnessMatch();
    void applyPlayerVolume();

    QPointer<VCHub> m_hub;
    QThread m_playerThread;
    QPointer<KLPlayer> m_player;
    QPointer<VCSource> m_standby;
    double m_standbyVolume = 0;
    // Steps for the player thread, and results handed back to this object's thread.
    VCStepQueue *m_playerSteps = nullptr;
    VCStepQueue *m_mainSteps = nullptr;
    QTimer m_monitorTimer;
    // Ends a start that neither connects nor fails within the hub's start-up grace.
    QTimer m_startGraceTimer;

    double m_silenceLevelDb = -50;
    int m_silenceStartMs = 5000;
    int m_silenceEndMs = 5000;

    qint64 m_activityChangedMs = 0;
    qint64 m_connectionChangedMs = 0;
    qint64 m_soundChangedMs = 0;
    qint64 m_soundByLevelChangedMs = 0;

    QList<double> m_levelWindow;
    double m_lastLevelDb = 0;
    qint64 m_lastLevelDbChangedMs = 0;
    qint64 m_stuckIntervalMs = stuckIntervalMs;
    bool m_levelSampledSinceTick = false;
    // True from play/restart until stop: only then does a stuck level restart the player.
    bool m_shouldPlay = false;
    // Set by our own stop, play and restart; cleared once the source is connected again, or when
    // the command left the player playing.
    bool m_isDisconnectionExpected = false;
    quint64 m_lastCommand = 0;
    VCFailbackHold m_failbackHold;
    VCLoudnessMatch m_loudnessMatch;
    bool m_isMatchingLoudness = false;

    QUrl m_streamUrl;
    bool m_isActive = false;
    double m_volumeLevel = 1;
    qint64 m_activityDurationMs = 0;
    bool m_isRecordDevice = false;
    bool m_isPlaying = false;
    bool m_isStalled = false;
    bool m_isConnected = false;
    qint64 m_connectionDurationMs = 0;
    double m_level = 0;
    double m_levelDb = 0;
    double m_avgLevel = 0;
    double m_avgLevelDb = 0;
    bool m_isSilentSound = true;
    qint64 m_soundDurationMs = 0;
    bool m_isSilentSoundByLevel = true;
    qint64 m_soundByLevelDurationMs = 0;
    bool m_isHeldBack = false;
    qint64 m_heldBackRemainingMs = 0;
    bool m_isStarting = false;
    double m_loudnessLufs;
    double m_loudnessGain = 1;
    uint m_currentBitrate = 0;
};
