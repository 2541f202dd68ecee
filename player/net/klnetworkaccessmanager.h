#pragma once

#include "klplayerglobal.h"

#include <QLoggingCategory>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>

// The library's network access manager. Every request it creates carries the library's
// User-Agent, the Referer of the embedding page, the listener statistics keys in the query and
// HTTP Basic authorization taken from the address, and is bounded in time and in body size.
class KELVANEPLAYER_EXPORT KLNetworkAccessManager : public QNetworkAccessManager
{
    Q_OBJECT

    // clang-format off
    Q_PROPERTY(bool await READ await WRITE setAwait NOTIFY awaitChanged)

    Q_PROPERTY(int timeoutMs READ timeoutMs WRITE setTimeoutMs NOTIFY timeoutMsChanged)

    Q_PROPERTY(QString userAgent READ userAgent CONSTANT)

    Q_PROPERTY(QString referer READ referer WRITE setReferer NOTIFY refererChanged)

    Q_PROPERTY(QString quorviaUserId
               READ quorviaUserId
               WRITE setQuorviaUserId
               NOTIFY quorviaUserIdChanged)

    Q_PROPERTY(QString quorviaUtmMark
               READ quorviaUtmMark
               WRITE setQuorviaUtmMark
               NOTIFY quorviaUtmMarkChanged)

    Q_PROPERTY(qint64 maxBodySize READ maxBodySize WRITE setMaxBodySize NOTIFY maxBodySizeChanged)
    // clang-format on

public:
    static constexpr int KL_NETWORK_DEFAULT_TIMEOUT = 10000;
    // Default bound of a reply body in bytes; a request may set its own bound with
    // MaxBodySizeAttribute.
    static constexpr qint64 KL_NETWORK_DEFAULT_MAX_BODY_SIZE = 64 * 1024 * 1024;
    // Request attribute (qint64): the largest body in bytes that the reply may deliver. A reply
    // that announces or receives more is aborted and finishes with
    // QNetworkReply::UnknownContentError (see isBodyLimitExceeded). 0 or less lifts the bound
    // for that request.
    static constexpr QNetworkRequest::Attribute MaxBodySizeAttribute =
        static_cast<QNetworkRequest::Attribute>(QNetworkRequest::User + 1);

    explicit KLNetworkAccessManager(QObject *parent = nullptr);
    // Deletes the running replies first: each one holds the manager's own reply as its child,
    // which the base class would otherwise delete a second time.
    ~KLNetworkAccessManager() override;

    bool await() const { return m_await; }
    int timeoutMs() const { return m_timeoutMs; }
    QString userAgent() const { return m_userAgent; }
    QString referer() const { return m_referer; }
    QString quorviaUserId() const { return m_quorviaUserId; }
    QString quorviaUtmMark() const { return m_quorviaUtmMark; }
    qint64 maxBodySize() const { return m_maxBodySize; }

    // Takes the reply out of the sender of a finished signal and schedules it for deletion.
    static QNetworkReply *senderReply(QObject *sender);
    // As above, but returns null for a failed reply and logs the failure under name.
    static QNetworkReply *senderReply(QObject *sender, const QString &name,
                                      const QLoggingCategory &category);
    // True when the reply was aborted because its body went beyond its bound.
    static bool isBodyLimitExceeded(const QNetworkReply *reply);
    static bool isSameUrl(const QUrl &a, const QUrl &b);

signals:
    void awaitChanged(bool await);
    void timeoutMsChanged(int timeoutMs);
    void refererChanged(const QString &referer);
    void quorviaUserIdChanged(const QString &quorviaUserId);
    void quorviaUtmMarkChanged(const QString &quorviaUtmMark);
    void maxBodySizeChanged(qint64 maxBodySize);

public slots:
    bool setAwait(bool await);
    bool setTimeoutMs(int timeoutMs);
    bool setReferer(const QString &referer);
    bool setQuorviaUserId(const QString &quorviaUserId);
    bool setQuorviaUtmMark(const QString &quorviaUtmMark);
    bool setMaxBodySize(qint64 maxBodySize);

protected:
    QNetworkReply *createRequest(Operation op, const QNetworkRequest &originalRequest,
                                 QIODevice *outgoingData = nullptr) override;

private:
    static QString buildUserAgent();
    void limitTime(QNetworkReply *reply);
    void awaitReply(QNetworkReply *reply);

    bool m_await = false;
    int m_timeoutMs = KL_NETWORK_DEFAULT_TIMEOUT;
    QString m_userAgent;
    QString m_referer;
    QString m_quorviaUserId;
    QString m_quorviaUtmMark;
    qint64 m_maxBodySize = KL_NETWORK_DEFAULT_MAX_BODY_SIZE;
};
