#include "vcdevservice.h"

#include <QCommandLineParser>
#include <QCoreApplication>

#include <cstdio>

namespace {

// The command line's options.
struct CommandLine
{
    const QCommandLineOption portOption{{QStringLiteral("p"), QStringLiteral("port")},
                                        QStringLiteral("Port on 127.0.0.1 (0 picks a free one)."),
                                        QStringLiteral("port"),
                                        QStringLiteral("0")};
    const QCommandLineOption forbiddenOption{
        QStringLiteral("forbidden"),
        QStringLiteral("Answer every login and state request with 403.")};
    const QCommandLineOption newBuildOption{
        QStringLiteral("new-build"),
        QStringLiteral("Offer this build version (e.g. 1.2.0) in version answers."),
        QStringLiteral("version")};
    const QCommandLineOption streamsOption{QStringLiteral("streams"),
                                           QStringLiteral("Number of streams, 1 to 3."),
                                           QStringLiteral("count"), QStringLiteral("3")};
    const QCommandLineOption burstOption{
        QStringLiteral("burst-ms"),
        QStringLiteral("Milliseconds of audio a new listener gets at once."), QStringLiteral("ms"),
        QStringLiteral("1000")};
    const QCommandLineOption tonesOption{
        QStringLiteral("tones"),
        QStringLiteral("Stream N sends a steady tone of N x 440 Hz instead of music.")};
    const QCommandLineOption hlsOption{
        QStringLiteral("hls"),
        QStringLiteral(
            "Also serve a live HLS station (two variants) and list it after the streams.")};
    const QCommandLineOption oggOption{
        QStringLiteral("ogg"),
        QStringLiteral("Also serve a chained Ogg Vorbis station with a title per song and list "
                       "it last.")};
    const QCommandLineOption lateOption{
        QStringLiteral("late"),
        QStringLiteral("Stream N answers its listeners MS milliseconds late (N:MS)."),
        QStringLiteral("N:MS")};
    const QCommandLineOption toneGainOption{
        QStringLiteral("tone-gain-db"),
        QStringLiteral("With --tones: stream N's tone DB decibels from half of full scale (N:DB); "
                       "may be given for each stream."),
        QStringLiteral("N:DB")};
};

// The stream and the delay of --late (N:MS); false with the complaint printed.
bool readLate(const QString &value, VCDevService::Options *options)
{
    const QStringList late = value.split(QLatin1Char(':'));
    bool streamOk = false, msOk = false;
    if (late.size() == 2) {
        options->lateStream = late[0].toInt(&streamOk);
        options->lateMs = late[1].toInt(&msOk);
    }
    if (!streamOk || !msOk || options->lateStream < 1 || options->lateStream > 3 ||
        options->lateMs < 0 || options->lateMs > 60000) {
        std::fprintf(stderr, "vellacast-devservice: invalid late stream\n");
        return false;
    }
    return true;
}

// The tone levels of --tone-gain-db (N:DB each); false with the complaint printed.
bool readToneGains(const QStringList &values, VCDevService::Options *options)
{
    for (const QString &value : values) {
        const QStringList parts = value.split(QLatin1Char(':'));
        bool streamOk = false, dbOk = false;
        const int stream = parts.size() == 2 ? parts[0].toInt(&streamOk) : 0;
        const double db = parts.size() == 2 ? parts[1].toDouble(&dbOk) : 0;
        if (!streamOk || !dbOk || stream < 1 || stream > 3 || db < -60 || db > 6) {
            std::fprintf(stderr, "vellacast-devservice: invalid tone gain\n");
            return false;
        }
        options->toneGainDb.insert(stream, db);
    }
    return true;
}

// Reads the command line of app into *options (exits for --help); false with the complaint
// printed.
bool readOptions(const QCoreApplication &app, VCDevService::Options *options)
{
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "Development stand-in of the broadcasting service: the player API for the account "
        "demo / demo, endless MP3 streams with switches, and a status page at /."));
    parser.addHelpOption();
    const CommandLine c;
    parser.addOptions({c.portOption, c.forbiddenOption, c.newBuildOption, c.streamsOption,
                       c.burstOption, c.tonesOption, c.hlsOption, c.oggOption, c.lateOption,
                       c.toneGainOption});
    parser.process(app);

    bool ok = false;
    const uint port = parser.value(c.portOption).toUInt(&ok);
    if (!ok || port > 65535) {
        std::fprintf(stderr, "vellacast-devservice: invalid port\n");
        return false;
    }
    options->port = quint16(port);
    options->forbidden = parser.isSet(c.forbiddenOption);
    options->newBuildVersion = parser.value(c.newBuildOption);
    options->streamCount = parser.value(c.streamsOption).toInt(&ok);
    if (!ok) {
        std::fprintf(stderr, "vellacast-devservice: invalid number of streams\n");
        return false;
    }
    options->tones = parser.isSet(c.tonesOption);
    options->hls = parser.isSet(c.hlsOption);
    options->ogg = parser.isSet(c.oggOption);
    options->burstMs = parser.value(c.burstOption).toInt(&ok);
    if (!ok || options->burstMs < 0 || options->burstMs > 60000) {
        std::fprintf(stderr, "vellacast-devservice: invalid burst length\n");
        return false;
    }
    if (parser.isSet(c.lateOption) && !readLate(parser.value(c.lateOption), options))
        return false;
    return readToneGains(parser.values(c.toneGainOption), options);
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("vellacast-devservice"));
    qSetMessagePattern(QStringLiteral("%{time hh:mm:ss.zzz} %{message}"));

    VCDevService::Options options;
    if (!readOptions(app, &options))
        return 2;

    VCDevService service(options);
    QString error;
    if (!service.start(&error)) {
        std::fprintf(stderr, "vellacast-devservice: %s\n", qPrintable(error));
        return 1;
    }
    std::printf("vellacast-devservice listening on %s\n", qPrintable(service.baseUrl()));
    std::fflush(stdout);
    return app.exec();
}
