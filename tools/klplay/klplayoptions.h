#pragma once

#include <QString>
#include <QUrl>

class QCoreApplication;

// What klplay was asked to do, read and checked from its command line.
struct KLPlayOptions
{
    QUrl url;       // empty: the now-playing description alone
    QUrl metaUrl;   // empty: no description
    QUrl metaIdUrl; // empty: no identifier
    QUrl adUrl;     // empty: no ad
    int adTimeoutMs = 0;
    double seconds = 0; // 0: no limit
    double seekTo = -1; // below 0: no seek
    int device = -1;
    double volume = 1;
    bool json = false;
    bool verbose = false;
    bool listDevices = false;

    // Reads the command line of app (exits for --help); false with the complaint in *error,
    // which is the help text for a wrong number of addresses.
    bool parse(const QCoreApplication &app, QString *error);
};
