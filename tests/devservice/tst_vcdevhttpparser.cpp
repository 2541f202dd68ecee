#include "vcdevhttpparser.h"

#include <QTest>

class TestVCDevHttpParser : public QObject
{
    Q_OBJECT

private slots:
    void parse_data();
    void parse();
    void pipelinedRequests();
    void bodyLimitBeforeBodyArrives();
    void keepAlive_data();
    void keepAlive();
};

void TestVCDevHttpParser::parse_data()
{
    QTest::addColumn<QByteArray>("input");
    QTest::addColumn<int>("result");
    QTest::addColumn<int>("status");
    QTest::addColumn<QByteArray>("body");

    const int complete = VCDevHttpParser::Complete;
    const int more = VCDevHttpParser::NeedMore;
    const int failed = VCDevHttpParser::Failed;
    QTest::newRow("get") << QByteArray("GET /status.json HTTP/1.1\r\nHost: x\r\n\r\n") << complete
                         << 0 << QByteArray();
    QTest::newRow("post with body")
        << QByteArray("POST /api/player/state HTTP/1.1\r\nContent-Length: 7\r\n\r\n{\"a\":1}")
        << complete << 0 << QByteArray("{\"a\":1}");
    QTest::newRow("leading blank lines")
        << QByteArray("\r\n\r\nGET / HTTP/1.0\r\n\r\n") << complete << 0 << QByteArray();
    QTest::newRow("head incomplete")
        << QByteArray("GET / HTTP/1.1\r\nHost: x\r\n") << more << 0 << QByteArray();
    QTest::newRow("body incomplete")
        << QByteArray("POST / HTTP/1.1\r\nContent-Length: 10\r\n\r\n12345") << more << 0
        << QByteArray();
    QTest::newRow("head too large")
        << (QByteArray("GET / HTTP/1.1\r\nX: ") + QByteArray(70 * 1024, 'a')) << failed << 431
        << QByteArray();
    QTest::newRow("body too large")
        << QByteArray("POST / HTTP/1.1\r\nContent-Length: 1048577\r\n\r\n") << failed << 413
        << QByteArray();
    QTest::newRow("body at the limit")
        << (QByteArray("POST / HTTP/1.1\r\nContent-Length: 1048576\r\n\r\n") +
            QByteArray(1048576, 'x'))
        << complete << 0 << QByteArray(1048576, 'x');
    QTest::newRow("chunked") << QByteArray("POST / HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n")
                             << failed << 501 << QByteArray();
    QTest::newRow("bad request line")
        << QByteArray("GET /\r\n\r\n") << failed << 400 << QByteArray();
    QTest::newRow("absolute target")
        << QByteArray("GET http://x/ HTTP/1.1\r\n\r\n") << failed << 400 << QByteArray();
    QTest::newRow("other version")
        << QByteArray("GET / HTTP/2.0\r\n\r\n") << failed << 505 << QByteArray();
    QTest::newRow("header without colon")
        << QByteArray("GET / HTTP/1.1\r\nBroken\r\n\r\n") << failed << 400 << QByteArray();
    QTest::newRow("negative length") << QByteArray("POST / HTTP/1.1\r\nContent-Length: -1\r\n\r\n")
                                     << failed << 400 << QByteArray();
    QTest::newRow("length not a number")
        << QByteArray("POST / HTTP/1.1\r\nContent-Length: 1x\r\n\r\n") << failed << 400
        << QByteArray();
    QTest::newRow("conflicting lengths")
        << QByteArray("POST / HTTP/1.1\r\nContent-Length: 1\r\nContent-Length: 2\r\n\r\nab")
        << failed << 400 << QByteArray();
    QTest::newRow("huge length")
        << QByteArray("POST / HTTP/1.1\r\nContent-Length: 99999999999999999999\r\n\r\n") << failed
        << 400 << QByteArray();
}

void TestVCDevHttpParser::parse()
{
    QFETCH(QByteArray, input);
    QFETCH(int, result);
    QFETCH(int, status);
    QFETCH(QByteArray, body);

    VCDevHttpParser parser;
    QByteArray buffer = input;
    VCDevHttpRequest request;
    int refused = 0;
    QCOMPARE(int(parser.parse(buffer, &request, &refused)), result);
    if (result == VCDevHttpParser::Failed)
        QCOMPARE(refused, status);
    if (result == VCDevHttpParser::Complete) {
        QCOMPARE(request.body, body);
        QVERIFY(buffer.isEmpty());
    }
    if (result == VCDevHttpParser::NeedMore)
        QCOMPARE(buffer, input); // nothing is taken before the request is whole
}

void TestVCDevHttpParser::pipelinedRequests()
{
    VCDevHttpParser parser;
    QByteArray buffer = "POST /api/player/logout?x=1 HTTP/1.1\r\nContent-Length: 2\r\n"
                        "content-type: application/json\r\n\r\n{}"
                        "GET /stream/%31.mp3 HTTP/1.1\r\nIcy-MetaData: 1\r\n\r\nGET /";
    VCDevHttpRequest first, second, third;
    int status = 0;
    QCOMPARE(parser.parse(buffer, &first, &status), VCDevHttpParser::Complete);
    QCOMPARE(first.method, QByteArray("POST"));
    QCOMPARE(first.path, QStringLiteral("/api/player/logout"));
    QCOMPARE(first.query.queryItemValue(QStringLiteral("x")), QStringLiteral("1"));
    QCOMPARE(first.header("Content-Type"), QByteArray("application/json"));
    QCOMPARE(first.body, QByteArray("{}"));
    QCOMPARE(parser.parse(buffer, &second, &status), VCDevHttpParser::Complete);
    QCOMPARE(second.path, QStringLiteral("/stream/1.mp3")); // decoded
    QCOMPARE(second.header("icy-metadata"), QByteArray("1"));
    QCOMPARE(parser.parse(buffer, &third, &status), VCDevHttpParser::NeedMore);
    QCOMPARE(buffer, QByteArray("GET /"));
}

void TestVCDevHttpParser::bodyLimitBeforeBodyArrives()
{
    // A declared body above the limit is refused at once, not after it has been buffered.
    VCDevHttpParser parser(100);
    QByteArray buffer = "POST / HTTP/1.1\r\nContent-Length: 101\r\n\r\n";
    VCDevHttpRequest request;
    int status = 0;
    QCOMPARE(parser.parse(buffer, &request, &status), VCDevHttpParser::Failed);
    QCOMPARE(status, 413);
}

void TestVCDevHttpParser::keepAlive_data()
{
    QTest::addColumn<QByteArray>("version");
    QTest::addColumn<QByteArray>("connection");
    QTest::addColumn<bool>("keepAlive");
    QTest::newRow("1.1 default") << QByteArray("HTTP/1.1") << QByteArray() << true;
    QTest::newRow("1.1 close") << QByteArray("HTTP/1.1") << QByteArray("Close") << false;
    QTest::newRow("1.0 default") << QByteArray("HTTP/1.0") << QByteArray() << false;
    QTest::newRow("1.0 keep-alive") << QByteArray("HTTP/1.0") << QByteArray("Keep-Alive") << true;
}

void TestVCDevHttpParser::keepAlive()
{
    QFETCH(QByteArray, version);
    QFETCH(QByteArray, connection);
    QFETCH(bool, keepAlive);
    VCDevHttpRequest request;
    request.version = version;
    if (!connection.isEmpty())
        request.headers.append({QByteArray("Connection"), connection});
    QCOMPARE(request.keepAlive(), keepAlive);
}

QTEST_APPLESS_MAIN(TestVCDevHttpParser)
#include "tst_vcdevhttpparser.moc"
