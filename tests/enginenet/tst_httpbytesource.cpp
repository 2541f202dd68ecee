#include "httpbytesource.h"
#include "rawhttpserver.h"

#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryFile>
#include <QTest>

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <mutex>

using engine::HttpByteSource;
using Error = engine::HttpByteSource::Error;
using Request = RawHttpServer::Request;
using Connection = RawHttpServer::Connection;

Q_DECLARE_METATYPE(engine::HttpByteSource::Error)

namespace {

std::string pattern(size_t size, size_t from = 0)
{
    std::string s(size, '\0');
    for (size_t i = 0; i < size; ++i)
        s[i] = static_cast<char>(((from + i) * 7 + (from + i) / 251) & 0xFF);
    return s;
}

struct IcyBody
{
    std::string wire;
    std::string audio;
    std::vector<std::pair<std::string, int64_t>> metas;
};

IcyBody icyBody(int64_t metaint, int intervals)
{
    IcyBody b;
    b.audio = pattern(static_cast<size_t>(metaint * intervals));
    for (int i = 0; i < intervals; ++i) {
        b.wire += b.audio.substr(static_cast<size_t>(metaint * i), static_cast<size_t>(metaint));
        if (i % 3 == 2) {
            b.wire.push_back('\0');
            continue;
        }
        const std::string text = "StreamTitle='Title " + std::to_string(i) + "';";
        std::string block = text;
        block.resize((text.size() + 15) / 16 * 16, '\0');
        b.wire.push_back(static_cast<char>(block.size() / 16));
        b.wire += block;
        b.metas.emplace_back(text, metaint * (i + 1));
    }
    return b;
}

// Reads until the end; returns false on a read error or after `timeoutMs`.
bool readAll(HttpByteSource &s, std::string &out, int timeoutMs = 5000)
{
    QElapsedTimer t;
    t.start();
    uint8_t buf[7000];
    while (t.elapsed() < timeoutMs) {
        const int64_t n = s.read(buf, sizeof buf);
        if (n < 0)
            return false;
        if (n == 0)
            return true;
        out.append(reinterpret_cast<const char *>(buf), static_cast<size_t>(n));
    }
    return false;
}

HttpByteSource::Options quick()
{
    HttpByteSource::Options o;
    o.connectTimeoutMs = 2000;
    o.readTimeoutMs = 2000;
    return o;
}

void serveBody(Connection &c, const std::string &status, const std::string &headers,
               const std::string &body)
{
    c.send(status + "\r\n" + headers + "Content-Length: " + std::to_string(body.size()) +
           "\r\n\r\n");
    c.send(body);
}

uint16_t closedPort()
{
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof a);
    socklen_t len = sizeof a;
    ::getsockname(fd, reinterpret_cast<sockaddr *>(&a), &len);
    ::close(fd);
    return ntohs(a.sin_port);
}

} // namespace

class TestHttpByteSource : public QObject
{
    Q_OBJECT

private slots:
    void icyStream_data()
    {
        QTest::addColumn<QString>("statusLine");
        QTest::addColumn<int>("metaint");
        QTest::addColumn<int>("piece");
        QTest::newRow("ICY 200 OK, odd pieces") << "ICY 200 OK" << 1000 << 333;
        QTest::newRow("HTTP/1.0, metaint 7") << "HTTP/1.0 200 OK" << 7 << 5;
        QTest::newRow("HTTP/1.1, metaint 16000") << "HTTP/1.1 200 OK" << 16000 << 4097;
    }

    void icyStream()
    {
        QFETCH(QString, statusLine);
        QFETCH(int, metaint);
        QFETCH(int, piece);
        const IcyBody body = icyBody(metaint, 9);
        RawHttpServer server([&](const Request &, Connection &c) {
            c.send(statusLine.toStdString() + "\r\nicy-metaint: " + std::to_string(metaint) +
                   "\r\nContent-Type: audio/mpeg\r\nicy-name: Test FM\r\n\r\n");
            c.sendPaced(body.wire, static_cast<size_t>(piece), 1);
        });
        std::mutex m;
        std::string downloaded;
        bool endCall = false;
        std::vector<std::pair<std::string, int64_t>> metas;
        HttpByteSource s(
            server.url("/live"), 0, quick(),
            [&](const uint8_t *d, size_t n) {
                std::lock_guard lock(m);
                if (!d)
                    endCall = true;
                else
                    downloaded.append(reinterpret_cast<const char *>(d), n);
            },
            [&](const std::string &t, int64_t at) {
                std::lock_guard lock(m);
                metas.emplace_back(t, at);
            });
        QCOMPARE(s.open(), Error::None);
        QCOMPARE(s.contentType(), std::string("audio/mpeg"));
        QCOMPARE(s.header("ICY-Name"), std::string("Test FM"));
        QCOMPARE(s.length(), int64_t(-1));
        std::string audio;
        QVERIFY(readAll(s, audio));
        QVERIFY(audio == body.audio);
        QCOMPARE(s.error(), Error::None);
        QCOMPARE(s.position(), static_cast<int64_t>(body.audio.size()));
        std::lock_guard lock(m);
        QVERIFY(downloaded == body.audio);
        QVERIFY(endCall);
        QCOMPARE(metas, body.metas);
        QCOMPARE(s.meta(), body.metas.back().first);
    }

    void requestHeaders_data()
    {
        QTest::addColumn<QString>("suffix");
        QTest::addColumn<QString>("agent");
        QTest::addColumn<QStringList>("expected"); // name=value, "name=" for absent
        QTest::newRow("configured agent")
            << "\r\n"
            << "VellacastTest/1"
            << QStringList{"user-agent=VellacastTest/1", "icy-metadata=1", "referer="};
        QTest::newRow("agent line overrides")
            << "\r\nUser-Agent: Line/2\r\nReferer: http://ref/\r\nAuthorization: Basic dTpw\r\n"
            << "VellacastTest/1"
            << QStringList{"user-agent=Line/2", "referer=http://ref/", "authorization=Basic dTpw",
                           "icy-metadata=1"};
        QTest::newRow("own icy line kept") << "\r\nIcy-MetaData: 0\r\n"
                                           << "" << QStringList{"icy-metadata=0"};
        QTest::newRow("broken lines dropped") << "\r\nNoColonHere\r\nX-Ok: yes\r\n"
                                              << "" << QStringList{"x-ok=yes", "nocolonhere="};
    }

    void requestHeaders()
    {
        QFETCH(QString, suffix);
        QFETCH(QString, agent);
        QFETCH(QStringList, expected);
        RawHttpServer server([](const Request &, Connection &c) {
            serveBody(c, "HTTP/1.1 200 OK", "Content-Type: audio/aac\r\n", pattern(100));
        });
        auto o = quick();
        o.agent = agent.toStdString();
        HttpByteSource s(server.url("/a?x=1") + suffix.toStdString(), 0, o);
        QCOMPARE(s.open(), Error::None);
        std::string audio;
        QVERIFY(readAll(s, audio));
        QCOMPARE(audio, pattern(100));
        const auto reqs = server.requests();
        QCOMPARE(reqs.size(), size_t(1));
        QCOMPARE(reqs[0].target, std::string("/a?x=1"));
        for (const QString &e : expected) {
            const QString name = e.section('=', 0, 0);
            const QString value = e.section('=', 1);
            auto it = reqs[0].headers.find(name.toStdString());
            if (value.isEmpty())
                QVERIFY2(it == reqs[0].headers.end(), qPrintable(name));
            else
                QCOMPARE(QString::fromStdString(it == reqs[0].headers.end() ? "" : it->second),
                         value);
        }
    }

    void range_data()
    {
        QTest::addColumn<bool>("honour");
        QTest::newRow("206 partial content") << true;
        QTest::newRow("server ignores the range") << false;
    }

    void range()
    {
        QFETCH(bool, honour);
        const std::string file = pattern(50000);
        RawHttpServer server([&](const Request &r, Connection &c) {
            auto it = r.headers.find("range");
            if (honour && it != r.headers.end()) {
                const size_t from = std::stoul(it->second.substr(6));
                serveBody(c, "HTTP/1.1 206 Partial Content",
                          "Content-Range: bytes " + std::to_string(from) + "-49999/50000\r\n",
                          file.substr(from));
            } else {
                serveBody(c, "HTTP/1.1 200 OK", "", file);
            }
        });
        auto o = quick();
        o.keepWholeBytes = 50000 - 12345; // exactly the rest of the file
        HttpByteSource s(server.url("/file.mp3"), 12345, o);
        QCOMPARE(s.open(), Error::None);
        QCOMPARE(server.requests().at(0).headers.at("range"), std::string("bytes=12345-"));
        QCOMPARE(s.position(), int64_t(12345));
        QCOMPARE(s.length(), int64_t(50000));
        QVERIFY(s.keepsWhole());
        std::string audio;
        QVERIFY(readAll(s, audio));
        QVERIFY(audio == file.substr(12345));
        QCOMPARE(s.available(), int64_t(50000));
        // Everything from the offset stays; nothing before it was kept.
        QVERIFY(s.seek(12345));
        QVERIFY(!s.seek(12344));
    }

    void redirects_data()
    {
        QTest::addColumn<bool>("tlsFirst");
        QTest::addColumn<bool>("tlsTarget");
        QTest::addColumn<Error>("expected");
        QTest::newRow("http to http") << false << false << Error::None;
        QTest::newRow("http to https") << false << true << Error::None;
        QTest::newRow("https to https") << true << true << Error::None;
        QTest::newRow("https to http refused") << true << false << Error::FileOpen;
    }

    void redirects()
    {
        QFETCH(bool, tlsFirst);
        QFETCH(bool, tlsTarget);
        QFETCH(Error, expected);
        RawHttpServer target(
            [](const Request &, Connection &c) {
                serveBody(c, "HTTP/1.1 200 OK", "", pattern(3000));
            },
            tlsTarget);
        RawHttpServer first(
            [&](const Request &, Connection &c) {
                c.send("HTTP/1.1 302 Found\r\nLocation: " + target.url("/moved") +
                       "\r\nContent-Length: 0\r\n\r\n");
            },
            tlsFirst);
        auto o = quick();
        // Both servers' certificates in one trust file.
        QTemporaryFile trust;
        QVERIFY(trust.open());
        for (auto *srv : {&first, &target}) {
            if (srv->certificateFile().empty())
                continue;
            QFile f(QString::fromStdString(srv->certificateFile()));
            if (f.open(QIODevice::ReadOnly))
                trust.write(f.readAll());
        }
        trust.flush();
        o.caFile = trust.fileName().toStdString();
        HttpByteSource s(first.url("/start") + "\r\nAuthorization: Basic c2VjcmV0\r\n", 0, o);
        QCOMPARE(s.open(), expected);
        if (expected == Error::None) {
            std::string audio;
            QVERIFY(readAll(s, audio));
            QVERIFY(audio == pattern(3000));
            QCOMPARE(target.requests().at(0).target, std::string("/moved"));
            // Credentials do not travel to another host:port.
            QVERIFY(!target.requests().at(0).headers.count("authorization"));
        } else {
            QVERIFY(target.requests().empty());
        }
    }

    void tlsVerified()
    {
        RawHttpServer server(
            [](const Request &, Connection &c) {
                serveBody(c, "HTTP/1.1 200 OK", "", pattern(10));
            },
            true);
        {
            HttpByteSource s(server.url("/"), 0, quick());
            QCOMPARE(s.open(), Error::Ssl);
        }
        auto o = quick();
        o.caFile = server.certificateFile();
        HttpByteSource s(server.url("/"), 0, o);
        QCOMPARE(s.open(), Error::None);
    }

    void failures_data()
    {
        QTest::addColumn<QString>("kind");
        QTest::addColumn<bool>("playlists");
        QTest::addColumn<Error>("expected");
        QTest::newRow("404") << "404" << false << Error::FileOpen;
        QTest::newRow("500") << "500" << false << Error::FileOpen;
        QTest::newRow("connection refused") << "refused" << false << Error::NoNet;
        QTest::newRow("no answer") << "blackhole" << false << Error::Timeout;
        QTest::newRow("closed without answer") << "close" << false << Error::FileOpen;
        QTest::newRow("endless header block") << "bigheaders" << false << Error::FileOpen;
        QTest::newRow("endless ICY header block") << "bigicy" << false << Error::FileOpen;
        QTest::newRow("redirect loop") << "loop" << false << Error::FileOpen;
        QTest::newRow("oversize playlist") << "bigplaylist" << true << Error::FileForm;
        QTest::newRow("empty playlist") << "emptyplaylist" << true << Error::FileForm;
        QTest::newRow("hls playlist") << "hls" << true << Error::FileForm;
        QTest::newRow("unsupported scheme") << "ftp" << false << Error::FileOpen;
    }

    void failures()
    {
        QFETCH(QString, kind);
        QFETCH(bool, playlists);
        QFETCH(Error, expected);
        const std::string k = kind.toStdString();
        RawHttpServer server([&](const Request &, Connection &c) {
            if (k == "404")
                serveBody(c, "HTTP/1.1 404 Not Found", "", "nope");
            else if (k == "500")
                serveBody(c, "HTTP/1.1 500 Oops", "", "");
            else if (k == "blackhole")
                c.wait(5000);
            else if (k == "bigheaders") {
                c.send("HTTP/1.1 200 OK\r\n");
                for (int i = 0; i < 5000 && c.send("X-Filler: " + std::string(50, 'a') + "\r\n");)
                    ++i;
            } else if (k == "bigicy") {
                c.send("ICY 200 OK\r\n");
                for (int i = 0; i < 5000 && c.send("icy-x: " + std::string(50, 'a') + "\r\n");)
                    ++i;
            } else if (k == "loop")
                c.send("HTTP/1.1 302 Found\r\nLocation: /again\r\nContent-Length: 0\r\n\r\n");
            else if (k == "bigplaylist") {
                c.send("HTTP/1.1 200 OK\r\nContent-Type: audio/x-mpegurl\r\n\r\n");
                for (int i = 0;
                     i < 5000 && c.send("http://127.0.0.1/" + std::string(50, 'a') + "\n");)
                    ++i;
            } else if (k == "emptyplaylist")
                serveBody(c, "HTTP/1.1 200 OK", "Content-Type: audio/x-scpls\r\n",
                          "[playlist]\nNumberOfEntries=0\n");
            else if (k == "hls")
                serveBody(c, "HTTP/1.1 200 OK", "Content-Type: application/vnd.apple.mpegurl\r\n",
                          "#EXTM3U\n#EXT-X-TARGETDURATION:6\n#EXTINF:6,\nseg1.ts\n");
        });
        std::string url = server.url("/x");
        if (k == "refused")
            url = "http://127.0.0.1:" + std::to_string(closedPort()) + "/";
        if (k == "ftp")
            url = "ftp://127.0.0.1:" + std::to_string(server.port()) + "/";
        auto o = quick();
        o.playlists = playlists;
        o.connectTimeoutMs = 300;
        o.readTimeoutMs = 0;
        QElapsedTimer t;
        t.start();
        HttpByteSource s(url, 0, o);
        QCOMPARE(s.open(), expected);
        QVERIFY(s.finished());
        QVERIFY(t.elapsed() < 3000);
        uint8_t b[16];
        QCOMPARE(s.read(b, sizeof b), int64_t(-1));
    }

    void readTimeoutEndsStream()
    {
        RawHttpServer server([](const Request &, Connection &c) {
            c.send("HTTP/1.1 200 OK\r\nContent-Type: audio/mpeg\r\n\r\n");
            c.send(pattern(1000));
            c.wait(10000);
        });
        auto o = quick();
        o.readTimeoutMs = 300;
        HttpByteSource s(server.url("/"), 0, o);
        QCOMPARE(s.open(), Error::None);
        QElapsedTimer t;
        t.start();
        std::string audio;
        QVERIFY(readAll(s, audio)); // the stream ends normally after the time-out
        QVERIFY(audio == pattern(1000));
        QCOMPARE(s.error(), Error::Timeout);
        QVERIFY2(t.elapsed() >= 250 && t.elapsed() < 1500,
                 qPrintable(QString::number(t.elapsed())));
    }

    void droppedConnectionEndsStream()
    {
        RawHttpServer server([](const Request &, Connection &c) {
            c.send("HTTP/1.1 200 OK\r\nContent-Length: 100000\r\n\r\n");
            c.send(pattern(4000));
        });
        HttpByteSource s(server.url("/"), 0, quick());
        QCOMPARE(s.open(), Error::None);
        std::string audio;
        QVERIFY(readAll(s, audio));
        QVERIFY(audio == pattern(4000));
    }

    void abortFromAnotherThread()
    {
        RawHttpServer server([](const Request &r, Connection &c) {
            if (r.target == "/stall")
                c.send("HTTP/1.1 200 OK\r\n\r\n");
            c.wait(10000);
        });
        auto o = quick();
        o.connectTimeoutMs = 10000;
        o.readTimeoutMs = 10000;
        for (const char *path : {"/stall", "/silent"}) {
            HttpByteSource s(server.url(path), 0, o);
            const bool opening = std::string(path) == "/silent";
            if (!opening)
                QCOMPARE(s.open(), Error::None);
            QElapsedTimer t;
            t.start();
            std::thread killer([&] {
                std::this_thread::sleep_for(std::chrono::milliseconds(100));
                s.abort();
            });
            if (opening) {
                QCOMPARE(s.open(), Error::Aborted);
            } else {
                uint8_t b[100];
                QCOMPARE(s.read(b, sizeof b), int64_t(-1));
            }
            killer.join();
            QVERIFY(t.elapsed() < 1000);
        }
    }

    // A file whose length fits the limit is downloaded to its end without a reader and stays
    // readable anywhere; otherwise the ring bounds the download, which waits for the reader.
    void wholeOrRing_data()
    {
        QTest::addColumn<size_t>("keepWholeBytes");
        QTest::addColumn<bool>("whole");
        constexpr size_t size = 2 * 1024 * 1024;
        QTest::newRow("ring") << size_t(0) << false;
        QTest::newRow("longer than the limit") << size - 1 << false;
        QTest::newRow("kept whole") << size << true;
    }

    void wholeOrRing()
    {
        QFETCH(size_t, keepWholeBytes);
        QFETCH(bool, whole);
        const std::string file = pattern(2 * 1024 * 1024);
        RawHttpServer server(
            [&](const Request &, Connection &c) { serveBody(c, "HTTP/1.1 200 OK", "", file); });
        std::atomic<int64_t> delivered{0};
        auto o = quick();
        o.bufferBytes = HttpByteSource::MinBufferBytes;
        o.keepWholeBytes = keepWholeBytes;
        o.readTimeoutMs = 500; // a paused download must not time out
        HttpByteSource s(server.url("/"), 0, o,
                         [&](const uint8_t *, size_t n) { delivered += int64_t(n); });
        QCOMPARE(s.open(), Error::None);
        QCOMPARE(s.keepsWhole(), whole);
        if (whole) {
            QTRY_COMPARE(delivered.load(), int64_t(file.size()));
            QCOMPARE(s.buffered(), int64_t(file.size()));
        } else {
            QTest::qWait(800);
            QVERIFY(s.buffered() <= int64_t(HttpByteSource::MinBufferBytes));
            const int64_t held = delivered;
            QVERIFY(held <= int64_t(HttpByteSource::MinBufferBytes));
            QTest::qWait(200);
            QCOMPARE(delivered.load(), held);
        }
        std::string audio;
        QVERIFY(readAll(s, audio, 10000));
        QVERIFY(audio == file);
        QCOMPARE(delivered.load(), int64_t(file.size()));
        QCOMPARE(s.error(), Error::None);

        // Back to the start and into the middle: only a download kept whole still has them.
        QCOMPARE(s.seek(0), whole);
        QCOMPARE(s.seek(1000001), whole);
        if (whole) {
            uint8_t b[5000];
            QCOMPARE(s.read(b, sizeof b), int64_t(sizeof b));
            QVERIFY(std::string(reinterpret_cast<const char *>(b), sizeof b) ==
                    file.substr(1000001, sizeof b));
        }
        QVERIFY(!s.seek(int64_t(file.size()) + 1));
    }

    void prebuffer()
    {
        // 30000 bytes in pieces, a pause, 30000 more.
        RawHttpServer server([](const Request &, Connection &c) {
            c.send("HTTP/1.1 200 OK\r\n\r\n");
            const std::string data = pattern(60000);
            c.send(data.substr(0, 30000));
            c.wait(300);
            c.sendPaced(std::string_view(data).substr(30000), 1000, 5);
        });
        auto o = quick();
        o.prebufBytes = 20000;
        HttpByteSource s(server.url("/"), 0, o);
        QCOMPARE(s.open(), Error::None);
        QVERIFY(s.waitPrebuffer());
        QVERIFY(s.available() >= 20000);
        std::string audio;
        uint8_t b[4096];
        // Drain the first part; the read after running dry waits for the prebuffer again.
        while (audio.size() < 30000) {
            const int64_t n = s.read(b, sizeof b);
            QVERIFY(n > 0);
            audio.append(reinterpret_cast<const char *>(b), size_t(n));
        }
        const int64_t n = s.read(b, sizeof b);
        QVERIFY(n > 0);
        QVERIFY2(s.available() >= 50000, qPrintable(QString::number(s.available())));
        QVERIFY(s.underruns() >= 1);
        audio.append(reinterpret_cast<const char *>(b), size_t(n));
        QVERIFY(readAll(s, audio));
        QVERIFY(audio == pattern(60000));
    }

    void playlists_data()
    {
        QTest::addColumn<QString>("path");
        QTest::addColumn<bool>("playlists");
        QTest::addColumn<QString>("played"); // the target that finally streams
        QTest::newRow("pls, first entry missing") << "/list.pls" << true << "/stream";
        QTest::newRow("m3u with relative entry") << "/dir/list.m3u" << true << "/dir/rel.mp3";
        QTest::newRow("playlist mode off") << "/list.pls" << false << "/list.pls";
    }

    void playlists()
    {
        QFETCH(QString, path);
        QFETCH(bool, playlists);
        QFETCH(QString, played);
        std::string base;
        RawHttpServer server([&](const Request &r, Connection &c) {
            if (r.target == "/list.pls")
                serveBody(c, "HTTP/1.1 200 OK", "Content-Type: audio/x-scpls\r\n",
                          "[playlist]\nFile1=" + base + "/missing\nFile2=" + base +
                              "/stream\nFile3=" + base + "/never\n");
            else if (r.target == "/dir/list.m3u")
                serveBody(c, "HTTP/1.1 200 OK", "", "#EXTM3U\n#EXTINF:-1,x\nrel.mp3\n");
            else if (r.target == "/stream" || r.target == "/dir/rel.mp3")
                serveBody(c, "HTTP/1.1 200 OK", "Content-Type: audio/mpeg\r\n", pattern(5000));
            else
                serveBody(c, "HTTP/1.1 404 Not Found", "", "");
        });
        base = server.url("");
        auto o = quick();
        o.playlists = playlists;
        HttpByteSource s(server.url(path.toStdString()), 0, o);
        QCOMPARE(s.open(), Error::None);
        std::string audio;
        QVERIFY(readAll(s, audio));
        const auto reqs = server.requests();
        QCOMPARE(QString::fromStdString(reqs.back().target), played);
        if (played != path) {
            QVERIFY(audio == pattern(5000));
            QCOMPARE(s.contentType(), std::string("audio/mpeg"));
        }
    }

    // The playlist's credentials go to entries on its own server only.
    void playlistCredentials_data()
    {
        QTest::addColumn<bool>("sameServer");
        QTest::newRow("entry on the same server") << true;
        QTest::newRow("entry on another server") << false;
    }

    void playlistCredentials()
    {
        QFETCH(bool, sameServer);
        RawHttpServer other([](const Request &, Connection &c) {
            serveBody(c, "HTTP/1.1 200 OK", "Content-Type: audio/mpeg\r\n", pattern(100));
        });
        std::string entry;
        RawHttpServer server([&](const Request &r, Connection &c) {
            if (r.target == "/list.m3u")
                serveBody(c, "HTTP/1.1 200 OK", "Content-Type: audio/x-mpegurl\r\n", entry + "\n");
            else
                serveBody(c, "HTTP/1.1 200 OK", "Content-Type: audio/mpeg\r\n", pattern(100));
        });
        entry = sameServer ? server.url("/stream") : other.url("/stream");
        auto o = quick();
        o.playlists = true;
        HttpByteSource s(server.url("/list.m3u") + "\r\nAuthorization: Basic dTpw\r\nX-Keep: 1\r\n",
                         0, o);
        QCOMPARE(s.open(), Error::None);
        std::string audio;
        QVERIFY(readAll(s, audio));
        const Request played = sameServer ? server.requests().back() : other.requests().back();
        QCOMPARE(played.target, std::string("/stream"));
        QCOMPARE(played.headers.count("authorization"), size_t(sameServer ? 1 : 0));
        QCOMPARE(played.headers.count("x-keep"), size_t(1));
        QCOMPARE(server.requests().front().headers.count("authorization"), size_t(1));
    }
};

QTEST_GUILESS_MAIN(TestHttpByteSource)
#include "tst_httpbytesource.moc"
