#pragma once

#include "klhlschunk.h"
#include "klhlsmp4reader.h"
#include "klplayerglobal.h"

#include <QByteArray>
#include <QObject>

// Stores a downloaded HLS segment in its chunk and finds the segment's timed metadata: the ID3
// tags of a transport stream's metadata stream (PID 258), or for a segment of packed audio (raw
// AAC or MP3 that begins with an ID3 tag) that leading tag, which is then left out of the bytes
// the engine decodes. A fragmented MP4 segment becomes the samples of its audio track, read
// with the initialization segment given (or the last one), and its "emsg" ID3 tags. Every text
// applies from the end of its segment. Nothing is decoded.
class KELVANEPLAYER_EXPORT KLHlsDemuxer : public QObject
{
    Q_OBJECT

public:
    static constexpr int KL_TS_PACKET_SIZE = 188;
    static constexpr quint16 KL_TS_METADATA_PID = 258;

    explicit KLHlsDemuxer(QObject *parent = nullptr);

    void demux(KLHlsChunk &chunk, const QByteArray &data);
    // As above; init is the initialization segment of a fragmented MP4 segment (or empty).
    void demux(KLHlsChunk &chunk, const QByteArray &data, const QByteArray &init);

private:
    // The metadata stream's packetized elementary stream packet being assembled.
    struct Pes
    {
        quint8 streamId = 0;
        quint16 packetLength = 0;
        quint8 headerDataLength = 0;
        // Where the payload begins, counted in packet payload bytes from the packet that
        // opened the PES packet.
        qint32 payloadOffset = 0;
        qint32 expectedLength = 0;
        QByteArray payload;
        bool isComplete = false;
    };

    void demuxTransportStream(KLHlsChunk &chunk);
    void demuxPackedAudio(KLHlsChunk &chunk, const QByteArray &data);
    void demuxFragmentedMp4(KLHlsChunk &chunk, const QByteArray &data, const QByteArray &init);
    void takePacket(KLHlsChunk &chunk, const char *packet);
    static QString metadataText(const QByteArray &id3);

    Pes m_pes;
    KLHlsMp4Reader m_mp4;
};
