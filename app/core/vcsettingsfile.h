#pragma once

#include <QList>
#include <QString>
#include <QUrl>

class QSettings;
class VCSource;

// The program's settings file in the working directory. It holds the session id and the
// sources' addresses with their credentials, so it is kept to its owner; the sources are kept in
// it as one list, in their order.
class VCSettingsFile
{
public:
    struct SavedSource
    {
        QUrl streamUrl;
        double volumeLevel = 1.0;
    };

    static QString fileName();
    // Creates the file empty when it is missing and takes the group's and others' permissions
    // away, so that nothing is ever written where others can read it.
    static void restrict();
    // The saved sources; an entry without a valid address is skipped with a warning.
    static QList<SavedSource> readSources(QSettings *settings);
    // Replaces the saved sources with these, rows past the new end included.
    static void writeSources(QSettings *settings, const QList<VCSource *> &sources);
};
