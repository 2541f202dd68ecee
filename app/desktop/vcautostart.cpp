#include "vcautostart.h"

#include "vcassign.h"

#include <QCryptographicHash>
#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <QStandardPaths>

namespace {

// A value of type string in a desktop entry: backslash and control characters escaped.
QString escapeString(const QString &value)
{
    QString escaped;
    for (const QChar c : value) {
        switch (c.unicode()) {
        case '\\':
            escaped += QLatin1String("\\\\");
            break;
        case '\n':
            escaped += QLatin1String("\\n");
            break;
        case '\t':
            escaped += QLatin1String("\\t");
            break;
        case '\r':
            escaped += QLatin1String("\\r");
            break;
        default:
            escaped += c;
        }
    }
    return escaped;
}

// One argument of the Exec key: quoted, with the characters that are special inside quotes
// escaped, then escaped again as a string value.
QString execArgument(const QString &argument)
{
    QString quoted = QStringLiteral("\"");
    for (const QChar c : argument) {
        if (c == QLatin1Char('"') || c == QLatin1Char('`') || c == QLatin1Char('$') ||
            c == QLatin1Char('\\'))
            quoted += QLatin1Char('\\');
        quoted += c;
    }
    quoted += QLatin1Char('"');
    return escapeString(quoted);
}

} // namespace

VCAutostart::VCAutostart(const QString &workingDirectory, const QString &programPath,
                         const QString &configDirectory, QObject *parent)
    : QObject(parent)
    , m_workingDirectory(QDir(workingDirectory).absolutePath())
    , m_programPath(QFileInfo(programPath).absoluteFilePath())
{
    const QString config =
        configDirectory.isEmpty()
            ? QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation)
            : configDirectory;
    // Named after the working directory, which the entry starts the program in.
    const QByteArray id =
        QCryptographicHash::hash(m_workingDirectory.toUtf8(), QCryptographicHash::Sha1)
            .toHex()
            .left(12);
    m_entryFilePath = config + QStringLiteral("/autostart/vellacast-") + QString::fromLatin1(id) +
                      QStringLiteral(".desktop");
    refresh();
}

QByteArray VCAutostart::entryContents() const
{
    const QStringList lines = {
        QStringLiteral("[Desktop Entry]"),
        QStringLiteral("Type=Application"),
        QStringLiteral("Name=Vellacast"),
        QStringLiteral("Comment=") +
            escapeString(tr("Starts Vellacast in %1").arg(m_workingDirectory)),
        QStringLiteral("Icon=ru.vellacast.Vellacast"),
        QStringLiteral("Exec=") + execArgument(m_programPath) + QStringLiteral(" --minimized"),
        QStringLiteral("Path=") + escapeString(m_workingDirectory),
        QStringLiteral("Terminal=false"),
        QStringLiteral("X-GNOME-Autostart-enabled=true"),
    };
    return lines.join(QLatin1Char('\n')).toUtf8() + '\n';
}

void VCAutostart::refresh()
{
    VC::assign(this, m_isEnabled, QFileInfo::exists(m_entryFilePath),
               &VCAutostart::isEnabledChanged);
}

bool VCAutostart::setIsEnabled(bool isEnabled)
{
    const bool wasEnabled = m_isEnabled;
    if (isEnabled) {
        QSaveFile file(m_entryFilePath);
        if (!QDir().mkpath(QFileInfo(m_entryFilePath).absolutePath()) ||
            !file.open(QIODevice::WriteOnly) || file.write(entryContents()) < 0 || !file.commit()) {
            qWarning() << "Can not write the autostart entry" << m_entryFilePath
                       << file.errorString();
        } else {
            qInfo() << "Start at login on:" << m_entryFilePath;
        }
    } else if (QFileInfo::exists(m_entryFilePath)) {
        QFile file(m_entryFilePath);
        if (!file.remove())
            qWarning() << "Can not remove the autostart entry" << m_entryFilePath
                       << file.errorString();
        else
            qInfo() << "Start at login off:" << m_entryFilePath << "removed";
    }
    refresh();
    return m_isEnabled != wasEnabled;
}
