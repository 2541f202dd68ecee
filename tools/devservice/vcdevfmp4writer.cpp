#include "vcdevfmp4writer.h"

#include <QtEndian>

namespace {

constexpr quint32 trackId = 1;

void put32(QByteArray &out, quint32 value)
{
    char bytes[4];
    qToBigEndian(value, bytes);
    out.append(bytes, 4);
}

void put16(QByteArray &out, quint16 value)
{
    char bytes[2];
    qToBigEndian(value, bytes);
    out.append(bytes, 2);
}

void put64(QByteArray &out, quint64 value)
{
    char bytes[8];
    qToBigEndian(value, bytes);
    out.append(bytes, 8);
}

QByteArray box(const char *type, const QByteArray &payload)
{
    QByteArray out;
    put32(out, quint32(payload.size() + 8));
    return out + QByteArray(type, 4) + payload;
}

// A full box: version and flags ahead of the payload.
QByteArray fullBox(const char *type, quint8 version, quint32 flags, const QByteArray &payload)
{
    QByteArray head;
    put32(head, quint32(version) << 24 | (flags & 0xFFFFFF));
    return box(type, head + payload);
}

QByteArray matrix()
{
    QByteArray out;
    for (const quint32 v : {0x10000u, 0u, 0u, 0u, 0x10000u, 0u, 0u, 0u, 0x40000000u})
        put32(out, v);
    return out;
}

// MPEG-4 descriptor with a one-byte size.
QByteArray descriptor(quint8 tag, const QByteArray &payload)
{
    return QByteArray(1, char(tag)) + char(payload.size()) + payload;
}

QByteArray sampleEntry(int sampleRate, int channels)
{
    QByteArray decoderConfig(1, char(0x6B)); // MPEG-1 audio
    decoderConfig += char(0x15);             // audio stream
    decoderConfig += QByteArray(3, '\0');    // buffer size
    put32(decoderConfig, 0);                 // maximum and average bitrate
    put32(decoderConfig, 0);
    QByteArray es;
    put16(es, 1); // ES id
    es += char(0);
    es += descriptor(0x04, decoderConfig);
    es += descriptor(0x06, QByteArray(1, char(0x02)));
    const QByteArray esds = fullBox("esds", 0, 0, descriptor(0x03, es));

    QByteArray entry(6, '\0');
    put16(entry, 1); // data reference
    entry += QByteArray(8, '\0');
    put16(entry, quint16(channels));
    put16(entry, 16);
    put32(entry, 0);
    put32(entry, quint32(sampleRate) << 16);
    return box("mp4a", entry + esds);
}

} // namespace

QByteArray VCDevFmp4Writer::initSegment(int sampleRate, int channels)
{
    QByteArray ftyp("iso6", 4);
    put32(ftyp, 0);
    ftyp += QByteArray("iso6cmfcmp41", 12);

    QByteArray mvhd;
    put32(mvhd, 0);
    put32(mvhd, 0);
    put32(mvhd, quint32(sampleRate));
    put32(mvhd, 0);
    put32(mvhd, 0x10000); // rate
    put16(mvhd, 0x100);   // volume
    mvhd += QByteArray(10, '\0');
    mvhd += matrix();
    mvhd += QByteArray(24, '\0');
    put32(mvhd, trackId + 1);

    QByteArray tkhd;
    put32(tkhd, 0);
    put32(tkhd, 0);
    put32(tkhd, trackId);
    put32(tkhd, 0);
    put32(tkhd, 0); // duration
    tkhd += QByteArray(8, '\0');
    put16(tkhd, 0);
    put16(tkhd, 0);
    put16(tkhd, 0x100); // volume
    put16(tkhd, 0);
    tkhd += matrix();
    put32(tkhd, 0);
    put32(tkhd, 0);

    QByteArray mdhd;
    put32(mdhd, 0);
    put32(mdhd, 0);
    put32(mdhd, quint32(sampleRate));
    put32(mdhd, 0);
    put16(mdhd, 0x55C4); // undetermined language
    put16(mdhd, 0);
    QByteArray hdlr;
    put32(hdlr, 0);
    hdlr += QByteArray("soun", 4);
    hdlr += QByteArray(12, '\0');
    hdlr += QByteArray("Sound", 6);

    QByteArray stsd;
    put32(stsd, 1);
    stsd += sampleEntry(sampleRate, channels);
    const QByteArray empty(4, '\0');
    QByteArray stsz;
    put32(stsz, 0);
    put32(stsz, 0);
    const QByteArray stbl =
        box("stbl", fullBox("stsd", 0, 0, stsd) + fullBox("stts", 0, 0, empty) +
                        fullBox("stsc", 0, 0, empty) + fullBox("stsz", 0, 0, stsz) +
                        fullBox("stco", 0, 0, empty));
    QByteArray dref;
    put32(dref, 1);
    dref += fullBox("url ", 0, 1, {});
    const QByteArray minf = box("minf", fullBox("smhd", 0, 0, QByteArray(4, '\0')) +
                                            box("dinf", fullBox("dref", 0, 0, dref)) + stbl);
    const QByteArray trak = box(
        "trak", fullBox("tkhd", 0, 3, tkhd) +
                    box("mdia", fullBox("mdhd", 0, 0, mdhd) + fullBox("hdlr", 0, 0, hdlr) + minf));
    QByteArray trex;
    put32(trex, trackId);
    put32(trex, 1); // sample description
    put32(trex, 0);
    put32(trex, 0);
    put32(trex, 0);
    return box("ftyp", ftyp) + box("moov", fullBox("mvhd", 0, 0, mvhd) + trak +
                                               box("mvex", fullBox("trex", 0, 0, trex)));
}

QByteArray VCDevFmp4Writer::mediaSegment(quint32 sequence, quint64 decodeTime, int samplesPerFrame,
                                         const QList<QByteArray> &frames, const QByteArray &id3Tag)
{
    QByteArray out =
        box("styp", QByteArray("msdh", 4) + QByteArray(4, '\0') + QByteArray("msdhmsix", 8));
    if (!id3Tag.isEmpty()) {
        QByteArray emsg("https://aomedia.org/emsg/ID3", 28);
        emsg += '\0';
        emsg += '\0';      // value
        put32(emsg, 1000); // time scale
        put32(emsg, 0);    // at the fragment's start
        put32(emsg, 0xFFFFFFFF);
        put32(emsg, sequence);
        out += fullBox("emsg", 0, 0, emsg + id3Tag);
    }

    QByteArray mfhd;
    put32(mfhd, sequence);
    QByteArray tfhd;
    put32(tfhd, trackId);
    put32(tfhd, quint32(samplesPerFrame)); // default duration
    QByteArray tfdt;
    put64(tfdt, decodeTime);
    QByteArray trun;
    put32(trun, quint32(frames.size()));
    const qsizetype dataOffsetAt = trun.size();
    put32(trun, 0); // data offset, set below
    QByteArray data;
    for (const QByteArray &frame : frames) {
        put32(trun, quint32(frame.size()));
        data += frame;
    }
    // Default base is the fragment; duration given once; per-sample sizes; data offset.
    QByteArray traf = fullBox("tfhd", 0, 0x020008, tfhd) + fullBox("tfdt", 1, 0, tfdt);
    const qsizetype trunAt = traf.size();
    traf += fullBox("trun", 0, 0x000201, trun);
    QByteArray moof = box("moof", fullBox("mfhd", 0, 0, mfhd) + box("traf", traf));
    // moof header 8, mfhd 16, traf header 8, then trun: header 12, the sample count 4.
    const qsizetype offsetAt = 8 + 16 + 8 + trunAt + 12 + dataOffsetAt;
    qToBigEndian(quint32(moof.size() + 8), moof.data() + offsetAt);
    return out + moof + box("mdat", data);
}
