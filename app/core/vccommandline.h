#pragma once

#include <QString>
#include <QStringList>

// The program's command line: --help, --version and --minimized (start hidden in the tray, as
// the login autostart entry does). The toolkit's own options (-platform, -style, -reverse...)
// are accepted and left to the application object. Parsed before anything else starts, so that
// --help and --version need no display and write no log.
class VCCommandLine
{
public:
    enum class Action { Run, ShowHelp, ShowVersion, Fail };

    // Exit code of a command line that cannot be understood.
    static constexpr int usageExitCode = 2;

    explicit VCCommandLine(const QStringList &arguments);

    Action action() const { return m_action; }
    bool isMinimized() const { return m_isMinimized; }
    // What --help, --version or an error prints (on standard output, or standard error for an
    // error); empty for Run.
    QString text() const { return m_text; }

private:
    Action m_action = Action::Run;
    bool m_isMinimized = false;
    QString m_text;
};
