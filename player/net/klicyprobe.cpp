#include "klicyprobe.h"

#include <QSslConfiguration>
#include <QSslSocket>
#include <QTcpSocket>

namespace {

int defaultPort(const QUrl &url)
{
    return url.scheme() == QLatin1String("https") ? 443 : 80;
}

bool isSameOrigin(const QUrl &a, const QUrl &b)
{
    return a.scheme() == b.scheme() && a.host() == b.host() &&
           a.port(defaultPort(a)) == b.port(defaultPort(b));
}

qsizetype headEnd(const QByteArray &bytes)
{
    const qsizetype crlf = bytes.indexOf("\r\n\r\n");
    const qsizetype lf = bytes.indexOf("\n\n");
    if (crlf >= 0 && (lf < 0 || crlf + 2 <= lf))
        return crlf + 4;
    return lf >= 0 ? lf + 2 : -1;
}

} // namespace

KLIcyProbe::KLIcyProbe(const QNetworkRequest &request, const QUrl &url, int timeoutMs,
                       QObject *parent)
    : QObject(parent)
    , m_url(url)
    , m_request(requestText(request, url))
{
    const bool isTls = url.scheme() == QLatin1String("https");
    if (isTls) {
        auto *socket = new QSslSocket(this);
        socket->setSslConfiguration(request.sslConfiguration());
        connect(socket, &QSslSocket::encrypted, this, [this]() { m_socket->write(m_request); });
        // Verification errors end the probe through errorOccurred; they are never ignored.
        m_socket = socket;
    } else {
        m_socket = new QTcpSocket(this);
        connect(m_socket, &QTcpSocket::connected, this, [this]() { m_socket->write(m_request); });
    }
    connect(m_socket, &QTcpSocket::readyRead, this, &KLIcyProbe::readHead);
    connect(m_socket, &QTcpSocket::disconnected, this, [this]() {
        readHead();
        finish();
    });
    connect(m_socket, &QTcpSocket::errorOccurred, this, [this]() {
        readHead();
        finish();
    });

    m_timer.setSingleShot(true);
    connect(&m_timer, &QTimer::timeout, this, &KLIcyProbe::finish);
    if (timeoutMs > 0)
        m_timer.start(timeoutMs);

    const quint16 port = quint16(url.port(defaultPort(url)));
    if (isTls)
        static_cast<QSslSocket *>(m_socket)->connectToHostEncrypted(url.host(), port);
    else
        m_socket->connectToHost(url.host(), port);
}

KLIcyProbe::~KLIcyProbe()
{
    m_socket->disconnect(this);
    m_socket->abort();
}

QByteArray KLIcyProbe::requestText(const QNetworkRequest &request, const QUrl &url)
{
    QByteArray target =
        url.toEncoded(QUrl::RemoveScheme | QUrl::RemoveAuthority | QUrl::RemoveFragment);
    if (!target.startsWith('/'))
        target.prepend('/');
    QByteArray host = url.host(QUrl::FullyEncoded).toUtf8();
    if (host.contains(':'))
        host = '[' + host + ']';
    if (url.port() != -1)
        host += ':' + QByteArray::number(url.port());

    QByteArray text = "GET " + target + " HTTP/1.1\r\nHost: " + host + "\r\n";
    const bool isAuthorized = isSameOrigin(url, request.url());
    const QList<QByteArray> names = request.rawHeaderList();
    for (const QByteArray &name : names) {
        const QByteArray value = request.rawHeader(name);
        if (name.compare("Host", Qt::CaseInsensitive) == 0 ||
            name.compare("Connection", Qt::CaseInsensitive) == 0 ||
            (!isAuthorized && name.compare("Authorization", Qt::CaseInsensitive) == 0))
            continue;
        // A line break in a header would start a header or a request of its own.
        if (name.contains('\r') || name.contains('\n') || value.contains('\r') ||
            value.contains('\n'))
            continue;
        text += name + ": " + value + "\r\n";
    }
    text += "Connection: close\r\n\r\n";
    return text;
}

void KLIcyProbe::readHead()
{
    if (m_isFinished)
        return;
    const qint64 room = maxHeadSize - m_head.size();
    if (room > 0 && m_socket->bytesAvailable() > 0)
        m_head += m_socket->read(room);
    const qsizetype end = headEnd(m_head);
    if (end >= 0) {
        m_head.truncate(end);
        finish();
    } else if (m_head.size() >= maxHeadSize) {
        finish();
    }
}

void KLIcyProbe::finish()
{
    if (m_isFinished)
        return;
    m_isFinished = true;
    m_timer.stop();
    m_socket->disconnect(this);
    m_socket->abort();
    emit finished();
}
