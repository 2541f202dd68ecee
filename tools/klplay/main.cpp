// klplay: plays one stream through the player library and prints what the player reports.
//
//   klplay URL [--seconds N] [--device N] [--volume V] [--json] [--verbose]
//          [--meta-url URL [--meta-id-url URL]]
//   klplay --meta-url URL [--meta-id-url URL] [--seconds N] [--json] [--verbose]
//   klplay --devices
//
// With --meta-url the now-playing description is polled beside the stream (or alone, without a
// stream address) and printed on every change.
//
// Exit codes: 0 after a normal end or when --seconds ran out, 1 for bad arguments or an
// address that cannot be played, 2 after a playback error, 3 after a device failure, 4 when
// --seconds ran out before anything played (without a stream: before any description came).

#include "klplayprinter.h"

#include <klbass.h>
#include <klcredentials.h>
#include <klmetadataupdater.h>
#include <klnetworkaccessmanager.h>
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
    const QCommandLineOption metaUrlOption(
        QStringLiteral("meta-url"), QStringLiteral("Poll the now-playing description from URL."),
        QStringLiteral("URL"));
    const QCommandLineOption metaIdUrlOption(
        QStringLiteral("meta-id-url"),
        QStringLiteral("Poll the now-playing identifier from URL (with --meta-url)."),
        QStringLiteral("URL"));
    parser.addOptions({secondsOption, deviceOption, volumeOption, jsonOption, devicesOption,
                       verboseOption, metaUrlOption, metaIdUrlOption});
    parser.process(app);

    if (parser.isSet(devicesOption))
        return listDevices();

    QTextStream err(stderr);
    const QStringList args = parser.positionalArguments();
    const bool withMeta = parser.isSet(metaUrlOption);
    if (args.size() > 1 || (args.isEmpty() && !withMeta)) {
        err << parser.helpText();
        return 1;
    }
    QUrl metaUrl;
    QUrl metaIdUrl;
    if (withMeta) {
        metaUrl = QUrl(parser.value(metaUrlOption), QUrl::StrictMode);
        if (!metaUrl.isValid() || metaUrl.host().isEmpty()) {
            err << "klplay: --meta-url takes an absolute address\n";
            return 1;
        }
    }
    if (parser.isSet(metaIdUrlOption)) {
        metaIdUrl = QUrl(parser.value(metaIdUrlOption), QUrl::StrictMode);
        if (!withMeta || !metaIdUrl.isValid() || metaIdUrl.host().isEmpty()) {
            err << "klplay: --meta-id-url takes an absolute address, with --meta-url\n";
            return 1;
        }
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

    const QUrl url = args.isEmpty() ? QUrl()
                                    : QUrl::fromUserInput(args.first(), QDir::currentPath(),
                                                          QUrl::AssumeLocalFile);
    if (!args.isEmpty() && !url.isValid()) {
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

    KLNetworkAccessManager metaNam;
    KLMetadataUpdater metadata(&metaNam);
    printer.watchMetadata(&metadata);

    QTimer levelTimer;
    levelTimer.setInterval(1000);
    QObject::connect(&levelTimer, &QTimer::timeout, &printer, &KLPlayPrinter::printLevel);

    QObject::connect(&player, &KLPlayerSource::ended, &app, [&] {
        printer.printMessage(QStringLiteral("ended"), KLCredentials::redacted(url));
        app.exit(0);
    });
    QObject::connect(&player, &KLPlayerSource::error, &app, [&] { app.exit(2); });
    QObject::connect(&player, &KLPlayerSource::deviceFailure, &app, [&] {
        printer.printMessage(QStringLiteral("error"), QStringLiteral("device failure"));
        app.exit(3);
    });
    if (seconds > 0) {
        QTimer::singleShot(qRound(seconds * 1000), &app, [&] {
            const bool done = url.isEmpty() ? printer.hasNowPlaying() : printer.hasPlayed();
            app.exit(done ? 0 : 4);
        });
    }

    QTimer::singleShot(0, &metadata, [&] {
        metadata.setMetaIdUrl(metaIdUrl);
        metadata.setMetaUrl(metaUrl);
    });
    QTimer::singleShot(0, &player, [&] {
        if (url.isEmpty())
            return;
        player.play(url);
        if (player.isStopped()) {
            printer.printMessage(QStringLiteral("error"),
                                 QStringLiteral("can not play ") + KLCredentials::redacted(url));
            app.exit(1);
            return;
        }
        levelTimer.start();
    });

    const int code = app.exec();
    player.stop();
    return code;
}
