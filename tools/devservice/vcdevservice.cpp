#include "vcdevservice.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QLoggingCategory>
#include <QRandomGenerator>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>

#include <algorithm>
#include <cmath>
#include <thread>
#include <utility>

Q_LOGGING_CATEGORY(lcDevService, "vellacast.devservice")

namespace {

constexpr int sessionsShownInStatus = 32;

const char *reason(int status)
{
    switch (status) {
    case 200:
        return "OK";
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
    case 501:
        return "Not Implemented";
    case 503:
        return "Service Unavailable";
    case 505:
        return "HTTP Version Not Supported";
    }
    return "Unknown";
}

struct ChannelPlan
{
    const char *name;
    const char *genre;
    VCDemoAudio::Style style;
    QStringList titles;
};

QList<ChannelPlan> channelPlans()
{
    return {
        {"Vellacast Demo FM (main)",
         "Pop",
         {57, 8, 112, 11, 128000},
         {QStringLiteral("The Northern Lanterns - Harbour Lights"),
          QStringLiteral("Mira Solenne - Paper Planes"),
          QStringLiteral("Quiet Avenue - Slow Morning"),
          QStringLiteral("The Tin Orchard - Summer Rain")}},
        {"Vellacast Demo FM (backup)",
         "Pop",
         {62, 8, 120, 23, 128000},
         {QStringLiteral("Copper Fields - Open Road"), QStringLiteral("Ada Verlaine - Blue Hour"),
          QStringLiteral("Low Tide Club - Second Wind")}},
        {"Vellacast Demo FM (reserve)",
         "Easy listening",
         {53, 8, 96, 37, 64000},
         {QStringLiteral("Vellacast Demo FM - Reserve Line"),
          QStringLiteral("Juniper Row - Lantern Song")}},
    };
}

QJsonObject parseObject(const QByteArray &body, bool *ok)
{
    QJsonParseError error;
    const QJsonDocument document = QJsonDocument::fromJson(body, &error);
    *ok = error.error == QJsonParseError::NoError && document.isObject();
    return document.object();
}

QString newSid()
{
    quint32 words[4];
    QRandomGenerator::system()->fillRange(words);
    return QString::fromLatin1(
        QByteArray(reinterpret_cast<const char *>(words), sizeof words).toHex());
}

} // namespace

VCDevService::VCDevService(const Options &options, QObject *parent)
    : QObject(parent)
    , m_options(options)
    , m_parser(options.maxBodyBytes)
{}

VCDevService::~VCDevService()
{
    // Listeners go first, while their channels' audio still exists.
    for (const auto &channel : m_channels) {
        const auto senders = std::exchange(channel->senders, {});
        for (const auto &sender : senders)
            delete sender.data();
    }
    qDeleteAll(m_pending.keyBegin(), m_pending.keyEnd());
}

qint64 VCDevService::versionCode(const QString &version)
{
    const QStringList parts = version.split(QLatin1Char('.'));
    if (parts.size() != 3)
        return -1;
    qint64 numbers[3];
    for (int i = 0; i < 3; ++i) {
        bool ok = false;
        numbers[i] = parts[i].toLongLong(&ok);
        if (!ok || numbers[i] < 0 || parts[i].startsWith(QLatin1Char('+')))
            return -1;
    }
    if (numbers[1] > 99 || numbers[2] > 99 || numbers[0] > 999999)
        return -1;
    return numbers[0] * 100000 + numbers[1] * 1000 + numbers[2] * 10;
}

bool VCDevService::start(QString *error)
{
    QString failure;
    if (!error)
        error = &failure;

    m_offeredVersion = m_options.newBuildVersion.isEmpty() ? QString::fromLatin1(playerVersion)
                                                           : m_options.newBuildVersion;
    m_offeredCode = versionCode(m_offeredVersion);
    if (m_offeredCode < 0) {
        *error = QStringLiteral("the offered build version must look like 1.2.0");
        return false;
    }
    const QList<ChannelPlan> plans = channelPlans();
    if (m_options.streamCount < 1 || m_options.streamCount > plans.size()) {
        *error = QStringLiteral("the number of streams must be between 1 and %1").arg(plans.size());
        return false;
    }

    // Each channel's music is made on a thread of its own; they share nothing.
    m_channels.clear();
    std::vector<QString> errors(m_options.streamCount);
    if (m_options.loopBars < 1 || m_options.loopBars > 64) {
        *error = QStringLiteral("the music loop must be 1 to 64 bars long");
        return false;
    }
    std::vector<std::thread> builders;
    for (int i = 0; i < m_options.streamCount; ++i) {
        auto channel = std::make_unique<Channel>();
        channel->name = plans[i].name;
        channel->genre = plans[i].genre;
        channel->titles = plans[i].titles;
        Channel *raw = channel.get();
        VCDemoAudio::Style style = plans[i].style;
        style.bars = m_options.loopBars;
        if (m_options.tones)
            style.toneHz = 440.0 * (i + 1);
        m_channels.push_back(std::move(channel));
        builders.emplace_back([raw, style, out = &errors[i]]() { raw->audio.build(style, out); });
    }
    for (auto &builder : builders)
        builder.join();
    for (const QString &text : errors) {
        if (!text.isEmpty()) {
            *error = text;
            m_channels.clear();
            return false;
        }
    }

    if (m_options.hls) {
        m_hls = std::make_unique<VCDevHlsStation>();
        VCDemoAudio::Style style = channelPlans().first().style;
        style.bars = m_options.loopBars;
        if (m_options.tones)
            style.toneHz = 440.0 * (streamCount() + 1);
        if (!m_hls->build(style, error))
            return false;
    }

    m_logo = makeLogo();
    // The ad's jingle: two bars of music at a brisk tempo, a few seconds long.
    VCDemoAudio jingle;
    if (!jingle.build({64, 2, 150, 11, 128000, 0}, error))
        return false;
    m_jingle = jingle.musicFrames().join();
    QFile page(QStringLiteral(":/devservice/statuspage.html"));
    if (!page.open(QIODevice::ReadOnly)) {
        *error = QStringLiteral("the status page is missing from the resources");
        return false;
    }
    m_statusPage = page.readAll();

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
    m_liveClock.start();
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

void VCDevService::setForbidden(bool forbidden)
{
    if (m_options.forbidden == forbidden)
        return;
    m_options.forbidden = forbidden;
    qCInfo(lcDevService) << "State requests are now answered" << (forbidden ? "403" : "normally");
}

QString VCDevService::streamPath(int stream) const
{
    return QStringLiteral("/stream/%1.mp3").arg(stream);
}

VCDevStreamSender::Mode VCDevService::streamMode(int stream) const
{
    if (stream < 1 || stream > streamCount())
        return VCDevStreamSender::Normal;
    return m_channels[stream - 1]->mode;
}

bool VCDevService::setStreamMode(int stream, VCDevStreamSender::Mode mode)
{
    if (stream < 1 || stream > streamCount())
        return false;
    Channel &channel = *m_channels[stream - 1];
    if (channel.mode == mode)
        return true;
    channel.mode = mode;
    qCInfo(lcDevService).noquote()
        << "Stream" << stream << "is now" << VCDevStreamSender::modeName(mode);
    const auto senders = channel.senders;
    for (const auto &sender : senders) {
        if (sender)
            sender->setMode(mode);
    }
    emit streamModeChanged(stream, mode);
    return true;
}

int VCDevService::listenerCount(int stream) const
{
    if (stream < 1 || stream > streamCount())
        return 0;
    int count = 0;
    for (const auto &sender : m_channels[stream - 1]->senders)
        count += sender ? 1 : 0;
    return count;
}

qint64 VCDevService::liveLoop(int stream) const
{
    const Channel &channel = *m_channels[stream - 1];
    const qint64 frame = m_liveClock.nsecsElapsed() / 1000 / VCDemoAudio::frameDurationUs();
    return frame / channel.audio.musicFrames().size();
}

QString VCDevService::liveTitle(int stream) const
{
    const Channel &channel = *m_channels[stream - 1];
    if (channel.titles.isEmpty())
        return QString();
    return channel.titles.at(liveLoop(stream) % channel.titles.size());
}

VCDevService::Response VCDevService::nowPlaying(int stream, bool idOnly) const
{
    // The identifier changes with every loop, so a title that comes round again is new.
    const QString id = QStringLiteral("%1-%2").arg(stream).arg(liveLoop(stream));
    if (idOnly)
        return jsonResponse({{QStringLiteral("uniqueid"), id}});
    const QString title = liveTitle(stream);
    const qsizetype dash = title.indexOf(QLatin1String(" - "));
    return jsonResponse({
        {QStringLiteral("uniqueid"), id},
        {QStringLiteral("artist"), dash < 0 ? title : title.left(dash)},
        {QStringLiteral("title"), dash < 0 ? QString() : title.mid(dash + 3)},
        {QStringLiteral("cover"), QStringLiteral("cover.png")},
        {QStringLiteral("ddbId"), stream},
        {QStringLiteral("type"), 1},
    });
}

bool VCDevService::adResponse(const QString &path, Response *response)
{
    const QString name = path.mid(4);
    if (name == QLatin1String("daast.xml")) {
        if (m_adNoBanner) {
            *response = {200, "application/xml", "<nobanner/>\n", {}};
            return true;
        }
        QByteArray document = R"(<?xml version="1.0" encoding="UTF-8"?>
<DAAST version="1.0">
  <Ad id="demo-jingle">
    <InLine>
      <AdSystem>Vellacast development service</AdSystem>
      <AdTitle>Demo jingle: a word from our sponsor</AdTitle>
      <Impression>BASE/ad/track/impression</Impression>
      <Error>BASE/ad/track/error</Error>
      <Creatives>
        <Creative>
          <Linear>
            <Duration>DURATION</Duration>
            <MediaFiles>
              <MediaFile delivery="progressive" type="audio/mpeg">BASE/ad/jingle.mp3</MediaFile>
            </MediaFiles>
            <TrackingEvents>
              <Tracking event="start">BASE/ad/track/start</Tracking>
              <Tracking event="firstQuartile">BASE/ad/track/firstQuartile</Tracking>
              <Tracking event="midpoint">BASE/ad/track/midpoint</Tracking>
              <Tracking event="thirdQuartile">BASE/ad/track/thirdQuartile</Tracking>
              <Tracking event="complete">BASE/ad/track/complete</Tracking>
              PROGRESS
            </TrackingEvents>
          </Linear>
        </Creative>
        <Creative>
          <CompanionAds>
            <Companion width="128" height="128">
              <StaticResource creativeType="image/png">BASE/ad/banner.png</StaticResource>
              <CompanionClickThrough>BASE/ad/click</CompanionClickThrough>
              <CompanionClickTracking>BASE/ad/track/click</CompanionClickTracking>
              <TrackingEvents>
                <Tracking event="start">BASE/ad/track/creativeView</Tracking>
              </TrackingEvents>
            </Companion>
          </CompanionAds>
        </Creative>
      </Creatives>
    </InLine>
  </Ad>
</DAAST>
)";
        const qint64 seconds = qint64(m_jingle.size()) * 8 / 128000;
        QByteArray progress;
        for (qint64 n = 0; n <= seconds; ++n)
            progress += "<Tracking event=\"progress" + QByteArray::number(n) +
                        "\">BASE/ad/track/progress" + QByteArray::number(n) + "</Tracking>";
        document.replace("PROGRESS", progress);
        document.replace(
            "DURATION",
            QStringLiteral("00:00:%1").arg(seconds, 2, 10, QLatin1Char('0')).toLatin1());
        document.replace("BASE", baseUrl().toUtf8());
        *response = {200, "application/xml", document, {}};
        return true;
    }
    if (name == QLatin1String("jingle.mp3")) {
        *response = {200, "audio/mpeg", m_jingle, {}};
        return true;
    }
    if (name == QLatin1String("banner.png")) {
        *response = {200, "image/png", m_logo, {}};
        return true;
    }
    if (name == QLatin1String("click")) {
        *response = textResponse(200, "Thank you for your interest in our sponsor.");
        return true;
    }
    static const QStringList events = {
        QStringLiteral("impression"),  QStringLiteral("error"),
        QStringLiteral("start"),       QStringLiteral("firstQuartile"),
        QStringLiteral("midpoint"),    QStringLiteral("thirdQuartile"),
        QStringLiteral("complete"),    QStringLiteral("click"),
        QStringLiteral("creativeView")};
    static const QString trackPrefix = QStringLiteral("track/");
    if (name.startsWith(trackPrefix)) {
        QString event = name.mid(trackPrefix.size());
        if (event.startsWith(QLatin1String("progress")))
            event = QStringLiteral("progress");
        else if (!events.contains(event))
            return false;
        ++m_adTracking[event];
        *response = {204, "text/plain", {}, {}};
        return true;
    }
    return false;
}

QJsonObject VCDevService::status() const
{
    QJsonObject service{{QStringLiteral("baseUrl"), baseUrl()},
                        {QStringLiteral("forbidden"), m_options.forbidden},
                        {QStringLiteral("offeredVersion"), m_offeredVersion},
                        {QStringLiteral("offeredVersionCode"), m_offeredCode},
                        {QStringLiteral("newBuildOffered"),
                         m_offeredCode > versionCode(QString::fromLatin1(playerVersion))}};
    QJsonObject tracking;
    for (auto it = m_adTracking.cbegin(); it != m_adTracking.cend(); ++it)
        tracking.insert(it.key(), it.value());
    service.insert(QStringLiteral("ad"), QJsonObject{{QStringLiteral("document"),
                                                      baseUrl() + QStringLiteral("/ad/daast.xml")},
                                                     {QStringLiteral("nobanner"), m_adNoBanner},
                                                     {QStringLiteral("tracking"), tracking}});
    if (m_hls)
        service.insert(
            QStringLiteral("hls"),
            QJsonObject{{QStringLiteral("master"), baseUrl() + QString::fromLatin1(hlsPath)},
                        {QStringLiteral("slow"), m_hlsSlow}});
    QJsonArray streams;
    for (int i = 1; i <= streamCount(); ++i) {
        const Channel &channel = *m_channels[i - 1];
        qint64 bytes = 0;
        for (const auto &sender : channel.senders)
            bytes += sender ? sender->audioBytesSent() : 0;
        streams.append(QJsonObject{
            {QStringLiteral("stream"), i},
            {QStringLiteral("name"), QString::fromUtf8(channel.name)},
            {QStringLiteral("path"), streamPath(i)},
            {QStringLiteral("bitrate"), channel.audio.bitrate()},
            {QStringLiteral("mode"), VCDevStreamSender::modeName(channel.mode)},
            {QStringLiteral("listeners"), listenerCount(i)},
            {QStringLiteral("listenerBytes"), bytes},
            {QStringLiteral("title"), liveTitle(i)},
            {QStringLiteral("titles"), QJsonArray::fromStringList(channel.titles)},
        });
    }
    QJsonArray sessions;
    const qsizetype first = std::max<qsizetype>(0, m_sessions.size() - sessionsShownInStatus);
    for (qsizetype i = first; i < m_sessions.size(); ++i) {
        const Session &session = m_sessions[i];
        // The session id is a credential (it is the password of the stream addresses), so the
        // page names sessions by serial number only.
        sessions.append(QJsonObject{
            {QStringLiteral("session"), session.serial},
            {QStringLiteral("username"), QString::fromLatin1(accountUser)},
            {QStringLiteral("userId"), accountUserId},
            {QStringLiteral("active"), session.active},
            {QStringLiteral("loginTime"), session.loginTime.toString(Qt::ISODateWithMs)},
            {QStringLiteral("reportCount"), session.reportCount},
            {QStringLiteral("lastReportTime"),
             session.lastReportTime.isValid()
                 ? QJsonValue(session.lastReportTime.toString(Qt::ISODateWithMs))
                 : QJsonValue()},
            {QStringLiteral("lastReport"), session.lastReport},
        });
    }
    return {{QStringLiteral("service"), service},
            {QStringLiteral("streams"), streams},
            {QStringLiteral("sessions"), sessions}};
}

void VCDevService::acceptConnections()
{
    while (QTcpSocket *socket = m_server->nextPendingConnection()) {
        int open = int(m_pending.size());
        for (const auto &channel : m_channels)
            open += int(channel->senders.size());
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
            respond(socket, {}, textResponse(status, reason(status)), false);
            return;
        }
        case VCDevHttpParser::Complete:
            dispatch(socket, request);
            break;
        }
    }
}

void VCDevService::respond(QTcpSocket *socket, const VCDevHttpRequest &request,
                           const Response &response, bool keepAlive)
{
    QByteArray head =
        "HTTP/1.1 " + QByteArray::number(response.status) + ' ' + reason(response.status) +
        "\r\nContent-Type: " + response.contentType +
        "\r\nContent-Length: " + QByteArray::number(response.body.size()) +
        "\r\nCache-Control: no-store\r\nConnection: " + (keepAlive ? "keep-alive" : "close") +
        "\r\n";
    for (const auto &[name, value] : response.headers)
        head += name + ": " + value + "\r\n";
    head += "\r\n";
    socket->write(head);
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

VCDevService::Response VCDevService::textResponse(int status, const QByteArray &text)
{
    return {status, "text/plain; charset=utf-8", text + '\n', {}};
}

VCDevService::Response VCDevService::jsonResponse(const QJsonObject &object, int status)
{
    return {status, "application/json", QJsonDocument(object).toJson(QJsonDocument::Compact), {}};
}

void VCDevService::dispatch(QTcpSocket *socket, const VCDevHttpRequest &request)
{
    const QString &path = request.path;
    const bool keepAlive = request.keepAlive();
    const bool get = request.method == "GET" || request.method == "HEAD";
    const bool post = request.method == "POST";
    auto methodNotAllowed = [&](const QByteArray &allowed) {
        Response response = textResponse(405, reason(405));
        response.headers.append(std::make_pair(QByteArray("Allow"), allowed));
        respond(socket, request, response, keepAlive);
    };

    // Streams: /stream/<n>.mp3
    static const QString streamPrefix = QStringLiteral("/stream/");
    if (path.startsWith(streamPrefix) && path.endsWith(QLatin1String(".mp3"))) {
        bool ok = false;
        const int stream =
            path.mid(streamPrefix.size(), path.size() - streamPrefix.size() - 4).toInt(&ok);
        if (ok && stream >= 1 && stream <= streamCount() && path == streamPath(stream)) {
            if (request.method != "GET")
                return methodNotAllowed("GET");
            return startStream(socket, request, stream);
        }
    }

    // Now playing: /nowplaying/<n>.json, its identifier /nowplaying/<n>-id.json, and the cover
    // that both name relatively.
    static const QString nowPlayingPrefix = QStringLiteral("/nowplaying/");
    if (path.startsWith(nowPlayingPrefix) && get) {
        const QString name = path.mid(nowPlayingPrefix.size());
        if (name == QLatin1String("cover.png"))
            return respond(socket, request, {200, "image/png", m_logo, {}}, keepAlive);
        const bool idOnly = name.endsWith(QLatin1String("-id.json"));
        const qsizetype suffix = idOnly ? 8 : 5;
        bool ok = false;
        const int stream = name.size() > suffix ? name.chopped(suffix).toInt(&ok) : 0;
        if (ok && stream >= 1 && stream <= streamCount() &&
            name == QStringLiteral("%1%2").arg(stream).arg(idOnly ? "-id.json" : ".json"))
            return respond(socket, request, nowPlaying(stream, idOnly), keepAlive);
    }

    if (path == QLatin1String("/api/player/version") ||
        path == QLatin1String("/api/player/state") || path == QLatin1String("/api/player/logout")) {
        if (!post)
            return methodNotAllowed("POST");
        Response response = path.endsWith(QLatin1String("version")) ? handleVersion(request)
                            : path.endsWith(QLatin1String("state")) ? handleState(request)
                                                                    : handleLogout(request);
        return respond(socket, request, response, keepAlive);
    }

    if (m_hls && path.startsWith(QLatin1String("/hls/"))) {
        if (request.method != "GET")
            return methodNotAllowed("GET");
        return hlsResponse(socket, request);
    }

    if (path.startsWith(QLatin1String("/ad/")) && get) {
        Response response;
        if (adResponse(path, &response))
            return respond(socket, request, response, keepAlive);
    }

    if (path.startsWith(QLatin1String("/control/"))) {
        if (!post)
            return methodNotAllowed("POST");
        return respond(socket, request, handleControl(request), keepAlive);
    }

    if (path == QLatin1String("/") || path == QLatin1String("/status.json")) {
        if (!get)
            return methodNotAllowed("GET, HEAD");
        if (path == QLatin1String("/"))
            return respond(socket, request, {200, "text/html; charset=utf-8", m_statusPage, {}},
                           keepAlive);
        return respond(socket, request, jsonResponse(status()), keepAlive);
    }

    if (path == QLatin1String("/stationFormat/") + QLatin1String(VCDevService::logoFileName())) {
        if (!get)
            return methodNotAllowed("GET, HEAD");
        return respond(socket, request, {200, "image/png", m_logo, {}}, keepAlive);
    }

    const QJsonObject offer = buildOffer();
    const QString buildPath = QStringLiteral("/playerBuild/") +
                              offer.value(QStringLiteral("newVersionFilename")).toString();
    if (path == buildPath) {
        if (!get)
            return methodNotAllowed("GET, HEAD");
        const QByteArray text = "Vellacast " + m_offeredVersion.toUtf8() + " (build " +
                                QByteArray::number(m_offeredCode) +
                                ")\nThis file stands in for a new build offered by the "
                                "development service.\n";
        Response response{200, "application/octet-stream", text, {}};
        response.headers.append(std::make_pair(
            QByteArray("Content-Disposition"),
            QByteArray("attachment; filename=\"" +
                       offer.value(QStringLiteral("newVersionFilename")).toString().toUtf8() +
                       '"')));
        return respond(socket, request, response, keepAlive);
    }

    respond(socket, request, textResponse(404, reason(404)), keepAlive);
}

QJsonObject VCDevService::buildOffer() const
{
    return {{QStringLiteral("newVersion"), m_offeredVersion},
            {QStringLiteral("newVersionCode"), m_offeredCode},
            {QStringLiteral("newVersionFilename"),
             QStringLiteral("vellacast-%1-demo-build.txt").arg(m_offeredVersion)}};
}

VCDevService::Response VCDevService::handleVersion(const VCDevHttpRequest &request) const
{
    bool ok = false;
    parseObject(request.body, &ok);
    if (!ok)
        return textResponse(400, "The body must be a JSON object");
    return jsonResponse(buildOffer());
}

VCDevService::Response VCDevService::playerAnswer(const Session &session) const
{
    QJsonArray streams;
    for (int i = 1; i <= streamCount(); ++i)
        streams.append(QJsonObject{{QStringLiteral("streamUrl"), baseUrl() + streamPath(i)}});
    if (m_hls)
        streams.append(
            QJsonObject{{QStringLiteral("streamUrl"), baseUrl() + QString::fromLatin1(hlsPath)}});
    QJsonObject answer{
        {QStringLiteral("sid"), session.sid},
        {QStringLiteral("username"), QString::fromLatin1(accountUser)},
        {QStringLiteral("userId"), accountUserId},
        {QStringLiteral("city"), QStringLiteral("Riverton")},
        {QStringLiteral("stationName"), QStringLiteral("Vellacast Demo FM")},
        {QStringLiteral("stationLogoFilename"), QString::fromLatin1(logoFileName())},
        {QStringLiteral("streams"), streams},
    };
    const QJsonObject offer = buildOffer();
    for (auto it = offer.begin(); it != offer.end(); ++it)
        answer.insert(it.key(), it.value());
    return jsonResponse(answer);
}

VCDevService::Session *VCDevService::sessionBySid(const QString &sid)
{
    if (sid.isEmpty())
        return nullptr;
    for (Session &session : m_sessions) {
        if (session.active && session.sid == sid)
            return &session;
    }
    return nullptr;
}

VCDevService::Response VCDevService::handleState(const VCDevHttpRequest &request)
{
    bool ok = false;
    QJsonObject body = parseObject(request.body, &ok);
    if (!ok)
        return textResponse(400, "The body must be a JSON object");
    if (m_options.forbidden)
        return textResponse(403, reason(403));

    if (body.contains(QStringLiteral("user"))) {
        const QString user = body.value(QStringLiteral("user")).toString();
        const QString pass = body.value(QStringLiteral("pass")).toString();
        if (user != QLatin1String(accountUser) || pass != QLatin1String(accountPassword)) {
            qCInfo(lcDevService) << "Login refused";
            return textResponse(403, reason(403));
        }
        forgetOldSessions();
        Session session;
        session.serial = m_nextSession++;
        session.sid = newSid();
        session.loginTime = QDateTime::currentDateTime();
        m_sessions.append(session);
        qCInfo(lcDevService) << "Session" << session.serial << "logged in";
        return playerAnswer(session);
    }

    Session *session = sessionBySid(body.value(QStringLiteral("sid")).toString());
    if (!session)
        return textResponse(403, reason(403));
    body.remove(QStringLiteral("sid"));
    session->lastReport = body;
    session->lastReportTime = QDateTime::currentDateTime();
    ++session->reportCount;
    emit stateReported(session->serial);
    return playerAnswer(*session);
}

VCDevService::Response VCDevService::handleLogout(const VCDevHttpRequest &request)
{
    bool ok = false;
    const QJsonObject body = parseObject(request.body, &ok);
    if (!ok)
        return textResponse(400, "The body must be a JSON object");
    if (Session *session = sessionBySid(body.value(QStringLiteral("sid")).toString())) {
        qCInfo(lcDevService) << "Session" << session->serial << "logged out";
        endSession(*session);
    }
    return jsonResponse({});
}

void VCDevService::endSession(Session &session)
{
    session.active = false;
    // Its stream addresses stop working, and listeners that use them are cut off.
    for (const auto &channel : m_channels) {
        const auto senders = channel->senders;
        for (const auto &sender : senders) {
            if (sender && sender->session() == session.serial)
                sender->drop();
        }
    }
}

void VCDevService::forgetOldSessions()
{
    while (m_sessions.size() >= m_options.maxSessions && !m_sessions.isEmpty()) {
        qsizetype victim = 0;
        for (qsizetype i = 0; i < m_sessions.size(); ++i) {
            if (!m_sessions[i].active) {
                victim = i;
                break;
            }
        }
        endSession(m_sessions[victim]);
        m_sessions.removeAt(victim);
    }
}

VCDevService::Response VCDevService::handleControl(const VCDevHttpRequest &request)
{
    const QStringList parts = request.path.split(QLatin1Char('/'), Qt::SkipEmptyParts);
    // control/stream/<n>/<mode>
    if (parts.size() == 4 && parts[1] == QLatin1String("stream")) {
        bool ok = false;
        const int stream = parts[2].toInt(&ok);
        VCDevStreamSender::Mode mode;
        if (!ok || stream < 1 || stream > streamCount() ||
            !VCDevStreamSender::modeFromName(parts[3], &mode))
            return textResponse(404, reason(404));
        setStreamMode(stream, mode);
        return jsonResponse(status());
    }
    // control/hls/slow/on|off
    if (m_hls && parts.size() == 4 && parts[1] == QLatin1String("hls") &&
        parts[2] == QLatin1String("slow") &&
        (parts[3] == QLatin1String("on") || parts[3] == QLatin1String("off"))) {
        setHlsSlow(parts[3] == QLatin1String("on"));
        return jsonResponse(status());
    }
    // control/ad/nobanner/on|off
    if (parts.size() == 4 && parts[1] == QLatin1String("ad") &&
        parts[2] == QLatin1String("nobanner") &&
        (parts[3] == QLatin1String("on") || parts[3] == QLatin1String("off"))) {
        setAdNoBanner(parts[3] == QLatin1String("on"));
        return jsonResponse(status());
    }
    // control/forbidden/on|off
    if (parts.size() == 3 && parts[1] == QLatin1String("forbidden") &&
        (parts[2] == QLatin1String("on") || parts[2] == QLatin1String("off"))) {
        setForbidden(parts[2] == QLatin1String("on"));
        return jsonResponse(status());
    }
    return textResponse(404, reason(404));
}

const VCDevService::Session *
VCDevService::sessionFromAuthorization(const QByteArray &authorization) const
{
    if (!authorization.startsWith("Basic ") || authorization.size() > 1024)
        return nullptr;
    const auto decoded = QByteArray::fromBase64Encoding(authorization.mid(6).trimmed(),
                                                        QByteArray::AbortOnBase64DecodingErrors);
    if (!decoded)
        return nullptr;
    const QString text = QString::fromUtf8(*decoded);
    const qsizetype colon = text.indexOf(QLatin1Char(':'));
    if (colon < 0 || text.left(colon) != QString::number(accountUserId))
        return nullptr;
    const QString sid = text.mid(colon + 1);
    for (const Session &session : m_sessions) {
        if (session.active && session.sid == sid)
            return &session;
    }
    return nullptr;
}

void VCDevService::hlsResponse(QTcpSocket *socket, const VCDevHttpRequest &request)
{
    const bool keepAlive = request.keepAlive();
    if (!sessionFromAuthorization(request.header("Authorization"))) {
        Response response = textResponse(401, reason(401));
        response.headers.append(std::make_pair(QByteArray("WWW-Authenticate"),
                                               QByteArray("Basic realm=\"Vellacast demo streams\"")));
        return respond(socket, request, response, keepAlive);
    }
    static const QByteArray playlistType = "application/vnd.apple.mpegurl";
    const QStringList parts = request.path.split(QLatin1Char('/'), Qt::SkipEmptyParts);
    const qint64 elapsed = m_liveClock.elapsed();
    if (request.path == QLatin1String(hlsPath))
        return respond(socket, request, {200, playlistType, m_hls->masterPlaylist(), {}},
                       keepAlive);
    bool ok = false;
    const int bitrate = parts.size() == 3 ? parts[1].toInt(&ok) : 0;
    if (ok && std::find(VCDevHlsStation::bitrates.begin(), VCDevHlsStation::bitrates.end(),
                        bitrate) != VCDevHlsStation::bitrates.end()) {
        if (parts[2] == QLatin1String("index.m3u8"))
            return respond(socket, request, {200, playlistType, m_hls->mediaPlaylist(elapsed), {}},
                           keepAlive);
        const qint64 n =
            parts[2].endsWith(QLatin1String(".ts")) ? parts[2].chopped(3).toLongLong(&ok) : -1;
        const QByteArray segment =
            ok && n >= 0
                ? m_hls->segment(bitrate, n, elapsed, [this](qint64) { return liveTitle(1); })
                : QByteArray();
        if (!segment.isEmpty()) {
            const Response response{200, "video/mp2t", segment, {}};
            if (m_hlsSlow && bitrate == VCDevHlsStation::bitrates.back()) {
                const int delayMs = int(3000 * VCDevHlsStation::segmentSeconds());
                QTimer::singleShot(delayMs, socket, [this, socket, request, response, keepAlive] {
                    respond(socket, request, response, keepAlive);
                });
                return;
            }
            return respond(socket, request, response, keepAlive);
        }
    }
    respond(socket, request, textResponse(404, reason(404)), keepAlive);
}

void VCDevService::startStream(QTcpSocket *socket, const VCDevHttpRequest &request, int stream)
{
    const Session *session = sessionFromAuthorization(request.header("Authorization"));
    if (!session) {
        Response response = textResponse(401, reason(401));
        response.headers.append(std::make_pair(
            QByteArray("WWW-Authenticate"), QByteArray("Basic realm=\"Vellacast demo streams\"")));
        return respond(socket, request, response, request.keepAlive());
    }
    Channel &channel = *m_channels[stream - 1];
    if (channel.mode == VCDevStreamSender::Drop)
        return respond(socket, request, textResponse(503, "The stream is switched off"), false);

    qCInfo(lcDevService).noquote()
        << request.method << request.path << 200 << "session" << session->serial;
    m_pending.remove(socket);
    disconnect(socket, nullptr, this, nullptr);

    VCDevStreamSender::Setup setup;
    setup.audio = &channel.audio;
    setup.titles = channel.titles;
    setup.name = channel.name;
    setup.genre = channel.genre;
    setup.icy = request.header("Icy-MetaData").trimmed() == "1";
    setup.metaInt = icyMetaInt;
    setup.startFrame = m_liveClock.nsecsElapsed() / 1000 / VCDemoAudio::frameDurationUs();
    setup.burstMs = m_options.burstMs;
    setup.session = session->serial;
    auto *sender = new VCDevStreamSender(socket, setup, channel.mode, this);
    channel.senders.append(sender);
    connect(sender, &VCDevStreamSender::finished, this, [this, sender, stream]() {
        m_channels[stream - 1]->senders.removeAll(sender);
        sender->deleteLater();
    });
}

QByteArray VCDevService::makeLogo()
{
    // A round badge with broadcast waves above a dot, drawn with soft edges into RGBA pixels and
    // written as a PNG image.
    constexpr int size = 128;
    constexpr double cx = 64, cy = 76;
    auto coverage = [](double distanceOutside) {
        return std::clamp(0.5 - distanceOutside, 0.0, 1.0);
    };
    QByteArray raw;
    raw.reserve(size * (1 + size * 4));
    for (int y = 0; y < size; ++y) {
        raw.append('\0'); // filter type of the row: none
        for (int x = 0; x < size; ++x) {
            const double px = x + 0.5, py = y + 0.5;
            const double badge = coverage(std::hypot(px - 64, py - 64) - 60);
            // Gradient from orange at the top left to plum at the bottom right.
            const double t = std::clamp((px + py) / (2.0 * size), 0.0, 1.0);
            double r = 0xE8 + t * (0x8E - 0xE8), g = 0x5D + t * (0x24 - 0x5D),
                   b = 0x2A + t * (0x5C - 0x2A);
            const double dx = px - cx, dy = py - cy, distance = std::hypot(dx, dy);
            double white = coverage(distance - 9);
            // Arcs open upwards, 45 degrees either side of straight up.
            if (dy < 0 && std::abs(dx) <= -dy) {
                for (double radius : {22.0, 36.0, 50.0})
                    white = std::max(white, coverage(std::abs(distance - radius) - 3.5));
            }
            r += (255 - r) * white;
            g += (255 - g) * white;
            b += (255 - b) * white;
            raw.append(char(std::lround(r)));
            raw.append(char(std::lround(g)));
            raw.append(char(std::lround(b)));
            raw.append(char(std::lround(255 * badge)));
        }
    }

    auto crc32 = [](const QByteArray &data) {
        quint32 crc = 0xFFFFFFFFu;
        for (char byte : data) {
            crc ^= quint8(byte);
            for (int k = 0; k < 8; ++k)
                crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
        }
        return ~crc;
    };
    auto bigEndian = [](quint32 value) {
        const char bytes[4] = {char(value >> 24), char(value >> 16), char(value >> 8), char(value)};
        return QByteArray(bytes, 4);
    };
    auto chunk = [&](const char *type, const QByteArray &data) {
        const QByteArray typed = QByteArray(type) + data;
        return bigEndian(quint32(data.size())) + typed + bigEndian(crc32(typed));
    };
    QByteArray header = bigEndian(size) + bigEndian(size);
    header.append(char(8)); // bits per channel
    header.append(char(6)); // RGBA
    header.append(3, '\0'); // compression, filter and interlace methods
    // qCompress gives a zlib stream after a four-byte length of its own.
    const QByteArray compressed = qCompress(raw, 9).mid(4);
    return QByteArray("\x89PNG\r\n\x1a\n", 8) + chunk("IHDR", header) + chunk("IDAT", compressed) +
           chunk("IEND", {});
}
