// bench-players: CPU and memory of many players on their own threads on the "No sound" device,
// beside ffmpeg decoding the same streams in the same run, and the time from play() to the
// first audio of both. Two kinds of stream from a loopback server: "icy", a paced 128 kbps MP3
// stream (first audio also with a server burst), and "hls", a live HLS station whose window of
// three 1 s segments (128 kbps AAC in a transport stream) moves on with the clock.
//
//   bench-players [--seconds T] [--counts 1,8,32] [--kinds icy,hls] [--json] [--floor]
//                 [--loudness]
//
// --floor adds a row per kind: the engine decoding the same audio from memory with no player,
// no network and no device, for as much audio as the largest count plays; the other rows then
// show their cost against it.
//
// With --loudness every count runs a second time with the loudness measurement on, and the
// difference in CPU per stream is reported from the same run.
//
// The players run in a child process per count, so that its CPU time and peak RSS are its own;
// the loopback server runs in this process.

#include "benchplayerthread.h"
#include <hlstestmedia.h>
#include <klbass.h>
#include <klplayer.h>
#include <loopbackhttpserver.h>

#include <bass.h>
#include <decoder.h>
#include <memorysource.h>

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLoggingCategory>
#include <QProcess>
#include <QTemporaryDir>
#include <QTextStream>
#include <QThread>
#include <QTimer>

#include <sys/resource.h>

#include <algorithm>
#include <memory>
#include <vector>

namespace {

constexpr int BytesPerSecond = 128000 / 8;
constexpr int PaceIntervalMs = 100;
constexpr int PieceBytes = BytesPerSecond * PaceIntervalMs / 1000;
constexpr int BurstSeconds = 4;
constexpr int FirstAudioRuns = 3; // the median of these is reported

double cpuSeconds(int who)
{
    rusage usage{};
    getrusage(who, &usage);
    return double(usage.ru_utime.tv_sec) + usage.ru_utime.tv_usec / 1e6 +
           double(usage.ru_stime.tv_sec) + usage.ru_stime.tv_usec / 1e6;
}

double peakRssMiB()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss / 1024.0;
}

// One player on a thread of its own.
struct PlayerThread : BenchPlayerThread
{
    bool isPlaying() { return state() == KLPlayerSource::PlayingState; }
};

// Child: n players for the given time; prints one JSON object.
int runPlayers(const QUrl &url, int n, double seconds, bool measuresLoudness)
{
    KLBass::outputDevice = 0;
    std::vector<std::unique_ptr<PlayerThread>> players;
    const double cpuBefore = cpuSeconds(RUSAGE_SELF);
    QElapsedTimer clock;
    clock.start();
    for (int i = 0; i < n; ++i) {
        players.push_back(std::make_unique<PlayerThread>());
        players.back()->start(url, measuresLoudness);
    }
    QThread::msleep(qRound(seconds * 1000));
    int playing = 0;
    int stalls = 0;
    for (auto &player : players) {
        playing += player->isPlaying() ? 1 : 0;
        stalls += player->stalls();
    }
    for (auto &player : players)
        player->finish();
    const double wall = clock.elapsed() / 1000.0;
    const double cpu = cpuSeconds(RUSAGE_SELF) - cpuBefore;

    QJsonObject result{{"cpu_s", cpu},
                       {"wall_s", wall},
                       {"rss_mib", peakRssMiB()},
                       {"playing", playing},
                       {"stalls", stalls}};
    QTextStream(stdout) << QJsonDocument(result).toJson(QJsonDocument::Compact) << '\n';
    return 0;
}

// Child: milliseconds from play() to the first played audio.
int runFirstAudio(const QUrl &url)
{
    KLBass::outputDevice = 0;
    KLPlayer player;
    QElapsedTimer clock;
    qint64 firstAudioMs = -1;
    QTimer poll;
    poll.setInterval(2);
    QObject::connect(&poll, &QTimer::timeout, [&] {
        const HSTREAM handle = player.stream();
        const QWORD played = handle ? BASS_ChannelGetPosition(handle, BASS_POS_BYTE) : 0;
        if (played != 0 && played != QWORD(-1)) {
            firstAudioMs = clock.elapsed();
            QCoreApplication::exit(0);
        }
    });
    QTimer::singleShot(20000, [] { QCoreApplication::exit(1); });
    QTimer::singleShot(0, [&] {
        clock.start();
        poll.start();
        player.play(url);
    });
    QCoreApplication::exec();
    player.stop();
    QTextStream(stdout) << QJsonDocument(QJsonObject{{"first_audio_ms", firstAudioMs}})
                               .toJson(QJsonDocument::Compact)
                        << '\n';
    return 0;
}

// Child: the bare decode of the file's audio with the engine's own decoder (demuxer, codec and
// conversion to the engine's sample format; no player, network, thread, mixer or device), over
// and over from memory until `seconds` of it are decoded; prints the CPU time it took.
int runFloor(const QString &path, double seconds)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return 1;
    const QByteArray bytes = file.readAll();
    engine::Decoder::Params params;
    params.fileName = path.toStdString();
    const double cpuBefore = cpuSeconds(RUSAGE_SELF);
    int64_t frames = 0;
    double decoded = 0;
    while (decoded < seconds) {
        int error = 0;
        const std::unique_ptr<engine::Decoder> decoder = engine::Decoder::open(
            std::make_unique<engine::MemorySource>(
                reinterpret_cast<const uint8_t *>(bytes.constData()), bytes.size()),
            params, &error);
        if (!decoder)
            return 1;
        int64_t fileFrames = 0;
        int64_t offset = 0;
        for (int n; (n = decoder->decode(&offset)) > 0;)
            fileFrames += n;
        if (fileFrames == 0)
            return 1;
        frames += fileFrames;
        decoded = double(frames) / decoder->rate();
    }
    const double cpu = cpuSeconds(RUSAGE_SELF) - cpuBefore;
    QTextStream(stdout) << QJsonDocument(QJsonObject{{"cpu_s", cpu}, {"audio_s", decoded}})
                               .toJson(QJsonDocument::Compact)
                        << '\n';
    return 0;
}

QJsonObject runChild(const QStringList &arguments)
{
    QProcess child;
    child.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    child.start(QCoreApplication::applicationFilePath(), arguments);
    if (!child.waitForFinished(-1) || child.exitCode() != 0)
        return {};
    const QList<QByteArray> lines = child.readAllStandardOutput().trimmed().split('\n');
    return QJsonDocument::fromJson(lines.last()).object();
}

// Peak resident memory of a running process in MiB; 0 when it can not be read.
double peakRssMiB(qint64 pid)
{
    QFile status(QStringLiteral("/proc/%1/status").arg(pid));
    if (!status.open(QIODevice::ReadOnly))
        return 0;
    for (const QByteArray &line : status.readAll().split('\n')) {
        if (line.startsWith("VmHWM:"))
            return line.mid(6).trimmed().split(' ').value(0).toDouble() / 1024.0;
    }
    return 0;
}

struct FfmpegRun
{
    double cpuSeconds = 0;
    double rssMiB = 0; // the peaks of all processes added up
};

// n ffmpeg processes decoding the stream for the given time, as long as the players played.
FfmpegRun runFfmpeg(const QUrl &url, int n, double seconds)
{
    const double before = cpuSeconds(RUSAGE_CHILDREN);
    std::vector<std::unique_ptr<QProcess>> processes;
    for (int i = 0; i < n; ++i) {
        auto process = std::make_unique<QProcess>();
        process->setProcessChannelMode(QProcess::ForwardedErrorChannel);
        // Joining a live stream mid-frame makes ffmpeg report a damaged first frame: only
        // fatal errors are worth showing here.
        process->start(QStringLiteral("ffmpeg"),
                       {"-nostdin", "-loglevel", "fatal", "-i", url.toString(), "-f", "null", "-"});
        processes.push_back(std::move(process));
    }
    QThread::msleep(qRound(seconds * 1000));
    FfmpegRun run;
    for (auto &process : processes) {
        run.rssMiB += peakRssMiB(process->processId());
        process->terminate();
    }
    for (auto &process : processes) {
        if (!process->waitForFinished(10000)) {
            process->kill();
            process->waitForFinished(-1);
        }
    }
    run.cpuSeconds = cpuSeconds(RUSAGE_CHILDREN) - before;
    return run;
}

// Milliseconds from starting ffmpeg to the first decoded audio on its output; -1 when none came
// within 20 s.
qint64 ffmpegFirstAudioMs(const QUrl &url)
{
    QProcess ffmpeg;
    ffmpeg.setProcessChannelMode(QProcess::SeparateChannels);
    ffmpeg.setStandardErrorFile(QProcess::nullDevice());
    QElapsedTimer clock;
    clock.start();
    ffmpeg.start(QStringLiteral("ffmpeg"), {"-nostdin", "-loglevel", "fatal", "-i", url.toString(),
                                            "-flush_packets", "1", "-f", "s16le", "-"});
    qint64 firstAudioMs = -1;
    while (ffmpeg.waitForReadyRead(int(qMax<qint64>(1, 20000 - clock.elapsed())))) {
        if (!ffmpeg.readAllStandardOutput().isEmpty()) {
            firstAudioMs = clock.elapsed();
            break;
        }
    }
    ffmpeg.kill();
    ffmpeg.waitForFinished(-1);
    return firstAudioMs;
}

bool makeMp3(const QString &path)
{
    QProcess ffmpeg;
    ffmpeg.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    ffmpeg.start(QStringLiteral("ffmpeg"),
                 {"-nostdin", "-loglevel", "error", "-y", "-f", "lavfi", "-i",
                  "sine=frequency=440:duration=30", "-ac", "2", "-ar", "44100", "-c:a",
                  "libmp3lame", "-b:a", "128k", "-write_xing", "0", path});
    return ffmpeg.waitForFinished(-1) && ffmpeg.exitCode() == 0;
}

// The file as an endless paced stream; the first piece holds burstSeconds of audio.
void serveStream(LoopbackHttpServer &server, const QString &path, const QByteArray &mp3,
                 int burstSeconds)
{
    server.route(path, [mp3, burstSeconds](LoopbackHttpExchange &exchange) {
        exchange.writeHead(200, {{"Content-Type", "audio/mpeg"}, {"icy-br", "128"}});
        auto offset = std::make_shared<qsizetype>(0);
        exchange.stream(
            [mp3, offset, burstSeconds](qint64 tick) {
                const qsizetype size =
                    tick == 0 && burstSeconds > 0 ? BytesPerSecond * burstSeconds : PieceBytes;
                QByteArray piece;
                while (piece.size() < size) {
                    const qsizetype take = std::min(size - piece.size(), mp3.size() - *offset);
                    piece.append(mp3.constData() + *offset, take);
                    *offset = (*offset + take) % mp3.size();
                }
                return piece;
            },
            PaceIntervalMs);
    });
}

} // namespace

// One kind of stream: where the players and ffmpeg find it, and where they join it for the
// first-audio measurement (with and without a burst, for the paced stream).
struct StreamKind
{
    QString name;
    QString description;
    QUrl url;
    QList<std::pair<QString, QUrl>> firstAudioUrls;
    QString floorPath; // the same audio as a file, for the bare decode
};

template <typename T> T median(QList<T> values)
{
    std::sort(values.begin(), values.end());
    return values.isEmpty() ? T(-1) : values.at(values.size() / 2);
}

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QLoggingCategory::setFilterRules(QStringLiteral("ru.kelvane.player.debug=false"));

    QCommandLineParser parser;
    parser.addHelpOption();
    const QCommandLineOption secondsOption(QStringLiteral("seconds"),
                                           QStringLiteral("Play time per count."),
                                           QStringLiteral("T"), QStringLiteral("20"));
    const QCommandLineOption countsOption(QStringLiteral("counts"),
                                          QStringLiteral("Player counts, comma separated."),
                                          QStringLiteral("LIST"), QStringLiteral("1,8,32"));
    const QCommandLineOption kindsOption(QStringLiteral("kinds"),
                                         QStringLiteral("Stream kinds, comma separated: icy, hls."),
                                         QStringLiteral("LIST"), QStringLiteral("icy,hls"));
    const QCommandLineOption jsonOption(QStringLiteral("json"),
                                        QStringLiteral("One JSON object per count."));
    const QCommandLineOption floorOption(
        QStringLiteral("floor"),
        QStringLiteral("Add a row with the bare decode of the same audio, and each row's cost "
                       "against it."));
    const QCommandLineOption floorChildOption(QStringLiteral("floor-child"),
                                              QStringLiteral("(internal)"), QStringLiteral("FILE"));
    const QCommandLineOption childOption(QStringLiteral("child"), QStringLiteral("(internal)"),
                                         QStringLiteral("N"));
    const QCommandLineOption firstAudioOption(QStringLiteral("first-audio"),
                                              QStringLiteral("(internal)"));
    const QCommandLineOption urlOption(QStringLiteral("url"), QStringLiteral("(internal)"),
                                       QStringLiteral("URL"));
    const QCommandLineOption loudnessOption(
        QStringLiteral("loudness"),
        QStringLiteral("Run every count again with the loudness measurement on."));
    const QCommandLineOption measureOption(QStringLiteral("measure-loudness"),
                                           QStringLiteral("(internal)"));
    parser.addOptions({secondsOption, countsOption, kindsOption, jsonOption, floorOption,
                       floorChildOption, childOption, firstAudioOption, urlOption, loudnessOption,
                       measureOption});
    parser.process(app);

    const double seconds = parser.value(secondsOption).toDouble();
    const QUrl url(parser.value(urlOption));
    if (parser.isSet(childOption))
        return runPlayers(url, parser.value(childOption).toInt(), seconds,
                          parser.isSet(measureOption));
    if (parser.isSet(firstAudioOption))
        return runFirstAudio(url);
    if (parser.isSet(floorChildOption))
        return runFloor(parser.value(floorChildOption), seconds);

    QList<int> counts;
    for (const QString &countText : parser.value(countsOption).split(QLatin1Char(','))) {
        if (countText.toInt() > 0)
            counts << countText.toInt();
    }
    const QStringList kindNames = parser.value(kindsOption).split(QLatin1Char(','));

    QTextStream out(stdout);
    QTextStream err(stderr);
    QTemporaryDir dir;
    const QString mp3Path = dir.filePath(QStringLiteral("tone.mp3"));
    if (!dir.isValid() || !makeMp3(mp3Path)) {
        err << "bench-players: can not make the test stream with ffmpeg\n";
        return 1;
    }
    QFile file(mp3Path);
    file.open(QIODevice::ReadOnly);
    const QByteArray mp3 = file.readAll();

    LoopbackHttpServer server(LoopbackHttpServer::OwnThread);
    if (!server.listen()) {
        err << "bench-players: can not listen on 127.0.0.1\n";
        return 1;
    }
    QList<StreamKind> kinds;
    if (kindNames.contains(QLatin1String("icy"))) {
        serveStream(server, QStringLiteral("/live"), mp3, 0);
        serveStream(server, QStringLiteral("/burst"), mp3, BurstSeconds);
        kinds.append({QStringLiteral("icy"),
                      QStringLiteral("a paced 128 kbps MP3 stream"),
                      server.url(QStringLiteral("/live")),
                      {{QStringLiteral("no burst"), server.url(QStringLiteral("/live"))},
                       {QStringLiteral("%1 s burst").arg(BurstSeconds),
                        server.url(QStringLiteral("/burst"))}},
                      mp3Path});
    }
    HlsTestMedia::HlsStation station;
    if (kindNames.contains(QLatin1String("hls"))) {
        // Enough segments for the whole run, first-audio runs included: a station that starts
        // over would set its time stamps back.
        const int recordSeconds = qCeil(seconds * 2 * counts.size() * kindNames.size()) + 120;
        const QList<QByteArray> segments =
            HlsTestMedia::makeSegments(dir.path(), QStringLiteral("mpegts"), 128, recordSeconds);
        if (segments.isEmpty()) {
            err << "bench-players: can not make the HLS segments with ffmpeg\n";
            return 1;
        }
        station.addVariant(128000, segments, false);
        // The first segments back to back make one transport stream to decode.
        QFile floorFile(dir.filePath(QStringLiteral("floor.ts")));
        floorFile.open(QIODevice::WriteOnly);
        for (const QByteArray &segment : segments.mid(0, 30))
            floorFile.write(segment);
        floorFile.close();
        station.install(server);
        const QUrl playlist = server.url(QStringLiteral("/hls/128000/index.m3u8"));
        kinds.append({QStringLiteral("hls"),
                      QStringLiteral("a live HLS station, 1 s segments of 128 kbps AAC in a "
                                     "transport stream, a window of three"),
                      playlist,
                      {{QStringLiteral("live"), playlist}},
                      floorFile.fileName()});
    }

    const bool json = parser.isSet(jsonOption);
    const bool floor = parser.isSet(floorOption) && !counts.isEmpty();
    const bool measureLoudness = parser.isSet(loudnessOption);
    for (const StreamKind &kind : std::as_const(kinds)) {
        if (!json)
            out << kind.name << ": " << kind.description << "\n"
                << QStringLiteral("%1 %2 %3 %4 %5 %6 %7 %8 %9")
                       .arg("N", 4)
                       .arg("cpu s/stream-min", 17)
                       .arg("RSS MiB", 9)
                       .arg("RSS limit", 10)
                       .arg("ffmpeg cpu s/stream-min", 24)
                       .arg("ffmpeg RSS MiB", 15)
                       .arg("ratio", 7)
                       .arg("playing", 8)
                       .arg("stalls", 7)
                << (floor ? QStringLiteral(" %1\n").arg("x floor", 8) : QStringLiteral("\n"));
        out.flush();

        // The floor decodes as much audio as the largest count plays, in the same run.
        double floorPerMin = 0;
        if (floor) {
            const double audioSeconds = seconds * *std::max_element(counts.cbegin(), counts.cend());
            const QJsonObject bare = runChild(
                {"--floor-child", kind.floorPath, "--seconds", QString::number(audioSeconds)});
            const double audio = bare.value("audio_s").toDouble();
            floorPerMin = audio > 0 ? bare.value("cpu_s").toDouble() / (audio / 60.0) : 0;
            if (json) {
                out << QJsonDocument(QJsonObject{{"kind", kind.name},
                                                 {"floor", true},
                                                 {"audio_s", audio},
                                                 {"cpu_s_per_stream_min", floorPerMin}})
                           .toJson(QJsonDocument::Compact)
                    << '\n';
            } else {
                out << QStringLiteral("%1 %2   (bare decode of %3 s of the same audio)\n")
                           .arg("floor", 4)
                           .arg(floorPerMin, 17, 'f', 3)
                           .arg(audio, 0, 'f', 0);
            }
            out.flush();
        }

        for (const int n : std::as_const(counts)) {
            const QJsonObject ours =
                runChild({"--child", QString::number(n), "--url", kind.url.toString(), "--seconds",
                          QString::number(seconds)});
            const double streamMinutes = n * seconds / 60.0;
            const FfmpegRun ffmpeg = runFfmpeg(kind.url, n, seconds);
            const double cpuPerMin = ours.value("cpu_s").toDouble() / streamMinutes;
            const double ffmpegPerMin = ffmpeg.cpuSeconds / streamMinutes;
            const double ratio = ffmpegPerMin > 0 ? cpuPerMin / ffmpegPerMin : 0;
            const double rss = ours.value("rss_mib").toDouble();
            const double floorRatio = floorPerMin > 0 ? cpuPerMin / floorPerMin : 0;
            if (json) {
                QJsonObject row{{"kind", kind.name},
                                {"n", n},
                                {"cpu_s_per_stream_min", cpuPerMin},
                                {"rss_mib", rss},
                                {"ffmpeg_cpu_s_per_stream_min", ffmpegPerMin},
                                {"ffmpeg_rss_mib", ffmpeg.rssMiB},
                                {"ratio", ratio},
                                {"playing", ours.value("playing").toInt()},
                                {"stalls", ours.value("stalls").toInt()}};
                if (floor) {
                    row.insert("floor_cpu_s_per_stream_min", floorPerMin);
                    row.insert("floor_ratio", floorRatio);
                }
                out << QJsonDocument(row).toJson(QJsonDocument::Compact) << '\n';
            } else {
                out << QStringLiteral("%1 %2 %3 %4 %5 %6 %7 %8 %9")
                           .arg(n, 4)
                           .arg(cpuPerMin, 17, 'f', 3)
                           .arg(rss, 9, 'f', 1)
                           .arg(64.0 + 4.0 * n, 10, 'f', 1)
                           .arg(ffmpegPerMin, 24, 'f', 3)
                           .arg(ffmpeg.rssMiB, 15, 'f', 1)
                           .arg(ratio, 7, 'f', 2)
                           .arg(QStringLiteral("%1/%2").arg(ours.value("playing").toInt()).arg(n),
                                8)
                           .arg(ours.value("stalls").toInt(), 7)
                    << (floor ? QStringLiteral(" %1\n").arg(floorRatio, 8, 'f', 2)
                              : QStringLiteral("\n"));
            }
            if (measureLoudness) {
                const QJsonObject measuring =
                    runChild({"--child", QString::number(n), "--url", kind.url.toString(),
                              "--seconds", QString::number(seconds), "--measure-loudness"});
                const double loudnessPerMin = measuring.value("cpu_s").toDouble() / streamMinutes;
                const double increase =
                    cpuPerMin > 0 ? 100.0 * (loudnessPerMin - cpuPerMin) / cpuPerMin : 0;
                if (json) {
                    out << QJsonDocument(QJsonObject{{"kind", kind.name},
                                                     {"n", n},
                                                     {"loudness", true},
                                                     {"cpu_s_per_stream_min", loudnessPerMin},
                                                     {"increase_percent", increase},
                                                     {"playing", measuring.value("playing")}})
                               .toJson(QJsonDocument::Compact)
                        << '\n';
                } else {
                    out << QStringLiteral("%1 %2 with loudness measured: %3 %\n")
                               .arg(n, 4)
                               .arg(loudnessPerMin, 17, 'f', 3)
                               .arg(increase, 0, 'f', 1);
                }
            }
            out.flush();
        }

        // Time to first audio: ours is the first sample the "No sound" device played, ffmpeg's
        // the first decoded sample on its output, counted from starting the process.
        for (const auto &[name, firstAudioUrl] : kind.firstAudioUrls) {
            QList<qint64> oursMs;
            QList<qint64> ffmpegMs;
            for (int run = 0; run < FirstAudioRuns; ++run) {
                oursMs << runChild({"--first-audio", "--url", firstAudioUrl.toString()})
                              .value("first_audio_ms")
                              .toInteger(-1);
                ffmpegMs << ffmpegFirstAudioMs(firstAudioUrl);
            }
            if (json) {
                out << QJsonDocument(QJsonObject{{"kind", kind.name},
                                                 {"first_audio", name},
                                                 {"first_audio_ms", median(oursMs)},
                                                 {"ffmpeg_first_audio_ms", median(ffmpegMs)}})
                           .toJson(QJsonDocument::Compact)
                    << '\n';
            } else {
                out << QStringLiteral("first audio, %1 (median of %2): ours %3 ms, ffmpeg %4 ms\n")
                           .arg(name)
                           .arg(FirstAudioRuns)
                           .arg(median(oursMs))
                           .arg(median(ffmpegMs));
            }
            out.flush();
        }
    }
    return 0;
}
