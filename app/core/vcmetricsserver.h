#pragma once

#include <QByteArray>
#include <QString>

#include <memory>

namespace prometheus {
class Exposer;
class Registry;
} // namespace prometheus

// The monitoring endpoint's HTTP listener. /metrics is the registry in the text format, served
// by the pull exposer; /healthz and /status.json are pages that the main thread hands over with
// setPages(). Requests are served on the listener's own threads: they read the registry (which
// is thread-safe) and a copy of the pages taken under a lock, never the program's objects.
//
// An address that is not loopback needs a token: then every request must carry
// "Authorization: Bearer <token>", or it is answered 401. Requests are small and bounded by the
// listener (request size, time limit, two threads).
class VCMetricsServer
{
public:
    static constexpr int threadCount = 2;
    static constexpr int requestTimeoutMs = 5000;
    static constexpr int maxRequestSize = 8192;

    struct Address
    {
        QString host;
        quint16 port = 0;
        bool isLoopback = true;
        // Why the setting cannot be used; empty when it can.
        QString error;
    };

    struct Request
    {
        QByteArray method;
        QByteArray path;
        // The Authorization header as received; empty when there is none.
        QByteArray authorization;
    };

    struct Pages
    {
        int healthStatus = 503;
        QByteArray healthText = "starting";
        QByteArray statusJson = "{}";
    };

    // The answer to one request. Status 0: the exposer answers it (an authorised /metrics).
    struct Answer
    {
        int status = 0;
        QByteArray contentType;
        QByteArray body;
    };

    // "HOST:PORT", "[IPV6]:PORT" or a bare port (on 127.0.0.1); "localhost" is 127.0.0.1. Host
    // names are not looked up: the listener binds to an address.
    static Address parseAddress(const QString &text);
    // What the listener answers; `token` is empty when the address is loopback and none is set.
    static Answer answer(const Request &request, const QByteArray &token, const Pages &pages);

    VCMetricsServer();
    ~VCMetricsServer();
    VCMetricsServer(const VCMetricsServer &) = delete;
    VCMetricsServer &operator=(const VCMetricsServer &) = delete;

    // Listens on `address` and serves `registry`. False with `error` set when the address needs
    // a token that is not given, or the listener cannot start (the port is taken).
    bool start(const Address &address, const QString &token,
               const std::shared_ptr<prometheus::Registry> &registry, QString *error);
    // The port listened on (the one chosen for port 0); 0 before start().
    quint16 port() const { return m_port; }
    void setPages(const Pages &pages);

private:
    std::unique_ptr<prometheus::Exposer> m_exposer;
    quint16 m_port = 0;
};
