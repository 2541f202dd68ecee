#pragma once

#include "vcdevhttpresponse.h"

#include <QDateTime>
#include <QJsonArray>
#include <QJsonObject>
#include <QList>
#include <QObject>
#include <QStringList>

// The player API of the demo service for its one account: the version check with the offer of a
// new build, login and state reports, logout, and the sessions whose credentials open the stream
// addresses. Older sessions are forgotten, ended ones first.
class VCDevPlayerApi : public QObject
{
    Q_OBJECT

public:
    static constexpr const char *accountUser = "demo";
    static constexpr const char *accountPassword = "demo";
    static constexpr int accountUserId = 4217;
    static constexpr const char *playerVersion = "1.1.15";
    static constexpr const char *logoFileName() { return "vellacast-demo-logo.png"; }

    explicit VCDevPlayerApi(int maxSessions, QObject *parent = nullptr);

    // The build the version check offers; false when it is not major.minor.patch.
    bool setOfferedVersion(const QString &version);
    bool isForbidden() const { return m_forbidden; }
    void setForbidden(bool forbidden);
    // The stream addresses a logged-in player is given.
    void setStreamUrls(const QStringList &urls) { m_streamUrls = urls; }

    // Whether name is a call of the API under /api/player/ (version, state or logout).
    static bool isCall(const QString &name);
    // The answer to POST /api/player/<name> for a call of the API.
    VCDevHttpResponse respond(const QString &name, const QByteArray &body);
    // The address of the offered build under /playerBuild/, and the file itself.
    QString buildPath() const;
    VCDevHttpResponse buildFile() const;

    // Serial number of the active session whose user id and session id the Basic credentials
    // carry; 0 for none.
    int sessionFromAuthorization(const QByteArray &authorization) const;

    // The offer and the switch, and the latest sessions, for the status page.
    QJsonObject offerStatus() const;
    QJsonArray sessionsStatus() const;

    // "1.1.15" -> 101150; -1 when the text is not major.minor.patch with minor and patch below 100.
    static qint64 versionCode(const QString &version);

signals:
    // A state report of the session with this serial number was stored.
    void stateReported(int session);
    // The session logged out or was forgotten; its stream addresses no longer work.
    void sessionEnded(int session);

private:
    struct Session
    {
        int serial = 0;
        QString sid;
        QDateTime loginTime;
        bool active = true;
        int reportCount = 0;
        QDateTime lastReportTime;
        QJsonObject lastReport;
    };

    VCDevHttpResponse handleVersion(const QByteArray &body) const;
    VCDevHttpResponse handleState(const QByteArray &body);
    VCDevHttpResponse logIn(const QJsonObject &body);
    VCDevHttpResponse handleLogout(const QByteArray &body);
    VCDevHttpResponse playerAnswer(const Session &session) const;
    QJsonObject offer() const;
    Session *sessionBySid(const QString &sid);
    void endSession(Session &session);
    void forgetOldSessions();

    int m_maxSessions;
    bool m_forbidden = false;
    QString m_offeredVersion;
    qint64 m_offeredCode = 0;
    QStringList m_streamUrls;
    QList<Session> m_sessions;
    int m_nextSession = 1;
};
