#pragma once

#include <QByteArray>
#include <QString>

// Segments for the HLS tests: ID3 tags, and transport stream packets that carry them in the
// timed-metadata stream.
namespace HlsTestMedia {

// An ID3v2.4 tag with a title and, when given, an artist and a TXXX text.
QByteArray id3Tag(const QString &title, const QString &artist = QString(),
                  const QString &txxx = QString());

// The transport stream packets of one metadata PES packet (PID 258, private stream 1) that
// carries payload.
QByteArray metadataPackets(const QByteArray &payload, quint8 streamId = 0xBD);

} // namespace HlsTestMedia

#include <loopbackhttpserver.h>

#include <QElapsedTimer>
#include <QHash>
#include <QList>
#include <QSet>

#include <mutex>

namespace HlsTestMedia {

// Cuts `seconds` of a 440 Hz tone at amplitude 0.5 into segments of one second with the ffmpeg
// program: "mpegts" (AAC in a transport stream) or "adts" (packed AAC). Empty on failure.
QList<QByteArray> makeSegments(const QString &dir, const QString &format, int bitrateKbps,
                               int seconds);

// A programme cut by the ffmpeg program's HLS muxer into segments of one second of the same
// tone: "fmp4" (an initialization segment and fragmented MP4 segments of AAC) or "mpegts".
// With a key and an iv (the muxer encrypts transport streams only), every segment is encrypted
// with AES-128 and keyLine is the muxer's "#EXT-X-KEY" line naming keyUri and iv. Empty segments
// on failure.
struct HlsProgramme
{
    QByteArray init;
    QList<QByteArray> segments;
    QByteArray keyLine;
};
HlsProgramme makeHlsProgramme(const QString &dir, const QString &type, int bitrateKbps, int seconds,
                              const QByteArray &key = {}, const QString &keyUri = {},
                              const QByteArray &iv = {});

// plain encrypted with AES-128 in CBC mode with PKCS#7 padding by the openssl program; empty on
// failure.
QByteArray aes128(const QByteArray &plain, const QByteArray &key, const QByteArray &iv);

// An "emsg" box (version 0, ID3 scheme) carrying tag.
QByteArray emsgBox(const QByteArray &tag);

// A live HLS station on a loopback server: a master playlist /hls/master.m3u8 over one media
// playlist per variant, /hls/<bitrate>/index.m3u8, whose window of `window` one-second segments
// advances in real time (or with ended, the whole programme and "#EXT-X-ENDLIST"). Segment n
// of a variant is its recorded segment n modulo their count; every third segment (n % 3 == 2)
// carries the metadata text "Title <n>" (a TXXX frame; in an "emsg" box ahead of a fragmented
// MP4 segment; none in encrypted segments). A variant of fragmented MP4 lists its
// initialization segment /hls/<bitrate>/init.mp4; an encrypted one its key line, whose key the
// station serves at /hls/key.bin. Thread-safe.
class HlsStation
{
public:
    void install(LoopbackHttpServer &server);

    // Variants by bitrate (bit/s), each with its recorded segments.
    void addVariant(uint bitrate, const QList<QByteArray> &segments, bool packed);
    void addVariant(uint bitrate, const HlsProgramme &programme);
    // The bytes served at /hls/key.bin.
    void setKey(const QByteArray &key);
    // The bytes of segment n of a variant, as served.
    QByteArray segment(uint bitrate, quint32 n) const;
    // The first media sequence that the playlist of a variant served; -1 before.
    qint64 firstSequence(uint bitrate) const;
    void setEnded(bool ended);
    // Segment requests of a variant fail with 404 while this is set.
    void setFailing(uint bitrate, bool failing);
    // Requests for segment n of a variant fail with 404 from now on.
    void failSegment(uint bitrate, quint32 n);
    // Segments are answered this many ms after their request (0: at once); for one variant,
    // or for those without a delay of their own.
    void setSegmentDelayMs(int delayMs);
    void setSegmentDelayMs(uint bitrate, int delayMs);
    // The segment requests of a variant so far: the segment and when it was asked for, in ms
    // since install().
    QList<std::pair<quint32, qint64>> segmentRequests(uint bitrate) const;

    int window = 3;

private:
    struct Variant
    {
        QList<QByteArray> segments;
        bool packed = false;
        QByteArray init;
        QByteArray keyLine;
        bool failing = false;
        QSet<quint32> failingSegments;
        int segmentDelayMs = -1; // -1: the station's
        qint64 firstSequence = -1;
        QList<std::pair<quint32, qint64>> segmentRequests;
    };
    void handle(LoopbackHttpExchange &exchange);

    mutable std::mutex m_mutex;
    QHash<uint, Variant> m_variants;
    QElapsedTimer m_clock;
    bool m_ended = false;
    int m_segmentDelayMs = 0;
    QByteArray m_key;
};

} // namespace HlsTestMedia
