#include "loopbackhttpserver.h"

#include <klmetadataupdater.h>
#include <klnetworkaccessmanager.h>

#include <QJsonDocument>
#include <QSignalSpy>
#include <QTest>

#include <atomic>
#include <memory>

namespace {

QByteArray description(const QString &id, const QString &artist, const QString &title,
                       const QString &cover = {})
{
    QJsonObject object{{"uniqueid", id}, {"artist", artist}, {"title", title}};
    if (!cover.isEmpty())
        object.insert("cover", cover);
    return QJsonDocument(object).toJson(QJsonDocument::Compact);
}

// Every signal of the updater that carries the description.
QList<QSignalSpy *> descriptionSpies(KLMetadataUpdater *updater, QObject *owner)
{
    QList<QSignalSpy *> spies;
    for (const char *signal : {SIGNAL(jsonChanged(QJsonObject)), SIGNAL(titleChanged(QString)),
                               SIGNAL(subtitleChanged(QString)), SIGNAL(coverUrlChanged(QUrl)),
                               SIGNAL(ddbIdChanged(int)), SIGNAL(typeChanged(int))}) {
        auto *spy = new QSignalSpy(updater, signal);
        spy->setParent(owner);
        spies << spy;
    }
    return spies;
}

} // namespace

class TestKLMetadataUpdater : public QObject
{
    Q_OBJECT

private slots:
    void description_data();
    void description();
    void identifierCadence();
    void failureClears_data();
    void failureClears();
    void silentPushAndReset();
    void stationChangeByQuery();
};

void TestKLMetadataUpdater::description_data()
{
    QTest::addColumn<QString>("metaPath");
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<QString>("coverPath"); // empty: the expected cover is absolute below
    QTest::addColumn<QUrl>("cover");
    QTest::addColumn<int>("ddbId");
    QTest::addColumn<int>("type");

    QTest::newRow("relative cover, no ddbId and type")
        << "/api/meta.json" << ::description("1", "A", "T", "img/c.jpg") << "/api/img/c.jpg"
        << QUrl() << 0 << -1;
    QTest::newRow("file name repeated in the path")
        << "/meta/meta" << ::description("1", "A", "T", "c.jpg") << "/meta/c.jpg" << QUrl() << 0
        << -1;
    QTest::newRow("path ending in a slash")
        << "/api/" << ::description("1", "A", "T", "c.jpg") << "/api/c.jpg" << QUrl() << 0 << -1;
    QTest::newRow("absolute cover, ddbId and type")
        << "/m.json"
        << QByteArray(R"({"artist":"A","title":"T","cover":"https://img.example/c.jpg",)"
                      R"("ddbId":42,"type":3})")
        << QString() << QUrl("https://img.example/c.jpg") << 42 << 3;
}

void TestKLMetadataUpdater::description()
{
    QFETCH(QString, metaPath);
    QFETCH(QByteArray, body);
    QFETCH(QString, coverPath);
    QFETCH(QUrl, cover);
    QFETCH(int, ddbId);
    QFETCH(int, type);

    LoopbackHttpServer server;
    QVERIFY(server.listen());
    server.serve(metaPath, 200, body, {{"Content-Type", "application/json"}});
    KLNetworkAccessManager nam;
    KLMetadataUpdater updater(&nam);
    QUrl metaUrl = server.url(metaPath);
    metaUrl.setUserInfo("user:secret");
    updater.setMetaUrl(metaUrl);

    QTRY_COMPARE(updater.title(), QStringLiteral("A"));
    QCOMPARE(updater.subtitle(), QStringLiteral("T"));
    if (!coverPath.isEmpty())
        cover = server.url(coverPath);
    // A cover made absolute keeps the meta address's credentials: it loads behind the same
    // authentication.
    if (!coverPath.isEmpty())
        cover.setUserInfo("user:secret");
    QCOMPARE(updater.coverUrl(), cover);
    QCOMPARE(updater.json().value("cover").toString(), cover.toString());
    QCOMPARE(QJsonDocument::fromJson(updater.metaJson().toUtf8()).object().value("cover"),
             cover.toString());
    QCOMPARE(updater.ddbId(), ddbId);
    QCOMPARE(updater.type(), type);
    QCOMPARE(updater.timerInterval(), KLMetadataUpdater::metaIntervalMs);
}

void TestKLMetadataUpdater::identifierCadence()
{
    LoopbackHttpServer server;
    QVERIFY(server.listen());
    QString id = "a";
    int idStatus = 200;
    server.route("/id", [&](LoopbackHttpExchange &exchange) {
        exchange.respond(idStatus, QJsonDocument(QJsonObject{{"uniqueid", id}}).toJson());
    });
    server.route("/meta", [&](LoopbackHttpExchange &exchange) {
        exchange.respond(200, ::description(id, "Artist " + id, "Title"));
    });
    KLNetworkAccessManager nam;
    KLMetadataUpdater updater(&nam);
    updater.setIntervals(600000, 30);

    // Waits for n more identifier polls and returns the description fetches meanwhile.
    const auto metaFetchesOver = [&](int polls) {
        const int start = server.requestCount("/id");
        const int metaStart = server.requestCount("/meta");
        [&] { QTRY_VERIFY(server.requestCount("/id") >= start + polls); }();
        return server.requestCount("/meta") - metaStart;
    };

    updater.setMetaIdUrl(server.url("/id"));
    updater.setMetaUrl(server.url("/meta"));
    QTRY_COMPARE(updater.title(), QStringLiteral("Artist a"));
    QCOMPARE(updater.timerInterval(), 30);
    QCOMPARE(metaFetchesOver(4), 0);

    id = "b";
    QTRY_COMPARE(updater.title(), QStringLiteral("Artist b"));
    QCOMPARE(metaFetchesOver(4), 0);
    QCOMPARE(server.requestCount("/meta"), 2);

    // A failed identifier poll empties the description; the next good one fetches it again
    // even though the identifier did not change.
    idStatus = 500;
    QTRY_COMPARE(updater.title(), QString());
    idStatus = 200;
    QTRY_COMPARE(updater.title(), QStringLiteral("Artist b"));
    QCOMPARE(server.requestCount("/meta"), 3);
}

void TestKLMetadataUpdater::failureClears_data()
{
    QTest::addColumn<int>("status");
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<QString>("warning"); // empty: not checked
    QTest::addColumn<bool>("plainManager");

    QTest::newRow("HTTP error") << 500 << QByteArray("{}") << QString() << false;
    QTest::newRow("body above 64 KiB")
        << 200 << ::description("2", "B", QString(KLMetadataUpdater::maxBodySize, u'x'))
        << QString() << false;
    // Any manager: the bound holds as the bytes arrive, not once a body has ended.
    for (const bool plain : {false, true}) {
        QTest::addRow("endless body, %s manager", plain ? "plain" : "library's")
            << 200 << QByteArray("ENDLESS")
            << (plain ? QStringLiteral("Metadata updater: body above 65536 bytes") : QString())
            << plain;
    }
    // A hostile body reaches the log only as an escaped excerpt with its length.
    QByteArray hostile = "<html>\x01\x1b[2J\r\nfake log line\\";
    const qsizetype prefix = hostile.size();
    hostile += QByteArray(5000, 'y');
    QTest::newRow("unparsable body")
        << 200 << hostile
        << QStringLiteral("Metadata updater: Error meta parsing: <html>\\x01\\x1b[2J\\x0d\\x0afake "
                          "log line\\\\%1 (%2 bytes)")
               .arg(QString(KLMetadataUpdater::logExcerptSize - prefix, u'y'))
               .arg(hostile.size())
        << false;
}

void TestKLMetadataUpdater::failureClears()
{
    QFETCH(int, status);
    QFETCH(QByteArray, body);
    QFETCH(QString, warning);
    QFETCH(bool, plainManager);

    LoopbackHttpServer server;
    QVERIFY(server.listen());
    server.serve("/meta", 200, ::description("1", "A", "T", "c.jpg"));
    std::unique_ptr<QNetworkAccessManager> nam(plainManager ? new QNetworkAccessManager
                                                            : new KLNetworkAccessManager);
    KLMetadataUpdater updater(nam.get());
    updater.setIntervals(600000, 300000);
    updater.setMetaUrl(server.url("/meta"));
    QTRY_COMPARE(updater.title(), QStringLiteral("A"));
    QCOMPARE(updater.timerInterval(), 600000);

    if (body == "ENDLESS") {
        server.route("/meta", [](LoopbackHttpExchange &exchange) {
            exchange.writeHead(200, {{"Content-Type", "application/json"}});
            exchange.stream(
                [](qint64 tick) { return tick == 0 ? "{\"a\":\"" : QByteArray(8192, 'z'); }, 5);
        });
    } else {
        server.serve("/meta", status, body);
    }
    if (!warning.isEmpty())
        QTest::ignoreMessage(QtWarningMsg, qPrintable(warning));
    QSignalSpy jsonSpy(&updater, &KLMetadataUpdater::jsonChanged);
    updater.update();
    QVERIFY(jsonSpy.wait());
    QCOMPARE(updater.title(), QString());
    QCOMPARE(updater.subtitle(), QString());
    QCOMPARE(updater.coverUrl(), QUrl());
    QCOMPARE(updater.json(), QJsonObject());
    QCOMPARE(updater.timerInterval(), 300000);
}

void TestKLMetadataUpdater::silentPushAndReset()
{
    KLNetworkAccessManager nam;
    KLMetadataUpdater updater(&nam);
    const QList<QSignalSpy *> spies = descriptionSpies(&updater, this);

    updater.updateMetaJson(
        R"({"uniqueid":"u7","artist":"A","title":"T","cover":"https://img.example/c.jpg",)"
        R"("ddbId":5,"type":2})",
        true);
    QCOMPARE(updater.title(), QStringLiteral("A"));
    QCOMPARE(updater.subtitle(), QStringLiteral("T"));
    QCOMPARE(updater.ddbId(), 5);
    QCOMPARE(updater.type(), 2);
    QCOMPARE(updater.json().value("uniqueid").toString(), QStringLiteral("u7"));
    for (QSignalSpy *spy : spies)
        QCOMPARE(spy->count(), 0);
    QCOMPARE(QJsonDocument::fromJson(updater.metaJson().toUtf8()).object().value("uniqueid"),
             QStringLiteral("u7"));

    updater.resetMeta();
    const QJsonObject reset = QJsonDocument::fromJson(updater.metaJson().toUtf8()).object();
    const QJsonObject expected{{"uniqueid", ""}, {"artist", ""}, {"title", ""},
                               {"cover", ""},    {"ddbId", 0},   {"type", -1}};
    QCOMPARE(reset, expected);
    for (QSignalSpy *spy : spies)
        QCOMPARE(spy->count(), 1);
    qDeleteAll(spies);
}

// Another query names another station: a request still running for the old one is aborted,
// and its description is never published.
void TestKLMetadataUpdater::stationChangeByQuery()
{
    LoopbackHttpServer server;
    QVERIFY(server.listen());
    server.route("/meta", [](LoopbackHttpExchange &exchange) {
        const QString station = exchange.request().query.queryItemValue("station");
        if (station == QLatin1String("1"))
            exchange.pause(300);
        exchange.respond(200, ::description(station, "Artist " + station, "T"));
    });
    KLNetworkAccessManager nam;
    KLMetadataUpdater updater(&nam);
    QSignalSpy titles(&updater, &KLMetadataUpdater::titleChanged);
    updater.setMetaUrl(server.url("/meta?station=1"));
    QTRY_COMPARE(server.requestCount("/meta"), 1);
    QTest::ignoreMessage(QtWarningMsg, "Metadata updater: abort prev meta request");
    updater.setMetaUrl(server.url("/meta?station=2"));
    QTRY_COMPARE(updater.title(), QStringLiteral("Artist 2"));
    QCOMPARE(server.requestCount("/meta"), 2);
    // The old station's answer would have come by now had its request lived on.
    QTRY_COMPARE(server.openConnectionCount(), 1);
    QCOMPARE(updater.title(), QStringLiteral("Artist 2"));
    for (const QList<QVariant> &title : titles)
        QVERIFY(title.first().toString() != QLatin1String("Artist 1"));
}

QTEST_GUILESS_MAIN(TestKLMetadataUpdater)
#include "tst_klmetadataupdater.moc"
