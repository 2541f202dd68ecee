#include "klhlsmediaplaylist.h"

#include "klplaylistformat.h"

#include <QList>
#include <QRegularExpression>
#include <QStringView>

#include <climits>

namespace {

// The value of one attribute of an attribute list ("A=1,B=\"x,y\""), without its quotes; a
// null string when the list does not have it.
QString attribute(QStringView list, QLatin1String name)
{
    qsizetype at = 0;
    while (at < list.size()) {
        const qsizetype equals = list.indexOf(QLatin1Char('='), at);
        if (equals < 0)
            return {};
        const QStringView key = list.mid(at, equals - at).trimmed();
        qsizetype end = equals + 1;
        QString value;
        if (end < list.size() && list.at(end) == QLatin1Char('"')) {
            const qsizetype close = list.indexOf(QLatin1Char('"'), end + 1);
            if (close < 0)
                return {};
            value = list.mid(end + 1, close - end - 1).toString();
            end = close + 1;
        } else {
            const qsizetype comma = list.indexOf(QLatin1Char(','), end);
            const qsizetype stop = comma < 0 ? list.size() : comma;
            value = list.mid(end, stop - end).trimmed().toString();
            end = stop;
        }
        if (key == name)
            return value.isNull() ? QStringLiteral("") : value;
        const qsizetype comma = list.indexOf(QLatin1Char(','), end);
        if (comma < 0)
            return {};
        at = comma + 1;
    }
    return {};
}

// A playlist from the network names network addresses only, never local files.
QUrl networkAddress(const QString &uri, const QUrl &finalUrl)
{
    if (uri.isEmpty())
        return {};
    const QUrl url = KLPlaylistFormat::resolvedAddress(uri, finalUrl);
    const QString scheme = url.scheme();
    if (scheme != QLatin1String("http") && scheme != QLatin1String("https") &&
        scheme != finalUrl.scheme())
        return {};
    return url;
}

// The 16 bytes of an "IV=0x..." attribute (fewer digits are the low bytes); empty when absent
// or unreadable.
QByteArray initializationVector(const QString &text)
{
    if (!text.startsWith(QLatin1String("0x"), Qt::CaseInsensitive) || text.size() > 34)
        return {};
    const QByteArray digits = text.mid(2).toLatin1().rightJustified(32, '0');
    const QByteArray bytes = QByteArray::fromHex(digits);
    return bytes.size() == 16 && bytes.toHex() == digits.toLower() ? bytes : QByteArray();
}

} // namespace

void KLHlsMediaPlaylist::readKey(QStringView attributes, const QUrl &finalUrl)
{
    const QString method = attribute(attributes, QLatin1String("METHOD"));
    if (method.isEmpty() || method == QLatin1String("NONE")) {
        m_keyMethod.clear();
        m_keyUrl.clear();
        m_keyIv.clear();
        return;
    }
    m_keyMethod = method;
    // A key of another format than the plain one is a key system's, unusable here.
    const QString format = attribute(attributes, QLatin1String("KEYFORMAT"));
    if (!format.isEmpty() && format != QLatin1String("identity"))
        m_keyMethod += QStringLiteral(" (") + format + QLatin1Char(')');
    m_keyUrl = networkAddress(attribute(attributes, QLatin1String("URI")), finalUrl);
    m_keyIv = initializationVector(attribute(attributes, QLatin1String("IV")));
}

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
            } else if (line.startsWith(QLatin1String("#EXT-X-MAP:"))) {
                playlist.m_mapUrl =
                    networkAddress(attribute(line.mid(11), QLatin1String("URI")), finalUrl);
            } else if (line.startsWith(QLatin1String("#EXT-X-KEY:"))) {
                playlist.readKey(line.mid(11), finalUrl);
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
        const QUrl url = networkAddress(line.toString(), finalUrl);
        if (url.isEmpty())
            continue;
        KLHlsChunk chunk;
        chunk.sequence = sequence;
        chunk.duration = duration;
        chunk.bitrate = bitrate;
        chunk.url = url;
        chunk.isDiscontinuity = entryDiscontinuity;
        chunk.mapUrl = playlist.m_mapUrl;
        chunk.keyMethod = playlist.m_keyMethod;
        chunk.keyUrl = playlist.m_keyUrl;
        chunk.keyIv = playlist.m_keyIv;
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
