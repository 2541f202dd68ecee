#pragma once

#include <QProcess>
#include <QString>

#include <memory>

// The X display the program runs on: the current one, or, when there is none, a private Xvfb
// with a tray host. Also finds the program's window and asks it to close, as a window
// manager's close button does.
class BenchDisplay
{
public:
    BenchDisplay();
    ~BenchDisplay();

    // Makes $DISPLAY usable; false with a reason when no display can be had.
    bool open(QString *error);
    bool isPrivate() const { return m_xvfb != nullptr; }

    // The shown top-level window of the process, or 0.
    unsigned long shownWindowOf(qint64 pid) const;
    bool isShown(unsigned long window) const;
    bool requestClose(unsigned long window) const;

private:
    bool startXvfb(QString *error);
    bool startTray(QString *error);

    std::unique_ptr<QProcess> m_xvfb;
    std::unique_ptr<QProcess> m_tray;
    void *m_display = nullptr;
};
