#pragma once

#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QPointer>

#include <functional>

#include "klplayerglobal.h"

// A reply that passes another reply through and checks its body. Once the body announces or
// delivers more than the bound (if the bound is above 0), the inner reply is aborted and this
// one finishes with QNetworkReply::UnknownContentError. A body that ends before its announced
// Content-Length finishes with QNetworkReply::RemoteHostClosedError (the inner reply does not
// always report that). A read buffer size holds the rest of the body back in the inner reply
// until the reader makes room. Headers, attributes, the address after redirects,
// progress, TLS and errors of the inner reply are passed on; abort, close and the TLS settings
// go to the inner reply. The inner reply is a child of this one. manager() of this reply is
// null: keep the manager that made the request.
//
// With followRedirects() the reply follows redirects itself, hop by hop, each through a new
// inner reply that the given function creates (the inner requests then use the manual redirect
// policy). The manager uses this for requests that carry credentials, to decide per hop which
// headers go along.
class KELVANEPLAYER_EXPORT KLBoundedNetworkReply : public QNetworkReply
{
    Q_OBJECT

public:
    // Creates the inner reply of the next hop of a redirect.
    using HopFunction = std::function<QNetworkReply *(QNetworkAccessManager::Operation operation,
                                                      const QNetworkRequest &request)>;

    KLBoundedNetworkReply(QNetworkReply *inner, qint64 maxBodySize, QObject *parent);

    // Follows redirects under policy (not the manual one), at most maxRedirects of them, each
    // through the inner reply that nextHop creates for the hop's request. A redirect that the
    // policy refuses finishes this reply with QNetworkReply::InsecureRedirectError, one past
    // the count with TooManyRedirectsError, one to a scheme other than http and https with
    // ProtocolUnknownError, and one that needs the request body again with
    // ContentReSendError.
    void followRedirects(QNetworkRequest::RedirectPolicy policy, int maxRedirects,
                         HopFunction nextHop);

    void abort() override;
    void close() override;
    bool isSequential() const override { return true; }
    qint64 bytesAvailable() const override;
    void setReadBufferSize(qint64 size) override;
    void ignoreSslErrors() override;

    bool isBodyLimitExceeded() const { return m_exceeded; }

protected:
    qint64 readData(char *data, qint64 maxSize) override;
    void ignoreSslErrorsImplementation(const QList<QSslError> &errors) override;
    void setSslConfigurationImplementation(const QSslConfiguration &configuration) override;
    void sslConfigurationImplementation(QSslConfiguration &configuration) const override;

private:
    using HeaderPairs = QList<QNetworkReply::RawHeaderPair>;

    void attach(QNetworkReply *inner);
    bool isFollowedRedirect() const;
    void followRedirect();
    void startHop();
    void dropInner();
    void failRedirect(QNetworkReply::NetworkError code, const QString &text);
    void finishWithError(QNetworkReply::NetworkError code, const QString &text);
    // The answer carries an HTTP error status: its body is an error page nobody reads.
    bool isErrorAnswer() const;
    bool isTruncated() const;
    bool isRepeatedRedirectHead() const;
    HeaderPairs currentHead() const;
    void copyMetaData();
    void takeData(bool all = false);
    void exceed();
    void finishFromInner();

    QPointer<QNetworkReply> m_inner;
    qint64 m_maxBodySize = 0;
    qint64 m_received = 0;
    QByteArray m_buffer;
    qsizetype m_bufferOffset = 0;
    bool m_exceeded = false;
    bool m_aborting = false;
    bool m_pullScheduled = false;
    // Redirects followed here (see followRedirects).
    HopFunction m_nextHop;
    QNetworkRequest::RedirectPolicy m_redirectPolicy = QNetworkRequest::ManualRedirectPolicy;
    int m_redirectsLeft = 0;
    QNetworkAccessManager::Operation m_hopOperation = QNetworkAccessManager::GetOperation;
    QNetworkRequest m_hopRequest;
    QUrl m_pendingRedirect; // waits for redirectAllowed() under the user-verified policy
    // The head that announced the last redirect, and the copy of it that the inner reply
    // delivered again after the redirect (the inner reply then merges the next head into it).
    HeaderPairs m_redirectHead;
    int m_redirectStatus = 0;
    HeaderPairs m_staleHead;
};
