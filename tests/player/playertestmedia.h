#pragma once

#include <loopbackhttpserver.h>

#include <QByteArray>
#include <QString>

// Audio made for the player tests with the ffmpeg program, and loopback routes that serve it.
namespace PlayerTestMedia {

// Bytes per second of the 128 kbit/s streams.
constexpr int StreamBytesPerSecond = 128000 / 8;

// Writes an MP3 file: a sine of the given frequency and amplitude (0 gives silence), or false
// when ffmpeg fails. Stereo, 44100 Hz, constant bitrate.
bool makeMp3(const QString &path, double seconds, double amplitude, int bitrateKbps = 128,
             int frequency = 440);

struct Mp3
{
    QString path;
    double seconds = 1;
    double amplitude = 0.5;
    int bitrateKbps = 128;
    int frequency = 440;
    // Above 0: the amplitude rises by `amplitude` every stepSeconds (a level per segment).
    double stepSeconds = 0;
};
// Writes several files at the same time.
bool makeMp3s(const QList<Mp3> &files);

// Runs ffmpeg once for each argument list, all at the same time; false when one run fails.
bool runFfmpeg(const QList<QStringList> &runs);

// A chained Ogg stream as a radio server sends it: `songs` files of `seconds` each made with
// the ffmpeg encoder `codec` ("libopus", "libvorbis", "flac"), a tone of 220 × N Hz at 96 kbit/s
// with the title "Song N" and the artist "Artist N", joined byte for byte. The files are
// written to dir. Empty when ffmpeg fails.
QByteArray makeChainedOgg(const QString &dir, const QString &codec, int songs, double seconds);

QByteArray readFile(const QString &path);

// An endless stream made of data repeated, paced at bytesPerSecond in pieces every 50 ms; the
// first piece holds burstSeconds of audio. With metaInt above 0 the body carries ICY metadata
// blocks with the given title every metaInt bytes and an icy-metaint header. A statusLine
// (for example "ICY 200 OK") replaces the HTTP one.
void serveLiveStream(LoopbackHttpServer &server, const QString &path, const QByteArray &data,
                     double burstSeconds, int metaInt = 0, const QString &title = QString(),
                     int bytesPerSecond = StreamBytesPerSecond,
                     const QByteArray &statusLine = QByteArray());

// data once, without a length, paced at bytesPerSecond in pieces every 50 ms after a first
// piece of burstSeconds; the connection closes after the last byte.
void servePaced(LoopbackHttpServer &server, const QString &path, const QByteArray &data,
                const LoopbackHttpHeaders &headers, int bytesPerSecond, double burstSeconds);

// A file of data with a Content-Length. The first burstBytes go out at once, the rest paced at
// bytesPerSecond (0: the rest is held back and the connection stays silent). Requests with a
// "Range: bytes=N-" header get the file from N with status 206.
void serveFile(LoopbackHttpServer &server, const QString &path, const QByteArray &data,
               qint64 burstBytes, int bytesPerSecond);

} // namespace PlayerTestMedia
