// The hub against a private sound server: what an operator hears when the only output goes away
// and comes back. The program's sound is captured from the output's monitor with parec.

#include "vchub.h"
#include "vcsource.h"

#include <bass.h>

#include <QElapsedTimer>
#include <QFile>
#include <QMutex>
#include <QProcess>
#include <QRegularExpression>
#include <QSettings>
#include <QTemporaryDir>
#include <QTest>

#include <algorithm>
#include <cmath>
#include <vector>

namespace {

// Every log line, from any thread.
class LogLines
{
public:
    LogLines()
    {
        s_current = this;
        m_previous = qInstallMessageHandler(handler);
    }
    ~LogLines()
    {
        qInstallMessageHandler(m_previous);
        s_current = nullptr;
    }
    bool contains(const QRegularExpression &pattern) const
    {
        QMutexLocker locker(&m_mutex);
        return std::any_of(m_lines.cbegin(), m_lines.cend(),
                           [&](const QString &line) { return pattern.match(line).hasMatch(); });
    }

private:
    static void handler(QtMsgType type, const QMessageLogContext &context, const QString &text)
    {
        LogLines *self = s_current;
        if (!self)
            return;
        {
            QMutexLocker locker(&self->m_mutex);
            self->m_lines.append(text);
        }
        if (self->m_previous)
            self->m_previous(type, context, text);
    }

    static inline LogLines *s_current = nullptr;
    QtMessageHandler m_previous = nullptr;
    mutable QMutex m_mutex;
    QStringList m_lines;
};

// What the output's monitor carries: 16-bit stereo at 44100 Hz from parec.
class MonitorCapture
{
public:
    bool start()
    {
        m_process.start(QStringLiteral("parec"),
                        {"--device=vsink.monitor", "--raw", "--format=s16le", "--rate=44100",
                         "--channels=2", "--latency-msec=20"});
        return m_process.waitForStarted();
    }
    ~MonitorCapture()
    {
        m_process.kill();
        m_process.waitForFinished();
    }
    // The median RMS of the 50 ms windows in the last half second captured (0 before that).
    double level()
    {
        m_captured += m_process.readAllStandardOutput();
        constexpr int window = 2205;
        const int frames = int(m_captured.size() / 4);
        if (frames < 2 * 11025)
            return 0;
        const auto *s = reinterpret_cast<const int16_t *>(m_captured.constData());
        std::vector<double> levels;
        for (int start = frames - 22050; start + window <= frames; start += window) {
            double sum = 0;
            for (int i = start; i < start + window; ++i)
                sum += double(s[2 * i]) * s[2 * i] + double(s[2 * i + 1]) * s[2 * i + 1];
            levels.push_back(std::sqrt(sum / (2 * window)) / 32768.0);
        }
        std::sort(levels.begin(), levels.end());
        return levels[levels.size() / 2];
    }

private:
    QProcess m_process;
    QByteArray m_captured;
};

// A sine of amplitude 0.49 (RMS 0.345) at 440 Hz, 16-bit stereo WAV.
bool writeToneFile(const QString &name, int seconds)
{
    const int rate = 44100;
    const quint32 dataSize = quint32(rate * seconds * 4);
    QByteArray wav;
    QDataStream out(&wav, QIODevice::WriteOnly);
    out.setByteOrder(QDataStream::LittleEndian);
    out.writeRawData("RIFF", 4);
    out << quint32(36 + dataSize);
    out.writeRawData("WAVEfmt ", 8);
    out << quint32(16) << quint16(1) << quint16(2) << quint32(rate) << quint32(rate * 4)
        << quint16(4) << quint16(16);
    out.writeRawData("data", 4);
    out << dataSize;
    for (int i = 0; i < rate * seconds; ++i) {
        const auto sample = qint16(16000 * std::sin(2 * M_PI * 440 * i / rate));
        out << sample << sample;
    }
    QFile file(name);
    return file.open(QIODevice::WriteOnly) && file.write(wav) == wav.size();
}

bool isTone(double level)
{
    return std::fabs(level - 0.345) < 0.05;
}

QString pactl(const QStringList &arguments)
{
    QProcess process;
    process.start(QStringLiteral("pactl"), arguments);
    if (!process.waitForFinished(5000) || process.exitCode() != 0)
        return QStringLiteral("FAILED");
    return QString::fromLocal8Bit(process.readAllStandardOutput()).trimmed();
}

} // namespace

class TestHubDevices : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();

    void defaultDeviceComesBackWithItsOutput();

private:
    QTemporaryDir m_dir;
    QTemporaryDir m_daemonDir;
    QString m_previousDir;
    bool m_started = false;
};

void TestHubDevices::initTestCase()
{
    qputenv("VELLACAST_SERVICE_URL", "http://127.0.0.1:9");
    QVERIFY(m_dir.isValid() && m_daemonDir.isValid());
    m_previousDir = QDir::currentPath();
    QVERIFY(QDir::setCurrent(m_dir.path()));
    QVERIFY(writeToneFile(QStringLiteral("tone.wav"), 60));

    QProcess script;
    script.start(QStringLiteral(PULSE_DAEMON_SCRIPT), {"start", m_daemonDir.path()});
    script.waitForFinished(20000);
    m_started = true;
    if (script.exitCode() != 0)
        QSKIP(qPrintable(QStringLiteral("the sound server could not start: ") +
                         QString::fromLocal8Bit(script.readAllStandardError())));
    qputenv("PULSE_SERVER", script.readAllStandardOutput().trimmed());
}

void TestHubDevices::cleanupTestCase()
{
    QDir::setCurrent(m_previousDir);
    if (m_started)
        QProcess::execute(QStringLiteral(PULSE_DAEMON_SCRIPT), {"stop", m_daemonDir.path()});
}

void TestHubDevices::defaultDeviceComesBackWithItsOutput()
{
    {
        QSettings settings(QStringLiteral("vellacast.ini"), QSettings::IniFormat);
        settings.setValue("outputDeviceIndex", 0); // the default device
        settings.beginWriteArray("sources", 1);
        settings.setArrayIndex(0);
        settings.setValue("streamUrl",
                          QUrl::fromLocalFile(QDir::current().absoluteFilePath("tone.wav")));
        settings.endArray();
    }
    LogLines log;
    VCHub hub;
    hub.setRestartDelayForTesting(1500);
    VCSource *source = hub.sources()->at(0);
    source->play();
    {
        MonitorCapture capture;
        QVERIFY(capture.start());
        QTRY_VERIFY_WITH_TIMEOUT(isTone(capture.level()), 10000);
    }
    QVERIFY(!hub.isOutputDeviceMissing());

    // The only output goes away for longer than the restart delay: the restart finds no device
    // and the default device falls back to "No sound".
    const QString module = pactl({"list", "short", "modules"})
                               .split(QLatin1Char('\n'))
                               .filter(QStringLiteral("sink_name=vsink"))
                               .value(0)
                               .section(QLatin1Char('\t'), 0, 0);
    QVERIFY(!module.isEmpty());
    QCOMPARE(pactl({"unload-module", module}), QString());
    QTRY_VERIFY_WITH_TIMEOUT(hub.isOutputDeviceMissing(), 5000);
    QTRY_VERIFY_WITH_TIMEOUT(
        log.contains(QRegularExpression("Device failure \"the output device was removed\"$")),
        5000);
    QTRY_COMPARE_WITH_TIMEOUT(BASS_GetDevice(), DWORD(0), 10000);
    QVERIFY(hub.isOutputDeviceMissing());

    // It comes back: the tone is heard on it again within the device poll interval and a
    // restart, without anyone touching the program.
    QVERIFY(pactl({"load-module", "module-null-sink", "sink_name=vsink", "rate=48000",
                   "sink_properties=device.description=VirtualSink"}) != QStringLiteral("FAILED"));
    QCOMPARE(pactl({"set-default-sink", "vsink"}), QString());
    QElapsedTimer back;
    back.start();
    MonitorCapture capture;
    QVERIFY(capture.start());
    QTRY_VERIFY_WITH_TIMEOUT(isTone(capture.level()), 6000);
    qInfo() << "Tone heard again" << back.elapsed() << "ms after the output came back";
    QVERIFY(log.contains(QRegularExpression("Output device appeared, restarting on the default "
                                            "device$")));
    QTRY_VERIFY(!hub.isOutputDeviceMissing());
    QVERIFY(BASS_GetDevice() != 0);
}

QTEST_MAIN(TestHubDevices)
#include "tst_vchubdevices.moc"
