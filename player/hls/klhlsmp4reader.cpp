#include "klhlsmp4reader.h"

#include <QtEndian>

namespace {

constexpr int kAdtsHeaderSize = 7;
constexpr qsizetype kMaxAdtsFrame = 0x1FFF; // 13-bit frame length, header included

quint32 fourcc(const char *text)
{
    return quint32(quint8(text[0])) << 24 | quint32(quint8(text[1])) << 16 |
           quint32(quint8(text[2])) << 8 | quint32(quint8(text[3]));
}

// Big-endian reads; the caller has checked that the bytes are there.
quint32 u32(const QByteArray &data, qsizetype at)
{
    return qFromBigEndian<quint32>(data.constData() + at);
}

quint64 u64(const QByteArray &data, qsizetype at)
{
    return qFromBigEndian<quint64>(data.constData() + at);
}

bool fits(qsizetype at, qsizetype size, qsizetype end)
{
    return at >= 0 && size >= 0 && at <= end && size <= end - at;
}

// Reads bits from the front of a byte array, most significant first; past the end it reads
// zeros and says so.
class BitReader
{
public:
    explicit BitReader(const QByteArray &data)
        : m_data(data)
    {}
    quint32 read(int count)
    {
        quint32 value = 0;
        for (int i = 0; i < count; ++i) {
            const qsizetype byte = m_bit / 8;
            int bit = 0;
            if (byte < m_data.size())
                bit = (quint8(m_data.at(byte)) >> (7 - m_bit % 8)) & 1;
            else
                m_overrun = true;
            value = value << 1 | quint32(bit);
            ++m_bit;
        }
        return value;
    }
    bool overrun() const { return m_overrun; }

private:
    const QByteArray &m_data;
    qsizetype m_bit = 0;
    bool m_overrun = false;
};

// An MPEG-4 descriptor's tag and size at at; at then points at its payload.
bool readDescriptor(const QByteArray &data, qsizetype &at, qsizetype end, quint8 *tag,
                    qsizetype *size)
{
    if (at >= end)
        return false;
    *tag = quint8(data.at(at++));
    qsizetype length = 0;
    for (int i = 0; i < 4; ++i) {
        if (at >= end)
            return false;
        const quint8 byte = quint8(data.at(at++));
        length = length << 7 | (byte & 0x7F);
        if (!(byte & 0x80))
            break;
    }
    if (!fits(at, length, end))
        return false;
    *size = length;
    return true;
}

} // namespace

struct KLHlsMp4Reader::Box
{
    quint32 type = 0;
    qsizetype begin = 0;
    qsizetype payload = 0;
    qsizetype end = 0;

    // The box at at, within [at, limit); false when no whole header is there. A box that says
    // it is longer than what is left ends at limit.
    bool read(const QByteArray &data, qsizetype at, qsizetype limit)
    {
        if (!fits(at, 8, limit))
            return false;
        quint64 size = u32(data, at);
        type = u32(data, at + 4);
        begin = at;
        payload = at + 8;
        if (size == 1) {
            if (!fits(at, 16, limit))
                return false;
            size = u64(data, at + 8);
            payload = at + 16;
        } else if (size == 0) {
            size = quint64(limit - at);
        }
        if (size < quint64(payload - at))
            return false;
        end = size > quint64(limit - at) ? limit : at + qsizetype(size);
        return true;
    }

    // The first child of this type, within [from, end).
    bool child(const QByteArray &data, qsizetype from, quint32 wanted, Box *found) const
    {
        Box box;
        for (qsizetype at = from; box.read(data, at, end); at = box.end) {
            if (box.type == wanted) {
                *found = box;
                return true;
            }
        }
        return false;
    }
};

bool KLHlsMp4Reader::looksLikeMp4(const QByteArray &data)
{
    Box box;
    if (!box.read(data, 0, data.size()))
        return false;
    for (const auto &type : {"ftyp", "styp", "moof", "moov", "emsg", "sidx", "prft"}) {
        if (box.type == fourcc(type))
            return true;
    }
    return false;
}

bool KLHlsMp4Reader::readInit(const QByteArray &init)
{
    if (!m_init.isNull() && init == m_init)
        return true;
    *this = KLHlsMp4Reader();
    Box moov;
    bool found = false;
    Box top;
    for (qsizetype at = 0; top.read(init, at, init.size()); at = top.end) {
        if (top.type == fourcc("moov")) {
            moov = top;
            found = true;
            break;
        }
    }
    if (!found) {
        m_error = QStringLiteral("initialization segment without a movie box");
        return false;
    }
    Box trak;
    bool hasTrack = false;
    for (qsizetype at = moov.payload; !hasTrack && trak.read(init, at, moov.end); at = trak.end) {
        if (trak.type == fourcc("trak"))
            hasTrack = readTrack(init, trak.payload, trak.end);
    }
    if (!hasTrack) {
        if (m_error.isEmpty())
            m_error = QStringLiteral("initialization segment without an audio track");
        m_codec = Codec::None;
        return false;
    }
    // Defaults of the track's fragments.
    Box mvex;
    Box trex;
    if (moov.child(init, moov.payload, fourcc("mvex"), &mvex)) {
        for (qsizetype at = mvex.payload; trex.read(init, at, mvex.end); at = trex.end) {
            if (trex.type == fourcc("trex") && fits(trex.payload, 24, trex.end) &&
                u32(init, trex.payload + 4) == m_trackId)
                m_defaultSampleSize = u32(init, trex.payload + 16);
        }
    }
    m_init = init;
    m_error.clear();
    return true;
}

bool KLHlsMp4Reader::readTrack(const QByteArray &data, qsizetype begin, qsizetype end)
{
    Box trak{0, begin, begin, end};
    Box tkhd, mdia, hdlr, minf, stbl, stsd;
    if (!trak.child(data, begin, fourcc("tkhd"), &tkhd) ||
        !trak.child(data, begin, fourcc("mdia"), &mdia) ||
        !mdia.child(data, mdia.payload, fourcc("hdlr"), &hdlr) ||
        !fits(hdlr.payload, 12, hdlr.end) || u32(data, hdlr.payload + 8) != fourcc("soun"))
        return false;
    const bool longTimes = fits(tkhd.payload, 1, tkhd.end) && data.at(tkhd.payload) == 1;
    const qsizetype idAt = tkhd.payload + (longTimes ? 20 : 12);
    if (!fits(idAt, 4, tkhd.end) || !mdia.child(data, mdia.payload, fourcc("minf"), &minf) ||
        !minf.child(data, minf.payload, fourcc("stbl"), &stbl) ||
        !stbl.child(data, stbl.payload, fourcc("stsd"), &stsd) || !fits(stsd.payload, 8, stsd.end))
        return false;
    m_trackId = u32(data, idAt);
    return readSampleEntry(data, stsd.payload + 8, stsd.end);
}

bool KLHlsMp4Reader::readSampleEntry(const QByteArray &data, qsizetype begin, qsizetype end)
{
    Box entry;
    if (!entry.read(data, begin, end))
        return false;
    if (entry.type == fourcc(".mp3")) {
        m_codec = Codec::Mp3;
        return true;
    }
    if (entry.type != fourcc("mp4a")) {
        const QByteArray name = data.mid(entry.begin + 4, 4);
        m_error = QStringLiteral("audio codec \"%1\" is not supported")
                      .arg(QString::fromLatin1(name).toHtmlEscaped());
        return false;
    }
    // The audio sample entry's fields; versions 1 and 2 of the older layout add to them.
    if (!fits(entry.payload, 28, entry.end))
        return false;
    const quint16 version = qFromBigEndian<quint16>(data.constData() + entry.payload + 8);
    const qsizetype children = entry.payload + 28 + (version == 1 ? 16 : version == 2 ? 36 : 0);
    Box esds;
    if (!fits(children, 0, entry.end) || !entry.child(data, children, fourcc("esds"), &esds)) {
        m_error = QStringLiteral("AAC track without a decoder configuration");
        return false;
    }
    // ES descriptor, decoder configuration, decoder specific information.
    qsizetype at = esds.payload + 4;
    quint8 tag = 0;
    qsizetype size = 0;
    if (!readDescriptor(data, at, esds.end, &tag, &size) || tag != 0x03 || !fits(at, 3, esds.end))
        return false;
    const qsizetype esEnd = at + size;
    const quint8 flags = quint8(data.at(at + 2));
    at += 3;
    if (flags & 0x80)
        at += 2;
    if ((flags & 0x40) && at < esEnd)
        at += 1 + quint8(data.at(at));
    if (flags & 0x20)
        at += 2;
    if (!readDescriptor(data, at, esEnd, &tag, &size) || tag != 0x04 || size < 13)
        return false;
    const qsizetype configEnd = at + size;
    const quint8 objectType = quint8(data.at(at));
    if (objectType == 0x69 || objectType == 0x6B) {
        m_codec = Codec::Mp3;
        return true;
    }
    if (objectType != 0x40 && objectType != 0x66 && objectType != 0x67 && objectType != 0x68) {
        m_error = QStringLiteral("audio object type %1 is not supported").arg(objectType);
        return false;
    }
    at += 13;
    if (!readDescriptor(data, at, configEnd, &tag, &size) || tag != 0x05) {
        m_error = QStringLiteral("AAC track without an audio specific configuration");
        return false;
    }
    return readAudioSpecificConfig(data.mid(at, size));
}

bool KLHlsMp4Reader::readAudioSpecificConfig(const QByteArray &config)
{
    BitReader bits(config);
    auto objectType = [&bits] {
        const quint32 type = bits.read(5);
        return type == 31 ? 32 + bits.read(6) : type;
    };
    auto rateIndex = [&bits] {
        const quint32 index = bits.read(4);
        if (index == 15)
            bits.read(24); // an explicit rate, which ADTS cannot carry
        return index;
    };
    quint32 type = objectType();
    quint32 index = rateIndex();
    const quint32 channels = bits.read(4);
    // HE-AAC signalled explicitly: ADTS carries the core, and the decoder finds the rest.
    if (type == 5 || type == 29) {
        rateIndex();
        type = objectType();
    }
    if (bits.overrun() || type < 1 || type > 4 || index > 12 || channels < 1 || channels > 7) {
        m_error = QStringLiteral("AAC configuration (type %1, rate index %2, channels %3) is not "
                                 "supported")
                      .arg(type)
                      .arg(index)
                      .arg(channels);
        return false;
    }
    m_codec = Codec::Aac;
    m_adtsProfile = int(type) - 1;
    m_sampleRateIndex = int(index);
    m_channelConfig = int(channels);
    return true;
}

QByteArray KLHlsMp4Reader::readSegment(const QByteArray &segment, QList<QByteArray> *id3Tags) const
{
    QByteArray audio;
    if (m_codec == Codec::None)
        return audio;
    audio.reserve(segment.size() + segment.size() / 16);
    Box box;
    Box moof;
    bool hasMoof = false;
    // Samples never take more than the segment holds, however often boxes point at the same
    // bytes.
    qsizetype budget = segment.size();
    for (qsizetype at = 0; box.read(segment, at, segment.size()); at = box.end) {
        if (box.type == fourcc("emsg")) {
            const QByteArray tag = emsgId3(segment, box.payload, box.end);
            if (!tag.isEmpty() && id3Tags)
                id3Tags->append(tag);
        } else if (box.type == fourcc("moof")) {
            moof = box;
            hasMoof = true;
        } else if (box.type == fourcc("mdat") && hasMoof) {
            readFragment(segment, moof.begin, moof.end, box.payload, &budget, &audio);
            hasMoof = false;
        }
    }
    return audio;
}

void KLHlsMp4Reader::readFragment(const QByteArray &data, qsizetype begin, qsizetype end,
                                  qsizetype mdatPayload, qsizetype *budget, QByteArray *audio) const
{
    Box moof;
    if (!moof.read(data, begin, end))
        return;
    Box traf;
    for (qsizetype at = moof.payload; traf.read(data, at, moof.end); at = traf.end) {
        Box tfhd;
        if (traf.type != fourcc("traf") || !traf.child(data, traf.payload, fourcc("tfhd"), &tfhd) ||
            !fits(tfhd.payload, 8, tfhd.end) || u32(data, tfhd.payload + 4) != m_trackId)
            continue;
        const quint32 tfFlags = u32(data, tfhd.payload) & 0xFFFFFF;
        qsizetype field = tfhd.payload + 8;
        qint64 base = moof.begin;
        quint32 defaultSize = m_defaultSampleSize;
        if (tfFlags & 0x1) {
            if (!fits(field, 8, tfhd.end))
                continue;
            base = qint64(qMin<quint64>(u64(data, field), quint64(data.size())));
            field += 8;
        }
        field += (tfFlags & 0x2 ? 4 : 0) + (tfFlags & 0x8 ? 4 : 0);
        if (tfFlags & 0x10) {
            if (!fits(field, 4, tfhd.end))
                continue;
            defaultSize = u32(data, field);
        }

        qint64 position = mdatPayload;
        Box trun;
        for (qsizetype t = traf.payload; trun.read(data, t, traf.end); t = trun.end) {
            if (trun.type != fourcc("trun") || !fits(trun.payload, 8, trun.end))
                continue;
            const quint32 flags = u32(data, trun.payload) & 0xFFFFFF;
            const quint32 count = u32(data, trun.payload + 4);
            qsizetype record = trun.payload + 8;
            if (flags & 0x1) {
                if (!fits(record, 4, trun.end))
                    break;
                position = base + qint32(u32(data, record));
                record += 4;
            }
            record += flags & 0x4 ? 4 : 0;
            const int skipBefore = flags & 0x100 ? 4 : 0;
            const int recordSize = skipBefore + (flags & 0x200 ? 4 : 0) + (flags & 0x400 ? 4 : 0) +
                                   (flags & 0x800 ? 4 : 0);
            for (quint32 i = 0; i < count; ++i, record += recordSize) {
                if (!fits(record, recordSize, trun.end))
                    break;
                const qint64 size = flags & 0x200 ? u32(data, record + skipBefore) : defaultSize;
                if (size <= 0 || size > *budget || position < 0 ||
                    !fits(position, size, data.size()))
                    break;
                *budget -= size;
                appendSample(data.constData() + position, size, audio);
                position += size;
            }
        }
    }
}

void KLHlsMp4Reader::appendSample(const char *sample, qsizetype size, QByteArray *audio) const
{
    if (m_codec == Codec::Mp3) {
        audio->append(sample, size);
        return;
    }
    const qsizetype frame = size + kAdtsHeaderSize;
    if (frame > kMaxAdtsFrame)
        return;
    char header[kAdtsHeaderSize];
    header[0] = char(0xFF);
    header[1] = char(0xF1); // MPEG-4, layer 0, no checksum
    header[2] = char(m_adtsProfile << 6 | m_sampleRateIndex << 2 | m_channelConfig >> 2);
    header[3] = char((m_channelConfig & 0x3) << 6 | int(frame >> 11));
    header[4] = char((frame >> 3) & 0xFF);
    header[5] = char((frame & 0x7) << 5 | 0x1F); // buffer fullness 0x7FF: variable rate
    header[6] = char(0xFC);
    audio->append(header, kAdtsHeaderSize);
    audio->append(sample, size);
}

QByteArray KLHlsMp4Reader::emsgId3(const QByteArray &data, qsizetype begin, qsizetype end)
{
    if (!fits(begin, 4, end))
        return {};
    const quint8 version = quint8(data.at(begin));
    qsizetype at = begin + 4;
    auto cstring = [&](QByteArray *text) {
        const qsizetype zero = data.indexOf('\0', at);
        if (zero < 0 || zero >= end)
            return false;
        *text = data.mid(at, zero - at);
        at = zero + 1;
        return true;
    };
    QByteArray scheme;
    QByteArray value;
    if (version == 0) {
        if (!cstring(&scheme) || !cstring(&value))
            return {};
        at += 16;
    } else if (version == 1) {
        at += 20;
        if (!fits(at, 0, end) || !cstring(&scheme) || !cstring(&value))
            return {};
    } else {
        return {};
    }
    if (scheme != "https://aomedia.org/emsg/ID3" &&
        scheme != "https://developer.apple.com/streaming/emsg-id3")
        return {};
    if (!fits(at, 0, end))
        return {};
    const QByteArray message = data.mid(at, end - at);
    return message.startsWith("ID3") ? message : QByteArray();
}
