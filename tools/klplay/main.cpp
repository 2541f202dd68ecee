// klplay: plays one stream through the player library and prints what the player reports.
//
//   klplay URL [--seconds N] [--seek SECONDS] [--device N] [--volume V] [--json] [--verbose]
//          [--meta-url URL [--meta-id-url URL]] [--ad AD_URL [--ad-timeout MS]]
//   klplay --meta-url URL [--meta-id-url URL] [--seconds N] [--json] [--verbose]
//   klplay record:N [--seconds N] [--device N] [--volume V] [--json] [--verbose]
//   klplay --devices
//
// record:N plays recording device N (numbers as --devices lists them after the output
// devices).
//
// With --meta-url the now-playing description is polled beside the stream (or alone, without a
// stream address) and printed on every change. With --ad the stream plays through the ad-aware
// player: the ad document at AD_URL is requested (within --ad-timeout ms) and its ad sounds
// first, with the stream muted until the ad is about to end. With --seek the player seeks to
// that position once playback has started, and its position is printed as it changes.
//
// Exit codes: 0 after a normal end or when --seconds ran out, 1 for bad arguments or an
// address that cannot be played, 2 after a playback error, 3 after a device failure, 4 when
// --seconds ran out before anything played (without a stream: before any description came).

#include "klplayprinter.h"

#include <klbass.h>
#include <klcredentials.h>
#include <kldaast.h>
#include <kldaastplayer.h>
#include <klmetadataupdater.h>
#include <klnetworkaccessmanager.h>
#include <klplayer.h>

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDir>
#include <QLoggingCategory>
#include <QRegularExpression>
#include <QTextStream>
#include <QTimer>
#include <QUrl>

#include <bass.h>

#include <memory>

namespace {

void printDevice(QTextStream &out, const QString &number, const BASS_DEVICEINFO &info)
{
    out << number << ' ' << QString::fromUtf8(info.name ? info.name : "");
    if (info.flags & BASS_DEVICE_DEFAULT)
        out << " (default)";
    if (!(info.flags & BASS_DEVICE_ENABLED))
        out << " (disabled)";
    out << '\n';
}

// The output devices by number for --device, then the recording devices as the addresses
// that play them.
int listDevices()
{
    QTextStream out(stdout);
    out << "-1 default\n";
    BASS_DEVICEINFO info;
    for (DWORD device = 0; BASS_GetDeviceInfo(device, &info); ++device)
        printDevice(out, QString::number(device), info);
    for (DWORD device = 0; BASS_RecordGetDeviceInfo(device, &info); ++device)
        printDevice(out, QStringLiteral("record:%1").arg(device), info);
    return 0;
}

// A recording device's address ("record:N") as it is; anything else as a file or web address.
QUrl addressOf(const QString &argument)
{
    static const QRegularExpression record(QStringLiteral("^record:\\d+$"));
    if (record.match(argument).hasMatch())
        return QUrl(argument);
    return QUrl::fromUserInput(argument, QDir::currentPath(), QUrl::AssumeLocalFile);
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
    parser.addPositionalArgument(
        QStringLiteral("url"),
        QStringLiteral("Stream address, local file or recording device (record:N)."));
    const QCommandLineOption secondsOption(
        QStringLiteral("seconds"), QStringLiteral("Stop after N seconds."), QStringLiteral("N"));
    const QCommandLineOption seekOption(
        QStringLiteral("seek"),
        QStringLiteral("Once playing, seek to SECONDS and print the position as it changes."),
        QStringLiteral("SECONDS"));
    const QCommandLineOption deviceOption(
        QStringLiteral("device"),
        QStringLiteral("Output device number (-1 default, 0 no sound; see --devices)."),
        QStringLiteral("N"), QStringLiteral("-1"));
    const QCommandLineOption volumeOption(QStringLiteral("volume"),
                                          QStringLiteral("Volume from 0 to 1."),
                                          QStringLiteral("V"), QStringLiteral("1"));
    const QCommandLineOption jsonOption(QStringLiteral("json"),
                                        QStringLiteral("One JSON object per line and event."));
    const QCommandLineOption devicesOption(
        QStringLiteral("devices"),
        QStringLiteral("List the output devices, then the recording devices (record:N)."));
    const QCommandLineOption verboseOption(QStringLiteral("verbose"),
                                           QStringLiteral("Show the library's debug lines."));
    const QCommandLineOption metaUrlOption(
        QStringLiteral("meta-url"), QStringLiteral("Poll the now-playing description from URL."),
        QStringLiteral("URL"));
    const QCommandLineOption metaIdUrlOption(
        QStringLiteral("meta-id-url"),
        QStringLiteral("Poll the now-playing identifier from URL (with --meta-url)."),
        QStringLiteral("URL"));
    const QCommandLineOption adOption(
        QStringLiteral("ad"), QStringLiteral("Play the ad of the ad document at AD_URL first."),
        QStringLiteral("AD_URL"));
    const QCommandLineOption adTimeoutOption(
        QStringLiteral("ad-timeout"),
        QStringLiteral("Time limit of the ad document request in ms (0: none)."),
        QStringLiteral("MS"), QString::number(KLDaast::defaultTimeoutMs));
    parser.addOptions({secondsOption, seekOption, deviceOption, volumeOption, jsonOption,
                       devicesOption, verboseOption, metaUrlOption, metaIdUrlOption, adOption,
                       adTimeoutOption});
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

    QUrl adUrl;
    if (parser.isSet(adOption)) {
        adUrl = QUrl(parser.value(adOption), QUrl::StrictMode);
        if (args.isEmpty() || !adUrl.isValid() || adUrl.host().isEmpty()) {
            err << "klplay: --ad takes an absolute address, with a stream address\n";
            return 1;
        }
    }

    bool ok = true;
    const int adTimeoutMs = parser.value(adTimeoutOption).toInt(&ok);
    if (!ok || adTimeoutMs < 0) {
        err << "klplay: --ad-timeout takes a number of ms, 0 or above\n";
        return 1;
    }
    double seconds = 0;
    if (parser.isSet(secondsOption)) {
        seconds = parser.value(secondsOption).toDouble(&ok);
        if (!ok || seconds <= 0) {
            err << "klplay: --seconds takes a number above 0\n";
            return 1;
        }
    }
    double seekTo = -1;
    if (parser.isSet(seekOption)) {
        seekTo = parser.value(seekOption).toDouble(&ok);
        if (args.isEmpty() || !ok || seekTo < 0) {
            err << "klplay: --seek takes a number of seconds, 0 or above, with a stream address\n";
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

    const QUrl url = args.isEmpty() ? QUrl() : addressOf(args.first());
    if (!args.isEmpty() && !url.isValid()) {
        err << "klplay: invalid address " << args.first() << '\n';
        return 1;
    }

    if (!parser.isSet(verboseOption))
        QLoggingCategory::setFilterRules(QStringLiteral("ru.kelvane.player.debug=false"));

    KLBass::outputDevice = device;

    // Without an ad the player plays alone; with one, the ad-aware player owns it.
    std::unique_ptr<KLDaastPlayer> adPlayer;
    std::unique_ptr<KLPlayer> plainPlayer;
    KLPlayerSource *source = nullptr;
    KLPlayer *engine = nullptr;
    if (adUrl.isEmpty()) {
        plainPlayer = std::make_unique<KLPlayer>();
        source = engine = plainPlayer.get();
    } else {
        adPlayer = std::make_unique<KLDaastPlayer>();
        adPlayer->setDaastUrl(adUrl.toString());
        adPlayer->setDaastTimeoutMs(adTimeoutMs);
        source = adPlayer.get();
        engine = adPlayer->player();
    }
    source->setVolume(volume);
    engine->setIsUpdatesLevel(true);
    KLPlayPrinter printer(source, parser.isSet(jsonOption));
    printer.setLevelSource(engine);
    if (adPlayer)
        printer.watchAds(adPlayer.get());

    // Seeks the first time playback starts (a seek outside what has arrived restarts it).
    QMetaObject::Connection seekOnce;
    if (seekTo >= 0) {
        printer.watchPosition(engine);
        seekOnce = QObject::connect(
            engine, &KLPlayerSource::stateChanged, &printer,
            [&printer, &seekOnce, engine, seekTo](KLPlayerSource::State state) {
                if (state != KLPlayerSource::PlayingState)
                    return;
                QObject::disconnect(seekOnce);
                printer.printSeek(seekTo);
                engine->setPosition(seekTo);
            },
            Qt::QueuedConnection);
    }

    KLNetworkAccessManager metaNam;
    KLMetadataUpdater metadata(&metaNam);
    printer.watchMetadata(&metadata);

    QTimer levelTimer;
    levelTimer.setInterval(1000);
    QObject::connect(&levelTimer, &QTimer::timeout, &printer, &KLPlayPrinter::printLevel);

    QObject::connect(source, &KLPlayerSource::ended, &app, [&] {
        printer.printMessage(QStringLiteral("ended"), KLCredentials::redacted(url));
        app.exit(0);
    });
    QObject::connect(source, &KLPlayerSource::error, &app, [&] { app.exit(2); });
    QObject::connect(engine, &KLPlayerSource::deviceFailure, &app, [&] {
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
    QTimer::singleShot(0, source, [&] {
        if (url.isEmpty())
            return;
        source->play(url);
        if (engine->isStopped()) {
            printer.printMessage(QStringLiteral("error"),
                                 QStringLiteral("can not play ") + KLCredentials::redacted(url));
            app.exit(1);
            return;
        }
        levelTimer.start();
    });

    const int code = app.exec();
    source->stop();
    return code;
}
