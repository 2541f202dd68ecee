#include "loopbackhttpexchange.h"

#include <QTcpSocket>
#include <QThread>
#include <QUrl>

#include <sys/socket.h>

namespace {

// Closes with a reset instead of an orderly shutdown, as a broken connection would.
void resetConnection(QTcpSocket *socket)
{
    const qintptr descriptor = socket->socketDescriptor();
    if (descriptor != -1) {
        const linger option{1, 0};
        ::setsockopt(int(descriptor), SOL_SOCKET, SO_LINGER, &option, sizeof option);
    }
    socket->abort();
}

// A stream step skips its tick while this much is still queued for a client that does not
// read, so that the server's memory stays bounded.
constexpr qint64 maxPendingBytes = 1024 * 1024;

} // namespace

LoopbackHttpExchange::LoopbackHttpExchange(const LoopbackHttpRequest &request, QTcpSocket *socket)
    : QObject(socket)
    , m_request(request)
    , m_socket(socket)
{
    m_timer.setSingleShot(true);
    connect(&m_timer, &QTimer::timeout, this, [this]() {
        m_waiting = false;
        run();
    });
    connect(socket, &QTcpSocket::disconnected, this, [this]() {
        m_steps.clear();
        m_timer.stop();
        emit clientDisconnected();
    });
    connect(socket, &QTcpSocket::bytesWritten, this, [this]() {
        if (!m_waiting)
            run();
    });
}

bool LoopbackHttpExchange::isClientConnected() const
{
    return m_socket && m_socket->state() == QAbstractSocket::ConnectedState;
}

void LoopbackHttpExchange::respond(int status, const QByteArray &body,
                                   const LoopbackHttpHeaders &headers)
{
    LoopbackHttpHeaders all = headers;
    all.append({"Content-Length", QByteArray::number(body.size())});
    writeHead(status, all);
    write(body);
    finish();
}

void LoopbackHttpExchange::redirect(int status, const QUrl &location)
{
    respond(status, {}, {{"Location", location.toEncoded()}});
}

void LoopbackHttpExchange::writeHead(int status, const LoopbackHttpHeaders &headers)
{
    writeStatusLine("HTTP/1.1 " + QByteArray::number(status) + ' ' + reasonPhrase(status));
    writeHeaders(headers);
}

void LoopbackHttpExchange::writeStatusLine(const QByteArray &line)
{
    write(line + "\r\n");
}

void LoopbackHttpExchange::writeHeaders(const LoopbackHttpHeaders &headers)
{
    QByteArray head;
    for (const auto &[name, value] : headers)
        head += name + ": " + value + "\r\n";
    write(head + "\r\n");
}

void LoopbackHttpExchange::write(const QByteArray &bytes)
{
    append(makeStep(Step::Write, bytes));
}

void LoopbackHttpExchange::writeChunk(const QByteArray &bytes)
{
    if (!bytes.isEmpty())
        write(QByteArray::number(bytes.size(), 16) + "\r\n" + bytes + "\r\n");
}

void LoopbackHttpExchange::endChunks()
{
    write("0\r\n\r\n");
    finish();
}

void LoopbackHttpExchange::pause(int ms)
{
    append(makeStep(Step::Pause, {}, ms));
}

void LoopbackHttpExchange::stream(Generator generator, int intervalMs, bool chunked)
{
    Step step = makeStep(Step::Stream, {}, intervalMs);
    step.generator = std::move(generator);
    step.chunked = chunked;
    append(std::move(step));
}

void LoopbackHttpExchange::finish()
{
    append(makeStep(Step::Finish));
}

void LoopbackHttpExchange::close()
{
    append(makeStep(Step::Close));
}

void LoopbackHttpExchange::drop()
{
    append(makeStep(Step::Drop));
}

LoopbackHttpExchange::Step LoopbackHttpExchange::makeStep(Step::Kind kind, const QByteArray &bytes,
                                                          int ms)
{
    Step step;
    step.kind = kind;
    step.bytes = bytes;
    step.ms = ms;
    return step;
}

void LoopbackHttpExchange::takeForeignSteps()
{
    std::deque<Step> steps;
    {
        std::lock_guard locker(m_foreignMutex);
        steps.swap(m_foreignSteps);
    }
    for (Step &step : steps)
        append(std::move(step));
}

void LoopbackHttpExchange::append(Step step)
{
    if (QThread::currentThread() != thread()) {
        // Steps from another thread wait under the mutex; a call posted by name takes them
        // over (a call by name shares no slot object between the threads). It is posted under
        // the mutex too: once this thread lets go, it no longer touches the exchange, which the
        // steps may end and delete.
        std::lock_guard locker(m_foreignMutex);
        m_foreignSteps.push_back(std::move(step));
        QMetaObject::invokeMethod(this, "takeForeignSteps", Qt::QueuedConnection);
        return;
    }
    if (m_done)
        return;
    m_steps.push_back(std::move(step));
    if (!m_waiting)
        run();
}

void LoopbackHttpExchange::writeToSocket(const QByteArray &bytes)
{
    m_socket->write(bytes);
    m_bytesWritten += bytes.size();
}

void LoopbackHttpExchange::run()
{
    while (!m_steps.empty() && !m_waiting && !m_done) {
        if (!isClientConnected()) {
            m_steps.clear();
            return;
        }
        Step &step = m_steps.front();
        switch (step.kind) {
        case Step::Write:
            writeToSocket(step.bytes);
            m_steps.pop_front();
            break;
        case Step::Pause:
            m_waiting = true;
            m_timer.start(step.ms);
            m_steps.pop_front();
            break;
        case Step::Stream: {
            if (m_socket->bytesToWrite() < maxPendingBytes) {
                const QByteArray piece = step.generator(m_tick++);
                if (piece.isEmpty()) {
                    m_tick = 0;
                    m_steps.pop_front();
                    break;
                }
                if (step.chunked)
                    writeToSocket(QByteArray::number(piece.size(), 16) + "\r\n" + piece + "\r\n");
                else
                    writeToSocket(piece);
            }
            m_waiting = true;
            m_timer.start(step.ms);
            break;
        }
        case Step::Finish:
            m_steps.pop_front();
            m_done = true;
            emit finished();
            return;
        case Step::Close:
            m_done = true;
            m_steps.clear();
            m_socket->disconnectFromHost();
            return;
        case Step::Drop:
            // Let the bytes written so far reach the client first.
            if (m_socket->bytesToWrite() > 0) {
                m_socket->flush();
                if (m_socket->bytesToWrite() > 0)
                    return; // bytesWritten runs the script again
            }
            m_done = true;
            m_steps.clear();
            resetConnection(m_socket);
            return;
        }
    }
}

QByteArray LoopbackHttpExchange::reasonPhrase(int status)
{
    switch (status) {
    case 200:
        return "OK";
    case 201:
        return "Created";
    case 204:
        return "No Content";
    case 206:
        return "Partial Content";
    case 301:
        return "Moved Permanently";
    case 302:
        return "Found";
    case 303:
        return "See Other";
    case 304:
        return "Not Modified";
    case 307:
        return "Temporary Redirect";
    case 308:
        return "Permanent Redirect";
    case 400:
        return "Bad Request";
    case 401:
        return "Unauthorized";
    case 403:
        return "Forbidden";
    case 404:
        return "Not Found";
    case 405:
        return "Method Not Allowed";
    case 413:
        return "Content Too Large";
    case 431:
        return "Request Header Fields Too Large";
    case 500:
        return "Internal Server Error";
    case 501:
        return "Not Implemented";
    case 502:
        return "Bad Gateway";
    case 503:
        return "Service Unavailable";
    default:
        return "Status";
    }
}
