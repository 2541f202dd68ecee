#include "vcclientuser.h"

#include "klcredentials.h"
#include "klnetworkaccessmanager.h"
#include "vcassign.h"
#include "vchub.h"
#include "vcidentity.h"
#include "vcsource.h"

#include <QDebug>
#include <QJsonDocument>
#include <QMetaEnum>
#include <QNetworkReply>
#include <QSettings>

#include <cmath>

using VC::assign;

namespace {

const char builtInServiceUrl[] = "https://service.vellacast.example";

const QString sidKey = QStringLiteral("sid");
const QString usernameKey = QStringLiteral("username");

QJsonValue finiteOrNull(double value)
{
    return std::isfinite(value) ? QJsonValue(value) : QJsonValue(QJsonValue::Null);
}

} // namespace

VCClientUser::VCClientUser(VCHub *hub, QObject *parent)
    : QObject(parent)
    , m_hub(hub)
{
    auto *nam = new KLNetworkAccessManager(this);
    nam->setReferer(QString::fromLatin1(VCIdentity::organizationDomain));
    nam->setTimeoutMs(networkTimeoutMs);
    updateNam(nam);

    if (m_hub) {
        QSettings *settings = m_hub->settings();
        updateSid(settings->value(sidKey).toString());
        connect(this, &VCClientUser::sidChanged, this, [this](const QString &sid) {
            if (m_hub)
                m_hub->settings()->setValue(sidKey, sid);
        });
        setUsername(settings->value(usernameKey).toString());
        connect(this, &VCClientUser::usernameChanged, this, [this](const QString &username) {
            if (m_hub)
                m_hub->settings()->setValue(usernameKey, username);
        });
    }

    m_reportTimer.setInterval(reportPeriodMs);
    connect(&m_reportTimer, &QTimer::timeout, this, &VCClientUser::sendPlayerState);
    m_reportTimer.start();
}

VCClientUser::~VCClientUser()
{
    // A request still running must not reach a half-destroyed client.
    if (m_playerReply)
        m_playerReply->disconnect(this);
    if (m_versionReply)
        m_versionReply->disconnect(this);
}

QString VCClientUser::baseUrl()
{
    static const QString url = [] {
        const QString configured = qEnvironmentVariable("VELLACAST_SERVICE_URL");
        if (configured.isEmpty())
            return QString::fromLatin1(builtInServiceUrl);
        QUrl parsed(configured, QUrl::StrictMode);
        const bool usable = parsed.isValid() && !parsed.host().isEmpty() &&
                            (parsed.scheme() == QLatin1String("https") ||
                             parsed.scheme() == QLatin1String("http")) &&
                            parsed.userInfo().isEmpty() && !parsed.hasQuery() &&
                            !parsed.hasFragment() &&
                            (parsed.path().isEmpty() || parsed.path() == QLatin1String("/"));
        if (!usable) {
            qWarning() << "VELLACAST_SERVICE_URL is not a service address, using"
                       << builtInServiceUrl;
            return QString::fromLatin1(builtInServiceUrl);
        }
        parsed.setPath(QString());
        return parsed.toString();
    }();
    return url;
}

QNetworkReply *VCClientUser::post(const QString &path, const QJsonObject &body)
{
    QNetworkRequest request(QUrl(baseUrl() + path));
    request.setHeader(QNetworkRequest::ContentTypeHeader, QStringLiteral("application/json"));
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute,
                         QNetworkRequest::NoLessSafeRedirectPolicy);
    request.setAttribute(KLNetworkAccessManager::MaxBodySizeAttribute, maxAnswerSize);
    return m_nam->post(request, QJsonDocument(body).toJson(QJsonDocument::Compact));
}

void VCClientUser::versionCheck()
{
    const QJsonObject body{
        {QStringLiteral("version"), QString::fromLatin1(VCIdentity::applicationVersion)},
        {QStringLiteral("versionCode"), VCIdentity::versionCode},
    };
    if (QNetworkReply *previous = m_versionReply) {
        // Not disconnected: aborting finishes it at once, and versionCheckFinished() logs that
        // as a failure (and forgets it).
        if (previous->isRunning())
            previous->abort();
        previous->deleteLater();
    }
    m_versionReply = post(QStringLiteral("/api/player/version"), body);
    connect(m_versionReply, &QNetworkReply::finished, this, &VCClientUser::versionCheckFinished);
}

void VCClientUser::versionCheckFinished()
{
    if (!m_hub || sender() != m_versionReply)
        return;
    m_versionReply = nullptr;
    QNetworkReply *reply = KLNetworkAccessManager::senderReply(
        sender(), QStringLiteral("Vellacast version check request"),
        *QLoggingCategory::defaultCategory());
    if (!reply)
        return;
    const QJsonDocument answer = QJsonDocument::fromJson(reply->readAll());
    if (answer.isObject())
        applyNewVersion(answer.object());
}

void VCClientUser::applyNewVersion(const QJsonObject &answer)
{
    updateNewVersion(answer.value(QStringLiteral("newVersion")).toString());
    updateNewVersionCode(answer.value(QStringLiteral("newVersionCode")).toInteger());
    const QString fileName = answer.value(QStringLiteral("newVersionFilename")).toString();
    const bool newer = !fileName.isEmpty() && m_newVersionCode > VCIdentity::versionCode;
    updateNewVersionUrl(newer ? baseUrl() + QStringLiteral("/playerBuild/") + fileName : QString());
}

void VCClientUser::login(const QString &username, const QString &password)
{
    const QString user = username.trimmed();
    const QString pass = password.trimmed();
    if (user.isEmpty())
        return;
    if (!pass.isEmpty()) {
        playerRequest({{QStringLiteral("user"), user}, {QStringLiteral("pass"), pass}});
        return;
    }
    if (!m_sid.isEmpty())
        sendPlayerState();
}

void VCClientUser::sendPlayerState()
{
    if (!m_hub || !m_hub->sources() || m_sid.isEmpty())
        return;
    playerRequest({{QStringLiteral("sid"), m_sid}, {QStringLiteral("sourcesInfo"), sourcesInfo()}});
}

QJsonArray VCClientUser::sourcesInfo() const
{
    QJsonArray info;
    if (!m_hub || !m_hub->sources())
        return info;
    for (const VCSource *source : *m_hub->sources()) {
        // The service knows a source by its address; one without it tells nothing.
        if (source->streamUrl().isEmpty())
            continue;
        info.append(QJsonObject{
            {QStringLiteral("streamUrl"), source->streamUrl().toString(QUrl::RemoveUserInfo)},
            {QStringLiteral("isActive"), source->isActive()},
            {QStringLiteral("volumeLevel"), finiteOrNull(source->volumeLevel())},
            {QStringLiteral("activityDurationMs"), source->activityDurationMs()},
            {QStringLiteral("isRecordDevice"), source->isRecordDevice()},
            {QStringLiteral("isPlaying"), source->isPlaying()},
            {QStringLiteral("isStalled"), source->isStalled()},
            {QStringLiteral("isConnected"), source->isConnected()},
            {QStringLiteral("connectionDurationMs"), source->connectionDurationMs()},
            {QStringLiteral("level"), finiteOrNull(source->level())},
            {QStringLiteral("levelDb"), finiteOrNull(source->levelDb())},
            {QStringLiteral("isSilentSound"), source->isSilentSound()},
            {QStringLiteral("soundDurationMs"), source->soundDurationMs()},
            {QStringLiteral("isSilentSoundByLevel"), source->isSilentSoundByLevel()},
            {QStringLiteral("soundByLevelDurationMs"), source->soundByLevelDurationMs()},
            {QStringLiteral("isHeldBack"), source->isHeldBack()},
            {QStringLiteral("heldBackRemainingMs"), source->heldBackRemainingMs()},
        });
    }
    return info;
}

void VCClientUser::playerRequest(QJsonObject body)
{
    body.insert(QStringLiteral("version"), QString::fromLatin1(VCIdentity::applicationVersion));
    body.insert(QStringLiteral("versionCode"), VCIdentity::versionCode);
    body.insert(QStringLiteral("updatePeriodMs"), reportPeriodMs);
    abortPlayerRequest();
    m_isSessionReport = body.contains(QStringLiteral("sid"));
    m_playerReply = post(QStringLiteral("/api/player/state"), body);
    connect(m_playerReply, &QNetworkReply::finished, this, &VCClientUser::playerRequestFinished);
    updateIsProcessingPlayerRequest(true);
}

void VCClientUser::abortPlayerRequest()
{
    if (m_playerReply && m_playerReply->isRunning()) {
        m_playerReply->disconnect(this);
        m_playerReply->abort();
        m_playerReply->deleteLater();
    }
    m_playerReply = nullptr;
    updateIsProcessingPlayerRequest(false);
}

void VCClientUser::playerRequestFinished()
{
    if (!m_hub)
        return;
    auto *reply = qobject_cast<QNetworkReply *>(sender());
    if (!reply || reply != m_playerReply) {
        updateIsProcessingPlayerRequest(false);
        return;
    }
    m_playerReply = nullptr;
    reply->deleteLater();

    // A mistyped password answers for itself only; the saved session's own report decides it.
    const bool isSavedSessionReport = m_isSessionReport && !m_isLoggedIn;
    const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    emit stateReportFinished(status != forbiddenStatus && reply->error() == QNetworkReply::NoError,
                             status);
    if (status == forbiddenStatus) {
        if (m_isLoggedIn) {
            qWarning() << "Vellacast server replied forbidden, logout";
            logout();
        } else {
            qWarning() << "Vellacast server replied forbidden, auth error";
            emit authError();
            if (isSavedSessionReport)
                emit savedSessionEnded();
        }
    } else if (reply->error() == QNetworkReply::NoError) {
        const QJsonDocument document = QJsonDocument::fromJson(reply->readAll());
        if (document.isObject()) {
            const QJsonObject answer = document.object();
            updateSid(answer.value(QStringLiteral("sid")).toString());
            setUsername(answer.value(QStringLiteral("username")).toString());
            updateUserId(answer.value(QStringLiteral("userId")).toInt());
            updateCity(answer.value(QStringLiteral("city")).toString());
            updateStationName(answer.value(QStringLiteral("stationName")).toString());
            updateStationLogoUrl(baseUrl() + QStringLiteral("/stationFormat/") +
                                 answer.value(QStringLiteral("stationLogoFilename")).toString());
            updateIsLoggedIn(m_userId > 0);
            updateStreams(answer.value(QStringLiteral("streams")).toArray());
            applyNewVersion(answer);
            if (isSavedSessionReport && m_sid.isEmpty() && !m_isLoggedIn) {
                qWarning() << "Vellacast server ended the saved login";
                emit savedSessionEnded();
            }
        }
    } else {
        const char *code =
            QMetaEnum::fromType<QNetworkReply::NetworkError>().valueToKey(reply->error());
        qWarning() << "Error Vellacast send player state request:"
                   << KLCredentials::redacted(reply->request().url())
                   << KLCredentials::redacted(reply->errorString()) << "Code:" << code;
        if (!m_isLoggedIn)
            emit authError();
    }
    updateIsProcessingPlayerRequest(false);
}

void VCClientUser::logout()
{
    abortPlayerRequest();
    // Nobody reads the answer; the reply goes when it is done.
    QNetworkReply *reply =
        post(QStringLiteral("/api/player/logout"), {{QStringLiteral("sid"), m_sid}});
    connect(reply, &QNetworkReply::finished, reply, &QObject::deleteLater);
    updateSid(QString());
    updateUserId(0);
    updateCity(QString());
    updateStationName(QString());
    updateStationLogoUrl(QString());
    updateIsLoggedIn(false);
}

// Property writers.

bool VCClientUser::updateNam(KLNetworkAccessManager *nam)
{
    return assign(this, m_nam, nam, &VCClientUser::namChanged);
}

bool VCClientUser::updateIsProcessingPlayerRequest(bool value)
{
    return assign(this, m_isProcessingPlayerRequest, value,
                  &VCClientUser::isProcessingPlayerRequestChanged);
}

bool VCClientUser::updateIsLoggedIn(bool value)
{
    return assign(this, m_isLoggedIn, value, &VCClientUser::isLoggedInChanged);
}

bool VCClientUser::updateSid(const QString &value)
{
    return assign(this, m_sid, value, &VCClientUser::sidChanged);
}

bool VCClientUser::setUsername(const QString &value)
{
    return assign(this, m_username, value, &VCClientUser::usernameChanged);
}

bool VCClientUser::updateUserId(int value)
{
    return assign(this, m_userId, value, &VCClientUser::userIdChanged);
}

bool VCClientUser::updateCity(const QString &value)
{
    return assign(this, m_city, value, &VCClientUser::cityChanged);
}

bool VCClientUser::updateStationName(const QString &value)
{
    return assign(this, m_stationName, value, &VCClientUser::stationNameChanged);
}

bool VCClientUser::updateStationLogoUrl(const QString &value)
{
    return assign(this, m_stationLogoUrl, value, &VCClientUser::stationLogoUrlChanged);
}

bool VCClientUser::updateStreams(const QJsonArray &value)
{
    return assign(this, m_streams, value, &VCClientUser::streamsChanged);
}

bool VCClientUser::updateNewVersion(const QString &value)
{
    return assign(this, m_newVersion, value, &VCClientUser::newVersionChanged);
}

bool VCClientUser::updateNewVersionCode(qlonglong value)
{
    return assign(this, m_newVersionCode, value, &VCClientUser::newVersionCodeChanged);
}

bool VCClientUser::updateNewVersionUrl(const QString &value)
{
    return assign(this, m_newVersionUrl, value, &VCClientUser::newVersionUrlChanged);
}
