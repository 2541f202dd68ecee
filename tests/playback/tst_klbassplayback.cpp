#include "klbass.h"
#include "klbassplayback.h"
#include "klcallbackregistry.h"
#include "loopbackhttpserver.h"
#include "playbacktestplayer.h"

#include <QFile>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTest>
#include <QTimer>
#include <QUrlQuery>

#include <memory>

namespace {

constexpr int metaInterval = 4000;
constexpr int stallBurst = 20 * 16000;

// Audio bytes of a looped MP3 with ICY metadata blocks every metaInterval bytes: the first six
// blocks name "Song A" (1.5 s of audio, so that a busy machine's late event thread still sees it
// play before the next), the later ones "Song B".
class IcyFeed
{
public:
    IcyFeed(const QByteArray &audio, bool withMeta)
        : m_audio(audio)
        , m_withMeta(withMeta)
    {}

    QByteArray next(qsizetype audioBytes)
    {
        QByteArray out;
        while (audioBytes > 0) {
            if (m_withMeta && m_sinceMeta == metaInterval) {
                out += metaBlock(m_blocks++ < 6 ? "Song A" : "Song B");
                m_sinceMeta = 0;
            }
            const qsizetype at = m_position % m_audio.size();
            qsizetype take = std::min(audioBytes, m_audio.size() - at);
            if (m_withMeta)
                take = std::min<qsizetype>(take, metaInterval - m_sinceMeta);
            out += m_audio.mid(at, take);
            m_position += take;
            m_sinceMeta += take;
            audioBytes -= take;
        }
        return out;
    }

    static QByteArray metaBlock(const QByteArray &title)
    {
        QByteArray text = "StreamTitle='" + title + "';";
        const qsizetype blocks = (text.size() + 15) / 16;
        text.append(QByteArray(blocks * 16 - text.size(), '\0'));
        return char(blocks) + text;
    }

private:
    QByteArray m_audio;
    bool m_withMeta = false;
    qint64 m_position = 0;
    int m_sinceMeta = 0;
    int m_blocks = 0;
};

QByteArray readTone()
{
    QFile file(QStringLiteral(VC_TEST_TONE_MP3));
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

KLPlaylistStreams oneStream(uint bitrate, const QUrl &url)
{
    KLPlaylistStreams streams;
    streams.insert(bitrate, url);
    return streams;
}

class BassPlayback : public KLBassPlayback
{
public:
    using KLBassPlayback::KLBassPlayback;
    void evaluate() { updateBitrateCoef(); }
    QTimer *coefTimer() const { return findChild<QTimer *>(); }
};

} // namespace

class tst_KLBassPlayback : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void init();
    void cleanup();

    void pacedStreamWithHeadersAndMetadata();
    void localFileWhenTheUrlFails();
    void failureLogsWithoutCredentials();
    void emptyStreams();
    void verificationSizeAndOffset_data();
    void verificationSizeAndOffset();
    void stalledDownloadStepsCoefficientDown();
    void callbackOfAGoneBackendMissesItsSuccessor();

private:
    // Starts the back-end and hands the handle to the player, as the player does.
    HSTREAM startAndPlay(QWORD startPos = 0);

    QByteArray m_mp3;
    uint m_netBuffer = 0;
    std::unique_ptr<LoopbackHttpServer> m_server;
    std::unique_ptr<PlaybackTestPlayer> m_player;
    BassPlayback *m_playback = nullptr;
};

void tst_KLBassPlayback::initTestCase()
{
    m_mp3 = readTone();
    QVERIFY2(m_mp3.size() > 1200000, "the test tone is missing");
    // The "No sound" device: real time, no output.
    QVERIFY(BASS_Init(0, 44100, 0, nullptr, nullptr));
    m_netBuffer = KLBass::netBuffer();
}

void tst_KLBassPlayback::cleanupTestCase()
{
    BASS_Free();
}

void tst_KLBassPlayback::init()
{
    // Handlers run on the server's own thread: the engine connects while the test thread
    // waits in stream creation.
    m_server = std::make_unique<LoopbackHttpServer>(LoopbackHttpServer::OwnThread);
    QVERIFY(m_server->listen());
    const QByteArray audio = m_mp3;

    // Endless paced stream: a 4 s burst, then 128 kbit/s in 50 ms pieces.
    m_server->route(QStringLiteral("/live.mp3"), [audio](LoopbackHttpExchange &ex) {
        const bool withMeta = ex.request().header("Icy-MetaData") == "1";
        auto feed = std::make_shared<IcyFeed>(audio, withMeta);
        LoopbackHttpHeaders headers{{"Content-Type", "audio/mpeg"}, {"icy-br", "128"}};
        if (withMeta)
            headers.append({"icy-metaint", QByteArray::number(metaInterval)});
        ex.writeHead(200, headers);
        ex.write(feed->next(4 * 16000));
        ex.stream([feed](qint64) { return feed->next(800); }, 50);
    });

    // 6 s of audio, then nothing for a long time.
    m_server->route(QStringLiteral("/stall.mp3"), [audio](LoopbackHttpExchange &ex) {
        ex.writeHead(200, {{"Content-Type", "audio/mpeg"}});
        ex.write(audio.left(stallBurst));
        ex.pause(30000);
        ex.close();
    });

    // The file, from the requested byte on.
    m_server->route(QStringLiteral("/file.mp3"), [audio](LoopbackHttpExchange &ex) {
        static const QRegularExpression rangeRe(QStringLiteral("^bytes=(\\d+)-$"));
        const auto match = rangeRe.match(QString::fromLatin1(ex.request().header("Range")));
        const qsizetype from = match.hasMatch() ? match.captured(1).toLongLong() : 0;
        if (!match.hasMatch()) {
            ex.respond(200, audio, {{"Content-Type", "audio/mpeg"}});
            return;
        }
        const QByteArray range = QStringLiteral("bytes %1-%2/%3")
                                     .arg(from)
                                     .arg(audio.size() - 1)
                                     .arg(audio.size())
                                     .toLatin1();
        ex.respond(206, audio.mid(from),
                   {{"Content-Type", "audio/mpeg"}, {"Content-Range", range}});
    });

    m_player = std::make_unique<PlaybackTestPlayer>();
    m_player->manager = new KLNetworkAccessManager(m_player.get());
    m_playback = new BassPlayback(m_player.get());
}

void tst_KLBassPlayback::cleanup()
{
    if (const HSTREAM handle = m_player->handle.exchange(0))
        BASS_StreamFree(handle);
    m_playback->stop();
    m_player.reset();
    m_server.reset();
    KLBass::setNetPrebufWait(true);
    KLBass::setNetBuffer(m_netBuffer);
}

HSTREAM tst_KLBassPlayback::startAndPlay(QWORD startPos)
{
    const HSTREAM handle = m_playback->start(startPos);
    if (handle) {
        m_player->handle = handle;
        BASS_ChannelPlay(handle, FALSE);
    }
    return handle;
}

void tst_KLBassPlayback::pacedStreamWithHeadersAndMetadata()
{
    KLNetworkAccessManager *nam = m_player->manager;
    nam->setReferer(QStringLiteral("https://station.example/player"));
    nam->setQuorviaUserId(QStringLiteral("u42"));
    nam->setQuorviaUtmMark(QStringLiteral("utm7"));
    QUrl url = m_server->url(QStringLiteral("/live.mp3?hssuid=old&station=9"));
    url.setUserName(QStringLiteral("listener"));
    url.setPassword(QStringLiteral("s3cret"));
    m_player->setStreams(oneStream(128000, url));

    QSignalSpy meta(m_playback, &KLPlayback::metaUpdated);
    QSignalSpy bitrate(m_playback, &KLPlayback::currentBitrateChanged);
    QSignalSpy restart(m_playback, &KLPlayback::restartRequired);
    QSignalSpy coef(m_playback, &KLPlayback::bitrateCoefChanged);

    const HSTREAM handle = startAndPlay();
    QVERIFY2(handle, qPrintable(KLBass::errorMessage()));
    QCOMPARE(m_playback->currentBitrate(), 128000u);
    QCOMPARE(bitrate.size(), 1);
    QVERIFY(m_playback->coefTimer()->isActive());
    // The tag as it stood when the stream was created.
    QCOMPARE(meta.size(), 1);

    // The request carried the header lines and the statistics items.
    const QList<LoopbackHttpRequest> requests = m_server->requests(QStringLiteral("/live.mp3"));
    QCOMPARE(requests.size(), 1);
    const LoopbackHttpRequest &request = requests.first();
    QCOMPARE(request.header("User-Agent"), nam->userAgent().toUtf8());
    QCOMPARE(request.header("Referer"), QByteArray("https://station.example/player"));
    QCOMPARE(request.header("Authorization"), "Basic " + QByteArray("listener:s3cret").toBase64());
    QCOMPARE(request.query.queryItems(),
             (QList<std::pair<QString, QString>>{
                 {"station", "9"}, {"hssuid", "u42"}, {"radioquorvia", "utm7"}}));

    // Titles arrive as they are played, on this thread.
    QStringList titles;
    const auto seen = [&meta, &titles]() {
        titles.clear();
        for (const QList<QVariant> &args : meta)
            titles << args.at(0).toString();
        return titles.contains(QStringLiteral("StreamTitle='Song B';"));
    };
    QTRY_VERIFY_WITH_TIMEOUT(seen(), 5000);
    QVERIFY2(titles.indexOf(QStringLiteral("StreamTitle='Song A';")) > 0,
             qPrintable(titles.join('|')));
    QVERIFY2(titles.indexOf(QStringLiteral("StreamTitle='Song B';")) >
                 titles.indexOf(QStringLiteral("StreamTitle='Song A';")),
             qPrintable(titles.join('|')));

    // Steady download: the coefficient stays at 1 (the timer is driven by hand here).
    m_playback->coefTimer()->stop();
    for (int i = 0; i < 25; ++i) {
        QTest::qWait(40);
        m_playback->evaluate();
    }
    QCOMPARE(m_playback->bitrateCoef(), 1.0);
    QCOMPARE(coef.size(), 0);
    QCOMPARE(restart.size(), 0);

    meta.clear();
    m_playback->stop();
    QCOMPARE(meta.size(), 1);
    QCOMPARE(meta.first().at(0).toString(), QString());
    QCOMPARE(bitrate.size(), 2);
    QCOMPARE(bitrate.last().at(0).toUInt(), 0u);
}

void tst_KLBassPlayback::localFileWhenTheUrlFails()
{
    m_player->setStreams(oneStream(128000, QUrl::fromLocalFile(QStringLiteral(VC_TEST_TONE_MP3))));
    const HSTREAM handle = startAndPlay();
    QVERIFY2(handle, qPrintable(KLBass::errorMessage()));
    // A file: its length is known.
    const double seconds =
        BASS_ChannelBytes2Seconds(handle, BASS_ChannelGetLength(handle, BASS_POS_BYTE));
    QVERIFY2(qAbs(seconds - 80) < 0.5, qPrintable(QString::number(seconds)));
    QCOMPARE(KLBass::verifyNetSize(), KLBassPlayback::KL_VERIFY_NET_SIZE);
    QCOMPARE(m_server->requests().size(), 0);
}

void tst_KLBassPlayback::failureLogsWithoutCredentials()
{
    QTcpServer probe;
    QVERIFY(probe.listen(QHostAddress::LocalHost));
    QUrl url(QStringLiteral("http://127.0.0.1/nothing.mp3"));
    url.setPort(probe.serverPort());
    probe.close();
    url.setUserName(QStringLiteral("listener"));
    url.setPassword(QStringLiteral("s3cret"));
    m_player->setStreams(oneStream(64000, url));

    QTest::ignoreMessage(
        QtDebugMsg,
        QRegularExpression(
            QStringLiteral(
                "^\"KLPlayer #3\" Bass playback: Can not create url \\( \"BASS_ERROR_\\w+ - .*\" "
                "\\) and file stream \\( \"BASS_ERROR_\\w+ - .*\" \\) Url: "
                "\"http://127.0.0.1:%1/nothing.mp3\"$")
                .arg(url.port())));
    QCOMPARE(m_playback->start(), HSTREAM(0));
    QCOMPARE(m_playback->currentBitrate(), 64000u);
}

void tst_KLBassPlayback::emptyStreams()
{
    QSignalSpy meta(m_playback, &KLPlayback::metaUpdated);
    QCOMPARE(m_playback->start(), HSTREAM(0));
    // No stream, but the evaluations run until stop().
    QVERIFY(m_playback->coefTimer()->isActive());
    QCOMPARE(meta.size(), 0);
    m_playback->stop();
    QVERIFY(!m_playback->coefTimer()->isActive());

    // Without a network manager nothing starts at all.
    m_player->setStreams(oneStream(64000, m_server->url(QStringLiteral("/live.mp3"))));
    delete m_player->manager;
    QCOMPARE(m_playback->start(), HSTREAM(0));
    QVERIFY(!m_playback->coefTimer()->isActive());
    QCOMPARE(m_server->requests().size(), 0);
}

void tst_KLBassPlayback::verificationSizeAndOffset_data()
{
    QTest::addColumn<qulonglong>("startPos");
    QTest::addColumn<uint>("verifySize");
    QTest::addColumn<QByteArray>("range");
    QTest::newRow("from the start") << 0ull << 4096u << QByteArray();
    QTest::newRow("from 1000000") << 1000000ull << 98304u << QByteArray("bytes=1000000-");
}

void tst_KLBassPlayback::verificationSizeAndOffset()
{
    QFETCH(qulonglong, startPos);
    QFETCH(uint, verifySize);
    QFETCH(QByteArray, range);

    KLBass::setVerifyNetSize(1);
    m_player->setStreams(oneStream(128000, m_server->url(QStringLiteral("/file.mp3"))));
    const HSTREAM handle = startAndPlay(startPos);
    QVERIFY2(handle, qPrintable(KLBass::errorMessage()));
    QCOMPARE(KLBass::verifyNetSize(), verifySize);
    const QList<LoopbackHttpRequest> requests = m_server->requests(QStringLiteral("/file.mp3"));
    QCOMPARE(requests.size(), 1);
    QCOMPARE(requests.first().header("Range"), range);
}

void tst_KLBassPlayback::stalledDownloadStepsCoefficientDown()
{
    // Eight bitrates on one address: every 0.125 of coefficient maps to the next lower one.
    const QUrl url = m_server->url(QStringLiteral("/stall.mp3"));
    KLPlaylistStreams streams;
    for (uint kbits : {16, 24, 32, 48, 64, 96, 128, 192})
        streams.insert(kbits * 1000, url);
    m_player->setStreams(streams);
    // The stall comes before the prebuffer is full: do not wait for it. The whole burst fits
    // into the buffer, so the download ends with it.
    KLBass::setNetPrebufWait(false);
    KLBass::setNetBuffer(20000);

    const HSTREAM handle = startAndPlay();
    QVERIFY2(handle, qPrintable(KLBass::errorMessage()));
    QCOMPARE(m_playback->currentBitrate(), 192000u);
    m_playback->coefTimer()->stop();
    QTRY_COMPARE(BASS_StreamGetFilePosition(handle, BASS_FILEPOS_DOWNLOAD), QWORD(stallBurst));

    // A full window of samples taken while nothing arrives.
    for (int i = 0; i < 21; ++i) {
        QTest::qWait(2);
        m_playback->evaluate();
    }
    QVERIFY(m_playback->bitrateCoef() < 1.0);
    QCOMPARE(m_playback->currentBitrate(), 192000u);

    // From now on every evaluation steps down by 0.01; when the mapped bitrate changes (below
    // 0.875), the back-end asks for a restart, once.
    QSignalSpy coef(m_playback, &KLPlayback::bitrateCoefChanged);
    QSignalSpy restart(m_playback, &KLPlayback::restartRequired);
    double previous = m_playback->bitrateCoef();
    while (m_playback->bitrateCoef() > 0.8) {
        QTest::qWait(2);
        m_playback->evaluate();
        QVERIFY(qAbs(previous - 0.01 - m_playback->bitrateCoef()) < 1e-9);
        previous = m_playback->bitrateCoef();
        QCOMPARE(restart.size(), m_playback->bitrateCoef() < 0.875 ? 1 : 0);
    }
    QCOMPARE(restart.first().at(0).toUInt(), 128000u);
    QCOMPARE(m_playback->currentBitrate(), 128000u);
    QCOMPARE(coef.last().at(0).toDouble(), m_playback->bitrateCoef());
}

void tst_KLBassPlayback::callbackOfAGoneBackendMissesItsSuccessor()
{
    // Two back-ends at one address, one after the other, as the allocator may hand them out.
    KLCallbackRegistry registry;
    int storage = 0;
    void *gone = KLCallbackRegistry::userData(registry.add(&storage));
    registry.remove(KLCallbackRegistry::serialOf(gone));
    void *living = KLCallbackRegistry::userData(registry.add(&storage));
    int calls = 0;
    const auto count = [&](int *) { ++calls; };
    QVERIFY(!registry.with<int>(gone, count));
    QVERIFY(registry.with<int>(living, count));
    QCOMPARE(calls, 1);
}

QTEST_MAIN(tst_KLBassPlayback)
#include "tst_klbassplayback.moc"
