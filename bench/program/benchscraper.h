#pragma once

#include <QString>
#include <QThread>

#include <atomic>

// Scrapes the program's metrics endpoint as a monitoring system does: /metrics and /healthz
// once a period, on a thread of its own, until stopped.
class BenchScraper : public QThread
{
public:
    BenchScraper(quint16 port, int periodMs);
    ~BenchScraper() override;

    void stop();
    // Scrapes of /metrics answered 200 with a body, and the others.
    int answered() const { return m_answered; }
    int failed() const { return m_failed; }

protected:
    void run() override;

private:
    // The status code of one GET; 0 when no answer came.
    int get(const QByteArray &path);

    quint16 m_port = 0;
    int m_periodMs = 1000;
    std::atomic<bool> m_stop = false;
    std::atomic<int> m_answered = 0;
    std::atomic<int> m_failed = 0;
};
