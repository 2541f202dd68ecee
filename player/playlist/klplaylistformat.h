#pragma once

#include "klplayerglobal.h"
#include "klplaylisttypes.h"

#include <QByteArray>
#include <QUrl>

// What a playlist response holds, decided and resolved from its bytes alone. The playlist
// parser feeds these functions with what it read from the network; they touch nothing else.
namespace KLPlaylistFormat {

// Bitrate given to a stream whose response names none.
inline constexpr uint defaultBitrate = 64000;

// The kind of resource that data (the first bytes of a response, or all of it) belongs to.
KELVANEPLAYER_EXPORT KLPlaylist::PlaylistType typeFromData(const QByteArray &data);

// The variants of an HLS master playlist. Relative variant addresses are resolved against
// finalUrl, the address the master playlist was read from after redirects.
KELVANEPLAYER_EXPORT KLPlaylistStreams hlsMasterStreams(const QByteArray &data,
                                                        const QUrl &finalUrl);

// The absolute address of uri, an address line of a playlist read from finalUrl (after
// redirects): a relative path lives beside the playlist, a path from the root on its host, and
// "//host/path" is fetched with the playlist's scheme.
KELVANEPLAYER_EXPORT QUrl resolvedAddress(const QString &uri, const QUrl &finalUrl);

// An HLS media playlist read from url: one entry for url itself.
KELVANEPLAYER_EXPORT KLPlaylistStreams hlsMediaStreams(const QByteArray &data, const QUrl &url);

// A JSON array of stream descriptions ("streamUrl", "bandwidth" in bit/s).
KELVANEPLAYER_EXPORT KLPlaylistStreams jsonStreams(const QByteArray &data);

// A stream (or a playlist that the engine resolves itself) at url, whose response carried
// icyBitrate as its "icy-br" header (kbit/s; empty when absent).
KELVANEPLAYER_EXPORT KLPlaylistStreams plainStreams(const QByteArray &icyBitrate, const QUrl &url);

// Whether head, the first bytes that a server sent, is the head of an older internet-radio
// server's stream answer: the status line "ICY 200" (with any reason phrase) instead of an HTTP
// one. When it is, icyBitrate gets the value of its "icy-br" header line (empty when absent).
// Header lines are read up to the blank line that ends the head or the end of head.
KELVANEPLAYER_EXPORT bool isIcyStreamHead(const QByteArray &head, QByteArray *icyBitrate);

} // namespace KLPlaylistFormat
