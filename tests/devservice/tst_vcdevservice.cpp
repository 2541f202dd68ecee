#include "vcdevservice.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/log.h>
}

#include <QElapsedTimer>
#include <QImage>
#include <QJsonArray>
#include <QJsonDocument>
#include <QLoggingCategory>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QProcess>
#include <QSignalSpy>
#include <QTcpSocket>
#include <QTest>

#include <kldaastparser.h>
#include <klhlsdemuxer.h>
#include <klhlsmediaplaylist.h>
#include <klplaylistformat.h>

#include <cmath>
#include <memory>

namespace {

struct Decoded
{
    int sampleRate = 0;
    int channels = 0;
    qint64 samples = 0;
    double rms = 0;
    int errors = 0;
};

// Decodes MP3 data with FFmpeg, as a player would.
Decoded decodeMp3(const QByteArray &data)
{
    Decoded result;
    const AVCodec *codec = avcodec_find_decoder(AV_CODEC_ID_MP3);
    AVCodecParserContext *parser = av_parser_init(codec->id);
    AVCodecContext *context = avcodec_alloc_context3(codec);
    AVPacket *packet = av_packet_alloc();
    AVFrame *frame = av_frame_alloc();
    if (!parser || !context || !packet || !frame || avcodec_open2(context, codec, nullptr) < 0) {
        result.errors = 1;
    } else {
        double sum = 0;
        qint64 values = 0;
        auto decode = [&]() {
            if (avcodec_send_packet(context, packet) < 0)
                ++result.errors;
            for (;;) {
                const int received = avcodec_receive_frame(context, frame);
                if (received == AVERROR(EAGAIN) || received == AVERROR_EOF)
                    break;
                if (received < 0) {
                    ++result.errors;
                    break;
                }
                result.sampleRate = frame->sample_rate;
                result.channels = frame->ch_layout.nb_channels;
                result.samples += frame->nb_samples;
                if (frame->format == AV_SAMPLE_FMT_FLTP) {
                    for (int c = 0; c < result.channels; ++c) {
                        const auto *samples = reinterpret_cast<const float *>(frame->data[c]);
                        for (int i = 0; i < frame->nb_samples; ++i)
                            sum += double(samples[i]) * samples[i];
                        values += frame->nb_samples;
                    }
                }
            }
        };
        QByteArray padded = data;
        padded.append(QByteArray(AV_INPUT_BUFFER_PADDING_SIZE, '\0'));
        const auto *input = reinterpret_cast<const uint8_t *>(padded.constData());
        int left = int(data.size());
        while (left > 0) {
            const int used = av_parser_parse2(parser, context, &packet->data, &packet->size, input,
                                              left, AV_NOPTS_VALUE, AV_NOPTS_VALUE, 0);
            if (used < 0) {
                ++result.errors;
                break;
            }
            input += used;
            left -= used;
            if (packet->size > 0)
                decode();
        }
        result.rms = values ? std::sqrt(sum / values) : 0;
    }
    av_frame_free(&frame);
    av_packet_free(&packet);
    avcodec_free_context(&context);
    if (parser)
        av_parser_close(parser);
    return result;
}

// What ffprobe finds in a transport stream: one codec name per stream.
QStringList probedCodecs(const QByteArray &ts)
{
    QProcess ffprobe;
    ffprobe.start(QStringLiteral("ffprobe"), {"-v", "error", "-show_entries", "stream=codec_name",
                                              "-of", "csv=p=0", "-f", "mpegts", "-"});
    ffprobe.write(ts);
    ffprobe.closeWriteChannel();
    if (!ffprobe.waitForFinished(10000) || ffprobe.exitCode() != 0)
        return {QStringLiteral("ffprobe failed")};
    // The streams of the program, then the same streams again.
    QStringList codecs =
        QString::fromUtf8(ffprobe.readAllStandardOutput()).split('\n', Qt::SkipEmptyParts);
    codecs.removeDuplicates();
    return codecs;
}

// The largest gap between two program clock references of a transport stream in ms; -1 without
// two of them.
double largestClockGapMs(const QByteArray &ts)
{
    double largest = -1;
    qint64 last = -1;
    for (qsizetype at = 0; at + 188 <= ts.size(); at += 188) {
        const auto *p = reinterpret_cast<const uchar *>(ts.constData() + at);
        if ((p[3] & 0x20) == 0 || p[4] < 7 || (p[5] & 0x10) == 0)
            continue; // no adaptation field with a clock reference
        const qint64 base =
            (qint64(p[6]) << 25) | (p[7] << 17) | (p[8] << 9) | (p[9] << 1) | (p[10] >> 7);
        if (last >= 0)
            largest = qMax(largest, (base - last) / 90.0);
        last = base;
    }
    return largest;
}

// Takes the ICY metadata blocks out of a stream body; false when a block is malformed.
bool splitIcy(const QByteArray &body, int metaInt, QByteArray *audio, QStringList *titles)
{
    qsizetype pos = 0;
    while (pos < body.size()) {
        audio->append(body.mid(pos, metaInt));
        pos += metaInt;
        if (pos >= body.size())
            break;
        const int length = quint8(body[pos]) * 16;
        if (pos + 1 + length > body.size())
            break; // the block is not complete yet
        const QByteArray block = body.mid(pos + 1, length);
        pos += 1 + length;
        if (length == 0)
            continue;
        const QByteArray text =
            block.left(block.indexOf('\0') < 0 ? block.size() : block.indexOf('\0'));
        if (!text.startsWith("StreamTitle='") || !text.endsWith("';"))
            return false;
        titles->append(QString::fromUtf8(text.mid(13, text.size() - 15)));
    }
    return true;
}

// A raw listener of one stream address.
class StreamClient
{
public:
    StreamClient(quint16 port, const QByteArray &path, const QByteArray &headers)
    {
        QObject::connect(&socket, &QTcpSocket::readyRead, &socket,
                         [this]() { raw += socket.readAll(); });
        socket.connectToHost(QHostAddress::LocalHost, port);
        socket.write("GET " + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\n" + headers + "\r\n");
    }

    bool hasHead() const { return raw.contains("\r\n\r\n"); }
    int status() const { return raw.mid(9, 3).toInt(); }
    QByteArray header(const QByteArray &name) const
    {
        const QList<QByteArray> lines = raw.left(raw.indexOf("\r\n\r\n")).split('\n');
        for (const QByteArray &line : lines) {
            if (line.toLower().startsWith(name.toLower() + ':'))
                return line.mid(name.size() + 1).trimmed();
        }
        return {};
    }
    QByteArray body() const { return raw.mid(raw.indexOf("\r\n\r\n") + 4); }
    qsizetype bodySize() const { return hasHead() ? raw.size() - raw.indexOf("\r\n\r\n") - 4 : 0; }
    bool isConnected() const { return socket.state() == QAbstractSocket::ConnectedState; }

    QTcpSocket socket;
    QByteArray raw;
};

struct Answer
{
    int status = 0;
    QByteArray body;
    QByteArray contentType;
    QJsonObject json() const { return QJsonDocument::fromJson(body).object(); }
};

QByteArray basic(const QString &user, const QString &password)
{
    return "Authorization: Basic " + (user + QLatin1Char(':') + password).toUtf8().toBase64() +
           "\r\n";
}

} // namespace

class TestVCDevService : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void cleanup();

    void versionCode_data();
    void versionCode();
    void versionCheck();
    void newBuildOffered();
    void login_data();
    void login();
    void logoAndPage();
    void nowPlaying();
    void refusedRequests_data();
    void refusedRequests();
    void oversizedBody();
    void stateReportStored();
    void forbiddenMode();
    void logoutEndsSession();
    void streamCredentials_data();
    void streamCredentials();
    void streamWithIcyTitles();
    void streamWithoutMetadata();
    void streamIsPaced();
    void silentSwitch();
    void stallSwitch();
    void dropSwitch();
    void destroyedWhileStreaming();
    void demoAd();
    void hlsStation();
    void oggStation();

private:
    Answer request(const QByteArray &method, const QString &path, const QByteArray &body = {});
    Answer post(const QString &path, const QJsonObject &body)
    {
        return request("POST", path, QJsonDocument(body).toJson(QJsonDocument::Compact));
    }
    QString logIn();
    std::unique_ptr<StreamClient> listen(int stream, const QString &sid, bool icy = false);

    std::unique_ptr<VCDevService> m_service;
    QNetworkAccessManager m_nam;
};

void TestVCDevService::initTestCase()
{
    QLoggingCategory::setFilterRules(QStringLiteral("vellacast.devservice.info=false"));
    av_log_set_level(AV_LOG_QUIET);
    VCDevService::Options options;
    options.streamCount = 2;
    options.loopBars = 2;
    options.burstMs = 300;
    m_service = std::make_unique<VCDevService>(options);
    QString error;
    QVERIFY2(m_service->start(&error), qPrintable(error));
    QVERIFY(m_service->port() != 0);
    QCOMPARE(m_service->baseUrl(), QStringLiteral("http://127.0.0.1:%1").arg(m_service->port()));
}

void TestVCDevService::cleanupTestCase()
{
    m_service.reset();
}

void TestVCDevService::cleanup()
{
    m_service->setForbidden(false);
    m_service->setAdNoBanner(false);
    for (int i = 1; i <= m_service->streamCount(); ++i)
        m_service->setStreamMode(i, VCDevStreamSender::Normal);
}

Answer TestVCDevService::request(const QByteArray &method, const QString &path,
                                 const QByteArray &body)
{
    QNetworkRequest request(QUrl(m_service->baseUrl() + path));
    request.setHeader(QNetworkRequest::ContentTypeHeader, QStringLiteral("application/json"));
    QNetworkReply *reply = m_nam.sendCustomRequest(request, method, body);
    QSignalSpy finished(reply, &QNetworkReply::finished);
    if (!reply->isFinished() && !finished.wait(10000))
        return {};
    Answer answer{reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt(),
                  reply->readAll(),
                  reply->header(QNetworkRequest::ContentTypeHeader).toByteArray()};
    reply->deleteLater();
    return answer;
}

QString TestVCDevService::logIn()
{
    const Answer answer = post(QStringLiteral("/api/player/state"),
                               {{QStringLiteral("user"), QStringLiteral("demo")},
                                {QStringLiteral("pass"), QStringLiteral("demo")},
                                {QStringLiteral("version"), QStringLiteral("1.1.15")},
                                {QStringLiteral("versionCode"), 101150},
                                {QStringLiteral("updatePeriodMs"), 60000}});
    return answer.status == 200 ? answer.json().value(QStringLiteral("sid")).toString() : QString();
}

std::unique_ptr<StreamClient> TestVCDevService::listen(int stream, const QString &sid, bool icy)
{
    return std::make_unique<StreamClient>(
        m_service->port(), m_service->streamPath(stream).toLatin1(),
        basic(QString::number(VCDevService::accountUserId), sid) +
            (icy ? QByteArray("Icy-MetaData: 1\r\n") : QByteArray()));
}

void TestVCDevService::versionCode_data()
{
    QTest::addColumn<QString>("version");
    QTest::addColumn<qint64>("code");
    QTest::newRow("this build") << QStringLiteral("1.1.15") << qint64(101150);
    QTest::newRow("next patch") << QStringLiteral("1.1.16") << qint64(101160);
    QTest::newRow("next major") << QStringLiteral("2.0.0") << qint64(200000);
    QTest::newRow("two parts") << QStringLiteral("1.2") << qint64(-1);
    QTest::newRow("minor too big") << QStringLiteral("1.100.0") << qint64(-1);
    QTest::newRow("letters") << QStringLiteral("1.b.3") << qint64(-1);
    QTest::newRow("negative") << QStringLiteral("1.1.-1") << qint64(-1);
}

void TestVCDevService::versionCode()
{
    QFETCH(QString, version);
    QFETCH(qint64, code);
    QCOMPARE(VCDevService::versionCode(version), code);
}

void TestVCDevService::versionCheck()
{
    const Answer answer = post(QStringLiteral("/api/player/version"),
                               {{QStringLiteral("version"), QStringLiteral("1.1.15")},
                                {QStringLiteral("versionCode"), 101150}});
    QCOMPARE(answer.status, 200);
    QCOMPARE(answer.contentType, QByteArray("application/json"));
    const QJsonObject json = answer.json();
    QCOMPARE(json.keys(),
             QStringList({QStringLiteral("newVersion"), QStringLiteral("newVersionCode"),
                          QStringLiteral("newVersionFilename")}));
    // By default the service offers the program's own build, which is not newer.
    QCOMPARE(json.value(QStringLiteral("newVersion")).toString(), QStringLiteral("1.1.15"));
    QCOMPARE(json.value(QStringLiteral("newVersionCode")).toInteger(), 101150);
    QVERIFY(!json.value(QStringLiteral("newVersionFilename")).toString().isEmpty());
}

void TestVCDevService::newBuildOffered()
{
    VCDevService::Options options;
    options.streamCount = 1;
    options.loopBars = 1;
    options.newBuildVersion = QStringLiteral("1.x");
    {
        VCDevService invalid(options);
        QString error;
        QVERIFY(!invalid.start(&error));
        QVERIFY(!error.isEmpty());
    }
    options.newBuildVersion = QStringLiteral("1.2.0");
    VCDevService service(options);
    QVERIFY(service.start());
    QNetworkRequest versionRequest(QUrl(service.baseUrl() + QStringLiteral("/api/player/version")));
    versionRequest.setHeader(QNetworkRequest::ContentTypeHeader,
                             QStringLiteral("application/json"));
    QNetworkReply *reply =
        m_nam.post(versionRequest, QByteArray("{\"version\":\"1.1.15\",\"versionCode\":101150}"));
    QSignalSpy finished(reply, &QNetworkReply::finished);
    QVERIFY(finished.wait(10000));
    const QJsonObject json = QJsonDocument::fromJson(reply->readAll()).object();
    reply->deleteLater();
    QCOMPARE(json.value(QStringLiteral("newVersion")).toString(), QStringLiteral("1.2.0"));
    QCOMPARE(json.value(QStringLiteral("newVersionCode")).toInteger(), 102000);
    const QString file = json.value(QStringLiteral("newVersionFilename")).toString();
    QVERIFY(
        service.status()[QStringLiteral("service")][QStringLiteral("newBuildOffered")].toBool());

    reply = m_nam.get(
        QNetworkRequest(QUrl(service.baseUrl() + QStringLiteral("/playerBuild/") + file)));
    QSignalSpy downloaded(reply, &QNetworkReply::finished);
    QVERIFY(downloaded.wait(10000));
    QCOMPARE(reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt(), 200);
    QVERIFY(reply->readAll().contains("1.2.0"));
    reply->deleteLater();
}

void TestVCDevService::login_data()
{
    QTest::addColumn<QString>("user");
    QTest::addColumn<QString>("pass");
    QTest::addColumn<int>("status");
    QTest::newRow("demo") << QStringLiteral("demo") << QStringLiteral("demo") << 200;
    QTest::newRow("wrong password") << QStringLiteral("demo") << QStringLiteral("demo2") << 403;
    QTest::newRow("wrong user") << QStringLiteral("Demo") << QStringLiteral("demo") << 403;
    QTest::newRow("empty") << QString() << QString() << 403;
}

void TestVCDevService::login()
{
    QFETCH(QString, user);
    QFETCH(QString, pass);
    QFETCH(int, status);

    const Answer answer = post(QStringLiteral("/api/player/state"),
                               {{QStringLiteral("user"), user},
                                {QStringLiteral("pass"), pass},
                                {QStringLiteral("version"), QStringLiteral("1.1.15")},
                                {QStringLiteral("versionCode"), 101150},
                                {QStringLiteral("updatePeriodMs"), 60000}});
    QCOMPARE(answer.status, status);
    if (status != 200)
        return;
    const QJsonObject json = answer.json();
    const QString sid = json.value(QStringLiteral("sid")).toString();
    QCOMPARE(sid.size(), 32);
    QCOMPARE(json.value(QStringLiteral("username")).toString(), QStringLiteral("demo"));
    QCOMPARE(json.value(QStringLiteral("userId")).toInt(), VCDevService::accountUserId);
    QVERIFY(!json.value(QStringLiteral("city")).toString().isEmpty());
    QVERIFY(!json.value(QStringLiteral("stationName")).toString().isEmpty());
    QCOMPARE(json.value(QStringLiteral("stationLogoFilename")).toString(),
             QLatin1String(VCDevService::logoFileName()));
    QCOMPARE(json.value(QStringLiteral("newVersionCode")).toInteger(), 101150);
    const QJsonArray streams = json.value(QStringLiteral("streams")).toArray();
    QCOMPARE(streams.size(), 2);
    for (int i = 0; i < streams.size(); ++i) {
        QCOMPARE(streams[i][QStringLiteral("streamUrl")].toString(),
                 m_service->baseUrl() + QStringLiteral("/stream/%1.mp3").arg(i + 1));
    }
    // Every login gets a session of its own.
    QVERIFY(logIn() != sid);
}

void TestVCDevService::logoAndPage()
{
    const Answer logo = request("GET", QStringLiteral("/stationFormat/") +
                                           QLatin1String(VCDevService::logoFileName()));
    QCOMPARE(logo.status, 200);
    QCOMPARE(logo.contentType, QByteArray("image/png"));
    const QImage image = QImage::fromData(logo.body, "PNG");
    QCOMPARE(image.size(), QSize(128, 128));
    QVERIFY(image.hasAlphaChannel());
    QCOMPARE(qAlpha(image.pixel(0, 0)), 0);     // outside the badge
    QCOMPARE(qAlpha(image.pixel(64, 30)), 255); // inside

    const Answer page = request("GET", QStringLiteral("/"));
    QCOMPARE(page.status, 200);
    QVERIFY(page.contentType.startsWith("text/html"));
    QVERIFY(page.body.contains("/status.json"));
    QVERIFY(page.body.contains("/control/stream/"));
}

void TestVCDevService::nowPlaying()
{
    // The description, the identifier and the status page agree, unless a title boundary fell
    // between the requests: then they are asked again.
    QJsonObject description;
    QString liveTitle;
    for (int attempt = 0; attempt < 3; ++attempt) {
        const QByteArray idBefore = request("GET", QStringLiteral("/nowplaying/2-id.json")).body;
        const Answer answer = request("GET", QStringLiteral("/nowplaying/2.json"));
        QCOMPARE(answer.status, 200);
        description = QJsonDocument::fromJson(answer.body).object();
        const QJsonObject status =
            QJsonDocument::fromJson(request("GET", QStringLiteral("/status.json")).body).object();
        liveTitle = status.value("streams").toArray().at(1).toObject().value("title").toString();
        const QByteArray idAfter = request("GET", QStringLiteral("/nowplaying/2-id.json")).body;
        if (idBefore == idAfter) {
            QCOMPARE(QJsonDocument::fromJson(idAfter).object().value("uniqueid"),
                     description.value("uniqueid"));
            break;
        }
    }
    QCOMPARE(description.value("artist").toString() + " - " + description.value("title").toString(),
             liveTitle);
    QCOMPARE(description.value("ddbId").toInt(), 2);

    const QString coverPath =
        QUrl("/nowplaying/2.json").resolved(QUrl(description.value("cover").toString())).path();
    const Answer cover = request("GET", coverPath);
    QCOMPARE(cover.status, 200);
    QCOMPARE(cover.contentType, QByteArray("image/png"));
    QCOMPARE(request("GET", QStringLiteral("/nowplaying/3.json")).status, 404);
    QCOMPARE(request("GET", QStringLiteral("/nowplaying/-id.json")).status, 404);
}

void TestVCDevService::refusedRequests_data()
{
    QTest::addColumn<QByteArray>("method");
    QTest::addColumn<QString>("path");
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<int>("status");
    QTest::newRow("state not json") << QByteArray("POST") << QStringLiteral("/api/player/state")
                                    << QByteArray("user=demo") << 400;
    QTest::newRow("state array") << QByteArray("POST") << QStringLiteral("/api/player/state")
                                 << QByteArray("[]") << 400;
    QTest::newRow("state by get") << QByteArray("GET") << QStringLiteral("/api/player/state")
                                  << QByteArray() << 405;
    QTest::newRow("unknown sid") << QByteArray("POST") << QStringLiteral("/api/player/state")
                                 << QByteArray("{\"sid\":\"0123\",\"sourcesInfo\":[]}") << 403;
    QTest::newRow("no sid") << QByteArray("POST") << QStringLiteral("/api/player/state")
                            << QByteArray("{\"sourcesInfo\":[]}") << 403;
    QTest::newRow("unknown path") << QByteArray("GET") << QStringLiteral("/api/player/nothing")
                                  << QByteArray() << 404;
    QTest::newRow("other logo") << QByteArray("GET") << QStringLiteral("/stationFormat/other.png")
                                << QByteArray() << 404;
    QTest::newRow("stream 3 of 2")
        << QByteArray("GET") << QStringLiteral("/stream/3.mp3") << QByteArray() << 404;
    QTest::newRow("stream by post")
        << QByteArray("POST") << QStringLiteral("/stream/1.mp3") << QByteArray() << 405;
    QTest::newRow("unknown switch")
        << QByteArray("POST") << QStringLiteral("/control/stream/1/loud") << QByteArray() << 404;
    QTest::newRow("switch of stream 9")
        << QByteArray("POST") << QStringLiteral("/control/stream/9/silent") << QByteArray() << 404;
}

void TestVCDevService::refusedRequests()
{
    QFETCH(QByteArray, method);
    QFETCH(QString, path);
    QFETCH(QByteArray, body);
    QFETCH(int, status);
    QCOMPARE(request(method, path, body).status, status);
}

void TestVCDevService::oversizedBody()
{
    // Refused from the head alone, before a byte of the body is sent.
    QTcpSocket socket;
    QByteArray received;
    connect(&socket, &QTcpSocket::readyRead, &socket, [&]() { received += socket.readAll(); });
    socket.connectToHost(QHostAddress::LocalHost, m_service->port());
    socket.write("POST /api/player/state HTTP/1.1\r\nHost: x\r\nContent-Length: 1048577\r\n\r\n");
    QTRY_VERIFY(socket.state() == QAbstractSocket::UnconnectedState);
    QVERIFY2(received.startsWith("HTTP/1.1 413 "), received.constData());
}

void TestVCDevService::stateReportStored()
{
    const QString sid = logIn();
    QVERIFY(!sid.isEmpty());
    const QJsonObject source{{QStringLiteral("streamUrl"), m_service->baseUrl() + "/stream/1.mp3"},
                             {QStringLiteral("isActive"), true},
                             {QStringLiteral("volumeLevel"), 0.8},
                             {QStringLiteral("activityDurationMs"), 1500},
                             {QStringLiteral("isRecordDevice"), false},
                             {QStringLiteral("isPlaying"), true},
                             {QStringLiteral("isStalled"), false},
                             {QStringLiteral("isConnected"), true},
                             {QStringLiteral("connectionDurationMs"), 1400},
                             {QStringLiteral("level"), 0.25},
                             {QStringLiteral("levelDb"), QJsonValue()},
                             {QStringLiteral("isSilentSound"), false},
                             {QStringLiteral("soundDurationMs"), 1300},
                             {QStringLiteral("isSilentSoundByLevel"), false},
                             {QStringLiteral("soundByLevelDurationMs"), 1200}};
    QSignalSpy reported(m_service.get(), &VCDevService::stateReported);
    const Answer answer = post(QStringLiteral("/api/player/state"),
                               {{QStringLiteral("sid"), sid},
                                {QStringLiteral("sourcesInfo"), QJsonArray{source}},
                                {QStringLiteral("version"), QStringLiteral("1.1.15")},
                                {QStringLiteral("versionCode"), 101150},
                                {QStringLiteral("updatePeriodMs"), 60000}});
    QCOMPARE(answer.status, 200);
    // A report is answered like a login, so it re-confirms a saved session.
    QCOMPARE(answer.json().value(QStringLiteral("sid")).toString(), sid);
    QCOMPARE(answer.json().value(QStringLiteral("userId")).toInt(), VCDevService::accountUserId);
    QCOMPARE(answer.json().value(QStringLiteral("streams")).toArray().size(), 2);
    QCOMPARE(reported.size(), 1);

    const Answer status = request("GET", QStringLiteral("/status.json"));
    QCOMPARE(status.status, 200);
    QVERIFY2(!status.body.contains(sid.toLatin1()), "the session id is a credential");
    const QJsonArray sessions = status.json().value(QStringLiteral("sessions")).toArray();
    const QJsonObject session = sessions.last().toObject();
    QCOMPARE(session.value(QStringLiteral("session")).toInt(), reported.first().first().toInt());
    QCOMPARE(session.value(QStringLiteral("active")).toBool(), true);
    QCOMPARE(session.value(QStringLiteral("reportCount")).toInt(), 1);
    const QJsonObject report = session.value(QStringLiteral("lastReport")).toObject();
    QVERIFY(!report.contains(QStringLiteral("sid")));
    QCOMPARE(report.value(QStringLiteral("sourcesInfo")).toArray(), QJsonArray{source});
    QCOMPARE(report.value(QStringLiteral("updatePeriodMs")).toInt(), 60000);

    // The next report replaces it.
    QCOMPARE(post(QStringLiteral("/api/player/state"),
                  {{QStringLiteral("sid"), sid}, {QStringLiteral("sourcesInfo"), QJsonArray()}})
                 .status,
             200);
    const QJsonObject latest =
        m_service->status()[QStringLiteral("sessions")].toArray().last().toObject();
    QCOMPARE(latest.value(QStringLiteral("reportCount")).toInt(), 2);
    QCOMPARE(latest[QStringLiteral("lastReport")][QStringLiteral("sourcesInfo")].toArray(),
             QJsonArray());
}

void TestVCDevService::forbiddenMode()
{
    const QString sid = logIn();
    QVERIFY(!sid.isEmpty());
    QCOMPARE(request("POST", QStringLiteral("/control/forbidden/on")).status, 200);
    QVERIFY(m_service->isForbidden());
    QCOMPARE(post(QStringLiteral("/api/player/state"),
                  {{QStringLiteral("user"), QStringLiteral("demo")},
                   {QStringLiteral("pass"), QStringLiteral("demo")}})
                 .status,
             403);
    QCOMPARE(post(QStringLiteral("/api/player/state"),
                  {{QStringLiteral("sid"), sid}, {QStringLiteral("sourcesInfo"), QJsonArray()}})
                 .status,
             403);
    QCOMPARE(request("POST", QStringLiteral("/control/forbidden/off")).status, 200);
    QCOMPARE(post(QStringLiteral("/api/player/state"),
                  {{QStringLiteral("sid"), sid}, {QStringLiteral("sourcesInfo"), QJsonArray()}})
                 .status,
             200);
}

void TestVCDevService::logoutEndsSession()
{
    const QString sid = logIn();
    QVERIFY(!sid.isEmpty());
    auto listener = listen(1, sid);
    QTRY_VERIFY(listener->bodySize() > 0);
    QCOMPARE(listener->status(), 200);

    const Answer answer =
        post(QStringLiteral("/api/player/logout"), {{QStringLiteral("sid"), sid}});
    QCOMPARE(answer.status, 200);
    QTRY_VERIFY(!listener->isConnected());
    QCOMPARE(post(QStringLiteral("/api/player/state"),
                  {{QStringLiteral("sid"), sid}, {QStringLiteral("sourcesInfo"), QJsonArray()}})
                 .status,
             403);
    auto again = listen(1, sid);
    QTRY_VERIFY(again->hasHead());
    QCOMPARE(again->status(), 401);
    QVERIFY(!m_service->status()[QStringLiteral("sessions")]
                 .toArray()
                 .last()[QStringLiteral("active")]
                 .toBool());
}

void TestVCDevService::streamCredentials_data()
{
    QTest::addColumn<QString>("user");
    QTest::addColumn<QString>("password");
    QTest::addColumn<bool>("withHeader");
    QTest::addColumn<int>("status");
    const QString userId = QString::number(VCDevService::accountUserId);
    QTest::newRow("none") << QString() << QString() << false << 401;
    QTest::newRow("user id and session id") << userId << QStringLiteral("SID") << true << 200;
    QTest::newRow("wrong user id")
        << QStringLiteral("4218") << QStringLiteral("SID") << true << 401;
    QTest::newRow("wrong session id") << userId << QStringLiteral("0123abcd") << true << 401;
    QTest::newRow("account password")
        << QStringLiteral("demo") << QStringLiteral("demo") << true << 401;
}

void TestVCDevService::streamCredentials()
{
    QFETCH(QString, user);
    QFETCH(QString, password);
    QFETCH(bool, withHeader);
    QFETCH(int, status);
    const QString sid = logIn();
    QVERIFY(!sid.isEmpty());
    if (password == QLatin1String("SID"))
        password = sid;
    StreamClient client(m_service->port(), "/stream/2.mp3",
                        withHeader ? basic(user, password) : QByteArray());
    QTRY_VERIFY(client.hasHead());
    QCOMPARE(client.status(), status);
    if (status == 401)
        QVERIFY(client.header("WWW-Authenticate").startsWith("Basic realm="));
    else
        QCOMPARE(client.header("Content-Type"), QByteArray("audio/mpeg"));
}

void TestVCDevService::streamWithIcyTitles()
{
    auto listener = listen(1, logIn(), true);
    QTRY_VERIFY(listener->hasHead());
    QCOMPARE(listener->status(), 200);
    QCOMPARE(listener->header("icy-metaint").toInt(), VCDevService::icyMetaInt);
    QCOMPARE(listener->header("icy-br"), QByteArray("128"));
    QVERIFY(!listener->header("icy-name").isEmpty());
    // Two metadata blocks: at 16000 bytes (about a second in) and at 32000 bytes.
    QTRY_VERIFY_WITH_TIMEOUT(listener->bodySize() > 2 * VCDevService::icyMetaInt + 100, 10000);

    QByteArray audio;
    QStringList titles;
    QVERIFY(splitIcy(listener->body(), VCDevService::icyMetaInt, &audio, &titles));
    QVERIFY(!titles.isEmpty()); // the first block always names the title
    const QJsonArray known =
        m_service->status()[QStringLiteral("streams")][0][QStringLiteral("titles")].toArray();
    for (const QString &title : std::as_const(titles))
        QVERIFY2(known.contains(title), qPrintable(title));

    // With the metadata taken out the audio decodes cleanly; without taking it out it would not.
    const Decoded decoded = decodeMp3(audio);
    QCOMPARE(decoded.errors, 0);
    QCOMPARE(decoded.sampleRate, 44100);
    QCOMPARE(decoded.channels, 2);
    QVERIFY(decoded.samples > 44100);
    QVERIFY2(decoded.rms > 0.02, qPrintable(QString::number(decoded.rms)));
}

void TestVCDevService::streamWithoutMetadata()
{
    auto listener = listen(2, logIn());
    QTRY_VERIFY(listener->hasHead());
    QVERIFY(listener->header("icy-metaint").isEmpty());
    QTRY_VERIFY_WITH_TIMEOUT(listener->bodySize() > VCDevService::icyMetaInt + 2000, 10000);
    // The body is pure MP3: it starts on a frame and decodes without errors past 16000 bytes.
    QCOMPARE(quint8(listener->body().at(0)), quint8(0xFF));
    const Decoded decoded = decodeMp3(listener->body());
    QCOMPARE(decoded.errors, 0);
    QVERIFY(decoded.rms > 0.02);
    QCOMPARE(m_service->listenerCount(2), 1);
}

void TestVCDevService::streamIsPaced()
{
    const QString sid = logIn();
    QElapsedTimer clock;
    clock.start();
    auto listener = listen(2, sid);
    // The sender is never ahead of its clock, which starts when the request arrives (after
    // ours): by any moment at most the burst (300 ms of audio) and 16000 bytes a second (128
    // kbit/s) have come, and a frame or two. A loaded machine only delays the bytes, so the
    // other bound is wide: two seconds of audio after the burst come within 3.5 s.
    constexpr qsizetype burstBytes = 16000 * 300 / 1000;
    qsizetype size = 0;
    double seconds = 0;
    const auto arrived = [&] {
        size = listener->bodySize();
        seconds = clock.nsecsElapsed() / 1e9;
        return size >= burstBytes + 2 * 16000;
    };
    QTRY_VERIFY_WITH_TIMEOUT(arrived(), 10000);
    const QString figures = QStringLiteral("%1 bytes in %2 s").arg(size).arg(seconds);
    QVERIFY2(size <= burstBytes + 16000 * 1.02 * seconds + 1000, qPrintable(figures));
    QVERIFY2(seconds < 3.5, qPrintable(figures));
}

void TestVCDevService::silentSwitch()
{
    auto listener = listen(1, logIn());
    QTRY_VERIFY(listener->bodySize() >= 8000);
    QCOMPARE(request("POST", QStringLiteral("/control/stream/1/silent")).status, 200);
    QCOMPARE(m_service->streamMode(1), VCDevStreamSender::Silent);
    const qsizetype switched = listener->bodySize();
    QTRY_VERIFY(listener->bodySize() >= switched + 16000);
    // What came after the switch is silence (the decoder resynchronises on the first frame).
    const Decoded before = decodeMp3(listener->body().left(switched));
    // Frames sent just before the switch may still have been on their way; skip a quarter second.
    const Decoded after = decodeMp3(listener->body().mid(switched + 4000));
    QVERIFY(before.rms > 0.02);
    QVERIFY(after.samples > 0);
    QVERIFY2(after.rms < 0.001, qPrintable(QString::number(after.rms)));

    QVERIFY(m_service->setStreamMode(1, VCDevStreamSender::Normal));
    const qsizetype resumed = listener->bodySize();
    QTRY_VERIFY(listener->bodySize() >= resumed + 16000);
    QVERIFY(decodeMp3(listener->body().mid(resumed + 4000)).rms > 0.02);
}

void TestVCDevService::stallSwitch()
{
    auto listener = listen(1, logIn());
    QTRY_VERIFY(listener->bodySize() >= 4000);
    QCOMPARE(request("POST", QStringLiteral("/control/stream/1/stall")).status, 200);
    // Bytes already on their way arrive; then nothing more comes.
    const auto sentBytes = [&] {
        return m_service->status()[QStringLiteral("streams")][0][QStringLiteral("listenerBytes")]
            .toInteger();
    };
    QTRY_COMPARE(qint64(listener->bodySize()), sentBytes());
    const qsizetype stalled = listener->bodySize();
    QTest::qWait(600);
    QCOMPARE(listener->bodySize(), stalled);
    QVERIFY(listener->isConnected());
    QCOMPARE(m_service->status()[QStringLiteral("streams")][0][QStringLiteral("mode")].toString(),
             QStringLiteral("stall"));

    QCOMPARE(request("POST", QStringLiteral("/control/stream/1/normal")).status, 200);
    QTRY_VERIFY(listener->bodySize() > stalled + 4000);
}

void TestVCDevService::dropSwitch()
{
    const QString sid = logIn();
    auto first = listen(2, sid);
    auto second = listen(2, sid, true);
    QTRY_VERIFY(first->bodySize() > 0 && second->bodySize() > 0);
    QCOMPARE(m_service->listenerCount(2), 2);
    QSignalSpy switched(m_service.get(), &VCDevService::streamModeChanged);
    QCOMPARE(request("POST", QStringLiteral("/control/stream/2/drop")).status, 200);
    QCOMPARE(switched.size(), 1);
    QTRY_VERIFY(!first->isConnected() && !second->isConnected());
    QTRY_COMPARE(m_service->listenerCount(2), 0);
    // While it is switched off, new listeners are turned away; stream 1 is not affected.
    auto refused = listen(2, sid);
    QTRY_VERIFY(refused->hasHead());
    QCOMPARE(refused->status(), 503);
    auto other = listen(1, sid);
    QTRY_VERIFY(other->bodySize() > 0);

    QVERIFY(m_service->setStreamMode(2, VCDevStreamSender::Normal));
    auto back = listen(2, sid);
    QTRY_VERIFY(back->bodySize() > 0);
    QCOMPARE(back->status(), 200);
}

void TestVCDevService::destroyedWhileStreaming()
{
    VCDevService::Options options;
    options.streamCount = 1;
    options.loopBars = 1;
    auto service = std::make_unique<VCDevService>(options);
    QVERIFY(service->start());
    QNetworkRequest loginRequest(QUrl(service->baseUrl() + QStringLiteral("/api/player/state")));
    loginRequest.setHeader(QNetworkRequest::ContentTypeHeader, QStringLiteral("application/json"));
    QNetworkReply *reply =
        m_nam.post(loginRequest, QByteArray("{\"user\":\"demo\",\"pass\":\"demo\"}"));
    QSignalSpy finished(reply, &QNetworkReply::finished);
    QVERIFY(finished.wait(10000));
    const QString sid =
        QJsonDocument::fromJson(reply->readAll()).object().value(QStringLiteral("sid")).toString();
    reply->deleteLater();
    StreamClient listener(service->port(), "/stream/1.mp3",
                          basic(QString::number(VCDevService::accountUserId), sid));
    QTRY_VERIFY(listener.bodySize() > 0);
    service.reset();
    QTRY_VERIFY(!listener.isConnected());
}

// The ad document is one the player library accepts; its addresses answer, the tracking calls
// are counted, and the nobanner switch answers that there is no ad.
void TestVCDevService::demoAd()
{
    const Answer document = request("GET", QStringLiteral("/ad/daast.xml"));
    QCOMPARE(document.status, 200);
    KLDaastParser ad;
    QVERIFY(ad.parse(document.body));
    const QString base = m_service->baseUrl();
    QVERIFY(ad.linearMediaUrl.startsWith(base));
    const Answer jingle = request("GET", QUrl(ad.linearMediaUrl).path());
    QCOMPARE(jingle.contentType, QByteArray("audio/mpeg"));
    QVERIFY(jingle.body.size() > 3 * 16000); // a few seconds at 128 kbit/s
    QCOMPARE(request("GET", QUrl(ad.companionImageUrl).path()).contentType,
             QByteArray("image/png"));
    QCOMPARE(request("GET", QUrl(ad.companionClickThroughUrl).path()).status, 200);
    QVERIFY(ad.linearTrackingUrls.contains(QStringLiteral("progress3")));

    for (const QString &url :
         {ad.impressionUrl, ad.linearTrackingUrls.value("start"),
          ad.linearTrackingUrls.value("progress0"), ad.linearTrackingUrls.value("progress1"),
          ad.companionClickTrackingUrl})
        QCOMPARE(request("GET", QUrl(url).path()).status, 204);
    QCOMPARE(request("GET", QStringLiteral("/ad/track/anything")).status, 404);
    const QJsonObject tracking = request("GET", QStringLiteral("/status.json"))
                                     .json()
                                     .value("service")
                                     .toObject()
                                     .value("ad")
                                     .toObject()
                                     .value("tracking")
                                     .toObject();
    QCOMPARE(tracking,
             (QJsonObject{{"impression", 1}, {"start", 1}, {"progress", 2}, {"click", 1}}));

    QCOMPARE(request("POST", QStringLiteral("/control/ad/nobanner/on")).status, 200);
    QVERIFY(ad.parse(request("GET", QStringLiteral("/ad/daast.xml")).body));
    QVERIFY(ad.noBanner);
}

void TestVCDevService::hlsStation()
{
    VCDevService::Options options;
    options.streamCount = 1;
    options.loopBars = 2;
    options.hls = true;
    VCDevService service(options);
    QString error;
    QVERIFY2(service.start(&error), qPrintable(error));
    auto get = [&](const QString &path, const QString &sid = QString()) {
        QNetworkRequest request(QUrl(service.baseUrl() + path));
        if (!sid.isEmpty())
            request.setRawHeader(
                "Authorization",
                basic(QString::number(VCDevService::accountUserId), sid).mid(15).trimmed());
        QNetworkReply *reply = m_nam.get(request);
        QSignalSpy finished(reply, &QNetworkReply::finished);
        if (!reply->isFinished())
            finished.wait(10000);
        reply->deleteLater();
        return std::make_pair(reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt(),
                              reply->readAll());
    };
    const QString master = QString::fromLatin1(VCDevService::hlsPath);
    QCOMPARE(get(master).first, 401);

    // The station is listed after the streams, and its playlists lead to its segments.
    const QJsonObject login{{"user", "demo"}, {"pass", "demo"}};
    QNetworkRequest loginRequest(QUrl(service.baseUrl() + "/api/player/state"));
    loginRequest.setHeader(QNetworkRequest::ContentTypeHeader, "application/json");
    QNetworkReply *reply = m_nam.post(loginRequest, QJsonDocument(login).toJson());
    QSignalSpy loggedIn(reply, &QNetworkReply::finished);
    QVERIFY(loggedIn.wait(10000));
    const QJsonObject answer = QJsonDocument::fromJson(reply->readAll()).object();
    reply->deleteLater();
    const QString sid = answer.value("sid").toString();
    const QJsonArray streams = answer.value("streams").toArray();
    QCOMPARE(streams.size(), 2);
    QCOMPARE(streams.at(1)["streamUrl"].toString(), service.baseUrl() + master);

    const auto [masterStatus, masterBody] = get(master, sid);
    QCOMPARE(masterStatus, 200);
    const KLPlaylistStreams variants =
        KLPlaylistFormat::hlsMasterStreams(masterBody, QUrl(service.baseUrl() + master));
    QList<uint> bitrates = variants.uniqueKeys();
    std::sort(bitrates.begin(), bitrates.end());
    QCOMPARE(bitrates, (QList<uint>{64000, 128000}));
    QHash<uint, qsizetype> bytes;
    int texts = 0;
    for (const uint bitrate : {64000u, 128000u}) {
        const QUrl playlistUrl = variants.value(bitrate);
        const auto [status, body] = get(playlistUrl.path(), sid);
        QCOMPARE(status, 200);
        const KLHlsMediaPlaylist playlist = KLHlsMediaPlaylist::parse(body, playlistUrl, bitrate);
        QCOMPARE(playlist.chunks.size(), VCDevHlsStation::windowSegments);
        KLHlsDemuxer demuxer;
        for (KLHlsChunk chunk : playlist.chunks) {
            QCOMPARE(chunk.duration, 2.011);
            const auto [segmentStatus, segment] = get(chunk.url.path(), sid);
            QCOMPARE(segmentStatus, 200);
            QCOMPARE(segment.size() % 188, 0);
            // Other readers know the metadata stream for what it is, and find the clock.
            QCOMPARE(probedCodecs(segment), QStringList({"mp3", "timed_id3"}));
            const double clockGapMs = largestClockGapMs(segment);
            QVERIFY2(clockGapMs > 0 && clockGapMs <= 100, qPrintable(QString::number(clockGapMs)));
            demuxer.demux(chunk, segment);
            bytes[bitrate] += segment.size();
            // Every third segment names what plays.
            QCOMPARE(chunk.metas.size(), chunk.sequence % 3 == 0 ? 1 : 0);
            for (const QString &text : std::as_const(chunk.metas)) {
                QVERIFY2(text.contains(QLatin1String("TITLE:")), qPrintable(text));
                ++texts;
            }
        }
    }
    QVERIFY(texts >= 2);
    // About 128 and 64 kbit/s of audio, with the transport stream's overhead.
    for (const uint bitrate : {64000u, 128000u}) {
        const double kbps = bytes[bitrate] * 8 / (5 * 2.011) / 1000;
        QVERIFY2(kbps > bitrate / 1000.0 && kbps < bitrate / 1000.0 * 1.25,
                 qPrintable(QString::number(kbps)));
    }

    // The switch that slows the higher variant.
    QNetworkReply *control =
        m_nam.post(QNetworkRequest(QUrl(service.baseUrl() + "/control/hls/slow/on")), QByteArray());
    QSignalSpy switched(control, &QNetworkReply::finished);
    QVERIFY(switched.wait(10000));
    control->deleteLater();
    QVERIFY(service.isHlsSlow());
    QVERIFY(service.status()["service"].toObject()["hls"].toObject()["slow"].toBool());
}

// A chained Ogg Vorbis stream as a radio server sends one: no bitrate named, the first link
// from its start, with the title of the song that plays in its comment header.
void TestVCDevService::oggStation()
{
    VCDevService::Options options;
    options.streamCount = 1;
    options.loopBars = 2;
    options.ogg = true;
    VCDevService service(options);
    QString error;
    QVERIFY2(service.start(&error), qPrintable(error));

    const QJsonObject login{{"user", "demo"}, {"pass", "demo"}};
    QNetworkRequest loginRequest(QUrl(service.baseUrl() + "/api/player/state"));
    loginRequest.setHeader(QNetworkRequest::ContentTypeHeader, "application/json");
    QNetworkReply *reply = m_nam.post(loginRequest, QJsonDocument(login).toJson());
    QSignalSpy loggedIn(reply, &QNetworkReply::finished);
    QVERIFY(loggedIn.wait(10000));
    const QJsonObject answer = QJsonDocument::fromJson(reply->readAll()).object();
    reply->deleteLater();
    const QString address = service.baseUrl() + QString::fromLatin1(VCDevOggStation::path);
    QCOMPARE(answer.value("streams").toArray().last()["streamUrl"].toString(), address);

    QNetworkRequest request{QUrl(address)};
    request.setRawHeader("Authorization", basic(QString::number(VCDevService::accountUserId),
                                                answer.value("sid").toString())
                                              .mid(15)
                                              .trimmed());
    // The song that plays now is sent from its start.
    const QString title =
        service.status()["service"].toObject()["ogg"].toObject()["title"].toString();
    QNetworkReply *stream = m_nam.get(request);
    QByteArray body;
    connect(stream, &QNetworkReply::readyRead, this, [&] { body += stream->readAll(); });
    QTRY_VERIFY_WITH_TIMEOUT(body.size() > 16000, 10000);
    QCOMPARE(stream->header(QNetworkRequest::ContentTypeHeader).toString(), "audio/ogg");
    QVERIFY(!stream->hasRawHeader("icy-br"));
    QVERIFY(body.startsWith("OggS"));
    QVERIFY2(body.contains("TITLE=" + title.section(QStringLiteral(" - "), 1).toUtf8()),
             qPrintable(title));
    stream->abort();
    stream->deleteLater();
}

QTEST_GUILESS_MAIN(TestVCDevService)
#include "tst_vcdevservice.moc"
