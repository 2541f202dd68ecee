// The HLS back-end against a loopback HLS station: playlist loading and its failures, segment
// download failures, and playing live, ended and packed-audio stations through the real engine
// on its "No sound" device; fragmented MP4 with a variant switch and AES-128 encrypted
// stations (and their failures); stopping inside a segment and playing again, segments that slide
// out of the window, and a segment that keeps failing.

#include "hlstestmedia.h"

#include <klbass.h>
#include <klhlschunkdownloader.h>
#include <klhlsplayback.h>
#include <klhlsplaylistupdater.h>
#include <klid3tag.h>
#include <klplayer.h>

#include <bass.h>

#include <QElapsedTimer>
#include <QLoggingCategory>
#include <QNetworkReply>
#include <QRegularExpression>
#include <QScopeGuard>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <memory>

using namespace HlsTestMedia;

namespace {

QStringList capturedWarnings;
QtMessageHandler previousHandler = nullptr;
void captureWarnings(QtMsgType type, const QMessageLogContext &context, const QString &message)
{
    if (type == QtWarningMsg)
        capturedWarnings << message;
    previousHandler(type, context, message);
}

// Collects the warnings until the returned guard goes.
auto collectWarnings()
{
    capturedWarnings.clear();
    previousHandler = qInstallMessageHandler(captureWarnings);
    return qScopeGuard([] { qInstallMessageHandler(previousHandler); });
}

// A player whose stream set a test may give it without resolving an address.
class StreamsPlayer : public KLPlayer
{
public:
    void give(const KLPlaylistStreams &streams) { setStreams(streams); }
};

} // namespace

class tst_KLHlsPlayback : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void updaterCountsFailedLoads();
    void downloaderReportsFailuresNoSooner_data();
    void downloaderReportsFailuresNoSooner();
    void playsLiveStation_data();
    void playsLiveStation();
    void variantSwitchRestartsAtDiscontinuity();
    void endedProgrammeEnds();
    void stopInChunkResumesAtItsStart();
    void chunksSlideOutOfTheWindow();
    void failingSegmentRetriedWhileListed_data();
    void failingSegmentRetriedWhileListed();
    void noSegmentsEndTheStream();
    void updaterWaitsForRedirectedLoad();
    void lookAheadIsBounded();
    void failedStreamCreationFreesItsGate();
    void discontinuityKeepsTextOfSectionEnd();
    void adaptiveBitrateStepsDownAndUp();
    void playsFragmentedMp4WithVariantSwitch();
    void playsEncryptedStation_data();
    void playsEncryptedStation();

private:
    QTemporaryDir m_dir;
    QList<QByteArray> m_ts64;
    QList<QByteArray> m_ts128;
    QList<QByteArray> m_adts;
    HlsProgramme m_fmp464;
    HlsProgramme m_fmp4128;
    HlsProgramme m_tsKeyIv;
    HlsProgramme m_tsKeySequence;
    const QByteArray m_key = QByteArray::fromHex("00112233445566778899aabbccddeeff");
    std::unique_ptr<LoopbackHttpServer> m_server;
    std::unique_ptr<HlsStation> m_station;
};

void tst_KLHlsPlayback::initTestCase()
{
    KLBass::outputDevice = 0; // "No sound"
    QVERIFY(m_dir.isValid());
    m_ts64 = makeSegments(m_dir.path(), QStringLiteral("mpegts"), 64, 6);
    m_ts128 = makeSegments(m_dir.path(), QStringLiteral("mpegts"), 128, 6);
    m_adts = makeSegments(m_dir.path(), QStringLiteral("adts"), 64, 6);
    QVERIFY(m_ts64.size() >= 5 && m_ts128.size() >= 5 && m_adts.size() >= 5);
    const QString fmp4 = QStringLiteral("fmp4");
    m_fmp464 = makeHlsProgramme(m_dir.path(), fmp4, 64, 6);
    m_fmp4128 = makeHlsProgramme(m_dir.path(), fmp4, 128, 6);
    const QString keyUri = QStringLiteral("/hls/key.bin");
    m_tsKeyIv = makeHlsProgramme(m_dir.path(), QStringLiteral("mpegts"), 64, 6, m_key, keyUri,
                                 QByteArray::fromHex("0f0e0d0c0b0a09080706050403020100"));
    // The muxer always names a vector: segment n encrypted with the vector n is made here.
    m_tsKeySequence.keyLine = "#EXT-X-KEY:METHOD=AES-128,URI=\"" + keyUri.toUtf8() + "\"";
    for (int n = 0; n < m_ts64.size(); ++n) {
        QByteArray iv(16, '\0');
        iv[15] = char(n);
        m_tsKeySequence.segments << aes128(m_ts64.at(n), m_key, iv);
        QVERIFY(m_tsKeySequence.segments.constLast().size() > m_ts64.at(n).size());
    }
    for (const HlsProgramme *programme : {&m_fmp464, &m_fmp4128, &m_tsKeyIv})
        QVERIFY(programme->segments.size() >= 5);
    QVERIFY(!m_fmp464.init.isEmpty() && m_tsKeyIv.keyLine.contains("IV=0x0f0e"));
}

void tst_KLHlsPlayback::init()
{
    m_server = std::make_unique<LoopbackHttpServer>(LoopbackHttpServer::OwnThread);
    QVERIFY(m_server->listen());
    m_station = std::make_unique<HlsStation>();
    m_station->install(*m_server);
}

void tst_KLHlsPlayback::cleanup()
{
    m_server.reset();
    m_station.reset();
    QCOMPARE(KLPlayer::playersCount(), 0);
}

void tst_KLHlsPlayback::updaterCountsFailedLoads()
{
    KLPlayer player;
    KLHlsPlaylistUpdater updater(&player);
    updater.setReloadIntervalMs(20);
    QSignalSpy updated(&updater, &KLHlsPlaylistUpdater::playlistUpdated);
    const QUrl url = m_server->url(QStringLiteral("/hls/64000/index.m3u8"));
    // Failed loads counted when each report came.
    QList<int> reportedAt;
    connect(&updater, &KLHlsPlaylistUpdater::playlistMaxReadErrorsCountReached, this,
            [&] { reportedAt << m_server->requestCount(url.path()); });
    // Each failure is a warning; there are many.
    QLoggingCategory::setFilterRules(QStringLiteral("ru.kelvane.player.warning=false"));
    auto restoreWarnings = qScopeGuard([] { QLoggingCategory::setFilterRules(QString()); });
    // The variant does not exist yet: loads fail, from the tenth on each one is reported.
    updater.changePlaylist(64000, url);
    QVERIFY(updater.isActive());
    QTRY_VERIFY(reportedAt.size() >= 2);
    // The load after a failure may reach the server before the failure reaches the updater.
    QVERIFY2(reportedAt.at(0) >= 10 && reportedAt.at(0) <= 11 &&
                 reportedAt.at(1) > reportedAt.at(0),
             qPrintable(QStringLiteral("%1 %2").arg(reportedAt.at(0)).arg(reportedAt.at(1))));
    // A load that works hands the segments over, and its period follows them.
    m_station->addVariant(64000, m_ts64, false);
    QTRY_COMPARE(updated.size(), 1);
    QVERIFY(updater.wasUpdated());
    const auto chunks = updated.first().first().value<QMap<quint32, KLHlsChunk>>();
    QCOMPARE(chunks.size(), 3);
    QCOMPARE(chunks.lastKey() - chunks.firstKey(), 2u);
    QCOMPARE(chunks.first().url,
             m_server->url(QStringLiteral("/hls/64000/%1.ts").arg(chunks.firstKey())));
    QCOMPARE(chunks.first().bitrate, 64000u);
    QCOMPARE(updater.reloadIntervalMs(), 1000);
    updater.resetPlaylist();
    QVERIFY(!updater.isActive());
    QVERIFY(!updater.wasUpdated());
}

void tst_KLHlsPlayback::downloaderReportsFailuresNoSooner_data()
{
    QTest::addColumn<int>("answerAfterMs");
    QTest::addColumn<int>("minMs");
    QTest::addColumn<int>("maxMs");
    // With the delay at 600 ms: an early failure waits for it, a late one comes at once.
    QTest::newRow("fails early") << 0 << 600 << 1100;
    QTest::newRow("fails late") << 900 << 800 << 1400; // the server's pause is a coarse timer
}

void tst_KLHlsPlayback::downloaderReportsFailuresNoSooner()
{
    QFETCH(int, answerAfterMs);
    QFETCH(int, minMs);
    QFETCH(int, maxMs);
    m_server->route(QStringLiteral("/gone.ts"), [answerAfterMs](LoopbackHttpExchange &exchange) {
        exchange.pause(answerAfterMs);
        exchange.respond(404);
    });
    KLPlayer player;
    KLHlsChunkDownloader downloader(&player);
    downloader.setErrorDelayMs(600);
    QSignalSpy failed(&downloader, &KLHlsChunkDownloader::downloadingError);
    QSignalSpy done(&downloader, &KLHlsChunkDownloader::downloadingDone);
    QTest::ignoreMessage(QtWarningMsg, QRegularExpression("Hls chunk downloader request"));
    QElapsedTimer clock;
    clock.start();
    const QUrl gone = m_server->url(QStringLiteral("/gone.ts"));
    downloader.download(gone);
    QVERIFY(failed.wait(5000));
    const qint64 elapsed = clock.elapsed();
    QVERIFY2(elapsed >= minMs && elapsed < maxMs, qPrintable(QString::number(elapsed)));
    QCOMPARE(failed.first().first().toUrl(), gone);
    QVERIFY(!downloader.isDownloading());

    // The next download works.
    m_station->addVariant(64000, m_ts64, false);
    downloader.download(m_server->url(QStringLiteral("/hls/64000/1.ts")));
    QVERIFY(done.wait(5000));
    QCOMPARE(done.first().at(1).toByteArray(), m_station->segment(64000, 1));
    QCOMPARE(failed.size(), 1);
}

void tst_KLHlsPlayback::playsLiveStation_data()
{
    QTest::addColumn<bool>("packed");
    QTest::newRow("transport stream, two variants") << false;
    QTest::newRow("packed AAC") << true;
}

void tst_KLHlsPlayback::playsLiveStation()
{
    QFETCH(bool, packed);
    if (packed) {
        m_station->addVariant(64000, m_adts, true);
    } else {
        m_station->addVariant(64000, m_ts64, false);
        m_station->addVariant(128000, m_ts128, false);
    }
    const uint bitrate = packed ? 64000 : 128000;

    KLPlayer player;
    player.setIsUpdatesLevel(true);
    auto *hls = player.findChild<KLHlsPlayback *>();
    QVERIFY(hls);
    // The engine's read position, sampled, and where it was when each text came.
    QElapsedTimer clock;
    clock.start();
    QList<std::pair<qint64, QWORD>> samples;
    QList<std::tuple<qint64, QWORD, QString>> texts;
    auto current = [&player] {
        const HSTREAM handle = player.stream();
        return handle ? BASS_StreamGetFilePosition(handle, BASS_FILEPOS_CURRENT) : QWORD(0);
    };
    QTimer poll;
    connect(&poll, &QTimer::timeout, this, [&] { samples.append({clock.elapsed(), current()}); });
    poll.start(20);
    connect(hls, &KLPlayback::metaUpdated, this, [&](const QString &text) {
        if (text.isEmpty())
            return;
        // Also a sample: a slow (sanitizer) run may starve the poll around this moment.
        const qint64 at = clock.elapsed();
        const QWORD position = current();
        samples.append({at, position});
        texts.append({at, position, text});
    });

    player.play(m_server->url(QStringLiteral("/hls/master.m3u8")));
    QTRY_COMPARE_WITH_TIMEOUT(player.state(), KLPlayerSource::PlayingState, 10000);
    QCOMPARE(player.currentBitrate(), bitrate);
    QTRY_VERIFY_WITH_TIMEOUT(!texts.isEmpty(), 10000);
    QCOMPARE(player.meta(), std::get<2>(texts.first()));
    // A sine of amplitude 0.5 has an RMS of 0.354, a little less after AAC coding.
    QTRY_VERIFY2(qAbs(player.level() - 0.345) < 0.03, qPrintable(QString::number(player.level())));

    // The text of segment n applies from the end of that segment in the stream, which began
    // with the first segment of the first playlist: not before, and within a second after.
    const auto [at, position, text] = texts.first();
    QVERIFY2(text.startsWith(QLatin1String("Title ")), qPrintable(text));
    const quint32 n = text.mid(6).toUInt();
    const qint64 first = m_station->firstSequence(bitrate);
    QVERIFY(first >= 0 && n >= first);
    QWORD end = 0;
    for (quint32 k = quint32(first); k <= n; ++k) {
        const QByteArray segment = m_station->segment(bitrate, k);
        end += QWORD(segment.size() - (packed ? KLId3Tag::tagLength(segment) : 0));
    }
    QVERIFY2(position >= end, qPrintable(QStringLiteral("%1 < %2").arg(position).arg(end)));
    const auto reached = std::find_if(samples.cbegin(), samples.cend(),
                                      [end](const auto &sample) { return sample.second >= end; });
    QVERIFY(reached != samples.cend());
    QVERIFY2(at - reached->first <= 1000, qPrintable(QString::number(at - reached->first)));

    // The window moves on and the stream follows it.
    const QString firstText = text;
    QTRY_VERIFY_WITH_TIMEOUT(player.meta() != firstText && !player.meta().isEmpty(), 10000);
    QCOMPARE(player.state(), KLPlayerSource::PlayingState);
    player.stop();
    QCOMPARE(player.meta(), QString());
}

void tst_KLHlsPlayback::variantSwitchRestartsAtDiscontinuity()
{
    m_station->addVariant(64000, m_ts64, false);
    m_station->addVariant(128000, m_ts128, false);
    KLPlayer player;
    player.setIsUpdatesLevel(true);
    auto *hls = player.findChild<KLHlsPlayback *>();
    player.play(m_server->url(QStringLiteral("/hls/master.m3u8")));
    QTRY_COMPARE_WITH_TIMEOUT(player.state(), KLPlayerSource::PlayingState, 10000);
    const HSTREAM before = player.stream();
    const int lowBefore = m_server->requestCount(QStringLiteral("/hls/64000/index.m3u8"));
    QCOMPARE(lowBefore, 0);

    // The controller asks for the lower variant: its playlist is followed, its first segment
    // starts a new section, so the stream ends there and a new one plays it.
    emit hls->restartRequired(64000);
    QTRY_VERIFY(m_server->requestCount(QStringLiteral("/hls/64000/index.m3u8")) > 0);
    QTRY_VERIFY_WITH_TIMEOUT(player.stream() != before && player.stream() != 0, 10000);
    QTRY_COMPARE_WITH_TIMEOUT(player.state(), KLPlayerSource::PlayingState, 10000);
    QTRY_VERIFY2(qAbs(player.level() - 0.345) < 0.03, qPrintable(QString::number(player.level())));
    bool lowSegmentRead = false;
    for (const LoopbackHttpRequest &request : m_server->requests())
        lowSegmentRead |= request.path.startsWith("/hls/64000/") && request.path.endsWith(".ts");
    QVERIFY(lowSegmentRead);
}

void tst_KLHlsPlayback::endedProgrammeEnds()
{
    m_station->addVariant(64000, m_ts64.mid(0, 3), false);
    m_station->setEnded(true);
    KLPlayer player;
    QSignalSpy ended(&player, &KLPlayer::ended);
    player.play(m_server->url(QStringLiteral("/hls/64000/index.m3u8")));
    QTRY_COMPARE_WITH_TIMEOUT(player.state(), KLPlayerSource::PlayingState, 10000);
    QElapsedTimer clock;
    clock.start();
    // Three seconds of programme (less what was decoded before it played), then the end.
    QVERIFY(ended.wait(10000));
    QVERIFY2(clock.elapsed() > 2000, qPrintable(QString::number(clock.elapsed())));
    QCOMPARE(player.state(), KLPlayerSource::StoppedState);
    for (const char *segment : {"/hls/64000/0.ts", "/hls/64000/1.ts", "/hls/64000/2.ts"})
        QCOMPARE(m_server->requestCount(QLatin1String(segment)), 1);
}

void tst_KLHlsPlayback::stopInChunkResumesAtItsStart()
{
    // A programme of two segments, 5 s and 4 s: the engine reads about 6.5 s ahead (its least
    // buffer of 64 KiB and its decoder's), so it is inside the second when playing begins.
    const auto seconds = [this](int from, int count) {
        QByteArray bytes;
        for (int i = from; i < from + count; ++i)
            bytes += m_ts128.at(i % m_ts128.size());
        return bytes;
    };
    const QByteArray first = seconds(0, 5);
    const QByteArray second = seconds(5, 4);
    m_station->addVariant(128000, {first, second}, false);
    m_station->setEnded(true);
    const uint netBuffer = KLBass::netBuffer();
    KLBass::setNetBuffer(1000);
    auto restore = qScopeGuard([netBuffer] { KLBass::setNetBuffer(netBuffer); });
    KLPlayer player;
    // Bytes the engine has taken from the back-end into the current stream.
    auto fetched = [&player] {
        const HSTREAM handle = player.stream();
        const QWORD bytes = handle ? BASS_StreamGetFilePosition(handle, BASS_FILEPOS_DOWNLOAD) : 0;
        return bytes == QWORD(-1) ? QWORD(0) : bytes;
    };
    const QUrl url = m_server->url(QStringLiteral("/hls/128000/index.m3u8"));
    player.play(url);
    QTRY_COMPARE_WITH_TIMEOUT(player.state(), KLPlayerSource::PlayingState, 10000);
    QTRY_VERIFY(fetched() > QWORD(first.size()));
    const QWORD stoppedAt = fetched();
    player.stop();
    QVERIFY2(stoppedAt < QWORD(first.size() + second.size()),
             qPrintable(QStringLiteral("the engine read all %1 bytes").arg(stoppedAt)));

    // Played again, the stream is the whole second segment, from its start.
    QWORD resumed = 0;
    QTimer poll;
    connect(&poll, &QTimer::timeout, this, [&] { resumed = qMax(resumed, fetched()); });
    poll.start(20);
    QSignalSpy ended(&player, &KLPlayer::ended);
    player.play(url);
    QVERIFY(ended.wait(10000));
    QCOMPARE(resumed, QWORD(second.size()));
    QCOMPARE(m_server->requestCount(QStringLiteral("/hls/128000/1.ts")), 1);
}

void tst_KLHlsPlayback::chunksSlideOutOfTheWindow()
{
    // Each segment holds 5 s of audio, so that the first alone lets the stream begin. The first
    // comes after 2.5 s, later ones take far too long; the window of three moves on every
    // second.
    QByteArray fiveSeconds;
    for (int i = 0; i < 5; ++i)
        fiveSeconds += m_ts64.at(i);
    m_station->addVariant(64000, {fiveSeconds}, false);
    m_station->setSegmentDelayMs(2500);
    KLPlayer player;
    player.play(m_server->url(QStringLiteral("/hls/64000/index.m3u8")));
    QTRY_VERIFY(!m_station->segmentRequests(64000).isEmpty());
    m_station->setSegmentDelayMs(20000);

    // Before the first read a segment on its way is kept, though the window has left it.
    QTRY_COMPARE_WITH_TIMEOUT(player.state(), KLPlayerSource::PlayingState, 8000);
    // Once reading has begun, segments that slide out are dropped and their downloads given
    // up: each later one is asked for while the one before would still be coming.
    QTRY_VERIFY_WITH_TIMEOUT(m_station->segmentRequests(64000).size() >= 4, 8000);
    const auto requests = m_station->segmentRequests(64000);
    for (qsizetype i = 1; i < requests.size(); ++i)
        QVERIFY2(requests.at(i).first > requests.at(i - 1).first,
                 qPrintable(QStringLiteral("segment %1 after %2")
                                .arg(requests.at(i).first)
                                .arg(requests.at(i - 1).first)));
}

void tst_KLHlsPlayback::failingSegmentRetriedWhileListed_data()
{
    QTest::addColumn<bool>("playingFirst");
    QTest::newRow("first segment, before reading began") << false;
    QTest::newRow("later segment, while playing") << true;
}

void tst_KLHlsPlayback::failingSegmentRetriedWhileListed()
{
    QFETCH(bool, playingFirst);
    const int retryMs = 300;
    m_station->window = 4;
    m_station->addVariant(64000, m_ts64, false);
    KLPlayer player;
    player.findChild<KLHlsPlayback *>()->downloader()->setErrorDelayMs(retryMs);
    // Every failure is a warning.
    QLoggingCategory::setFilterRules(QStringLiteral("ru.kelvane.player.warning=false"));
    auto restoreWarnings = qScopeGuard([] { QLoggingCategory::setFilterRules(QString()); });
    quint32 failing = 0;
    if (playingFirst) {
        player.play(m_server->url(QStringLiteral("/hls/64000/index.m3u8")));
        QTRY_COMPARE_WITH_TIMEOUT(player.state(), KLPlayerSource::PlayingState, 10000);
        failing = m_station->segmentRequests(64000).constLast().first + 2;
        m_station->failSegment(64000, failing);
    } else {
        // The first segment of the first window fails, and keeps failing. (Set up before: the
        // test waits in the nested event loop of the stream's creation until it gets data.)
        m_station->failSegment(64000, failing);
        player.play(m_server->url(QStringLiteral("/hls/64000/index.m3u8")));
        QTRY_VERIFY(!m_station->segmentRequests(64000).isEmpty());
        QCOMPARE(m_station->segmentRequests(64000).constFirst().first, failing);
    }

    // Once the playlist has left it behind, the ones after it play.
    const auto later = [&] {
        const auto requests = m_station->segmentRequests(64000);
        return std::any_of(requests.cbegin(), requests.cend(),
                           [failing](const auto &request) { return request.first > failing; });
    };
    QTRY_VERIFY_WITH_TIMEOUT(later(), 10000);
    QTRY_COMPARE_WITH_TIMEOUT(player.state(), KLPlayerSource::PlayingState, 10000);
    // Until then it was asked for again and again, no sooner than the interval apart, and
    // never after a later one.
    QList<qint64> attempts;
    qint64 laterAskedAt = -1;
    for (const auto &[segment, atMs] : m_station->segmentRequests(64000)) {
        if (segment > failing && laterAskedAt < 0)
            laterAskedAt = atMs;
        if (segment == failing) {
            QVERIFY2(laterAskedAt < 0, "asked for after a later segment");
            attempts << atMs;
        }
    }
    QVERIFY2(attempts.size() >= 2, qPrintable(QString::number(attempts.size())));
    // It leaves the window a few seconds after it entered (waits in a nested event loop do not
    // count towards the waits above).
    const qint64 givenUpAfterMs = laterAskedAt - attempts.constFirst();
    QVERIFY2(givenUpAfterMs < (m_station->window + 2) * 1000,
             qPrintable(QStringLiteral("%1 ms").arg(givenUpAfterMs)));
    for (qsizetype i = 1; i < attempts.size(); ++i) {
        // The server sees the requests a little after they were sent, some later than others.
        QVERIFY2(attempts.at(i) - attempts.at(i - 1) >= retryMs / 2,
                 qPrintable(QStringLiteral("%1 ms").arg(attempts.at(i) - attempts.at(i - 1))));
    }
}

void tst_KLHlsPlayback::noSegmentsEndTheStream()
{
    // The playlist loads (and reloads every second), its segments never come: the engine's
    // read gives up after the limit, however often the reloads wake it.
    m_station->addVariant(64000, m_ts64, false);
    m_station->setFailing(64000, true);
    KLPlayer player;
    player.findChild<KLHlsPlayback *>()->setNoDataTimeoutMs(1500);
    auto restore = collectWarnings();
    QElapsedTimer clock;
    clock.start();
    player.play(m_server->url(QStringLiteral("/hls/64000/index.m3u8")));
    QTRY_VERIFY_WITH_TIMEOUT(
        capturedWarnings.filter(QStringLiteral("chunks was empty for too long")).size() == 1,
        10000);
    QVERIFY2(clock.elapsed() >= 1500, qPrintable(QString::number(clock.elapsed())));
    QVERIFY(m_server->requestCount(QStringLiteral("/hls/64000/index.m3u8")) >= 2);
    QVERIFY(player.stream() == 0);
}

// A playlist address with credentials follows its redirects hop by hop; a tick while such a
// load runs waits for it, so that slow failing loads are counted and reported.
void tst_KLHlsPlayback::updaterWaitsForRedirectedLoad()
{
    m_server->route(QStringLiteral("/moved.m3u8"), [this](LoopbackHttpExchange &exchange) {
        exchange.redirect(302, m_server->url(QStringLiteral("/slow.m3u8")));
    });
    m_server->route(QStringLiteral("/slow.m3u8"), [](LoopbackHttpExchange &exchange) {
        exchange.pause(100);
        exchange.respond(503);
    });
    KLPlayer player;
    KLHlsPlaylistUpdater updater(&player);
    updater.setReloadIntervalMs(20);
    QSignalSpy reported(&updater, &KLHlsPlaylistUpdater::playlistMaxReadErrorsCountReached);
    QLoggingCategory::setFilterRules(QStringLiteral("ru.kelvane.player.warning=false"));
    auto restoreWarnings = qScopeGuard([] { QLoggingCategory::setFilterRules(QString()); });
    QUrl url = m_server->url(QStringLiteral("/moved.m3u8"));
    url.setUserInfo(QStringLiteral("listener:secret"));
    updater.changePlaylist(64000, url);
    QTRY_VERIFY_WITH_TIMEOUT(!reported.isEmpty(), 10000);
    // Each failure came from a load that ran to its end.
    QVERIFY2(m_server->requestCount(QStringLiteral("/slow.m3u8")) <= 12,
             qPrintable(QString::number(m_server->requestCount(QStringLiteral("/slow.m3u8")))));
}

// A finished programme is fetched a few segments ahead of the engine's read, not whole.
void tst_KLHlsPlayback::lookAheadIsBounded()
{
    QList<QByteArray> programme;
    for (int i = 0; i < 40; ++i)
        programme << m_ts64.at(i % m_ts64.size());
    m_station->addVariant(64000, programme, false);
    m_station->setEnded(true);
    const uint netBuffer = KLBass::netBuffer();
    KLBass::setNetBuffer(1000); // the engine's own read-ahead: its least, 64 KiB
    auto restore = qScopeGuard([netBuffer] { KLBass::setNetBuffer(netBuffer); });
    KLPlayer player;
    // Segments the engine has begun to read, from the bytes it took (metadata packets make a
    // served segment a little longer than what is read of it: this counts low).
    const auto begun = [&] {
        const HSTREAM handle = player.stream();
        const QWORD taken = handle ? BASS_StreamGetFilePosition(handle, BASS_FILEPOS_DOWNLOAD) : 0;
        if (taken == QWORD(-1))
            return 0;
        QWORD end = 0;
        int n = 0;
        while (n < programme.size() && end < taken)
            end += QWORD(m_station->segment(64000, quint32(n++)).size());
        return n;
    };
    qsizetype mostAhead = 0;
    QTimer poll;
    connect(&poll, &QTimer::timeout, this, [&] {
        mostAhead = std::max(mostAhead, m_station->segmentRequests(64000).size() - begun());
    });
    poll.start(20);
    player.play(m_server->url(QStringLiteral("/hls/64000/index.m3u8")));
    QTRY_COMPARE_WITH_TIMEOUT(player.state(), KLPlayerSource::PlayingState, 10000);
    QTRY_VERIFY_WITH_TIMEOUT(begun() >= 14, 20000);
    QVERIFY2(mostAhead <= KLHlsPlayback::KL_HLS_MAX_AHEAD_SEGMENTS + 2,
             qPrintable(QString::number(mostAhead)));
}

// A stream the engine refuses before it takes the read procedures leaves nothing behind (the
// player tries again every few seconds).
void tst_KLHlsPlayback::failedStreamCreationFreesItsGate()
{
    m_station->addVariant(64000, m_ts64, false);
    StreamsPlayer player; // never played: the engine's device is not open
    auto *hls = player.findChild<KLHlsPlayback *>();
    KLPlaylistStreams streams;
    streams.insert(64000, m_server->url(QStringLiteral("/hls/64000/index.m3u8")));
    player.give(streams);
    for (int attempt = 0; attempt < 3; ++attempt) {
        QCOMPARE(hls->start(), HSTREAM(0));
        QCOMPARE(BASS_ErrorGetCode(), BASS_ERROR_INIT);
        hls->stop();
    }
    QCOMPARE(hls->readGateHolders(), 1L);
}

// A section ends at a discontinuity; the text keyed at the end of its last segment is
// published when the next section starts, even if the metadata check never came round, and
// the stream that freed itself at its end is no cause for a warning.
void tst_KLHlsPlayback::discontinuityKeepsTextOfSectionEnd()
{
    m_station->addVariant(64000, m_ts64, false);
    // Segment 2 carries "Title 2" at its end; a new section follows it.
    m_server->serve(QStringLiteral("/disc.m3u8"), 200,
                    "#EXTM3U\n#EXT-X-TARGETDURATION:1\n#EXTINF:1.0,\n/hls/64000/1.ts\n"
                    "#EXTINF:1.0,\n/hls/64000/2.ts\n#EXT-X-DISCONTINUITY\n#EXTINF:1.0,\n"
                    "/hls/64000/3.ts\n#EXTINF:1.0,\n/hls/64000/4.ts\n#EXT-X-ENDLIST\n",
                    {{"Content-Type", "application/vnd.apple.mpegurl"}});
    KLPlayer player;
    auto *hls = player.findChild<KLHlsPlayback *>();
    hls->setMetaCheckMs(600000);
    QStringList texts;
    connect(hls, &KLPlayback::metaUpdated, this, [&](const QString &text) {
        if (!text.isEmpty())
            texts << text;
    });
    QSignalSpy ended(&player, &KLPlayer::ended);
    auto restore = collectWarnings();
    player.play(m_server->url(QStringLiteral("/disc.m3u8")));
    QVERIFY(ended.wait(15000));
    QCOMPARE(texts, QStringList{QStringLiteral("Title 2")});
    QCOMPARE(m_server->requestCount(QStringLiteral("/hls/64000/4.ts")), 1);
    QCOMPARE(capturedWarnings, QStringList());
}

// With the higher variant's segments slower than real time the bitrate steps down; once they
// come fast again it steps back up, and that variant's segments are fetched again.
void tst_KLHlsPlayback::adaptiveBitrateStepsDownAndUp()
{
    m_station->addVariant(64000, m_ts64, false);
    m_station->addVariant(128000, m_ts128, false);
    m_station->setSegmentDelayMs(128000, 1500);
    KLPlayer player;
    auto *hls = player.findChild<KLHlsPlayback *>();
    hls->setCoefIntervalMs(20);
    QList<uint> bitrates;
    connect(hls, &KLPlayback::currentBitrateChanged, this, [&](uint bitrate) {
        if (bitrate != 0 && (bitrates.isEmpty() || bitrates.constLast() != bitrate))
            bitrates << bitrate;
    });
    player.play(m_server->url(QStringLiteral("/hls/master.m3u8")));
    QTRY_VERIFY_WITH_TIMEOUT(bitrates.contains(64000u), 15000);
    QCOMPARE(bitrates.constFirst(), 128000u);
    QTRY_VERIFY_WITH_TIMEOUT(!m_station->segmentRequests(64000).isEmpty(), 10000);

    m_station->setSegmentDelayMs(128000, 0);
    const qsizetype highBefore = m_station->segmentRequests(128000).size();
    QTRY_VERIFY_WITH_TIMEOUT(bitrates.constLast() == 128000u && bitrates.size() >= 3, 15000);
    QTRY_VERIFY_WITH_TIMEOUT(m_station->segmentRequests(128000).size() > highBefore, 10000);
    QTRY_COMPARE_WITH_TIMEOUT(player.state(), KLPlayerSource::PlayingState, 10000);
    QCOMPARE(player.currentBitrate(), 128000u);
}

void tst_KLHlsPlayback::playsFragmentedMp4WithVariantSwitch()
{
    m_station->addVariant(64000, m_fmp464);
    m_station->addVariant(128000, m_fmp4128);
    KLPlayer player;
    player.setIsUpdatesLevel(true);
    auto *hls = player.findChild<KLHlsPlayback *>();
    player.play(m_server->url(QStringLiteral("/hls/master.m3u8")));
    QTRY_COMPARE_WITH_TIMEOUT(player.state(), KLPlayerSource::PlayingState, 10000);
    QCOMPARE(player.currentBitrate(), 128000u);
    QTRY_VERIFY2(qAbs(player.level() - 0.345) < 0.03, qPrintable(QString::number(player.level())));
    // The "emsg" ID3 tags come out as the transport stream's do.
    QTRY_VERIFY_WITH_TIMEOUT(player.meta().startsWith(QLatin1String("Title ")), 10000);

    const HSTREAM before = player.stream();
    emit hls->restartRequired(64000);
    QTRY_VERIFY_WITH_TIMEOUT(player.stream() != before && player.stream() != 0, 10000);
    QTRY_COMPARE_WITH_TIMEOUT(player.state(), KLPlayerSource::PlayingState, 10000);
    QTRY_VERIFY2(qAbs(player.level() - 0.345) < 0.03, qPrintable(QString::number(player.level())));
    bool lowSegmentRead = false;
    for (const LoopbackHttpRequest &request : m_server->requests())
        lowSegmentRead |= request.path.startsWith("/hls/64000/") && request.path.endsWith(".m4s");
    QVERIFY(lowSegmentRead);
    // Each variant's initialization segment was fetched once, however many segments followed.
    QCOMPARE(m_server->requestCount(QStringLiteral("/hls/128000/init.mp4")), 1);
    QCOMPARE(m_server->requestCount(QStringLiteral("/hls/64000/init.mp4")), 1);
}

void tst_KLHlsPlayback::playsEncryptedStation_data()
{
    QTest::addColumn<bool>("sequenceIv");
    QTest::addColumn<QByteArray>("method");
    QTest::addColumn<bool>("wrongKey");
    QTest::addColumn<QString>("failure");
    // The programme of vectors from the sequence number is played whole, so that segment n is
    // the one encrypted with the vector n.
    QTest::newRow("vector in the tag") << false << QByteArray() << false << "";
    QTest::newRow("vector from the sequence number") << true << QByteArray() << false << "";
    QTest::newRow("wrong key") << false << QByteArray() << true << "could not be decrypted";
    QTest::newRow("SAMPLE-AES") << false << QByteArray("SAMPLE-AES") << false
                                << "method SAMPLE-AES is not supported";
}

void tst_KLHlsPlayback::playsEncryptedStation()
{
    QFETCH(bool, sequenceIv);
    QFETCH(QByteArray, method);
    QFETCH(bool, wrongKey);
    QFETCH(QString, failure);
    HlsProgramme programme = sequenceIv ? m_tsKeySequence : m_tsKeyIv;
    if (!method.isEmpty())
        programme.keyLine.replace("METHOD=AES-128", "METHOD=" + method);
    m_station->addVariant(64000, programme);
    m_station->setEnded(sequenceIv);
    QByteArray key = m_key;
    if (wrongKey)
        key[3] = char(key.at(3) ^ 0x40);
    m_station->setKey(key);

    KLPlayer player;
    player.setIsUpdatesLevel(true);
    QSignalSpy errors(&player, &KLPlayer::error);
    bool played = false;
    connect(&player, &KLPlayerSource::stateChanged, this, [&played](KLPlayerSource::State state) {
        played |= state == KLPlayerSource::PlayingState;
    });
    player.play(m_server->url(QStringLiteral("/hls/64000/index.m3u8")));
    if (failure.isEmpty()) {
        QTRY_COMPARE_WITH_TIMEOUT(player.state(), KLPlayerSource::PlayingState, 10000);
        QTRY_VERIFY2(qAbs(player.level() - 0.345) < 0.03,
                     qPrintable(QString::number(player.level())));
        QCOMPARE(m_server->requestCount(QStringLiteral("/hls/key.bin")), 1);
        QCOMPARE(errors.size(), 0);
        return;
    }
    // A clean failure: the player's error, nothing played.
    QTRY_VERIFY_WITH_TIMEOUT(!errors.isEmpty(), 10000);
    const QString message = errors.first().first().toString();
    QVERIFY2(message.contains(failure), qPrintable(message));
    QVERIFY(!played);
}

QTEST_MAIN(tst_KLHlsPlayback)
#include "tst_klhlsplayback.moc"
