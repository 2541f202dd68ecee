#pragma once

#include "klplayerglobal.h"

#include <QByteArray>
#include <QNetworkRequest>
#include <QObject>
#include <QTimer>
#include <QUrl>

class QTcpSocket;

// Sends a request once more over a plain socket and keeps the first bytes of the answer, up to
// the blank line that ends its head. Qt's HTTP stack drops an answer that does not begin with
// an HTTP status line without showing what it was; older internet-radio servers answer a
// stream request with "ICY 200 OK", and this shows the parser that they did.
//
// The request goes to url with the raw headers of request; its Authorization goes along only
// when url has the scheme, host and port of request's own address. TLS is verified with the
// request's TLS configuration. Reads at most maxHeadSize bytes and gives up after timeoutMs
// (0 or less: no time limit). Works through the socket's signals and never blocks.
class KELVANEPLAYER_EXPORT KLIcyProbe : public QObject
{
    Q_OBJECT

public:
    static constexpr qsizetype maxHeadSize = 16 * 1024;

    KLIcyProbe(const QNetworkRequest &request, const QUrl &url, int timeoutMs,
               QObject *parent = nullptr);
    ~KLIcyProbe() override;

    // The bytes received before the probe ended: the head with its blank line, or what came
    // before the connection closed, failed or timed out, or the bound was reached.
    QByteArray head() const { return m_head; }
    bool isFinished() const { return m_isFinished; }

    // The request text sent for request to url (see the class comment).
    static QByteArray requestText(const QNetworkRequest &request, const QUrl &url);

signals:
    // Emitted once, when the head is complete or no more of it will come.
    void finished();

private:
    void readHead();
    void finish();

    QUrl m_url;
    QByteArray m_request;
    QTcpSocket *m_socket = nullptr;
    QTimer m_timer;
    QByteArray m_head;
    bool m_isFinished = false;
};
