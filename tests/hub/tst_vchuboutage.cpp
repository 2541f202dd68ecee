#include "playertestmedia.h"
#include "vcclientuser.h"
#include "vchub.h"
#include "vcsource.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QMutex>
#include <QSettings>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <atomic>
#include <memory>

namespace {

// Lines that tell of a start of playback (from any thread) and of refused logins.
QMutex linesMutex;
int startLines = 0;
int refusalLines = 0;
QtMessageHandler previousHandler = nullptr;

void countLines(QtMsgType type, const QMessageLogContext &context, const QString &message)
{
    {
        QMutexLocker locker(&linesMutex);
        if (message.contains(QLatin1String("start playing")))
            ++startLines;
        if (message.contains(QLatin1String("replied forbidden, auth error")))
            ++refusalLines;
    }
    if (previousHandler)
        previousHandler(type, context, message);
}

int starts()
{
    QMutexLocker locker(&linesMutex);
    return startLines;
}

int refusals()
{
    QMutexLocker locker(&linesMutex);
    return refusalLines;
}

} // namespace

// The backup on a saved login while the broadcasting service is out: a loopback server plays
// both the service and the station's stream.
class TestHubOutage : public QObject
{
    Q_OBJECT

public:
    // What the service answers to a login or state report. Ending: 200 without a session (no
    // user id, no session id), as for a session that the service has ended.
    enum class Service { Failing, Silent, Confirming, Forbidding, Ending };
    Q_ENUM(Service)

private slots:
    void initTestCase();
    void cleanupTestCase();
    void init();
    void cleanup();

    void savedSourcesPlayThroughAnOutage_data();
    void savedSourcesPlayThroughAnOutage();

private:
    QTemporaryDir m_dir;
    QString m_previousDir;
    std::unique_ptr<LoopbackHttpServer> m_server;
    std::atomic<Service> m_service = Service::Failing;
    VCHub *m_hub = nullptr;
};

void TestHubOutage::initTestCase()
{
    QVERIFY(m_dir.isValid());
    const QString tone = m_dir.filePath(QStringLiteral("tone.mp3"));
    QVERIFY(PlayerTestMedia::makeMp3(tone, 5, 0.5));

    m_server = std::make_unique<LoopbackHttpServer>(LoopbackHttpServer::OwnThread);
    QVERIFY(m_server->listen());
    PlayerTestMedia::serveLiveStream(*m_server, QStringLiteral("/live"),
                                     PlayerTestMedia::readFile(tone), 2);
    const QString live = m_server->url(QStringLiteral("/live")).toString();
    m_server->route(QStringLiteral("/api/player/state"), [this, live](LoopbackHttpExchange &e) {
        // The only password typed here is a wrong one.
        if (e.request().body.contains(R"("pass":)")) {
            e.respond(403, "Forbidden");
            return;
        }
        switch (m_service.load()) {
        case Service::Failing:
            e.respond(503, "Service Unavailable");
            return;
        case Service::Silent:
            e.drop();
            return;
        case Service::Forbidding:
            e.respond(403, "Forbidden");
            return;
        case Service::Ending:
            e.respond(200, R"({"username":"station"})", {{"Content-Type", "application/json"}});
            return;
        case Service::Confirming:
            break;
        }
        const QJsonObject answer{
            {"sid", "saved"},
            {"username", "station"},
            {"userId", 7},
            {"streams", QJsonArray{QJsonObject{{"streamUrl", live}}}},
        };
        e.respond(200, QJsonDocument(answer).toJson(), {{"Content-Type", "application/json"}});
    });
    m_server->serve(QStringLiteral("/api/player/logout"), 200, "{}");
    // Read once by the client, so set before the first hub exists.
    qputenv("VELLACAST_SERVICE_URL", m_server->url(QString()).toString().toUtf8());

    m_previousDir = QDir::currentPath();
    QVERIFY(QDir::setCurrent(m_dir.path()));
    previousHandler = qInstallMessageHandler(countLines);
}

void TestHubOutage::cleanupTestCase()
{
    qInstallMessageHandler(previousHandler);
    QDir::setCurrent(m_previousDir);
    m_server.reset();
}

void TestHubOutage::init()
{
    QFile::remove(QStringLiteral("vellacast.ini"));
    QSettings settings(QStringLiteral("vellacast.ini"), QSettings::IniFormat);
    settings.setValue("outputDeviceIndex", 1); // "No sound"
    settings.setValue("sid", "saved");
    settings.setValue("username", "station");
    settings.beginWriteArray("sources", 1);
    settings.setArrayIndex(0);
    QUrl saved = m_server->url(QStringLiteral("/live"));
    saved.setUserInfo(QStringLiteral("7:saved"));
    settings.setValue("streamUrl", saved.toString());
    settings.endArray();
    m_server->clearRequests();
    QMutexLocker locker(&linesMutex);
    startLines = 0;
    refusalLines = 0;
}

void TestHubOutage::cleanup()
{
    delete m_hub;
    m_hub = nullptr;
}

void TestHubOutage::savedSourcesPlayThroughAnOutage_data()
{
    QTest::addColumn<Service>("outage");
    QTest::addColumn<bool>("confirmFirst");
    QTest::addColumn<bool>("mistypedPasswordFirst");
    QTest::addColumn<Service>("end"); // Forbidding or Ending

    QTest::newRow("5xx, confirmed, then 403")
        << Service::Failing << true << false << Service::Forbidding;
    QTest::newRow("no answer, then 403 before any confirmation")
        << Service::Silent << false << false << Service::Forbidding;
    QTest::newRow("5xx, confirmed, then ended")
        << Service::Failing << true << false << Service::Ending;
    QTest::newRow("no answer, then ended before any confirmation")
        << Service::Silent << false << false << Service::Ending;
    QTest::newRow("5xx, a mistyped password, then 403")
        << Service::Failing << false << true << Service::Forbidding;
}

void TestHubOutage::savedSourcesPlayThroughAnOutage()
{
    QFETCH(Service, outage);
    QFETCH(bool, confirmFirst);
    QFETCH(bool, mistypedPasswordFirst);
    QFETCH(Service, end);
    m_service = outage;

    m_hub = new VCHub;
    VCClientUser *client = m_hub->clientUser();
    VCSource *source = m_hub->sources()->at(0);
    QSignalSpy savedSessionEnds(client, &VCClientUser::savedSessionEnded);

    // On air from the start, with the saved address and its credentials, while the service
    // fails every report.
    QTRY_VERIFY_WITH_TIMEOUT(source->isConnected(), 15000);
    QTRY_VERIFY(m_server->requestCount(QStringLiteral("/api/player/state")) >= 1);
    QVERIFY(!client->isLoggedIn());
    const QByteArray credentials = "Basic " + QByteArray("7:saved").toBase64();
    bool savedCredentialsSent = false;
    for (const LoopbackHttpRequest &request : m_server->requests(QStringLiteral("/live")))
        savedCredentialsSent |= request.header("Authorization") == credentials;
    QVERIFY(savedCredentialsSent);

    if (confirmFirst) {
        // The service is back and lists the same stream: the source goes on as it is.
        m_service = Service::Confirming;
        client->sendPlayerState(); // the report that the minute timer would send
        QTRY_VERIFY_WITH_TIMEOUT(client->isLoggedIn(), 10000);
        QCOMPARE(m_hub->sources()->count(), 1);
        QCOMPARE(m_hub->sources()->at(0), source);
    }

    if (mistypedPasswordFirst) {
        // A wrong password typed into the login view is refused while the reports still fail;
        // the saved session goes on. (Once the sound is detected, no source change sends a
        // report that would cut the login short.)
        QTRY_VERIFY_WITH_TIMEOUT(!source->isSilentSound(), 15000);
        client->login(QStringLiteral("station"), QStringLiteral("wrong"));
        QTRY_COMPARE_WITH_TIMEOUT(refusals(), 1, 10000);
        QVERIFY(source->shouldPlay());
        QCOMPARE(client->sid(), QStringLiteral("saved"));
        QCOMPARE(savedSessionEnds.count(), 0);
    }

    // The service refuses or ends the login: the source stops.
    m_service = end;
    client->sendPlayerState();
    QTRY_VERIFY_WITH_TIMEOUT(!source->isPlaying() && !source->isConnected(), 10000);
    QCOMPARE(client->isLoggedIn(), false);
    // Only a refusal keeps a session id that was never confirmed (the next report asks again).
    const bool sidKept = !confirmFirst && end == Service::Forbidding;
    QCOMPARE(client->sid(), sidKept ? QStringLiteral("saved") : QString());
    // A confirmed login ends with its logout; a saved one tells the window to show the login.
    QCOMPARE(savedSessionEnds.isEmpty(), confirmFirst);
    // The stop ran after every earlier step on the player's thread, so this count is final:
    // one start, and no restart at the confirmation.
    QCOMPARE(starts(), 1);

    // Every report named every source by its address.
    for (const LoopbackHttpRequest &request :
         m_server->requests(QStringLiteral("/api/player/state"))) {
        const QJsonArray info =
            QJsonDocument::fromJson(request.body).object().value("sourcesInfo").toArray();
        for (const QJsonValue &entry : info)
            QVERIFY2(!entry.toObject().value("streamUrl").toString().isEmpty(),
                     request.body.constData());
    }
}

QTEST_MAIN(TestHubOutage)
#include "tst_vchuboutage.moc"
