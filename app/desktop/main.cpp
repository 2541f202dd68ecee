#include "filelogging.h"
#include "vccommandline.h"
#include "vcheadless.h"
#include "vcidentity.h"
#include "vclanguage.h"
#include "vcsettingsfile.h"
#include "vcunixsignalwatcher.h"

#include <QApplication>
#include <QLocale>
#include <QLockFile>
#include <QMessageBox>
#include <QQmlApplicationEngine>
#include <QQuickWindow>
#include <QSettings>
#include <QSystemTrayIcon>
#include <QTranslator>

#include <cstdio>
#include <memory>
#include <optional>

namespace {

// The window is a form with a few level meters. Drawn with the software scene graph, a frame
// repaints only what changed; through OpenGL it is a whole-window frame, which costs a core's
// worth on machines without a graphics card (virtual machines, remote desktops: where backups
// often run) and twice the memory. QT_QUICK_BACKEND or QSG_RHI_BACKEND still choose another.
void chooseSceneGraph()
{
    if (qEnvironmentVariableIsEmpty("QT_QUICK_BACKEND") &&
        qEnvironmentVariableIsEmpty("QSG_RHI_BACKEND")) {
        QQuickWindow::setGraphicsApi(QSGRendererInterface::Software);
    }
}

// What the command line asks for besides running (help or the version): the exit code then,
// nothing when the program is to run.
std::optional<int> answerCommandLine(const VCCommandLine &commandLine)
{
    switch (commandLine.action()) {
    case VCCommandLine::Action::ShowHelp:
    case VCCommandLine::Action::ShowVersion:
        fputs(qPrintable(commandLine.text()), stdout);
        return 0;
    case VCCommandLine::Action::Run:
        break;
    }
    return std::nullopt;
}

void setApplicationNames()
{
    QApplication::setOrganizationName(QString::fromLatin1(VCIdentity::organizationName));
    QApplication::setOrganizationDomain(QString::fromLatin1(VCIdentity::organizationDomain));
    QApplication::setApplicationName(QCoreApplication::translate("main", "Vellacast"));
    QApplication::setApplicationVersion(QString::fromLatin1(VCIdentity::applicationVersion));
}

// One program per working directory, and a tray to live in; the exit code when it cannot run.
std::optional<int> checkCanRun(QLockFile &lockFile)
{
    lockFile.setStaleLockTime(0);
    if (!lockFile.tryLock(100)) {
        QMessageBox box(QMessageBox::Warning, QString(),
                        QCoreApplication::translate(
                            "main", "The application is already running.\n"
                                    "Allowed to run only one instance of the application."));
        box.exec();
        return 1;
    }

    QSettings::setDefaultFormat(QSettings::IniFormat);
    QSettings::setPath(QSettings::IniFormat, QSettings::UserScope, QStringLiteral("."));

    if (!QSystemTrayIcon::isSystemTrayAvailable()) {
        QMessageBox::critical(nullptr, QCoreApplication::translate("main", "Vellacast"),
                              QCoreApplication::translate(
                                  "main", "I couldn't detect any system tray on this system."),
                              QMessageBox::Ok);
        return -1;
    }
    return std::nullopt;
}

void installTranslator(QApplication &app)
{
    const QSettings settings(VCSettingsFile::fileName(), QSettings::IniFormat);
    const VCLanguage language(
        settings.value(QStringLiteral("language"), QStringLiteral("system")).toString(),
        QLocale::system().uiLanguages());
    auto *translator = new QTranslator(&app);
    if (language.load(*translator))
        QApplication::installTranslator(translator);
    else
        translator->deleteLater();
}

// Creating the window makes the engine create the VCHub singleton, which starts everything
// else. --minimized (the login autostart entry) starts the window hidden in the tray.
void loadWindow(QQmlApplicationEngine &engine, bool minimized)
{
    QObject::connect(
        &engine, &QQmlApplicationEngine::objectCreationFailed, QCoreApplication::instance(),
        [] { QCoreApplication::exit(-1); }, Qt::QueuedConnection);
    engine.loadData(minimized ? QByteArrayLiteral("import Vellacast\nVCApplicationWindow { "
                                                  "startMinimized: true }\n")
                              : QByteArrayLiteral("import Vellacast\nVCApplicationWindow {}\n"),
                    QUrl(QStringLiteral("qrc:/qt/qml/Vellacast/main.qml")));
}

} // namespace

int main(int argc, char *argv[])
{
    QStringList arguments;
    for (int i = 0; i < argc; ++i)
        arguments.append(QString::fromLocal8Bit(argv[i]));
    const VCCommandLine commandLine(arguments);
    if (const auto code = answerCommandLine(commandLine))
        return *code;

    installFileLogging(QStringLiteral("vellacast"));
    qWarning() << "--------------------------------------------------";
    qWarning() << "Vellacast" << VCIdentity::applicationVersion << "startup";
    for (const QString &warning : commandLine.warnings())
        qWarning().noquote() << "Command line:" << warning;

    // Without a display: no window, tray or toolkit of the desktop is touched.
    if (!commandLine.loginUsername().isEmpty())
        return VCHeadless::login(argc, argv, commandLine.loginUsername());
    if (commandLine.isHeadless())
        return VCHeadless::run(argc, argv);

    chooseSceneGraph();
    QApplication app(argc, argv);
    setApplicationNames();
    QLockFile lockFile(QStringLiteral("vellacast.lock"));
    if (const auto code = checkCanRun(lockFile))
        return *code;
    QApplication::setQuitOnLastWindowClosed(false);
    installTranslator(app);

    VCUnixSignalWatcher signalWatcher;
    QObject::connect(&signalWatcher, &VCUnixSignalWatcher::terminationRequested, &app,
                     [](int signalNumber) {
                         qInfo() << "Quit on signal" << signalNumber;
                         QCoreApplication::quit();
                     });

    QQmlApplicationEngine engine;
    loadWindow(engine, commandLine.isMinimized());
    return QApplication::exec();
}
