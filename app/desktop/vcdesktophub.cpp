#include "vcdesktophub.h"

#include "vcautostart.h"
#include "vcfailovernotifier.h"

#include <QCoreApplication>
#include <QDir>

VCDesktopHub::VCDesktopHub(QObject *parent)
    : VCHub(parent)
    , m_autostart(new VCAutostart(QDir::currentPath(), QCoreApplication::applicationFilePath(),
                                  QString(), this))
    , m_failoverNotifier(new VCFailoverNotifier(this))
{
    m_failoverNotifier->follow(this);
    connect(m_failoverNotifier, &VCFailoverNotifier::notify, this, &VCDesktopHub::notify);
}
