#pragma once

#include <QObject>
#include <QTimer>

// Tells the service manager how the program is doing: ready once the sources are started,
// stopping when it shuts down, and alive at half the watchdog interval the manager asks for.
// The watchdog is fed from the main loop, so that a hung loop gets the program restarted.
// Outside a service manager (no notification socket) every call does nothing.
class VCServiceNotifier : public QObject
{
    Q_OBJECT

public:
    explicit VCServiceNotifier(QObject *parent = nullptr);

    // The watchdog interval asked for, in milliseconds; 0 when none is.
    int watchdogIntervalMs() const { return m_watchdogIntervalMs; }

    void notifyReady();
    void notifyStopping();

private:
    void feedWatchdog();

    QTimer m_watchdogTimer;
    int m_watchdogIntervalMs = 0;
};
