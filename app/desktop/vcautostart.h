#pragma once

#include <QObject>
#include <QString>

// The login autostart entry of one working directory: an XDG desktop entry in the autostart
// folder of the user's configuration ($XDG_CONFIG_HOME/autostart, ~/.config/autostart by
// default) that starts the program minimised to the tray in that working directory. Each
// working directory has an entry of its own, so stations run from different folders start
// side by side.
//
// isEnabled is whether the file is there, as last read from the disk: refresh() reads it again
// (the views call it when they are shown), so an entry removed or added by other means shows as
// it is, not as the program last wrote it.
class VCAutostart : public QObject
{
    Q_OBJECT

    Q_PROPERTY(bool isEnabled READ isEnabled WRITE setIsEnabled NOTIFY isEnabledChanged)

public:
    // `configDirectory` empty: the user's configuration folder ($XDG_CONFIG_HOME).
    VCAutostart(const QString &workingDirectory, const QString &programPath,
                const QString &configDirectory = QString(), QObject *parent = nullptr);

    bool isEnabled() const { return m_isEnabled; }
    QString entryFilePath() const { return m_entryFilePath; }
    // The desktop entry that setIsEnabled(true) writes.
    QByteArray entryContents() const;

signals:
    void isEnabledChanged(bool isEnabled);

public slots:
    // Writes or removes the entry, then reads the disk; returns whether isEnabled changed. A
    // failure is logged and leaves isEnabled as the disk has it.
    bool setIsEnabled(bool isEnabled);
    void refresh();

private:
    QString m_workingDirectory;
    QString m_programPath;
    QString m_entryFilePath;
    bool m_isEnabled = false;
};
