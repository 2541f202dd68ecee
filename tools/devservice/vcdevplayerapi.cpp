#include "vcdevplayerapi.h"

#include "vcdevlogging.h"

#include <QJsonDocument>
#include <QRandomGenerator>

#include <algorithm>

namespace {

constexpr int sessionsShownInStatus = 32;

QJsonObject parseObject(const QByteArray &body, bool *ok)
{
    QJsonParseError error;
    const QJsonDocument document = QJsonDocument::fromJson(body, &error);
    *ok = error.error == QJsonParseError::NoError && document.isObject();
    return document.object();
}

QString newSid()
{
    quint32 words[4];
    QRandomGenerator::system()->fillRange(words);
    return QString::fromLatin1(
        QByteArray(reinterpret_cast<const char *>(words), sizeof words).toHex());
}

VCDevHttpResponse notAnObject()
{
    return VCDevHttpResponse::text(400, "The body must be a JSON object");
}

} // namespace

VCDevPlayerApi::VCDevPlayerApi(int maxSessions, QObject *parent)
    : QObject(parent)
    , m_maxSessions(maxSessions)
{}

qint64 VCDevPlayerApi::versionCode(const QString &version)
{
    const QStringList parts = version.split(QLatin1Char('.'));
    if (parts.size() != 3)
        return -1;
    qint64 numbers[3];
    for (int i = 0; i < 3; ++i) {
        bool ok = false;
        numbers[i] = parts[i].toLongLong(&ok);
        if (!ok || numbers[i] < 0 || parts[i].startsWith(QLatin1Char('+')))
            return -1;
    }
    if (numbers[1] > 99 || numbers[2] > 99 || numbers[0] > 999999)
        return -1;
    return numbers[0] * 100000 + numbers[1] * 1000 + numbers[2] * 10;
}

bool VCDevPlayerApi::setOfferedVersion(const QString &version)
{
    const qint64 code = versionCode(version);
    if (code < 0)
        return false;
    m_offeredVersion = version;
    m_offeredCode = code;
    return true;
}

void VCDevPlayerApi::setForbidden(bool forbidden)
{
    if (m_forbidden == forbidden)
        return;
    m_forbidden = forbidden;
    qCInfo(lcDevService) << "State requests are now answered" << (forbidden ? "403" : "normally");
}

bool VCDevPlayerApi::isCall(const QString &name)
{
    return name == QLatin1String("version") || name == QLatin1String("state") ||
           name == QLatin1String("logout");
}

VCDevHttpResponse VCDevPlayerApi::respond(const QString &name, const QByteArray &body)
{
    if (name == QLatin1String("version"))
        return handleVersion(body);
    if (name == QLatin1String("state"))
        return handleState(body);
    return handleLogout(body);
}

QJsonObject VCDevPlayerApi::offer() const
{
    return {{QStringLiteral("newVersion"), m_offeredVersion},
            {QStringLiteral("newVersionCode"), m_offeredCode},
            {QStringLiteral("newVersionFilename"),
             QStringLiteral("vellacast-%1-demo-build.txt").arg(m_offeredVersion)}};
}

QString VCDevPlayerApi::buildPath() const
{
    return QStringLiteral("/playerBuild/") +
           offer().value(QStringLiteral("newVersionFilename")).toString();
}

VCDevHttpResponse VCDevPlayerApi::buildFile() const
{
    const QByteArray text = "Vellacast " + m_offeredVersion.toUtf8() + " (build " +
                            QByteArray::number(m_offeredCode) +
                            ")\nThis file stands in for a new build offered by the "
                            "development service.\n";
    VCDevHttpResponse response{200, "application/octet-stream", text, {}};
    response.headers.append(std::make_pair(
        QByteArray("Content-Disposition"),
        QByteArray("attachment; filename=\"" +
                   offer().value(QStringLiteral("newVersionFilename")).toString().toUtf8() + '"')));
    return response;
}

VCDevHttpResponse VCDevPlayerApi::handleVersion(const QByteArray &body) const
{
    bool ok = false;
    parseObject(body, &ok);
    if (!ok)
        return notAnObject();
    return VCDevHttpResponse::json(offer());
}

VCDevHttpResponse VCDevPlayerApi::playerAnswer(const Session &session) const
{
    QJsonArray streams;
    for (const QString &url : m_streamUrls)
        streams.append(QJsonObject{{QStringLiteral("streamUrl"), url}});
    QJsonObject answer{
        {QStringLiteral("sid"), session.sid},
        {QStringLiteral("username"), QString::fromLatin1(accountUser)},
        {QStringLiteral("userId"), accountUserId},
        {QStringLiteral("city"), QStringLiteral("Riverton")},
        {QStringLiteral("stationName"), QStringLiteral("Vellacast Demo FM")},
        {QStringLiteral("stationLogoFilename"), QString::fromLatin1(logoFileName())},
        {QStringLiteral("streams"), streams},
    };
    const QJsonObject offered = offer();
    for (auto it = offered.begin(); it != offered.end(); ++it)
        answer.insert(it.key(), it.value());
    return VCDevHttpResponse::json(answer);
}

VCDevPlayerApi::Session *VCDevPlayerApi::sessionBySid(const QString &sid)
{
    if (sid.isEmpty())
        return nullptr;
    for (Session &session : m_sessions) {
        if (session.active && session.sid == sid)
            return &session;
    }
    return nullptr;
}

VCDevHttpResponse VCDevPlayerApi::handleState(const QByteArray &text)
{
    bool ok = false;
    QJsonObject body = parseObject(text, &ok);
    if (!ok)
        return notAnObject();
    if (m_forbidden)
        return VCDevHttpResponse::plain(403);
    if (body.contains(QStringLiteral("user")))
        return logIn(body);

    Session *session = sessionBySid(body.value(QStringLiteral("sid")).toString());
    if (!session)
        return VCDevHttpResponse::plain(403);
    body.remove(QStringLiteral("sid"));
    session->lastReport = body;
    session->lastReportTime = QDateTime::currentDateTime();
    ++session->reportCount;
    emit stateReported(session->serial);
    return playerAnswer(*session);
}

VCDevHttpResponse VCDevPlayerApi::logIn(const QJsonObject &body)
{
    const QString user = body.value(QStringLiteral("user")).toString();
    const QString pass = body.value(QStringLiteral("pass")).toString();
    if (user != QLatin1String(accountUser) || pass != QLatin1String(accountPassword)) {
        qCInfo(lcDevService) << "Login refused";
        return VCDevHttpResponse::plain(403);
    }
    forgetOldSessions();
    Session session;
    session.serial = m_nextSession++;
    session.sid = newSid();
    session.loginTime = QDateTime::currentDateTime();
    m_sessions.append(session);
    qCInfo(lcDevService) << "Session" << session.serial << "logged in";
    return playerAnswer(session);
}

VCDevHttpResponse VCDevPlayerApi::handleLogout(const QByteArray &text)
{
    bool ok = false;
    const QJsonObject body = parseObject(text, &ok);
    if (!ok)
        return notAnObject();
    if (Session *session = sessionBySid(body.value(QStringLiteral("sid")).toString())) {
        qCInfo(lcDevService) << "Session" << session->serial << "logged out";
        endSession(*session);
    }
    return VCDevHttpResponse::json({});
}

void VCDevPlayerApi::endSession(Session &session)
{
    session.active = false;
    emit sessionEnded(session.serial);
}

void VCDevPlayerApi::forgetOldSessions()
{
    while (m_sessions.size() >= m_maxSessions && !m_sessions.isEmpty()) {
        qsizetype victim = 0;
        for (qsizetype i = 0; i < m_sessions.size(); ++i) {
            if (!m_sessions[i].active) {
                victim = i;
                break;
            }
        }
        endSession(m_sessions[victim]);
        m_sessions.removeAt(victim);
    }
}

int VCDevPlayerApi::sessionFromAuthorization(const QByteArray &authorization) const
{
    if (!authorization.startsWith("Basic ") || authorization.size() > 1024)
        return 0;
    const auto decoded = QByteArray::fromBase64Encoding(authorization.mid(6).trimmed(),
                                                        QByteArray::AbortOnBase64DecodingErrors);
    if (!decoded)
        return 0;
    const QString text = QString::fromUtf8(*decoded);
    const qsizetype colon = text.indexOf(QLatin1Char(':'));
    if (colon < 0 || text.left(colon) != QString::number(accountUserId))
        return 0;
    const QString sid = text.mid(colon + 1);
    for (const Session &session : m_sessions) {
        if (session.active && session.sid == sid)
            return session.serial;
    }
    return 0;
}

QJsonObject VCDevPlayerApi::offerStatus() const
{
    return {{QStringLiteral("forbidden"), m_forbidden},
            {QStringLiteral("offeredVersion"), m_offeredVersion},
            {QStringLiteral("offeredVersionCode"), m_offeredCode},
            {QStringLiteral("newBuildOffered"),
             m_offeredCode > versionCode(QString::fromLatin1(playerVersion))}};
}

QJsonArray VCDevPlayerApi::sessionsStatus() const
{
    QJsonArray sessions;
    const qsizetype first = std::max<qsizetype>(0, m_sessions.size() - sessionsShownInStatus);
    for (qsizetype i = first; i < m_sessions.size(); ++i) {
        const Session &session = m_sessions[i];
        // The session id is a credential (it is the password of the stream addresses), so the
        // page names sessions by serial number only.
        sessions.append(QJsonObject{
            {QStringLiteral("session"), session.serial},
            {QStringLiteral("username"), QString::fromLatin1(accountUser)},
            {QStringLiteral("userId"), accountUserId},
            {QStringLiteral("active"), session.active},
            {QStringLiteral("loginTime"), session.loginTime.toString(Qt::ISODateWithMs)},
            {QStringLiteral("reportCount"), session.reportCount},
            {QStringLiteral("lastReportTime"),
             session.lastReportTime.isValid()
                 ? QJsonValue(session.lastReportTime.toString(Qt::ISODateWithMs))
                 : QJsonValue()},
            {QStringLiteral("lastReport"), session.lastReport},
        });
    }
    return sessions;
}
