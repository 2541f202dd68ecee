#include "hlstestmedia.h"

#include <taglib/id3v2tag.h>
#include <taglib/textidentificationframe.h>

namespace HlsTestMedia {

QByteArray id3Tag(const QString &title, const QString &artist, const QString &txxx)
{
    TagLib::ID3v2::Tag tag;
    tag.setTitle(TagLib::String(title.toStdString(), TagLib::String::UTF8));
    if (!artist.isEmpty())
        tag.setArtist(TagLib::String(artist.toStdString(), TagLib::String::UTF8));
    if (!txxx.isEmpty()) {
        auto *frame = new TagLib::ID3v2::UserTextIdentificationFrame(TagLib::String::UTF8);
        frame->setDescription("TXXX");
        frame->setText(TagLib::String(txxx.toStdString(), TagLib::String::UTF8));
        tag.addFrame(frame);
    }
    const TagLib::ByteVector bytes = tag.render();
    return QByteArray(bytes.data(), int(bytes.size()));
}

QByteArray metadataPackets(const QByteArray &payload, quint8 streamId)
{
    // PES header with a presentation time stamp only.
    const QByteArray optional("\x80\x80\x05\x21\x00\x01\x00\x01", 8);
    const int pesLength = int(optional.size() + payload.size());
    QByteArray pes("\x00\x00\x01", 3);
    pes += char(streamId);
    pes += char(pesLength >> 8);
    pes += char(pesLength & 0xFF);
    pes += optional + payload;

    QByteArray out;
    int counter = 0;
    for (qsizetype at = 0; at < pes.size(); at += 184) {
        const QByteArray piece = pes.mid(at, 184);
        QByteArray packet;
        packet += char(0x47);
        packet += char((at == 0 ? 0x40 : 0x00) | 0x01); // PID 258 = 0x102
        packet += char(0x02);
        if (piece.size() == 184) {
            packet += char(0x10 | counter);
        } else {
            // The last piece is padded with an adaptation field of stuffing bytes.
            const int stuffing = 184 - int(piece.size()) - 1;
            packet += char(0x30 | counter);
            packet += char(stuffing);
            if (stuffing > 0)
                packet += char(0x00) + QByteArray(stuffing - 1, char(0xFF));
        }
        packet += piece;
        out += packet;
        counter = (counter + 1) & 0xF;
    }
    return out;
}

} // namespace HlsTestMedia

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QtEndian>

namespace HlsTestMedia {

QList<QByteArray> makeSegments(const QString &dir, const QString &format, int bitrateKbps,
                               int seconds)
{
    const QString pattern =
        QDir(dir).filePath(QStringLiteral("%1-%2-%d.%3")
                               .arg(format)
                               .arg(bitrateKbps)
                               .arg(format == QLatin1String("adts") ? "aac" : "ts"));
    QProcess ffmpeg;
    ffmpeg.start(QStringLiteral("ffmpeg"),
                 {"-v", "error", "-y", "-f", "lavfi", "-i",
                  QStringLiteral("aevalsrc=0.5*sin(2*PI*440*t)|0.5*sin(2*PI*440*t):s=44100:d=%1")
                      .arg(seconds),
                  "-c:a", "aac", "-b:a", QStringLiteral("%1k").arg(bitrateKbps), "-f", "segment",
                  "-segment_time", "1", "-segment_format", format, pattern});
    if (!ffmpeg.waitForFinished(60000) || ffmpeg.exitCode() != 0)
        return {};
    QList<QByteArray> segments;
    for (int i = 0;; ++i) {
        QFile file(QString(pattern).replace(QStringLiteral("%d"), QString::number(i)));
        if (!file.open(QIODevice::ReadOnly))
            break;
        const QByteArray bytes = file.readAll();
        // The encoder's last few frames make a segment of their own.
        if (bytes.size() > 1000)
            segments << bytes;
    }
    return segments;
}

HlsProgramme makeHlsProgramme(const QString &dir, const QString &type, int bitrateKbps, int seconds,
                              const QByteArray &key, const QString &keyUri, const QByteArray &iv)
{
    const QString stem = QStringLiteral("%1-%2%3")
                             .arg(type)
                             .arg(bitrateKbps)
                             .arg(key.isEmpty()  ? ""
                                  : iv.isEmpty() ? "-seqkey"
                                                 : "-key");
    const QDir out(dir);
    QStringList arguments{
        "-v",
        "error",
        "-y",
        "-f",
        "lavfi",
        "-i",
        QStringLiteral("aevalsrc=0.5*sin(2*PI*440*t)|0.5*sin(2*PI*440*t):s=44100:d=%1")
            .arg(seconds),
        "-c:a",
        "aac",
        "-b:a",
        QStringLiteral("%1k").arg(bitrateKbps),
        "-f",
        "hls",
        "-hls_time",
        "1",
        "-hls_playlist_type",
        "vod",
        "-hls_segment_type",
        type,
        "-hls_segment_filename",
        out.filePath(stem + (type == QLatin1String("fmp4") ? "-%d.m4s" : "-%d.ts")),
        "-hls_fmp4_init_filename",
        stem + "-init.mp4"};
    if (!key.isEmpty()) {
        QFile keyFile(out.filePath(stem + ".key"));
        QFile info(out.filePath(stem + ".keyinfo"));
        if (!keyFile.open(QIODevice::WriteOnly) || keyFile.write(key) != key.size() ||
            !info.open(QIODevice::WriteOnly))
            return {};
        info.write(keyUri.toUtf8() + "\n" + keyFile.fileName().toUtf8() + "\n" + iv.toHex() + "\n");
        arguments << "-hls_key_info_file" << info.fileName();
    }
    arguments << out.filePath(stem + ".m3u8");
    QProcess ffmpeg;
    ffmpeg.start(QStringLiteral("ffmpeg"), arguments);
    QFile playlist(out.filePath(stem + ".m3u8"));
    if (!ffmpeg.waitForFinished(60000) || ffmpeg.exitCode() != 0 ||
        !playlist.open(QIODevice::ReadOnly))
        return {};
    HlsProgramme programme;
    const auto read = [&out](const QByteArray &name) {
        QFile file(out.filePath(QString::fromUtf8(name)));
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    };
    for (const QByteArray &line : playlist.readAll().split('\n')) {
        if (line.startsWith("#EXT-X-MAP:URI=\""))
            programme.init = read(line.mid(16).chopped(1));
        else if (line.startsWith("#EXT-X-KEY:"))
            programme.keyLine = line;
        else if (!line.isEmpty() && !line.startsWith('#'))
            programme.segments << read(line);
    }
    // The encoder's last few frames make a segment of their own.
    while (!programme.segments.isEmpty() && programme.segments.constLast().size() < 1000)
        programme.segments.removeLast();
    return programme;
}

QByteArray aes128(const QByteArray &plain, const QByteArray &key, const QByteArray &iv)
{
    QProcess openssl;
    openssl.start(QStringLiteral("openssl"),
                  {"enc", "-aes-128-cbc", "-K", QString::fromLatin1(key.toHex()), "-iv",
                   QString::fromLatin1(iv.toHex())});
    openssl.write(plain);
    openssl.closeWriteChannel();
    if (!openssl.waitForFinished(30000) || openssl.exitCode() != 0)
        return {};
    return openssl.readAllStandardOutput();
}

QByteArray emsgBox(const QByteArray &tag)
{
    QByteArray payload("\0\0\0\0", 4); // version 0, no flags
    payload += QByteArray("https://aomedia.org/emsg/ID3") + '\0' + '\0';
    payload += QByteArray(16, '\0'); // time scale, time, duration, id
    payload += tag;
    QByteArray box(4, '\0');
    qToBigEndian<quint32>(quint32(payload.size() + 8), box.data());
    return box + "emsg" + payload;
}

void HlsStation::install(LoopbackHttpServer &server)
{
    {
        std::lock_guard lock(m_mutex);
        m_clock.start();
    }
    server.setFallback([this](LoopbackHttpExchange &exchange) { handle(exchange); });
}

void HlsStation::addVariant(uint bitrate, const QList<QByteArray> &segments, bool packed)
{
    std::lock_guard lock(m_mutex);
    m_variants[bitrate].segments = segments;
    m_variants[bitrate].packed = packed;
}

void HlsStation::addVariant(uint bitrate, const HlsProgramme &programme)
{
    std::lock_guard lock(m_mutex);
    Variant &variant = m_variants[bitrate];
    variant.segments = programme.segments;
    variant.init = programme.init;
    variant.keyLine = programme.keyLine;
}

void HlsStation::setKey(const QByteArray &key)
{
    std::lock_guard lock(m_mutex);
    m_key = key;
}

QByteArray HlsStation::segment(uint bitrate, quint32 n) const
{
    std::lock_guard lock(m_mutex);
    const Variant &variant = m_variants[bitrate];
    const QByteArray audio = variant.segments.at(int(n % quint32(variant.segments.size())));
    if (n % 3 != 2 || !variant.keyLine.isEmpty())
        return audio;
    const QByteArray tag = id3Tag(QString(), QString(), QStringLiteral("Title %1").arg(n));
    if (!variant.init.isEmpty())
        return emsgBox(tag) + audio;
    return variant.packed ? tag + audio : audio + metadataPackets(tag);
}

qint64 HlsStation::firstSequence(uint bitrate) const
{
    std::lock_guard lock(m_mutex);
    return m_variants.value(bitrate).firstSequence;
}

void HlsStation::setEnded(bool ended)
{
    std::lock_guard lock(m_mutex);
    m_ended = ended;
}

void HlsStation::setFailing(uint bitrate, bool failing)
{
    std::lock_guard lock(m_mutex);
    m_variants[bitrate].failing = failing;
}

void HlsStation::failSegment(uint bitrate, quint32 n)
{
    std::lock_guard lock(m_mutex);
    m_variants[bitrate].failingSegments.insert(n);
}

void HlsStation::setSegmentDelayMs(int delayMs)
{
    std::lock_guard lock(m_mutex);
    m_segmentDelayMs = delayMs;
}

void HlsStation::setSegmentDelayMs(uint bitrate, int delayMs)
{
    std::lock_guard lock(m_mutex);
    m_variants[bitrate].segmentDelayMs = delayMs;
}

QList<std::pair<quint32, qint64>> HlsStation::segmentRequests(uint bitrate) const
{
    std::lock_guard lock(m_mutex);
    return m_variants.value(bitrate).segmentRequests;
}

void HlsStation::handle(LoopbackHttpExchange &exchange)
{
    if (exchange.request().path == QLatin1String("/hls/key.bin")) {
        std::lock_guard lock(m_mutex);
        exchange.respond(200, m_key, {{"Content-Type", "application/octet-stream"}});
        return;
    }
    const QStringList parts = exchange.request().path.split(QLatin1Char('/'));
    // "", "hls", then "master.m3u8" or "<bitrate>", "index.m3u8" / "<n>.ts"
    if (parts.size() == 3 && parts.at(2) == QLatin1String("master.m3u8")) {
        QByteArray body = "#EXTM3U\n";
        std::lock_guard lock(m_mutex);
        for (auto it = m_variants.cbegin(); it != m_variants.cend(); ++it)
            body += "#EXT-X-STREAM-INF:BANDWIDTH=" + QByteArray::number(it.key()) + "\n" +
                    QByteArray::number(it.key()) + "/index.m3u8\n";
        exchange.respond(200, body, {{"Content-Type", "application/vnd.apple.mpegurl"}});
        return;
    }
    const uint bitrate = parts.size() == 4 ? parts.at(2).toUInt() : 0;
    bool known = false;
    {
        std::lock_guard lock(m_mutex);
        known = m_variants.contains(bitrate);
    }
    if (!known) {
        exchange.respond(404);
        return;
    }
    if (parts.at(3) == QLatin1String("init.mp4")) {
        std::lock_guard lock(m_mutex);
        exchange.respond(200, m_variants[bitrate].init, {{"Content-Type", "video/mp4"}});
        return;
    }
    if (parts.at(3) == QLatin1String("index.m3u8")) {
        std::unique_lock lock(m_mutex);
        Variant &variant = m_variants[bitrate];
        const qint64 head = m_ended ? variant.segments.size() - 1 : m_clock.elapsed() / 1000 + 2;
        const qint64 first = m_ended ? 0 : qMax<qint64>(0, head - window + 1);
        if (variant.firstSequence < 0)
            variant.firstSequence = first;
        const char *extension = variant.packed ? ".aac" : variant.init.isEmpty() ? ".ts" : ".m4s";
        const bool ended = m_ended;
        QByteArray body = "#EXTM3U\n#EXT-X-VERSION:7\n#EXT-X-TARGETDURATION:1\n"
                          "#EXT-X-MEDIA-SEQUENCE:" +
                          QByteArray::number(first) + "\n";
        if (!variant.init.isEmpty())
            body += "#EXT-X-MAP:URI=\"init.mp4\"\n";
        if (!variant.keyLine.isEmpty())
            body += variant.keyLine + "\n";
        lock.unlock();
        for (qint64 n = first; n <= head; ++n)
            body += "#EXTINF:1.0,\n" + QByteArray::number(n) + extension + "\n";
        if (ended)
            body += "#EXT-X-ENDLIST\n";
        exchange.respond(200, body, {{"Content-Type", "application/vnd.apple.mpegurl"}});
        return;
    }
    bool ok = false;
    const quint32 n = parts.at(3).section(QLatin1Char('.'), 0, 0).toUInt(&ok);
    bool failing = false;
    int delayMs = 0;
    {
        std::lock_guard lock(m_mutex);
        Variant &variant = m_variants[bitrate];
        failing = variant.failing || variant.failingSegments.contains(n);
        delayMs = variant.segmentDelayMs >= 0 ? variant.segmentDelayMs : m_segmentDelayMs;
        if (ok)
            variant.segmentRequests.append({n, m_clock.elapsed()});
    }
    if (delayMs > 0)
        exchange.pause(delayMs);
    if (!ok || failing) {
        exchange.respond(404);
        return;
    }
    exchange.respond(200, segment(bitrate, n), {{"Content-Type", "video/mp2t"}});
}

} // namespace HlsTestMedia
