#include "testsoundserver.h"
#include "tonesamples.h"

#include "bass.h"

#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include <atomic>
#include <cmath>
#include <mutex>

namespace {

struct Capture
{
    std::mutex mutex;
    std::vector<int16_t> samples;
    std::atomic<int> blocks{0};
    std::atomic<int> stopAfter{-1}; // RECORDPROC returns FALSE on this block
    std::atomic<int> failures{0};
    std::atomic<bool> onRecordingThread{true};
};

BOOL CALLBACK_record(HRECORD, const void *buffer, DWORD length, void *user)
{
    auto *c = static_cast<Capture *>(user);
    {
        std::lock_guard lock(c->mutex);
        const auto *s = static_cast<const int16_t *>(buffer);
        c->samples.insert(c->samples.end(), s, s + length / 2);
    }
    const int n = ++c->blocks;
    return c->stopAfter < 0 || n < c->stopAfter;
}

void CALLBACK_fail(HSYNC, DWORD, DWORD, void *user)
{
    static_cast<Capture *>(user)->failures++;
}

double rms(const std::vector<int16_t> &s, size_t from)
{
    double sum = 0;
    for (size_t i = from; i < s.size(); ++i)
        sum += double(s[i]) * s[i];
    return s.size() > from ? std::sqrt(sum / double(s.size() - from)) / 32768.0 : 0;
}

} // namespace

class TestRecording : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir m_dir;
    TestSoundServer m_server{m_dir.path()};

    QString pactl(const QStringList &args)
    {
        QProcess p;
        p.start("pactl", args);
        p.waitForFinished(5000);
        return QString::fromUtf8(p.readAllStandardOutput()).trimmed();
    }

    // Device number of the source whose driver id is `id`, -1 if none.
    static int deviceOf(const char *id, DWORD *flags = nullptr)
    {
        BASS_DEVICEINFO info;
        for (DWORD d = 0; BASS_RecordGetDeviceInfo(d, &info); ++d) {
            if (std::strcmp(info.driver, id) == 0) {
                if (flags)
                    *flags = info.flags;
                return int(d);
            }
        }
        return -1;
    }

private slots:
    void initTestCase()
    {
        QVERIFY(m_dir.isValid());
        if (QString error; !m_server.start(&error))
            QSKIP(qPrintable(error));
    }

    void cleanupTestCase() { m_server.stop(); }

    void enumeration()
    {
        DWORD flags = 0;
        const int mic = deviceOf("vmic", &flags);
        QVERIFY(mic >= 0);
        QCOMPARE(flags & (BASS_DEVICE_ENABLED | BASS_DEVICE_LOOPBACK), DWORD(BASS_DEVICE_ENABLED));
        const int monitor = deviceOf("vsink.monitor", &flags);
        QVERIFY(monitor >= 0);
        QVERIFY(flags & BASS_DEVICE_LOOPBACK);
        QVERIFY(flags & BASS_DEVICE_DEFAULT);
        BASS_DEVICEINFO info;
        QVERIFY(BASS_RecordGetDeviceInfo(DWORD(mic), &info));
        QCOMPARE(QString::fromUtf8(info.name), QString("VirtualMic"));
        QVERIFY(!BASS_RecordGetDeviceInfo(1000, &info));
        QCOMPARE(BASS_ErrorGetCode(), BASS_ERROR_DEVICE);
    }

    // A device that goes away keeps its number, disabled, and gets it back when it returns.
    void listFollowsDevices()
    {
        const QString module = pactl({"load-module", "module-null-source", "source_name=usbmic"});
        QVERIFY(!module.isEmpty());
        int number = -1;
        QTRY_VERIFY((number = deviceOf("usbmic")) >= 0);
        pactl({"unload-module", module});
        DWORD flags = BASS_DEVICE_ENABLED;
        QTRY_VERIFY(deviceOf("usbmic", &flags) == number && !(flags & BASS_DEVICE_ENABLED));
        const QString again = pactl({"load-module", "module-null-source", "source_name=usbmic"});
        QTRY_VERIFY(deviceOf("usbmic", &flags) == number && (flags & BASS_DEVICE_ENABLED));
        pactl({"unload-module", again});
    }

    void initAndInfo()
    {
        const int mic = deviceOf("vmic");
        QVERIFY(!BASS_RecordFree() || true); // nothing chosen on this thread yet
        QVERIFY(!BASS_RecordSetDevice(DWORD(mic)));
        QCOMPARE(BASS_ErrorGetCode(), BASS_ERROR_INIT);
        QVERIFY(BASS_RecordInit(mic));
        QVERIFY(!BASS_RecordInit(mic));
        QCOMPARE(BASS_ErrorGetCode(), BASS_ERROR_ALREADY);
        BASS_DEVICEINFO info;
        QVERIFY(BASS_RecordGetDeviceInfo(DWORD(mic), &info));
        QVERIFY(info.flags & BASS_DEVICE_INIT);
        BASS_RECORDINFO ri;
        QVERIFY(BASS_RecordGetInfo(&ri));
        QCOMPARE(ri.formats >> 24, DWORD(2));
        QVERIFY(ri.freq > 0);
        QVERIFY(BASS_RecordSetDevice(DWORD(mic)));
        QCOMPARE(BASS_RecordGetDevice(), DWORD(mic));
        QVERIFY(BASS_RecordFree());
        QVERIFY(!BASS_RecordFree());
        QCOMPARE(BASS_ErrorGetCode(), BASS_ERROR_INIT);
        QVERIFY(!BASS_RecordInit(5000));
        QCOMPARE(BASS_ErrorGetCode(), BASS_ERROR_DEVICE);
    }

    // A tone played into the null output arrives at its monitor at the level it was played.
    void recordsTone()
    {
        const QString tone = m_dir.filePath("tone.raw");
        QFile file(tone);
        QVERIFY(file.open(QIODevice::WriteOnly));
        QVERIFY(file.write(toneSamples(4, 0.5)) > 0);
        file.close();
        QProcess player;
        player.start("pacat", {"--playback", "--raw", "--format=s16le", "--rate=44100",
                               "--channels=2", "--device=vsink", tone});
        QVERIFY(player.waitForStarted());
        const int monitor = deviceOf("vsink.monitor");
        QVERIFY(BASS_RecordInit(monitor));
        Capture c;
        const HRECORD h = BASS_RecordStart(44100, 2, 0, CALLBACK_record, &c);
        QVERIFY2(h, qPrintable(QString::number(BASS_ErrorGetCode())));
        BASS_CHANNELINFO info;
        QVERIFY(BASS_ChannelGetInfo(h, &info));
        QCOMPARE(info.ctype, DWORD(BASS_CTYPE_RECORD));
        QCOMPARE(BASS_ChannelIsActive(h), DWORD(BASS_ACTIVE_PLAYING));
        // Wait for a second of the tone after its start.
        QTRY_VERIFY_WITH_TIMEOUT(
            [&] {
                std::lock_guard lock(c.mutex);
                return c.samples.size() > 44100 * 2 * 3 / 2 &&
                       rms(c.samples, c.samples.size() - 44100) > 0.2;
            }(),
            5000);
        {
            std::lock_guard lock(c.mutex);
            const double level = rms(c.samples, c.samples.size() - 44100 * 2);
            QVERIFY2(std::abs(level - 0.3536) < 0.03, qPrintable(QString::number(level)));
        }
        QVERIFY(BASS_ChannelFree(h));
        QVERIFY(!BASS_ChannelFree(h));
        QCOMPARE(BASS_ErrorGetCode(), BASS_ERROR_HANDLE);
        const int blocks = c.blocks;
        QTest::qWait(200);
        QCOMPARE(c.blocks.load(), blocks);
        QVERIFY(BASS_RecordFree());
        player.kill();
        player.waitForFinished();
    }

    void recordProcFalseStops()
    {
        QVERIFY(BASS_RecordInit(deviceOf("vmic")));
        Capture c;
        c.stopAfter = 3;
        const HRECORD h = BASS_RecordStart(44100, 1, 0, CALLBACK_record, &c);
        QVERIFY(h);
        QTRY_COMPARE(BASS_ChannelIsActive(h), DWORD(BASS_ACTIVE_STOPPED));
        QTest::qWait(200);
        QCOMPARE(c.blocks.load(), 3);
        BASS_CHANNELINFO info;
        QVERIFY(BASS_ChannelGetInfo(h, &info));
        QCOMPARE(info.chans, DWORD(1));
        QVERIFY(BASS_RecordFree()); // frees the channel too
        QVERIFY(!BASS_ChannelGetInfo(h, &info));
        QCOMPARE(BASS_ErrorGetCode(), BASS_ERROR_HANDLE);
    }

    void unpluggedSourceFails()
    {
        const QString module = pactl({"load-module", "module-null-source", "source_name=usbmic2"});
        int number = -1;
        QTRY_VERIFY((number = deviceOf("usbmic2")) >= 0);
        QVERIFY(BASS_RecordInit(number));
        Capture c;
        const HRECORD h = BASS_RecordStart(44100, 2, 0, CALLBACK_record, &c);
        QVERIFY(h);
        QVERIFY(BASS_ChannelSetSync(h, BASS_SYNC_DEV_FAIL, 0, CALLBACK_fail, &c));
        QTRY_VERIFY(c.blocks > 0);
        pactl({"unload-module", module});
        QTRY_COMPARE_WITH_TIMEOUT(c.failures.load(), 1, 2000);
        QCOMPARE(BASS_ChannelIsActive(h), DWORD(BASS_ACTIVE_STOPPED));
        const int blocks = c.blocks;
        QTest::qWait(200);
        QCOMPARE(c.blocks.load(), blocks);
        QVERIFY(BASS_RecordFree());
        QVERIFY(!BASS_RecordInit(number));
        QCOMPARE(BASS_ErrorGetCode(), BASS_ERROR_DEVICE);
    }

    // An output device that disappears fails its channels.
    void unpluggedOutputFails()
    {
        const QString module = pactl({"load-module", "module-null-sink", "sink_name=usbout",
                                      "sink_properties=device.description=UsbOut"});
        int device = -1;
        QTRY_VERIFY([&] {
            BASS_DEVICEINFO info;
            for (DWORD d = 1; BASS_GetDeviceInfo(d, &info); ++d)
                if (QString::fromUtf8(info.name) == "UsbOut")
                    device = int(d);
            return device > 0;
        }());
        QVERIFY2(BASS_Init(device, 44100, 0, nullptr, nullptr),
                 qPrintable(QString::number(BASS_ErrorGetCode())));
        const HSTREAM s = BASS_StreamCreate(44100, 2, 0, STREAMPROC_PUSH, nullptr);
        QVERIFY(s);
        Capture c;
        QVERIFY(BASS_ChannelSetSync(s, BASS_SYNC_DEV_FAIL, 0, CALLBACK_fail, &c));
        std::vector<int16_t> silence(44100 * 2);
        BASS_StreamPutData(s, silence.data(), DWORD(silence.size() * 2));
        QVERIFY(BASS_ChannelPlay(s, FALSE));
        QTest::qWait(200);
        pactl({"unload-module", module});
        QTRY_COMPARE_WITH_TIMEOUT(c.failures.load(), 1, 2000);
        BASS_Free();
    }

    // The default output goes away: the stream moves to the new default, and when that runs
    // at another rate the mixer follows it.
    void movedOutputChangesFormat()
    {
        const QString a =
            pactl({"load-module", "module-null-sink", "sink_name=out44", "rate=44100"});
        pactl({"set-default-sink", "out44"});
        QVERIFY(BASS_Init(-1, 44100, 0, nullptr, nullptr));
        const HSTREAM s = BASS_StreamCreate(44100, 2, 0, STREAMPROC_PUSH, nullptr);
        QVERIFY(s);
        Capture c;
        QVERIFY(BASS_ChannelSetSync(s, BASS_SYNC_DEV_FORMAT, 0, CALLBACK_fail, &c));
        QVERIFY(BASS_ChannelPlay(s, FALSE));
        const QString b =
            pactl({"load-module", "module-null-sink", "sink_name=out48", "rate=48000"});
        pactl({"set-default-sink", "out48"});
        pactl({"unload-module", a});
        QTRY_COMPARE_WITH_TIMEOUT(c.failures.load(), 1, 3000);
        BASS_INFO info;
        QVERIFY(BASS_GetInfo(&info));
        QCOMPARE(info.freq, DWORD(48000));
        BASS_Free();
        pactl({"set-default-sink", "vsink"});
        pactl({"unload-module", b});
    }
};

QTEST_GUILESS_MAIN(TestRecording)
#include "tst_recording.moc"
