#pragma once

#include <QString>

// The program without a display: `--headless` runs the hub (sources, service client, failover,
// device recovery, logging, metrics) on the session saved in the working directory, for a
// service manager; `--login USERNAME` logs in once from a terminal and saves the session as the
// login view does. Neither opens a window, a tray or a connection to a display server.
// Failover notifications and the login autostart entry belong to the desktop and stay off.
class VCHeadless
{
public:
    // Exit code of a start that cannot go on (no saved session, another instance, a refused
    // login).
    static constexpr int failureExitCode = 1;
    // Longest password read.
    static constexpr int maxPasswordLength = 1024;

    // Both create the application object from argc and argv; the log is installed already.
    static int run(int &argc, char **argv);
    static int login(int &argc, char **argv, const QString &username);

private:
    // Names, lock and settings as the desktop program sets them up; false (with a message on
    // standard error) when another instance holds the working directory.
    static bool prepare();
    // A line from the terminal without echo, or from standard input when that is no terminal.
    static QString readPassword(const QString &username, bool *ok);
};
