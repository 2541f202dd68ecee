// What ad playback relies on, through the engine's C interface: a sized internet file gets its
// length from Content-Length, position syncs set on a playing stream fire once at their exact
// byte positions (and never after removal), and one stream pauses, resumes and changes its
// volume while another plays on untouched.

#include "bass.h"
#include "rawhttpserver.h"

#include <QFile>
#include <QTest>

#include <mutex>
#include <vector>

namespace {

struct Fired
{
    std::mutex mutex;
    std::vector<std::pair<QWORD, QWORD>> positions; // sync position, play position when fired
    int ends = 0;
};

struct PositionSync
{
    Fired *fired;
    QWORD at;
};

void CALLBACK_position(HSYNC, DWORD channel, DWORD, void *user)
{
    auto *sync = static_cast<PositionSync *>(user);
    const QWORD now = BASS_ChannelGetPosition(channel, BASS_POS_BYTE);
    std::lock_guard lock(sync->fired->mutex);
    sync->fired->positions.emplace_back(sync->at, now);
}

void CALLBACK_end(HSYNC, DWORD, DWORD, void *user)
{
    auto *fired = static_cast<Fired *>(user);
    std::lock_guard lock(fired->mutex);
    ++fired->ends;
}

float volumeOf(HSTREAM h)
{
    float value = -1;
    BASS_ChannelGetAttribute(h, BASS_ATTRIB_VOL, &value);
    return value;
}

} // namespace

class TestAdStream : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        QFile f(QStringLiteral(VC_TONE_MP3)); // 6 s at 128 kbit/s
        QVERIFY(f.open(QIODevice::ReadOnly));
        const QByteArray data = f.readAll();
        m_mp3.assign(data.constData(), size_t(data.size()));
        m_server = std::make_unique<RawHttpServer>(
            [this](const RawHttpServer::Request &, RawHttpServer::Connection &c) {
                c.send("HTTP/1.1 200 OK\r\nContent-Type: audio/mpeg\r\nContent-Length: " +
                       std::to_string(m_mp3.size()) + "\r\nConnection: close\r\n\r\n");
                c.send(m_mp3);
            });
        QVERIFY(BASS_Init(0, 44100, 0, nullptr, nullptr));
    }

    void cleanupTestCase() { BASS_Free(); }

    void adStreamBesideAnother()
    {
        const HSTREAM other = BASS_StreamCreateURL(m_server->url("/other.mp3").c_str(), 0,
                                                   BASS_STREAM_AUTOFREE, nullptr, nullptr);
        const HSTREAM ad = BASS_StreamCreateURL(m_server->url("/ad.mp3").c_str(), 0,
                                                BASS_STREAM_AUTOFREE, nullptr, nullptr);
        QVERIFY(other && ad);
        QVERIFY(BASS_ChannelPlay(other, FALSE));

        const QWORD length = BASS_ChannelGetLength(ad, BASS_POS_BYTE);
        const double seconds = BASS_ChannelBytes2Seconds(ad, length);
        QVERIFY2(qAbs(seconds - 6) < 0.2, qPrintable(QString::number(seconds)));
        const QWORD second = BASS_ChannelSeconds2Bytes(ad, 1.0);
        QCOMPARE(second, QWORD(44100 * 4));
        QCOMPARE(BASS_ChannelBytes2Seconds(ad, BASS_ChannelSeconds2Bytes(ad, 2.5)), 2.5);

        Fired fired;
        QVERIFY(
            BASS_ChannelSetSync(ad, BASS_SYNC_END | BASS_SYNC_ONETIME, 0, CALLBACK_end, &fired));
        QVERIFY(BASS_ChannelPlay(ad, FALSE));
        QTRY_VERIFY(BASS_ChannelGetPosition(ad, BASS_POS_BYTE) > 0);
        // Set on the playing stream, in position order: seconds and a quartile between them, and
        // one removed before it is due.
        std::vector<PositionSync> syncs{
            {&fired, second}, {&fired, length / 4}, {&fired, 2 * second}};
        for (PositionSync &sync : syncs)
            QVERIFY(BASS_ChannelSetSync(ad, BASS_SYNC_POS | BASS_SYNC_ONETIME, sync.at,
                                        CALLBACK_position, &sync));
        PositionSync removed{&fired, 3 * second};
        const HSYNC removedSync = BASS_ChannelSetSync(ad, BASS_SYNC_POS | BASS_SYNC_ONETIME,
                                                      removed.at, CALLBACK_position, &removed);
        QVERIFY(removedSync);
        QVERIFY(BASS_ChannelRemoveSync(ad, removedSync));

        // Pause and resume the ad, with a volume of its own; the other stream plays on.
        QTRY_VERIFY(BASS_ChannelGetPosition(ad, BASS_POS_BYTE) > second / 2);
        QVERIFY(BASS_ChannelPause(ad));
        QCOMPARE(BASS_ChannelIsActive(ad), DWORD(BASS_ACTIVE_PAUSED));
        const QWORD adPaused = BASS_ChannelGetPosition(ad, BASS_POS_BYTE);
        const QWORD otherBefore = BASS_ChannelGetPosition(other, BASS_POS_BYTE);
        QTRY_VERIFY(BASS_ChannelGetPosition(other, BASS_POS_BYTE) > otherBefore + second / 4);
        QCOMPARE(BASS_ChannelGetPosition(ad, BASS_POS_BYTE), adPaused);
        QCOMPARE(BASS_ChannelIsActive(other), DWORD(BASS_ACTIVE_PLAYING));
        QVERIFY(BASS_ChannelSetAttribute(ad, BASS_ATTRIB_VOL, 0.3f));
        QCOMPARE(volumeOf(other), 1.0f);
        QVERIFY(BASS_ChannelPlay(ad, FALSE));

        QTRY_COMPARE_WITH_TIMEOUT(fired.ends, 1, 10000);
        std::lock_guard lock(fired.mutex);
        QCOMPARE(fired.positions.size(), size_t(3));
        for (size_t i = 0; i < syncs.size(); ++i) {
            QCOMPARE(fired.positions[i].first, syncs[i].at); // in position order, once each
            QVERIFY(fired.positions[i].second >= syncs[i].at);
            QVERIFY(fired.positions[i].second < syncs[i].at + second / 4);
        }
        BASS_StreamFree(other);
    }

private:
    std::string m_mp3;
    std::unique_ptr<RawHttpServer> m_server;
};

QTEST_GUILESS_MAIN(TestAdStream)
#include "tst_adstream.moc"
