// bench-players: CPU and memory of many players on their own threads, each playing a paced
// 128 kbps MP3 stream from a loopback server on the "No sound" device, beside ffmpeg decoding
// the same streams in the same run; and the time from play() to the first audio with and
// without a server burst.
//
//   bench-players [--seconds T] [--counts 1,8,32] [--json]
//
// The players run in a child process per count, so that its CPU time and peak RSS are its own;
// the loopback server runs in this process.

#include "benchplayerthread.h"
#include <klbass.h>
#include <klplayer.h>
#include <loopbackhttpserver.h>

#include <bass.h>

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

#include <memory>
#include <vector>

namespace {

constexpr int BytesPerSecond = 128000 / 8;
constexpr int PaceIntervalMs = 100;
constexpr int PieceBytes = BytesPerSecond * PaceIntervalMs / 1000;
constexpr int BurstSeconds = 4;

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
int runPlayers(const QUrl &url, int n, double seconds)
{
    KLBass::outputDevice = 0;
    std::vector<std::unique_ptr<PlayerThread>> players;
    const double cpuBefore = cpuSeconds(RUSAGE_SELF);
    QElapsedTimer clock;
    clock.start();
    for (int i = 0; i < n; ++i) {
        players.push_back(std::make_unique<PlayerThread>());
        players.back()->start(url);
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

// n ffmpeg processes decoding the stream for the given time; CPU seconds of all of them.
double runFfmpeg(const QUrl &url, int n, double seconds)
{
    const double before = cpuSeconds(RUSAGE_CHILDREN);
    std::vector<std::unique_ptr<QProcess>> processes;
    for (int i = 0; i < n; ++i) {
        auto process = std::make_unique<QProcess>();
        process->setProcessChannelMode(QProcess::ForwardedErrorChannel);
        // Joining a live stream mid-frame makes ffmpeg report a damaged first frame: only
        // fatal errors are worth showing here.
        process->start(QStringLiteral("ffmpeg"),
                       {"-nostdin", "-loglevel", "fatal", "-i", url.toString(), "-t",
                        QString::number(seconds), "-f", "null", "-"});
        processes.push_back(std::move(process));
    }
    for (auto &process : processes)
        process->waitForFinished(-1);
    return cpuSeconds(RUSAGE_CHILDREN) - before;
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
    const QCommandLineOption jsonOption(QStringLiteral("json"),
                                        QStringLiteral("One JSON object per count."));
    const QCommandLineOption childOption(QStringLiteral("child"), QStringLiteral("(internal)"),
                                         QStringLiteral("N"));
    const QCommandLineOption firstAudioOption(QStringLiteral("first-audio"),
                                              QStringLiteral("(internal)"));
    const QCommandLineOption urlOption(QStringLiteral("url"), QStringLiteral("(internal)"),
                                       QStringLiteral("URL"));
    parser.addOptions(
        {secondsOption, countsOption, jsonOption, childOption, firstAudioOption, urlOption});
    parser.process(app);

    const double seconds = parser.value(secondsOption).toDouble();
    const QUrl url(parser.value(urlOption));
    if (parser.isSet(childOption))
        return runPlayers(url, parser.value(childOption).toInt(), seconds);
    if (parser.isSet(firstAudioOption))
        return runFirstAudio(url);

    QTextStream out(stdout);
    QTemporaryDir dir;
    const QString mp3Path = dir.filePath(QStringLiteral("tone.mp3"));
    if (!dir.isValid() || !makeMp3(mp3Path)) {
        QTextStream(stderr) << "bench-players: can not make the test stream with ffmpeg\n";
        return 1;
    }
    QFile file(mp3Path);
    file.open(QIODevice::ReadOnly);
    const QByteArray mp3 = file.readAll();

    LoopbackHttpServer server(LoopbackHttpServer::OwnThread);
    if (!server.listen()) {
        QTextStream(stderr) << "bench-players: can not listen on 127.0.0.1\n";
        return 1;
    }
    serveStream(server, QStringLiteral("/live"), mp3, 0);
    serveStream(server, QStringLiteral("/burst"), mp3, BurstSeconds);
    const QUrl liveUrl = server.url(QStringLiteral("/live"));

    const bool json = parser.isSet(jsonOption);
    if (!json)
        out << QStringLiteral("%1 %2 %3 %4 %5 %6 %7 %8\n")
                   .arg("N", 4)
                   .arg("cpu s/stream-min", 17)
                   .arg("RSS MiB", 9)
                   .arg("RSS limit", 10)
                   .arg("ffmpeg cpu s/stream-min", 24)
                   .arg("ratio", 7)
                   .arg("playing", 8)
                   .arg("stalls", 7);
    out.flush();

    for (const QString &countText : parser.value(countsOption).split(QLatin1Char(','))) {
        const int n = countText.toInt();
        if (n < 1)
            continue;
        const QJsonObject ours =
            runChild({"--child", QString::number(n), "--url", liveUrl.toString(), "--seconds",
                      QString::number(seconds)});
        const double streamMinutes = n * seconds / 60.0;
        const double ffmpegCpu = runFfmpeg(liveUrl, n, seconds);
        const double cpuPerMin = ours.value("cpu_s").toDouble() / streamMinutes;
        const double ffmpegPerMin = ffmpegCpu / streamMinutes;
        const double ratio = ffmpegPerMin > 0 ? cpuPerMin / ffmpegPerMin : 0;
        const double rss = ours.value("rss_mib").toDouble();
        if (json) {
            out << QJsonDocument(QJsonObject{{"n", n},
                                             {"cpu_s_per_stream_min", cpuPerMin},
                                             {"rss_mib", rss},
                                             {"ffmpeg_cpu_s_per_stream_min", ffmpegPerMin},
                                             {"ratio", ratio},
                                             {"playing", ours.value("playing").toInt()},
                                             {"stalls", ours.value("stalls").toInt()}})
                       .toJson(QJsonDocument::Compact)
                << '\n';
        } else {
            out << QStringLiteral("%1 %2 %3 %4 %5 %6 %7 %8\n")
                       .arg(n, 4)
                       .arg(cpuPerMin, 17, 'f', 3)
                       .arg(rss, 9, 'f', 1)
                       .arg(64.0 + 4.0 * n, 10, 'f', 1)
                       .arg(ffmpegPerMin, 24, 'f', 3)
                       .arg(ratio, 7, 'f', 2)
                       .arg(QStringLiteral("%1/%2").arg(ours.value("playing").toInt()).arg(n), 8)
                       .arg(ours.value("stalls").toInt(), 7);
        }
        out.flush();
    }

    const auto firstAudio = [&](const QString &path) {
        return runChild({"--first-audio", "--url", server.url(path).toString()})
            .value("first_audio_ms")
            .toInteger(-1);
    };
    const qint64 noBurstMs = firstAudio(QStringLiteral("/live"));
    const qint64 burstMs = firstAudio(QStringLiteral("/burst"));
    if (json) {
        out << QJsonDocument(QJsonObject{{"first_audio_ms_no_burst", noBurstMs},
                                         {"first_audio_ms_burst_4s", burstMs}})
                   .toJson(QJsonDocument::Compact)
            << '\n';
    } else {
        out << "first audio after play(), no burst:  " << noBurstMs << " ms\n";
        out << "first audio after play(), 4 s burst: " << burstMs << " ms\n";
    }
    return 0;
}
