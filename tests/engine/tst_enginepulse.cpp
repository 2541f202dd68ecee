// The real-device path: a private sound server with a null output, started by the test. The
// engine plays a tone to it and the output's monitor is captured with parec.

#include "enginetestutil.h"

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
    void toneArrivesAtTheOutput_data();
    void toneArrivesAtTheOutput();
    void unpluggedOutputFailsOverToTheStandIn();

private:
    QTemporaryDir m_dir;
    QTemporaryDir m_daemonDir;
    QString m_server;
    QByteArray m_wav;
    bool m_started = false;
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
    if (m_started)
        QProcess::execute(QStringLiteral(PULSE_DAEMON_SCRIPT), {"stop", m_daemonDir.path()});
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

    QProcess script;
    script.start(QStringLiteral(PULSE_DAEMON_SCRIPT), {"start", m_daemonDir.path()});
    script.waitForFinished(20000);
    m_started = true;
    if (script.exitCode() != 0)
        QSKIP(qPrintable(QStringLiteral("the sound server could not start: ") +
                         QString::fromLocal8Bit(script.readAllStandardError())));
    m_server = QString::fromLocal8Bit(script.readAllStandardOutput()).trimmed();
    qputenv("PULSE_SERVER", m_server.toLocal8Bit());
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

    QProcess parec;
    parec.start(QStringLiteral("parec"), {"--device=vsink.monitor", "--raw", "--format=s16le",
                                          "--rate=44100", "--channels=2", "--latency-msec=20"});
    QVERIFY(parec.waitForStarted());
    const HSTREAM h = BASS_StreamCreateFile(FALSE, m_wav.constData(), 0, 0, 0);
    QVERIFY(h);
    QVERIFY(BASS_ChannelPlay(h, FALSE));
    QTRY_VERIFY_WITH_TIMEOUT(seconds(h) > 1.5, 5000);
    QByteArray captured;
    captured = parec.readAllStandardOutput();
    parec.kill();
    parec.waitForFinished();
    QVERIFY(BASS_Free());

    // The tone at its own level: the median RMS of the 50 ms windows in the last second
    // captured (a loaded machine may leave a short gap in what the monitor hands over).
    const int frames = int(captured.size() / 4);
    QVERIFY2(frames > 22050, qPrintable(QString::number(frames)));
    const auto *s = reinterpret_cast<const int16_t *>(captured.constData());
    constexpr int window = 2205;
    std::vector<double> levels;
    for (int start = std::max(0, frames - 44100); start + window <= frames; start += window) {
        double sum = 0;
        for (int i = start; i < start + window; ++i)
            sum += double(s[2 * i]) * s[2 * i] + double(s[2 * i + 1]) * s[2 * i + 1];
        levels.push_back(std::sqrt(sum / (2 * window)) / 32768.0);
    }
    std::sort(levels.begin(), levels.end());
    const double rms = levels[levels.size() / 2];
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
