#include "benchscraper.h"

#include <QDeadlineTimer>
#include <QHostAddress>
#include <QTcpSocket>

namespace {

constexpr int TimeoutMs = 5000;
constexpr qint64 MaxAnswer = 4 * 1024 * 1024;

} // namespace

BenchScraper::BenchScraper(quint16 port, int periodMs)
    : m_port(port)
    , m_periodMs(periodMs)
{}

BenchScraper::~BenchScraper()
{
    stop();
}

void BenchScraper::stop()
{
    m_stop = true;
    wait();
}

void BenchScraper::run()
{
    while (!m_stop) {
        QDeadlineTimer next(m_periodMs);
        const int status = get("/metrics");
        ++(status == 200 ? m_answered : m_failed);
        get("/healthz");
        while (!m_stop && !next.hasExpired())
            QThread::msleep(50);
    }
}

int BenchScraper::get(const QByteArray &path)
{
    QTcpSocket socket;
    socket.connectToHost(QHostAddress::LocalHost, m_port);
    if (!socket.waitForConnected(TimeoutMs))
        return 0;
    socket.write("GET " + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n");
    QByteArray answer;
    const QDeadlineTimer deadline(TimeoutMs);
    while (!deadline.hasExpired() && answer.size() < MaxAnswer) {
        if (!socket.waitForReadyRead(int(qMax<qint64>(1, deadline.remainingTime()))))
            break;
        answer += socket.readAll();
    }
    // "HTTP/1.1 200 OK"
    if (!answer.startsWith("HTTP/1."))
        return 0;
    return answer.mid(9, 3).toInt();
}
