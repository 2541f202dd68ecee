#include "playertestmedia.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
#include <QScopeGuard>
#include <QTemporaryDir>
#include <QTest>

#include <algorithm>
#include <memory>

namespace {

struct Run
{
    int exitCode = -1;
    QByteArray out;
    QByteArray err;
    QList<QJsonObject> events;

    QList<QJsonObject> of(const QString &event) const
    {
        QList<QJsonObject> result;
        for (const QJsonObject &object : events) {
            if (object.value("event").toString() == event)
                result.append(object);
        }
        return result;
    }
};

Run runKlplay(const QStringList &arguments,
              const QProcessEnvironment &environment = QProcessEnvironment::systemEnvironment())
{
    Run run;
    QProcess process;
    process.setProcessEnvironment(environment);
    process.start(QStringLiteral(KLPLAY_PATH), arguments);
    if (!process.waitForFinished(30000)) {
        process.kill();
        process.waitForFinished();
        return run;
    }
    run.exitCode = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    run.out = process.readAllStandardOutput();
    run.err = process.readAllStandardError();
    for (const QByteArray &line : run.out.split('\n')) {
        const QJsonDocument document = QJsonDocument::fromJson(line);
        if (document.isObject())
            run.events.append(document.object());
    }
    return run;
}

} // namespace

class tst_KLPlay : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void icyStreamJson();
    void icyStreamText();
    void localFileToEnd();
    void seekInDownloadedFile();
    void exitCodes_data();
    void exitCodes();
    void listsDevices();
    void oggStreamTitles();
    void recordingDevice();
    void nowPlayingAlone();
    void credentialsStayPrivate_data();
    void credentialsStayPrivate();
    void adBeforeStream_data();
    void adBeforeStream();

private:
    QTemporaryDir m_dir;
    QString m_tonePath;
    QString m_shortPath;
    std::unique_ptr<LoopbackHttpServer> m_server;
};

void tst_KLPlay::initTestCase()
{
    QVERIFY(m_dir.isValid());
    m_tonePath = m_dir.filePath(QStringLiteral("tone.mp3"));
    m_shortPath = m_dir.filePath(QStringLiteral("short.mp3"));
    QVERIFY(PlayerTestMedia::makeMp3(m_tonePath, 10, 0.5));
    QVERIFY(PlayerTestMedia::makeMp3(m_shortPath, 1, 0.5));
    m_server = std::make_unique<LoopbackHttpServer>(LoopbackHttpServer::OwnThread);
    QVERIFY(m_server->listen());
    PlayerTestMedia::serveLiveStream(*m_server, QStringLiteral("/icy"),
                                     PlayerTestMedia::readFile(m_tonePath), 3, 4000,
                                     QStringLiteral("Artist - Title"));
    m_server->serve(QStringLiteral("/missing"), 404, "no such stream");
    const QString base = m_server->url(QString()).toString();
    PlayerTestMedia::serveFile(*m_server, QStringLiteral("/tone.mp3"),
                               PlayerTestMedia::readFile(m_tonePath), 1 << 20, 0);
    PlayerTestMedia::serveFile(*m_server, QStringLiteral("/jingle.mp3"),
                               PlayerTestMedia::readFile(m_shortPath), 1 << 20, 0);
    m_server->serve(
        QStringLiteral("/ad.xml"), 200,
        QStringLiteral(R"(<DAAST><Ad><InLine><AdSystem>s</AdSystem><AdTitle>Jingle</AdTitle>
<Impression>%1/t/i</Impression><Error>%1/t/e</Error><Creatives>
<Creative><Linear><Duration>1</Duration><MediaFiles>
<MediaFile type="audio/mpeg">%1/jingle.mp3</MediaFile></MediaFiles></Linear></Creative>
<Creative><CompanionAds><Companion><StaticResource creativeType="image/png">%1/b.png</StaticResource>
<CompanionClickThrough>%1/shop</CompanionClickThrough><CompanionClickTracking>%1/t/c</CompanionClickTracking>
</Companion></CompanionAds></Creative></Creatives></InLine></Ad></DAAST>)")
            .arg(base)
            .toUtf8());
    m_server->serve(QStringLiteral("/nobanner.xml"), 200, "<nobanner/>");
    m_server->route(QStringLiteral("/held.xml"),
                    [](LoopbackHttpExchange &exchange) { exchange.pause(600000); });
    m_server->setFallback([](LoopbackHttpExchange &exchange) { exchange.respond(204); });
    m_server->serve(QStringLiteral("/api/meta.json"), 200,
                    R"({"uniqueid":"7","artist":"A","title":"T","cover":"img/c.jpg","type":1})");
}

void tst_KLPlay::icyStreamJson()
{
    const Run run = runKlplay({m_server->url(QStringLiteral("/icy")).toString(), "--seconds", "3.5",
                               "--device", "0", "--volume", "0", "--json"});
    QCOMPARE(run.exitCode, 0);

    QStringList states;
    for (const QJsonObject &object : run.of("state"))
        states.append(object.value("state").toString());
    QVERIFY2(states.contains("PlayingState"), run.out.constData());

    const QList<QJsonObject> meta = run.of("meta");
    QVERIFY2(!meta.isEmpty(), run.out.constData());
    QCOMPARE(meta.first().value("title").toString(), QStringLiteral("Artist - Title"));

    const QList<QJsonObject> bitrates = run.of("bitrate");
    QVERIFY(!bitrates.isEmpty());
    QCOMPARE(bitrates.first().value("bitrate").toInteger(), 128000);

    // Levels are those of the stream itself, even at volume 0.
    const QList<QJsonObject> levels = run.of("level");
    QVERIFY2(levels.size() >= 3, run.out.constData());
    const QJsonObject last = levels.last();
    QVERIFY2(qAbs(last.value("level").toDouble() - 0.345) < 0.025, run.out.constData());
    QVERIFY(qAbs(last.value("levelDb").toDouble() + 9.25) < 0.7);
}

void tst_KLPlay::icyStreamText()
{
    const Run run = runKlplay(
        {m_server->url(QStringLiteral("/icy")).toString(), "--seconds", "3.5", "--device", "0"});
    QCOMPARE(run.exitCode, 0);
    QVERIFY2(run.out.contains("state PlayingState\n"), run.out.constData());
    QVERIFY(run.out.contains("title Artist - Title\n"));
    QVERIFY(run.out.contains("bitrate 128000\n"));
    QVERIFY(run.out.contains(" dB\n"));
}

void tst_KLPlay::localFileToEnd()
{
    const Run run = runKlplay({m_shortPath, "--device", "0", "--json"});
    QCOMPARE(run.exitCode, 0);
    QCOMPARE(run.of("ended").size(), 1);
}

void tst_KLPlay::seekInDownloadedFile()
{
    const QString path = QStringLiteral("/tone.mp3");
    const Run run = runKlplay({m_server->url(path).toString(), "--seek", "7", "--seconds", "1.5",
                               "--device", "0", "--json"});
    QCOMPARE(run.exitCode, 0);
    const QList<QJsonObject> seeks = run.of("seek");
    QCOMPARE(seeks.size(), 1);
    QCOMPARE(seeks.first().value("position").toDouble(), 7.0);
    // The position moves on from the target, on the same stream (the stop at the end
    // resets it to 0).
    double furthest = 0;
    for (const QJsonObject &position : run.of("position")) {
        furthest = std::max(furthest, position.value("position").toDouble());
        QVERIFY(position.value("length").toDouble() < 10.5);
    }
    QVERIFY2(furthest >= 7.4 && furthest < 9, run.out.constData());
    // No stream was made again at an offset.
    for (const auto &request : m_server->requests(path))
        QVERIFY(request.header("Range").isEmpty());
}

void tst_KLPlay::exitCodes_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<int>("exitCode");

    QTest::newRow("no address") << QStringList{} << 1;
    QTest::newRow("bad seconds") << QStringList{"x.mp3", "--seconds", "-1"} << 1;
    QTest::newRow("bad volume") << QStringList{"x.mp3", "--volume", "2"} << 1;
    QTest::newRow("bad device") << QStringList{"x.mp3", "--device", "-2"} << 1;
    QTest::newRow("bad seek") << QStringList{"x.mp3", "--seek", "later"} << 1;
    QTest::newRow("meta address without host") << QStringList{"--meta-url", "meta.json"} << 1;
    QTest::newRow("meta ID address alone") << QStringList{"--meta-id-url", "http://h/id"} << 1;
    QTest::newRow("nothing played")
        << QStringList{"/missing", "--seconds", "1", "--device", "0"} << 4;
}

void tst_KLPlay::exitCodes()
{
    QFETCH(QStringList, arguments);
    QFETCH(int, exitCode);
    if (!arguments.isEmpty() && arguments.first() == QLatin1String("/missing"))
        arguments.first() = m_server->url(arguments.first()).toString();
    QCOMPARE(runKlplay(arguments).exitCode, exitCode);
}

void tst_KLPlay::listsDevices()
{
    const Run run = runKlplay({"--devices"});
    QCOMPARE(run.exitCode, 0);
    QVERIFY2(run.out.startsWith("-1 default\n0 "), run.out.constData());
}

void tst_KLPlay::oggStreamTitles()
{
    const QByteArray chained = PlayerTestMedia::makeChainedOgg(m_dir.path(), "libopus", 2, 1.5);
    QVERIFY(!chained.isEmpty());
    PlayerTestMedia::servePaced(*m_server, QStringLiteral("/chained.opus"), chained,
                                {{"Content-Type", "audio/ogg"}}, int(chained.size() / 3), 1);
    const Run run = runKlplay({m_server->url(QStringLiteral("/chained.opus")).toString(),
                               "--seconds", "4", "--device", "0"});
    QCOMPARE(run.exitCode, 0);
    const qsizetype first = run.out.indexOf("title Artist 1 - Song 1\n");
    QVERIFY2(first >= 0, run.out.constData());
    QVERIFY2(run.out.indexOf("title Artist 2 - Song 2\n") > first, run.out.constData());
}

// "record:N" plays recording device N, as --devices lists it after the output devices. On a
// private sound server (skipped where none can start).
void tst_KLPlay::recordingDevice()
{
    QTemporaryDir dir;
    QProcess server;
    server.start(QStringLiteral(VC_PULSE_DAEMON_SCRIPT), {"start", dir.path()});
    server.waitForFinished(20000);
    const QByteArray address = server.readAllStandardOutput().trimmed();
    if (server.exitCode() != 0 || address.isEmpty())
        QSKIP(qPrintable("the sound server cannot start here: " + server.readAllStandardError()));
    const auto stopServer = qScopeGuard([&dir] {
        QProcess::execute(QStringLiteral(VC_PULSE_DAEMON_SCRIPT), {"stop", dir.path()});
    });
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("PULSE_SERVER"), QString::fromUtf8(address));

    const Run devices = runKlplay({"--devices"}, environment);
    QCOMPARE(devices.exitCode, 0);
    static const QRegularExpression micLine(QStringLiteral("\n(record:\\d+) VirtualMic\n"));
    const QRegularExpressionMatch mic = micLine.match(QString::fromUtf8(devices.out));
    QVERIFY2(mic.hasMatch(), devices.out.constData());
    QVERIFY(devices.out.indexOf("VirtualSink") < mic.capturedStart());

    const Run run =
        runKlplay({mic.captured(1), "--seconds", "2", "--device", "0", "--json"}, environment);
    QCOMPARE(run.exitCode, 0);
    QVERIFY2(run.out.contains(R"("state":"PlayingState")"), run.out.constData());
    QVERIFY(!run.out.contains("http://record"));
}

void tst_KLPlay::nowPlayingAlone()
{
    QUrl metaUrl = m_server->url(QStringLiteral("/api/meta.json"));
    metaUrl.setUserInfo(QStringLiteral("user:secret"));
    const Run run = runKlplay({"--meta-url", metaUrl.toString(), "--seconds", "1.5", "--json"});
    QCOMPARE(run.exitCode, 0);
    QVERIFY2(!run.out.contains("secret"), run.out.constData());
    const QList<QJsonObject> nowPlaying = run.of("nowPlaying");
    QCOMPARE(nowPlaying.size(), 1);
    const QJsonObject expected{{"event", "nowPlaying"},
                               {"title", "A"},
                               {"subtitle", "T"},
                               {"cover", m_server->url("/api/img/c.jpg").toString()},
                               {"ddbId", 0},
                               {"type", 1}};
    QCOMPARE(nowPlaying.first(), expected);
    QCOMPARE(m_server->requests("/api/meta.json").first().header("Authorization"),
             QByteArray("Basic ") + QByteArray("user:secret").toBase64());
}

// An expired session answers 403; a redirect may lead to another host. Neither the output nor
// the other host sees the session id.
void tst_KLPlay::credentialsStayPrivate_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<QByteArray>("printed");

    QTest::newRow("forbidden") << "/expired.mp3" << QByteArray("server replied: Forbidden");
    QTest::newRow("redirect to another host") << "/redir" << QByteArray("/elsewhere.mp3");
}

void tst_KLPlay::credentialsStayPrivate()
{
    QFETCH(QString, path);
    QFETCH(QByteArray, printed);

    QUrl elsewhere = m_server->url(QStringLiteral("/elsewhere.mp3"));
    elsewhere.setHost(QStringLiteral("localhost"));
    m_server->serve(QStringLiteral("/expired.mp3"), 403, "expired");
    m_server->serve(QStringLiteral("/elsewhere.mp3"), 403, "expired");
    m_server->route(QStringLiteral("/redir"),
                    [elsewhere](LoopbackHttpExchange &ex) { ex.redirect(302, elsewhere); });

    QUrl url = m_server->url(path);
    url.setUserInfo(QStringLiteral("7:SECRETSID"));
    const Run run = runKlplay({url.toString(), "--seconds", "1.5", "--device", "0"});
    QCOMPARE(run.exitCode, 4);
    const QByteArray printedAll = run.out + run.err;
    QVERIFY2(printedAll.contains(printed), printedAll.constData());
    QVERIFY2(!printedAll.contains("SECRETSID"), printedAll.constData());
    QVERIFY(!printedAll.contains("NzpTRUNSRVRTSUQ"));

    const QList<LoopbackHttpRequest> firstHops = m_server->requests(path);
    QVERIFY(!firstHops.isEmpty());
    QCOMPARE(firstHops.first().header("Authorization"), QByteArray("Basic NzpTRUNSRVRTSUQ="));
    for (const LoopbackHttpRequest &request : m_server->requests(QStringLiteral("/elsewhere.mp3")))
        QVERIFY(!request.hasHeader("Authorization"));
}

// The ad's events come before the stream's own, in the order the ad lived them.
void tst_KLPlay::adBeforeStream_data()
{
    QTest::addColumn<QString>("adPath");
    QTest::addColumn<QStringList>("adEvents");
    QTest::newRow("ad") << "/ad.xml" << QStringList{"adStarted", "adEnded"};
    QTest::newRow("nobanner") << "/nobanner.xml" << QStringList{"adSkipped"};
    QTest::newRow("time-out") << "/held.xml" << QStringList{"adEnded", "adError"};
}

void tst_KLPlay::adBeforeStream()
{
    QFETCH(QString, adPath);
    QFETCH(QStringList, adEvents);
    const Run run =
        runKlplay({m_server->url(QStringLiteral("/icy")).toString(), "--seconds", "2.5", "--device",
                   "0", "--json", "--ad", m_server->url(adPath).toString(), "--ad-timeout", "300"});
    QCOMPARE(run.exitCode, 0);
    QStringList events;
    for (const QJsonObject &object : run.events) {
        if (object.value("event").toString().startsWith(QLatin1String("ad")))
            events << object.value("event").toString();
    }
    QCOMPARE(events, adEvents);
    if (adPath == QLatin1String("/ad.xml")) {
        const QJsonObject started = run.of("adStarted").first();
        QCOMPARE(started.value("meta").toString(), QStringLiteral("Jingle"));
        QCOMPARE(started.value("image").toString(), m_server->url("/b.png").toString());
        QCOMPARE(started.value("click").toString(), m_server->url("/shop").toString());
    }
    if (adPath == QLatin1String("/held.xml"))
        QVERIFY(run.of("adError").first().value("message").toString().startsWith(
            "Can not get daast data from url:"));
    QVERIFY2(run.out.contains(R"("state":"PlayingState")"), run.out.constData());
}

QTEST_GUILESS_MAIN(tst_KLPlay)
#include "tst_klplay.moc"
