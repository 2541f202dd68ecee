#include "playertestmedia.h"

#include <QFile>
#include <QRegularExpression>

#include <spawn.h>
#include <sys/wait.h>

#include <algorithm>
#include <memory>
#include <vector>

extern char **environ;

namespace PlayerTestMedia {

namespace {

constexpr int PaceIntervalMs = 50;

QByteArray icyBlock(const QString &title)
{
    QByteArray text = "StreamTitle='" + title.toUtf8() + "';";
    const qsizetype blocks = (text.size() + 15) / 16;
    text.resize(blocks * 16, '\0');
    return char(blocks) + text;
}

} // namespace

namespace {

QStringList ffmpegArguments(const Mp3 &file)
{
    const QString amplitude =
        file.stepSeconds > 0
            ? QStringLiteral("%1*(1+floor(t/%2))").arg(file.amplitude).arg(file.stepSeconds)
            : QString::number(file.amplitude);
    const QString source =
        file.amplitude > 0
            ? QStringLiteral("aevalsrc=%1*sin(2*PI*%2*t)|%1*sin(2*PI*%2*t):s=44100:d=%3")
                  .arg(amplitude)
                  .arg(file.frequency)
                  .arg(file.seconds)
            : QStringLiteral("anullsrc=r=44100:cl=stereo:d=%1").arg(file.seconds);
    return {"-nostdin",    "-loglevel",  "error",  "-y",
            "-f",          "lavfi",      "-i",     source,
            "-ac",         "2",          "-ar",    "44100",
            "-c:a",        "libmp3lame", "-b:a",   QStringLiteral("%1k").arg(file.bitrateKbps),
            "-write_xing", "0",          file.path};
}

} // namespace

bool makeMp3(const QString &path, double seconds, double amplitude, int bitrateKbps, int frequency)
{
    return makeMp3s({{path, seconds, amplitude, bitrateKbps, frequency}});
}

bool makeMp3s(const QList<Mp3> &files)
{
    QList<QStringList> runs;
    for (const Mp3 &file : files)
        runs.append(ffmpegArguments(file));
    return runFfmpeg(runs);
}

bool runFfmpeg(const QList<QStringList> &runs)
{
    // posix_spawn rather than QProcess: it does not fork, which ThreadSanitizer refuses once
    // threads run.
    std::vector<pid_t> children;
    bool ok = true;
    for (const QStringList &run : runs) {
        QList<QByteArray> arguments{"ffmpeg"};
        for (const QString &argument : run)
            arguments.append(argument.toLocal8Bit());
        std::vector<char *> argv;
        for (QByteArray &argument : arguments)
            argv.push_back(argument.data());
        argv.push_back(nullptr);
        pid_t pid = 0;
        if (posix_spawnp(&pid, "ffmpeg", nullptr, nullptr, argv.data(), environ) == 0)
            children.push_back(pid);
        else
            ok = false;
    }
    for (const pid_t pid : children) {
        int status = 0;
        ok = waitpid(pid, &status, 0) == pid && WIFEXITED(status) && WEXITSTATUS(status) == 0 && ok;
    }
    return ok;
}

QByteArray makeChainedOgg(const QString &dir, const QString &codec, int songs, double seconds)
{
    QList<QStringList> runs;
    QStringList paths;
    for (int i = 1; i <= songs; ++i) {
        const QString path = QStringLiteral("%1/%2-%3.ogg").arg(dir, codec).arg(i);
        paths.append(path);
        runs.append({"-nostdin", "-loglevel", "error", "-y", "-f", "lavfi", "-i",
                     QStringLiteral("sine=frequency=%1:sample_rate=48000:duration=%2")
                         .arg(220 * i)
                         .arg(seconds),
                     "-ac", "2", "-c:a", codec, "-b:a", "96k", "-metadata",
                     QStringLiteral("title=Song %1").arg(i), "-metadata",
                     QStringLiteral("artist=Artist %1").arg(i), path});
    }
    if (!runFfmpeg(runs))
        return {};
    QByteArray chained;
    for (const QString &path : paths)
        chained += readFile(path);
    return chained;
}

QByteArray readFile(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    return file.readAll();
}

void serveLiveStream(LoopbackHttpServer &server, const QString &path, const QByteArray &data,
                     double burstSeconds, int metaInt, const QString &title, int bytesPerSecond,
                     const QByteArray &statusLine)
{
    server.route(path, [=](LoopbackHttpExchange &exchange) {
        LoopbackHttpHeaders headers{{"Content-Type", "audio/mpeg"}, {"icy-br", "128"}};
        if (metaInt > 0)
            headers.append({"icy-metaint", QByteArray::number(metaInt)});
        if (statusLine.isEmpty()) {
            exchange.writeHead(200, headers);
        } else {
            exchange.writeStatusLine(statusLine);
            exchange.writeHeaders(headers);
        }
        auto offset = std::make_shared<qsizetype>(0);
        auto untilMeta = std::make_shared<qsizetype>(metaInt);
        const qsizetype piece = bytesPerSecond * PaceIntervalMs / 1000;
        const qsizetype burst = qsizetype(bytesPerSecond * burstSeconds);
        exchange.stream(
            [=](qint64 tick) {
                const qsizetype size = tick == 0 && burst > 0 ? burst : piece;
                QByteArray out;
                qsizetype audio = 0;
                while (audio < size) {
                    qsizetype take = std::min(size - audio, data.size() - *offset);
                    if (metaInt > 0)
                        take = std::min(take, *untilMeta);
                    out.append(data.constData() + *offset, take);
                    audio += take;
                    *offset = (*offset + take) % data.size();
                    if (metaInt > 0) {
                        *untilMeta -= take;
                        if (*untilMeta == 0) {
                            out.append(icyBlock(title));
                            *untilMeta = metaInt;
                        }
                    }
                }
                return out;
            },
            PaceIntervalMs);
    });
}

void servePaced(LoopbackHttpServer &server, const QString &path, const QByteArray &data,
                const LoopbackHttpHeaders &headers, int bytesPerSecond, double burstSeconds)
{
    server.route(path, [=](LoopbackHttpExchange &exchange) {
        exchange.writeHead(200, headers);
        auto offset = std::make_shared<qsizetype>(0);
        const qsizetype piece = std::max(1, bytesPerSecond * PaceIntervalMs / 1000);
        const qsizetype burst = qsizetype(bytesPerSecond * burstSeconds);
        exchange.stream(
            [=](qint64 tick) {
                const QByteArray out = data.mid(*offset, tick == 0 ? burst : piece);
                *offset += out.size();
                return out;
            },
            PaceIntervalMs);
        exchange.close();
    });
}

void serveFile(LoopbackHttpServer &server, const QString &path, const QByteArray &data,
               qint64 burstBytes, int bytesPerSecond)
{
    server.route(path, [=](LoopbackHttpExchange &exchange) {
        qint64 from = 0;
        static const QRegularExpression range(QStringLiteral("^bytes=(\\d+)-"));
        const auto match = range.match(QString::fromLatin1(exchange.request().header("Range")));
        if (match.hasMatch())
            from = std::min<qint64>(match.captured(1).toLongLong(), data.size());
        LoopbackHttpHeaders headers{{"Content-Type", "audio/mpeg"},
                                    {"Accept-Ranges", "bytes"},
                                    {"Content-Length", QByteArray::number(data.size() - from)}};
        if (match.hasMatch())
            headers.append({"Content-Range", QStringLiteral("bytes %1-%2/%3")
                                                 .arg(from)
                                                 .arg(data.size() - 1)
                                                 .arg(data.size())
                                                 .toLatin1()});
        exchange.writeHead(match.hasMatch() ? 206 : 200, headers);
        const QByteArray body = data.mid(from);
        exchange.write(body.left(burstBytes));
        if (bytesPerSecond <= 0) {
            // Hold the rest back; the connection stays open and silent.
            exchange.pause(600000);
            exchange.close();
            return;
        }
        auto offset = std::make_shared<qsizetype>(std::min<qsizetype>(burstBytes, body.size()));
        const qsizetype piece = std::max(1, bytesPerSecond * PaceIntervalMs / 1000);
        exchange.stream(
            [=](qint64) {
                const QByteArray out = body.mid(*offset, piece);
                *offset += out.size();
                return out;
            },
            PaceIntervalMs);
        exchange.finish();
    });
}

} // namespace PlayerTestMedia
