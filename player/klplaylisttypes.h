#pragma once

#include "klplayerglobal.h"

#include <QMetaType>
#include <QMultiHash>
#include <QObject>
#include <QUrl>

// Bitrate in bit/s to stream address; several addresses may share one bitrate.
using KLPlaylistStreams = QMultiHash<uint, QUrl>;

namespace KLPlaylist {
Q_NAMESPACE_EXPORT(KELVANEPLAYER_EXPORT)

// What a response to a player's address holds: an HLS master or media playlist, a list of
// streams the player resolves itself, or a stream (or playlist) the engine opens.
enum PlaylistType : int {
    UnknowPlaylist = -1,
    HlsMasterPlaylist = 0,
    HlsPlaylist = 1,
    BassMasterPlaylist = 2,
    BassPlaylist = 3,
};
Q_ENUM_NS(PlaylistType)

} // namespace KLPlaylist
