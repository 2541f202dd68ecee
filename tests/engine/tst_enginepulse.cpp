// The real-device path: a private sound server with a null output, started by the test. The
// engine plays a tone to it and the output's monitor is captured with parec.

#include "enginetestutil.h"
#include "testsoundmonitor.h"
#include "testsoundserver.h"

#include <bass.h>

#include <QFile>
#include <QProcess>
#include <QTest>

#include <algorithm>
#include <cmath>
#include <vector>

using namespace enginetest;

class tst_EnginePulse : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();

    void defaultFallsBackToNoSoundWithoutServer();
    void listsTheServersOutputs();
    void listFollowsOutputsThatComeAndGo();
    void toneArrivesAtTheOutput_data();
    void toneArrivesAtTheOutput();
    void unpluggedOutputFailsOverToTheStandIn();

private:
    QTemporaryDir m_dir;
    QTemporaryDir m_daemonDir;
    TestSoundServer m_sound{m_daemonDir.path()};
    QString m_server;
    QByteArray m_wav;
};

void tst_EnginePulse::initTestCase()
{
    const QString wav = writeToneWav(m_dir, QStringLiteral("tone.wav"), 5);
    QVERIFY(!wav.isEmpty());
    m_wav = QFile::encodeName(wav);
    QVERIFY(m_daemonDir.isValid());
}

void tst_EnginePulse::cleanupTestCase()
{
    BASS_Free();
    m_sound.stop();
}

void tst_EnginePulse::defaultFallsBackToNoSoundWithoutServer()
{
    // Before the server runs: nowhere to connect.
    qputenv("PULSE_SERVER", "unix:/nonexistent/native");
    QVERIFY(BASS_Init(-1, 44100, 0, nullptr, nullptr));
    QCOMPARE(BASS_GetDevice(), DWORD(0));
    BASS_DEVICEINFO info{};
    QVERIFY(BASS_GetDeviceInfo(0, &info));
    QCOMPARE(QByteArray(info.name), QByteArray("No sound"));
    QVERIFY(info.flags & BASS_DEVICE_DEFAULT);
    QVERIFY(!BASS_GetDeviceInfo(1, &info));
    QVERIFY(BASS_Free());

    if (QString error; !m_sound.start(&error))
        QSKIP(qPrintable(error));
    m_server = m_sound.address();
    QTest::qWait(600); // the device list is cached for half a second
}

void tst_EnginePulse::listsTheServersOutputs()
{
    if (m_server.isEmpty())
        QSKIP("no sound server");
    QStringList names;
    BASS_DEVICEINFO info{};
    for (DWORD d = 0; BASS_GetDeviceInfo(d, &info); ++d) {
        names << QString::fromUtf8(info.name);
        if (d == 1)
            QVERIFY(info.flags & BASS_DEVICE_DEFAULT);
    }
    QCOMPARE(names.value(0), QStringLiteral("No sound"));
    QCOMPARE(names.value(1), QStringLiteral("Default"));
    QVERIFY2(names.contains(QStringLiteral("VirtualSink")), qPrintable(names.join(',')));
}

namespace {
QStringList outputNames()
{
    QStringList names;
    BASS_DEVICEINFO info{};
    for (DWORD d = 0; BASS_GetDeviceInfo(d, &info); ++d)
        names << QString::fromUtf8(info.name);
    return names;
}
} // namespace

void tst_EnginePulse::listFollowsOutputsThatComeAndGo()
{
    // The list is kept over one connection that hears of changes: an output plugged in shows,
    // and one taken away goes, each with the others in their places.
    if (m_server.isEmpty())
        QSKIP("no sound server");
    const QStringList before = outputNames();
    QProcess pactl;
    pactl.start(QStringLiteral("pactl"), {"load-module", "module-null-sink", "sink_name=dock",
                                          "sink_properties=device.description=Dock"});
    QVERIFY(pactl.waitForFinished(5000) && pactl.exitCode() == 0);
    const QString module = QString::fromLocal8Bit(pactl.readAllStandardOutput()).trimmed();
    QTRY_COMPARE_WITH_TIMEOUT(outputNames(), before + QStringList{QStringLiteral("Dock")}, 5000);
    QCOMPARE(QProcess::execute(QStringLiteral("pactl"), {"unload-module", module}), 0);
    QTRY_COMPARE_WITH_TIMEOUT(outputNames(), before, 5000);
}

void tst_EnginePulse::toneArrivesAtTheOutput_data()
{
    QTest::addColumn<int>("device");
    QTest::newRow("default (-1)") << -1;
    QTest::newRow("the null output by number") << 2;
}

void tst_EnginePulse::toneArrivesAtTheOutput()
{
    QFETCH(int, device);
    if (m_server.isEmpty())
        QSKIP("no sound server");
    QVERIFY(BASS_Init(device, 44100, 0, nullptr, nullptr));
    QCOMPARE(BASS_GetDevice(), DWORD(device == -1 ? 1 : device));

    TestSoundMonitor monitor;
    QVERIFY(monitor.start());
    const HSTREAM h = BASS_StreamCreateFile(FALSE, m_wav.constData(), 0, 0, 0);
    QVERIFY(h);
    QVERIFY(BASS_ChannelPlay(h, FALSE));
    QTRY_VERIFY_WITH_TIMEOUT(seconds(h) > 1.5, 5000);
    monitor.read();
    QVERIFY(BASS_Free());

    // The tone at its own level in the last second captured.
    QVERIFY2(monitor.capturedSeconds() > 0.5,
             qPrintable(QString::number(monitor.capturedSeconds())));
    const double rms = monitor.level(1.0);
    QVERIFY2(std::fabs(rms - 0.3536) < 0.03, qPrintable(QString::number(rms)));
}

void tst_EnginePulse::unpluggedOutputFailsOverToTheStandIn()
{
    if (m_server.isEmpty())
        QSKIP("no sound server");
    QProcess pactl;
    pactl.start(QStringLiteral("pactl"), {"load-module", "module-null-sink", "sink_name=usb",
                                          "sink_properties=device.description=USB"});
    QVERIFY(pactl.waitForFinished(5000) && pactl.exitCode() == 0);
    const QString module = QString::fromLocal8Bit(pactl.readAllStandardOutput()).trimmed();
    QTest::qWait(600); // past the device list cache
    int device = -1;
    BASS_DEVICEINFO info{};
    for (DWORD d = 0; BASS_GetDeviceInfo(d, &info); ++d) {
        if (QByteArray(info.name) == "USB")
            device = int(d);
    }
    QVERIFY(device > 1);
    QVERIFY(BASS_Init(device, 44100, 0, nullptr, nullptr));
    const HSTREAM h = BASS_StreamCreateFile(FALSE, m_wav.constData(), 0, 0, 0);
    QVERIFY(h);
    SyncRecorder syncs;
    QVERIFY(syncs.attach(h, BASS_SYNC_DEV_FAIL));
    QVERIFY(BASS_ChannelPlay(h, FALSE));
    QTest::qWait(200);

    QCOMPARE(QProcess::execute(QStringLiteral("pactl"), {"unload-module", module}), 0);
    QTRY_COMPARE_WITH_TIMEOUT(syncs.count(BASS_SYNC_DEV_FAIL), 1, 3000);
    // A chosen output is never left for another: its loss is a removal, and says so.
    QCOMPARE(syncs.dataOf(BASS_SYNC_DEV_FAIL), std::vector<DWORD>{BASS_DEVFAIL_REMOVED});
    // The stand-in keeps the channel's clock running.
    const QWORD at = BASS_ChannelGetPosition(h, BASS_POS_BYTE);
    QTRY_VERIFY(BASS_ChannelGetPosition(h, BASS_POS_BYTE) > at + BASS_ChannelSeconds2Bytes(h, 0.2));
    QCOMPARE(BASS_ChannelIsActive(h), DWORD(BASS_ACTIVE_PLAYING));
    QVERIFY(BASS_Free());
}

QTEST_GUILESS_MAIN(tst_EnginePulse)
#include "tst_enginepulse.moc"
