#include "vcfailovernotifier.h"

#include "vchub.h"

#include <QDebug>

VCFailoverNotifier::VCFailoverNotifier(QObject *parent)
    : QObject(parent)
{
    m_timer.setSingleShot(true);
    m_timer.setInterval(defaultIntervalMs);
    connect(&m_timer, &QTimer::timeout, this, &VCFailoverNotifier::handleIntervalEnd);
}

void VCFailoverNotifier::follow(VCHub *hub)
{
    setEnabled(hub->failoverNotifications());
    connect(hub, &VCHub::failoverNotificationsChanged, this, &VCFailoverNotifier::setEnabled);
    connect(hub, &VCHub::onAirChanged, this, &VCFailoverNotifier::reportOnAir);
    connect(hub, &VCHub::nothingOnAir, this, &VCFailoverNotifier::reportNothingHeard);
}

void VCFailoverNotifier::setEnabled(bool isEnabled)
{
    m_isEnabled = isEnabled;
    if (!isEnabled) {
        m_held.reset();
        m_heldCount = 0;
    }
}

void VCFailoverNotifier::reportOnAir(const QString &source, const QString &previous, Reason reason)
{
    QString why;
    switch (reason) {
    case Reason::WentSilent:
        why = tr("%1 went silent.").arg(previous);
        break;
    case Reason::Stalled:
        why = tr("%1 stalled.").arg(previous);
        break;
    case Reason::Disconnected:
        why = tr("%1 disconnected.").arg(previous);
        break;
    case Reason::CameBack:
        why = tr("%1 came back.").arg(source);
        break;
    }
    post({tr("Now on air: %1").arg(source), why, false});
}

void VCFailoverNotifier::reportNothingHeard()
{
    post({tr("No source can be heard"),
          tr("Every source is silent, stalled or disconnected: the station is off the air."),
          true});
}

void VCFailoverNotifier::post(const Notification &notification)
{
    if (!m_isEnabled) {
        qInfo() << "Notification off:" << notification.title << notification.message;
        return;
    }
    const bool isKindChange = notification.isWarning != m_lastShownWarning;
    if (!m_timer.isActive() || (isKindChange && !m_kindChangeShown)) {
        if (m_timer.isActive())
            m_kindChangeShown = true;
        else
            m_timer.start();
        // What was held back is older than this.
        m_held.reset();
        m_heldCount = 0;
        show(notification, 0);
        return;
    }
    qDebug() << "Notification held back:" << notification.title << notification.message;
    m_held = notification;
    ++m_heldCount;
}

void VCFailoverNotifier::show(const Notification &notification, int heldCount)
{
    QString message = notification.message;
    if (heldCount > 1) {
        message += QLatin1Char('\n') + tr("%n change(s) within %1 seconds.", nullptr, heldCount)
                                           .arg(m_timer.interval() / 1000);
    }
    m_lastShownWarning = notification.isWarning;
    qInfo() << "Notification:" << notification.title << message;
    emit notify(notification.title, message, notification.isWarning);
}

void VCFailoverNotifier::handleIntervalEnd()
{
    m_kindChangeShown = false;
    if (!m_held)
        return;
    const Notification held = *m_held;
    const int count = m_heldCount;
    m_held.reset();
    m_heldCount = 0;
    show(held, count);
    // The next interval begins with what was just shown.
    m_timer.start();
}
