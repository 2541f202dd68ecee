#include "vcmetrics.h"

#include "vcclientuser.h"
#include "vchub.h"
#include "vcidentity.h"
#include "vcmetricsserver.h"
#include "vcsource.h"

#include <prometheus/counter.h>
#include <prometheus/family.h>
#include <prometheus/gauge.h>
#include <prometheus/registry.h>

#include <QDateTime>
#include <QDebug>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSettings>

#include <algorithm>
#include <cmath>

namespace {

qint64 nowMs()
{
    return QDateTime::currentMSecsSinceEpoch();
}

double flag(bool value)
{
    return value ? 1.0 : 0.0;
}

const char *reasonLabel(VCHub::SwitchReason reason)
{
    switch (reason) {
    case VCHub::SwitchReason::Silent:
        return "silent";
    case VCHub::SwitchReason::Stalled:
        return "stalled";
    case VCHub::SwitchReason::Disconnected:
        return "disconnected";
    case VCHub::SwitchReason::Returned:
        break;
    }
    return "returned";
}

prometheus::Family<prometheus::Gauge> *gaugeFamily(prometheus::Registry &registry, const char *name,
                                                   const char *help)
{
    return &prometheus::BuildGauge().Name(name).Help(help).Register(registry);
}

prometheus::Family<prometheus::Counter> *counterFamily(prometheus::Registry &registry,
                                                       const char *name, const char *help)
{
    return &prometheus::BuildCounter().Name(name).Help(help).Register(registry);
}

} // namespace

VCMetrics::Health VCMetrics::healthOf(bool isLoggedIn, bool isOutputDevicePresent,
                                      bool isSourceHeard)
{
    if (isSourceHeard && isOutputDevicePresent)
        return {true, QStringLiteral("ok")};
    if (!isOutputDevicePresent)
        return {false, QStringLiteral("no output device")};
    // Without a login the sources are stopped: that is why nothing is heard.
    if (!isLoggedIn)
        return {false, QStringLiteral("not logged in")};
    return {false, QStringLiteral("no source heard")};
}

QString VCMetrics::addressLabel(const QUrl &streamUrl, const QJsonArray &recordDevices)
{
    const QString address = streamUrl.toString(QUrl::RemoveUserInfo);
    for (const QJsonValue &device : recordDevices) {
        const QJsonObject object = device.toObject();
        if (object.value(QStringLiteral("streamUrl")).toString() == address)
            return object.value(QStringLiteral("name")).toString();
    }
    return address;
}

VCMetrics *VCMetrics::startFromSettings(VCHub *hub)
{
    const QString text = hub->settings()->value(QStringLiteral("metricsAddress")).toString();
    if (text.trimmed().isEmpty())
        return nullptr;
    const VCMetricsServer::Address address = VCMetricsServer::parseAddress(text);
    if (!address.error.isEmpty()) {
        qWarning() << "Metrics are off: metricsAddress" << text
                   << "is not usable:" << address.error;
        return nullptr;
    }
    auto registry = std::make_shared<prometheus::Registry>();
    auto server = std::make_unique<VCMetricsServer>();
    QString error;
    const QString token = hub->settings()->value(QStringLiteral("metricsToken")).toString();
    if (!server->start(address, token, registry, &error)) {
        qWarning() << "Metrics are off:" << error;
        return nullptr;
    }
    qInfo().noquote() << QStringLiteral("Metrics endpoint listening on http://%1:%2/metrics%3")
                             .arg(address.host.contains(QLatin1Char(':'))
                                      ? QLatin1Char('[') + address.host + QLatin1Char(']')
                                      : address.host)
                             .arg(server->port())
                             .arg(token.isEmpty() ? QString()
                                                  : QStringLiteral(" (Bearer token required)"));
    return new VCMetrics(hub, std::move(registry), std::move(server));
}

VCMetrics::VCMetrics(VCHub *hub, std::shared_ptr<prometheus::Registry> registry,
                     std::unique_ptr<VCMetricsServer> server, QObject *parent)
    : QObject(parent)
    , m_hub(hub)
    , m_registry(std::move(registry))
    , m_server(std::move(server))
    , m_lastSwitchMs(nowMs())
{
    buildFamilies();
    watchHub();
    m_refreshTimer.setInterval(refreshIntervalMs);
    connect(&m_refreshTimer, &QTimer::timeout, this, &VCMetrics::refresh);
    m_refreshTimer.start();
    m_soonTimer.setSingleShot(true);
    m_soonTimer.setInterval(0);
    connect(&m_soonTimer, &QTimer::timeout, this, &VCMetrics::refresh);
    refresh();
}

VCMetrics::~VCMetrics()
{
    // The listener stops before the registry it serves goes.
    m_server.reset();
}

quint16 VCMetrics::port() const
{
    return m_server ? m_server->port() : 0;
}

void VCMetrics::buildFamilies()
{
    prometheus::Registry &r = *m_registry;
    m_heard = gaugeFamily(r, "vellacast_source_heard", "1 while the source is the one heard.");
    m_playing = gaugeFamily(r, "vellacast_source_playing", "1 while the source's player plays.");
    m_connected = gaugeFamily(r, "vellacast_source_connected",
                              "1 while the source plays and is not stalled.");
    m_stalled = gaugeFamily(r, "vellacast_source_stalled", "1 while the source waits for data.");
    m_silent = gaugeFamily(r, "vellacast_source_silent",
                           "1 while the source counts as silent (by level or by time).");
    m_heldBack = gaugeFamily(r, "vellacast_source_held_back",
                             "1 while the source is held back from failback after a loss.");
    m_heldBackRemaining = gaugeFamily(r, "vellacast_source_held_back_remaining_seconds",
                                      "Seconds until the source's failback hold ends.");
    m_level = gaugeFamily(r, "vellacast_source_level_dbfs",
                          "The source's current level in dB relative to full scale.");
    m_stateAge = gaugeFamily(r, "vellacast_source_state_age_seconds",
                             "Seconds since the source's last change of activity, "
                             "connection or sound.");
    m_bitrate = gaugeFamily(r, "vellacast_source_bitrate_bytes_per_second",
                            "Bitrate of the stream being played (bytes/s), as named by its "
                            "server or playlist or as measured; 0 while unknown.");
    m_loudness = gaugeFamily(r, "vellacast_source_loudness_lufs",
                             "EBU R128 short-term loudness of the source, while measured.");
    m_reconnects = counterFamily(r, "vellacast_source_reconnects_total",
                                 "Connections the source lost by a fault and made again.");
    m_receivedBytes = counterFamily(r, "vellacast_source_received_bytes_total",
                                    "Bytes of the source's streams received from the network.");

    m_failovers = counterFamily(r, "vellacast_failovers_total",
                                "Changes of the heard source made by the program, by reason.");
    for (const auto reason : {VCHub::SwitchReason::Stalled, VCHub::SwitchReason::Disconnected,
                              VCHub::SwitchReason::Silent, VCHub::SwitchReason::Returned})
        m_failovers->Add({{"reason", reasonLabel(reason)}});
    m_lastSwitchAge = &gaugeFamily(r, "vellacast_last_switch_age_seconds",
                                   "Seconds since the heard source last changed (or since start).")
                           ->Add({});
    m_outputDevicePresent = &gaugeFamily(r, "vellacast_output_device_present",
                                         "1 while an output device plays the sources.")
                                 ->Add({});
    m_engineRestarts = &counterFamily(r, "vellacast_engine_restarts_total",
                                      "Restarts of the audio engine on a device.")
                            ->Add({});
    m_deviceFailures =
        &counterFamily(r, "vellacast_device_failures_total", "Failures of the output device.")
             ->Add({});
    m_reportsSent = &counterFamily(r, "vellacast_state_reports_sent_total",
                                   "Logins and state reports that the service answered.")
                         ->Add({});
    m_reportsFailed =
        &counterFamily(r, "vellacast_state_reports_failed_total",
                       "Logins and state reports that were refused, failed or timed out.")
             ->Add({});
    m_loggedIn =
        &gaugeFamily(r, "vellacast_logged_in", "1 while logged in to the service.")->Add({});
    gaugeFamily(r, "vellacast_start_time_seconds", "When the program started, in Unix time.")
        ->Add({})
        .Set(double(QDateTime::currentMSecsSinceEpoch()) / 1000.0);
    gaugeFamily(r, "vellacast_build_info", "The program's version; always 1.")
        ->Add({{"version", VCIdentity::applicationVersion}})
        .Set(1);
}

void VCMetrics::watchHub()
{
    VCHub *hub = m_hub;
    connect(hub, &VCHub::switchedOver, this, [this](VCHub::SwitchReason reason) {
        m_failovers->Add({{"reason", reasonLabel(reason)}}).Increment();
    });
    connect(hub, &VCHub::heardSourceChanged, this, [this] {
        m_lastSwitchMs = nowMs();
        scheduleRefresh();
    });
    connect(hub, &VCHub::engineRestarted, this, [this] { m_engineRestarts->Increment(); });
    connect(hub, &VCHub::deviceFailed, this, [this] { m_deviceFailures->Increment(); });
    connect(hub, &VCHub::isOutputDeviceMissingChanged, this, &VCMetrics::scheduleRefresh);
    VCClientUser *client = hub->clientUser();
    connect(client, &VCClientUser::stateReportFinished, this, [this](bool isDelivered, int) {
        (isDelivered ? m_reportsSent : m_reportsFailed)->Increment();
    });
    connect(client, &VCClientUser::isLoggedInChanged, this, &VCMetrics::scheduleRefresh);
    QAbstractItemModel *model = hub->sourcesModel();
    connect(model, &QAbstractItemModel::rowsInserted, this, &VCMetrics::scheduleRefresh);
    connect(model, &QAbstractItemModel::rowsRemoved, this, &VCMetrics::scheduleRefresh);
    connect(model, &QAbstractItemModel::rowsMoved, this, &VCMetrics::scheduleRefresh);
}

void VCMetrics::scheduleRefresh()
{
    if (!m_soonTimer.isActive())
        m_soonTimer.start();
}

void VCMetrics::refresh()
{
    if (!m_hub)
        return;
    refreshSources();
    m_lastSwitchAge->Set(double(nowMs() - m_lastSwitchMs) / 1000.0);
    m_outputDevicePresent->Set(flag(!m_hub->isOutputDeviceMissing()));
    m_loggedIn->Set(flag(m_hub->clientUser()->isLoggedIn()));
    refreshPages();
}

VCMetrics::SourceMetrics *VCMetrics::sourceMetrics(VCSource *source)
{
    for (SourceMetrics &metrics : m_sources) {
        if (metrics.source == source)
            return &metrics;
    }
    SourceMetrics metrics;
    metrics.source = source;
    connect(source, &VCSource::connectionLost, this, [this, source] {
        if (SourceMetrics *entry = sourceMetrics(source)) {
            ++entry->reconnectCount;
            if (entry->reconnects)
                entry->reconnects->Increment();
        }
    });
    m_sources.push_back(std::move(metrics));
    return &m_sources.back();
}

void VCMetrics::refreshSources()
{
    VCHub::SourceList *list = m_hub->sources();
    // Sources gone from the list lose their series.
    for (auto it = m_sources.begin(); it != m_sources.end();) {
        if (!it->source || !list->contains(it->source)) {
            removeSourceMetrics(*it);
            it = m_sources.erase(it);
        } else {
            ++it;
        }
    }
    const QJsonArray recordDevices = m_hub->recordDevices();
    VCSource *heard = m_hub->heardSource();
    for (int i = 0; i < list->count(); ++i) {
        VCSource *source = list->at(i);
        SourceMetrics *metrics = sourceMetrics(source);
        const std::map<std::string, std::string> labels{
            {"source", std::to_string(i + 1)},
            {"address", addressLabel(source->streamUrl(), recordDevices).toStdString()}};
        if (labels != metrics->labels) {
            removeSourceMetrics(*metrics);
            metrics->labels = labels;
            addSourceMetrics(*metrics);
        }
        metrics->heard->Set(flag(source == heard));
        metrics->playing->Set(flag(source->isPlaying()));
        metrics->connected->Set(flag(source->isConnected()));
        metrics->stalled->Set(flag(source->isStalled()));
        metrics->silent->Set(flag(source->isSilentSound()));
        metrics->heldBack->Set(flag(source->isHeldBack()));
        metrics->heldBackRemaining->Set(double(source->heldBackRemainingMs()) / 1000.0);
        metrics->level->Set(source->levelDb());
        const qint64 ageMs = std::min({source->activityDurationMs(), source->connectionDurationMs(),
                                       source->soundDurationMs()});
        metrics->stateAge->Set(double(std::max<qint64>(ageMs, 0)) / 1000.0);
        metrics->bitrate->Set(double(source->currentBitrate()) / 8);
        const double lufs = source->loudnessLufs();
        if (std::isfinite(lufs)) {
            if (!metrics->loudness)
                metrics->loudness = &m_loudness->Add(metrics->labels);
            metrics->loudness->Set(lufs);
        } else if (metrics->loudness) {
            m_loudness->Remove(metrics->loudness);
            metrics->loudness = nullptr;
        }
        // The player's count never goes down; the counter takes what it has not seen yet.
        const double received = double(source->receivedBytes());
        if (received > metrics->receivedByteCount) {
            metrics->receivedBytes->Increment(received - metrics->receivedByteCount);
            metrics->receivedByteCount = received;
        }
    }
}

void VCMetrics::addSourceMetrics(SourceMetrics &metrics)
{
    const auto &labels = metrics.labels;
    metrics.heard = &m_heard->Add(labels);
    metrics.playing = &m_playing->Add(labels);
    metrics.connected = &m_connected->Add(labels);
    metrics.stalled = &m_stalled->Add(labels);
    metrics.silent = &m_silent->Add(labels);
    metrics.heldBack = &m_heldBack->Add(labels);
    metrics.heldBackRemaining = &m_heldBackRemaining->Add(labels);
    metrics.level = &m_level->Add(labels);
    metrics.stateAge = &m_stateAge->Add(labels);
    metrics.bitrate = &m_bitrate->Add(labels);
    metrics.reconnects = &m_reconnects->Add(labels);
    metrics.reconnects->Increment(metrics.reconnectCount);
    metrics.receivedBytes = &m_receivedBytes->Add(labels);
    metrics.receivedBytes->Increment(metrics.receivedByteCount);
}

void VCMetrics::removeSourceMetrics(SourceMetrics &metrics)
{
    if (!metrics.heard)
        return;
    m_heard->Remove(metrics.heard);
    m_playing->Remove(metrics.playing);
    m_connected->Remove(metrics.connected);
    m_stalled->Remove(metrics.stalled);
    m_silent->Remove(metrics.silent);
    m_heldBack->Remove(metrics.heldBack);
    m_heldBackRemaining->Remove(metrics.heldBackRemaining);
    m_level->Remove(metrics.level);
    m_stateAge->Remove(metrics.stateAge);
    m_bitrate->Remove(metrics.bitrate);
    if (metrics.loudness)
        m_loudness->Remove(metrics.loudness);
    metrics.loudness = nullptr;
    m_reconnects->Remove(metrics.reconnects);
    m_receivedBytes->Remove(metrics.receivedBytes);
    metrics.heard = nullptr;
    metrics.reconnects = nullptr;
}

void VCMetrics::refreshPages()
{
    VCClientUser *client = m_hub->clientUser();
    const bool isOutputDevicePresent = !m_hub->isOutputDeviceMissing();
    VCSource *heard = m_hub->heardSource();
    const Health health = healthOf(client->isLoggedIn(), isOutputDevicePresent, heard != nullptr);
    const int heardIndex = heard ? m_hub->sources()->indexOf(heard) : -1;
    // The facts of a state report, without the session.
    const QJsonObject status{
        {QStringLiteral("version"), QString::fromLatin1(VCIdentity::applicationVersion)},
        {QStringLiteral("isLoggedIn"), client->isLoggedIn()},
        {QStringLiteral("stationName"), client->stationName()},
        {QStringLiteral("isOutputDeviceMissing"), !isOutputDevicePresent},
        {QStringLiteral("isHealthy"), health.isHealthy},
        {QStringLiteral("health"), health.reason},
        {QStringLiteral("heardSource"),
         heardIndex >= 0 ? QJsonValue(heardIndex + 1) : QJsonValue(QJsonValue::Null)},
        {QStringLiteral("sourcesInfo"), client->sourcesInfo()},
    };
    VCMetricsServer::Pages pages;
    pages.healthStatus = health.isHealthy ? 200 : 503;
    pages.healthText = health.reason.toUtf8();
    pages.statusJson = QJsonDocument(status).toJson(QJsonDocument::Compact);
    m_server->setPages(pages);
}
