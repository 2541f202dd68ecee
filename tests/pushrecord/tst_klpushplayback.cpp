#include "tonesamples.h"

#include <klbass.h>
#include <klplayer.h>
#include <klpushplayback.h>
#include <klpushplaybackdevice.h>

#include <bass.h>

#include <QRegularExpression>
#include <QSignalSpy>
#include <QTest>
#include <QThread>

#include <algorithm>
#include <atomic>
#include <memory>

namespace {

constexpr qint64 limit = 1048576;

float attribute(HSTREAM handle, DWORD which)
{
    float value = -1;
    BASS_ChannelGetAttribute(handle, which, &value);
    return value;
}

// A player on "push:" whose stream has started.
std::unique_ptr<KLPlayer> pushPlayer()
{
    auto player = std::make_unique<KLPlayer>();
    player->setIsUpdatesLevel(true);
    player->play(QUrl(QStringLiteral("push:")));
    const QPointer<KLPushPlaybackDevice> device = player->pushPlaybackDevice();
    if (!QTest::qWaitFor([&] { return device && device->stream() != 0; }, 3000))
        return nullptr;
    return player;
}

} // namespace

class tst_KLPushPlayback : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();

    void deviceOfThePlayer();
    void playsWhatIsWritten_data();
    void playsWhatIsWritten();
    void refusedAccess_data();
    void refusedAccess();
    void wholeFramesOnly_data();
    void wholeFramesOnly();
    void addressChecks_data();
    void addressChecks();
    void limitHolds();
    void pacedWriterLosesNothing_data();
    void pacedWriterLosesNothing();
};

void tst_KLPushPlayback::initTestCase()
{
    KLBass::outputDevice = 0; // "No sound": paced like a real output, heard by nobody
}

void tst_KLPushPlayback::deviceOfThePlayer()
{
    KLPlayer player;
    const QPointer<KLPushPlaybackDevice> device = player.pushPlaybackDevice();
    QVERIFY(device);
    QCOMPARE(device->openMode(), QIODevice::WriteOnly);
    QVERIFY(device->isSequential());
    QCOMPARE(device->stream(), HSTREAM(0));
    QCOMPARE(device->bytesToWrite(), 0);
    QVERIFY(!device->waitForBytesWritten(10));
    QCOMPARE(player.pushPlaybackDevice(), device);
}

void tst_KLPushPlayback::playsWhatIsWritten_data()
{
    QTest::addColumn<double>("amplitude");
    QTest::newRow("half scale") << 0.5;
    QTest::newRow("eighth scale") << 0.125;
    QTest::newRow("silence") << 0.0;
}

void tst_KLPushPlayback::playsWhatIsWritten()
{
    QFETCH(double, amplitude);

    auto player = pushPlayer();
    QVERIFY(player);
    const QPointer<KLPushPlaybackDevice> device = player->pushPlaybackDevice();
    const HSTREAM handle = device->stream();
    QCOMPARE(player->stream(), handle);
    BASS_CHANNELINFO info = {};
    QVERIFY(BASS_ChannelGetInfo(handle, &info));
    QCOMPARE(info.freq, DWORD(44100));
    QCOMPARE(info.chans, DWORD(2));
    QCOMPARE(attribute(handle, BASS_ATTRIB_PUSH_LIMIT), float(limit));
    QCOMPARE(player->currentBitrate(), 0u);

    const QByteArray tone = toneSamples(2, amplitude);
    QCOMPARE(device->write(tone), tone.size());
    QTRY_COMPARE(player->state(), KLPlayerSource::PlayingState);
    // The level follows what was written: amplitude / sqrt(2).
    const double expected = amplitude / std::sqrt(2.0);
    QTRY_VERIFY2_WITH_TIMEOUT(player->position() > 0.3 && qAbs(player->level() - expected) < 0.01,
                              qPrintable(QString::number(player->level())), 3000);
    QTest::qWait(200);
    QVERIFY2(qAbs(player->level() - expected) < 0.01, qPrintable(QString::number(player->level())));
    QVERIFY(device->bytesToWrite() < tone.size());
}

void tst_KLPushPlayback::refusedAccess_data()
{
    QTest::addColumn<bool>("play");
    QTest::addColumn<bool>("stopFirst");
    QTest::addColumn<QByteArray>("data");

    const QByteArray frames = toneSamples(0.1, 0.5);
    QTest::newRow("before play") << false << false << frames;
    QTest::newRow("empty while playing") << true << false << QByteArray();
    QTest::newRow("part of a frame while playing") << true << false << QByteArray(3, '\1');
    QTest::newRow("after stop") << true << true << frames;
}

void tst_KLPushPlayback::refusedAccess()
{
    QFETCH(bool, play);
    QFETCH(bool, stopFirst);
    QFETCH(QByteArray, data);

    std::unique_ptr<KLPlayer> player = play ? pushPlayer() : std::make_unique<KLPlayer>();
    QVERIFY(player);
    const QPointer<KLPushPlaybackDevice> device = player->pushPlaybackDevice();
    if (stopFirst) {
        player->stop();
        QCOMPARE(device->stream(), HSTREAM(0));
    }

    QCOMPARE(device->write(data.constData(), data.size()), -1);
    QCOMPARE(device->bytesToWrite(), 0);

    // Reading never works.
    char buffer[16];
    QTest::ignoreMessage(QtWarningMsg, QRegularExpression("QIODevice::read.*WriteOnly device"));
    QCOMPARE(device->read(buffer, sizeof buffer), -1);

    // Writing works again once the stream runs.
    if (!play || stopFirst) {
        player->play(QUrl(QStringLiteral("push:again")));
        QTRY_VERIFY(device->stream() != 0);
        const QByteArray frames = toneSamples(0.1, 0.5);
        QCOMPARE(device->write(frames), frames.size());
    }
}

void tst_KLPushPlayback::wholeFramesOnly_data()
{
    QTest::addColumn<qint64>("offered");
    QTest::addColumn<qint64>("taken");
    QTest::newRow("one frame") << qint64(4) << qint64(4);
    QTest::newRow("frame and a half") << qint64(6) << qint64(4);
    QTest::newRow("many and a bit") << qint64(4099) << qint64(4096);
}

// Only whole frames are queued, and the count says so: the rest stays with the writer.
void tst_KLPushPlayback::wholeFramesOnly()
{
    QFETCH(qint64, offered);
    QFETCH(qint64, taken);

    auto player = pushPlayer();
    QVERIFY(player);
    const QPointer<KLPushPlaybackDevice> device = player->pushPlaybackDevice();
    QSignalSpy roomSpy(device.data(), &QIODevice::bytesWritten);
    const QByteArray data(offered, '\0');
    QCOMPARE(device->write(data), taken);
    QCOMPARE(device->bytesToWrite() % 4, 0);
    QTest::qWait(3 * KLPushPlaybackDevice::KL_PUSH_ROOM_POLL_MS);
    QCOMPARE(roomSpy.count(), 0);
}

void tst_KLPushPlayback::addressChecks_data()
{
    QTest::addColumn<QUrl>("url");
    QTest::addColumn<QString>("message");
    QTest::newRow("empty") << QUrl() << "Push playback: player stream url is empty";
    QTest::newRow("other scheme") << QUrl("record:0")
                                  << "Push playback: player stream url scheme is not valid";
}

// The back-end checks the address itself, whoever starts it.
void tst_KLPushPlayback::addressChecks()
{
    QFETCH(QUrl, url);
    QFETCH(QString, message);

    KLPlayer player;
    player.setStreamUrl(url);
    KLPushPlayback backend(&player);
    QSignalSpy metaSpy(&backend, &KLPlayback::metaUpdated);
    QTest::ignoreMessage(QtDebugMsg, QRegularExpression(QRegularExpression::escape(message)));
    QCOMPARE(backend.start(), HSTREAM(0));
    QCOMPARE(backend.pushPlaybackDevice()->stream(), HSTREAM(0));
    QCOMPARE(backend.pushPlaybackDevice()->write(toneSamples(0.01, 0.5)), -1);
    backend.stop();
    QCOMPARE(metaSpy.count(), 1);
}

// The queue never holds more than 1 MiB; a full queue takes nothing and says so, and the
// writer hears when there is room again.
void tst_KLPushPlayback::limitHolds()
{
    auto player = pushPlayer();
    QVERIFY(player);
    const QPointer<KLPushPlaybackDevice> device = player->pushPlaybackDevice();
    QSignalSpy roomSpy(device.data(), &QIODevice::bytesWritten);

    const QByteArray twoMiB(2 * limit, '\0');
    QCOMPARE(device->write(twoMiB), limit);
    QVERIFY(device->bytesToWrite() <= limit);
    QVERIFY(device->bytesToWrite() > limit - 44100 * 4);

    // Whatever has drained meanwhile is all that the next write may take, in whole frames.
    const qint64 more = device->write(twoMiB.constData(), 65536);
    QVERIFY(more >= 0 && more < 65536);
    QCOMPARE(more % 4, 0);
    QVERIFY(device->bytesToWrite() <= limit);

    QTRY_VERIFY_WITH_TIMEOUT(roomSpy.count() == 1, 1000);
    QVERIFY(roomSpy.first().first().toLongLong() >= 4);
    QVERIFY(device->write(twoMiB.constData(), 4096) > 0);
    QVERIFY(device->bytesToWrite() <= limit);
    QVERIFY(device->waitForBytesWritten(1000));
}

void tst_KLPushPlayback::pacedWriterLosesNothing_data()
{
    QTest::addColumn<bool>("ownThread");
    QTest::newRow("told by bytesWritten") << false;
    QTest::newRow("waiting on a writer thread") << true;
}

// With a small queue, a tone much longer than the queue goes through piece by piece and the
// stream plays every byte of it.
void tst_KLPushPlayback::pacedWriterLosesNothing()
{
    QFETCH(bool, ownThread);

    auto player = pushPlayer();
    QVERIFY(player);
    player->setIsRestarted(false);
    const QPointer<KLPushPlaybackDevice> device = player->pushPlaybackDevice();
    const HSTREAM handle = device->stream();
    // Still above the 0.2 s that a stalled stream waits for before it plays again.
    constexpr qint64 smallLimit = 65536;
    QVERIFY(BASS_ChannelSetAttribute(handle, BASS_ATTRIB_PUSH_LIMIT, float(smallLimit)));

    const QByteArray tone = toneSamples(1, 0.5);
    std::atomic<qint64> written = 0;
    std::atomic<int> shortWrites = 0;
    std::atomic<bool> failed = false;
    std::atomic<qint64> mostQueued = 0;
    const auto writeSome = [&] {
        while (written < tone.size()) {
            const qint64 chunk = std::min<qint64>(24000, tone.size() - written);
            const qint64 n = device->write(tone.constData() + written, chunk);
            if (n < 0 || n > chunk || n % 4 != 0) {
                failed = true;
                return;
            }
            written += n;
            mostQueued = std::max(mostQueued.load(), device->bytesToWrite());
            if (n < chunk) {
                ++shortWrites;
                return;
            }
        }
    };

    std::unique_ptr<QThread> writer;
    if (ownThread) {
        writer.reset(QThread::create([&] {
            while (!failed && written < tone.size()) {
                writeSome();
                if (written < tone.size() && !device->waitForBytesWritten(2000))
                    failed = true;
            }
        }));
        writer->start();
    } else {
        connect(device.data(), &QIODevice::bytesWritten, this, writeSome);
        writeSome();
    }

    QTRY_VERIFY_WITH_TIMEOUT(failed || written == tone.size(), 5000);
    if (writer)
        QVERIFY(writer->wait(2000));
    QVERIFY(!failed);
    QVERIFY(shortWrites > 0);
    QVERIFY(mostQueued <= smallLimit);

    // Every byte reaches the output: the stream's position comes to the tone's length.
    QTRY_COMPARE_WITH_TIMEOUT(BASS_ChannelGetPosition(handle, BASS_POS_BYTE), QWORD(tone.size()),
                              3000);
    QCOMPARE(device->bytesToWrite(), 0);
}

QTEST_GUILESS_MAIN(tst_KLPushPlayback)
#include "tst_klpushplayback.moc"
