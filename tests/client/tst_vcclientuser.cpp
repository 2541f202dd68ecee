#include "loopbackhttpserver.h"
#include "vcclientuser.h"
#include "vchub.h"

#include <QJsonDocument>
#include <QRegularExpression>
#include <QScopeGuard>
#include <QSettings>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

// The service client against a loopback service. Each test runs a fresh hub in a fresh working
// directory; the server's routes decide the answers.
class TestClientUser : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void loginBodies_data();
    void loginBodies();
    void loginAnswerIsApplied();
    void laterLoginSupersedesEarlier();
    void forbiddenWhileLoggedInLogsOut();
    void forbiddenWhileLoggedOutIsAuthError();
    void timeoutIsAFailure();
    void oversizeAnswerIsAFailure();
    void answerThatIsNotAnObjectChangesNothing();
    void newVersionRule_data();
    void newVersionRule();
    void versionCheckBodyAndSupersededCheck();
    void emptyLogoName();
    void stateReportWithoutSources();
    void usernameSavedOnEveryEdit();
    void savedLoginIsReconfirmedAtStart();

private:
    // Answers every state request with this JSON object.
    void answerState(const QJsonObject &answer);
    QJsonObject lastBody(const QString &path) const;
    void loginAsDemo();

    LoopbackHttpServer m_server;
    QTemporaryDir m_dir;
    QString m_previousDir;
    VCHub *m_hub = nullptr;
    VCClientUser *m_client = nullptr;
};

const QJsonObject demoAnswer{
    {"sid", "s-1"},
    {"username", "demo"},
    {"userId", 7},
    {"city", "Oslo"},
    {"stationName", "Radio One"},
    {"stationLogoFilename", "logo.png"},
    {"streams", QJsonArray{}},
    {"newVersion", "1.1.16"},
    {"newVersionCode", 101160},
    {"newVersionFilename", "vellacast-1.1.16.zip"},
};

void TestClientUser::initTestCase()
{
    QVERIFY(m_server.listen());
    // Read once per process by the client.
    qputenv("VELLACAST_SERVICE_URL", m_server.url().toString(QUrl::StripTrailingSlash).toUtf8());
    m_server.serve("/api/player/version", 200, "{}");
    m_server.serve("/api/player/logout", 200, "{}");
    m_previousDir = QDir::currentPath();
}

void TestClientUser::init()
{
    QVERIFY(m_dir.isValid());
    QDir(m_dir.path()).removeRecursively();
    QVERIFY(QDir().mkpath(m_dir.path()));
    QVERIFY(QDir::setCurrent(m_dir.path()));
    m_server.clearRequests();
    m_server.removeRoute("/api/player/state");
    m_hub = new VCHub;
    m_client = m_hub->clientUser();
    QVERIFY(m_client);
}

void TestClientUser::cleanup()
{
    delete m_hub;
    m_hub = nullptr;
    QDir::setCurrent(m_previousDir);
}

void TestClientUser::answerState(const QJsonObject &answer)
{
    m_server.serve("/api/player/state", 200, QJsonDocument(answer).toJson(),
                   {{"Content-Type", "application/json"}});
}

QJsonObject TestClientUser::lastBody(const QString &path) const
{
    const QList<LoopbackHttpRequest> requests = m_server.requests(path);
    return requests.isEmpty() ? QJsonObject()
                              : QJsonDocument::fromJson(requests.last().body).object();
}

void TestClientUser::loginAsDemo()
{
    answerState(demoAnswer);
    m_client->login("demo", "demo");
    QTRY_VERIFY(m_client->isLoggedIn());
    QTRY_VERIFY(!m_client->isProcessingPlayerRequest());
}

void TestClientUser::loginBodies_data()
{
    QTest::addColumn<QString>("savedSid");
    QTest::addColumn<QString>("username");
    QTest::addColumn<QString>("password");
    QTest::addColumn<QJsonObject>("expected"); // empty: nothing is sent

    const QJsonObject common{
        {"version", "1.1.15"}, {"versionCode", 101150}, {"updatePeriodMs", 60000}};
    QJsonObject login = common;
    login.insert("user", "demo");
    login.insert("pass", "p w");
    QJsonObject report = common;
    report.insert("sid", "saved");
    report.insert("sourcesInfo", QJsonArray());

    QTest::newRow("trimmed credentials") << ""
                                         << "  demo \t"
                                         << " p w  " << login;
    QTest::newRow("spaces-only user name") << ""
                                           << "   "
                                           << "secret" << QJsonObject();
    QTest::newRow("empty password, saved login") << "saved"
                                                 << "demo"
                                                 << "  " << report;
    QTest::newRow("empty password, no saved login") << ""
                                                    << "demo"
                                                    << "" << QJsonObject();
}

void TestClientUser::loginBodies()
{
    QFETCH(QString, savedSid);
    QFETCH(QString, username);
    QFETCH(QString, password);
    QFETCH(QJsonObject, expected);

    if (!savedSid.isEmpty()) {
        // A saved login is read at construction: recreate the hub on a file that has one.
        delete m_hub;
        QSettings(QStringLiteral("vellacast.ini"), QSettings::IniFormat).setValue("sid", savedSid);
        m_hub = new VCHub;
        m_client = m_hub->clientUser();
        QTRY_COMPARE(m_server.requestCount("/api/player/state"), 1); // the start-up report
        m_server.clearRequests();
    }
    answerState({});
    m_client->login(username, password);
    if (expected.isEmpty()) {
        QVERIFY(!m_client->isProcessingPlayerRequest());
        QTest::qWait(100);
        QCOMPARE(m_server.requestCount("/api/player/state"), 0);
        return;
    }
    QVERIFY(m_client->isProcessingPlayerRequest());
    QTRY_COMPARE(m_server.requestCount("/api/player/state"), 1);
    const LoopbackHttpRequest request = m_server.requests("/api/player/state").first();
    QCOMPARE(request.method, QByteArray("POST"));
    QCOMPARE(request.header("Content-Type"), QByteArray("application/json"));
    QCOMPARE(request.header("Referer"), QByteArray("ru.vellacast"));
    QCOMPARE(QJsonDocument::fromJson(request.body).object(), expected);
    QCOMPARE(request.body, QJsonDocument(expected).toJson(QJsonDocument::Compact));
}

void TestClientUser::loginAnswerIsApplied()
{
    QSignalSpy loggedIn(m_client, &VCClientUser::isLoggedInChanged);
    loginAsDemo();
    QCOMPARE(loggedIn.count(), 1);
    QCOMPARE(m_client->sid(), QStringLiteral("s-1"));
    QCOMPARE(m_client->userId(), 7);
    QCOMPARE(m_client->city(), QStringLiteral("Oslo"));
    QCOMPARE(m_client->stationName(), QStringLiteral("Radio One"));
    QCOMPARE(m_client->stationLogoUrl(), m_server.url("/stationFormat/logo.png").toString());
    QCOMPARE(m_client->newVersionCode(), 101160LL);
    QCOMPARE(m_client->newVersionUrl(),
             m_server.url("/playerBuild/vellacast-1.1.16.zip").toString());
    QCOMPARE(m_hub->settings()->value("sid").toString(), QStringLiteral("s-1"));
    QCOMPARE(m_hub->settings()->value("username").toString(), QStringLiteral("demo"));
}

void TestClientUser::laterLoginSupersedesEarlier()
{
    QList<QPointer<LoopbackHttpExchange>> held;
    m_server.route("/api/player/state", [&](LoopbackHttpExchange &exchange) {
        held.append(&exchange); // answered below, in reverse order
    });
    QSignalSpy stationSpy(m_client, &VCClientUser::stationNameChanged);
    m_client->login("first", "pw");
    QTRY_COMPARE(held.size(), 1);
    m_client->login("second", "pw");
    QTRY_COMPARE(held.size(), 2);
    QVERIFY(m_client->isProcessingPlayerRequest());
    QTRY_VERIFY(!held.at(0) || !held.at(0)->isClientConnected());

    QJsonObject second = demoAnswer;
    second.insert("stationName", "Second");
    held.at(1)->respond(200, QJsonDocument(second).toJson());
    QTRY_COMPARE(m_client->stationName(), QStringLiteral("Second"));
    QCOMPARE(stationSpy.count(), 1);
    QCOMPARE(QJsonDocument::fromJson(m_server.requests("/api/player/state").last().body)
                 .object()
                 .value("user"),
             QJsonValue("second"));
    QVERIFY(!m_client->isProcessingPlayerRequest());
}

void TestClientUser::forbiddenWhileLoggedInLogsOut()
{
    loginAsDemo();
    m_client->setUsername("kept");
    m_server.serve("/api/player/state", 403, "forbidden");
    QTest::ignoreMessage(QtWarningMsg, "Vellacast server replied forbidden, logout");
    QSignalSpy authErrors(m_client, &VCClientUser::authError);
    m_client->sendPlayerState();

    QTRY_VERIFY(!m_client->isLoggedIn());
    QTRY_COMPARE(m_server.requestCount("/api/player/logout"), 1);
    QCOMPARE(lastBody("/api/player/logout"), (QJsonObject{{"sid", "s-1"}}));
    QCOMPARE(m_client->sid(), QString());
    QCOMPARE(m_client->userId(), 0);
    QCOMPARE(m_client->city(), QString());
    QCOMPARE(m_client->stationName(), QString());
    QCOMPARE(m_client->stationLogoUrl(), QString());
    QCOMPARE(m_client->username(), QStringLiteral("kept"));
    QVERIFY(!m_client->newVersionUrl().isEmpty());
    QCOMPARE(m_hub->settings()->value("sid").toString(), QString());
    QCOMPARE(authErrors.count(), 0);
    // Both replies are freed, the logout's one included.
    QTRY_VERIFY(m_client->nam()->findChildren<QNetworkReply *>().isEmpty());
}

void TestClientUser::forbiddenWhileLoggedOutIsAuthError()
{
    m_server.serve("/api/player/state", 403, "forbidden");
    QTest::ignoreMessage(QtWarningMsg, "Vellacast server replied forbidden, auth error");
    QSignalSpy authErrors(m_client, &VCClientUser::authError);
    m_client->login("demo", "wrong");
    QTRY_COMPARE(authErrors.count(), 1);
    QVERIFY(!m_client->isProcessingPlayerRequest());
    QCOMPARE(m_server.requestCount("/api/player/logout"), 0);
}

void TestClientUser::timeoutIsAFailure()
{
    m_server.route("/api/player/state", [](LoopbackHttpExchange &) {}); // never answers
    m_client->nam()->setTimeoutMs(200);
    QSignalSpy authErrors(m_client, &VCClientUser::authError);
    const QRegularExpression line(
        "^Error Vellacast send player state request: \"http://127\\.0\\.0\\.1:\\d+/api/player/"
        "state\" \".*\" Code: OperationCanceledError$");
    QTest::ignoreMessage(QtWarningMsg, line);
    m_client->login("demo", "demo");
    QTRY_COMPARE(authErrors.count(), 1);
    QVERIFY(!m_client->isProcessingPlayerRequest());

    // Logged in, a failed report keeps the login and raises no auth error.
    m_client->nam()->setTimeoutMs(VCClientUser::networkTimeoutMs);
    loginAsDemo();
    m_server.route("/api/player/state", [](LoopbackHttpExchange &) {});
    m_client->nam()->setTimeoutMs(200);
    QTest::ignoreMessage(QtWarningMsg, line);
    m_client->sendPlayerState();
    QTRY_VERIFY(!m_client->isProcessingPlayerRequest());
    QCOMPARE(authErrors.count(), 1);
    QVERIFY(m_client->isLoggedIn());
    QCOMPARE(m_client->stationName(), QStringLiteral("Radio One"));
}

void TestClientUser::oversizeAnswerIsAFailure()
{
    QByteArray huge = QJsonDocument(demoAnswer).toJson();
    huge.insert(1, "\"padding\":\"" + QByteArray(2 * 1024 * 1024, 'x') + "\",");
    m_server.serve("/api/player/state", 200, huge);
    QSignalSpy authErrors(m_client, &VCClientUser::authError);
    QTest::ignoreMessage(QtWarningMsg,
                         QRegularExpression("^Error Vellacast send player state request:"));
    m_client->login("demo", "demo");
    QTRY_COMPARE(authErrors.count(), 1);
    QVERIFY(!m_client->isLoggedIn());
    QCOMPARE(m_client->sid(), QString());
}

void TestClientUser::answerThatIsNotAnObjectChangesNothing()
{
    loginAsDemo();
    m_server.serve("/api/player/state", 200, "[1,2,3]");
    QSignalSpy sidSpy(m_client, &VCClientUser::sidChanged);
    m_client->sendPlayerState();
    QVERIFY(m_client->isProcessingPlayerRequest());
    QTRY_VERIFY(!m_client->isProcessingPlayerRequest());
    QVERIFY(m_client->isLoggedIn());
    QCOMPARE(sidSpy.count(), 0);
}

void TestClientUser::newVersionRule_data()
{
    QTest::addColumn<qlonglong>("code");
    QTest::addColumn<QString>("fileName");
    QTest::addColumn<QString>("expectedPath"); // empty: no new build

    QTest::newRow("same build") << 101150LL << "b.zip"
                                << "";
    QTest::newRow("newer build") << 101151LL << "b.zip"
                                 << "/playerBuild/b.zip";
    QTest::newRow("newer without a file") << 101151LL << ""
                                          << "";
    QTest::newRow("older build") << 100000LL << "b.zip"
                                 << "";
}

void TestClientUser::newVersionRule()
{
    QFETCH(qlonglong, code);
    QFETCH(QString, fileName);
    QFETCH(QString, expectedPath);

    m_server.serve("/api/player/version", 200,
                   QJsonDocument(QJsonObject{{"newVersion", "x"},
                                             {"newVersionCode", code},
                                             {"newVersionFilename", fileName},
                                             {"sid", "ignored"}})
                       .toJson());
    m_client->versionCheck();
    QTRY_COMPARE(m_client->newVersionCode(), code);
    QCOMPARE(m_client->newVersionUrl(),
             expectedPath.isEmpty() ? QString() : m_server.url(expectedPath).toString());
    QCOMPARE(m_client->sid(), QString());
    m_server.serve("/api/player/version", 200, "{}");
}

void TestClientUser::versionCheckBodyAndSupersededCheck()
{
    // The hub's own check at start-up has reached the server before the held ones are counted.
    QTRY_COMPARE(m_server.requestCount("/api/player/version"), 1);
    QList<QPointer<LoopbackHttpExchange>> held;
    m_server.route("/api/player/version", [&](LoopbackHttpExchange &e) { held.append(&e); });
    // The route refers to this function's list: it goes with it, also when a check fails.
    const auto restoreRoute =
        qScopeGuard([this] { m_server.serve("/api/player/version", 200, "{}"); });
    m_server.clearRequests();
    m_client->versionCheck();
    QTRY_COMPARE(held.size(), 1);
    QCOMPARE(lastBody("/api/player/version"),
             (QJsonObject{{"version", "1.1.15"}, {"versionCode", 101150}}));
    // The superseded check is aborted and its failure logged.
    QTest::ignoreMessage(QtWarningMsg, QRegularExpression("Vellacast version check request"));
    m_client->versionCheck();
    QTRY_COMPARE(held.size(), 2);
    held.at(1)->respond(200,
                        R"({"newVersion":"2","newVersionCode":101151,"newVersionFilename":"n"})");
    QTRY_COMPARE(m_client->newVersion(), QStringLiteral("2"));
}

void TestClientUser::emptyLogoName()
{
    QJsonObject answer = demoAnswer;
    answer.insert("stationLogoFilename", "");
    answerState(answer);
    m_client->login("demo", "demo");
    QTRY_VERIFY(m_client->isLoggedIn());
    QCOMPARE(m_client->stationLogoUrl(), m_server.url("/stationFormat/").toString());
}

void TestClientUser::stateReportWithoutSources()
{
    loginAsDemo();
    m_server.clearRequests();
    m_client->sendPlayerState();
    QTRY_COMPARE(m_server.requestCount("/api/player/state"), 1);
    const QByteArray body = m_server.requests("/api/player/state").first().body;
    QVERIFY2(body.contains("\"sourcesInfo\":[]"), body.constData());
    QCOMPARE(lastBody("/api/player/state").value("sid"), QJsonValue("s-1"));
}

void TestClientUser::usernameSavedOnEveryEdit()
{
    for (const QString &text : {QStringLiteral("d"), QStringLiteral("de"), QString()}) {
        m_client->setUsername(text);
        QCOMPARE(m_hub->settings()->value("username").toString(), text);
    }
}

void TestClientUser::savedLoginIsReconfirmedAtStart()
{
    delete m_hub;
    {
        QSettings settings(QStringLiteral("vellacast.ini"), QSettings::IniFormat);
        settings.setValue("sid", "s-1");
        settings.setValue("username", "demo");
    }
    answerState(demoAnswer);
    m_server.clearRequests();
    m_hub = new VCHub;
    m_client = m_hub->clientUser();
    // Restoring the saved values writes nothing back and is not yet a login.
    QCOMPARE(m_client->sid(), QStringLiteral("s-1"));
    QVERIFY(!m_client->isLoggedIn());
    QTRY_VERIFY(m_client->isLoggedIn());
    QCOMPARE(lastBody("/api/player/state").value("sid"), QJsonValue("s-1"));
    QCOMPARE(m_server.requestCount("/api/player/version"), 1);
}

QTEST_MAIN(TestClientUser)
#include "tst_vcclientuser.moc"
