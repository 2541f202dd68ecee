// The hub against a private sound server: what an operator hears when the only output goes away
// and comes back. The program's sound is captured from the output's monitor.

#include "testsoundmonitor.h"
#include "testsoundserver.h"
#include "tonesamples.h"
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

// The median level of the last half second that the monitor captured; 0 before that.
double recentLevel(TestSoundMonitor &monitor)
{
    monitor.read();
    return monitor.capturedSeconds() < 0.5 ? 0 : monitor.level(0.5);
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
    TestSoundServer m_server{m_daemonDir.path()};
    QString m_previousDir;
};

void TestHubDevices::initTestCase()
{
    qputenv("VELLACAST_SERVICE_URL", "http://127.0.0.1:9");
    QVERIFY(m_dir.isValid() && m_daemonDir.isValid());
    m_previousDir = QDir::currentPath();
    QVERIFY(QDir::setCurrent(m_dir.path()));
    QVERIFY(writeToneWav(QStringLiteral("tone.wav"), 60));

    if (QString error; !m_server.start(&error))
        QSKIP(qPrintable(error));
}

void TestHubDevices::cleanupTestCase()
{
    QDir::setCurrent(m_previousDir);
    m_server.stop();
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
        TestSoundMonitor monitor;
        QVERIFY(monitor.start());
        QTRY_VERIFY_WITH_TIMEOUT(TestSoundMonitor::isTone(recentLevel(monitor)), 10000);
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
    TestSoundMonitor monitor;
    QVERIFY(monitor.start());
    QTRY_VERIFY_WITH_TIMEOUT(TestSoundMonitor::isTone(recentLevel(monitor)), 6000);
    qInfo() << "Tone heard again" << back.elapsed() << "ms after the output came back";
    QVERIFY(log.contains(QRegularExpression("Output device appeared, restarting on the default "
                                            "device$")));
    QTRY_VERIFY(!hub.isOutputDeviceMissing());
    QVERIFY(BASS_GetDevice() != 0);
}

QTEST_MAIN(TestHubDevices)
#include "tst_vchubdevices.moc"
