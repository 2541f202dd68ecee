#include "klplaylistformat.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonValue>
#include <QRegularExpression>

#include <limits>

namespace KLPlaylistFormat {

KLPlaylist::PlaylistType typeFromData(const QByteArray &data)
{
    if (data.contains("\"streamUrl\":") && data.contains("\"bandwidth\":"))
        return KLPlaylist::BassMasterPlaylist;
    if (!data.startsWith("#EXTM3U"))
        return KLPlaylist::BassPlaylist;
    if (data.contains("#EXT-X-STREAM-INF:"))
        return KLPlaylist::HlsMasterPlaylist;
    if (data.contains("#EXT-X-TARGETDURATION:"))
        return KLPlaylist::HlsPlaylist;
    return KLPlaylist::BassPlaylist;
}

QUrl resolvedAddress(const QString &uri, const QUrl &finalUrl)
{
    QUrl address(uri, QUrl::TolerantMode);
    // An address with a scheme of its own stays as it is, even without a host ("file:").
    if (address.scheme().isEmpty() && address.host().isEmpty()) {
        if (!uri.startsWith(QLatin1Char('/'))) {
            // Relative addresses live beside the playlist: its directory, with the final slash.
            QString basePath = finalUrl.path(QUrl::FullyDecoded);
            basePath.truncate(basePath.lastIndexOf(QLatin1Char('/')) + 1);
            if (!basePath.endsWith(QLatin1Char('/')))
                basePath += QLatin1Char('/');
            address = QUrl(basePath + uri, QUrl::TolerantMode);
        }
        address.setScheme(finalUrl.scheme());
        address.setAuthority(finalUrl.authority(QUrl::FullyEncoded), QUrl::StrictMode);
    } else if (address.scheme().isEmpty()) {
        // "//host/path": fetched the way the playlist was.
        address.setScheme(finalUrl.scheme());
    }
    return address;
}

KLPlaylistStreams hlsMasterStreams(const QByteArray &data, const QUrl &finalUrl)
{
    // The greedy ".*" before BANDWIDTH= makes the last one on the tag line win
    // (AVERAGE-BANDWIDTH when it follows BANDWIDTH). A variant counts only when its address
    // line ends with a line feed.
    static const QRegularExpression variantRe(
        QStringLiteral("#EXT-X-STREAM-INF:.*BANDWIDTH=(\\d+).*\\n(.+)\\n"));

    KLPlaylistStreams streams;
    auto it = variantRe.globalMatch(QString::fromUtf8(data));
    while (it.hasNext()) {
        const QRegularExpressionMatch match = it.next();
        const uint bitrate = match.captured(1).toUInt();
        QString uri = match.captured(2);
        // Lines may end with CR LF; the CR is no part of the address.
        if (uri.endsWith(QLatin1Char('\r')))
            uri.chop(1);
        if (bitrate == 0 || uri.isEmpty())
            continue;
        streams.insert(bitrate, resolvedAddress(uri, finalUrl));
    }
    return streams;
}

KLPlaylistStreams hlsMediaStreams(const QByteArray &data, const QUrl &url)
{
    static const QRegularExpression bandwidthRe(QStringLiteral("#BANDWIDTH:(\\d+)"));
    uint bitrate = bandwidthRe.match(QString::fromUtf8(data)).captured(1).toUInt();
    if (bitrate == 0)
        bitrate = defaultBitrate;
    KLPlaylistStreams streams;
    streams.insert(bitrate, url);
    return streams;
}

KLPlaylistStreams jsonStreams(const QByteArray &data)
{
    KLPlaylistStreams streams;
    const QJsonArray array = QJsonDocument::fromJson(data).array();
    for (const QJsonValue &element : array) {
        const QJsonObject object = element.toObject();
        const QUrl address(object.value(QLatin1String("streamUrl")).toString(), QUrl::TolerantMode);
        const qint64 bandwidth = object.value(QLatin1String("bandwidth")).toInteger();
        // A bitrate out of the unsigned 32-bit range is as unusable as a missing one.
        if (address.isEmpty() || bandwidth <= 0 || bandwidth > std::numeric_limits<uint>::max())
            continue;
        streams.insert(static_cast<uint>(bandwidth), address);
    }
    return streams;
}

KLPlaylistStreams plainStreams(const QByteArray &icyBitrate, const QUrl &url)
{
    static const QRegularExpression numberRe(QStringLiteral("(\\d+)"));
    const QString digits = numberRe.match(QString::fromLatin1(icyBitrate)).captured(1);
    bool ok = false;
    const qint64 kbits = digits.toLongLong(&ok);
    qint64 bitrate = ok ? kbits * 1000 : 0;
    if (bitrate <= 0 || bitrate > std::numeric_limits<uint>::max())
        bitrate = defaultBitrate;
    KLPlaylistStreams streams;
    streams.insert(static_cast<uint>(bitrate), url);
    return streams;
}

bool isIcyStreamHead(const QByteArray &head, QByteArray *icyBitrate)
{
    QList<QByteArray> lines = head.split('\n');
    for (QByteArray &line : lines) {
        if (line.endsWith('\r'))
            line.chop(1);
    }
    const QByteArray &status = lines.first();
    if (!status.startsWith("ICY 200") || (status.size() > 7 && status.at(7) != ' '))
        return false;

    QByteArray bitrate;
    for (qsizetype i = 1; i < lines.size() && !lines.at(i).isEmpty(); ++i) {
        const QByteArray &line = lines.at(i);
        const qsizetype colon = line.indexOf(':');
        if (colon > 0 && line.left(colon).trimmed().compare("icy-br", Qt::CaseInsensitive) == 0) {
            bitrate = line.mid(colon + 1).trimmed();
            break;
        }
    }
    if (icyBitrate)
        *icyBitrate = bitrate;
    return true;
}

} // namespace KLPlaylistFormat
