#pragma once

#include "vchub.h"

class VCAutostart;
class VCFailoverNotifier;

// The hub as the desktop program's window sees it: the program's core with the login autostart
// entry of the working directory and the tray messages that tell failovers.
class VCDesktopHub : public VCHub
{
    Q_OBJECT

    // The login autostart entry of the working directory.
    Q_PROPERTY(VCAutostart *autostart READ autostart CONSTANT)

public:
    explicit VCDesktopHub(QObject *parent = nullptr);

    VCAutostart *autostart() const { return m_autostart; }
    VCFailoverNotifier *failoverNotifier() const { return m_failoverNotifier; }

signals:
    // A failover notification for the tray (see VCFailoverNotifier::notify).
    void notify(const QString &title, const QString &message, bool isWarning);

private:
    VCAutostart *m_autostart = nullptr;
    VCFailoverNotifier *m_failoverNotifier = nullptr;
};
