#pragma once

#include "vconairchange.h"

#include <QObject>
#include <QString>
#include <QTimer>

#include <optional>

class VCHub;

// Tells the operator, through the tray's messages, which source is on air after a failover and
// when no source can be heard at all; each notification is also a log line.
//
// Notifications are rate-limited: the first one after a quiet interval is shown at once; the
// ones that follow within the interval are held back and only the latest is shown when the
// interval ends, with the number of changes it stands for. A change between "a source is heard"
// and "nothing is heard" is shown at once as well, once per interval, so that the station going
// off the air (or coming back) is not held behind a notification of the other kind.
class VCFailoverNotifier : public QObject
{
    Q_OBJECT

public:
    // Why the heard source changed.
    using Reason = VCOnAirChange;

    static constexpr int defaultIntervalMs = 30000;

    explicit VCFailoverNotifier(QObject *parent = nullptr);

    // Tells what hub reports on air, while its failoverNotifications setting is on.
    void follow(VCHub *hub);

    // Tests shorten the interval; the program keeps the default.
    void setIntervalMs(int intervalMs) { m_timer.setInterval(intervalMs); }
    bool isEnabled() const { return m_isEnabled; }
    void setEnabled(bool isEnabled);

    // `source` is heard now; `previous` is the source heard before (for WentSilent, Stalled and
    // Disconnected the reason is its fault; for CameBack `source` came back).
    void reportOnAir(const QString &source, const QString &previous, Reason reason);
    // No source can be heard: every source is silent, stalled or disconnected.
    void reportNothingHeard();

signals:
    // A message for the tray. `isWarning`: nothing can be heard; it stays until the next one.
    void notify(const QString &title, const QString &message, bool isWarning);

private:
    struct Notification
    {
        QString title;
        QString message;
        bool isWarning = false;
    };

    void post(const Notification &notification);
    void show(const Notification &notification, int heldCount);
    void handleIntervalEnd();

    QTimer m_timer;
    bool m_isEnabled = true;
    bool m_lastShownWarning = false;
    // A change of kind was shown at once in the current interval.
    bool m_kindChangeShown = false;
    std::optional<Notification> m_held;
    int m_heldCount = 0;
};
