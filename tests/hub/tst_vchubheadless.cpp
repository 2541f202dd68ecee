#include "vcclientuser.h"
#include "vchub.h"
#include "vcsource.h"

#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QSettings>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

// The program's core on its own: a hub in a process without a display connection or any GUI
// library logs in to the demo service, takes its streams and puts one on air.
class TestHubHeadless : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void noDisplayAndNoGuiLibraries();
    void hubPutsTheServiceOnAir();

private:
    QProcess m_service;
    QString m_serviceUrl;
    QTemporaryDir m_dir;
    QString m_previousDir;
};

void TestHubHeadless::initTestCase()
{
    m_service.setProgram(QStringLiteral(VC_DEVSERVICE));
    m_service.setArguments({QStringLiteral("--port"), QStringLiteral("0"),
                            QStringLiteral("--tones"), QStringLiteral("--streams"),
                            QStringLiteral("2")});
    m_service.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    m_service.start();
    QVERIFY2(m_service.waitForStarted(), qPrintable(m_service.errorString()));
    const QRegularExpression listening(QStringLiteral("listening on (http://\\S+)"));
    QString output;
    QTRY_VERIFY_WITH_TIMEOUT((output += QString::fromUtf8(m_service.readAllStandardOutput()),
                              listening.match(output).hasMatch()),
                             60000);
    m_serviceUrl = listening.match(output).captured(1);
    qputenv("VELLACAST_SERVICE_URL", m_serviceUrl.toUtf8());

    m_previousDir = QDir::currentPath();
    QVERIFY(QDir::setCurrent(m_dir.path()));
    QSettings settings(QStringLiteral("vellacast.ini"), QSettings::IniFormat);
    // "No sound": the engine needs no hardware.
    settings.setValue("outputDeviceIndex", 1);
}

void TestHubHeadless::cleanupTestCase()
{
    QDir::setCurrent(m_previousDir);
    m_service.kill();
    m_service.waitForFinished();
}

void TestHubHeadless::noDisplayAndNoGuiLibraries()
{
    for (const char *name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"})
        QVERIFY2(qEnvironmentVariableIsEmpty(name), name);
    QVERIFY(!QCoreApplication::instance()->inherits("QGuiApplication"));
    // Nothing that the core links brings Qt's GUI libraries or a platform plugin into the
    // process. (The system's X libraries may be there: the decoders' and the sound server's
    // libraries link them, without opening a display.)
    QFile maps(QStringLiteral("/proc/self/maps"));
    QVERIFY(maps.open(QIODevice::ReadOnly));
    const QByteArray mapped = maps.readAll();
    for (const char *library : {"libQt6Gui", "libQt6Quick", "libQt6Widgets", "libQt6OpenGL",
                                "libqxcb", "libqoffscreen", "libqwayland"})
        QVERIFY2(!mapped.contains(library), library);
}

void TestHubHeadless::hubPutsTheServiceOnAir()
{
    VCHub hub;
    QSignalSpy onAir(&hub, &VCHub::onAirChanged);
    VCClientUser *client = hub.clientUser();
    client->login(QStringLiteral("demo"), QStringLiteral("demo"));
    QTRY_VERIFY_WITH_TIMEOUT(client->isLoggedIn(), 30000);
    QCOMPARE(client->stationName(), QStringLiteral("Vellacast Demo FM"));
    QTRY_COMPARE_WITH_TIMEOUT(hub.sources()->count(), 2, 10000);

    VCSource *first = hub.sources()->at(0);
    QCOMPARE(first->streamUrl().port(), QUrl(m_serviceUrl).port());
    QTRY_VERIFY_WITH_TIMEOUT(first->isConnected() && first->isActive(), 60000);
    // The first source heard after start is no failover.
    QCOMPARE(onAir.count(), 0);

    client->logout();
    QTRY_VERIFY_WITH_TIMEOUT(!client->isLoggedIn(), 30000);
    QTRY_VERIFY_WITH_TIMEOUT(!first->isConnected(), 30000);
}

QTEST_GUILESS_MAIN(TestHubHeadless)
#include "tst_vchubheadless.moc"
