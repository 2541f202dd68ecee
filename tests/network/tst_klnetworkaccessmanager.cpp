#include "klboundednetworkreply.h"
#include "klnetworkaccessmanager.h"
#include "loopbackhttpserver.h"

#include "bass.h"

#include <QElapsedTimer>
#include <QLoggingCategory>
#include <QNetworkReply>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTest>

#include <functional>
#include <memory>

Q_LOGGING_CATEGORY(testLog, "vc.test.network")

using ManagerSetter = std::function<bool(KLNetworkAccessManager &, const QVariant &)>;
Q_DECLARE_METATYPE(ManagerSetter)

namespace {

template <typename T> ManagerSetter writerOf(bool (KLNetworkAccessManager::*function)(T))
{
    return [function](KLNetworkAccessManager &manager, const QVariant &value) {
        return (manager.*function)(value.value<std::decay_t<T>>());
    };
}

std::unique_ptr<QNetworkReply> finished(QNetworkReply *reply, int timeoutMs = 5000)
{
    std::unique_ptr<QNetworkReply> owned(reply);
    if (!reply->isFinished()) {
        QSignalSpy spy(reply, &QNetworkReply::finished);
        spy.wait(timeoutMs);
    }
    return owned;
}

// A reply whose heads and signals the test plays, in the order the network stack may use.
class ScriptedReply : public QNetworkReply
{
public:
    ScriptedReply()
    {
        setUrl(QUrl("http://127.0.0.1/moved"));
        open(QIODevice::ReadOnly);
    }
    void abort() override {}
    void playHead(int status, const QList<RawHeaderPair> &headers, bool keep = false)
    {
        if (!keep) {
            for (const QByteArray &name : rawHeaderList())
                setRawHeader(name, QByteArray());
        }
        setAttribute(QNetworkRequest::HttpStatusCodeAttribute, status);
        for (const auto &[name, value] : headers)
            setRawHeader(name, value);
        emit metaDataChanged();
    }
    void playRedirect(const QUrl &to)
    {
        for (const QByteArray &name : rawHeaderList())
            setRawHeader(name, QByteArray());
        setUrl(to);
        emit redirected(to);
    }

protected:
    qint64 readData(char *, qint64) override { return 0; }
};

// An endless body at about 100 KB/s.
void streamEndlessly(LoopbackHttpExchange &exchange)
{
    exchange.writeHead(200, {{"Content-Type", "audio/mpeg"}});
    exchange.stream([](qint64) { return QByteArray(1000, 's'); }, 10);
}

} // namespace

class tst_KLNetworkAccessManager : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();

    void setters_data();
    void setters();
    void userAgent();

    void requestStamp_data();
    void requestStamp();

    void timeoutAbortsFlowingReply();
    void timeoutLeavesFinishedReply();
    void awaitMode_data();
    void awaitMode();

    void bodyLimit_data();
    void bodyLimit();
    void errorPageIsDropped();

    void truncatedBody_data();
    void truncatedBody();
    void replyPassesThrough();
    void repeatedRedirectHead();
    void abortFromReadyRead();
    void managerDeletedWhileRunning();
    void readBufferHoldsBack();
    void credentialsStayWithTheirOrigin_data();
    void credentialsStayWithTheirOrigin();

    void senderReplyLogging_data();
    void senderReplyLogging();
    void senderReplyPlain();

    void isSameUrl_data();
    void isSameUrl();

private:
    LoopbackHttpServer m_server;
};

void tst_KLNetworkAccessManager::initTestCase()
{
    QVERIFY(m_server.listen());
    m_server.setFallback([](LoopbackHttpExchange &exchange) {
        exchange.respond(200, "ok", {{"Content-Type", "text/plain"}});
    });
    m_server.serve("/missing", 404, "gone");
    m_server.route("/endless", streamEndlessly);
    m_server.route("/stall", [](LoopbackHttpExchange &exchange) {
        exchange.writeHead(200, {{"Content-Length", "10"}});
        exchange.write("12345");
        exchange.pause(60000);
    });
}

void tst_KLNetworkAccessManager::setters_data()
{
    QTest::addColumn<QByteArray>("property");
    QTest::addColumn<ManagerSetter>("set");
    QTest::addColumn<QVariant>("initial");
    QTest::addColumn<QVariant>("changed");

    QTest::newRow("await") << QByteArray("await") << writerOf(&KLNetworkAccessManager::setAwait)
                           << QVariant(false) << QVariant(true);
    QTest::newRow("timeoutMs") << QByteArray("timeoutMs")
                               << writerOf(&KLNetworkAccessManager::setTimeoutMs) << QVariant(10000)
                               << QVariant(2500);
    QTest::newRow("referer") << QByteArray("referer")
                             << writerOf(&KLNetworkAccessManager::setReferer) << QVariant(QString())
                             << QVariant(QStringLiteral("kelvane.ru"));
    QTest::newRow("quorviaUserId")
        << QByteArray("quorviaUserId") << writerOf(&KLNetworkAccessManager::setQuorviaUserId)
        << QVariant(QString()) << QVariant(QStringLiteral("42"));
    QTest::newRow("quorviaUtmMark")
        << QByteArray("quorviaUtmMark") << writerOf(&KLNetworkAccessManager::setQuorviaUtmMark)
        << QVariant(QString()) << QVariant(QStringLiteral("site"));
    QTest::newRow("maxBodySize") << QByteArray("maxBodySize")
                                 << writerOf(&KLNetworkAccessManager::setMaxBodySize)
                                 << QVariant(
                                        KLNetworkAccessManager::KL_NETWORK_DEFAULT_MAX_BODY_SIZE)
                                 << QVariant(qint64(4096));
}

void tst_KLNetworkAccessManager::setters()
{
    QFETCH(QByteArray, property);
    QFETCH(ManagerSetter, set);
    QFETCH(QVariant, initial);
    QFETCH(QVariant, changed);

    KLNetworkAccessManager manager;
    const QMetaObject *meta = manager.metaObject();
    const QMetaProperty metaProperty = meta->property(meta->indexOfProperty(property));
    QSignalSpy spy(&manager, metaProperty.notifySignal());
    QCOMPARE(metaProperty.read(&manager), initial);

    QVERIFY(!set(manager, initial));
    QCOMPARE(spy.size(), 0);
    QVERIFY(set(manager, changed));
    QCOMPARE(spy.size(), 1);
    QCOMPARE(spy.at(0).at(0), changed);
    QCOMPARE(metaProperty.read(&manager), changed);
    QVERIFY(!set(manager, changed));
    QCOMPARE(spy.size(), 1);
}

void tst_KLNetworkAccessManager::userAgent()
{
    KLNetworkAccessManager manager;
    const QString agent = manager.userAgent();
    const QRegularExpression format(QStringLiteral(
        R"(^KelvanePlayer/8\.0\.22 \(([^;]+); ([^;]+); ([^;]+); ([^;]+)\) Qt/(\S+) BASS/(\S+)$)"));
    const QRegularExpressionMatch match = format.match(agent);
    QVERIFY2(match.hasMatch(), qPrintable(agent));
    QCOMPARE(match.captured(1), QSysInfo::prettyProductName());
    QCOMPARE(match.captured(2), QSysInfo::kernelType() + ' ' + QSysInfo::kernelVersion());
    QCOMPARE(match.captured(3), QSysInfo::currentCpuArchitecture());
    QVERIFY(!match.captured(4).isEmpty());
    QCOMPARE(match.captured(5), QString::fromLatin1(qVersion()));
    QCOMPARE(match.captured(6), QString::number(BASS_GetVersion(), 16));
    QCOMPARE(match.captured(6), match.captured(6).toLower());
    QVERIFY(!match.captured(6).startsWith('0'));
}

void tst_KLNetworkAccessManager::requestStamp_data()
{
    QTest::addColumn<QString>("target");
    QTest::addColumn<QString>("userInfo");
    QTest::addColumn<QString>("referer");
    QTest::addColumn<QString>("userId");
    QTest::addColumn<QString>("utmMark");
    QTest::addColumn<QByteArray>("expectedTarget");
    QTest::addColumn<QByteArray>("expectedReferer");
    QTest::addColumn<QByteArray>("expectedAuthorization");

    QTest::newRow("no statistics: query byte for byte")
        << "/p?b=2&a=1&x=%2Fy&s=a+b&e=%20&&f" << QString() << QString() << QString() << QString()
        << QByteArray("/p?b=2&a=1&x=%2Fy&s=a+b&e=%20&&f") << QByteArray() << QByteArray();
    QTest::newRow("user id replaces every hssuid at the end")
        << "/p?hssuid=old&a=1&x=%2Fy&hssuid=older&b=2" << QString() << QString() << "42"
        << QString() << QByteArray("/p?a=1&x=%2Fy&b=2&hssuid=42") << QByteArray() << QByteArray();
    QTest::newRow("user id on an address without query")
        << "/live" << QString() << QString() << "42" << QString() << QByteArray("/live?hssuid=42")
        << QByteArray() << QByteArray();
    QTest::newRow("utm mark is the fallback referer")
        << "/p?radioquorvia=x&a=1" << QString() << QString() << QString() << "site.example"
        << QByteArray("/p?a=1&radioquorvia=site.example") << QByteArray("site.example")
        << QByteArray();
    QTest::newRow("referer before utm mark")
        << "/p?a=1" << QString() << "https://page.example/"
        << "7"
        << "utm" << QByteArray("/p?a=1&hssuid=7&radioquorvia=utm")
        << QByteArray("https://page.example/") << QByteArray();
    QTest::newRow("values are encoded")
        << "/p" << QString() << QString() << "a&b=c" << QString()
        << QByteArray("/p?hssuid=a%26b%3Dc") << QByteArray() << QByteArray();
    QTest::newRow("user name and password")
        << "/p"
        << "user:p%40ss" << QString() << QString() << QString() << QByteArray("/p") << QByteArray()
        << "Basic " + QByteArray("user:p@ss").toBase64();
    QTest::newRow("user name only")
        << "/p"
        << "user" << QString() << QString() << QString() << QByteArray("/p") << QByteArray()
        << "Basic " + QByteArray("user").toBase64();
    QTest::newRow("non-ASCII user information in UTF-8")
        << "/p" << QStringLiteral("ид:пароль") << QString() << QString() << QString()
        << QByteArray("/p") << QByteArray()
        << "Basic " + QStringLiteral("ид:пароль").toUtf8().toBase64();
}

void tst_KLNetworkAccessManager::requestStamp()
{
    QFETCH(QString, target);
    QFETCH(QString, userInfo);
    QFETCH(QString, referer);
    QFETCH(QString, userId);
    QFETCH(QString, utmMark);
    QFETCH(QByteArray, expectedTarget);
    QFETCH(QByteArray, expectedReferer);
    QFETCH(QByteArray, expectedAuthorization);

    KLNetworkAccessManager manager;
    manager.setReferer(referer);
    manager.setQuorviaUserId(userId);
    manager.setQuorviaUtmMark(utmMark);
    QUrl url = QUrl::fromEncoded(m_server.url().toEncoded() + target.mid(1).toUtf8());
    if (!userInfo.isEmpty())
        url.setUserInfo(userInfo);
    m_server.clearRequests();

    auto reply = finished(manager.get(QNetworkRequest(url)));
    QCOMPARE(reply->error(), QNetworkReply::NoError);
    const QList<LoopbackHttpRequest> requests = m_server.requests();
    QCOMPARE(requests.size(), 1);
    const LoopbackHttpRequest &request = requests.first();
    QCOMPARE(request.target, expectedTarget);
    QCOMPARE(request.headerCount("User-Agent"), 1);
    QCOMPARE(request.header("User-Agent"), manager.userAgent().toUtf8());
    QCOMPARE(request.headerCount("Referer"), expectedReferer.isNull() ? 0 : 1);
    QCOMPARE(request.header("Referer"), expectedReferer);
    QCOMPARE(request.headerCount("Authorization"), expectedAuthorization.isNull() ? 0 : 1);
    QCOMPARE(request.header("Authorization"), expectedAuthorization);
}

void tst_KLNetworkAccessManager::timeoutAbortsFlowingReply()
{
    KLNetworkAccessManager manager;
    manager.setTimeoutMs(400);
    QElapsedTimer clock;
    clock.start();
    std::unique_ptr<QNetworkReply> reply(manager.get(QNetworkRequest(m_server.url("/endless"))));
    QSignalSpy finishedSpy(reply.get(), &QNetworkReply::finished);
    qint64 received = 0;
    qint64 receivedAt = -1;
    connect(reply.get(), &QNetworkReply::readyRead, this, [&]() {
        received += reply->readAll().size();
        receivedAt = clock.elapsed();
    });
    QVERIFY(finishedSpy.wait(5000));
    const qint64 elapsed = clock.elapsed();
    QCOMPARE(reply->error(), QNetworkReply::OperationCanceledError);
    QVERIFY2(elapsed >= 400 && elapsed < 3000, QByteArray::number(elapsed));
    // Data kept arriving until shortly before the abort: the limit is not a read time-out.
    QVERIFY(received > 0);
    QVERIFY2(receivedAt > 200, QByteArray::number(receivedAt));
}

void tst_KLNetworkAccessManager::timeoutLeavesFinishedReply()
{
    KLNetworkAccessManager manager;
    manager.setTimeoutMs(50);
    auto reply = finished(manager.get(QNetworkRequest(m_server.url("/quick"))));
    QTest::qWait(150);
    QCOMPARE(reply->error(), QNetworkReply::NoError);
    QCOMPARE(reply->readAll(), QByteArray("ok"));
}

void tst_KLNetworkAccessManager::awaitMode_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<int>("error");
    QTest::addColumn<QByteArray>("body");

    QTest::newRow("quick") << "/quick" << int(QNetworkReply::NoError) << QByteArray("ok");
    QTest::newRow("stalled") << "/stall" << int(QNetworkReply::OperationCanceledError)
                             << QByteArray();
}

void tst_KLNetworkAccessManager::awaitMode()
{
    QFETCH(QString, path);
    QFETCH(int, error);
    QFETCH(QByteArray, body);

    KLNetworkAccessManager manager;
    manager.setAwait(true);
    manager.setTimeoutMs(300);
    QElapsedTimer clock;
    clock.start();
    std::unique_ptr<QNetworkReply> reply(manager.get(QNetworkRequest(m_server.url(path))));
    QVERIFY(clock.elapsed() < 3000);
    // The reply comes back finished (or aborted) already.
    QVERIFY(reply->isFinished());
    QCOMPARE(int(reply->error()), error);
    if (reply->isOpen())
        QCOMPARE(reply->readAll(), body);
}

void tst_KLNetworkAccessManager::bodyLimit_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<qint64>("managerLimit");
    QTest::addColumn<QVariant>("requestLimit");
    QTest::addColumn<bool>("exceeded");

    QTest::newRow("announced length above the bound")
        << "/fixed" << qint64(1000) << QVariant() << true;
    QTest::newRow("announced length at the bound")
        << "/fixed" << qint64(2000) << QVariant() << false;
    QTest::newRow("chunked body above the bound")
        << "/chunked" << qint64(1000) << QVariant() << true;
    QTest::newRow("chunked body within the bound")
        << "/chunked" << qint64(4000) << QVariant() << false;
    QTest::newRow("request bound overrides the manager's")
        << "/fixed" << qint64(100000) << QVariant(qint64(1999)) << true;
    QTest::newRow("request bound 0 lifts the bound")
        << "/chunked" << qint64(10) << QVariant(qint64(0)) << false;
    QTest::newRow("endless body") << "/endless" << qint64(5000) << QVariant() << true;
}

void tst_KLNetworkAccessManager::bodyLimit()
{
    QFETCH(QString, path);
    QFETCH(qint64, managerLimit);
    QFETCH(QVariant, requestLimit);
    QFETCH(bool, exceeded);

    m_server.serve("/fixed", 200, QByteArray(2000, 'f'));
    m_server.route("/chunked", [](LoopbackHttpExchange &exchange) {
        exchange.writeHead(200, {{"Transfer-Encoding", "chunked"}});
        for (int i = 0; i < 4; ++i) {
            exchange.writeChunk(QByteArray(500, 'c'));
            exchange.pause(5);
        }
        exchange.endChunks();
    });

    KLNetworkAccessManager manager;
    manager.setMaxBodySize(managerLimit);
    QNetworkRequest request(m_server.url(path));
    if (requestLimit.isValid())
        request.setAttribute(KLNetworkAccessManager::MaxBodySizeAttribute, requestLimit);
    qint64 received = 0;
    std::unique_ptr<QNetworkReply> reply(manager.get(request));
    connect(reply.get(), &QNetworkReply::readyRead, this,
            [&]() { received += reply->readAll().size(); });
    QSignalSpy finishedSpy(reply.get(), &QNetworkReply::finished);
    QVERIFY(finishedSpy.wait(5000));
    QCOMPARE(finishedSpy.size(), 1);
    received += reply->readAll().size();

    QCOMPARE(KLNetworkAccessManager::isBodyLimitExceeded(reply.get()), exceeded);
    if (exceeded) {
        QCOMPARE(reply->error(), QNetworkReply::UnknownContentError);
        // What reached the reader stays within the bound plus one network read.
        const qint64 bound = requestLimit.isValid() ? requestLimit.toLongLong() : managerLimit;
        QVERIFY2(received <= bound, QByteArray::number(received));
    } else {
        QCOMPARE(reply->error(), QNetworkReply::NoError);
        QCOMPARE(received, 2000);
    }
}

void tst_KLNetworkAccessManager::errorPageIsDropped()
{
    // An error page far above the bound: nobody reads it, so it neither reaches the reader nor
    // counts against the bound, and the reply ends with the answer's own error.
    m_server.serve("/denied", 403, QByteArray(256 * 1024, 'e'));
    KLNetworkAccessManager manager;
    manager.setMaxBodySize(1000);
    std::unique_ptr<QNetworkReply> reply(manager.get(QNetworkRequest(m_server.url("/denied"))));
    qint64 received = 0;
    connect(reply.get(), &QNetworkReply::readyRead, this,
            [&]() { received += reply->readAll().size(); });
    QSignalSpy finishedSpy(reply.get(), &QNetworkReply::finished);
    QVERIFY(finishedSpy.wait(5000));
    received += reply->readAll().size();
    QCOMPARE(reply->error(), QNetworkReply::ContentAccessDenied);
    QVERIFY(!KLNetworkAccessManager::isBodyLimitExceeded(reply.get()));
    QCOMPARE(received, 0);
}

void tst_KLNetworkAccessManager::truncatedBody_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<qint64>("maxBodySize");
    QTest::addColumn<int>("error");

    QTest::newRow("fixed length, bounded")
        << "/short" << qint64(4096) << int(QNetworkReply::RemoteHostClosedError);
    QTest::newRow("fixed length, unbounded")
        << "/short" << qint64(0) << int(QNetworkReply::RemoteHostClosedError);
    QTest::newRow("complete") << "/whole" << qint64(4096) << int(QNetworkReply::NoError);
}

void tst_KLNetworkAccessManager::truncatedBody()
{
    QFETCH(QString, path);
    QFETCH(qint64, maxBodySize);
    QFETCH(int, error);

    m_server.route("/short", [](LoopbackHttpExchange &exchange) {
        exchange.writeHead(200, {{"Content-Length", "1000"}});
        exchange.write(QByteArray(300, 'd'));
        exchange.pause(10);
        exchange.drop();
    });
    m_server.route("/whole", [](LoopbackHttpExchange &exchange) {
        exchange.writeHead(200, {{"Content-Length", "300"}});
        exchange.write(QByteArray(300, 'd'));
        exchange.pause(10);
        exchange.close();
    });

    KLNetworkAccessManager manager;
    manager.setMaxBodySize(maxBodySize);
    // The connection breaks at varying moments relative to the last data: repeat.
    for (int round = 0; round < 8; ++round) {
        auto reply = finished(manager.get(QNetworkRequest(m_server.url(path))));
        QVERIFY(reply->isFinished());
        QCOMPARE(int(reply->error()), error);
    }
}

void tst_KLNetworkAccessManager::replyPassesThrough()
{
    m_server.route("/moved", [this](LoopbackHttpExchange &exchange) {
        exchange.redirect(302, m_server.url("/typed"));
    });
    m_server.serve("/typed", 201, "made", {{"Content-Type", "application/json"}, {"X-One", "1"}});
    KLNetworkAccessManager manager;
    QSignalSpy managerFinished(&manager, &QNetworkAccessManager::finished);
    std::unique_ptr<QNetworkReply> reply(manager.get(QNetworkRequest(m_server.url("/moved"))));
    QSignalSpy redirected(reply.get(), &QNetworkReply::redirected);
    QSignalSpy metaData(reply.get(), &QNetworkReply::metaDataChanged);
    QSignalSpy finishedSpy(reply.get(), &QNetworkReply::finished);
    QVERIFY(finishedSpy.wait(5000));
    QCOMPARE(reply->error(), QNetworkReply::NoError);
    QCOMPARE(redirected.size(), 1);
    QVERIFY(metaData.size() >= 1);
    QCOMPARE(reply->url(), m_server.url("/typed"));
    QCOMPARE(reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt(), 201);
    QCOMPARE(reply->header(QNetworkRequest::ContentTypeHeader).toString(), "application/json");
    QCOMPARE(reply->rawHeader("X-One"), QByteArray("1"));
    QCOMPARE(reply->header(QNetworkRequest::ContentLengthHeader).toLongLong(), 4);
    QVERIFY(!reply->hasRawHeader("Location"));
    QCOMPARE(reply->readAll(), QByteArray("made"));
    QCOMPARE(managerFinished.size(), 1);
    QCOMPARE(managerFinished.at(0).at(0).value<QNetworkReply *>(), reply.get());
}

// The redirect's head delivered again after the redirect, with the next head joined to it, as
// the inner reply now and then does: the head passed on is the next head alone.
void tst_KLNetworkAccessManager::repeatedRedirectHead()
{
    auto *inner = new ScriptedReply;
    KLBoundedNetworkReply reply(inner, 0, nullptr);
    QSignalSpy metaData(&reply, &QNetworkReply::metaDataChanged);
    const QList<QNetworkReply::RawHeaderPair> redirectHead = {
        {"Location", "http://127.0.0.1/typed"}, {"Content-Length", "0"}, {"Set-Cookie", "a=1"}};
    inner->playHead(302, redirectHead);
    QCOMPARE(reply.rawHeader("Location"), QByteArray("http://127.0.0.1/typed"));
    inner->playRedirect(QUrl("http://127.0.0.1/typed"));
    inner->playHead(302, redirectHead);
    QCOMPARE(metaData.size(), 1);
    inner->playHead(201,
                    {{"Content-Length", "0, 4"},
                     {"Set-Cookie", "a=1\nb=2"},
                     {"Content-Type", "application/json"}},
                    true);
    QCOMPARE(metaData.size(), 2);
    QCOMPARE(reply.attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt(), 201);
    QVERIFY(!reply.hasRawHeader("Location"));
    QCOMPARE(reply.rawHeader("Content-Length"), QByteArray("4"));
    QCOMPARE(reply.header(QNetworkRequest::ContentLengthHeader).toLongLong(), 4);
    QCOMPARE(reply.rawHeader("Set-Cookie"), QByteArray("b=2"));
    QCOMPARE(reply.rawHeader("Content-Type"), QByteArray("application/json"));

    // Without the repeat, a head that shares a value with the redirect keeps it.
    auto *plain = new ScriptedReply;
    KLBoundedNetworkReply plainReply(plain, 0, nullptr);
    plain->playHead(302, redirectHead);
    plain->playRedirect(QUrl("http://127.0.0.1/typed"));
    plain->playHead(200, {{"Content-Length", "0"}});
    QCOMPARE(plainReply.rawHeader("Content-Length"), QByteArray("0"));
    plain->playRedirect(QUrl("http://127.0.0.1/last"));
    plain->playHead(200, {{"Content-Length", "7"}});
    QCOMPARE(plainReply.header(QNetworkRequest::ContentLengthHeader).toLongLong(), 7);
    QVERIFY(!plainReply.hasRawHeader("Location"));
}

void tst_KLNetworkAccessManager::abortFromReadyRead()
{
    // A reader that decides on the first bytes and aborts the rest.
    KLNetworkAccessManager manager;
    std::unique_ptr<QNetworkReply> reply(manager.get(QNetworkRequest(m_server.url("/endless"))));
    QSignalSpy finishedSpy(reply.get(), &QNetworkReply::finished);
    QByteArray head;
    connect(reply.get(), &QNetworkReply::readyRead, this, [&]() {
        head = reply->read(512);
        reply->abort();
    });
    QVERIFY(finishedSpy.wait(5000));
    QCOMPARE(finishedSpy.size(), 1);
    QCOMPARE(head, QByteArray(512, 's'));
    QCOMPARE(reply->error(), QNetworkReply::OperationCanceledError);
    QVERIFY(!KLNetworkAccessManager::isBodyLimitExceeded(reply.get()));
    QTest::qWait(50);
    QCOMPARE(finishedSpy.size(), 1);
}

void tst_KLNetworkAccessManager::managerDeletedWhileRunning()
{
    auto *manager = new KLNetworkAccessManager;
    QPointer<QNetworkReply> running = manager->get(QNetworkRequest(m_server.url("/endless")));
    QPointer<QNetworkReply> done = manager->get(QNetworkRequest(m_server.url("/quick")));
    QTRY_VERIFY(running->bytesAvailable() > 0 && done->isFinished());
    // The replies go with their manager, once each.
    delete manager;
    QVERIFY(running.isNull());
    QVERIFY(done.isNull());
}

void tst_KLNetworkAccessManager::readBufferHoldsBack()
{
    const QByteArray body = QByteArray(1000, 'a') + QByteArray(200000, 'b') + "end";
    m_server.serve("/big", 200, body);
    KLNetworkAccessManager manager;
    std::unique_ptr<QNetworkReply> reply(manager.get(QNetworkRequest(m_server.url("/big"))));
    reply->setReadBufferSize(4096);
    QTRY_VERIFY(reply->bytesAvailable() > 0);
    QTest::qWait(100);
    QVERIFY(reply->bytesAvailable() <= 4096);
    QVERIFY(!reply->isFinished());

    QByteArray received;
    QSignalSpy finishedSpy(reply.get(), &QNetworkReply::finished);
    connect(reply.get(), &QNetworkReply::readyRead, this, [&]() { received += reply->readAll(); });
    received += reply->readAll();
    QVERIFY(finishedSpy.wait(5000));
    received += reply->readAll();
    QCOMPARE(reply->error(), QNetworkReply::NoError);
    QCOMPARE(received.size(), body.size());
    QCOMPARE(received, body);
}

// Credentials from the address go to their own scheme, host and port only; a redirect
// elsewhere leaves them behind for good.
void tst_KLNetworkAccessManager::credentialsStayWithTheirOrigin_data()
{
    QTest::addColumn<QStringList>("hops");
    QTest::addColumn<bool>("authorized");

    // "other" is the second server's port, "localhost" names this host another way.
    QTest::newRow("same origin keeps them") << QStringList{"http://127.0.0.1:PORT/landing"} << true;
    QTest::newRow("another host") << QStringList{"http://localhost:PORT/landing"} << false;
    QTest::newRow("another port") << QStringList{"http://127.0.0.1:OTHER/landing"} << false;
    QTest::newRow("back home after leaving")
        << QStringList{"http://localhost:PORT/bounce", "http://127.0.0.1:PORT/landing"} << false;
    QTest::newRow("relative redirect") << QStringList{"/landing"} << true;
}

void tst_KLNetworkAccessManager::credentialsStayWithTheirOrigin()
{
    QFETCH(QStringList, hops);
    QFETCH(bool, authorized);

    LoopbackHttpServer other;
    QVERIFY(other.listen());
    for (QString &hop : hops) {
        hop.replace("PORT", QString::number(m_server.port()));
        hop.replace("OTHER", QString::number(other.port()));
    }
    m_server.route("/redir", [&hops](LoopbackHttpExchange &exchange) {
        exchange.redirect(302, QUrl(hops.first()));
    });
    m_server.route("/bounce", [&hops](LoopbackHttpExchange &exchange) {
        exchange.redirect(307, QUrl(hops.last()));
    });
    for (LoopbackHttpServer *server : {&m_server, &other})
        server->serve("/landing", 200, "landed");
    m_server.clearRequests();

    KLNetworkAccessManager manager;
    QUrl url = m_server.url("/redir");
    url.setUserInfo("7:SECRETSID");
    auto reply = finished(manager.get(QNetworkRequest(url)));
    QCOMPARE(reply->error(), QNetworkReply::NoError);
    QCOMPARE(reply->readAll(), QByteArray("landed"));

    QList<LoopbackHttpRequest> requests = m_server.requests() + other.requests();
    QCOMPARE(requests.size(), hops.size() + 1);
    QCOMPARE(requests.first().header("Authorization"), QByteArray("Basic NzpTRUNSRVRTSUQ="));
    for (const LoopbackHttpRequest &request : requests.mid(1))
        QCOMPARE(request.hasHeader("Authorization"), authorized);
}

void tst_KLNetworkAccessManager::senderReplyLogging_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<QString>("userInfo");
    QTest::addColumn<qint64>("maxBodySize");
    QTest::addColumn<bool>("ok");
    QTest::addColumn<QString>("warning");

    QTest::newRow("success") << "/quick"
                             << "user:secret" << qint64(0) << true << QString();
    // Qt's own text names the whole address, user info included.
    QTest::newRow("HTTP error, credentials left out of the log")
        << "/missing"
        << "user:secret" << qint64(0) << false
        << QStringLiteral(
               R"(^Error "Probe request" : "http://127\.0\.0\.1:\d+/missing" )"
               R"("Error transferring http://127\.0\.0\.1:\d+/missing - )"
               R"(server replied: Not Found" Code: QNetworkReply::ContentNotFoundError$)");
    QTest::newRow("body beyond its bound")
        << "/fixed" << QString() << qint64(10) << false
        << QStringLiteral(R"(^Error "Probe request" : "http://127\.0\.0\.1:\d+/fixed" )"
                          R"("Reply body exceeds its size limit of 10 bytes" )"
                          R"(Code: QNetworkReply::UnknownContentError$)");
}

void tst_KLNetworkAccessManager::senderReplyLogging()
{
    QFETCH(QString, path);
    QFETCH(QString, userInfo);
    QFETCH(qint64, maxBodySize);
    QFETCH(bool, ok);
    QFETCH(QString, warning);

    m_server.serve("/fixed", 200, QByteArray(2000, 'f'));
    KLNetworkAccessManager manager;
    manager.setMaxBodySize(maxBodySize);
    QUrl url = m_server.url(path);
    url.setUserInfo(userInfo);
    QPointer<QNetworkReply> reply = manager.get(QNetworkRequest(url));
    QSignalSpy finishedSpy(reply.data(), &QNetworkReply::finished);
    QVERIFY(finishedSpy.wait(5000));

    if (!warning.isEmpty())
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression(warning));
    QTest::failOnWarning(QRegularExpression(QStringLiteral(".*")));
    QNetworkReply *taken = KLNetworkAccessManager::senderReply(reply, "Probe request", testLog());
    QCOMPARE(taken != nullptr, ok);
    QVERIFY2(!reply->errorString().contains("secret"), qPrintable(reply->errorString()));
    if (ok)
        QCOMPARE(taken->readAll(), QByteArray("ok"));
    // Deleted on the next return to the event loop, whatever the outcome.
    QVERIFY(reply);
    QTRY_VERIFY(reply.isNull());
}

void tst_KLNetworkAccessManager::senderReplyPlain()
{
    QObject notAReply;
    QTest::ignoreMessage(QtWarningMsg, "Can not cast \"Probe request\" from sender");
    QCOMPARE(KLNetworkAccessManager::senderReply(&notAReply, "Probe request", testLog()), nullptr);
    QCOMPARE(KLNetworkAccessManager::senderReply(&notAReply), nullptr);
    QCOMPARE(KLNetworkAccessManager::senderReply(nullptr), nullptr);

    KLNetworkAccessManager manager;
    QPointer<QNetworkReply> reply = manager.get(QNetworkRequest(m_server.url("/missing")));
    QSignalSpy finishedSpy(reply.data(), &QNetworkReply::finished);
    QVERIFY(finishedSpy.wait(5000));
    // The plain form hands out failed replies as well.
    QCOMPARE(KLNetworkAccessManager::senderReply(reply), reply.data());
    QCOMPARE(reply->error(), QNetworkReply::ContentNotFoundError);
    QTRY_VERIFY(reply.isNull());
}

void tst_KLNetworkAccessManager::isSameUrl_data()
{
    QTest::addColumn<QUrl>("a");
    QTest::addColumn<QUrl>("b");
    QTest::addColumn<bool>("same");

    QTest::newRow("query differs")
        << QUrl("http://a.example/live?x=1") << QUrl("http://a.example/live?x=2&y") << true;
    QTest::newRow("fragment differs")
        << QUrl("http://a.example/live#one") << QUrl("http://a.example/live") << true;
    QTest::newRow("path differs") << QUrl("http://a.example/live") << QUrl("http://a.example/live2")
                                  << false;
    QTest::newRow("host differs") << QUrl("http://a.example/live?x=1")
                                  << QUrl("http://b.example/live?x=1") << false;
    QTest::newRow("user differs") << QUrl("http://u:p@a.example/live")
                                  << QUrl("http://a.example/live") << false;
}

void tst_KLNetworkAccessManager::isSameUrl()
{
    QFETCH(QUrl, a);
    QFETCH(QUrl, b);
    QFETCH(bool, same);
    QCOMPARE(KLNetworkAccessManager::isSameUrl(a, b), same);
    QCOMPARE(KLNetworkAccessManager::isSameUrl(b, a), same);
}

QTEST_GUILESS_MAIN(tst_KLNetworkAccessManager)
#include "tst_klnetworkaccessmanager.moc"
