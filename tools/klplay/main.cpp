// klplay: plays one stream through the player library and prints what the player reports.
//
//   klplay URL [--seconds N] [--device N] [--volume V] [--json] [--verbose]
//   klplay --devices
//
// Exit codes: 0 after a normal end or when --seconds ran out, 1 for bad arguments or an
// address that cannot be played, 2 after a playback error, 3 after a device failure, 4 when
// --seconds ran out before anything played.

#include "klplayprinter.h"

#include <klbass.h>
#include <klplayer.h>

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDir>
#include <QLoggingCategory>
#include <QTextStream>
#include <QTimer>
#include <QUrl>

#include <bass.h>

namespace {

int listDevices()
{
    QTextStream out(stdout);
    out << "-1 default\n";
    BASS_DEVICEINFO info;
    for (DWORD device = 0; BASS_GetDeviceInfo(device, &info); ++device) {
        out << device << ' ' << QString::fromUtf8(info.name ? info.name : "");
        if (info.flags & BASS_DEVICE_DEFAULT)
            out << " (default)";
        if (!(info.flags & BASS_DEVICE_ENABLED))
            out << " (disabled)";
        out << '\n';
    }
    return 0;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("klplay"));

    QCommandLineParser parser;
    parser.setApplicationDescription(
        QStringLiteral("Plays a stream and prints state changes, metadata, bitrate and levels."));
    parser.addHelpOption();
    parser.addPositionalArgument(QStringLiteral("url"),
                                 QStringLiteral("Stream address or local file."));
    const QCommandLineOption secondsOption(
        QStringLiteral("seconds"), QStringLiteral("Stop after N seconds."), QStringLiteral("N"));
    const QCommandLineOption deviceOption(
        QStringLiteral("device"),
        QStringLiteral("Output device number (-1 default, 0 no sound; see --devices)."),
        QStringLiteral("N"), QStringLiteral("-1"));
    const QCommandLineOption volumeOption(QStringLiteral("volume"),
                                          QStringLiteral("Volume from 0 to 1."),
                                          QStringLiteral("V"), QStringLiteral("1"));
    const QCommandLineOption jsonOption(QStringLiteral("json"),
                                        QStringLiteral("One JSON object per line and event."));
    const QCommandLineOption devicesOption(QStringLiteral("devices"),
                                           QStringLiteral("List the output devices."));
    const QCommandLineOption verboseOption(QStringLiteral("verbose"),
                                           QStringLiteral("Show the library's debug lines."));
    parser.addOptions(
        {secondsOption, deviceOption, volumeOption, jsonOption, devicesOption, verboseOption});
    parser.process(app);

    if (parser.isSet(devicesOption))
        return listDevices();

    QTextStream err(stderr);
    const QStringList args = parser.positionalArguments();
    if (args.size() != 1) {
        err << parser.helpText();
        return 1;
    }

    bool ok = true;
    double seconds = 0;
    if (parser.isSet(secondsOption)) {
        seconds = parser.value(secondsOption).toDouble(&ok);
        if (!ok || seconds <= 0) {
            err << "klplay: --seconds takes a number above 0\n";
            return 1;
        }
    }
    const int device = parser.value(deviceOption).toInt(&ok);
    if (!ok || device < -1) {
        err << "klplay: --device takes -1 or a device number\n";
        return 1;
    }
    const double volume = parser.value(volumeOption).toDouble(&ok);
    if (!ok || volume < 0 || volume > 1) {
        err << "klplay: --volume takes a number from 0 to 1\n";
        return 1;
    }

    const QUrl url = QUrl::fromUserInput(args.first(), QDir::currentPath(), QUrl::AssumeLocalFile);
    if (!url.isValid()) {
        err << "klplay: invalid address " << args.first() << '\n';
        return 1;
    }

    if (!parser.isSet(verboseOption))
        QLoggingCategory::setFilterRules(QStringLiteral("ru.kelvane.player.debug=false"));

    KLBass::outputDevice = device;

    KLPlayer player;
    player.setVolume(volume);
    player.setIsUpdatesLevel(true);
    KLPlayPrinter printer(&player, parser.isSet(jsonOption));

    QTimer levelTimer;
    levelTimer.setInterval(1000);
    QObject::connect(&levelTimer, &QTimer::timeout, &printer, &KLPlayPrinter::printLevel);

    QObject::connect(&player, &KLPlayerSource::ended, &app, [&] {
        printer.printMessage(QStringLiteral("ended"), url.toString(QUrl::RemoveUserInfo));
        app.exit(0);
    });
    QObject::connect(&player, &KLPlayerSource::error, &app, [&] { app.exit(2); });
    QObject::connect(&player, &KLPlayerSource::deviceFailure, &app, [&] {
        printer.printMessage(QStringLiteral("error"), QStringLiteral("device failure"));
        app.exit(3);
    });
    if (seconds > 0) {
        QTimer::singleShot(qRound(seconds * 1000), &app,
                           [&] { app.exit(printer.hasPlayed() ? 0 : 4); });
    }

    QTimer::singleShot(0, &player, [&] {
        player.play(url);
        if (player.isStopped()) {
            printer.printMessage(QStringLiteral("error"), QStringLiteral("can not play ") +
                                                              url.toString(QUrl::RemoveUserInfo));
            app.exit(1);
            return;
        }
        levelTimer.start();
    });

    const int code = app.exec();
    player.stop();
    return code;
}
