#include "vcmetricsserver.h"

#include <CivetServer.h>
#include <civetweb.h>
#include <prometheus/exposer.h>
#include <prometheus/registry.h>

#include <QDebug>
#include <QHostAddress>

#include <exception>
#include <map>
#include <mutex>
#include <string>

namespace {

// What the listener's threads need of each server, by the port it listens on: the civetweb
// callback carries no pointer of ours.
struct Listener
{
    QByteArray token;
    VCMetricsServer::Pages pages;
};

std::mutex listenersMutex;
std::map<int, Listener> listeners;

// Compares without stopping at the first difference, so that the time taken tells nothing
// about how much of a guessed token was right.
bool sameSecret(const QByteArray &a, const QByteArray &b)
{
    if (a.size() != b.size())
        return false;
    unsigned char difference = 0;
    for (qsizetype i = 0; i < a.size(); ++i)
        difference |= static_cast<unsigned char>(a[i] ^ b[i]);
    return difference == 0;
}

bool isAuthorised(const QByteArray &authorization, const QByteArray &token)
{
    if (token.isEmpty())
        return true;
    static const QByteArray scheme = QByteArrayLiteral("bearer ");
    if (authorization.size() <= scheme.size() ||
        authorization.left(scheme.size()).toLower() != scheme)
        return false;
    return sameSecret(authorization.mid(scheme.size()).trimmed(), token);
}

VCMetricsServer::Answer textAnswer(int status, const QByteArray &text)
{
    return {status, QByteArrayLiteral("text/plain; charset=utf-8"), text + '\n'};
}

const char *reasonPhrase(int status)
{
    switch (status) {
    case 200:
        return "OK";
    case 401:
        return "Unauthorized";
    case 404:
        return "Not Found";
    case 405:
        return "Method Not Allowed";
    default:
        return "Service Unavailable";
    }
}

int beginRequest(mg_connection *connection)
{
    const mg_request_info *info = mg_get_request_info(connection);
    if (!info)
        return 0;
    VCMetricsServer::Request request;
    request.method = QByteArray(info->request_method ? info->request_method : "");
    request.path = QByteArray(info->local_uri ? info->local_uri : "");
    request.authorization = QByteArray(mg_get_header(connection, "Authorization"));

    VCMetricsServer::Answer answer;
    {
        std::lock_guard lock(listenersMutex);
        const auto it = listeners.find(info->server_port);
        // Not known yet (just started) or no longer (stopping): nothing is served.
        if (it == listeners.end())
            answer = textAnswer(503, QByteArrayLiteral("starting"));
        else
            answer = VCMetricsServer::answer(request, it->second.token, it->second.pages);
    }
    if (answer.status == 0)
        return 0;

    std::string head = "HTTP/1.1 " + std::to_string(answer.status) + ' ' +
                       reasonPhrase(answer.status) +
                       "\r\nContent-Type: " + answer.contentType.toStdString() +
                       "\r\nContent-Length: " + std::to_string(answer.body.size()) +
                       "\r\nCache-Control: no-store\r\nConnection: close\r\n";
    if (answer.status == 401)
        head += "WWW-Authenticate: Bearer realm=\"vellacast\"\r\n";
    head += "\r\n";
    mg_write(connection, head.data(), head.size());
    if (request.method != "HEAD")
        mg_write(connection, answer.body.constData(), size_t(answer.body.size()));
    return answer.status;
}

// The listener's own complaints (a port that is taken, a request it refused) go to the log.
int logMessage(const mg_connection *, const char *message)
{
    qWarning() << "Metrics endpoint:" << message;
    return 1;
}

} // namespace

VCMetricsServer::Address VCMetricsServer::parseAddress(const QString &text)
{
    Address address;
    const QString trimmed = text.trimmed();
    QString host = QStringLiteral("127.0.0.1");
    QString port = trimmed;
    if (trimmed.startsWith(QLatin1Char('['))) {
        const qsizetype end = trimmed.indexOf(QStringLiteral("]:"));
        if (end < 0) {
            address.error = QStringLiteral("expected [ADDRESS]:PORT");
            return address;
        }
        host = trimmed.mid(1, end - 1);
        port = trimmed.mid(end + 2);
    } else if (trimmed.contains(QLatin1Char(':'))) {
        const qsizetype colon = trimmed.lastIndexOf(QLatin1Char(':'));
        host = trimmed.left(colon);
        port = trimmed.mid(colon + 1);
        if (host.contains(QLatin1Char(':'))) {
            address.error = QStringLiteral("an IPv6 address is written [ADDRESS]:PORT");
            return address;
        }
    }
    if (host.compare(QLatin1String("localhost"), Qt::CaseInsensitive) == 0)
        host = QStringLiteral("127.0.0.1");
    bool ok = false;
    const uint number = port.toUInt(&ok);
    if (!ok || number > 65535) {
        address.error = QStringLiteral("the port is not a number from 0 to 65535");
        return address;
    }
    const QHostAddress hostAddress(host);
    if (hostAddress.isNull()) {
        address.error = QStringLiteral("the host is not an IP address");
        return address;
    }
    address.host = hostAddress.toString();
    address.port = quint16(number);
    address.isLoopback = hostAddress.isLoopback();
    return address;
}

VCMetricsServer::Answer VCMetricsServer::answer(const Request &request, const QByteArray &token,
                                                const Pages &pages)
{
    if (!isAuthorised(request.authorization, token))
        return textAnswer(401, QByteArrayLiteral("unauthorized"));
    if (request.method != "GET" && request.method != "HEAD")
        return textAnswer(405, QByteArrayLiteral("method not allowed"));
    if (request.path == "/metrics")
        return {};
    if (request.path == "/healthz")
        return textAnswer(pages.healthStatus, pages.healthText);
    if (request.path == "/status.json")
        return {200, QByteArrayLiteral("application/json"), pages.statusJson};
    return textAnswer(404, QByteArrayLiteral("not found"));
}

VCMetricsServer::VCMetricsServer() = default;

VCMetricsServer::~VCMetricsServer()
{
    if (m_port != 0) {
        std::lock_guard lock(listenersMutex);
        listeners.erase(m_port);
    }
    // Stops the listener and waits for its threads.
    m_exposer.reset();
}

bool VCMetricsServer::start(const Address &address, const QString &token,
                            const std::shared_ptr<prometheus::Registry> &registry, QString *error)
{
    if (!address.isLoopback && token.isEmpty()) {
        *error = QStringLiteral("an address that is not loopback needs metricsToken");
        return false;
    }
    const QString host = address.host.contains(QLatin1Char(':'))
                             ? QLatin1Char('[') + address.host + QLatin1Char(']')
                             : address.host;
    const std::vector<std::string> options{
        "listening_ports",    QStringLiteral("%1:%2").arg(host).arg(address.port).toStdString(),
        "num_threads",        std::to_string(threadCount),
        "request_timeout_ms", std::to_string(requestTimeoutMs),
        "max_request_size",   std::to_string(maxRequestSize),
    };
    static const CivetCallbacks callbacks = [] {
        CivetCallbacks c;
        c.begin_request = &beginRequest;
        c.log_message = &logMessage;
        return c;
    }();
    try {
        m_exposer = std::make_unique<prometheus::Exposer>(options, &callbacks);
    } catch (const std::exception &e) {
        *error = QString::fromLocal8Bit(e.what());
        return false;
    }
    m_exposer->RegisterCollectable(registry);
    const std::vector<int> ports = m_exposer->GetListeningPorts();
    if (ports.empty()) {
        m_exposer.reset();
        *error = QStringLiteral("the listener has no port");
        return false;
    }
    m_port = quint16(ports.front());
    std::lock_guard lock(listenersMutex);
    listeners[m_port] = Listener{token.toUtf8(), Pages()};
    return true;
}

void VCMetricsServer::setPages(const Pages &pages)
{
    if (m_port == 0)
        return;
    std::lock_guard lock(listenersMutex);
    listeners[m_port].pages = pages;
}
