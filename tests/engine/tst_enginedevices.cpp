// Device events through the engine's test controls: a failed device is replaced by a stand-in
// that keeps time, a format change reopens the output; both reach the channels' syncs.

#include "enginetestutil.h"
#include "textpool.h"

#include <bass.h>
#include <enginetest.h>

#include <QElapsedTimer>
#include <QFile>
#include <QTest>

#include <cmath>
#include <set>

using namespace enginetest;

class tst_EngineDevices : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void controlsNeedAnOpenDevice();
    void failedDeviceKeepsTheClock();
    void formatChange();
    void deviceNamesAreBounded();

private:
    QTemporaryDir m_dir;
    QByteArray m_wav;
};

void tst_EngineDevices::initTestCase()
{
    const QString wav = writeToneWav(m_dir, QStringLiteral("tone.wav"), 3);
    QVERIFY(!wav.isEmpty());
    m_wav = QFile::encodeName(wav);
}

void tst_EngineDevices::init()
{
    if (QByteArray(QTest::currentTestFunction()) != "controlsNeedAnOpenDevice")
        QVERIFY(BASS_Init(0, 44100, 0, nullptr, nullptr));
}

void tst_EngineDevices::cleanup()
{
    BASS_Free();
}

void tst_EngineDevices::controlsNeedAnOpenDevice()
{
    QVERIFY(!EngineTest_FailDevice());
    QCOMPARE(BASS_ErrorGetCode(), BASS_ERROR_INIT);
    QVERIFY(!EngineTest_ChangeDeviceFormat(48000, 2));
    QCOMPARE(BASS_ErrorGetCode(), BASS_ERROR_INIT);
}

void tst_EngineDevices::failedDeviceKeepsTheClock()
{
    const HSTREAM a = BASS_StreamCreateFile(FALSE, m_wav.constData(), 0, 0, 0);
    const HSTREAM b = BASS_StreamCreate(44100, 2, 0, STREAMPROC_PUSH, nullptr);
    QVERIFY(a && b);
    SyncRecorder syncs;
    QVERIFY(syncs.attach(a, BASS_SYNC_DEV_FAIL));
    QVERIFY(syncs.attach(b, BASS_SYNC_DEV_FAIL));
    QVERIFY(syncs.attach(a, BASS_SYNC_DEV_FORMAT));
    QVERIFY(BASS_ChannelPlay(a, FALSE));
    QTRY_VERIFY(seconds(a) > 0.1);

    QVERIFY(EngineTest_FailDevice());
    QTRY_COMPARE(syncs.count(BASS_SYNC_DEV_FAIL), 2);
    std::set<DWORD> channels;
    for (const auto &c : syncs.calls())
        channels.insert(c.channel);
    QCOMPARE(channels, (std::set<DWORD>{a, b}));
    QCOMPARE(syncs.count(BASS_SYNC_DEV_FORMAT), 0);

    // The stand-in keeps playing in real time.
    QCOMPARE(BASS_ChannelIsActive(a), DWORD(BASS_ACTIVE_PLAYING));
    const QString timing = checkPlaysInRealTime(a, 1.0);
    QVERIFY2(timing.isEmpty(), qPrintable(timing));
    QVERIFY(std::fabs(rmsLevel(a) - 0.3536f) < 0.005);
    // A failure of the stand-in itself is nothing new.
    QVERIFY(EngineTest_FailDevice());
    QTest::qWait(50);
    QCOMPARE(syncs.count(BASS_SYNC_DEV_FAIL), 2);
}

void tst_EngineDevices::formatChange()
{
    const HSTREAM a = BASS_StreamCreateFile(FALSE, m_wav.constData(), 0, 0, 0);
    QVERIFY(a);
    SyncRecorder syncs;
    QVERIFY(syncs.attach(a, BASS_SYNC_DEV_FORMAT));
    QVERIFY(syncs.attach(a, BASS_SYNC_DEV_FAIL));
    QVERIFY(BASS_ChannelPlay(a, FALSE));
    QTRY_VERIFY(seconds(a) > 0.1);
    QVERIFY(!EngineTest_ChangeDeviceFormat(10, 2));
    QCOMPARE(BASS_ErrorGetCode(), BASS_ERROR_FORMAT);
    QVERIFY(!EngineTest_ChangeDeviceFormat(48000, 9));
    QCOMPARE(BASS_ErrorGetCode(), BASS_ERROR_FORMAT);

    QVERIFY(EngineTest_ChangeDeviceFormat(48000, 2));
    QTRY_COMPARE(syncs.count(BASS_SYNC_DEV_FORMAT), 1);
    QCOMPARE(syncs.count(BASS_SYNC_DEV_FAIL), 0);
    BASS_INFO info{};
    QVERIFY(BASS_GetInfo(&info));
    QCOMPARE(info.freq, DWORD(48000));
    // The 44100 Hz stream is converted: its own clock still runs in real time.
    const QString timing = checkPlaysInRealTime(a, 1.0);
    QVERIFY2(timing.isEmpty(), qPrintable(timing));
    QVERIFY(std::fabs(rmsLevel(a) - 0.3536f) < 0.005);

    // Down to one output channel: the channel plays on.
    QVERIFY(EngineTest_ChangeDeviceFormat(22050, 1));
    QTRY_COMPARE(syncs.count(BASS_SYNC_DEV_FORMAT), 2);
    QVERIFY(BASS_GetInfo(&info));
    QCOMPARE(info.freq, DWORD(22050));
    const QWORD at = BASS_ChannelGetPosition(a, BASS_POS_BYTE);
    QTRY_VERIFY(BASS_ChannelGetPosition(a, BASS_POS_BYTE) > at + 4 * 4410);
}

// Names of devices that come and go are not kept for ever; those in use keep their address.
void tst_EngineDevices::deviceNamesAreBounded()
{
    BASS_DEVICEINFO first{};
    BASS_DEVICEINFO again{};
    QVERIFY(BASS_GetDeviceInfo(0, &first));
    QVERIFY(BASS_GetDeviceInfo(0, &again));
    QCOMPARE(QByteArray(first.name), QByteArray("No sound"));
    QCOMPARE(again.name, first.name);

    engine::TextPool pool(4);
    const char *inUse = pool.intern("Speakers");
    for (int i = 0; i < 1000; ++i) {
        pool.intern("Headset " + std::to_string(i));
        QCOMPARE(pool.intern("Speakers"), inUse);
    }
    QCOMPARE(pool.size(), std::size_t(4));
}

QTEST_GUILESS_MAIN(tst_EngineDevices)
#include "tst_enginedevices.moc"
