#include "rawhttpserver.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <stdexcept>

namespace {

std::string lower(std::string s)
{
    std::transform(s.begin(), s.end(), s.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return s;
}

// A self-signed certificate for 127.0.0.1, written as PEM to a temporary file.
SSL_CTX *makeTlsContext(std::string &certFile)
{
    EVP_PKEY *key = EVP_EC_gen("P-256");
    X509 *cert = X509_new();
    ASN1_INTEGER_set(X509_get_serialNumber(cert), 1);
    X509_gmtime_adj(X509_getm_notBefore(cert), -3600);
    X509_gmtime_adj(X509_getm_notAfter(cert), 86400);
    X509_set_pubkey(cert, key);
    X509_NAME *name = X509_get_subject_name(cert);
    X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC,
                               reinterpret_cast<const unsigned char *>("127.0.0.1"), -1, -1, 0);
    X509_set_issuer_name(cert, name);
    X509V3_CTX v3;
    X509V3_set_ctx_nodb(&v3);
    X509V3_set_ctx(&v3, cert, cert, nullptr, nullptr, 0);
    X509_EXTENSION *san = X509V3_EXT_conf_nid(nullptr, &v3, NID_subject_alt_name, "IP:127.0.0.1");
    X509_add_ext(cert, san, -1);
    X509_EXTENSION_free(san);
    X509_EXTENSION *bc = X509V3_EXT_conf_nid(nullptr, &v3, NID_basic_constraints, "CA:TRUE");
    X509_add_ext(cert, bc, -1);
    X509_EXTENSION_free(bc);
    X509_sign(cert, key, EVP_sha256());

    char path[] = "/tmp/vc-loopback-cert-XXXXXX";
    const int fd = mkstemp(path);
    FILE *f = fdopen(fd, "w");
    PEM_write_X509(f, cert);
    fclose(f);
    certFile = path;

    SSL_CTX *ctx = SSL_CTX_new(TLS_server_method());
    SSL_CTX_use_certificate(ctx, cert);
    SSL_CTX_use_PrivateKey(ctx, key);
    X509_free(cert);
    EVP_PKEY_free(key);
    return ctx;
}

} // namespace

RawHttpServer::RawHttpServer(Handler handler, bool tls)
    : m_handler(std::move(handler))
    , m_tls(tls)
{
    if (tls)
        m_sslCtx = makeTlsContext(m_certFile);
    m_listenFd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int one = 1;
    ::setsockopt(m_listenFd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = 0;
    if (::bind(m_listenFd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0 ||
        ::listen(m_listenFd, 64) != 0)
        throw std::runtime_error("cannot listen on 127.0.0.1");
    socklen_t len = sizeof addr;
    ::getsockname(m_listenFd, reinterpret_cast<sockaddr *>(&addr), &len);
    m_port = ntohs(addr.sin_port);
    m_acceptThread = std::thread([this] { acceptLoop(); });
}

RawHttpServer::~RawHttpServer()
{
    m_stop = true;
    ::shutdown(m_listenFd, SHUT_RDWR);
    m_acceptThread.join();
    {
        std::lock_guard lock(m_mutex);
        for (int fd : m_fds)
            ::shutdown(fd, SHUT_RDWR);
    }
    for (std::thread &t : m_threads)
        t.join();
    ::close(m_listenFd);
    if (m_sslCtx)
        SSL_CTX_free(static_cast<SSL_CTX *>(m_sslCtx));
    if (!m_certFile.empty())
        std::remove(m_certFile.c_str());
}

std::string RawHttpServer::url(const std::string &path) const
{
    return std::string(m_tls ? "https" : "http") + "://127.0.0.1:" + std::to_string(m_port) + path;
}

std::vector<RawHttpServer::Request> RawHttpServer::requests() const
{
    std::lock_guard lock(m_mutex);
    return m_requests;
}

void RawHttpServer::acceptLoop()
{
    while (!m_stop) {
        pollfd p{m_listenFd, POLLIN, 0};
        if (::poll(&p, 1, 50) <= 0)
            continue;
        const int fd = ::accept4(m_listenFd, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0)
            continue;
        int one = 1;
        ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        std::lock_guard lock(m_mutex);
        if (m_stop) {
            ::close(fd);
            break;
        }
        m_fds.push_back(fd);
        m_threads.emplace_back([this, fd] { serve(fd); });
    }
}

void RawHttpServer::serve(int fd)
{
    Connection c;
    c.m_server = this;
    c.m_fd = fd;
    SSL *ssl = nullptr;
    if (m_sslCtx) {
        ssl = SSL_new(static_cast<SSL_CTX *>(m_sslCtx));
        SSL_set_fd(ssl, fd);
        if (SSL_accept(ssl) <= 0) {
            SSL_free(ssl);
            ssl = nullptr;
            c.m_fd = -1;
        }
        c.m_ssl = ssl;
    }
    std::string raw;
    while (c.m_fd >= 0 && raw.find("\r\n\r\n") == std::string::npos && raw.size() < 65536 &&
           !m_stop) {
        char buf[4096];
        pollfd p{fd, POLLIN, 0};
        if (!(ssl && SSL_pending(ssl) > 0) && ::poll(&p, 1, 50) <= 0)
            continue;
        const int n =
            ssl ? SSL_read(ssl, buf, sizeof buf) : static_cast<int>(::recv(fd, buf, sizeof buf, 0));
        if (n <= 0)
            break;
        raw.append(buf, static_cast<size_t>(n));
    }
    const size_t end = raw.find("\r\n\r\n");
    if (end != std::string::npos) {
        Request r;
        r.raw = raw.substr(0, end);
        size_t pos = r.raw.find("\r\n");
        const std::string first = r.raw.substr(0, pos);
        const size_t sp1 = first.find(' ');
        const size_t sp2 = first.find(' ', sp1 + 1);
        r.method = first.substr(0, sp1);
        r.target = first.substr(sp1 + 1, sp2 - sp1 - 1);
        while (pos != std::string::npos && pos < r.raw.size()) {
            const size_t next = r.raw.find("\r\n", pos + 2);
            const std::string line = r.raw.substr(
                pos + 2, next == std::string::npos ? std::string::npos : next - pos - 2);
            const size_t colon = line.find(':');
            if (colon != std::string::npos) {
                size_t v = line.find_first_not_of(' ', colon + 1);
                r.headers[lower(line.substr(0, colon))] =
                    v == std::string::npos ? std::string() : line.substr(v);
            }
            pos = next;
        }
        {
            std::lock_guard lock(m_mutex);
            m_requests.push_back(r);
        }
        m_handler(r, c);
    }
    if (ssl) {
        SSL_shutdown(ssl);
        SSL_free(ssl);
    }
    std::lock_guard lock(m_mutex);
    m_fds.erase(std::remove(m_fds.begin(), m_fds.end(), fd), m_fds.end());
    ::close(fd);
}

bool RawHttpServer::Connection::send(std::string_view data)
{
    while (!data.empty()) {
        if (m_fd < 0 || m_server->m_stop)
            return false;
        pollfd p{m_fd, POLLOUT, 0};
        if (::poll(&p, 1, 50) <= 0)
            continue;
        const int n =
            m_ssl ? SSL_write(static_cast<SSL *>(m_ssl), data.data(), static_cast<int>(data.size()))
                  : static_cast<int>(::send(m_fd, data.data(), data.size(), MSG_NOSIGNAL));
        if (n <= 0)
            return false;
        data.remove_prefix(static_cast<size_t>(n));
    }
    return true;
}

bool RawHttpServer::Connection::sendPaced(std::string_view data, size_t piece, int gapMs)
{
    while (!data.empty()) {
        const size_t n = std::min(piece, data.size());
        if (!send(data.substr(0, n)))
            return false;
        data.remove_prefix(n);
        if (!data.empty() && !wait(gapMs))
            return false;
    }
    return true;
}

bool RawHttpServer::Connection::wait(int ms)
{
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (std::chrono::steady_clock::now() < until) {
        if (stopping())
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(std::min(ms, 10)));
    }
    return !stopping();
}

bool RawHttpServer::Connection::stopping() const
{
    return m_server->m_stop;
}
