#pragma once

#include "qqmlobjectlistmodel.h"
#include "vconair.h"
#include "vconairchange.h"

#include <QJsonArray>
#include <QObject>
#include <QStringList>
#include <QTimer>
#include <QUrl>

class QSettings;
class VCClientUser;
class VCMetrics;
class VCSource;

// The application's centre and its only QML singleton. Owns the settings, the service client
// and the ordered sources; keeps the sources in line with the service's stream list, lets exactly
// one source be heard (failover), lists the engine's devices, switches the output device and
// restarts the engine after device failures.
class VCHub : public QObject
{
    Q_OBJECT

    // clang-format off
    Q_PROPERTY(VCClientUser *clientUser READ clientUser NOTIFY clientUserChanged)
    Q_PROPERTY(int logsStoreDays
               READ logsStoreDays
               WRITE setLogsStoreDays
               NOTIFY logsStoreDaysChanged)
    Q_PROPERTY(QString language READ language WRITE setLanguage NOTIFY languageChanged)
    Q_PROPERTY(bool showKeepRunningDialog
               READ showKeepRunningDialog
               WRITE setShowKeepRunningDialog
               NOTIFY showKeepRunningDialogChanged)
    Q_PROPERTY(QStringList outputDevices READ outputDevices NOTIFY outputDevicesChanged)
    Q_PROPERTY(QJsonArray recordDevices READ recordDevices NOTIFY recordDevicesChanged)
    Q_PROPERTY(int outputDeviceIndex
               READ outputDeviceIndex
               WRITE setOutputDeviceIndex
               NOTIFY outputDeviceIndexChanged)
    Q_PROPERTY(QQmlObjectListModelBase *sources READ sourcesModel CONSTANT)
    Q_PROPERTY(double silenceDetectionLevelDb
               READ silenceDetectionLevelDb
               WRITE setSilenceDetectionLevelDb
               NOTIFY silenceDetectionLevelDbChanged)
    Q_PROPERTY(int silenceDetectionStartMs
               READ silenceDetectionStartMs
               WRITE setSilenceDetectionStartMs
               NOTIFY silenceDetectionStartMsChanged)
    Q_PROPERTY(int silenceDetectionEndMs
               READ silenceDetectionEndMs
               WRITE setSilenceDetectionEndMs
               NOTIFY silenceDetectionEndMsChanged)
    // True while no output device plays the sources: from a device failure until the engine
    // is back on a device, and while the engine had to fall back to "No sound" for lack of one.
    Q_PROPERTY(bool isOutputDeviceMissing
               READ isOutputDeviceMissing
               NOTIFY isOutputDeviceMissingChanged)
    Q_PROPERTY(int failbackHoldMs
               READ failbackHoldMs
               WRITE setFailbackHoldMs
               NOTIFY failbackHoldMsChanged)
    Q_PROPERTY(int failbackHoldMaxMs
               READ failbackHoldMaxMs
               CONSTANT)
    // While sources start together, how long a source ahead that is still starting keeps the
    // ones behind it off the air (see VCStartupOrder); 0 puts the first to connect on air.
    Q_PROPERTY(int startupGraceMs
               READ startupGraceMs
               WRITE setStartupGraceMs
               NOTIFY startupGraceMsChanged)
    // Loudness matching: each source's gain follows its EBU R128 loudness towards the target
    // (see VCLoudnessMatch); off, each source plays at its volume level alone.
    Q_PROPERTY(bool loudnessMatch
               READ loudnessMatch
               WRITE setLoudnessMatch
               NOTIFY loudnessMatchChanged)
    Q_PROPERTY(double loudnessTargetLufs
               READ loudnessTargetLufs
               WRITE setLoudnessTargetLufs
               NOTIFY loudnessTargetLufsChanged)
    // Whether failovers are told to the operator (see onAirChanged()).
    Q_PROPERTY(bool failoverNotifications
               READ failoverNotifications
               WRITE setFailoverNotifications
               NOTIFY failoverNotificationsChanged)
    // clang-format on

public:
    using SourceList = QQmlObjectListModel<VCSource>;

    // Why the heard source changed without the operator: the source heard before went silent,
    // stalled or lost its connection, or a source heard before came back ahead of it (or after
    // nothing could be heard).
    enum class SwitchReason { Silent, Stalled, Disconnected, Returned };
    Q_ENUM(SwitchReason)

    static constexpr int logsCleanupIntervalMs = 3600000;
    static constexpr int devicesIntervalMs = 1000;
    static constexpr int restartDelayMs = 5000;
    static constexpr int defaultFailbackHoldMs = 30000;
    static constexpr int defaultFailbackHoldMaxMs = 300000;
    static constexpr int defaultStartupGraceMs = 3000;
    static constexpr double defaultLoudnessTargetLufs = -23;
    // Most sources taken from one service answer; each source runs a thread of its own.
    static constexpr int maxServiceSources = 64;

    explicit VCHub(QObject *parent = nullptr);
    ~VCHub() override;

    VCClientUser *clientUser() const { return m_clientUser; }
    int logsStoreDays() const { return m_logsStoreDays; }
    QString language() const { return m_language; }
    bool showKeepRunningDialog() const { return m_showKeepRunningDialog; }
    QStringList outputDevices() const { return m_outputDevices; }
    QJsonArray recordDevices() const { return m_recordDevices; }
    int outputDeviceIndex() const { return m_outputDeviceIndex; }
    SourceList *sources() const { return m_sources; }
    QQmlObjectListModelBase *sourcesModel() const { return m_sources; }
    double silenceDetectionLevelDb() const { return m_silenceDetectionLevelDb; }
    int silenceDetectionStartMs() const { return m_silenceDetectionStartMs; }
    int silenceDetectionEndMs() const { return m_silenceDetectionEndMs; }
    bool isOutputDeviceMissing() const { return m_isOutputDeviceMissing; }
    int failbackHoldMs() const { return m_failbackHoldMs; }
    // The longest failback hold; from the settings file only, read at start.
    int failbackHoldMaxMs() const { return m_failbackHoldMaxMs; }
    int startupGraceMs() const { return m_startupGraceMs; }
    bool loudnessMatch() const { return m_loudnessMatch; }
    double loudnessTargetLufs() const { return m_loudnessTargetLufs; }
    bool failoverNotifications() const { return m_failoverNotifications; }
    // The source that can be heard now (active, connected and not silent); null when none can.
    VCSource *heardSource() const;

    QSettings *settings() const { return m_settings; }

    // Tests shorten the wait between a device failure and the engine restart.
    void setRestartDelayForTesting(int ms) { m_restartTimer.setInterval(ms); }

signals:
    void clientUserChanged(VCClientUser *clientUser);
    void logsStoreDaysChanged(int logsStoreDays);
    void languageChanged(const QString &language);
    void showKeepRunningDialogChanged(bool showKeepRunningDialog);
    void outputDevicesChanged(const QStringList &outputDevices);
    void recordDevicesChanged(const QJsonArray &recordDevices);
    void outputDeviceIndexChanged(int outputDeviceIndex);
    void silenceDetectionLevelDbChanged(double silenceDetectionLevelDb);
    void silenceDetectionStartMsChanged(int silenceDetectionStartMs);
    void silenceDetectionEndMsChanged(int silenceDetectionEndMs);
    void isOutputDeviceMissingChanged(bool isOutputDeviceMissing);
    void failbackHoldMsChanged(int failbackHoldMs);
    void startupGraceMsChanged(int startupGraceMs);
    void loudnessMatchChanged(bool loudnessMatch);
    void loudnessTargetLufsChanged(double loudnessTargetLufs);
    void failoverNotificationsChanged(bool failoverNotifications);
    // The source that can be heard changed (or none can now), for any cause.
    void heardSourceChanged(VCSource *heardSource);
    // The station went over to another source by itself (not by an operator's change).
    void switchedOver(VCHub::SwitchReason reason);
    // The engine was reopened and the playing sources started again.
    void engineRestarted();
    // A source's output device failed; the engine restarts after restartDelayMs.
    void deviceFailed();
    // The source that can be heard changed for reason: source (its label) is heard now,
    // previous was heard before (empty when none was, after nothing could be heard). Changes
    // that the operator made are not reported.
    void onAirChanged(const QString &source, const QString &previous, VCOnAirChange reason);
    // Nothing can be heard any more although sources are meant to play.
    void nothingOnAir();

public slots:
    bool setLogsStoreDays(int logsStoreDays);
    bool setLanguage(const QString &language);
    bool setShowKeepRunningDialog(bool showKeepRunningDialog);
    bool setOutputDeviceIndex(int outputDeviceIndex);
    bool setSilenceDetectionLevelDb(double silenceDetectionLevelDb);
    bool setSilenceDetectionStartMs(int silenceDetectionStartMs);
    bool setSilenceDetectionEndMs(int silenceDetectionEndMs);
    bool setFailbackHoldMs(int failbackHoldMs);
    bool setStartupGraceMs(int startupGraceMs);
    bool setLoudnessMatch(bool loudnessMatch);
    // Kept within -40 .. -10 LUFS.
    bool setLoudnessTargetLufs(double loudnessTargetLufs);
    bool setFailoverNotifications(bool failoverNotifications);

    void cleanOldLogFiles();
    void updateOutputDevicesFromBass();
    void updateRecordDevicesFromBass();
    void handleOutputDeviceIndexChanged(int outputDeviceIndex);
    void play(int sourceIndex, const QString &streamUrl = QString());
    void restart(int sourceIndex);
    void addNewRecordSource();
    void moveSource(int indexFrom, int indexTo);
    void deleteSource(int sourceIndex);
    void saveSourcesStreamsToSettings();
    void updateSourcesActivity();
    // Prepares the hand-over from the heard source to the one that would follow it.
    void armStandby();
    void handleHandOver();
    void updateSourcesFromClient();
    void deleteAllSources();

protected slots:
    bool updateClientUser(VCClientUser *clientUser);
    bool updateOutputDevices(const QStringList &outputDevices);
    bool updateRecordDevices(const QJsonArray &recordDevices);
    bool updateIsOutputDeviceMissing(bool isOutputDeviceMissing);

private slots:
    void initSources();
    void restartAllSources();
    void stopAllSources();
    // Plays every source that is not meant to play yet; the others go on undisturbed.
    void startStoppedSources();

private:
    // The steps of the constructor: the program's own settings (logs, language, dialogs), the
    // device lists and the output device, the settings that sources read when they are created
    // (failback hold limit, start-up grace, loudness), the sources' other settings (silence
    // detection, failback hold, notifications), and what the service client's changes do.
    void readProgramSettings();
    void watchDevices();
    void readPlaySettings();
    void readSourceSettings();
    void followClient();
    // The steps of updateSourcesFromClient() after it has the service's addresses (see
    // VCServiceStreams): the sources that share an address with a later one go; the sources are
    // made to match the addresses (record devices stay).
    void deleteDuplicateSources();
    void matchSourcesTo(const QList<QUrl> &wanted);
    VCSource *createSource(const QUrl &url, double volumeLevel);
    // A source that loses its connection while it is heard, or while it is ahead of the heard
    // source, is held back from failover when it plays again.
    void handleConnectionLost(VCSource *source);
    bool isValidSourceIndex(int index) const;
    // Tells the operator and the metrics that the station went over to `heard` by itself.
    void reportSwitch(VCSource *heard, VCSource *previous, VCOnAirChange reason);
    // The source as the operator knows it: its place in the list and its device name or its
    // address without credentials.
    QString sourceLabel(VCSource *source) const;
    // updateSourcesActivity() after a change that the operator made: the heard source may
    // change, but that is no failover to tell about.
    void updateSourcesActivityQuietly();
    // The operator wants the default device, but the engine plays to "No sound" because there
    // was no device when it was opened.
    bool isOnNoSoundFallback() const;
    void handleDeviceFailure();
    void checkOutputDevice();

    QSettings *m_settings = nullptr;
    QTimer m_logsCleanupTimer;
    QTimer m_devicesTimer;
    QTimer m_restartTimer;

    VCClientUser *m_clientUser = nullptr;
    int m_logsStoreDays = 30;
    QString m_language = QStringLiteral("system");
    bool m_showKeepRunningDialog = true;
    QStringList m_outputDevices;
    QJsonArray m_recordDevices;
    int m_outputDeviceIndex = 0;
    SourceList *m_sources = nullptr;
    double m_silenceDetectionLevelDb = -50;
    int m_silenceDetectionStartMs = 5000;
    int m_silenceDetectionEndMs = 5000;
    bool m_isOutputDeviceMissing = false;
    // A device failure waits for the engine restart.
    bool m_isDeviceFailurePending = false;
    int m_failbackHoldMs = defaultFailbackHoldMs;
    int m_failbackHoldMaxMs = defaultFailbackHoldMaxMs;
    int m_startupGraceMs = defaultStartupGraceMs;
    bool m_loudnessMatch = false;
    double m_loudnessTargetLufs = defaultLoudnessTargetLufs;
    bool m_failoverNotifications = true;
    // The monitoring endpoint, when the settings ask for one.
    VCMetrics *m_metrics = nullptr;
    // Which source is on air, and the reports of its changes.
    VCOnAir m_onAir;
    bool m_isOperatorChange = false;
};
