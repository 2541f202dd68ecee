#include "klhlsmediaplaylist.h"

#include "klplaylistformat.h"

#include <QList>
#include <QRegularExpression>
#include <QStringView>

#include <climits>

KLHlsMediaPlaylist KLHlsMediaPlaylist::parse(const QByteArray &body, const QUrl &finalUrl,
                                             uint bitrate)
{
    static const QRegularExpression sequenceRe(QStringLiteral("#EXT-X-MEDIA-SEQUENCE:(\\d+)"));
    static const QRegularExpression durationRe(QStringLiteral("^#EXTINF:(\\d*\\.?\\d+)"));

    KLHlsMediaPlaylist playlist;
    const QString text = QString::fromUtf8(body);
    const quint64 mediaSequence = sequenceRe.match(text).captured(1).toULongLong();

    quint32 sequence = quint32(mediaSequence) - 1;
    double total = 0;
    // The "#EXTINF:" entry waiting for its address line, and the discontinuity that applies
    // to the next segment.
    bool entryOpen = false;
    double duration = 0;
    bool discontinuity = false;
    bool entryDiscontinuity = false;

    const QList<QStringView> lines = QStringView(text).split(QLatin1Char('\n'));
    for (QStringView line : lines) {
        if (line.endsWith(QLatin1Char('\r')))
            line.chop(1);
        if (line.trimmed().isEmpty())
            continue;
        if (line.startsWith(QLatin1Char('#'))) {
            if (line == QLatin1String("#EXT-X-DISCONTINUITY")) {
                discontinuity = true;
            } else if (line == QLatin1String("#EXT-X-ENDLIST")) {
                playlist.isEnded = true;
            } else if (line.startsWith(QLatin1String("#EXTINF:"))) {
                const QRegularExpressionMatch match = durationRe.match(line.toString());
                entryOpen = match.hasMatch();
                duration = match.captured(1).toDouble();
                entryDiscontinuity = discontinuity;
            }
            continue;
        }
        if (!entryOpen)
            continue; // an address without "#EXTINF:" (or a second one after it)
        entryOpen = false;
        ++sequence;
        if (!(duration > 0))
            continue;
        const QUrl url = KLPlaylistFormat::resolvedAddress(line.toString(), finalUrl);
        // A playlist from the network names network addresses only, never local files.
        const QString scheme = url.scheme();
        if (scheme != QLatin1String("http") && scheme != QLatin1String("https") &&
            scheme != finalUrl.scheme())
            continue;
        KLHlsChunk chunk;
        chunk.sequence = sequence;
        chunk.duration = duration;
        chunk.bitrate = bitrate;
        chunk.url = url;
        chunk.isDiscontinuity = entryDiscontinuity;
        discontinuity = false;
        total += duration;
        playlist.chunks.insert(sequence, chunk);
    }

    if (!playlist.chunks.isEmpty()) {
        const double average = total / double(playlist.chunks.size());
        const double interval = qMin(average, total * 0.5) * 1000.0;
        // Whole milliseconds first, then the rule: 100.25 ms is 100 ms, too short a period.
        const int wholeMs = interval >= double(INT_MAX) ? INT_MAX : int(interval);
        if (wholeMs > 100)
            playlist.reloadIntervalMs = wholeMs;
    }
    return playlist;
}
