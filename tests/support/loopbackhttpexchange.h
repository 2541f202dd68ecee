#pragma once

#include "loopbackhttprequest.h"

#include <QObject>
#include <QPointer>
#include <QTimer>

#include <deque>
#include <functional>
#include <mutex>

class QTcpSocket;

// The answer to one request of the loopback server. Every call appends a step to a script that
// runs in order on the server's thread: bytes go out, pauses keep the connection silent, a
// stream keeps writing at a paced rate, and the script ends by finishing the response (the
// connection then serves its next request), closing the connection or dropping it.
//
// The exchange belongs to its connection and is deleted with it; keep a QPointer to answer
// later. Calls from another thread are handed to the server's thread (the caller must make sure
// that the exchange still exists).
class LoopbackHttpExchange : public QObject
{
    Q_OBJECT

public:
    // Returns the next piece of an endless body; tick counts the calls from 0. An empty piece
    // ends the stream and the script continues with its next step.
    using Generator = std::function<QByteArray(qint64 tick)>;

    LoopbackHttpExchange(const LoopbackHttpRequest &request, QTcpSocket *socket);

    const LoopbackHttpRequest &request() const { return m_request; }
    // False once the client has gone away.
    bool isClientConnected() const;
    // Bytes of the response body and headers written to the socket so far.
    qint64 bytesWritten() const { return m_bytesWritten; }

    // A complete response with a Content-Length body.
    void respond(int status, const QByteArray &body = {}, const LoopbackHttpHeaders &headers = {});
    // A complete redirect response to location.
    void redirect(int status, const QUrl &location);

    // Status line "HTTP/1.1 <status> <reason>", the headers and the blank line.
    void writeHead(int status, const LoopbackHttpHeaders &headers = {});
    // Any status line, sent as given with CR LF appended (for example "ICY 200 OK").
    void writeStatusLine(const QByteArray &line);
    // Header lines and the blank line that ends the head.
    void writeHeaders(const LoopbackHttpHeaders &headers);
    void write(const QByteArray &bytes);
    // One piece of a chunked body (an empty piece is skipped; endChunks ends the body).
    void writeChunk(const QByteArray &bytes);
    // The last chunk; finishes the response.
    void endChunks();
    // No bytes for ms milliseconds.
    void pause(int ms);
    // Writes generator pieces every intervalMs until the generator returns an empty piece or
    // the client goes away. With chunked, every piece is framed as a chunk.
    void stream(Generator generator, int intervalMs, bool chunked = false);
    // The response is complete; the connection goes on with its next request.
    void finish();
    // Sends what is pending and closes the connection.
    void close();
    // Sends what is pending and then drops the connection without finishing the response
    // (with a reset, as a broken connection).
    void drop();

    static QByteArray reasonPhrase(int status);

signals:
    // The script reached finish() or endChunks().
    void finished();
    void clientDisconnected();

private slots:
    // Takes over the steps that other threads appended.
    void takeForeignSteps();

private:
    struct Step
    {
        enum Kind { Write, Pause, Stream, Finish, Close, Drop };
        Kind kind = Write;
        QByteArray bytes;
        int ms = 0;
        Generator generator;
        bool chunked = false;
    };

    static Step makeStep(Step::Kind kind, const QByteArray &bytes = {}, int ms = 0);
    void append(Step step);
    void run();
    void writeToSocket(const QByteArray &bytes);

    LoopbackHttpRequest m_request;
    QPointer<QTcpSocket> m_socket;
    std::deque<Step> m_steps;
    QTimer m_timer;
    qint64 m_tick = 0;
    qint64 m_bytesWritten = 0;
    bool m_waiting = false;
    bool m_done = false;
    std::mutex m_foreignMutex;
    std::deque<Step> m_foreignSteps;
};
