#pragma once

#include <QString>
#include <QStringList>

// The program's command line: --help, --version, --minimized (start hidden in the tray, as
// the login autostart entry does), --headless and --login USERNAME. The toolkit's own options
// (-platform, -style, -reverse...) are accepted and left to the application object. Anything
// else (launchers, session managers and scripts pass their own) is ignored with a warning for
// the log. Parsed before anything else
// starts, so that --help and --version need no display and write no log.
class VCCommandLine
{
public:
    enum class Action { Run, ShowHelp, ShowVersion };

    explicit VCCommandLine(const QStringList &arguments);

    Action action() const { return m_action; }
    bool isMinimized() const { return m_isMinimized; }
    // --headless: no window, tray or display connection (see VCHeadless).
    bool isHeadless() const { return m_isHeadless; }
    // --login USERNAME: log in once from the terminal and save the session; empty otherwise.
    QString loginUsername() const { return m_loginUsername; }
    // What --help or --version prints on standard output; empty for Run.
    QString text() const { return m_text; }
    // What was not understood and is ignored, one line each, for the log (which does not run
    // yet while the command line is read).
    QStringList warnings() const { return m_warnings; }

private:
    Action m_action = Action::Run;
    bool m_isMinimized = false;
    bool m_isHeadless = false;
    QString m_loginUsername;
    QString m_text;
    QStringList m_warnings;
};
