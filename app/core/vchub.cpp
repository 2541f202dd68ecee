#include "vchub.h"

#include "bass.h"
#include "filelogging.h"
#include "klbass.h"
#include "klcredentials.h"
#include "klplayer.h"
#include "vcassign.h"
#include "vcclientuser.h"
#include "vcmetrics.h"
#include "vcservicestreams.h"
#include "vcsettingsfile.h"
#include "vcsource.h"

#include <QDebug>
#include <QJsonObject>
#include <QSettings>

#include <algorithm>
#include <cmath>

using VC::assign;

namespace {} // namespace

VCHub::VCHub(QObject *parent)
    : QObject(parent)
{
    VCSettingsFile::restrict();
    m_settings = new QSettings(VCSettingsFile::fileName(), QSettings::IniFormat, this);
    connect(&m_onAir, &VCOnAir::heardSourceChanged, this, &VCHub::heardSourceChanged);
    connect(&m_onAir, &VCOnAir::switched, this, &VCHub::reportSwitch);
    connect(&m_onAir, &VCOnAir::nothingOnAir, this, &VCHub::nothingOnAir);

    readProgramSettings();
    updateClientUser(new VCClientUser(this, this));

    watchDevices();

    readPlaySettings();
    m_sources = new SourceList(this);
    initSources();
    updateSourcesActivity();

    readSourceSettings();
    followClient();

    // With a saved login the saved sources go on air at once with their saved addresses, also
    // while the service cannot be reached; its answer confirms them, replaces them or stops them.
    if (!m_clientUser->sid().isEmpty() && !m_sources->isEmpty()) {
        qInfo() << "Saved login, playing the saved sources";
        startStoppedSources();
    }

    m_clientUser->versionCheck();
    if (!m_clientUser->sid().isEmpty())
        m_clientUser->sendPlayerState();
    m_metrics = VCMetrics::startFromSettings(this);
}

void VCHub::readProgramSettings()
{
    m_logsStoreDays = m_settings->value(QStringLiteral("logsStoreDays"), 30).toInt();
    connect(this, &VCHub::logsStoreDaysChanged, this, [this](int days) {
        m_settings->setValue(QStringLiteral("logsStoreDays"), days);
        cleanOldLogFiles();
    });

    m_language = m_settings->value(QStringLiteral("language"), QStringLiteral("system")).toString();
    connect(this, &VCHub::languageChanged, this, [this](const QString &language) {
        m_settings->setValue(QStringLiteral("language"), language);
        qInfo() << "Language changed to" << language;
    });

    m_logsCleanupTimer.setInterval(logsCleanupIntervalMs);
    connect(&m_logsCleanupTimer, &QTimer::timeout, this, &VCHub::cleanOldLogFiles);
    m_logsCleanupTimer.start();
    cleanOldLogFiles();

    m_showKeepRunningDialog =
        m_settings->value(QStringLiteral("showKeepRunningDialog"), true).toBool();
    connect(this, &VCHub::showKeepRunningDialogChanged, this, [this](bool show) {
        m_settings->setValue(QStringLiteral("showKeepRunningDialog"), show);
    });
}

void VCHub::watchDevices()
{
    m_devicesTimer.setInterval(devicesIntervalMs);
    connect(&m_devicesTimer, &QTimer::timeout, this, &VCHub::updateOutputDevicesFromBass);
    connect(&m_devicesTimer, &QTimer::timeout, this, &VCHub::updateRecordDevicesFromBass);
    m_devicesTimer.start();
    m_restartTimer.setSingleShot(true);
    m_restartTimer.setInterval(restartDelayMs);
    connect(&m_restartTimer, &QTimer::timeout, this, &VCHub::restartAllSources);

    updateOutputDevicesFromBass();
    updateRecordDevicesFromBass();

    connect(this, &VCHub::outputDevicesChanged, this, [this] {
        qInfo() << "Output devices list was updated";
        handleOutputDeviceIndexChanged(m_outputDeviceIndex);
    });
    connect(this, &VCHub::recordDevicesChanged, this,
            [] { qInfo() << "Record devices list was updated"; });

    setOutputDeviceIndex(m_settings->value(QStringLiteral("outputDeviceIndex"), 0).toInt());
    KLBass::outputDevice = m_outputDeviceIndex - 1;
    connect(this, &VCHub::outputDeviceIndexChanged, this, &VCHub::handleOutputDeviceIndexChanged);
}

void VCHub::readPlaySettings()
{
    m_failbackHoldMaxMs =
        m_settings->value(QStringLiteral("failbackHoldMaxMs"), defaultFailbackHoldMaxMs).toInt();
    m_startupGraceMs = std::max(
        0, m_settings->value(QStringLiteral("startupGraceMs"), defaultStartupGraceMs).toInt());
    connect(this, &VCHub::startupGraceMsChanged, this, [this](int value) {
        qInfo() << "Start-up grace changed to" << value << "ms";
        m_settings->setValue(QStringLiteral("startupGraceMs"), value);
    });
    m_loudnessMatch = m_settings->value(QStringLiteral("loudnessMatch"), false).toBool();
    m_loudnessTargetLufs = std::clamp(
        m_settings->value(QStringLiteral("loudnessTargetLufs"), defaultLoudnessTargetLufs)
            .toDouble(),
        -40.0, -10.0);
    connect(this, &VCHub::loudnessMatchChanged, this, [this](bool value) {
        qInfo() << "Loudness matching" << (value ? "on" : "off");
        m_settings->setValue(QStringLiteral("loudnessMatch"), value);
    });
    connect(this, &VCHub::loudnessTargetLufsChanged, this, [this](double value) {
        qInfo() << "Loudness target changed to" << value << "LUFS";
        m_settings->setValue(QStringLiteral("loudnessTargetLufs"), value);
    });
}

void VCHub::readSourceSettings()
{
    setSilenceDetectionLevelDb(
        m_settings->value(QStringLiteral("silenceDetectionLevelDb"), -50.0).toDouble());
    setSilenceDetectionStartMs(
        m_settings->value(QStringLiteral("silenceDetectionStartMs"), 5000).toInt());
    setSilenceDetectionEndMs(
        m_settings->value(QStringLiteral("silenceDetectionEndMs"), 5000).toInt());
    connect(this, &VCHub::silenceDetectionLevelDbChanged, this, [this](double value) {
        qInfo() << "Silence detection level changed to" << value << "db";
        m_settings->setValue(QStringLiteral("silenceDetectionLevelDb"), value);
    });
    connect(this, &VCHub::silenceDetectionStartMsChanged, this, [this](int value) {
        qInfo() << "Silence detection interval change to" << value << "ms";
        m_settings->setValue(QStringLiteral("silenceDetectionStartMs"), value);
    });
    connect(this, &VCHub::silenceDetectionEndMsChanged, this, [this](int value) {
        qInfo() << "Sound detection interval change to" << value << "ms";
        m_settings->setValue(QStringLiteral("silenceDetectionEndMs"), value);
    });
    setFailbackHoldMs(
        m_settings->value(QStringLiteral("failbackHoldMs"), defaultFailbackHoldMs).toInt());
    connect(this, &VCHub::failbackHoldMsChanged, this, [this](int value) {
        qInfo() << "Failback hold changed to" << value << "ms";
        m_settings->setValue(QStringLiteral("failbackHoldMs"), value);
    });

    setFailoverNotifications(
        m_settings->value(QStringLiteral("failoverNotifications"), true).toBool());
    connect(this, &VCHub::failoverNotificationsChanged, this, [this](bool value) {
        qInfo() << "Failover notifications" << (value ? "on" : "off");
        m_settings->setValue(QStringLiteral("failoverNotifications"), value);
    });
}

void VCHub::followClient()
{
    connect(m_clientUser, &VCClientUser::isLoggedInChanged, this, [this](bool isLoggedIn) {
        if (isLoggedIn) {
            // Sources already on air go on: restarting them would be a gap in the broadcast.
            qDebug() << "User logged in, start all sources";
            startStoppedSources();
        } else {
            qDebug() << "User logged out, stop all sources";
            stopAllSources();
        }
    });
    connect(m_clientUser, &VCClientUser::savedSessionEnded, this, [this] {
        // A confirmed login stops them on its logout; a saved one ends what played on it.
        qDebug() << "Saved login has ended, stop all sources";
        stopAllSources();
    });
    connect(m_clientUser, &VCClientUser::isLoggedInChanged, this, &VCHub::updateSourcesFromClient);
    connect(m_clientUser, &VCClientUser::sidChanged, this, &VCHub::updateSourcesFromClient);
    connect(m_clientUser, &VCClientUser::userIdChanged, this, &VCHub::updateSourcesFromClient);
    connect(m_clientUser, &VCClientUser::streamsChanged, this, &VCHub::updateSourcesFromClient);
    connect(m_clientUser, &VCClientUser::usernameChanged, this, &VCHub::deleteAllSources);
}

VCHub::~VCHub()
{
    // The endpoint's threads read the hub's pages: they end first.
    delete m_metrics;
    m_metrics = nullptr;
    // Stop every player (each source joins its thread) before the client and settings go.
    const QList<VCSource *> sources = m_sources->toList();
    m_sources->clear();
    qDeleteAll(sources);
    m_settings->sync();
    VCSettingsFile::restrict();
}

VCSource *VCHub::heardSource() const
{
    return m_onAir.heardSource();
}

void VCHub::cleanOldLogFiles()
{
    const int days = m_settings->value(QStringLiteral("logsStoreDays"), m_logsStoreDays).toInt();
    if (days != m_logsStoreDays) {
        setLogsStoreDays(days);
        return;
    }
    removeOldLogFiles(m_logsStoreDays);
}

void VCHub::updateOutputDevicesFromBass()
{
    QStringList devices{tr("Default device")};
    BASS_DEVICEINFO info{};
    for (DWORD device = 0; BASS_GetDeviceInfo(device, &info); ++device)
        devices.append(QString::fromLocal8Bit(info.name));
    const bool isDeviceNew =
        std::any_of(devices.cbegin(), devices.cend(),
                    [this](const QString &d) { return !m_outputDevices.contains(d); });
    updateOutputDevices(devices);
    // The operator's index rule has run on the new list; a device that came while the default
    // device had nowhere to play but "No sound" brings the engine back onto it.
    if (isDeviceNew && isOnNoSoundFallback()) {
        qInfo() << "Output device appeared, restarting on the default device";
        restartAllSources();
    }
    checkOutputDevice();
}

bool VCHub::isOnNoSoundFallback() const
{
    // BASS_GetDevice fails (-1) while the engine is closed.
    return m_outputDeviceIndex == 0 && KLBass::outputDevice == -1 && BASS_GetDevice() == 0;
}

void VCHub::handleDeviceFailure()
{
    m_isDeviceFailurePending = true;
    emit deviceFailed();
    m_restartTimer.start();
    checkOutputDevice();
}

void VCHub::checkOutputDevice()
{
    const bool isMissing = m_isDeviceFailurePending || isOnNoSoundFallback();
    if (updateIsOutputDeviceMissing(isMissing)) {
        if (isMissing)
            qWarning() << "No output device: sound is off";
        else
            qInfo() << "Output device is back: sound is on";
    }
}

void VCHub::updateRecordDevicesFromBass()
{
    QJsonArray devices;
    BASS_DEVICEINFO info{};
    for (DWORD device = 0; BASS_RecordGetDeviceInfo(device, &info); ++device) {
        if (!(info.flags & BASS_DEVICE_ENABLED) || (info.flags & BASS_DEVICE_LOOPBACK))
            continue;
        devices.append(QJsonObject{
            {QStringLiteral("name"), QString::fromLocal8Bit(info.name)},
            {QStringLiteral("streamUrl"), QStringLiteral("record:%1").arg(device)},
        });
    }
    updateRecordDevices(devices);
}

void VCHub::handleOutputDeviceIndexChanged(int index)
{
    const bool valid = index == 0 || (index > 0 && index < m_outputDevices.size());
    if (!valid) {
        qWarning() << "New output device index" << index << "is not valid";
        setOutputDeviceIndex(m_outputDevices.size() < 2 ? 0 : 1);
        return;
    }
    qInfo() << "Output device changed to" << m_outputDevices.value(index) << "index" << index;
    m_settings->setValue(QStringLiteral("outputDeviceIndex"), index);
    if (KLBass::outputDevice != index - 1) {
        KLBass::outputDevice = index - 1;
        restartAllSources();
    }
}

bool VCHub::isValidSourceIndex(int index) const
{
    return index >= 0 && index < m_sources->count();
}

void VCHub::play(int sourceIndex, const QString &streamUrl)
{
    if (!isValidSourceIndex(sourceIndex)) {
        qWarning() << "Play source index from" << sourceIndex << "is not valid";
        return;
    }
    m_sources->at(sourceIndex)->play(QUrl(streamUrl, QUrl::TolerantMode));
}

void VCHub::restart(int sourceIndex)
{
    if (!isValidSourceIndex(sourceIndex)) {
        qWarning() << "Restart source index from" << sourceIndex << "is not valid";
        return;
    }
    m_sources->at(sourceIndex)->restart();
}

VCSource *VCHub::createSource(const QUrl &url, double volumeLevel)
{
    auto *source = new VCSource(this, url, volumeLevel, this);
    connect(source, &VCSource::streamUrlChanged, this, &VCHub::saveSourcesStreamsToSettings,
            Qt::QueuedConnection);
    connect(source, &VCSource::volumeLevelChanged, this, &VCHub::saveSourcesStreamsToSettings,
            Qt::QueuedConnection);
    connect(source, &VCSource::isConnectedChanged, this, &VCHub::updateSourcesActivity,
            Qt::QueuedConnection);
    connect(source, &VCSource::isSilentSoundChanged, this, &VCHub::updateSourcesActivity,
            Qt::QueuedConnection);
    connect(source, &VCSource::isActiveChanged, m_clientUser, &VCClientUser::sendPlayerState,
            Qt::QueuedConnection);
    connect(source, &VCSource::isConnectedChanged, m_clientUser, &VCClientUser::sendPlayerState,
            Qt::QueuedConnection);
    connect(source, &VCSource::isSilentSoundChanged, m_clientUser, &VCClientUser::sendPlayerState,
            Qt::QueuedConnection);
    connect(source, &VCSource::deviceFailure, this, &VCHub::handleDeviceFailure,
            Qt::QueuedConnection);
    // Direct: which source is heard is read before the loss changes it.
    connect(source, &VCSource::connectionLost, this,
            [this, source] { handleConnectionLost(source); });
    connect(source, &VCSource::isHeldBackChanged, this, &VCHub::updateSourcesActivity,
            Qt::QueuedConnection);
    connect(source, &VCSource::handedOver, this, &VCHub::handleHandOver);
    connect(source, &VCSource::volumeLevelChanged, this, &VCHub::armStandby);
    connect(source, &VCSource::loudnessGainChanged, this, &VCHub::armStandby);
    connect(source, &VCSource::isStartingChanged, this, &VCHub::updateSourcesActivity,
            Qt::QueuedConnection);
    return source;
}

void VCHub::handleConnectionLost(VCSource *source)
{
    const int index = m_sources->indexOf(source);
    for (int i = 0; i < index; ++i) {
        if (m_sources->at(i)->isActive())
            return;
    }
    source->holdBack();
}

void VCHub::initSources()
{
    m_sources->clear();
    for (const VCSettingsFile::SavedSource &saved : VCSettingsFile::readSources(m_settings))
        m_sources->append(createSource(saved.streamUrl, saved.volumeLevel));
}

void VCHub::addNewRecordSource()
{
    if (m_recordDevices.isEmpty())
        return;
    // Created with its address, so that no state report ever shows it without one.
    const QUrl url(
        m_recordDevices.first().toObject().value(QStringLiteral("streamUrl")).toString());
    VCSource *source = createSource(url, 1.0);
    qInfo() << "New source" << source->sourceName() << "created";
    source->play(url);
    m_sources->append(source);
    saveSourcesStreamsToSettings();
    updateSourcesActivityQuietly();
}

void VCHub::moveSource(int indexFrom, int indexTo)
{
    if (!isValidSourceIndex(indexFrom)) {
        qWarning() << "Move source index from" << indexFrom << "is not valid";
        return;
    }
    if (!isValidSourceIndex(indexTo)) {
        qWarning() << "Move source index to" << indexTo << "is not valid";
        return;
    }
    qInfo() << "Move source" << m_sources->at(indexFrom)->sourceName() << "from" << indexFrom
            << "to" << indexTo;
    m_sources->move(indexFrom, indexTo);
    saveSourcesStreamsToSettings();
    updateSourcesActivityQuietly();
}

void VCHub::deleteSource(int sourceIndex)
{
    if (!isValidSourceIndex(sourceIndex)) {
        qWarning() << "Delete source index" << sourceIndex << "is not valid";
        return;
    }
    VCSource *source = m_sources->at(sourceIndex);
    qInfo() << "Delete source" << source->sourceName() << "at index" << sourceIndex;
    m_onAir.forget(source);
    source->deleteLater();
    m_sources->remove(sourceIndex);
    saveSourcesStreamsToSettings();
    updateSourcesActivityQuietly();
}

void VCHub::deleteAllSources()
{
    while (!m_sources->isEmpty())
        deleteSource(0);
}

void VCHub::saveSourcesStreamsToSettings()
{
    VCSettingsFile::writeSources(m_settings, m_sources->toList());
}

void VCHub::updateSourcesActivity()
{
    VCSource *chosen = VCOnAir::choose(m_sources->toList());
    if (chosen)
        chosen->setIsActive(true);
    for (VCSource *source : *m_sources) {
        if (source != chosen)
            source->setIsActive(false);
    }
    m_onAir.update(chosen, m_sources->toList(), m_isOperatorChange);
    armStandby();
}

void VCHub::armStandby()
{
    // The source that would be chosen if the heard one dropped takes over in the engine itself
    // the moment the heard one runs dry; the hub then decides at its own pace.
    const QList<VCSource *> sources = m_sources->toList();
    VCSource *heard = m_onAir.heardSource();
    VCSource *standby = heard ? VCOnAir::firstWithSound(sources, heard) : nullptr;
    for (VCSource *source : sources)
        source->setStandby(source == heard ? standby : nullptr);
}

void VCHub::handleHandOver()
{
    // The engine raised the standby as the heard source ran dry: which source is heard is
    // decided again, and every source's volume set again as that decision wants it (a standby
    // that is not chosen after all is lowered again).
    if (auto *source = qobject_cast<VCSource *>(sender()))
        qInfo() << source->sourceName() << "Ran dry, the next source took over at once";
    updateSourcesActivity();
    for (VCSource *source : *m_sources)
        source->reapplyVolume();
}

void VCHub::updateSourcesActivityQuietly()
{
    m_isOperatorChange = true;
    updateSourcesActivity();
    m_isOperatorChange = false;
}

void VCHub::reportSwitch(VCSource *heard, VCSource *previous, VCOnAirChange reason)
{
    emit onAirChanged(sourceLabel(heard), previous ? sourceLabel(previous) : QString(), reason);
    switch (reason) {
    case VCOnAirChange::WentSilent:
        emit switchedOver(SwitchReason::Silent);
        break;
    case VCOnAirChange::Stalled:
        emit switchedOver(SwitchReason::Stalled);
        break;
    case VCOnAirChange::Disconnected:
        emit switchedOver(SwitchReason::Disconnected);
        break;
    case VCOnAirChange::CameBack:
        emit switchedOver(SwitchReason::Returned);
        break;
    }
}

QString VCHub::sourceLabel(VCSource *source) const
{
    QString name = KLCredentials::redacted(source->streamUrl());
    if (source->isRecordDevice()) {
        for (const QJsonValue &device : m_recordDevices) {
            const QJsonObject object = device.toObject();
            if (object.value(QStringLiteral("streamUrl")).toString() ==
                source->streamUrl().toString())
                name = object.value(QStringLiteral("name")).toString();
        }
    }
    return QStringLiteral("%1. %2").arg(m_sources->indexOf(source) + 1).arg(name);
}

void VCHub::updateSourcesFromClient()
{
    if (!m_clientUser->isLoggedIn() || m_clientUser->userId() < 1 ||
        m_clientUser->sid().isEmpty() || m_clientUser->streams().isEmpty())
        return;
    const QList<QUrl> wanted = VCServiceStreams::addresses(
        m_clientUser->streams(), m_clientUser->userId(), m_clientUser->sid(), maxServiceSources);
    // A list of nothing playable is an empty list: the sources stay as they are.
    if (wanted.isEmpty())
        return;
    deleteDuplicateSources();
    matchSourcesTo(wanted);
    saveSourcesStreamsToSettings();
    updateSourcesActivity();
}

void VCHub::deleteDuplicateSources()
{
    // Of several sources with one address the last survives.
    for (int i = 0; i < m_sources->count() - 1;) {
        const QUrl url = m_sources->at(i)->streamUrl();
        bool hasLaterTwin = false;
        for (int j = i + 1; j < m_sources->count() && !hasLaterTwin; ++j)
            hasLaterTwin = VCServiceStreams::isSameStream(url, m_sources->at(j)->streamUrl());
        if (hasLaterTwin) {
            qDebug() << "Deleting a duplicate source" << m_sources->at(i)->sourceName();
            deleteSource(i);
        } else {
            ++i;
        }
    }
}

void VCHub::matchSourcesTo(const QList<QUrl> &wanted)
{
    for (int i = 0; i < m_sources->count();) {
        VCSource *source = m_sources->at(i);
        const auto match = std::find_if(wanted.cbegin(), wanted.cend(), [&](const QUrl &w) {
            return VCServiceStreams::isSameStream(w, source->streamUrl());
        });
        if (match != wanted.cend()) {
            if (*match != source->streamUrl())
                source->play(*match);
            ++i;
        } else if (!source->isRecordDevice()) {
            qDebug() << "Deleting a source" << source->sourceName()
                     << "that was not received from the server";
            deleteSource(i);
        } else {
            ++i;
        }
    }

    for (const QUrl &url : wanted) {
        const bool present =
            std::any_of(m_sources->begin(), m_sources->end(), [&](const VCSource *source) {
                return VCServiceStreams::isSameStream(url, source->streamUrl());
            });
        if (present)
            continue;
        VCSource *source = createSource(url, 1.0);
        source->play(url);
        qInfo() << "New source" << source->sourceName() << "was received from the server";
        m_sources->append(source);
    }
}

void VCHub::stopAllSources()
{
    for (VCSource *source : *m_sources)
        source->stop();
}

void VCHub::startStoppedSources()
{
    for (VCSource *source : *m_sources) {
        if (!source->shouldPlay())
            source->play();
    }
}

void VCHub::restartAllSources()
{
    // Sources stopped on purpose (after a logout or a 403) stay stopped.
    QList<VCSource *> playing;
    for (VCSource *source : *m_sources) {
        if (source->shouldPlay())
            playing.append(source);
        source->stopSync();
    }
    KLPlayer::reopenOutputDevice();
    for (VCSource *source : std::as_const(playing))
        source->play();
    m_isDeviceFailurePending = false;
    checkOutputDevice();
    emit engineRestarted();
}

// Property writers.

bool VCHub::updateClientUser(VCClientUser *clientUser)
{
    return assign(this, m_clientUser, clientUser, &VCHub::clientUserChanged);
}

bool VCHub::setLogsStoreDays(int value)
{
    return assign(this, m_logsStoreDays, value, &VCHub::logsStoreDaysChanged);
}

bool VCHub::setLanguage(const QString &value)
{
    return assign(this, m_language, value, &VCHub::languageChanged);
}

bool VCHub::setShowKeepRunningDialog(bool value)
{
    return assign(this, m_showKeepRunningDialog, value, &VCHub::showKeepRunningDialogChanged);
}

bool VCHub::updateOutputDevices(const QStringList &value)
{
    return assign(this, m_outputDevices, value, &VCHub::outputDevicesChanged);
}

bool VCHub::updateRecordDevices(const QJsonArray &value)
{
    return assign(this, m_recordDevices, value, &VCHub::recordDevicesChanged);
}

bool VCHub::updateIsOutputDeviceMissing(bool value)
{
    return assign(this, m_isOutputDeviceMissing, value, &VCHub::isOutputDeviceMissingChanged);
}

bool VCHub::setOutputDeviceIndex(int value)
{
    return assign(this, m_outputDeviceIndex, value, &VCHub::outputDeviceIndexChanged);
}

bool VCHub::setSilenceDetectionLevelDb(double value)
{
    return assign(this, m_silenceDetectionLevelDb, value, &VCHub::silenceDetectionLevelDbChanged);
}

bool VCHub::setSilenceDetectionStartMs(int value)
{
    return assign(this, m_silenceDetectionStartMs, value, &VCHub::silenceDetectionStartMsChanged);
}

bool VCHub::setSilenceDetectionEndMs(int value)
{
    return assign(this, m_silenceDetectionEndMs, value, &VCHub::silenceDetectionEndMsChanged);
}

bool VCHub::setLoudnessMatch(bool value)
{
    return assign(this, m_loudnessMatch, value, &VCHub::loudnessMatchChanged);
}

bool VCHub::setLoudnessTargetLufs(double value)
{
    if (!std::isfinite(value))
        return false;
    return assign(this, m_loudnessTargetLufs, std::clamp(value, -40.0, -10.0),
                  &VCHub::loudnessTargetLufsChanged);
}

bool VCHub::setStartupGraceMs(int value)
{
    return assign(this, m_startupGraceMs, std::max(0, value), &VCHub::startupGraceMsChanged);
}

bool VCHub::setFailbackHoldMs(int value)
{
    return assign(this, m_failbackHoldMs, value, &VCHub::failbackHoldMsChanged);
}

bool VCHub::setFailoverNotifications(bool value)
{
    return assign(this, m_failoverNotifications, value, &VCHub::failoverNotificationsChanged);
}
