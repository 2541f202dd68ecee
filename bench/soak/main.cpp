// soak: N players on threads of their own, for a given time, against a loopback server that
// injects faults (see SoakFaultServer). Resident memory, threads and open file descriptors of
// the players' process are sampled along the way; the run ends with one line and fails on a
// crash, on a player that does not play again once the faults have stopped, on more threads
// or file descriptors at the end than after warm-up, or on RSS growth above 10 % (5 % in runs of
// 20 minutes or more).
//
//   soak [--players 32] [--minutes 60 | --seconds S] [--sample-seconds 60] [--fault-seconds S]
//        [--seed 1]
//
// The players run in a child process, so that its memory, threads and descriptors are theirs
// alone and a crash is seen as such; the server runs in this process.
//
// Timeline: the first 15 s are healthy (warm-up; the first sample of threads and descriptors
// is taken at its end, with every player playing), then every new connection meets a fault,
// and the last 45 s (at least; a tenth of longer runs) are healthy again so that every player
// must recover. --fault-seconds ends the faults earlier, which leaves a long healthy stretch in
// which a heap profiler sees what grows while streams play. RSS growth is measured from
// minute 5 to the end; runs shorter than 15 minutes measure from a third of the run instead,
// when every player has met its first faults (the buffers, decoders and connections of all
// players exist by then, so what grows after it is what a longer run would keep growing).

#include "benchplayerthread.h"
#include "soakfaultserver.h"

#include <klbass.h>
#include <klplayer.h>

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QLoggingCategory>
#include <QProcess>
#include <QTemporaryDir>
#include <QTextStream>
#include <QThread>
#include <QTimer>

#include <cstdio>
#include <memory>
#include <vector>

namespace {

constexpr qint64 WarmUpMs = 15000;
// A player has recovered once it has played this long without a break after the faults.
constexpr qint64 RecoveredAfterMs = 5000;
// RSS growth allowed from the baseline to the end: runs of 20 minutes or more measure over a
// long healthy stretch, where anything that keeps growing adds up.
constexpr double MaxRssGrowth = 0.10;
constexpr double MaxRssGrowthLongRun = 0.05;
constexpr qint64 LongRunMs = 20 * 60000;

struct Timeline
{
    qint64 durationMs = 0;
    qint64 faultsFromMs = WarmUpMs;
    qint64 faultsUntilMs = 0;
    qint64 rssBaselineMs = 0;
    qint64 sampleMs = 60000;
    double maxRssGrowth = MaxRssGrowth;

    // faultMs >= 0 ends the faults that long after the warm-up (at the latest at the usual time).
    static Timeline forDuration(qint64 durationMs, qint64 sampleMs, qint64 faultMs = -1)
    {
        Timeline timeline;
        timeline.durationMs = durationMs;
        timeline.sampleMs = sampleMs;
        timeline.faultsUntilMs = durationMs - std::max<qint64>(45000, durationMs / 10);
        if (faultMs >= 0)
            timeline.faultsUntilMs = std::min(timeline.faultsUntilMs, WarmUpMs + faultMs);
        timeline.rssBaselineMs = durationMs >= 15 * 60000 ? 5 * 60000 : durationMs / 3;
        timeline.maxRssGrowth = durationMs >= LongRunMs ? MaxRssGrowthLongRun : MaxRssGrowth;
        return timeline;
    }
};

struct Sample
{
    qint64 ms = 0;
    double rssMiB = 0;
    int threads = 0;
    int fds = 0;
    int playing = 0;
};

Sample sampleSelf(qint64 ms)
{
    Sample sample;
    sample.ms = ms;
    QFile status(QStringLiteral("/proc/self/status"));
    if (status.open(QIODevice::ReadOnly)) {
        for (const QByteArray &line : status.readAll().split('\n')) {
            const QList<QByteArray> fields = line.simplified().split(' ');
            if (fields.size() < 2)
                continue;
            if (fields[0] == "VmRSS:")
                sample.rssMiB = fields[1].toDouble() / 1024.0;
            else if (fields[0] == "Threads:")
                sample.threads = fields[1].toInt();
        }
    }
    sample.fds = int(QDir(QStringLiteral("/proc/self/fd"))
                         .entryList(QDir::Files | QDir::System | QDir::NoDotAndDotDot)
                         .size());
    return sample;
}

// One player on a thread of its own, and what the soak keeps of it.
struct PlayerThread : BenchPlayerThread
{
    qint64 playingSinceMs = -1;
    bool recovered = false;
};

// Child: the players. Prints "sample <ms> <rss MiB> <threads> <fds> <playing>" lines and one
// "result <playing> <stalled> <recovered>" line.
int runPlayers(const QString &urlBase, int count, const Timeline &timeline)
{
    KLBass::outputDevice = 0;
    QTextStream out(stdout);
    std::vector<std::unique_ptr<PlayerThread>> players;
    QElapsedTimer clock;
    clock.start();
    for (int i = 0; i < count; ++i) {
        players.push_back(std::make_unique<PlayerThread>());
        players.back()->start(QUrl(urlBase + QString::number(i)));
    }

    qint64 nextSampleMs = timeline.faultsFromMs;
    int playing = 0;
    int stalled = 0;
    for (;;) {
        const qint64 now = clock.elapsed();
        const bool last = now >= timeline.durationMs;
        playing = 0;
        stalled = 0;
        for (auto &player : players) {
            const auto state = player->state();
            if (state != KLPlayerSource::PlayingState) {
                player->playingSinceMs = -1;
                stalled += state == KLPlayerSource::StalledState ? 1 : 0;
                continue;
            }
            ++playing;
            if (player->playingSinceMs < 0)
                player->playingSinceMs = now;
            if (now - std::max(player->playingSinceMs, timeline.faultsUntilMs) >= RecoveredAfterMs)
                player->recovered = true;
        }
        if (now >= nextSampleMs || last) {
            Sample sample = sampleSelf(now);
            sample.playing = playing;
            out << "sample " << sample.ms << ' ' << sample.rssMiB << ' ' << sample.threads << ' '
                << sample.fds << ' ' << sample.playing << Qt::endl;
            nextSampleMs = (now / timeline.sampleMs + 1) * timeline.sampleMs;
        }
        if (last)
            break;
        QThread::msleep(std::min<qint64>(1000, timeline.durationMs - now));
    }

    int recovered = 0;
    for (auto &player : players)
        recovered += player->recovered ? 1 : 0;
    out << "result " << playing << ' ' << stalled << ' ' << recovered << Qt::endl;
    for (auto &player : players)
        player->finish();
    return 0;
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

QString clockText(qint64 ms)
{
    const qint64 seconds = ms / 1000;
    return QStringLiteral("%1:%2").arg(seconds / 60).arg(seconds % 60, 2, 10, QLatin1Char('0'));
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);

    QCommandLineParser parser;
    parser.addHelpOption();
    const QCommandLineOption playersOption(QStringLiteral("players"),
                                           QStringLiteral("Number of players."),
                                           QStringLiteral("N"), QStringLiteral("32"));
    const QCommandLineOption minutesOption(QStringLiteral("minutes"),
                                           QStringLiteral("Length of the run in minutes."),
                                           QStringLiteral("M"), QStringLiteral("60"));
    const QCommandLineOption secondsOption(
        QStringLiteral("seconds"), QStringLiteral("Length of the run in seconds (overrides)."),
        QStringLiteral("S"));
    const QCommandLineOption sampleOption(QStringLiteral("sample-seconds"),
                                          QStringLiteral("Interval of the samples."),
                                          QStringLiteral("S"), QStringLiteral("60"));
    const QCommandLineOption faultOption(
        QStringLiteral("fault-seconds"),
        QStringLiteral("Length of the faults after the warm-up (default: to the last tenth)."),
        QStringLiteral("S"));
    const QCommandLineOption seedOption(QStringLiteral("seed"),
                                        QStringLiteral("Seed of the fault schedule."),
                                        QStringLiteral("N"), QStringLiteral("1"));
    const QCommandLineOption verboseOption(QStringLiteral("verbose"),
                                           QStringLiteral("Show the players' log."));
    const QCommandLineOption childOption(QStringLiteral("child"), QStringLiteral("(internal)"),
                                         QStringLiteral("URL"));
    parser.addOptions({playersOption, minutesOption, secondsOption, sampleOption, faultOption,
                       seedOption, verboseOption, childOption});
    parser.process(app);

    const int count = std::clamp(parser.value(playersOption).toInt(), 1, 1024);
    const qint64 durationMs = parser.isSet(secondsOption)
                                  ? qRound64(parser.value(secondsOption).toDouble() * 1000)
                                  : qRound64(parser.value(minutesOption).toDouble() * 60000);
    const qint64 sampleMs =
        std::max<qint64>(1000, qRound64(parser.value(sampleOption).toDouble() * 1000));
    const qint64 faultMs =
        parser.isSet(faultOption) ? qRound64(parser.value(faultOption).toDouble() * 1000) : -1;
    const Timeline timeline = Timeline::forDuration(durationMs, sampleMs, faultMs);
    if (timeline.faultsUntilMs <= timeline.faultsFromMs) {
        QTextStream(stderr) << "soak: the run must be longer than " << (WarmUpMs + 45000) / 1000
                            << " s\n";
        return 2;
    }
    if (!parser.isSet(verboseOption))
        QLoggingCategory::setFilterRules(QStringLiteral("ru.kelvane.player*=false"));
    if (parser.isSet(childOption))
        return runPlayers(parser.value(childOption), count, timeline);

    QTextStream out(stdout);
    QTemporaryDir dir;
    const QString mp3Path = dir.filePath(QStringLiteral("tone.mp3"));
    if (!dir.isValid() || !makeMp3(mp3Path)) {
        QTextStream(stderr) << "soak: can not make the test stream with ffmpeg\n";
        return 1;
    }
    QFile file(mp3Path);
    file.open(QIODevice::ReadOnly);
    SoakFaultServer server(file.readAll(), parser.value(seedOption).toUInt());
    if (!server.listen()) {
        QTextStream(stderr) << "soak: can not listen on 127.0.0.1\n";
        return 1;
    }
    server.start(timeline.faultsFromMs, timeline.faultsUntilMs);

    QTimer forget;
    QObject::connect(&forget, &QTimer::timeout, [&] { server.forgetRequests(); });
    forget.start(10000);

    std::vector<Sample> samples;
    int playingAtEnd = 0;
    int stalledAtEnd = 0;
    int recovered = -1;
    QProcess child;
    child.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    QObject::connect(&child, &QProcess::readyReadStandardOutput, [&] {
        while (child.canReadLine()) {
            const QList<QByteArray> fields = child.readLine().trimmed().split(' ');
            if (fields.value(0) == "sample" && fields.size() == 6) {
                const Sample sample{fields[1].toLongLong(), fields[2].toDouble(), fields[3].toInt(),
                                    fields[4].toInt(), fields[5].toInt()};
                samples.push_back(sample);
                out << clockText(sample.ms) << "  RSS " << QString::number(sample.rssMiB, 'f', 1)
                    << " MiB, " << sample.threads << " threads, " << sample.fds << " fds, "
                    << sample.playing << '/' << count << " playing" << Qt::endl;
            } else if (fields.value(0) == "result" && fields.size() == 4) {
                playingAtEnd = fields[1].toInt();
                stalledAtEnd = fields[2].toInt();
                recovered = fields[3].toInt();
            }
        }
    });
    QObject::connect(&child, &QProcess::finished, &app, &QCoreApplication::quit);
    QStringList arguments{"--child",          server.playerUrl(0).toString().chopped(1),
                          "--players",        QString::number(count),
                          "--seconds",        QString::number(durationMs / 1000.0),
                          "--sample-seconds", QString::number(sampleMs / 1000.0)};
    if (faultMs >= 0)
        arguments << QStringLiteral("--fault-seconds") << QString::number(faultMs / 1000.0);
    if (parser.isSet(verboseOption))
        arguments << QStringLiteral("--verbose");
    out << "soak: " << count << " players for " << clockText(durationMs) << ", faults from "
        << clockText(timeline.faultsFromMs) << " to " << clockText(timeline.faultsUntilMs)
        << Qt::endl;
    child.start(QCoreApplication::applicationFilePath(), arguments);
    QCoreApplication::exec();
    child.waitForFinished(-1);

    const int crashes = child.exitStatus() == QProcess::CrashExit || child.exitCode() != 0 ? 1 : 0;
    if (crashes)
        out << "soak: the players' process died: " << child.errorString() << Qt::endl;

    QStringList faults;
    const auto faultCounts = server.faultCounts();
    for (int i = 0; i < SoakFaultServer::FaultCount; ++i)
        faults << QStringLiteral("%1 %2")
                      .arg(faultCounts[i])
                      .arg(QLatin1String(SoakFaultServer::faultName(i)));
    out << "faults injected: " << faults.join(QStringLiteral(", ")) << Qt::endl;

    const Sample first = samples.empty() ? Sample() : samples.front();
    const Sample last = samples.empty() ? Sample() : samples.back();
    Sample baseline = last;
    for (const Sample &sample : samples) {
        if (sample.ms >= timeline.rssBaselineMs) {
            baseline = sample;
            break;
        }
    }
    const double rssGrowth =
        baseline.rssMiB > 0 ? (last.rssMiB - baseline.rssMiB) / baseline.rssMiB : 0;

    QStringList failures;
    if (crashes)
        failures << QStringLiteral("crash");
    if (recovered < count)
        failures
            << QStringLiteral("%1 players did not recover").arg(count - std::max(0, recovered));
    if (last.threads > first.threads)
        failures << QStringLiteral("thread growth");
    if (last.fds > first.fds)
        failures << QStringLiteral("fd growth");
    if (rssGrowth > timeline.maxRssGrowth)
        failures << QStringLiteral("RSS growth");

    out << QStringLiteral("soak %1: %2/%3 players playing or recovering (%4 playing, %5 recovered "
                          "after the faults), crashes %6, RSS %7 MiB at %8 -> %9 MiB at %10 "
                          "(%11%12 %), threads %13/%14, fds %15/%16")
               .arg(failures.isEmpty() ? QStringLiteral("passed")
                                       : QStringLiteral("FAILED (%1)").arg(failures.join(", ")))
               .arg(playingAtEnd + stalledAtEnd)
               .arg(count)
               .arg(playingAtEnd)
               .arg(std::max(0, recovered))
               .arg(crashes)
               .arg(baseline.rssMiB, 0, 'f', 1)
               .arg(clockText(baseline.ms))
               .arg(last.rssMiB, 0, 'f', 1)
               .arg(clockText(last.ms))
               .arg(rssGrowth >= 0 ? QStringLiteral("+") : QString())
               .arg(rssGrowth * 100, 0, 'f', 1)
               .arg(first.threads)
               .arg(last.threads)
               .arg(first.fds)
               .arg(last.fds)
        << Qt::endl;
    return failures.isEmpty() ? 0 : 1;
}
