#include "vcheadless.h"

#include "vcclientuser.h"
#include "vchub.h"
#include "vcidentity.h"
#include "vcservicenotifier.h"
#include "vcsettingsfile.h"
#include "vcunixsignalwatcher.h"

#include <QCoreApplication>
#include <QDebug>
#include <QDir>
#include <QLockFile>
#include <QSettings>

#include <cstdio>
#include <memory>
#include <string>

#include <termios.h>
#include <unistd.h>

namespace {

void printError(const QString &message)
{
    std::fputs(qPrintable(QStringLiteral("vellacast: ") + message + QLatin1Char('\n')), stderr);
}

// The one instance per working directory: held until the program ends.
std::unique_ptr<QLockFile> lockFile;

} // namespace

bool VCHeadless::prepare()
{
    QCoreApplication::setOrganizationName(QString::fromLatin1(VCIdentity::organizationName));
    QCoreApplication::setOrganizationDomain(QString::fromLatin1(VCIdentity::organizationDomain));
    QCoreApplication::setApplicationName(QStringLiteral("Vellacast"));
    QCoreApplication::setApplicationVersion(QString::fromLatin1(VCIdentity::applicationVersion));

    lockFile = std::make_unique<QLockFile>(QStringLiteral("vellacast.lock"));
    lockFile->setStaleLockTime(0);
    if (!lockFile->tryLock(100)) {
        printError(QStringLiteral("another instance runs in %1 (vellacast.lock)")
                       .arg(QDir::currentPath()));
        lockFile.reset();
        return false;
    }
    QSettings::setDefaultFormat(QSettings::IniFormat);
    QSettings::setPath(QSettings::IniFormat, QSettings::UserScope, QStringLiteral("."));
    return true;
}

int VCHeadless::run(int &argc, char **argv)
{
    QCoreApplication app(argc, argv);
    if (!prepare())
        return failureExitCode;
    if (QSettings(VCSettingsFile::fileName(), QSettings::IniFormat)
            .value(QStringLiteral("sid"))
            .toString()
            .isEmpty()) {
        qWarning() << "Headless start without a saved session";
        printError(QStringLiteral("no saved session in %1; log in first with "
                                  "'vellacast --login USERNAME'")
                       .arg(QDir::current().filePath(VCSettingsFile::fileName())));
        lockFile.reset();
        return failureExitCode;
    }
    qInfo() << "Headless start in" << QDir::currentPath();

    VCUnixSignalWatcher signalWatcher;
    QObject::connect(&signalWatcher, &VCUnixSignalWatcher::terminationRequested, &app,
                     [](int signalNumber) {
                         qInfo() << "Quit on signal" << signalNumber;
                         QCoreApplication::quit();
                     });
    VCServiceNotifier serviceNotifier;
    int exitCode = 0;
    {
        // The hub starts the saved sources as it is created.
        VCHub hub;
        serviceNotifier.notifyReady();
        exitCode = QCoreApplication::exec();
        serviceNotifier.notifyStopping();
        qInfo() << "Headless stop";
    }
    lockFile.reset();
    return exitCode;
}

QString VCHeadless::readPassword(const QString &username, bool *ok)
{
    const bool isTerminal = isatty(STDIN_FILENO);
    termios saved{};
    if (isTerminal) {
        std::fputs(qPrintable(QStringLiteral("Password for %1: ").arg(username)), stderr);
        std::fflush(stderr);
        tcgetattr(STDIN_FILENO, &saved);
        termios quiet = saved;
        quiet.c_lflag &= ~tcflag_t(ECHO);
        tcsetattr(STDIN_FILENO, TCSAFLUSH, &quiet);
    }
    std::string line;
    int c = 0;
    bool tooLong = false;
    while ((c = std::fgetc(stdin)) != EOF && c != '\n') {
        if (line.size() < size_t(maxPasswordLength))
            line.push_back(char(c));
        else
            tooLong = true;
    }
    if (isTerminal) {
        tcsetattr(STDIN_FILENO, TCSAFLUSH, &saved);
        std::fputc('\n', stderr);
    }
    if (!line.empty() && line.back() == '\r')
        line.pop_back();
    *ok = !tooLong;
    return QString::fromLocal8Bit(line.data(), qsizetype(line.size()));
}

int VCHeadless::login(int &argc, char **argv, const QString &username)
{
    QCoreApplication app(argc, argv);
    if (!prepare())
        return failureExitCode;
    bool ok = false;
    const QString password = readPassword(username, &ok);
    if (!ok || password.trimmed().isEmpty()) {
        printError(ok ? QStringLiteral("no password given")
                      : QStringLiteral("the password is longer than %1 characters")
                            .arg(maxPasswordLength));
        lockFile.reset();
        return failureExitCode;
    }
    qInfo() << "Login from the command line";

    int exitCode = failureExitCode;
    {
        VCHub hub;
        VCClientUser *client = hub.clientUser();
        bool refused = false;
        QObject::connect(client, &VCClientUser::stateReportFinished, &app,
                         [&refused](bool, int httpStatus) {
                             refused = httpStatus == VCClientUser::forbiddenStatus;
                         });
        client->login(username, password);
        // Connected after the login is sent: the saved session's report, replaced by it, ends
        // before.
        QObject::connect(client, &VCClientUser::isProcessingPlayerRequestChanged, &app,
                         [client, &refused](bool isProcessing) {
                             if (isProcessing)
                                 return;
                             if (client->isLoggedIn()) {
                                 std::fputs(qPrintable(client->stationName() + QLatin1Char('\n')),
                                            stdout);
                                 QCoreApplication::exit(0);
                                 return;
                             }
                             printError(refused ? QStringLiteral("the service refused the login "
                                                                 "(wrong user name or password)")
                                                : QStringLiteral("the service could not be "
                                                                 "reached; see the log"));
                             QCoreApplication::exit(failureExitCode);
                         });
        exitCode = QCoreApplication::exec();
    }
    lockFile.reset();
    return exitCode;
}
