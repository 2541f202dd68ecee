#include "vcdevservice.h"

#include "vcdevlogging.h"
#include "vcdevlogo.h"

#include <QFile>
#include <QPointer>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>

VCDevService::VCDevService(const Options &options, QObject *parent)
    : QObject(parent)
    , m_options(options)
    , m_parser(options.maxBodyBytes)
    , m_api(options.maxSessions)
{
    m_api.setForbidden(options.forbidden);
    connect(&m_api, &VCDevPlayerApi::stateReported, this, &VCDevService::stateReported);
    connect(&m_api, &VCDevPlayerApi::sessionEnded, &m_stations, &VCDevStations::dropSession);
    connect(&m_stations, &VCDevStations::modeChanged, this, &VCDevService::streamModeChanged);
}

VCDevService::~VCDevService()
{
    qDeleteAll(m_pending.keyBegin(), m_pending.keyEnd());
}

bool VCDevService::start(QString *error)
{
    QString failure;
    if (!error)
        error = &failure;
    if (!checkOptions(error) || !buildStations(error))
        return false;

    m_logo = VCDevLogo::png();
    if (!m_ad.build(m_logo, error))
        return false;
    QFile page(QStringLiteral(":/devservice/statuspage.html"));
    if (!page.open(QIODevice::ReadOnly)) {
        *error = QStringLiteral("the status page is missing from the resources");
        return false;
    }
    m_statusPage = page.readAll();
    if (!listen(error))
        return false;

    QStringList streamUrls;
    for (int i = 1; i <= streamCount(); ++i)
        streamUrls.append(baseUrl() + streamPath(i));
    if (m_hls)
        streamUrls.append(baseUrl() + QString::fromLatin1(hlsPath));
    if (m_ogg)
        streamUrls.append(baseUrl() + QString::fromLatin1(VCDevOggStation::path));
    m_api.setStreamUrls(streamUrls);
    m_stations.goLive();
    return true;
}

bool VCDevService::checkOptions(QString *error)
{
    const QString offered = m_options.newBuildVersion.isEmpty() ? QString::fromLatin1(playerVersion)
                                                                : m_options.newBuildVersion;
    if (!m_api.setOfferedVersion(offered)) {
        *error = QStringLiteral("the offered build version must look like 1.2.0");
        return false;
    }
    if (m_options.streamCount < 1 || m_options.streamCount > VCDevStations::maxCount()) {
        *error = QStringLiteral("the number of streams must be between 1 and %1")
                     .arg(VCDevStations::maxCount());
        return false;
    }
    if (m_options.loopBars < 1 || m_options.loopBars > 64) {
        *error = QStringLiteral("the music loop must be 1 to 64 bars long");
        return false;
    }
    return true;
}

bool VCDevService::buildStations(QString *error)
{
    if (!m_stations.build({m_options.streamCount, m_options.tones, m_options.loopBars,
                           m_options.burstMs, m_options.toneGainDb},
                          error))
        return false;
    if (m_options.hls) {
        m_hls = std::make_unique<VCDevHlsStation>();
        VCDemoAudio::Style style = VCDevStations::plannedStyle(1);
        style.bars = m_options.loopBars;
        if (m_options.tones)
            style.toneHz = 440.0 * (streamCount() + 1);
        if (!m_hls->build(style, error))
            return false;
    }
    if (m_options.ogg) {
        m_ogg = std::make_unique<VCDevOggStation>();
        VCDemoAudio::Style style = VCDevStations::plannedStyle(1);
        style.bars = m_options.loopBars;
        if (!m_ogg->build(style, error))
            return false;
        connect(&m_api, &VCDevPlayerApi::sessionEnded, m_ogg.get(), &VCDevOggStation::dropSession);
    }
    return true;
}

bool VCDevService::listen(QString *error)
{
    m_server = new QTcpServer(this);
    m_server->setMaxPendingConnections(m_options.maxConnections);
    if (!m_server->listen(m_options.address, m_options.port)) {
        *error = QStringLiteral("cannot listen on %1 port %2: %3")
                     .arg(m_options.address.toString())
                     .arg(m_options.port)
                     .arg(m_server->errorString());
        delete m_server;
        m_server = nullptr;
        return false;
    }
    connect(m_server, &QTcpServer::newConnection, this, &VCDevService::acceptConnections);
    return true;
}

quint16 VCDevService::port() const
{
    return m_server ? m_server->serverPort() : 0;
}

QString VCDevService::baseUrl() const
{
    QString host = m_options.address.toString();
    if (m_options.address.protocol() == QAbstractSocket::IPv6Protocol)
        host = QLatin1Char('[') + host + QLatin1Char(']');
    return QStringLiteral("http://%1:%2").arg(host).arg(port());
}

QJsonObject VCDevService::status() const
{
    QJsonObject service = m_api.offerStatus();
    service.insert(QStringLiteral("baseUrl"), baseUrl());
    service.insert(QStringLiteral("ad"), m_ad.status(baseUrl()));
    if (m_hls)
        service.insert(
            QStringLiteral("hls"),
            QJsonObject{{QStringLiteral("master"), baseUrl() + QString::fromLatin1(hlsPath)},
                        {QStringLiteral("fmp4"),
                         baseUrl() + QString::fromLatin1(VCDevHlsStation::fmp4MasterPath)},
                        {QStringLiteral("aes"),
                         baseUrl() + QString::fromLatin1(VCDevHlsStation::aesMasterPath)},
                        {QStringLiteral("slow"), m_hlsSlow}});
    if (m_ogg)
        service.insert(QStringLiteral("ogg"),
                       QJsonObject{{QStringLiteral("address"),
                                    baseUrl() + QString::fromLatin1(VCDevOggStation::path)},
                                   {QStringLiteral("title"), m_ogg->titleAt(m_stations.liveMs())},
                                   {QStringLiteral("listeners"), m_ogg->listenerCount()}});
    return {{QStringLiteral("service"), service},
            {QStringLiteral("streams"), m_stations.status()},
            {QStringLiteral("sessions"), m_api.sessionsStatus()}};
}

void VCDevService::acceptConnections()
{
    while (QTcpSocket *socket = m_server->nextPendingConnection()) {
        const int open = int(m_pending.size()) + m_stations.totalListeners() +
                         (m_ogg ? m_ogg->listenerCount() : 0);
        if (open >= m_options.maxConnections) {
            qCWarning(lcDevService) << "Too many connections, refusing one";
            socket->abort();
            socket->deleteLater();
            continue;
        }
        // Input waits in the kernel once a whole request's worth is buffered.
        socket->setReadBufferSize(m_parser.maxHeadBytes() + m_parser.maxBodyBytes());
        m_pending.insert(socket, QByteArray());
        connect(socket, &QTcpSocket::readyRead, this, [this, socket]() { readRequests(socket); });
        connect(socket, &QTcpSocket::disconnected, this, [this, socket]() {
            if (m_pending.remove(socket))
                socket->deleteLater();
        });
    }
}

void VCDevService::readRequests(QTcpSocket *socket)
{
    auto it = m_pending.find(socket);
    if (it == m_pending.end())
        return;
    it->append(socket->readAll());
    for (;;) {
        it = m_pending.find(socket);
        if (it == m_pending.end())
            return; // the connection became a stream or was closed
        VCDevHttpRequest request;
        int status = 0;
        switch (m_parser.parse(*it, &request, &status)) {
        case VCDevHttpParser::NeedMore:
            return;
        case VCDevHttpParser::Failed: {
            qCInfo(lcDevService) << "Refused a request with status" << status;
            m_pending.remove(socket);
            respond(socket, {}, VCDevHttpResponse::plain(status), false);
            return;
        }
        case VCDevHttpParser::Complete:
            dispatch(socket, request);
            break;
        }
    }
}

void VCDevService::respond(QTcpSocket *socket, const VCDevHttpRequest &request,
                           const VCDevHttpResponse &response, bool keepAlive)
{
    socket->write(response.head(keepAlive));
    if (request.method != "HEAD")
        socket->write(response.body);
    if (!request.method.isEmpty()) {
        // Only the method and path are logged: bodies and headers carry credentials.
        qCInfo(lcDevService).noquote() << request.method << request.path << response.status;
    }
    if (!keepAlive) {
        m_pending.remove(socket);
        socket->disconnectFromHost();
        if (socket->state() == QAbstractSocket::UnconnectedState)
            socket->deleteLater();
        else
            connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
    }
}

void VCDevService::dispatch(QTcpSocket *socket, const VCDevHttpRequest &request)
{
    if (routeStream(socket, request) || routeNowPlaying(socket, request) ||
        routeApi(socket, request) || routeStatus(socket, request) || routeFiles(socket, request))
        return;
    respond(socket, request, VCDevHttpResponse::plain(404), request.keepAlive());
}

bool VCDevService::routeStream(QTcpSocket *socket, const VCDevHttpRequest &request)
{
    // Streams: /stream/<n>.mp3
    const QString &path = request.path;
    static const QString streamPrefix = QStringLiteral("/stream/");
    if (!path.startsWith(streamPrefix) || !path.endsWith(QLatin1String(".mp3")))
        return false;
    bool ok = false;
    const int stream =
        path.mid(streamPrefix.size(), path.size() - streamPrefix.size() - 4).toInt(&ok);
    if (!ok || stream < 1 || stream > streamCount() || path != streamPath(stream))
        return false;
    if (request.method != "GET")
        respond(socket, request, VCDevHttpResponse::methodNotAllowed("GET"), request.keepAlive());
    else
        startStream(socket, request, stream);
    return true;
}

bool VCDevService::routeNowPlaying(QTcpSocket *socket, const VCDevHttpRequest &request)
{
    // Now playing: /nowplaying/<n>.json, its identifier /nowplaying/<n>-id.json, and the cover
    // that both name relatively.
    static const QString nowPlayingPrefix = QStringLiteral("/nowplaying/");
    const bool get = request.method == "GET" || request.method == "HEAD";
    if (!request.path.startsWith(nowPlayingPrefix) || !get)
        return false;
    const QString name = request.path.mid(nowPlayingPrefix.size());
    if (name == QLatin1String("cover.png")) {
        respond(socket, request, {200, "image/png", m_logo, {}}, request.keepAlive());
        return true;
    }
    const bool idOnly = name.endsWith(QLatin1String("-id.json"));
    const qsizetype suffix = idOnly ? 8 : 5;
    bool ok = false;
    const int stream = name.size() > suffix ? name.chopped(suffix).toInt(&ok) : 0;
    if (!ok || stream < 1 || stream > streamCount() ||
        name != QStringLiteral("%1%2").arg(stream).arg(idOnly ? "-id.json" : ".json"))
        return false;
    respond(socket, request, m_stations.nowPlaying(stream, idOnly), request.keepAlive());
    return true;
}

bool VCDevService::routeApi(QTcpSocket *socket, const VCDevHttpRequest &request)
{
    const QString &path = request.path;
    const bool keepAlive = request.keepAlive();
    const bool post = request.method == "POST";
    static const QString apiPrefix = QStringLiteral("/api/player/");
    VCDevHttpResponse response;
    if (path.startsWith(apiPrefix)) {
        const QString call = path.mid(apiPrefix.size());
        if (!VCDevPlayerApi::isCall(call))
            return false;
        response =
            post ? m_api.respond(call, request.body) : VCDevHttpResponse::methodNotAllowed("POST");
    } else if (m_hls && path.startsWith(QLatin1String("/hls/"))) {
        if (request.method != "GET")
            respond(socket, request, VCDevHttpResponse::methodNotAllowed("GET"), keepAlive);
        else
            hlsResponse(socket, request);
        return true;
    } else if (m_ogg && path == QLatin1String(VCDevOggStation::path)) {
        if (request.method != "GET")
            respond(socket, request, VCDevHttpResponse::methodNotAllowed("GET"), keepAlive);
        else
            startOggStream(socket, request);
        return true;
    } else if (path.startsWith(QLatin1String("/ad/")) &&
               (request.method == "GET" || request.method == "HEAD")) {
        if (!m_ad.respond(path.mid(4), baseUrl(), &response))
            return false;
    } else if (path.startsWith(QLatin1String("/control/"))) {
        response = post ? handleControl(request) : VCDevHttpResponse::methodNotAllowed("POST");
    } else {
        return false;
    }
    respond(socket, request, response, keepAlive);
    return true;
}

bool VCDevService::routeStatus(QTcpSocket *socket, const VCDevHttpRequest &request)
{
    const QString &path = request.path;
    if (path != QLatin1String("/") && path != QLatin1String("/status.json"))
        return false;
    const bool get = request.method == "GET" || request.method == "HEAD";
    VCDevHttpResponse response =
        !get ? VCDevHttpResponse::methodNotAllowed("GET, HEAD")
        : path == QLatin1String("/")
            ? VCDevHttpResponse{200, "text/html; charset=utf-8", m_statusPage, {}}
            : VCDevHttpResponse::json(status());
    respond(socket, request, response, request.keepAlive());
    return true;
}

bool VCDevService::routeFiles(QTcpSocket *socket, const VCDevHttpRequest &request)
{
    // The station logo and the offered build.
    const QString &path = request.path;
    const bool logo =
        path == QLatin1String("/stationFormat/") + QLatin1String(VCDevService::logoFileName());
    if (!logo && path != m_api.buildPath())
        return false;
    const bool get = request.method == "GET" || request.method == "HEAD";
    VCDevHttpResponse response = !get   ? VCDevHttpResponse::methodNotAllowed("GET, HEAD")
                                 : logo ? VCDevHttpResponse{200, "image/png", m_logo, {}}
                                        : m_api.buildFile();
    respond(socket, request, response, request.keepAlive());
    return true;
}

VCDevHttpResponse VCDevService::handleControl(const VCDevHttpRequest &request)
{
    const QStringList parts = request.path.split(QLatin1Char('/'), Qt::SkipEmptyParts);
    // control/stream/<n>/<mode>
    if (parts.size() == 4 && parts[1] == QLatin1String("stream")) {
        bool ok = false;
        const int stream = parts[2].toInt(&ok);
        VCDevStreamSender::Mode mode;
        if (!ok || stream < 1 || stream > streamCount() ||
            !VCDevStreamSender::modeFromName(parts[3], &mode))
            return VCDevHttpResponse::plain(404);
        setStreamMode(stream, mode);
        return VCDevHttpResponse::json(status());
    }
    auto onOff = [&](int size, const char *what, const char *detail) {
        return parts.size() == size && parts[1] == QLatin1String(what) &&
               (!detail || parts[2] == QLatin1String(detail)) &&
               (parts.last() == QLatin1String("on") || parts.last() == QLatin1String("off"));
    };
    const bool on = parts.last() == QLatin1String("on");
    // control/hls/slow/on|off, control/ad/nobanner/on|off, control/forbidden/on|off
    if (m_hls && onOff(4, "hls", "slow"))
        setHlsSlow(on);
    else if (onOff(4, "ad", "nobanner"))
        setAdNoBanner(on);
    else if (onOff(3, "forbidden", nullptr))
        setForbidden(on);
    else
        return VCDevHttpResponse::plain(404);
    return VCDevHttpResponse::json(status());
}

void VCDevService::hlsResponse(QTcpSocket *socket, const VCDevHttpRequest &request)
{
    const bool keepAlive = request.keepAlive();
    if (!m_api.sessionFromAuthorization(request.header("Authorization")))
        return respond(socket, request, VCDevHttpResponse::unauthorized(), keepAlive);
    int bitrate = 0;
    const VCDevHttpResponse response = m_hls->respond(
        request.path, m_stations.liveMs(), [this](qint64) { return m_stations.liveTitle(1); },
        &bitrate);
    if (m_hlsSlow && bitrate == VCDevHlsStation::bitrates.back()) {
        const int delayMs = int(3000 * VCDevHlsStation::segmentSeconds());
        QTimer::singleShot(delayMs, socket, [this, socket, request, response, keepAlive] {
            respond(socket, request, response, keepAlive);
        });
        return;
    }
    respond(socket, request, response, keepAlive);
}

void VCDevService::startOggStream(QTcpSocket *socket, const VCDevHttpRequest &request)
{
    const int session = m_api.sessionFromAuthorization(request.header("Authorization"));
    if (!session)
        return respond(socket, request, VCDevHttpResponse::unauthorized(), request.keepAlive());
    qCInfo(lcDevService).noquote() << request.method << request.path << 200 << "session" << session;
    m_pending.remove(socket);
    disconnect(socket, nullptr, this, nullptr);
    m_ogg->addListener(socket, m_stations.liveMs(), m_options.burstMs, session);
}

void VCDevService::startStream(QTcpSocket *socket, const VCDevHttpRequest &request, int stream)
{
    const int session = m_api.sessionFromAuthorization(request.header("Authorization"));
    if (!session)
        return respond(socket, request, VCDevHttpResponse::unauthorized(), request.keepAlive());
    if (m_stations.mode(stream) == VCDevStreamSender::Drop)
        return respond(socket, request, VCDevHttpResponse::text(503, "The stream is switched off"),
                       false);

    const bool icy = request.header("Icy-MetaData").trimmed() == "1";
    if (stream == m_options.lateStream && m_options.lateMs > 0) {
        // A slow origin: the listener waits for the answer, its connection kept meanwhile.
        QTimer::singleShot(
            m_options.lateMs, this,
            [this, guard = QPointer<QTcpSocket>(socket), request, stream, icy, session] {
                if (guard && m_pending.contains(guard))
                    sendStream(guard, request, stream, icy, session);
            });
        return;
    }
    sendStream(socket, request, stream, icy, session);
}

void VCDevService::sendStream(QTcpSocket *socket, const VCDevHttpRequest &request, int stream,
                              bool icy, int session)
{
    qCInfo(lcDevService).noquote() << request.method << request.path << 200 << "session" << session;
    m_pending.remove(socket);
    disconnect(socket, nullptr, this, nullptr);
    m_stations.addListener(socket, stream, icy, session);
}
