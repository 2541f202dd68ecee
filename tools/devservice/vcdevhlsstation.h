#pragma once

#include "vcdemoaudio.h"
#include "vcdevhttpresponse.h"

#include <QByteArray>
#include <QList>
#include <QMap>
#include <QString>

#include <array>
#include <functional>

// A live HLS station made of the service's own music: a master playlist over two variants (64
// and 128 kbit/s MP3 in an MPEG transport stream), each a media playlist whose window of
// segments moves on with the clock. Every third segment carries the title it plays as an ID3
// tag in the timed-metadata stream (PID 258). Segments are made in order as the window reaches
// them and the last few are kept. The same station also comes as fragmented MP4 (an
// initialization segment per variant, the titles in "emsg" boxes) and as transport stream
// encrypted with AES-128 (the vector from the sequence number, the key at keyPath).
class VCDevHlsStation
{
public:
    static constexpr int framesPerSegment = 77; // about 2.01 s
    static constexpr int windowSegments = 5;
    static constexpr int keptSegments = 12;
    static constexpr std::array<int, 2> bitrates{64000, 128000};
    static constexpr const char *masterPath = "/hls/master.m3u8";
    static constexpr const char *fmp4MasterPath = "/hls/fmp4/master.m3u8";
    static constexpr const char *aesMasterPath = "/hls/aes/master.m3u8";
    static constexpr const char *keyPath = "/hls/aes/key.bin";

    enum class Form {
        Ts,   // /hls/...
        Fmp4, // /hls/fmp4/...
        Aes,  // /hls/aes/...
    };

    // Encodes the music of style at both bitrates; false with the reason in *error.
    bool build(const VCDemoAudio::Style &style, QString *error);

    static double segmentSeconds();
    // The newest segment at elapsedMs since the station started.
    static qint64 headSegment(qint64 elapsedMs);

    QByteArray masterPlaylist() const;
    QByteArray mediaPlaylist(qint64 elapsedMs, Form form = Form::Ts) const;
    // Segment n of the variant with this bitrate, made as needed; empty when n is not in the
    // window (too old, or not yet there). titleAt gives the title of a segment.
    QByteArray segment(int bitrate, qint64 n, qint64 elapsedMs,
                       const std::function<QString(qint64 segment)> &titleAt);

    // The answer for path under /hls/ at elapsedMs, in any form: the master playlist, a
    // variant's media playlist, initialization segment or one of its segments (with *bitrate set
    // to the variant's), or the key; 404 for others.
    VCDevHttpResponse respond(const QString &path, qint64 elapsedMs,
                              const std::function<QString(qint64 segment)> &titleAt, int *bitrate);

    // An ID3v2.4 tag with artist and title ("Artist - Title" is split at " - ").
    static QByteArray id3Tag(const QString &streamTitle);

    // Segment n of a variant as fragmented MP4; empty when n is not in the window.
    QByteArray fmp4Segment(int bitrate, qint64 n, qint64 elapsedMs, const QString &title) const;
    // AES-128-CBC with PKCS#7 padding, the vector being n as a 128-bit big-endian number.
    static QByteArray encrypt(const QByteArray &key, qint64 n, const QByteArray &plain);
    const QByteArray &key() const { return m_key; }

private:
    struct Variant
    {
        VCDemoAudio audio;
        QMap<qint64, QByteArray> segments;
        qint64 next = 0;                  // the next segment to make
        std::array<quint8, 4> counters{}; // continuity of PAT, PMT, audio, metadata
    };

    QByteArray makeSegment(Variant &variant, qint64 n, const QString &title);

    std::array<Variant, 2> m_variants;
    QByteArray m_key;
};
