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

#include "klplayoptions.h"
#include "klplayprinter.h"

#include <klbass.h>
#include <klcredentials.h>
#include <kldaastplayer.h>
#include <klmetadataupdater.h>
#include <klnetworkaccessmanager.h>
#include <klplayer.h>

#include <QCoreApplication>
#include <QLoggingCategory>
#include <QTextStream>
#include <QTimer>

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

// The player of a run: alone, or owned by the ad-aware player when an ad plays first.
struct Players
{
    std::unique_ptr<KLDaastPlayer> ad;
    std::unique_ptr<KLPlayer> plain;
    KLPlayerSource *source = nullptr; // what is played and stopped
    KLPlayer *engine = nullptr;       // the player of the stream itself

    explicit Players(const KLPlayOptions &options)
    {
        if (options.adUrl.isEmpty()) {
            plain = std::make_unique<KLPlayer>();
            source = engine = plain.get();
        } else {
            ad = std::make_unique<KLDaastPlayer>();
            ad->setDaastUrl(options.adUrl.toString());
            ad->setDaastTimeoutMs(options.adTimeoutMs);
            source = ad.get();
            engine = ad->player();
        }
        source->setVolume(options.volume);
        engine->setIsUpdatesLevel(true);
    }
};

// Seeks the first time playback starts (a seek outside what has arrived restarts it).
void seekOnceWhenPlaying(KLPlayer *engine, KLPlayPrinter *printer, double seekTo)
{
    printer->watchPosition(engine);
    auto once = std::make_shared<QMetaObject::Connection>();
    *once = QObject::connect(
        engine, &KLPlayerSource::stateChanged, printer,
        [printer, once, engine, seekTo](KLPlayerSource::State state) {
            if (state != KLPlayerSource::PlayingState)
                return;
            QObject::disconnect(*once);
            printer->printSeek(seekTo);
            engine->setPosition(seekTo);
        },
        Qt::QueuedConnection);
}

// Ends the run with the exit code of what happened.
void connectExits(QCoreApplication &app, const Players &players, KLPlayPrinter &printer,
                  const KLPlayOptions &options)
{
    const QUrl url = options.url;
    QObject::connect(players.source, &KLPlayerSource::ended, &app, [&app, &printer, url] {
        printer.printMessage(QStringLiteral("ended"), KLCredentials::redacted(url));
        app.exit(0);
    });
    QObject::connect(players.source, &KLPlayerSource::error, &app, [&app] { app.exit(2); });
    QObject::connect(players.engine, &KLPlayerSource::deviceFailure, &app, [&app, &printer] {
        printer.printMessage(QStringLiteral("error"), QStringLiteral("device failure"));
        app.exit(3);
    });
    if (options.seconds > 0) {
        QTimer::singleShot(qRound(options.seconds * 1000), &app, [&app, &printer, url] {
            const bool done = url.isEmpty() ? printer.hasNowPlaying() : printer.hasPlayed();
            app.exit(done ? 0 : 4);
        });
    }
}

int run(QCoreApplication &app, const KLPlayOptions &options)
{
    if (!options.verbose)
        QLoggingCategory::setFilterRules(QStringLiteral("ru.kelvane.player.debug=false"));
    KLBass::outputDevice = options.device;

    Players players(options);
    KLPlayPrinter printer(players.source, options.json);
    printer.setLevelSource(players.engine);
    if (players.ad)
        printer.watchAds(players.ad.get());
    if (options.seekTo >= 0)
        seekOnceWhenPlaying(players.engine, &printer, options.seekTo);

    KLNetworkAccessManager metaNam;
    KLMetadataUpdater metadata(&metaNam);
    printer.watchMetadata(&metadata);

    QTimer levelTimer;
    levelTimer.setInterval(1000);
    QObject::connect(&levelTimer, &QTimer::timeout, &printer, &KLPlayPrinter::printLevel);
    connectExits(app, players, printer, options);

    QTimer::singleShot(0, &metadata, [&] {
        metadata.setMetaIdUrl(options.metaIdUrl);
        metadata.setMetaUrl(options.metaUrl);
    });
    QTimer::singleShot(0, players.source, [&] {
        if (options.url.isEmpty())
            return;
        players.source->play(options.url);
        if (players.engine->isStopped()) {
            printer.printMessage(QStringLiteral("error"), QStringLiteral("can not play ") +
                                                              KLCredentials::redacted(options.url));
            app.exit(1);
            return;
        }
        levelTimer.start();
    });

    const int code = app.exec();
    players.source->stop();
    return code;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("klplay"));

    KLPlayOptions options;
    QString error;
    if (!options.parse(app, &error)) {
        QTextStream(stderr) << error;
        return 1;
    }
    if (options.listDevices)
        return listDevices();
    return run(app, options);
}
