#include "klhlsdemuxer.h"

#include "klid3tag.h"

namespace {

constexpr quint8 kSyncByte = 0x47;
constexpr quint8 kPrivateStream1 = 0xBD;

quint8 byteAt(const char *p, int i)
{
    return quint8(p[i]);
}

} // namespace

KLHlsDemuxer::KLHlsDemuxer(QObject *parent)
    : QObject(parent)
{}

void KLHlsDemuxer::demux(KLHlsChunk &chunk, const QByteArray &data)
{
    demux(chunk, data, QByteArray());
}

void KLHlsDemuxer::demux(KLHlsChunk &chunk, const QByteArray &data, const QByteArray &init)
{
    chunk.data.clear();
    chunk.metas.clear();
    // Every segment starts clean: a metadata packet never continues across segments that may
    // come from different variants.
    m_pes = Pes();
    if (!init.isEmpty() || KLHlsMp4Reader::looksLikeMp4(data))
        demuxFragmentedMp4(chunk, data, init);
    else if (data.startsWith("ID3"))
        demuxPackedAudio(chunk, data);
    else {
        chunk.data = data;
        demuxTransportStream(chunk);
    }
}

void KLHlsDemuxer::demuxPackedAudio(KLHlsChunk &chunk, const QByteArray &data)
{
    const qsizetype tagLength = KLId3Tag::tagLength(data);
    chunk.data = data.mid(tagLength);
    const QString text = metadataText(data.left(tagLength));
    if (!text.isEmpty())
        chunk.metas.insert(uint(chunk.data.size()), text);
}

void KLHlsDemuxer::demuxFragmentedMp4(KLHlsChunk &chunk, const QByteArray &data,
                                      const QByteArray &init)
{
    if (!init.isEmpty()) {
        m_mp4.readInit(init);
    } else {
        // A segment that carries its own initialization.
        KLHlsMp4Reader own;
        if (own.readInit(data))
            m_mp4 = own;
    }
    QList<QByteArray> tags;
    chunk.data = m_mp4.readSegment(data, &tags);
    for (const QByteArray &tag : std::as_const(tags)) {
        const QString text = metadataText(tag);
        if (!text.isEmpty())
            chunk.metas.insert(uint(chunk.data.size()), text);
    }
}

void KLHlsDemuxer::demuxTransportStream(KLHlsChunk &chunk)
{
    const QByteArray &data = chunk.data;
    const qsizetype first = data.indexOf(char(kSyncByte));
    if (first < 0)
        return;
    for (qsizetype at = first; at + KL_TS_PACKET_SIZE <= data.size(); at += KL_TS_PACKET_SIZE)
        takePacket(chunk, data.constData() + at);
}

void KLHlsDemuxer::takePacket(KLHlsChunk &chunk, const char *packet)
{
    if (byteAt(packet, 0) != kSyncByte || (byteAt(packet, 1) & 0x80))
        return;
    const bool unitStart = byteAt(packet, 1) & 0x40;
    const quint16 pid = quint16((byteAt(packet, 1) & 0x1F) << 8 | byteAt(packet, 2));
    const int adaptation = (byteAt(packet, 3) >> 4) & 0x3;
    if (pid != KL_TS_METADATA_PID || !(adaptation & 0x1))
        return;
    int payloadStart = 4;
    if (adaptation & 0x2)
        payloadStart += 1 + byteAt(packet, 4);
    if (payloadStart >= KL_TS_PACKET_SIZE)
        return;
    const char *payload = packet + payloadStart;
    const int payloadLength = KL_TS_PACKET_SIZE - payloadStart;

    if (!m_pes.isComplete) {
        if (unitStart) {
            if (payloadLength < 14 || byteAt(payload, 0) != 0 || byteAt(payload, 1) != 0 ||
                byteAt(payload, 2) != 1) {
                m_pes = Pes();
                return;
            }
            m_pes.streamId = byteAt(payload, 3);
            m_pes.packetLength = quint16(byteAt(payload, 4) << 8 | byteAt(payload, 5));
            m_pes.headerDataLength = byteAt(payload, 8);
            m_pes.payloadOffset = m_pes.headerDataLength + 9;
            m_pes.expectedLength = int(m_pes.packetLength) - m_pes.headerDataLength - 3;
            m_pes.payload.clear();
            if (m_pes.expectedLength > 0)
                m_pes.payload.reserve(m_pes.expectedLength);
            m_pes.isComplete = false;
        }
        if (m_pes.expectedLength > 0) {
            if (m_pes.payloadOffset >= payloadLength) {
                m_pes.payloadOffset -= payloadLength;
                return;
            }
            m_pes.payload.append(payload + m_pes.payloadOffset,
                                 payloadLength - m_pes.payloadOffset);
            m_pes.payloadOffset = 0;
            m_pes.isComplete = m_pes.payload.size() >= m_pes.expectedLength;
        }
    }

    if (m_pes.streamId != kPrivateStream1) {
        m_pes = Pes();
        return;
    }
    if (m_pes.isComplete) {
        chunk.metas.insert(uint(chunk.data.size()), metadataText(m_pes.payload));
        m_pes = Pes();
    }
}

QString KLHlsDemuxer::metadataText(const QByteArray &id3)
{
    const KLId3Tag tag(id3);
    const QString text = tag.property(QStringLiteral("TXXX"));
    return text.isEmpty() ? tag.toString() : text;
}
