#include "loopbackhttpserver.h"

#include <klmetadataupdater.h>
#include <klnetworkaccessmanager.h>

#include <QJsonDocument>
#include <QSignalSpy>
#include <QTest>

#include <atomic>

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
    // A cover made absolute does not carry the meta address's credentials.
    QCOMPARE(updater.coverUrl(), cover);
    QCOMPARE(updater.json().value("cover").toString(), cover.toString());
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

    QTest::newRow("HTTP error") << 500 << QByteArray("{}") << QString();
    QTest::newRow("body above 64 KiB")
        << 200 << ::description("2", "B", QString(KLMetadataUpdater::maxBodySize, u'x'))
        << QString();
    // A hostile body reaches the log only as an escaped excerpt with its length.
    QByteArray hostile = "<html>\x01\x1b[2J\r\nfake log line\\";
    const qsizetype prefix = hostile.size();
    hostile += QByteArray(5000, 'y');
    QTest::newRow("unparsable body")
        << 200 << hostile
        << QStringLiteral("Metadata updater: Error meta parsing: <html>\\x01\\x1b[2J\\x0d\\x0afake "
                          "log line\\\\%1 (%2 bytes)")
               .arg(QString(KLMetadataUpdater::logExcerptSize - prefix, u'y'))
               .arg(hostile.size());
}

void TestKLMetadataUpdater::failureClears()
{
    QFETCH(int, status);
    QFETCH(QByteArray, body);
    QFETCH(QString, warning);

    LoopbackHttpServer server;
    QVERIFY(server.listen());
    server.serve("/meta", 200, ::description("1", "A", "T", "c.jpg"));
    KLNetworkAccessManager nam;
    KLMetadataUpdater updater(&nam);
    updater.setIntervals(600000, 300000);
    updater.setMetaUrl(server.url("/meta"));
    QTRY_COMPARE(updater.title(), QStringLiteral("A"));
    QCOMPARE(updater.timerInterval(), 600000);

    server.serve("/meta", status, body);
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

QTEST_GUILESS_MAIN(TestKLMetadataUpdater)
#include "tst_klmetadataupdater.moc"
