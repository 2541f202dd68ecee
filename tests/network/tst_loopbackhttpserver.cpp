#include "loopbackhttpserver.h"

#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QSignalSpy>
#include <QSslSocket>
#include <QTcpSocket>
#include <QTest>

#include <memory>
#include <mutex>

namespace {

// Waits for the reply to finish and returns it owned.
std::unique_ptr<QNetworkReply> finished(QNetworkReply *reply, int timeoutMs = 5000)
{
    std::unique_ptr<QNetworkReply> owned(reply);
    if (!reply->isFinished()) {
        QSignalSpy spy(reply, &QNetworkReply::finished);
        spy.wait(timeoutMs);
    }
    return owned;
}

QByteArray exchangeRaw(quint16 port, const QByteArray &request)
{
    QTcpSocket socket;
    socket.connectToHost(QHostAddress::LocalHost, port);
    if (!socket.waitForConnected(5000))
        return {};
    socket.write(request);
    QByteArray answer;
    while (socket.state() == QAbstractSocket::ConnectedState && socket.waitForReadyRead(2000))
        answer += socket.readAll();
    return answer + socket.readAll();
}

} // namespace

class tst_LoopbackHttpServer : public QObject
{
    Q_OBJECT

private slots:
    void routesAndLog();
    void keepAlive();
    void chunkedAndPaced();
    void endlessStreamStopsWhenClientLeaves();
    void droppedMidBody();
    void stall();
    void rawStatusLine();
    void redirectAcrossServers();
    void tls();
    void ownThread();
    void answerFromAnotherThread();
    void refusesOversizedHead();
};

void tst_LoopbackHttpServer::routesAndLog()
{
    LoopbackHttpServer server;
    QVERIFY(server.listen());
    server.serve("/a", 200, "alpha", {{"Content-Type", "text/plain"}});
    QNetworkAccessManager nam;
    QSignalSpy received(&server, &LoopbackHttpServer::requestReceived);

    QNetworkRequest request(server.url("/a?x=1&y=%2F"));
    request.setRawHeader("X-Test", "one");
    request.setHeader(QNetworkRequest::ContentTypeHeader, "text/plain");
    auto reply = finished(nam.post(request, QByteArray("payload")));
    QCOMPARE(reply->error(), QNetworkReply::NoError);
    QCOMPARE(reply->readAll(), QByteArray("alpha"));
    QCOMPARE(reply->header(QNetworkRequest::ContentTypeHeader).toString(), "text/plain");

    auto missing = finished(nam.get(QNetworkRequest(server.url("/none"))));
    QCOMPARE(missing->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt(), 404);

    QTRY_COMPARE(received.size(), 2);
    const QList<LoopbackHttpRequest> log = server.requests();
    QCOMPARE(log.size(), 2);
    QCOMPARE(log.at(0).method, QByteArray("POST"));
    QCOMPARE(log.at(0).target, QByteArray("/a?x=1&y=%2F"));
    QCOMPARE(log.at(0).path, QStringLiteral("/a"));
    QCOMPARE(log.at(0).query.queryItemValue("y", QUrl::FullyDecoded), QStringLiteral("/"));
    QCOMPARE(log.at(0).header("x-test"), QByteArray("one"));
    QCOMPARE(log.at(0).body, QByteArray("payload"));
    QCOMPARE(log.at(1).path, QStringLiteral("/none"));
    QCOMPARE(server.requestCount("/a"), 1);
}

void tst_LoopbackHttpServer::keepAlive()
{
    LoopbackHttpServer server;
    QVERIFY(server.listen());
    server.serve("/k", 200, "k");
    QNetworkAccessManager nam;
    for (int i = 0; i < 3; ++i)
        QCOMPARE(finished(nam.get(QNetworkRequest(server.url("/k"))))->readAll(), "k");
    QCOMPARE(server.connectionCount(), 1);
    const auto log = server.requests();
    QCOMPARE(log.size(), 3);
    QCOMPARE(log.at(2).connection, 1);
}

void tst_LoopbackHttpServer::chunkedAndPaced()
{
    LoopbackHttpServer server;
    QVERIFY(server.listen());
    server.route("/c", [](LoopbackHttpExchange &exchange) {
        exchange.writeHead(200, {{"Transfer-Encoding", "chunked"}});
        exchange.writeChunk("one,");
        exchange.stream(
            [](qint64 tick) { return tick < 3 ? QByteArray::number(tick) : QByteArray(); }, 20,
            true);
        exchange.endChunks();
    });
    QNetworkAccessManager nam;
    auto reply = finished(nam.get(QNetworkRequest(server.url("/c"))));
    QCOMPARE(reply->error(), QNetworkReply::NoError);
    QCOMPARE(reply->readAll(), QByteArray("one,012"));
    // The connection is reusable after a chunked body.
    QCOMPARE(finished(nam.get(QNetworkRequest(server.url("/c"))))->readAll(), "one,012");
    QCOMPARE(server.connectionCount(), 1);
}

void tst_LoopbackHttpServer::endlessStreamStopsWhenClientLeaves()
{
    LoopbackHttpServer server;
    QVERIFY(server.listen());
    QPointer<LoopbackHttpExchange> streaming;
    server.route("/live", [&streaming](LoopbackHttpExchange &exchange) {
        streaming = &exchange;
        exchange.writeHead(200, {{"Content-Type", "audio/mpeg"}});
        exchange.stream([](qint64) { return QByteArray(1000, 'x'); }, 10);
    });
    QNetworkAccessManager nam;
    std::unique_ptr<QNetworkReply> reply(nam.get(QNetworkRequest(server.url("/live"))));
    QTRY_VERIFY(reply->bytesAvailable() >= 5000);
    QVERIFY(!reply->isFinished());
    reply->abort();
    QTRY_COMPARE(server.openConnectionCount(), 0);
    QTRY_VERIFY(streaming.isNull());
}

void tst_LoopbackHttpServer::droppedMidBody()
{
    LoopbackHttpServer server;
    QVERIFY(server.listen());
    server.route("/drop", [](LoopbackHttpExchange &exchange) {
        exchange.writeHead(200, {{"Content-Length", "1000"}});
        exchange.write(QByteArray(300, 'd'));
        exchange.pause(20);
        exchange.drop();
    });
    QNetworkAccessManager nam;
    auto reply = finished(nam.get(QNetworkRequest(server.url("/drop"))));
    // (Qt itself does not always report the short body as an error.)
    QCOMPARE(reply->readAll(), QByteArray(300, 'd'));
    QTRY_COMPARE(server.openConnectionCount(), 0);
}

void tst_LoopbackHttpServer::stall()
{
    LoopbackHttpServer server;
    QVERIFY(server.listen());
    server.route("/stall", [](LoopbackHttpExchange &exchange) {
        exchange.writeHead(200, {{"Content-Length", "2"}});
        exchange.write("a");
        exchange.pause(300);
        exchange.write("b");
        exchange.finish();
    });
    QNetworkAccessManager nam;
    std::unique_ptr<QNetworkReply> reply(nam.get(QNetworkRequest(server.url("/stall"))));
    QTRY_COMPARE(reply->bytesAvailable(), 1);
    QTest::qWait(100);
    QVERIFY(!reply->isFinished());
    QTRY_VERIFY(reply->isFinished());
    QCOMPARE(reply->readAll(), QByteArray("ab"));
}

void tst_LoopbackHttpServer::rawStatusLine()
{
    // The raw client below blocks its thread.
    LoopbackHttpServer server(LoopbackHttpServer::OwnThread);
    QVERIFY(server.listen());
    server.route("/icy", [](LoopbackHttpExchange &exchange) {
        exchange.writeStatusLine("ICY 200 OK");
        exchange.writeHeaders({{"icy-metaint", "16000"}});
        exchange.write("body");
        exchange.close();
    });
    const QByteArray answer =
        exchangeRaw(server.port(), "GET /icy HTTP/1.0\r\nIcy-MetaData: 1\r\n\r\n");
    QCOMPARE(answer, QByteArray("ICY 200 OK\r\nicy-metaint: 16000\r\n\r\nbody"));
    QCOMPARE(server.requests().at(0).header("icy-metadata"), QByteArray("1"));
}

void tst_LoopbackHttpServer::redirectAcrossServers()
{
    LoopbackHttpServer target;
    QVERIFY(target.listen());
    target.serve("/final", 200, "there");
    LoopbackHttpServer origin;
    QVERIFY(origin.listen());
    origin.route("/start", [&target](LoopbackHttpExchange &exchange) {
        exchange.redirect(302, target.url("/final"));
    });
    QNetworkAccessManager nam;
    auto reply = finished(nam.get(QNetworkRequest(origin.url("/start"))));
    QCOMPARE(reply->error(), QNetworkReply::NoError);
    QCOMPARE(reply->url(), target.url("/final"));
    QCOMPARE(reply->readAll(), QByteArray("there"));
}

void tst_LoopbackHttpServer::tls()
{
    if (!QSslSocket::supportsSsl())
        QSKIP("No TLS back-end");
    LoopbackHttpServer plain;
    QVERIFY(plain.listen());
    plain.serve("/insecure", 200, "plain");
    LoopbackHttpServer server(LoopbackHttpServer::Tls);
    QVERIFY(server.listen());
    QCOMPARE(server.url("/s").scheme(), QStringLiteral("https"));
    server.serve("/s", 200, "secret");
    server.route("/down", [&plain](LoopbackHttpExchange &exchange) {
        exchange.redirect(301, plain.url("/insecure"));
    });
    QNetworkAccessManager nam;

    // Without the test certificate the client refuses the server.
    QNetworkAccessManager strangerNam;
    auto untrusted = finished(strangerNam.get(QNetworkRequest(server.url("/s"))));
    QCOMPARE(untrusted->error(), QNetworkReply::SslHandshakeFailedError);

    QNetworkRequest request(server.url("/s"));
    request.setSslConfiguration(LoopbackHttpServer::clientSslConfiguration());
    auto reply = finished(nam.get(request));
    QCOMPARE(reply->error(), QNetworkReply::NoError);
    QCOMPARE(reply->readAll(), QByteArray("secret"));

    // https to http: refused by the no-less-safe policy.
    QNetworkRequest down(server.url("/down"));
    down.setSslConfiguration(LoopbackHttpServer::clientSslConfiguration());
    down.setAttribute(QNetworkRequest::RedirectPolicyAttribute,
                      QNetworkRequest::NoLessSafeRedirectPolicy);
    auto refused = finished(nam.get(down));
    QCOMPARE(refused->error(), QNetworkReply::InsecureRedirectError);
    QCOMPARE(plain.requestCount("/insecure"), 0);
}

void tst_LoopbackHttpServer::ownThread()
{
    LoopbackHttpServer server(LoopbackHttpServer::OwnThread);
    QVERIFY(server.listen());
    server.serve("/t", 200, "threaded");
    // A client that blocks its thread is still served.
    const QByteArray answer =
        exchangeRaw(server.port(), "GET /t HTTP/1.1\r\nConnection: close\r\n\r\n");
    QVERIFY(answer.startsWith("HTTP/1.1 200 OK\r\n"));
    QVERIFY(answer.endsWith("\r\n\r\nthreaded"));
    QCOMPARE(server.requestCount("/t"), 1);
}

void tst_LoopbackHttpServer::answerFromAnotherThread()
{
    LoopbackHttpServer server(LoopbackHttpServer::OwnThread);
    QVERIFY(server.listen());
    std::mutex mutex;
    QPointer<LoopbackHttpExchange> held;
    server.route("/held", [&](LoopbackHttpExchange &exchange) {
        exchange.writeHead(200, {{"Content-Length", "4"}});
        std::lock_guard locker(mutex);
        held = &exchange;
    });
    QNetworkAccessManager nam;
    std::unique_ptr<QNetworkReply> reply(nam.get(QNetworkRequest(server.url("/held"))));
    QSignalSpy finishedSpy(reply.get(), &QNetworkReply::finished);
    const auto heldExchange = [&]() {
        std::lock_guard locker(mutex);
        return held.data();
    };
    LoopbackHttpExchange *exchange = nullptr;
    QTRY_VERIFY((exchange = heldExchange()) != nullptr);
    QTest::qWait(50);
    QVERIFY(!reply->isFinished());
    // The answer goes on from this thread.
    exchange->write("late");
    exchange->finish();
    QVERIFY(finishedSpy.wait(5000));
    QCOMPARE(reply->error(), QNetworkReply::NoError);
    QCOMPARE(reply->readAll(), QByteArray("late"));
}

void tst_LoopbackHttpServer::refusesOversizedHead()
{
    LoopbackHttpServer server;
    QVERIFY(server.listen());
    server.serve("/h", 200, "never");
    QTcpSocket socket;
    socket.connectToHost(QHostAddress::LocalHost, server.port());
    QVERIFY(socket.waitForConnected(5000));
    socket.write("GET /h HTTP/1.1\r\nX-Long: " + QByteArray(70 * 1024, 'a'));
    QTRY_VERIFY(socket.bytesAvailable() > 0 || socket.state() != QAbstractSocket::ConnectedState);
    QTRY_COMPARE(socket.state(), QAbstractSocket::UnconnectedState);
    QVERIFY(socket.readAll().startsWith("HTTP/1.1 431 "));
    QCOMPARE(server.requestCount("/h"), 0);
}

QTEST_GUILESS_MAIN(tst_LoopbackHttpServer)
#include "tst_loopbackhttpserver.moc"
