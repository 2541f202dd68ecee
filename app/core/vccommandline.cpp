#include "vccommandline.h"

#include "klcredentials.h"
#include "vcidentity.h"

#include <QCommandLineParser>
#include <QCoreApplication>

namespace {

// Options of the application object itself (see QGuiApplication and QApplication), with and
// without a value; they are accepted here and handled there.
const char *const toolkitValueOptions[] = {"platform",      "platformpluginpath",
                                           "platformtheme", "plugin",
                                           "qmljsdebugger", "qwindowgeometry",
                                           "qwindowicon",   "qwindowtitle",
                                           "style",         "stylesheet",
                                           "session",       "display",
                                           "geometry",      "title",
                                           "name",          "widgetcount"};
const char *const toolkitFlagOptions[] = {"reverse", "nograb", "dograb", "sync"};

} // namespace

VCCommandLine::VCCommandLine(const QStringList &arguments)
{
    QCommandLineParser parser;
    // The toolkit's options are written with one dash (-platform xcb).
    parser.setSingleDashWordOptionMode(QCommandLineParser::ParseAsLongOptions);
    parser.setApplicationDescription(QCoreApplication::translate(
        "main", "Keeps a radio station on air over the internet as a backup. Settings, lock and "
                "log files live in the working directory."));
    const QCommandLineOption helpOption(
        {QStringLiteral("h"), QStringLiteral("help")},
        QCoreApplication::translate("main", "Show this help and exit."));
    const QCommandLineOption versionOption(
        {QStringLiteral("v"), QStringLiteral("version")},
        QCoreApplication::translate("main", "Show the version and exit."));
    const QCommandLineOption minimizedOption(
        QStringLiteral("minimized"),
        QCoreApplication::translate("main", "Start in the system tray without showing the "
                                            "window (it shows when nobody is logged in)."));
    const QCommandLineOption headlessOption(
        QStringLiteral("headless"),
        QCoreApplication::translate("main", "Run without a window, tray or display, on the "
                                            "session saved by --login (for a service)."));
    const QCommandLineOption loginOption(
        QStringLiteral("login"),
        QCoreApplication::translate("main", "Log in as USERNAME (the password is read from the "
                                            "terminal or standard input), save the session and "
                                            "exit."),
        QStringLiteral("USERNAME"));
    parser.addOptions({helpOption, versionOption, minimizedOption, headlessOption, loginOption});
    for (const char *name : toolkitValueOptions) {
        QCommandLineOption option(QString::fromLatin1(name), QString(), QStringLiteral("value"));
        option.setFlags(QCommandLineOption::HiddenFromHelp);
        parser.addOption(option);
    }
    for (const char *name : toolkitFlagOptions) {
        QCommandLineOption option(QString::fromLatin1(name));
        option.setFlags(QCommandLineOption::HiddenFromHelp);
        parser.addOption(option);
    }

    const QString program = QStringLiteral("vellacast");
    // The parser goes on past what it does not know: the options it knows still count.
    if (!parser.parse(arguments))
        m_warnings.append(KLCredentials::redacted(parser.errorText()) +
                          QStringLiteral(" Ignored."));
    for (const QString &argument : parser.positionalArguments()) {
        m_warnings.append(QStringLiteral("Unexpected argument '%1'. Ignored.")
                              .arg(KLCredentials::redacted(argument)));
    }
    if (parser.isSet(helpOption)) {
        m_action = Action::ShowHelp;
        // Without an application object the parser cannot name the program.
        m_text = parser.helpText().replace(QStringLiteral("<executable_name>"), program);
        return;
    }
    if (parser.isSet(versionOption)) {
        m_action = Action::ShowVersion;
        m_text = program + QLatin1Char(' ') + QLatin1String(VCIdentity::applicationVersion) +
                 QLatin1Char('\n');
        return;
    }
    m_isMinimized = parser.isSet(minimizedOption);
    m_isHeadless = parser.isSet(headlessOption);
    m_loginUsername = parser.value(loginOption).trimmed();
    if (parser.isSet(loginOption) && m_loginUsername.isEmpty())
        m_warnings.append(QStringLiteral("--login needs a user name. Ignored."));
}
