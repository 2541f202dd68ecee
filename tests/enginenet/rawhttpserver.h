#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

// A small HTTP(S) server on 127.0.0.1 for tests of blocking clients, writing raw bytes. Every
// connection runs the handler on a thread of its own; the handler writes whatever bytes it likes,
// so it can also misbehave.
class RawHttpServer
{
public:
    struct Request
    {
        std::string method;
        std::string target;
        std::map<std::string, std::string> headers; // names in lower case
        std::string raw;
    };

    class Connection
    {
    public:
        // False once the peer has gone or the server stops.
        bool send(std::string_view data);
        // Sends `data` in pieces of `piece` bytes with `gapMs` between them.
        bool sendPaced(std::string_view data, size_t piece, int gapMs);
        // Sleeps up to `ms`, returning early (false) when the server stops.
        bool wait(int ms);
        bool stopping() const;

    private:
        friend class RawHttpServer;
        RawHttpServer *m_server = nullptr;
        int m_fd = -1;
        void *m_ssl = nullptr;
    };

    using Handler = std::function<void(const Request &, Connection &)>;

    // With `tls`, serves HTTPS with a freshly made self-signed certificate for 127.0.0.1.
    explicit RawHttpServer(Handler handler, bool tls = false);
    ~RawHttpServer();

    uint16_t port() const { return m_port; }
    std::string url(const std::string &path) const;
    // PEM file with the certificate (TLS only), to be trusted by the client.
    std::string certificateFile() const { return m_certFile; }
    std::vector<Request> requests() const;

private:
    void acceptLoop();
    void serve(int fd);

    Handler m_handler;
    int m_listenFd = -1;
    uint16_t m_port = 0;
    bool m_tls = false;
    void *m_sslCtx = nullptr;
    std::string m_certFile;
    std::atomic<bool> m_stop{false};
    std::thread m_acceptThread;
    mutable std::mutex m_mutex;
    std::vector<std::thread> m_threads;
    std::vector<int> m_fds;
    std::vector<Request> m_requests;
};
