#include "vcservicenotifier.h"

#include <QDebug>

#include <systemd/sd-daemon.h>

VCServiceNotifier::VCServiceNotifier(QObject *parent)
    : QObject(parent)
{
    uint64_t usec = 0;
    if (sd_watchdog_enabled(0, &usec) > 0 && usec > 0) {
        m_watchdogIntervalMs = int(qBound<uint64_t>(1, usec / 1000, 24 * 3600 * 1000));
        m_watchdogTimer.setInterval(qMax(1, m_watchdogIntervalMs / 2));
        connect(&m_watchdogTimer, &QTimer::timeout, this, &VCServiceNotifier::feedWatchdog);
        m_watchdogTimer.start();
        qInfo() << "Service watchdog every" << m_watchdogIntervalMs << "ms";
    }
}

void VCServiceNotifier::notifyReady()
{
    sd_notify(0, "READY=1\nSTATUS=Sources started");
}

void VCServiceNotifier::notifyStopping()
{
    m_watchdogTimer.stop();
    sd_notify(0, "STOPPING=1");
}

void VCServiceNotifier::feedWatchdog()
{
    sd_notify(0, "WATCHDOG=1");
}
