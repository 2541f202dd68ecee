#pragma once

#include "loopbackhttpexchange.h"
#include "loopbackhttprequest.h"

#include <QHash>
#include <QObject>
#include <QSslCertificate>
#include <QSslConfiguration>
#include <QUrl>

#include <condition_variable>
#include <functional>
#include <mutex>

class QTcpServer;
class QTcpSocket;
class QThread;

// An HTTP/1.1 server for tests, listening on 127.0.0.1 at a free port. Each request is handed
// to the handler registered for its path (or to the fallback handler, which answers 404), with
// an exchange through which the handler scripts its answer. Every request is logged.
//
// Requests on one connection are answered one after another (keep-alive). A request head is
// bounded to 64 KiB and a request body to 16 MiB; larger ones are answered with 431 or 413 and
// the connection is closed.
//
// By default the server works on the thread that creates it, so handlers run there and a test
// must return to its event loop (QTRY_*, QSignalSpy::wait) for requests to be served. With
// OwnThread it works on a thread of its own, for clients that block their caller; handlers then
// run on that thread and must only touch data that is safe to share.
class LoopbackHttpServer : public QObject
{
    Q_OBJECT

public:
    enum Option {
        NoOption = 0,
        Tls = 0x1,       // https with the test certificate (see certificate())
        OwnThread = 0x2, // serve from a thread of the server's own
    };
    Q_DECLARE_FLAGS(Options, Option)

    using Handler = std::function<void(LoopbackHttpExchange &exchange)>;

    explicit LoopbackHttpServer(Options options = NoOption, QObject *parent = nullptr);
    ~LoopbackHttpServer() override;

    // Starts listening; false if no port could be taken (or the certificate is missing).
    bool listen();
    quint16 port() const { return m_port; }
    bool isTls() const { return m_options.testFlag(Tls); }
    // http(s)://127.0.0.1:<port> followed by pathAndQuery (which starts with "/").
    QUrl url(const QString &pathAndQuery = QStringLiteral("/")) const;

    // The handler for requests whose decoded path equals path; replaces an earlier one.
    void route(const QString &path, Handler handler);
    // Shorthand: every request for path gets this complete response.
    void serve(const QString &path, int status, const QByteArray &body,
               const LoopbackHttpHeaders &headers = {});
    void removeRoute(const QString &path);
    // Handler for paths without a route; the default answers 404.
    void setFallback(Handler handler);

    // Every request received so far, in order of arrival.
    QList<LoopbackHttpRequest> requests() const;
    QList<LoopbackHttpRequest> requests(const QString &path) const;
    int requestCount(const QString &path) const;
    void clearRequests();
    // Connections accepted so far and connections open now.
    int connectionCount() const;
    int openConnectionCount() const;

    // The self-signed certificate (for 127.0.0.1 and localhost) that the Tls servers present,
    // and its PEM file; add it to a client's CA certificates to verify the server.
    static QSslCertificate certificate();
    static QString certificateFile();
    // The default TLS configuration with the test certificate added to its CA certificates.
    static QSslConfiguration clientSslConfiguration();

signals:
    // Emitted on the thread of the server object, after the handler has run.
    void requestReceived(const LoopbackHttpRequest &request);
    // Internal: work queued for the listener's thread, requests to announce.
    void tasksPending(QPrivateSignal);
    void requestsPending(QPrivateSignal);

private:
    struct Connection
    {
        QByteArray buffer;
        int serial = 0;
        QPointer<LoopbackHttpExchange> exchange;
    };

    void runOnListener(const std::function<void()> &function);
    void runTasks();
    void announceRequests();
    void acceptConnections();
    void processBuffer(QTcpSocket *socket);
    void dispatch(QTcpSocket *socket, const LoopbackHttpRequest &request);
    void refuse(QTcpSocket *socket, int status);

    Options m_options;
    QTcpServer *m_listener = nullptr;
    QThread *m_thread = nullptr;
    quint16 m_port = 0;

    // Touched only on the listener's thread.
    QHash<QTcpSocket *, Connection> m_connections;

    mutable std::mutex m_mutex; // guards everything below
    QHash<QString, Handler> m_routes;
    Handler m_fallback = [](LoopbackHttpExchange &exchange) {
        exchange.respond(404, "Not Found", {{"Content-Type", "text/plain"}});
    };
    QList<LoopbackHttpRequest> m_unannounced;
    QList<std::function<void()>> m_tasks;
    quint64 m_tasksQueued = 0;
    quint64 m_tasksDone = 0;
    std::condition_variable m_taskDone;
    QList<LoopbackHttpRequest> m_requests;
    int m_connectionCount = 0;
    int m_openConnectionCount = 0;
};

Q_DECLARE_OPERATORS_FOR_FLAGS(LoopbackHttpServer::Options)
