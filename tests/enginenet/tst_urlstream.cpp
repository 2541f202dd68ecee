#include "bass.h"
#include "rawhttpserver.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QTest>

#include <atomic>
#include <cmath>
#include <mutex>

using Request = RawHttpServer::Request;
using Connection = RawHttpServer::Connection;

namespace {

// 128 kbit/s: one second of audio is 16000 bytes of the file.
constexpr int BytesPerSecond = 16000;
constexpr int Metaint = 8000; // a title every half second

struct Events
{
    std::mutex mutex;
    std::vector<std::pair<std::string, double>> metas; // tag text, play position in seconds
    std::vector<std::pair<DWORD, qint64>> stalls;      // data, ms since the start
    std::atomic<int> ends{0};
    std::atomic<qint64> downloaded{0};
    std::atomic<bool> downloadEnded{false};
    std::atomic<HSTREAM> handle{0}; // the download procedure asks this stream for its position
    QElapsedTimer clock;
};

void CALLBACK_meta(HSYNC, DWORD channel, DWORD, void *user)
{
    auto *e = static_cast<Events *>(user);
    const char *tag = BASS_ChannelGetTags(channel, BASS_TAG_META);
    const double pos =
        BASS_ChannelBytes2Seconds(channel, BASS_ChannelGetPosition(channel, BASS_POS_BYTE));
    std::lock_guard lock(e->mutex);
    e->metas.emplace_back(tag ? tag : "", pos);
}

void CALLBACK_stall(HSYNC, DWORD, DWORD data, void *user)
{
    auto *e = static_cast<Events *>(user);
    std::lock_guard lock(e->mutex);
    e->stalls.emplace_back(data, e->clock.elapsed());
}

void CALLBACK_end(HSYNC, DWORD, DWORD, void *user)
{
    static_cast<Events *>(user)->ends++;
}

void CALLBACK_download(const void *buffer, DWORD length, void *user)
{
    auto *e = static_cast<Events *>(user);
    if (!buffer)
        e->downloadEnded = true;
    else
        e->downloaded += length;
    if (const HSTREAM h = e->handle)
        BASS_StreamGetFilePosition(h, BASS_FILEPOS_DOWNLOAD);
}

int threadCount()
{
    return int(QDir("/proc/self/task").entryList(QDir::Dirs | QDir::NoDotAndDotDot).size());
}

std::string title(int i)
{
    return "StreamTitle='Title " + std::to_string(i) + "';";
}

// The file with a metadata block after every Metaint bytes.
std::string icyWire(const std::string &file, size_t audioBytes)
{
    std::string wire;
    for (size_t at = 0, i = 0; at < audioBytes; at += Metaint, ++i) {
        wire += file.substr(at, std::min<size_t>(Metaint, audioBytes - at));
        if (at + Metaint > audioBytes)
            break;
        std::string block = title(int(i) + 1);
        block.resize((block.size() + 15) / 16 * 16, '\0');
        wire.push_back(char(block.size() / 16));
        wire += block;
    }
    return wire;
}

} // namespace

class TestUrlStream : public QObject
{
    Q_OBJECT

private:
    std::string m_mp3;
    std::string m_aac;
    std::unique_ptr<RawHttpServer> m_server;
    std::unique_ptr<RawHttpServer> m_tlsServer;

    void serve(const Request &r, Connection &c)
    {
        const std::string icyHead = "ICY 200 OK\r\nicy-metaint: " + std::to_string(Metaint) +
                                    "\r\nicy-br: 128\r\ncontent-type: audio/mpeg\r\n\r\n";
        const std::string &t = r.target;
        if (t == "/live") {
            // Two seconds at once, then a little faster than real time.
            const std::string wire = icyWire(m_mp3, m_mp3.size());
            c.send(icyHead);
            const size_t burst = 2 * (BytesPerSecond + 40);
            c.send(wire.substr(0, burst));
            c.sendPaced(std::string_view(wire).substr(burst), 1000, 55);
        } else if (t == "/drop") {
            c.send(icyHead);
            c.send(icyWire(m_mp3, BytesPerSecond));
        } else if (t == "/stall") {
            c.send(icyHead);
            c.send(icyWire(m_mp3, BytesPerSecond / 2));
            c.wait(10000);
        } else if (t == "/gap") {
            const std::string wire = icyWire(m_mp3, 3 * BytesPerSecond);
            c.send(icyHead);
            c.send(wire.substr(0, BytesPerSecond / 2));
            c.wait(1200);
            c.send(wire.substr(BytesPerSecond / 2));
        } else if (t == "/blackhole") {
            c.send("HTTP/1.0 200 OK\r\nContent-Type: audio/mpeg\r\n\r\n");
            c.send(m_mp3.substr(0, BytesPerSecond / 2));
            c.wait(10000);
        } else if (t == "/aac") {
            c.send("HTTP/1.1 200 OK\r\nContent-Type: audio/aacp\r\n\r\n");
            c.send(m_aac.substr(0, 16000));
            c.sendPaced(std::string_view(m_aac).substr(16000), 1000, 100);
        } else if (t == "/trickle") {
            // Half the rate that playback needs.
            const std::string wire = icyWire(m_mp3, m_mp3.size());
            c.send(icyHead);
            c.send(wire.substr(0, BytesPerSecond / 2));
            c.sendPaced(std::string_view(wire).substr(BytesPerSecond / 2), 400, 50);
        } else if (t == "/slowstart") {
            // 8000 bytes a second after a first 3000: the prebuffer of 24000 bytes comes after
            // more than 2.5 s, a margin that a loaded machine does not eat up.
            const std::string wire = icyWire(m_mp3, m_mp3.size());
            c.send(icyHead);
            c.send(wire.substr(0, 3000));
            c.sendPaced(std::string_view(wire).substr(3000), 200, 25);
        } else if (t == "/500") {
            c.send("HTTP/1.1 500 Internal Server Error\r\nContent-Length: 0\r\n\r\n");
        } else if (t == "/silent") {
            c.wait(10000);
        } else if (t == "/file.mp3") {
            c.send("HTTP/1.1 200 OK\r\nContent-Type: audio/mpeg\r\nContent-Length: " +
                   std::to_string(fileSize()) + "\r\n\r\n");
            c.send(m_mp3 + m_mp3);
        } else if (t == "/ranged.mp3") {
            const std::string file = m_mp3 + m_mp3;
            const auto range = r.headers.find("range");
            size_t from = 0;
            if (range != r.headers.end() && range->second.rfind("bytes=", 0) == 0)
                from = std::min<size_t>(std::stoul(range->second.substr(6)), file.size());
            c.send("HTTP/1.1 206 Partial Content\r\nContent-Type: audio/mpeg\r\nContent-Range: "
                   "bytes " +
                   std::to_string(from) + "-" + std::to_string(file.size() - 1) + "/" +
                   std::to_string(file.size()) +
                   "\r\nContent-Length: " + std::to_string(file.size() - from) + "\r\n\r\n");
            c.send(std::string_view(file).substr(from));
        } else if (t == "/list.pls") {
            const std::string body =
                "[playlist]\nFile1=/missing\nFile2=" + m_server->url("/file.mp3") +
                "\nNumberOfEntries=2\n";
            c.send("HTTP/1.1 200 OK\r\nContent-Type: audio/x-scpls\r\nContent-Length: " +
                   std::to_string(body.size()) + "\r\n\r\n" + body);
        } else if (t == "/garbage") {
            const std::string body(20000, 'x');
            c.send("HTTP/1.1 200 OK\r\nContent-Type: audio/mpeg\r\nContent-Length: 20000\r\n\r\n" +
                   body);
        } else if (t == "/html") {
            const std::string body = "<html><body>" + std::string(5000, 'a') + "</body></html>";
            c.send("HTTP/1.1 200 OK\r\nContent-Type: text/html\r\nContent-Length: " +
                   std::to_string(body.size()) + "\r\n\r\n" + body);
        } else {
            c.send("HTTP/1.1 404 Not Found\r\nContent-Length: 0\r\n\r\n");
        }
    }

    // Served as a file: longer than the buffers hold.
    size_t fileSize() const { return 2 * m_mp3.size(); }

    static void setSyncs(HSTREAM h, Events &e)
    {
        QVERIFY(BASS_ChannelSetSync(h, BASS_SYNC_META, 0, CALLBACK_meta, &e));
        QVERIFY(BASS_ChannelSetSync(h, BASS_SYNC_STALL, 0, CALLBACK_stall, &e));
        QVERIFY(BASS_ChannelSetSync(h, BASS_SYNC_END, 0, CALLBACK_end, &e));
    }

private slots:
    void initTestCase()
    {
        // 440 Hz at half scale: 6 s of MP3 at 128 kbit/s constant, 3 s of AAC in ADTS frames.
        QFile f(QStringLiteral(VC_TONE_MP3));
        QVERIFY(f.open(QIODevice::ReadOnly));
        const QByteArray data = f.readAll();
        m_mp3.assign(data.constData(), size_t(data.size()));
        QFile a(QStringLiteral(VC_TONE_AAC));
        QVERIFY(a.open(QIODevice::ReadOnly));
        const QByteArray aac = a.readAll();
        m_aac.assign(aac.constData(), size_t(aac.size()));
        m_tlsServer = std::make_unique<RawHttpServer>(
            [this](const Request &r, Connection &c) { serve(r, c); }, true);
        m_server = std::make_unique<RawHttpServer>(
            [this](const Request &r, Connection &c) { serve(r, c); });
        QVERIFY(BASS_Init(0, 44100, 0, nullptr, nullptr));
        QVERIFY(BASS_SetConfig(BASS_CONFIG_NET_READTIMEOUT, 3000));
        QVERIFY(BASS_SetConfig(BASS_CONFIG_NET_TIMEOUT, 2000));
        QVERIFY(BASS_SetConfig(BASS_CONFIG_NET_PREBUF, 10)); // half a second
        QVERIFY(BASS_SetConfig(BASS_CONFIG_NET_PLAYLIST, 2));
    }

    void cleanupTestCase()
    {
        BASS_Free();
        m_server.reset();
        m_tlsServer.reset();
    }

    // Plays, titles arrive in order at play time, the download procedure sees the audio, and a
    // black-holed stream beside it does not make it stall.
    void liveStreamWithTitles()
    {
        Events e, blackholed;
        e.clock.start();
        blackholed.clock.start();
        const HSTREAM h =
            BASS_StreamCreateURL(m_server->url("/live").c_str(), 0, 0, CALLBACK_download, &e);
        QVERIFY2(h, qPrintable(QString::number(BASS_ErrorGetCode())));
        const HSTREAM other =
            BASS_StreamCreateURL(m_server->url("/blackhole").c_str(), 0, 0, nullptr, nullptr);
        QVERIFY(other);
        setSyncs(h, e);
        setSyncs(other, blackholed);
        QVERIFY(BASS_ChannelGetTags(h, BASS_TAG_META) == nullptr);
        BASS_CHANNELINFO info;
        QVERIFY(BASS_ChannelGetInfo(h, &info));
        QCOMPARE(info.freq, DWORD(44100));
        QCOMPARE(info.chans, DWORD(2));
        QCOMPARE(info.ctype, DWORD(BASS_CTYPE_STREAM_MP3));
        QVERIFY(BASS_ChannelPlay(h, FALSE));
        QVERIFY(BASS_ChannelPlay(other, FALSE));
        QTRY_VERIFY_WITH_TIMEOUT(
            [&] {
                std::lock_guard lock(e.mutex);
                return e.metas.size() >= 4;
            }(),
            5000);
        QCOMPARE(BASS_ChannelIsActive(h), DWORD(BASS_ACTIVE_PLAYING));
        float level = 0;
        QVERIFY(BASS_ChannelGetLevelEx(h, &level, 0.02f, BASS_LEVEL_MONO | BASS_LEVEL_RMS));
        QVERIFY2(std::abs(level - 0.354f) < 0.03f, qPrintable(QString::number(level)));

        const QWORD current = BASS_StreamGetFilePosition(h, BASS_FILEPOS_CURRENT);
        const QWORD download = BASS_StreamGetFilePosition(h, BASS_FILEPOS_DOWNLOAD);
        const QWORD buffer = BASS_StreamGetFilePosition(h, BASS_FILEPOS_BUFFER);
        const QWORD end = BASS_StreamGetFilePosition(h, BASS_FILEPOS_END);
        QVERIFY(current > 0 && download >= current);
        QVERIFY(buffer <= download - current + 2000); // read at slightly different moments
        QVERIFY(end >= download);                     // live: what has arrived
        QCOMPARE(BASS_StreamGetFilePosition(h, BASS_FILEPOS_START), QWORD(0));
        QVERIFY(e.downloaded >= qint64(download));
        // Freeing while the download procedure calls into the stream; no calls afterwards.
        e.handle = h;
        QTest::qWait(100);
        QVERIFY(BASS_StreamFree(h));
        QVERIFY(BASS_StreamFree(other));
        const qint64 downloadedAtFree = e.downloaded;
        QTest::qWait(200);
        QCOMPARE(e.downloaded.load(), downloadedAtFree);

        std::lock_guard lock(e.mutex);
        for (size_t i = 0; i < e.metas.size(); ++i) {
            QCOMPARE(QString::fromStdString(e.metas[i].first),
                     QString::fromStdString(title(int(i) + 1)));
            // Title i+1 belongs to the audio from (i+1) half seconds on; the burst delivered
            // it long before.
            const double due = 0.5 * double(i + 1);
            QVERIFY2(e.metas[i].second > due - 0.15 && e.metas[i].second < due + 0.3,
                     qPrintable(QString("title %1 at %2 s").arg(i + 1).arg(e.metas[i].second)));
        }
        QVERIFY(e.stalls.empty());
        std::lock_guard lock2(blackholed.mutex);
        QVERIFY(!blackholed.stalls.empty()); // it did run dry meanwhile
    }

    void droppedConnectionEnds()
    {
        Events e;
        e.clock.start();
        const HSTREAM h =
            BASS_StreamCreateURL(m_server->url("/drop").c_str(), 0, 0, CALLBACK_download, &e);
        QVERIFY(h);
        setSyncs(h, e);
        QVERIFY(BASS_ChannelPlay(h, FALSE));
        QTRY_COMPARE_WITH_TIMEOUT(e.ends.load(), 1, 3000);
        QVERIFY2(e.clock.elapsed() > 800, "played out what was buffered first");
        QCOMPARE(BASS_ChannelIsActive(h), DWORD(BASS_ACTIVE_STOPPED));
        QVERIFY(e.downloadEnded);
        QCOMPARE(e.downloaded.load(), qint64(BytesPerSecond));
        BASS_StreamFree(h);
    }

    void readTimeoutStallsThenEnds()
    {
        QVERIFY(BASS_SetConfig(BASS_CONFIG_NET_READTIMEOUT, 1200));
        Events e;
        e.clock.start();
        const HSTREAM h =
            BASS_StreamCreateURL(m_server->url("/stall").c_str(), 0, 0, nullptr, nullptr);
        BASS_SetConfig(BASS_CONFIG_NET_READTIMEOUT, 3000);
        QVERIFY(h);
        setSyncs(h, e);
        QVERIFY(BASS_ChannelPlay(h, FALSE));
        QTRY_COMPARE_WITH_TIMEOUT(e.ends.load(), 1, 4000);
        std::lock_guard lock(e.mutex);
        QVERIFY(!e.stalls.empty());
        QCOMPARE(e.stalls[0].first, DWORD(0));
        QVERIFY(e.stalls[0].second >= 350 && e.stalls[0].second < 1000); // after half a second
        QVERIFY(e.clock.elapsed() >= 1100);                              // then the time-out
        BASS_StreamFree(h);
    }

    void stallAndResume()
    {
        Events e;
        e.clock.start();
        const HSTREAM h =
            BASS_StreamCreateURL(m_server->url("/gap").c_str(), 0, 0, nullptr, nullptr);
        QVERIFY(h);
        setSyncs(h, e);
        QVERIFY(BASS_ChannelPlay(h, FALSE));
        QTRY_VERIFY_WITH_TIMEOUT(
            [&] {
                std::lock_guard lock(e.mutex);
                return e.stalls.size() >= 2;
            }(),
            4000);
        std::lock_guard lock(e.mutex);
        QCOMPARE(e.stalls[0].first, DWORD(0));
        QCOMPARE(e.stalls[1].first, DWORD(1));
        QVERIFY(e.stalls[1].second - e.stalls[0].second >= 400);
        QCOMPARE(e.ends.load(), 0);
        BASS_StreamFree(h);
    }

    void adtsStream()
    {
        const HSTREAM h =
            BASS_StreamCreateURL(m_server->url("/aac").c_str(), 0, 0, nullptr, nullptr);
        QVERIFY2(h, qPrintable(QString::number(BASS_ErrorGetCode())));
        BASS_CHANNELINFO info;
        QVERIFY(BASS_ChannelGetInfo(h, &info));
        QCOMPARE(info.ctype, DWORD(BASS_CTYPE_STREAM_AAC));
        QVERIFY(BASS_ChannelPlay(h, FALSE));
        // The tone's level once playback has got going (a loaded machine may take a while).
        float level = 0;
        QTRY_VERIFY2_WITH_TIMEOUT(
            BASS_ChannelGetLevelEx(h, &level, 0.02f, BASS_LEVEL_MONO | BASS_LEVEL_RMS) &&
                std::abs(level - 0.354f) < 0.03f,
            qPrintable(QString::number(level)), 5000);
        QVERIFY(BASS_StreamFree(h));
    }

    // A server slower than playback: the channel stalls and resumes by turns, never ends.
    void tricklingServer()
    {
        Events e;
        e.clock.start();
        const HSTREAM h =
            BASS_StreamCreateURL(m_server->url("/trickle").c_str(), 0, 0, nullptr, nullptr);
        QVERIFY(h);
        setSyncs(h, e);
        QVERIFY(BASS_ChannelPlay(h, FALSE));
        QTRY_VERIFY_WITH_TIMEOUT(
            [&] {
                std::lock_guard lock(e.mutex);
                return e.stalls.size() >= 3;
            }(),
            5000);
        QVERIFY(BASS_StreamFree(h));
        std::lock_guard lock(e.mutex);
        for (size_t i = 0; i < e.stalls.size(); ++i)
            QCOMPARE(e.stalls[i].first, DWORD(i % 2));
        QCOMPARE(e.ends.load(), 0);
    }

    // With the wait, creation returns once the prebuffer (here 30 % of the buffer: 24000
    // bytes) has come; without, as soon as the format is known.
    void prebufferWait_data()
    {
        QTest::addColumn<bool>("wait");
        QTest::newRow("wait") << true;
        QTest::newRow("no wait") << false;
    }

    void prebufferWait()
    {
        QFETCH(bool, wait);
        QVERIFY(BASS_SetConfig(BASS_CONFIG_NET_PREBUF_WAIT, wait));
        QVERIFY(BASS_SetConfig(BASS_CONFIG_NET_PREBUF, 30));
        const HSTREAM h =
            BASS_StreamCreateURL(m_server->url("/slowstart").c_str(), 0, 0, nullptr, nullptr);
        const QWORD downloaded = BASS_StreamGetFilePosition(h, BASS_FILEPOS_DOWNLOAD);
        BASS_SetConfig(BASS_CONFIG_NET_PREBUF_WAIT, 1);
        BASS_SetConfig(BASS_CONFIG_NET_PREBUF, 10);
        QVERIFY(h);
        if (wait)
            QVERIFY2(downloaded >= 24000, qPrintable(QString::number(downloaded)));
        else
            QVERIFY2(downloaded < 24000, qPrintable(QString::number(downloaded)));
        QVERIFY(BASS_StreamFree(h));
    }

    void fileAndPlaylist_data()
    {
        QTest::addColumn<QString>("path");
        QTest::addColumn<DWORD>("flags");
        QTest::newRow("file with length") << "/file.mp3" << DWORD(0);
        QTest::newRow("pls playlist") << "/list.pls" << DWORD(0);
        QTest::newRow("file as a block stream") << "/file.mp3" << DWORD(BASS_STREAM_BLOCK);
    }

    // A file of known length is downloaded whole; a block stream keeps only its buffer ahead
    // of the decoder.
    void fileAndPlaylist()
    {
        QFETCH(QString, path);
        QFETCH(DWORD, flags);
        const bool whole = !(flags & BASS_STREAM_BLOCK);
        const HSTREAM h = BASS_StreamCreateURL(m_server->url(path.toStdString()).c_str(), 0, flags,
                                               nullptr, nullptr);
        QVERIFY2(h, qPrintable(QString::number(BASS_ErrorGetCode())));
        QCOMPARE(BASS_StreamGetFilePosition(h, BASS_FILEPOS_END), QWORD(fileSize()));
        const auto filePos = [h](DWORD mode) { return BASS_StreamGetFilePosition(h, mode); };
        if (whole) {
            // Not playing: the download still runs to the end, and all of it counts as buffered.
            QTRY_COMPARE(filePos(BASS_FILEPOS_DOWNLOAD), QWORD(fileSize()));
            QCOMPARE(filePos(BASS_FILEPOS_BUFFER), QWORD(fileSize()));
        } else {
            // Not playing: the download stops when the buffer is full.
            QTest::qWait(300);
            const QWORD download = filePos(BASS_FILEPOS_DOWNLOAD);
            const QWORD current = filePos(BASS_FILEPOS_CURRENT);
            QVERIFY(download < QWORD(fileSize()));
            QCOMPARE(filePos(BASS_FILEPOS_BUFFER), download - current);
            QVERIFY(BASS_ChannelPlay(h, FALSE));
            QTRY_VERIFY(filePos(BASS_FILEPOS_DOWNLOAD) > download);
        }
        QVERIFY(BASS_StreamFree(h));
    }

    // A stream opened at an offset counts its positions and length from there, whether the
    // server honours the range or the engine skips to the offset itself.
    void fromOffset_data()
    {
        QTest::addColumn<QString>("path");
        QTest::newRow("range honoured") << "/ranged.mp3";
        QTest::newRow("range ignored") << "/file.mp3";
    }

    void fromOffset()
    {
        QFETCH(QString, path);
        const HSTREAM whole =
            BASS_StreamCreateURL(m_server->url(path.toStdString()).c_str(), 0, 0, nullptr, nullptr);
        QVERIFY(whole);
        const double wholeSeconds =
            BASS_ChannelBytes2Seconds(whole, BASS_ChannelGetLength(whole, BASS_POS_BYTE));
        QVERIFY(BASS_StreamFree(whole));
        QVERIFY2(qAbs(wholeSeconds - 12) < 0.5, qPrintable(QString::number(wholeSeconds)));

        const DWORD offset = DWORD(fileSize() * 3 / 4);
        const HSTREAM h = BASS_StreamCreateURL(m_server->url(path.toStdString()).c_str(), offset, 0,
                                               nullptr, nullptr);
        QVERIFY2(h, qPrintable(QString::number(BASS_ErrorGetCode())));
        QCOMPARE(BASS_StreamGetFilePosition(h, BASS_FILEPOS_END), QWORD(fileSize() - offset));
        QVERIFY(BASS_StreamGetFilePosition(h, BASS_FILEPOS_CURRENT) < QWORD(fileSize() - offset));
        const double seconds =
            BASS_ChannelBytes2Seconds(h, BASS_ChannelGetLength(h, BASS_POS_BYTE));
        QVERIFY2(qAbs(seconds - 3) < 0.5, qPrintable(QString::number(seconds)));
        QVERIFY(BASS_ChannelPlay(h, FALSE));
        QTRY_COMPARE(BASS_StreamGetFilePosition(h, BASS_FILEPOS_DOWNLOAD),
                     QWORD(fileSize() - offset));
        QVERIFY(BASS_StreamFree(h));
    }

    void failures_data()
    {
        QTest::addColumn<QString>("url");
        QTest::addColumn<int>("error");
        QTest::newRow("404") << "/nothing" << BASS_ERROR_FILEOPEN;
        QTest::newRow("500") << "/500" << BASS_ERROR_FILEOPEN;
        QTest::newRow("untrusted certificate") << "tls:/file.mp3" << BASS_ERROR_SSL;
        QTest::newRow("no answer") << "/silent" << BASS_ERROR_TIMEOUT;
        QTest::newRow("not audio") << "/html" << BASS_ERROR_FILEFORM;
        QTest::newRow("garbage") << "/garbage" << BASS_ERROR_FILEFORM;
        QTest::newRow("refused") << "http://127.0.0.1:1/" << BASS_ERROR_NONET;
        QTest::newRow("not http") << "file:///etc/passwd" << BASS_ERROR_FILEOPEN;
    }

    void failures()
    {
        QFETCH(QString, url);
        QFETCH(int, error);
        std::string u = url.toStdString();
        if (url.startsWith('/'))
            u = m_server->url(u);
        else if (url.startsWith("tls:"))
            u = m_tlsServer->url(u.substr(4));
        // A short connect time-out where the server never answers; elsewhere a long one, which
        // an answer that was understood must not wait out (a loaded machine, or the sanitizers,
        // may take a second or two to probe what came).
        const bool silent = url == "/silent";
        const int timeoutMs = silent ? 300 : 20000;
        BASS_SetConfig(BASS_CONFIG_NET_TIMEOUT, DWORD(timeoutMs));
        const int threadsBefore = threadCount();
        QElapsedTimer t;
        t.start();
        const HSTREAM h = BASS_StreamCreateURL(u.c_str(), 0, 0, nullptr, nullptr);
        const int code = BASS_ErrorGetCode();
        BASS_SetConfig(BASS_CONFIG_NET_TIMEOUT, 2000);
        QCOMPARE(h, HSTREAM(0));
        QCOMPARE(code, error);
        QVERIFY2(t.elapsed() < (silent ? 10 * timeoutMs : timeoutMs / 2),
                 qPrintable(QString::number(t.elapsed())));
        // Nothing of the attempt keeps running (the silent server's own thread waits on).
        QTRY_VERIFY(threadCount() <= threadsBefore + (silent ? 1 : 0));
    }
};

QTEST_GUILESS_MAIN(TestUrlStream)
#include "tst_urlstream.moc"
