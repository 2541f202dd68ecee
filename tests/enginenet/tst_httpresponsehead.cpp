#include "httpresponsehead.h"

#include <QTest>

#include <string>

using engine::HttpResponseHead;

Q_DECLARE_METATYPE(std::string)

// The head of an answer, as curl hands it over line by line and as servers of the HTTP/0.9
// kind (ICY) send it at the start of the body, fed in pieces of every size.
class TestHttpResponseHead : public QObject
{
    Q_OBJECT

private slots:
    void lines_data();
    void lines();
    void rawBlock_data();
    void rawBlock();
    void bounds();
};

void TestHttpResponseHead::lines_data()
{
    QTest::addColumn<std::string>("head");
    QTest::addColumn<bool>("complete");
    QTest::addColumn<long>("status");
    QTest::addColumn<qint64>("length");
    QTest::addColumn<qint64>("metaint");

    QTest::newRow("200 with a length")
        << std::string("HTTP/1.1 200 OK\r\nContent-Length: 1234\r\n\r\n") << true << 200L
        << qint64(1234) << qint64(0);
    QTest::newRow("ICY with a metadata interval: no length")
        << std::string("ICY 200 OK\r\nicy-metaint: 16000\r\nContent-Length: 99\r\n\r\n") << true
        << 200L << qint64(-1) << qint64(16000);
    QTest::newRow("partial answer: the whole resource's length")
        << std::string("HTTP/1.1 206 Partial\r\nContent-Range: bytes 100-199/5000\r\n"
                       "Content-Length: 100\r\n\r\n")
        << true << 206L << qint64(5000) << qint64(0);
    QTest::newRow("a redirect is followed by another answer")
        << std::string("HTTP/1.1 302 Found\r\nLocation: /next\r\n\r\n") << false << 302L
        << qint64(-1) << qint64(0);
    QTest::newRow("interim answer, then the final one")
        << std::string("HTTP/1.1 100 Continue\r\n\r\nHTTP/1.1 200 OK\r\n\r\n") << true << 200L
        << qint64(-1) << qint64(0);
    QTest::newRow("a negative length is none")
        << std::string("HTTP/1.0 200 OK\r\nContent-Length: -5\r\n\r\n") << true << 200L
        << qint64(-1) << qint64(0);
}

void TestHttpResponseHead::lines()
{
    QFETCH(std::string, head);
    QFETCH(bool, complete);
    QFETCH(long, status);
    QFETCH(qint64, length);
    QFETCH(qint64, metaint);

    HttpResponseHead response;
    bool sawComplete = false;
    for (size_t at = 0; at < head.size();) {
        const size_t end = head.find('\n', at) + 1;
        const auto result = response.addLine(head.data() + at, end - at);
        QVERIFY(result != HttpResponseHead::Line::Failed);
        sawComplete = result == HttpResponseHead::Line::Complete;
        at = end;
    }
    QCOMPARE(sawComplete, complete);
    QCOMPARE(response.status(), status);
    QCOMPARE(response.length(), length);
    QCOMPARE(response.metaint(), metaint);
}

void TestHttpResponseHead::rawBlock_data()
{
    QTest::addColumn<std::string>("body");
    QTest::addColumn<int>("outcome");
    QTest::addColumn<std::string>("rest");

    const auto complete = int(HttpResponseHead::Raw::Complete);
    QTest::newRow("ICY head, then audio")
        << std::string("ICY 200 OK\r\nicy-name: Demo\r\n\r\nAUDIO") << complete
        << std::string("AUDIO");
    QTest::newRow("bare line ends")
        << std::string("ICY 200 OK\nicy-metaint: 8192\n\nAB") << complete << std::string("AB");
    QTest::newRow("no head at all: the body plays")
        << std::string("\xff\xfb\x90\x64 mp3 frames") << int(HttpResponseHead::Raw::Bare)
        << std::string();
    QTest::newRow("a status line that is not one")
        << std::string("ICY OK\r\n\r\n") << int(HttpResponseHead::Raw::Failed) << std::string();
}

void TestHttpResponseHead::rawBlock()
{
    QFETCH(std::string, body);
    QFETCH(int, outcome);
    QFETCH(std::string, rest);

    // Every piece size from a byte at a time to the whole body at once.
    for (size_t step = 1; step <= body.size(); ++step) {
        HttpResponseHead response;
        std::string after;
        auto result = HttpResponseHead::Raw::More;
        size_t fed = 0;
        while (fed < body.size() && result == HttpResponseHead::Raw::More) {
            const size_t piece = std::min(step, body.size() - fed);
            result = response.addRaw(body.data() + fed, piece, &after);
            fed += piece;
        }
        QCOMPARE(int(result), outcome);
        if (result != HttpResponseHead::Raw::Complete)
            continue;
        QCOMPARE(response.status(), 200L);
        // The body bytes that came with the pieces read so far are handed back.
        const size_t headSize = body.size() - rest.size();
        QCOMPARE(after, body.substr(headSize, fed - headSize));
    }
}

void TestHttpResponseHead::bounds()
{
    // A head that never ends stops at the bound instead of growing.
    HttpResponseHead raw;
    const std::string line = "ICY 200 OK\r\nx-filler: " + std::string(1000, 'a') + "\r\n";
    std::string rest;
    auto result = raw.addRaw(line.data(), line.size(), &rest);
    const std::string filler = "x-more: " + std::string(1000, 'b') + "\r\n";
    for (int i = 0; i < 100 && result == HttpResponseHead::Raw::More; ++i)
        result = raw.addRaw(filler.data(), filler.size(), &rest);
    QCOMPARE(int(result), int(HttpResponseHead::Raw::Failed));

    // Too many header lines through the header callback.
    HttpResponseHead lines;
    QCOMPARE(int(lines.addLine("HTTP/1.1 200 OK\r\n", 17)), int(HttpResponseHead::Line::Taken));
    auto last = HttpResponseHead::Line::Taken;
    for (size_t i = 0;
         i <= HttpResponseHead::MaxLines + 1 && last != HttpResponseHead::Line::Failed; ++i) {
        const std::string header = "x-" + std::to_string(i) + ": 1\r\n";
        last = lines.addLine(header.data(), header.size());
    }
    QCOMPARE(int(last), int(HttpResponseHead::Line::Failed));
    // Body bytes after a status line came through the callback: not HTTP.
    QCOMPARE(int(lines.addRaw("xx", 2, &rest)), int(HttpResponseHead::Raw::Refused));
}

QTEST_GUILESS_MAIN(TestHttpResponseHead)
#include "tst_httpresponsehead.moc"
