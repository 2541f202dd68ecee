#pragma once

#include <QNetworkReply>
#include <QPointer>

// A reply that passes another reply through and checks its body. Once the body announces or
// delivers more than the bound (if the bound is above 0), the inner reply is aborted and this
// one finishes with QNetworkReply::UnknownContentError. A body that ends before its announced
// Content-Length finishes with QNetworkReply::RemoteHostClosedError (the inner reply does not
// always report that). A read buffer size holds the rest of the body back in the inner reply
// until the reader makes room. Headers, attributes, the address after redirects,
// progress, TLS and errors of the inner reply are passed on; abort, close and the TLS settings
// go to the inner reply. The inner reply is a child of this one. manager() of this reply is
// null: keep the manager that made the request.
class KLBoundedNetworkReply : public QNetworkReply
{
    Q_OBJECT

public:
    KLBoundedNetworkReply(QNetworkReply *inner, qint64 maxBodySize, QObject *parent);

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
    bool isTruncated() const;
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
};
