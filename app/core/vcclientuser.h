#pragma once

#include <QJsonArray>
#include <QJsonObject>
#include <QObject>
#include <QPointer>
#include <QTimer>

#include "klnetworkaccessmanager.h"
class QNetworkReply;
class VCHub;

// The client of the broadcasting service: logs the operator in, keeps the session id, reports
// the state of every source once a minute and at once on important changes, logs out and asks
// whether a newer build exists. Everything runs on the main thread.
class VCClientUser : public QObject
{
    Q_OBJECT

    // clang-format off
    Q_PROPERTY(KLNetworkAccessManager *nam READ nam NOTIFY namChanged)
    Q_PROPERTY(bool isProcessingPlayerRequest
               READ isProcessingPlayerRequest
               NOTIFY isProcessingPlayerRequestChanged)
    Q_PROPERTY(bool isLoggedIn READ isLoggedIn NOTIFY isLoggedInChanged)
    Q_PROPERTY(QString sid READ sid NOTIFY sidChanged)
    Q_PROPERTY(QString username READ username WRITE setUsername NOTIFY usernameChanged)
    Q_PROPERTY(int userId READ userId NOTIFY userIdChanged)
    Q_PROPERTY(QString city READ city NOTIFY cityChanged)
    Q_PROPERTY(QString stationName READ stationName NOTIFY stationNameChanged)
    Q_PROPERTY(QString stationLogoUrl READ stationLogoUrl NOTIFY stationLogoUrlChanged)
    Q_PROPERTY(QJsonArray streams READ streams NOTIFY streamsChanged)
    Q_PROPERTY(QString newVersion READ newVersion NOTIFY newVersionChanged)
    Q_PROPERTY(qlonglong newVersionCode READ newVersionCode NOTIFY newVersionCodeChanged)
    Q_PROPERTY(QString newVersionUrl READ newVersionUrl NOTIFY newVersionUrlChanged)
    // clang-format on

public:
    static constexpr int reportPeriodMs = 60000;
    static constexpr int networkTimeoutMs = 10000;
    static constexpr int forbiddenStatus = 403;
    // Answers of the service are small; anything larger is refused.
    static constexpr qint64 maxAnswerSize = 1024 * 1024;

    VCClientUser(VCHub *hub, QObject *parent = nullptr);
    ~VCClientUser() override;

    // The service's base URL: scheme, host and optional port, no trailing slash. The
    // environment variable VELLACAST_SERVICE_URL replaces the built-in address.
    static QString baseUrl();

    KLNetworkAccessManager *nam() const { return m_nam; }
    bool isProcessingPlayerRequest() const { return m_isProcessingPlayerRequest; }
    bool isLoggedIn() const { return m_isLoggedIn; }
    QString sid() const { return m_sid; }
    QString username() const { return m_username; }
    int userId() const { return m_userId; }
    QString city() const { return m_city; }
    QString stationName() const { return m_stationName; }
    QString stationLogoUrl() const { return m_stationLogoUrl; }
    QJsonArray streams() const { return m_streams; }
    QString newVersion() const { return m_newVersion; }
    qlonglong newVersionCode() const { return m_newVersionCode; }
    QString newVersionUrl() const { return m_newVersionUrl; }
    // What a state report tells about every source (addresses without credentials).
    QJsonArray sourcesInfo() const;

signals:
    void namChanged(KLNetworkAccessManager *nam);
    void isProcessingPlayerRequestChanged(bool isProcessingPlayerRequest);
    void isLoggedInChanged(bool isLoggedIn);
    void sidChanged(const QString &sid);
    void usernameChanged(const QString &username);
    void userIdChanged(int userId);
    void cityChanged(const QString &city);
    void stationNameChanged(const QString &stationName);
    void stationLogoUrlChanged(const QString &stationLogoUrl);
    void streamsChanged(const QJsonArray &streams);
    void newVersionChanged(const QString &newVersion);
    void newVersionCodeChanged(qlonglong newVersionCode);
    void newVersionUrlChanged(const QString &newVersionUrl);
    void authError();
    // The service refused (403) or ended (an answer without a session) the saved session before
    // this run confirmed it: what went on air on it has to stop, and somebody has to log in.
    void savedSessionEnded();
    // A login or state report was answered (`isDelivered`), or failed: refused, an error or no
    // answer in time; `httpStatus` is the answer's status, 0 without one. An aborted one
    // (replaced by a newer one) is neither.
    void stateReportFinished(bool isDelivered, int httpStatus);

public slots:
    bool setUsername(const QString &username);

    void versionCheck();
    void login(const QString &username, const QString &password);
    void logout();
    void sendPlayerState();

protected slots:
    bool updateNam(KLNetworkAccessManager *nam);
    bool updateIsProcessingPlayerRequest(bool isProcessingPlayerRequest);
    bool updateIsLoggedIn(bool isLoggedIn);
    bool updateSid(const QString &sid);
    bool updateUserId(int userId);
    bool updateCity(const QString &city);
    bool updateStationName(const QString &stationName);
    bool updateStationLogoUrl(const QString &stationLogoUrl);
    bool updateStreams(const QJsonArray &streams);
    bool updateNewVersion(const QString &newVersion);
    bool updateNewVersionCode(qlonglong newVersionCode);
    bool updateNewVersionUrl(const QString &newVersionUrl);

private slots:
    void abortPlayerRequest();
    void playerRequest(QJsonObject body);
    void playerRequestFinished();
    void versionCheckFinished();

private:
    QNetworkReply *post(const QString &path, const QJsonObject &body);
    void applyNewVersion(const QJsonObject &answer);

    QPointer<VCHub> m_hub;
    QTimer m_reportTimer;
    QPointer<QNetworkReply> m_playerReply;
    // The pending player request reports the state of the session (not a password login).
    bool m_isSessionReport = false;
    QPointer<QNetworkReply> m_versionReply;

    KLNetworkAccessManager *m_nam = nullptr;
    bool m_isProcessingPlayerRequest = false;
    bool m_isLoggedIn = false;
    QString m_sid;
    QString m_username;
    int m_userId = 0;
    QString m_city;
    QString m_stationName;
    QString m_stationLogoUrl;
    QJsonArray m_streams;
    QString m_newVersion;
    qlonglong m_newVersionCode = 0;
    QString m_newVersionUrl;
};
