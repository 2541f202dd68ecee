// Ad playback through the real engine on its "No sound" device, against a loopback server that
// serves the ad document, the ad's audio, a stream and the tracking addresses.

#include "playertestmedia.h"

#include <klbass.h>
#include <kldaast.h>
#include <kldaastplayer.h>
#include <klplayer.h>

#include <bass.h>

#include <QNetworkReply>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <algorithm>
#include <atomic>
#include <memory>

using State = KLPlayerSource::State;

namespace {

const QString userId = QStringLiteral("listener-7");

// An ad document whose audio is mediaUrl and whose tracking addresses lie under base + "/t/".
QByteArray adDocument(const QString &base, const QString &mediaUrl)
{
    QByteArray document = R"(<DAAST version="1.0"><Ad id="a1"><InLine>
  <AdSystem>Loopback</AdSystem><AdTitle>Jingle of the day</AdTitle>
  <Impression>BASE/t/impression?sdkuiid=stale</Impression><Error>BASE/t/error</Error>
  <Creatives>
    <Creative><Linear><Duration>00:00:02</Duration>
      <MediaFiles><MediaFile type="audio/mpeg">MEDIA</MediaFile></MediaFiles>
      <TrackingEvents>
        <Tracking event="start">BASE/t/start</Tracking>
        <Tracking event="firstQuartile">BASE/t/firstQuartile</Tracking>
        <Tracking event="midpoint">BASE/t/midpoint</Tracking>
        <Tracking event="thirdQuartile">BASE/t/thirdQuartile</Tracking>
        <Tracking event="progress0">BASE/t/progress0</Tracking>
        <Tracking event="progress1">BASE/t/progress1</Tracking>
        <Tracking event="complete">BASE/t/complete</Tracking>
        <Tracking event="click">BASE/t/linear-click</Tracking>
      </TrackingEvents></Linear></Creative>
    <Creative><CompanionAds><Companion>
      <StaticResource creativeType="image/png">BASE/banner.png</StaticResource>
      <CompanionClickThrough>BASE/shop</CompanionClickThrough>
      <CompanionClickTracking>BASE/t/click</CompanionClickTracking>
      <TrackingEvents><Tracking event="start">BASE/t/creativeView</Tracking></TrackingEvents>
    </Companion></CompanionAds></Creative>
  </Creatives></InLine></Ad></DAAST>)";
    return document.replace("MEDIA", mediaUrl.toUtf8()).replace("BASE", base.toUtf8());
}

// A VAST wrapper n pointing to next, with its own impression, error and start addresses under
// base + "/t/".
QByteArray wrapperDocument(const QString &base, int n, const QString &next)
{
    QByteArray document = R"(<VAST version="4.0"><Ad id="wN"><Wrapper><AdSystem>Net</AdSystem>
  <VASTAdTagURI><![CDATA[NEXT]]></VASTAdTagURI>
  <Impression>BASE/t/wN-imp</Impression><Error>BASE/t/wN-err</Error>
  <Creatives><Creative><Linear><TrackingEvents>
    <Tracking event="start">BASE/t/wN-start</Tracking>
  </TrackingEvents></Linear></Creative></Creatives></Wrapper></Ad></VAST>)";
    return document.replace("NEXT", next.toUtf8())
        .replace("BASE", base.toUtf8())
        .replace("wN", "w" + QByteArray::number(n));
}

// A WAV file of silence: mono, 16 bit, at rate, announcing `seconds` of audio.
QByteArray wavFile(int seconds, int rate = 8000)
{
    const quint32 dataBytes = quint32(seconds) * quint32(rate) * 2;
    QByteArray wav;
    const auto u32 = [&](quint32 v) { wav.append(reinterpret_cast<const char *>(&v), 4); };
    const auto u16 = [&](quint16 v) { wav.append(reinterpret_cast<const char *>(&v), 2); };
    wav.append("RIFF");
    u32(36 + dataBytes);
    wav.append("WAVEfmt ");
    u32(16);
    u16(1);
    u16(1);
    u32(quint32(rate));
    u32(quint32(rate) * 2);
    u16(2);
    u16(16);
    wav.append("data");
    u32(dataBytes);
    wav.append(QByteArray(qsizetype(dataBytes), '\0'));
    return wav;
}

float volumeOf(HSTREAM handle)
{
    float value = -1;
    BASS_ChannelGetAttribute(handle, BASS_ATTRIB_VOL, &value);
    return value;
}

// Tracking requests in order of arrival, by their path under /t/.
QStringList trackingHits(const LoopbackHttpServer &server)
{
    QStringList hits;
    for (const LoopbackHttpRequest &request : server.requests()) {
        if (request.path.startsWith(QLatin1String("/t/")))
            hits << request.path.mid(3);
    }
    return hits;
}

} // namespace

class tst_KLDaast : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void adBeforeStream();
    void outcomes_data();
    void outcomes();
    void progressEvents_data();
    void progressEvents();
    void stopResumesAndVolume();
    void holdWhileRequested_data();
    void holdWhileRequested();
    void managerGone();
    void trackingReplies_data();
    void trackingReplies();
    void wrapperChain_data();
    void wrapperChain();

private:
    QUrl url(const QString &path) const { return m_server->url(path); }
    std::unique_ptr<KLDaastPlayer> adPlayer(const QString &adPath);

    QTemporaryDir m_dir;
    QByteArray m_jingle;
    QByteArray m_stream;
    std::unique_ptr<LoopbackHttpServer> m_server;
    KLNetworkAccessManager *m_nam = nullptr;
};

void tst_KLDaast::initTestCase()
{
    KLBass::outputDevice = 0; // "No sound"
    QVERIFY(m_dir.isValid());
    const QString jingle = m_dir.filePath(QStringLiteral("jingle.mp3"));
    const QString stream = m_dir.filePath(QStringLiteral("stream.mp3"));
    QVERIFY(PlayerTestMedia::makeMp3s({{jingle, 2, 0.5, 128, 880}, {stream, 10, 0.5}}));
    m_jingle = PlayerTestMedia::readFile(jingle);
    m_stream = PlayerTestMedia::readFile(stream);
}

void tst_KLDaast::init()
{
    m_server = std::make_unique<LoopbackHttpServer>(LoopbackHttpServer::OwnThread);
    QVERIFY(m_server->listen());
    const QString base = url(QString()).toString();
    m_server->serve(QStringLiteral("/ad.xml"), 200,
                    adDocument(base, base + QStringLiteral("/jingle.mp3")),
                    {{"Content-Type", "application/xml"}});
    PlayerTestMedia::serveFile(*m_server, QStringLiteral("/jingle.mp3"), m_jingle, m_jingle.size(),
                               0);
    PlayerTestMedia::serveLiveStream(*m_server, QStringLiteral("/live"), m_stream, 4);
    m_server->setFallback([](LoopbackHttpExchange &exchange) {
        exchange.respond(exchange.request().path.startsWith(QLatin1String("/t/")) ? 204 : 404);
    });
}

void tst_KLDaast::cleanup()
{
    m_server.reset();
}

std::unique_ptr<KLDaastPlayer> tst_KLDaast::adPlayer(const QString &adPath)
{
    auto player = std::make_unique<KLDaastPlayer>();
    player->player()->nam()->setQuorviaUserId(userId);
    player->setDaastUrl(adPath.isEmpty() ? QString() : url(adPath).toString());
    player->setVolume(0.8);
    return player;
}

// The ad sounds first with the stream muted; the tracking addresses are called in the order of
// the ad's events, each once; then the stream plays at its own volume.
void tst_KLDaast::adBeforeStream()
{
    auto player = adPlayer(QStringLiteral("/ad.xml"));
    QSignalSpy started(player.get(), &KLDaastPlayer::daastStarted);
    QSignalSpy ended(player.get(), &KLDaastPlayer::daastEnded);
    QSignalSpy errors(player.get(), &KLDaastPlayer::daastError);
    KLDaast *ad = player->daast();
    player->play(url(QStringLiteral("/live")));
    QCOMPARE(player->state(), KLPlayerSource::StalledState); // the document is being requested

    QVERIFY(started.wait(10000));
    const QString query = QStringLiteral("?sdkuiid=") + userId;
    QCOMPARE(started.first().at(0).toString(), QStringLiteral("Jingle of the day"));
    QCOMPARE(started.first().at(1).toString(),
             url(QStringLiteral("/banner.png")).toString() + query);
    QCOMPARE(started.first().at(2).toString(), url(QStringLiteral("/shop")).toString() + query);
    QCOMPARE(player->state(), KLPlayerSource::PlayingState);
    QCOMPARE(volumeOf(ad->stream()), 0.8f);
    QTRY_VERIFY(player->player()->stream() != 0);
    QCOMPARE(volumeOf(player->player()->stream()), 0.0f);
    player->daastClick();

    QVERIFY(ended.wait(10000));
    QVERIFY(errors.isEmpty());
    QCOMPARE(ended.size(), 1);
    QTRY_COMPARE(volumeOf(player->player()->stream()), 0.8f);
    QCOMPARE(player->state(), KLPlayerSource::PlayingState); // now the stream's
    QTRY_VERIFY(trackingHits(*m_server).contains(QStringLiteral("complete")));

    // Every address the ad called carries the listener id once, replacing a stale one.
    for (const LoopbackHttpRequest &request : m_server->requests()) {
        if (request.path == QLatin1String("/live"))
            continue;
        QCOMPARE(request.query.allQueryItemValues(QStringLiteral("sdkuiid")), {userId});
    }
    // Order by where in the ad each event lies; requests sent at the same moment may arrive
    // either way round, so a small slack is allowed.
    const QHash<QString, double> at{{"impression", 0}, {"start", 0},           {"creativeView", 0},
                                    {"progress0", 0},  {"firstQuartile", 0.5}, {"progress1", 1},
                                    {"midpoint", 1},   {"thirdQuartile", 1.5}, {"complete", 2.1}};
    const QStringList hits = trackingHits(*m_server);
    QStringList expected = at.keys() << QStringLiteral("click");
    QStringList sortedHits = hits;
    sortedHits.sort();
    expected.sort();
    QCOMPARE(sortedHits, expected); // each once; the linear "click" entry is never called
    QCOMPARE(hits.last(), QStringLiteral("complete"));
    double reached = 0;
    for (const QString &hit : hits) {
        if (hit == QLatin1String("click"))
            continue;
        QVERIFY2(at.value(hit) >= reached - 0.3, qPrintable(hits.join(u' ')));
        reached = std::max(reached, at.value(hit));
    }
}

// The ways an ad ends other than playing to its end; the stream always gets its volume back.
void tst_KLDaast::outcomes_data()
{
    QTest::addColumn<QString>("adPath");
    QTest::addColumn<QByteArray>("document"); // served at adPath; empty: a held answer
    QTest::addColumn<QString>("error");       // empty: skipped
    QTest::addColumn<bool>("errorTracked");

    QTest::newRow("no address") << QString() << QByteArray() << QString() << false;
    QTest::newRow("nobanner") << "/nobanner" << QByteArray("<nobanner/>") << QString() << false;
    QTest::newRow("time-out") << "/slow" << QByteArray()
                              << "Can not get daast data from url:" << false;
    QTest::newRow("not a document") << "/html" << QByteArray("<html><body>x</body></html>")
                                    << "Can not parse daast data from url:" << false;
    QTest::newRow("document over 1 MiB")
        << "/huge" << QByteArray(KLDaastParser::maxDocumentSize + 1, ' ')
        << "Can not get daast data from url:" << false;
    QTest::newRow("missing audio, address with credentials")
        << "/missing" << QByteArray("MISSING") << "Can not create daast stream by url " << true;
    QTest::newRow("audio of no length") << "/live-ad" << QByteArray("LIVE")
                                        << "Can not get duration from daast stream by url " << true;
    QTest::newRow("volume refused")
        << "/ad.xml" << QByteArray("NO VOLUME") << "Can not set daast volume" << true;
}

void tst_KLDaast::outcomes()
{
    QFETCH(QString, adPath);
    QFETCH(QByteArray, document);
    QFETCH(QString, error);
    QFETCH(bool, errorTracked);

    const QString base = url(QString()).toString();
    if (document == "MISSING") {
        QUrl media = url(QStringLiteral("/missing.mp3"));
        media.setUserInfo(QStringLiteral("listener:secret"));
        document = adDocument(base, media.toString());
    } else if (document == "LIVE") {
        document = adDocument(base, base + QStringLiteral("/live"));
    }
    const bool refuseVolume = document == "NO VOLUME";
    if (refuseVolume)
        document.clear(); // the document served at /ad.xml
    if (!adPath.isEmpty() && !document.isEmpty())
        m_server->serve(adPath, 200, document);
    if (adPath == QLatin1String("/slow"))
        m_server->route(adPath, [](LoopbackHttpExchange &exchange) { exchange.pause(600000); });

    auto player = adPlayer(adPath);
    player->setDaastTimeoutMs(300);
    if (refuseVolume)
        player->daast()->setVolume(-1); // the engine takes no negative volume
    QSignalSpy started(player.get(), &KLDaastPlayer::daastStarted);
    QSignalSpy skipped(player.get(), &KLDaastPlayer::daastSkipped);
    QSignalSpy ended(player.get(), &KLDaastPlayer::daastEnded);
    QSignalSpy errors(player.get(), &KLDaastPlayer::daastError);
    player->play(url(QStringLiteral("/live")));
    // Pausing while the document is requested changes nothing.
    const State before = player->daast()->state();
    player->daast()->pause();
    QCOMPARE(player->daast()->state(), before);

    if (error.isEmpty()) {
        QTRY_COMPARE(skipped.size(), 1);
        QCOMPARE(ended.size(), 0);
    } else {
        QTRY_COMPARE_WITH_TIMEOUT(errors.size(), 1, 10000);
        QCOMPARE(ended.size(), 1);
        QCOMPARE(skipped.size(), 0);
        const QString message = errors.first().first().toString();
        QVERIFY2(message.startsWith(error), qPrintable(message));
        if (error.contains(QLatin1String("url")))
            QVERIFY2(message.contains(QStringLiteral("127.0.0.1")), qPrintable(message));
        for (const char *secret :
             {"secret", "listener:", "\r", "\n", "User-Agent", "Authorization"})
            QVERIFY2(!message.contains(QLatin1String(secret)), qPrintable(message));
    }
    QCOMPARE(player->daast()->state(), KLPlayerSource::StoppedState);
    QCOMPARE(player->player()->volume(), 0.8);
    QCOMPARE(started.size(), 0); // nothing of an ad that ended
    if (errorTracked)
        QTRY_COMPARE(trackingHits(*m_server), QStringList{QStringLiteral("error")});
    if (adPath.isEmpty())
        QCOMPARE(m_server->requestCount(QStringLiteral("/ad.xml")), 0);
}

// One position event per second, counted from 0, and no more than the bound.
void tst_KLDaast::progressEvents_data()
{
    QTest::addColumn<int>("seconds");
    QTest::addColumn<int>("progressEvents");
    QTest::newRow("exactly 30 s") << 30 << 31;
    QTest::newRow("longer than the bound") << 700 << KLDaast::maxProgressEvents;
}

void tst_KLDaast::progressEvents()
{
    QFETCH(int, seconds);
    QFETCH(int, progressEvents);
    const QByteArray wav = wavFile(seconds);
    m_server->serve(QStringLiteral("/ad.wav"), 200, wav, {{"Content-Type", "audio/wav"}});
    const QString base = url(QString()).toString();
    m_server->serve(QStringLiteral("/wav.xml"), 200,
                    adDocument(base, base + QStringLiteral("/ad.wav")));

    KLPlayer player; // its first play opens the output device
    player.play(url(QStringLiteral("/live")));
    QTRY_COMPARE_WITH_TIMEOUT(player.state(), KLPlayerSource::PlayingState, 10000);
    KLDaast ad(&player);
    ad.setDaastUrl(url(QStringLiteral("/wav.xml")));
    QStringList events;
    connect(&ad, &KLDaast::started, &ad, [&] { events = ad.pendingPositionEvents(); });
    QSignalSpy started(&ad, &KLDaast::started);
    ad.play();
    QVERIFY(started.wait(10000));
    QStringList expected{"firstQuartile", "midpoint", "thirdQuartile"};
    for (int n = 0; n < progressEvents; ++n)
        expected << QStringLiteral("progress%1").arg(n);
    expected << QStringLiteral("aboutToEnd");
    QCOMPARE(events, expected);
    QSignalSpy ended(&ad, &KLDaast::ended);
    ad.stop();
    QCOMPARE(ended.size(), 1);
    QCOMPARE(ad.state(), KLPlayerSource::StoppedState);
}

// Volume and ducking reach the ad while the stream stays muted; a stopped wrapper keeps its ad
// paused, and the next play resumes that ad without asking for a new one.
void tst_KLDaast::stopResumesAndVolume()
{
    auto player = adPlayer(QStringLiteral("/ad.xml"));
    QSignalSpy started(player.get(), &KLDaastPlayer::daastStarted);
    QSignalSpy ended(player.get(), &KLDaastPlayer::daastEnded);
    KLDaast *ad = player->daast();
    player->play(url(QStringLiteral("/live")));
    QVERIFY(started.wait(10000));

    player->setVolume(0.5);
    QCOMPARE(volumeOf(ad->stream()), 0.5f);
    player->setDuckVolume(true);
    QCOMPARE(volumeOf(ad->stream()), 0.1f);
    QCOMPARE(player->player()->volume(), 0.0);
    player->setDuckVolume(false);

    player->stop();
    QCOMPARE(ad->state(), KLPlayerSource::PausedState);
    QCOMPARE(player->state(), KLPlayerSource::PausedState);
    const QWORD pausedAt = BASS_ChannelGetPosition(ad->stream(), BASS_POS_BYTE);
    player->play();
    QCOMPARE(ad->state(), KLPlayerSource::PlayingState);
    QVERIFY(BASS_ChannelGetPosition(ad->stream(), BASS_POS_BYTE) >= pausedAt);
    QCOMPARE(started.size(), 1);
    QVERIFY(ended.wait(10000));
    QCOMPARE(m_server->requestCount(QStringLiteral("/ad.xml")), 1);
    QCOMPARE(m_server->requestCount(QStringLiteral("/jingle.mp3")), 1);
    QTRY_COMPARE(volumeOf(player->player()->stream()), 0.5f);
}

// Stopping or pausing while the ad document is on its way cancels that request: no ad starts
// afterwards, the stream has its volume, and the next play asks for an ad anew.
void tst_KLDaast::holdWhileRequested_data()
{
    QTest::addColumn<bool>("stop");
    QTest::newRow("stop") << true;
    QTest::newRow("pause") << false;
}

void tst_KLDaast::holdWhileRequested()
{
    QFETCH(bool, stop);
    // The document comes from a server of its own, whose connections are the ad request's.
    LoopbackHttpServer adServer(LoopbackHttpServer::OwnThread);
    QVERIFY(adServer.listen());
    const QByteArray document =
        adDocument(url(QString()).toString(), url(QStringLiteral("/jingle.mp3")).toString());
    adServer.route(QStringLiteral("/held.xml"), [document](LoopbackHttpExchange &exchange) {
        exchange.pause(300);
        exchange.respond(200, document);
    });
    auto player = adPlayer(QString());
    player->setDaastUrl(adServer.url(QStringLiteral("/held.xml")).toString());
    QSignalSpy started(player.get(), &KLDaastPlayer::daastStarted);
    QSignalSpy ended(player.get(), &KLDaastPlayer::daastEnded);
    player->play(url(QStringLiteral("/live")));
    QTRY_COMPARE(adServer.requestCount(QStringLiteral("/held.xml")), 1);

    stop ? player->stop() : player->pause();
    QCOMPARE(player->daast()->state(), KLPlayerSource::StoppedState);
    QCOMPARE(ended.size(), 1);
    QCOMPARE(player->player()->volume(), 0.8);
    // The request is gone with its connection: no answer can reach the ad any more.
    QTRY_COMPARE(adServer.openConnectionCount(), 0);
    QCOMPARE(started.size(), 0);
    QCOMPARE(m_server->requestCount(QStringLiteral("/jingle.mp3")), 0);

    player->play();
    QVERIFY(started.wait(10000));
    QCOMPARE(adServer.requestCount(QStringLiteral("/held.xml")), 2);
}

// Without its network access manager the ad is skipped, and the stream gets its volume back.
void tst_KLDaast::managerGone()
{
    auto *nam = new KLNetworkAccessManager;
    KLDaastPlayer player(nam);
    player.setDaastUrl(url(QStringLiteral("/ad.xml")).toString());
    player.setVolume(0.8);
    delete nam;
    QSignalSpy skipped(&player, &KLDaastPlayer::daastSkipped);
    QTest::ignoreMessage(QtWarningMsg, QRegularExpression("Daast skipped"));
    player.play(url(QStringLiteral("/live")));
    QCOMPARE(skipped.size(), 1);
    QCOMPARE(player.player()->volume(), 0.8);
    QCOMPARE(player.daast()->state(), KLPlayerSource::StoppedState);
}

// A tracking reply is bounded small (nobody reads it) and frees itself when it finishes, also
// after the ad that sent it has gone.
void tst_KLDaast::trackingReplies_data()
{
    QTest::addColumn<bool>("largeBody");
    QTest::newRow("answer over the bound") << true;
    QTest::newRow("ad gone before the answer") << false;
}

void tst_KLDaast::trackingReplies()
{
    QFETCH(bool, largeBody);
    const QByteArray body(KLDaast::maxTrackingBodySize + 1, 'x');
    std::atomic_bool clicked = false;
    m_server->route(QStringLiteral("/t/click"), [&](LoopbackHttpExchange &exchange) {
        clicked = true;
        if (!largeBody)
            exchange.pause(300);
        exchange.respond(200, largeBody ? body : QByteArray());
    });
    KLNetworkAccessManager nam;
    const auto replies = [&nam]() {
        return nam.findChildren<QNetworkReply *>(Qt::FindDirectChildrenOnly).size();
    };
    auto player = std::make_unique<KLDaastPlayer>(&nam);
    player->setDaastUrl(url(QStringLiteral("/ad.xml")).toString());
    QSignalSpy started(player.get(), &KLDaastPlayer::daastStarted);
    player->play(url(QStringLiteral("/live")));
    QVERIFY(started.wait(10000));
    if (largeBody)
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression("Daast event.*size limit"));
    player->daastClick();
    QTRY_VERIFY(clicked);
    if (!largeBody)
        player.reset();
    QTRY_COMPARE(replies(), 0);
}

// Wrapper n is served at /w/n.xml and points to the n-th address; the last chain ends at the
// inline ad /ad.xml.
void tst_KLDaast::wrapperChain_data()
{
    QTest::addColumn<QStringList>("nexts");
    QTest::addColumn<QString>("error"); // empty: the ad plays
    QTest::addColumn<QStringList>("hits");
    // Relative, from the root, and whole addresses.
    QTest::newRow("three hops") << QStringList{"2.xml", "/w/3.xml", "BASE/ad.xml"} << QString()
                                << QStringList{"w1-imp",   "w2-imp",   "w3-imp",   "impression",
                                               "w1-start", "w2-start", "w3-start", "start"};
    QTest::newRow("loop") << QStringList{"2.xml", "/w/1.xml"} << "Ad wrapper chain loops back to"
                          << QStringList{"w1-err", "w2-err"};
    QTest::newRow("six wrappers") << QStringList{"2.xml", "3.xml", "4.xml",
                                                 "5.xml", "6.xml", "7.xml"}
                                  << "Ad wrapper chain is longer than 5 documents"
                                  << QStringList{"w1-err", "w2-err", "w3-err",
                                                 "w4-err", "w5-err", "w6-err"};
}

void tst_KLDaast::wrapperChain()
{
    QFETCH(QStringList, nexts);
    QFETCH(QString, error);
    QFETCH(QStringList, hits);
    const QString base = url(QString()).toString();
    for (int n = 1; n <= nexts.size(); ++n) {
        const QString next = QString(nexts.at(n - 1)).replace(QLatin1String("BASE"), base);
        m_server->serve(QStringLiteral("/w/%1.xml").arg(n), 200, wrapperDocument(base, n, next),
                        {{"Content-Type", "application/xml"}});
    }
    auto player = adPlayer(QStringLiteral("/w/1.xml"));
    QSignalSpy started(player.get(), &KLDaastPlayer::daastStarted);
    QSignalSpy ended(player.get(), &KLDaastPlayer::daastEnded);
    QSignalSpy errors(player.get(), &KLDaastPlayer::daastError);
    player->play(url(QStringLiteral("/live")));

    // Every address once, in the order of the chain.
    const auto tracked = [this, &hits] {
        QStringList got = trackingHits(*m_server);
        got.removeIf([&hits](const QString &hit) { return !hits.contains(hit); });
        return got;
    };
    QTRY_COMPARE_WITH_TIMEOUT(tracked().size(), hits.size(), 10000);
    // The addresses of one event go one after another: impressions, start and error addresses
    // each in their order, whatever the order between the events.
    const QStringList got = tracked();
    const auto only = [&got](const QStringList &kind) {
        QStringList some = got;
        some.removeIf([&kind](const QString &hit) {
            return std::none_of(kind.cbegin(), kind.cend(),
                                [&hit](const QString &end) { return hit.endsWith(end); });
        });
        return some;
    };
    QCOMPARE(only({"-imp", "impression"}) + only({"start"}) + only({"-err"}), hits);
    if (error.isEmpty()) {
        QCOMPARE(started.size(), 1);
        QCOMPARE(errors.size(), 0);
        for (int n = 1; n <= nexts.size(); ++n)
            QCOMPARE(m_server->requestCount(QStringLiteral("/w/%1.xml").arg(n)), 1);
        return;
    }
    QTRY_COMPARE(errors.size(), 1);
    QCOMPARE(ended.size(), 1);
    QCOMPARE(started.size(), 0);
    const QString message = errors.first().first().toString();
    QVERIFY2(message.startsWith(error), qPrintable(message));
    QCOMPARE(m_server->requestCount(QStringLiteral("/w/1.xml")), 1);
}

QTEST_MAIN(tst_KLDaast)
#include "tst_kldaast.moc"
