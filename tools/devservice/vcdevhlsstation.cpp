#include "vcdevhlsstation.h"

#include "vcdevfmp4writer.h"

#include <QRandomGenerator>
#include <QStringList>
#include <QtEndian>

extern "C" {
#include <libavutil/aes.h>
#include <libavutil/mem.h>
}

#include <algorithm>
#include <thread>

namespace {

constexpr quint16 patPid = 0x0000;
constexpr quint16 pmtPid = 0x1000;
constexpr quint16 audioPid = 0x0100;
constexpr quint16 metadataPid = 0x0102;
// Each audio PES carries the clock reference: three frames (78 ms) keep it within the 100 ms
// that decoders may expect between two references.
constexpr int framesPerPes = 3;
constexpr qint64 presentationDelay = 9000; // audio plays 100 ms after its clock reference
constexpr qint64 ptsOffset = 90000;        // streams start one second into the clock

quint32 crc32Mpeg(const QByteArray &data)
{
    quint32 crc = 0xFFFFFFFF;
    for (const char c : data) {
        crc ^= quint32(quint8(c)) << 24;
        for (int bit = 0; bit < 8; ++bit)
            crc = (crc & 0x80000000) ? (crc << 1) ^ 0x04C11DB7 : crc << 1;
    }
    return crc;
}

void appendBigEndian(QByteArray &out, quint32 value, int bytes)
{
    for (int i = bytes - 1; i >= 0; --i)
        out += char((value >> (8 * i)) & 0xFF);
}

// The payload as transport packets of pid. The first packet carries the program clock
// reference when pcr is not negative; the last one is padded by an adaptation field.
void packetize(QByteArray &out, quint16 pid, const QByteArray &payload, quint8 &counter,
               qint64 pcr = -1)
{
    for (qsizetype at = 0; at < payload.size();) {
        QByteArray adaptation; // without its length byte
        if (at == 0 && pcr >= 0) {
            const quint64 base = quint64(pcr) & 0x1FFFFFFFFULL;
            adaptation += char(0x10); // a PCR follows
            appendBigEndian(adaptation, quint32(base >> 1), 4);
            adaptation += char(((base & 1) << 7) | 0x7E); // reserved bits, extension 0
            adaptation += char(0x00);
        }
        const qsizetype room = 184 - (adaptation.isEmpty() ? 0 : 1 + adaptation.size());
        const qsizetype take = qMin(room, payload.size() - at);
        if (take < room) {
            qsizetype padding = room - take; // what the adaptation field grows by
            if (adaptation.isEmpty()) {
                --padding; // its length byte
                if (padding > 0) {
                    adaptation += char(0x00); // no flags
                    --padding;
                }
            }
            adaptation += QByteArray(padding, char(0xFF));
        }
        const bool hasAdaptation = !adaptation.isEmpty() || take < 184;
        out += char(0x47);
        out += char((at == 0 ? 0x40 : 0x00) | (pid >> 8));
        out += char(pid & 0xFF);
        out += char((hasAdaptation ? 0x30 : 0x10) | counter);
        if (hasAdaptation) {
            out += char(adaptation.size());
            out += adaptation;
        }
        out += payload.mid(at, take);
        at += take;
        counter = (counter + 1) & 0x0F;
    }
}

QByteArray section(const QByteArray &body)
{
    QByteArray out(1, '\0'); // pointer field
    out += body;
    appendBigEndian(out, crc32Mpeg(body), 4);
    return out;
}

QByteArray pes(quint8 streamId, qint64 pts, const QByteArray &payload)
{
    QByteArray out("\x00\x00\x01", 3);
    out += char(streamId);
    appendBigEndian(out, quint32(payload.size() + 8), 2);
    out += char(0x80);
    out += char(0x80); // a presentation time stamp follows
    out += char(5);
    out += char(0x21 | ((pts >> 29) & 0x0E));
    appendBigEndian(out, quint32(((pts >> 14) & 0xFFFE) | 1), 2);
    appendBigEndian(out, quint32(((pts << 1) & 0xFFFE) | 1), 2);
    return out + payload;
}

QByteArray syncSafe(quint32 value)
{
    QByteArray out;
    for (int shift = 21; shift >= 0; shift -= 7)
        out += char((value >> shift) & 0x7F);
    return out;
}

QByteArray textFrame(const char *id, const QString &text)
{
    const QByteArray body = char(3) + text.toUtf8(); // UTF-8
    return QByteArray(id) + syncSafe(quint32(body.size())) + QByteArray(2, '\0') + body;
}

// The program: MP3 audio, which carries the clock, and ID3 tags as timed metadata, named so by
// a metadata pointer in the program and a metadata descriptor on their stream (a reader that
// does not find them does not know what the stream holds).
QByteArray programMap()
{
    // Application format and format, both given as "ID3 ".
    const QByteArray id3Format("\xFF\xFFID3 \xFFID3 ", 11);
    QByteArray programInfo;
    programInfo += char(0x25); // metadata pointer descriptor
    programInfo += char(15);
    programInfo += id3Format;
    programInfo += char(0x00);          // service id
    programInfo += char(0x1F);          // no locator record; carried in this transport stream
    appendBigEndian(programInfo, 1, 2); // its program
    QByteArray metadataInfo;
    metadataInfo += char(0x26); // metadata descriptor
    metadataInfo += char(13);
    metadataInfo += id3Format;
    metadataInfo += char(0x00); // service id
    metadataInfo += char(0x0F); // no decoder configuration
    const auto stream = [](quint8 type, quint16 pid, const QByteArray &info) {
        QByteArray out(1, char(type));
        appendBigEndian(out, 0xE000 | pid, 2);
        appendBigEndian(out, 0xF000 | quint32(info.size()), 2);
        return out + info;
    };

    QByteArray body("\x00\x01\xC1\x00\x00", 5);  // program 1, version 0, one section
    appendBigEndian(body, 0xE000 | audioPid, 2); // the clock reference
    appendBigEndian(body, 0xF000 | quint32(programInfo.size()), 2);
    body += programInfo;
    body += stream(0x03, audioPid, {}); // MPEG-1 audio
    body += stream(0x15, metadataPid, metadataInfo);
    QByteArray pmt(1, char(0x02));
    appendBigEndian(pmt, 0xB000 | quint32(body.size() + 4), 2); // with the CRC
    return pmt + body;
}

} // namespace

bool VCDevHlsStation::build(const VCDemoAudio::Style &style, QString *error)
{
    QString errors[2];
    std::thread low([&] {
        VCDemoAudio::Style s = style;
        s.bitrate = bitrates[0];
        m_variants[0].audio.build(s, &errors[0]);
    });
    VCDemoAudio::Style s = style;
    s.bitrate = bitrates[1];
    const bool high = m_variants[1].audio.build(s, &errors[1]);
    low.join();
    if (!high || m_variants[0].audio.musicFrames().isEmpty()) {
        *error = errors[1].isEmpty() ? errors[0] : errors[1];
        return false;
    }
    m_key = QByteArray(16, Qt::Uninitialized);
    QRandomGenerator::system()->fillRange(reinterpret_cast<quint32 *>(m_key.data()), 4);
    return true;
}

double VCDevHlsStation::segmentSeconds()
{
    return double(framesPerSegment) * VCDemoAudio::samplesPerFrame / VCDemoAudio::sampleRate;
}

qint64 VCDevHlsStation::headSegment(qint64 elapsedMs)
{
    // The window is full from the start.
    return qint64(double(elapsedMs) / 1000.0 / segmentSeconds()) + windowSegments - 1;
}

QByteArray VCDevHlsStation::masterPlaylist() const
{
    QByteArray out = "#EXTM3U\n";
    for (const int bitrate : bitrates)
        out += "#EXT-X-STREAM-INF:BANDWIDTH=" + QByteArray::number(bitrate) +
               ",CODECS=\"mp4a.40.34\"\n" + QByteArray::number(bitrate) + "/index.m3u8\n";
    return out;
}

QByteArray VCDevHlsStation::mediaPlaylist(qint64 elapsedMs, Form form) const
{
    const qint64 head = headSegment(elapsedMs);
    const qint64 first = head - windowSegments + 1;
    QByteArray out =
        "#EXTM3U\n#EXT-X-VERSION:" + QByteArray(form == Form::Fmp4 ? "7" : "3") +
        "\n#EXT-X-TARGETDURATION:3\n#EXT-X-MEDIA-SEQUENCE:" + QByteArray::number(first) + "\n";
    if (form == Form::Fmp4)
        out += "#EXT-X-MAP:URI=\"init.mp4\"\n";
    if (form == Form::Aes)
        out += "#EXT-X-KEY:METHOD=AES-128,URI=\"" + QByteArray(keyPath) + "\"\n";
    const char *extension = form == Form::Fmp4 ? ".m4s\n" : ".ts\n";
    for (qint64 n = first; n <= head; ++n)
        out += "#EXTINF:" + QByteArray::number(segmentSeconds(), 'f', 3) + ",\n" +
               QByteArray::number(n) + extension;
    return out;
}

QByteArray VCDevHlsStation::fmp4Segment(int bitrate, qint64 n, qint64 elapsedMs,
                                        const QString &title) const
{
    const int index = bitrate == bitrates[0] ? 0 : bitrate == bitrates[1] ? 1 : -1;
    const qint64 head = headSegment(elapsedMs);
    if (index < 0 || n > head || n < head - keptSegments + 1)
        return {};
    const QList<QByteArray> &all = m_variants[size_t(index)].audio.musicFrames();
    const qint64 firstFrame = n * framesPerSegment;
    QList<QByteArray> frames;
    for (int k = 0; k < framesPerSegment; ++k)
        frames << all.at(int((firstFrame + k) % all.size()));
    return VCDevFmp4Writer::mediaSegment(
        quint32(n), quint64(firstFrame) * VCDemoAudio::samplesPerFrame,
        VCDemoAudio::samplesPerFrame, frames, title.isEmpty() ? QByteArray() : id3Tag(title));
}

QByteArray VCDevHlsStation::encrypt(const QByteArray &key, qint64 n, const QByteArray &plain)
{
    const int padding = 16 - int(plain.size() % 16);
    const QByteArray padded = plain + QByteArray(padding, char(padding));
    QByteArray iv(16, '\0');
    qToBigEndian(quint64(n), iv.data() + 8);
    QByteArray out(padded.size(), Qt::Uninitialized);
    AVAES *aes = av_aes_alloc();
    if (!aes || av_aes_init(aes, reinterpret_cast<const uint8_t *>(key.constData()), 128, 0) != 0) {
        av_free(aes);
        return {};
    }
    av_aes_crypt(aes, reinterpret_cast<uint8_t *>(out.data()),
                 reinterpret_cast<const uint8_t *>(padded.constData()), int(padded.size() / 16),
                 reinterpret_cast<uint8_t *>(iv.data()), 0);
    av_free(aes);
    return out;
}

QByteArray VCDevHlsStation::segment(int bitrate, qint64 n, qint64 elapsedMs,
                                    const std::function<QString(qint64)> &titleAt)
{
    const int index = bitrate == bitrates[0] ? 0 : bitrate == bitrates[1] ? 1 : -1;
    const qint64 head = headSegment(elapsedMs);
    if (index < 0 || n > head || n < head - keptSegments + 1)
        return {};
    Variant &variant = m_variants[size_t(index)];
    // Segments are made in order, so that the continuity counters run on from one to the next.
    variant.next = qMax(variant.next, head - keptSegments + 1);
    while (variant.next <= n) {
        variant.segments.insert(variant.next,
                                makeSegment(variant, variant.next, titleAt(variant.next)));
        ++variant.next;
    }
    while (!variant.segments.isEmpty() && variant.segments.firstKey() < head - keptSegments + 1)
        variant.segments.erase(variant.segments.begin());
    return variant.segments.value(n);
}

VCDevHttpResponse VCDevHlsStation::respond(const QString &path, qint64 elapsedMs,
                                           const std::function<QString(qint64)> &titleAt,
                                           int *bitrate)
{
    static const QByteArray playlistType = "application/vnd.apple.mpegurl";
    *bitrate = 0;
    if (path == QLatin1String(keyPath))
        return {200, "application/octet-stream", m_key, {}};
    // "hls", then the form, then "master.m3u8" or the variant and its file.
    QStringList parts = path.split(QLatin1Char('/'), Qt::SkipEmptyParts).mid(1);
    Form form = Form::Ts;
    if (!parts.isEmpty() && parts.first() == QLatin1String("fmp4"))
        form = Form::Fmp4;
    else if (!parts.isEmpty() && parts.first() == QLatin1String("aes"))
        form = Form::Aes;
    if (form != Form::Ts)
        parts.removeFirst();
    if (parts == QStringList{QStringLiteral("master.m3u8")})
        return {200, playlistType, masterPlaylist(), {}};
    bool ok = false;
    const int variant = parts.size() == 2 ? parts[0].toInt(&ok) : 0;
    if (!ok || std::find(bitrates.begin(), bitrates.end(), variant) == bitrates.end())
        return VCDevHttpResponse::plain(404);
    if (parts[1] == QLatin1String("index.m3u8"))
        return {200, playlistType, mediaPlaylist(elapsedMs, form), {}};
    if (form == Form::Fmp4 && parts[1] == QLatin1String("init.mp4"))
        return {200,
                "video/mp4",
                VCDevFmp4Writer::initSegment(VCDemoAudio::sampleRate, VCDemoAudio::channels),
                {}};
    const QString extension = form == Form::Fmp4 ? QStringLiteral(".m4s") : QStringLiteral(".ts");
    const qint64 n =
        parts[1].endsWith(extension) ? parts[1].chopped(extension.size()).toLongLong(&ok) : -1;
    QByteArray bytes;
    if (ok && n >= 0 && form == Form::Fmp4)
        bytes = fmp4Segment(variant, n, elapsedMs, n % 3 == 0 ? titleAt(n) : QString());
    else if (ok && n >= 0)
        bytes = segment(variant, n, elapsedMs, titleAt);
    if (bytes.isEmpty())
        return VCDevHttpResponse::plain(404);
    *bitrate = variant;
    if (form == Form::Fmp4)
        return {200, "video/iso.segment", bytes, {}};
    return {200, "video/mp2t", form == Form::Aes ? encrypt(m_key, n, bytes) : bytes, {}};
}

QByteArray VCDevHlsStation::makeSegment(Variant &variant, qint64 n, const QString &title)
{
    QByteArray out;
    QByteArray pat("\x00\xB0\x0D\x00\x01\xC1\x00\x00\x00\x01", 10);
    appendBigEndian(pat, 0xE000 | pmtPid, 2);
    packetize(out, patPid, section(pat), variant.counters[0]);
    packetize(out, pmtPid, section(programMap()), variant.counters[1]);

    const QList<QByteArray> &frames = variant.audio.musicFrames();
    const qint64 firstFrame = n * framesPerSegment;
    auto ptsOf = [](qint64 frame) {
        return ptsOffset + frame * VCDemoAudio::samplesPerFrame * 90000 / VCDemoAudio::sampleRate;
    };
    if (n % 3 == 0 && !title.isEmpty())
        packetize(out, metadataPid, pes(0xBD, ptsOf(firstFrame), id3Tag(title)),
                  variant.counters[3]);
    for (int i = 0; i < framesPerSegment; i += framesPerPes) {
        QByteArray audio;
        for (int k = i; k < qMin(i + framesPerPes, framesPerSegment); ++k)
            audio += frames.at(int((firstFrame + k) % frames.size()));
        const qint64 pts = ptsOf(firstFrame + i);
        packetize(out, audioPid, pes(0xC0, pts, audio), variant.counters[2],
                  pts - presentationDelay);
    }
    return out;
}

QByteArray VCDevHlsStation::id3Tag(const QString &streamTitle)
{
    const qsizetype dash = streamTitle.indexOf(QLatin1String(" - "));
    QByteArray frames;
    if (dash >= 0)
        frames += textFrame("TPE1", streamTitle.left(dash));
    frames += textFrame("TIT2", dash >= 0 ? streamTitle.mid(dash + 3) : streamTitle);
    return QByteArray("ID3\x04\x00\x00", 6) + syncSafe(quint32(frames.size())) + frames;
}
