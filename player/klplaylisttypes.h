#pragma once

#include <QMetaType>
#include <QMultiHash>
#include <QUrl>

// Bitrate in bit/s to stream address; several addresses may share one bitrate.
using KLPlaylistStreams = QMultiHash<uint, QUrl>;
