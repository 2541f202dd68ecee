#include "loopbackhttpserver.h"

#include <QFile>
#include <QSslKey>
#include <QSslServer>
#include <QSslSocket>
#include <QTcpServer>
#include <QTcpSocket>
#include <QThread>

namespace {

constexpr qsizetype maxHeadSize = 64 * 1024;
constexpr qsizetype maxBodySize = 16 * 1024 * 1024;

enum class ChunkedResult { Incomplete, Complete, Invalid, TooLarge };

// Decodes a chunked body that starts at from; on success consumed is the offset after it.
ChunkedResult decodeChunked(const QByteArray &buffer, qsizetype from, QByteArray &body,
                            qsizetype &consumed)
{
    body.clear();
    qsizetype pos = from;
    for (;;) {
        const qsizetype lineEnd = buffer.indexOf("\r\n", pos);
        if (lineEnd < 0)
            return buffer.size() - pos > 1024 ? ChunkedResult::Invalid : ChunkedResult::Incomplete;
        QByteArray sizeText = buffer.mid(pos, lineEnd - pos);
        const qsizetype extension = sizeText.indexOf(';');
        if (extension >= 0)
            sizeText.truncate(extension);
        bool ok = false;
        const qint64 size = sizeText.trimmed().toLongLong(&ok, 16);
        if (!ok || size < 0)
            return ChunkedResult::Invalid;
        if (body.size() + size > maxBodySize)
            return ChunkedResult::TooLarge;
        pos = lineEnd + 2;
        if (size == 0) {
            // Trailer lines up to the blank line.
            for (;;) {
                const qsizetype end = buffer.indexOf("\r\n", pos);
                if (end < 0)
                    return ChunkedResult::Incomplete;
                const bool blank = end == pos;
                pos = end + 2;
                if (blank) {
                    consumed = pos;
                    return ChunkedResult::Complete;
                }
            }
        }
        if (buffer.size() < pos + size + 2)
            return ChunkedResult::Incomplete;
        body += buffer.mid(pos, size);
        pos += size;
        if (buffer.mid(pos, 2) != "\r\n")
            return ChunkedResult::Invalid;
        pos += 2;
    }
}

QByteArray readFile(const QString &fileName)
{
    QFile file(fileName);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// HTTP/1.0 closes after each response unless asked to keep alive; HTTP/1.1 only when asked.
bool wantsClose(const LoopbackHttpRequest &request)
{
    const QByteArray connection = request.header("Connection").toLower();
    if (request.version == "HTTP/1.0")
        return !connection.contains("keep-alive");
    return connection.contains("close");
}

} // namespace

LoopbackHttpServer::LoopbackHttpServer(Options options, QObject *parent)
    : QObject(parent)
    , m_options(options)
{
    if (isTls()) {
        auto *sslServer = new QSslServer;
        QSslConfiguration configuration = QSslConfiguration::defaultConfiguration();
        configuration.setLocalCertificate(certificate());
        configuration.setPrivateKey(
            QSslKey(readFile(QStringLiteral(VC_LOOPBACK_KEY_FILE)), QSsl::Rsa));
        configuration.setPeerVerifyMode(QSslSocket::VerifyNone);
        sslServer->setSslConfiguration(configuration);
        m_listener = sslServer;
    } else {
        m_listener = new QTcpServer;
    }
    // Both connections exist before the listener's thread starts.
    connect(this, &LoopbackHttpServer::tasksPending, m_listener, [this]() { runTasks(); });
    connect(this, &LoopbackHttpServer::requestsPending, this, &LoopbackHttpServer::announceRequests,
            Qt::QueuedConnection);
    if (m_options.testFlag(OwnThread)) {
        m_thread = new QThread;
        m_thread->setObjectName(QStringLiteral("LoopbackHttpServer"));
        m_listener->moveToThread(m_thread);
        m_thread->start();
    }
    // Emitted once a connection is ready for use (for TLS: after the handshake).
    connect(m_listener, &QTcpServer::pendingConnectionAvailable, m_listener,
            [this]() { acceptConnections(); });
}

void LoopbackHttpServer::runOnListener(const std::function<void()> &function)
{
    if (QThread::currentThread() == m_listener->thread()) {
        function();
        return;
    }
    // The task and its completion pass through m_mutex rather than through a functor in Qt's
    // event queue, so that ThreadSanitizer sees the order of the two threads' memory as well.
    std::unique_lock locker(m_mutex);
    const quint64 ticket = ++m_tasksQueued;
    m_tasks.append(function);
    locker.unlock();
    emit tasksPending(QPrivateSignal());
    locker.lock();
    m_taskDone.wait(locker, [this, ticket]() { return m_tasksDone >= ticket; });
}

void LoopbackHttpServer::runTasks()
{
    QList<std::function<void()>> tasks;
    {
        std::lock_guard locker(m_mutex);
        tasks.swap(m_tasks);
    }
    for (const auto &task : std::as_const(tasks)) {
        task();
        // Once the waiting thread sees this, it may destroy the server: touch nothing after.
        std::lock_guard locker(m_mutex);
        ++m_tasksDone;
        m_taskDone.notify_all();
    }
}

LoopbackHttpServer::~LoopbackHttpServer()
{
    runOnListener([this]() {
        const auto sockets = m_connections.keys();
        m_connections.clear();
        for (QTcpSocket *socket : sockets) {
            socket->disconnect(m_listener);
            socket->abort();
            delete socket;
        }
        delete m_listener;
        m_listener = nullptr;
    });
    if (m_thread) {
        m_thread->quit();
        m_thread->wait();
        delete m_thread;
    }
}

bool LoopbackHttpServer::listen()
{
    if (isTls() && (certificate().isNull() || !QSslSocket::supportsSsl()))
        return false;
    bool ok = false;
    runOnListener([this, &ok]() {
        ok = m_listener->listen(QHostAddress::LocalHost, 0);
        m_port = m_listener->serverPort();
    });
    return ok;
}

QUrl LoopbackHttpServer::url(const QString &pathAndQuery) const
{
    const QString scheme = isTls() ? QStringLiteral("https") : QStringLiteral("http");
    return QUrl(QStringLiteral("%1://127.0.0.1:%2%3").arg(scheme).arg(m_port).arg(pathAndQuery));
}

void LoopbackHttpServer::route(const QString &path, Handler handler)
{
    std::lock_guard locker(m_mutex);
    m_routes.insert(path, std::move(handler));
}

void LoopbackHttpServer::serve(const QString &path, int status, const QByteArray &body,
                               const LoopbackHttpHeaders &headers)
{
    route(path, [status, body, headers](LoopbackHttpExchange &exchange) {
        exchange.respond(status, body, headers);
    });
}

void LoopbackHttpServer::removeRoute(const QString &path)
{
    std::lock_guard locker(m_mutex);
    m_routes.remove(path);
}

void LoopbackHttpServer::setFallback(Handler handler)
{
    std::lock_guard locker(m_mutex);
    m_fallback = std::move(handler);
}

QList<LoopbackHttpRequest> LoopbackHttpServer::requests() const
{
    std::lock_guard locker(m_mutex);
    return m_requests;
}

QList<LoopbackHttpRequest> LoopbackHttpServer::requests(const QString &path) const
{
    std::lock_guard locker(m_mutex);
    QList<LoopbackHttpRequest> result;
    for (const LoopbackHttpRequest &request : m_requests) {
        if (request.path == path)
            result.append(request);
    }
    return result;
}

int LoopbackHttpServer::requestCount(const QString &path) const
{
    return requests(path).size();
}

void LoopbackHttpServer::clearRequests()
{
    std::lock_guard locker(m_mutex);
    m_requests.clear();
}

int LoopbackHttpServer::connectionCount() const
{
    std::lock_guard locker(m_mutex);
    return m_connectionCount;
}

int LoopbackHttpServer::openConnectionCount() const
{
    std::lock_guard locker(m_mutex);
    return m_openConnectionCount;
}

QSslCertificate LoopbackHttpServer::certificate()
{
    return QSslCertificate(readFile(certificateFile()), QSsl::Pem);
}

QString LoopbackHttpServer::certificateFile()
{
    return QStringLiteral(VC_LOOPBACK_CERT_FILE);
}

QSslConfiguration LoopbackHttpServer::clientSslConfiguration()
{
    QSslConfiguration configuration = QSslConfiguration::defaultConfiguration();
    configuration.addCaCertificate(certificate());
    return configuration;
}

void LoopbackHttpServer::acceptConnections()
{
    while (QTcpSocket *socket = m_listener->nextPendingConnection()) {
        int serial = 0;
        {
            std::lock_guard locker(m_mutex);
            serial = ++m_connectionCount;
            ++m_openConnectionCount;
        }
        m_connections.insert(socket, Connection{{}, serial, {}});
        connect(socket, &QTcpSocket::readyRead, m_listener, [this, socket]() {
            auto it = m_connections.find(socket);
            if (it == m_connections.end())
                return;
            it->buffer += socket->readAll();
            if (it->buffer.size() > maxHeadSize + maxBodySize) {
                socket->abort();
                return;
            }
            processBuffer(socket);
        });
        connect(socket, &QTcpSocket::disconnected, m_listener, [this, socket]() {
            if (m_connections.remove(socket) == 0)
                return;
            {
                std::lock_guard locker(m_mutex);
                --m_openConnectionCount;
            }
            socket->deleteLater();
        });
        if (socket->bytesAvailable() > 0) {
            m_connections[socket].buffer += socket->readAll();
            processBuffer(socket);
        }
    }
}

void LoopbackHttpServer::processBuffer(QTcpSocket *socket)
{
    for (;;) {
        auto it = m_connections.find(socket);
        if (it == m_connections.end() || it->exchange)
            return;
        QByteArray &buffer = it->buffer;
        while (buffer.startsWith("\r\n"))
            buffer.remove(0, 2);
        const qsizetype headEnd = buffer.indexOf("\r\n\r\n");
        if (headEnd < 0) {
            if (buffer.size() > maxHeadSize)
                refuse(socket, 431);
            return;
        }
        if (headEnd > maxHeadSize) {
            refuse(socket, 431);
            return;
        }

        const QList<QByteArray> lines = buffer.left(headEnd).split('\n');
        const QList<QByteArray> requestLine = lines.first().trimmed().split(' ');
        if (requestLine.size() != 3 || !requestLine.at(2).startsWith("HTTP/")) {
            refuse(socket, 400);
            return;
        }
        LoopbackHttpRequest request;
        request.method = requestLine.at(0);
        request.target = requestLine.at(1);
        request.version = requestLine.at(2);
        request.connection = it->serial;
        for (qsizetype i = 1; i < lines.size(); ++i) {
            const QByteArray line = lines.at(i).trimmed();
            const qsizetype colon = line.indexOf(':');
            if (colon <= 0) {
                refuse(socket, 400);
                return;
            }
            request.headers.append({line.left(colon).trimmed(), line.mid(colon + 1).trimmed()});
        }

        const qsizetype bodyStart = headEnd + 4;
        qsizetype consumed = bodyStart;
        if (request.header("Transfer-Encoding").toLower().contains("chunked")) {
            switch (decodeChunked(buffer, bodyStart, request.body, consumed)) {
            case ChunkedResult::Incomplete:
                return;
            case ChunkedResult::Invalid:
                refuse(socket, 400);
                return;
            case ChunkedResult::TooLarge:
                refuse(socket, 413);
                return;
            case ChunkedResult::Complete:
                break;
            }
        } else if (request.hasHeader("Content-Length")) {
            bool ok = false;
            const qint64 length = request.header("Content-Length").toLongLong(&ok);
            if (!ok || length < 0) {
                refuse(socket, 400);
                return;
            }
            if (length > maxBodySize) {
                refuse(socket, 413);
                return;
            }
            if (buffer.size() - bodyStart < length)
                return;
            request.body = buffer.mid(bodyStart, length);
            consumed = bodyStart + length;
        }
        buffer.remove(0, consumed);

        const QUrl target = request.target.startsWith('/')
                                ? QUrl::fromEncoded("http://127.0.0.1" + request.target)
                                : QUrl::fromEncoded(request.target);
        request.path = target.path();
        request.query = QUrlQuery(target);
        dispatch(socket, request);
    }
}

void LoopbackHttpServer::dispatch(QTcpSocket *socket, const LoopbackHttpRequest &request)
{
    Handler handler;
    {
        std::lock_guard locker(m_mutex);
        m_requests.append(request);
        handler = m_routes.value(request.path, m_fallback);
    }
    auto *exchange = new LoopbackHttpExchange(request, socket);
    m_connections[socket].exchange = exchange;
    connect(exchange, &LoopbackHttpExchange::finished, m_listener, [this, socket, exchange]() {
        // Go on with the next request once the script has returned.
        QMetaObject::invokeMethod(
            m_listener,
            [this, socket, exchange]() {
                auto it = m_connections.find(socket);
                if (it == m_connections.end() || it->exchange != exchange)
                    return;
                it->exchange = nullptr;
                exchange->deleteLater();
                if (wantsClose(exchange->request())) {
                    socket->disconnectFromHost();
                    return;
                }
                processBuffer(socket);
            },
            Qt::QueuedConnection);
    });
    handler(*exchange);
    {
        std::lock_guard locker(m_mutex);
        m_unannounced.append(request);
    }
    emit requestsPending(QPrivateSignal());
}

void LoopbackHttpServer::announceRequests()
{
    QList<LoopbackHttpRequest> requests;
    {
        std::lock_guard locker(m_mutex);
        requests.swap(m_unannounced);
    }
    for (const LoopbackHttpRequest &request : std::as_const(requests))
        emit requestReceived(request);
}

void LoopbackHttpServer::refuse(QTcpSocket *socket, int status)
{
    auto it = m_connections.find(socket);
    if (it != m_connections.end())
        it->buffer.clear();
    auto *exchange = new LoopbackHttpExchange(LoopbackHttpRequest(), socket);
    m_connections[socket].exchange = exchange;
    exchange->writeHead(status, {{"Content-Length", "0"}, {"Connection", "close"}});
    exchange->close();
}
