#pragma once

#include "klplayerglobal.h"

#include <QByteArray>
#include <QMap>
#include <QMetaType>
#include <QMultiHash>
#include <QString>
#include <QUrl>

// One media segment of an HLS stream: where it is, how long it plays, and once downloaded its
// bytes with the timed metadata texts found in them.
struct KELVANEPLAYER_EXPORT KLHlsChunk
{
    // Media sequence number.
    quint32 sequence = 0;
    // Play time in seconds.
    double duration = 0;
    // Bitrate (bit/s) of the variant whose playlist listed the segment.
    quint32 bitrate = 0;
    // Absolute address.
    QUrl url;
    // Initialization segment of a fragmented MP4 segment ("#EXT-X-MAP"); empty for others.
    QUrl mapUrl;
    // Encryption ("#EXT-X-KEY"): the method ("AES-128", ...; empty when none), the key's address
    // and the initialization vector (16 bytes; empty: the sequence number gives it).
    QString keyMethod;
    QUrl keyUrl;
    QByteArray keyIv;
    // The segment starts a new section: the playlist said so, or the variant changed before it.
    bool isDiscontinuity = false;
    // The bytes have arrived.
    bool isDownloaded = false;
    // How many bytes of data the engine has read.
    qint32 readPosition = 0;
    // The bytes the engine decodes.
    QByteArray data;
    // Metadata texts keyed by the byte offset in data from which they apply.
    QMultiHash<uint, QString> metas;
};

// Chunks keyed by sequence number.
using KLHlsChunkMap = QMap<quint32, KLHlsChunk>;

Q_DECLARE_METATYPE(KLHlsChunk)
