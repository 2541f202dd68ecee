#pragma once

#include <QJsonArray>
#include <QObject>
#include <QPointer>
#include <QTimer>
#include <QUrl>

#include <map>
#include <memory>
#include <string>
#include <vector>

namespace prometheus {
class Counter;
class Gauge;
class Registry;
template <typename T> class Family;
} // namespace prometheus

class VCHub;
class VCMetricsServer;
class VCSource;

// The program's measurements for a monitoring system, its health and its state for scripts,
// served by a VCMetricsServer. Off unless the settings name metricsAddress.
//
// Lives on the main thread and reads the hub and its sources there: counters follow the hub's
// events as they come; gauges, the health page and the status page are refreshed once a second
// and at once when the heard source, the login or the output device changes. The listener's
// threads only read what a refresh left behind.
class VCMetrics : public QObject
{
    Q_OBJECT

public:
    static constexpr int refreshIntervalMs = 1000;

    struct Health
    {
        bool isHealthy = false;
        // One line: "ok", or why not.
        QString reason;
    };

    // Healthy while a source is heard and the output device is there.
    static Health healthOf(bool isLoggedIn, bool isOutputDevicePresent, bool isSourceHeard);
    // A source's address label: its address without user name and password, or a recording
    // device's name (from the hub's record device list).
    static QString addressLabel(const QUrl &streamUrl, const QJsonArray &recordDevices);

    // A running endpoint when the hub's settings name metricsAddress, or null (off, or it
    // cannot start: the reason is logged).
    static VCMetrics *startFromSettings(VCHub *hub);

    VCMetrics(VCHub *hub, std::shared_ptr<prometheus::Registry> registry,
              std::unique_ptr<VCMetricsServer> server, QObject *parent = nullptr);
    ~VCMetrics() override;

    quint16 port() const;

public slots:
    void refresh();

private:
    struct SourceMetrics
    {
        QPointer<VCSource> source;
        std::map<std::string, std::string> labels;
        prometheus::Gauge *heard = nullptr;
        prometheus::Gauge *playing = nullptr;
        prometheus::Gauge *connected = nullptr;
        prometheus::Gauge *stalled = nullptr;
        prometheus::Gauge *silent = nullptr;
        prometheus::Gauge *heldBack = nullptr;
        prometheus::Gauge *heldBackRemaining = nullptr;
        prometheus::Gauge *level = nullptr;
        prometheus::Gauge *stateAge = nullptr;
        prometheus::Gauge *bitrate = nullptr;
        // Only while the source's loudness is measured.
        prometheus::Gauge *loudness = nullptr;
        prometheus::Counter *reconnects = nullptr;
        prometheus::Counter *receivedBytes = nullptr;
        // Counted here, so that a source that moves (new labels) keeps its count.
        double reconnectCount = 0;
        double receivedByteCount = 0;
    };

    void buildFamilies();
    void watchHub();
    void refreshSources();
    void refreshPages();
    SourceMetrics *sourceMetrics(VCSource *source);
    void addSourceMetrics(SourceMetrics &metrics);
    void removeSourceMetrics(SourceMetrics &metrics);
    void scheduleRefresh();

    QPointer<VCHub> m_hub;
    std::shared_ptr<prometheus::Registry> m_registry;
    std::unique_ptr<VCMetricsServer> m_server;
    QTimer m_refreshTimer;
    QTimer m_soonTimer;
    qint64 m_lastSwitchMs = 0;
    std::vector<SourceMetrics> m_sources;

    prometheus::Family<prometheus::Gauge> *m_heard = nullptr;
    prometheus::Family<prometheus::Gauge> *m_playing = nullptr;
    prometheus::Family<prometheus::Gauge> *m_connected = nullptr;
    prometheus::Family<prometheus::Gauge> *m_stalled = nullptr;
    prometheus::Family<prometheus::Gauge> *m_silent = nullptr;
    prometheus::Family<prometheus::Gauge> *m_heldBack = nullptr;
    prometheus::Family<prometheus::Gauge> *m_heldBackRemaining = nullptr;
    prometheus::Family<prometheus::Gauge> *m_level = nullptr;
    prometheus::Family<prometheus::Gauge> *m_stateAge = nullptr;
    prometheus::Family<prometheus::Gauge> *m_bitrate = nullptr;
    prometheus::Family<prometheus::Gauge> *m_loudness = nullptr;
    prometheus::Family<prometheus::Counter> *m_reconnects = nullptr;
    prometheus::Family<prometheus::Counter> *m_receivedBytes = nullptr;

    prometheus::Family<prometheus::Counter> *m_failovers = nullptr;
    prometheus::Gauge *m_lastSwitchAge = nullptr;
    prometheus::Gauge *m_outputDevicePresent = nullptr;
    prometheus::Counter *m_engineRestarts = nullptr;
    prometheus::Counter *m_deviceFailures = nullptr;
    prometheus::Counter *m_reportsSent = nullptr;
    prometheus::Counter *m_reportsFailed = nullptr;
    prometheus::Gauge *m_loggedIn = nullptr;
};
