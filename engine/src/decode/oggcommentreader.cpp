#include "oggcommentreader.h"

#include <algorithm>
#include <cstring>
#include <string_view>

namespace engine {

namespace {

constexpr uint8_t FlagBos = 0x02;

bool equalsNoCase(std::string_view a, std::string_view b)
{
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return (x >= 'a' && x <= 'z' ? x - 32 : x) == (y >= 'a' && y <= 'z' ? y - 32 : y);
           });
}

// A field value as it may be shown: at most MaxFieldBytes, cut before a split character when
// it was cut, control characters as spaces.
std::string shown(std::string value, bool cut)
{
    if (value.size() > OggCommentReader::MaxFieldBytes) {
        value.resize(OggCommentReader::MaxFieldBytes);
        cut = true;
    }
    if (cut) {
        // Drop the last character if its bytes do not all fit.
        size_t start = value.size();
        while (start > 0 && (uint8_t(value[start - 1]) & 0xC0) == 0x80)
            --start;
        if (start > 0) {
            const uint8_t lead = uint8_t(value[start - 1]);
            const size_t need = lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : lead >= 0xC0 ? 2 : 1;
            if (value.size() - (start - 1) < need)
                value.resize(start - 1);
        }
    }
    for (char &c : value) {
        if (uint8_t(c) < 0x20 || c == 0x7F)
            c = ' ';
    }
    return value;
}

} // namespace

OggCommentReader::OggCommentReader(Sink sink)
    : m_sink(std::move(sink))
{}

std::string OggCommentReader::streamTitle(const std::string &artist, const std::string &title)
{
    std::string text = "StreamTitle='";
    text += artist;
    if (!artist.empty() && !title.empty())
        text += " - ";
    text += title;
    text += "';";
    return text;
}

void OggCommentReader::feed(const uint8_t *data, size_t size, int64_t offset)
{
    if (m_next >= 0 && offset != m_next) {
        if (offset < m_next)
            m_lastPublishedAt = -1;
        resync();
    }
    m_next = offset + int64_t(size);
    size_t used = 0;
    while (used < size) {
        if (m_inBody)
            used += takeBody(data + used, size - used);
        else
            used += takeHeader(data + used, size - used);
    }
    // A page without body (or whose last segments are empty) ends without more bytes.
    if (m_inBody)
        takeBody(data + size, 0);
}

void OggCommentReader::resync()
{
    m_headSize = 0;
    m_inBody = false;
    m_pageWanted = false;
    m_lastPageBos = false;
    m_following = false;
}

size_t OggCommentReader::takeHeader(const uint8_t *data, size_t size)
{
    size_t used = 0;
    while (used < size) {
        const size_t whole = m_headSize < HeaderBytes ? HeaderBytes : HeaderBytes + m_head[26];
        const size_t n = std::min(whole - m_headSize, size - used);
        if (m_headSize == 0)
            m_headStart = m_next - int64_t(size - used);
        std::memcpy(m_head.data() + m_headSize, data + used, n);
        m_headSize += n;
        used += n;
        if (m_headSize == HeaderBytes && !headerValid()) {
            dropToNextCapture();
            continue;
        }
        if (m_headSize >= HeaderBytes && m_headSize == HeaderBytes + m_head[26]) {
            beginPage();
            break;
        }
    }
    return used;
}

bool OggCommentReader::headerValid() const
{
    return std::memcmp(m_head.data(), "OggS", 4) == 0 && m_head[4] == 0;
}

void OggCommentReader::dropToNextCapture()
{
    const auto *found =
        static_cast<const uint8_t *>(std::memchr(m_head.data() + 1, 'O', m_headSize - 1));
    const size_t drop = found ? size_t(found - m_head.data()) : m_headSize;
    std::memmove(m_head.data(), m_head.data() + drop, m_headSize - drop);
    m_headSize -= drop;
    m_headStart += int64_t(drop);
    // What was read after a lost page may not belong to the stream that was followed.
    m_following = false;
    m_lastPageBos = false;
}

void OggCommentReader::beginPage()
{
    const uint8_t flags = m_head[5];
    const uint32_t serial = uint32_t(m_head[14]) | uint32_t(m_head[15]) << 8 |
                            uint32_t(m_head[16]) << 16 | uint32_t(m_head[17]) << 24;
    const size_t segments = m_head[26];
    size_t body = 0;
    for (size_t i = 0; i < segments; ++i)
        body += m_head[HeaderBytes + i];
    m_pageEnd = m_headStart + int64_t(HeaderBytes + segments + body);
    m_segment = 0;
    m_segmentDone = 0;
    m_inBody = true;

    const bool bos = flags & FlagBos;
    if (bos) {
        // The first page of a group of streams begins a new link; within the group the first
        // stream of a codec with comments is followed.
        if (!m_lastPageBos)
            m_following = false;
        if (!m_following) {
            m_following = true;
            m_serial = serial;
            m_codec = Codec::None;
            m_packet = 0;
            m_id.clear();
        }
    }
    m_lastPageBos = bos;
    m_pageWanted = m_following && serial == m_serial && m_packet <= 1;
}

size_t OggCommentReader::takeBody(const uint8_t *data, size_t size)
{
    size_t used = 0;
    const size_t segments = m_head[26];
    while (m_segment < segments) {
        const size_t lace = m_head[HeaderBytes + m_segment];
        const size_t n = std::min(lace - m_segmentDone, size - used);
        if (n > 0 && m_pageWanted)
            packetBytes(data + used, n);
        used += n;
        m_segmentDone += n;
        if (m_segmentDone < lace)
            return used;
        ++m_segment;
        m_segmentDone = 0;
        if (lace < 255 && m_pageWanted)
            packetEnd();
    }
    m_inBody = false;
    m_headSize = 0;
    return used;
}

void OggCommentReader::packetBytes(const uint8_t *data, size_t size)
{
    if (m_packet == 0) {
        const size_t n = std::min(IdBytes - m_id.size(), size);
        m_id.append(reinterpret_cast<const char *>(data), n);
    } else if (m_packet == 1) {
        commentBytes(data, size);
    }
}

void OggCommentReader::packetEnd()
{
    if (m_packet == 0) {
        identify();
        if (m_codec == Codec::None) {
            // Not audio that carries comments: the next stream of the group may be.
            m_following = false;
            m_pageWanted = false;
            return;
        }
        m_comment = Comment::Magic;
        m_magic = magicOf(m_codec);
        m_magicDone = 0;
        m_numberBytes = 0;
        m_title.clear();
        m_artist.clear();
    } else if (m_packet == 1) {
        if (m_comment == Comment::Field)
            fieldEnd();
        publish();
    }
    ++m_packet;
    if (m_packet > 1)
        m_pageWanted = false;
}

void OggCommentReader::identify()
{
    const std::string_view id(m_id);
    if (id.substr(0, 7) == std::string_view("\x01vorbis", 7))
        m_codec = Codec::Vorbis;
    else if (id.substr(0, 8) == "OpusHead")
        m_codec = Codec::Opus;
    else if (id.substr(0, 5) == "\x7F"
                                "FLAC")
        m_codec = Codec::Flac;
    else
        m_codec = Codec::None;
}

std::string_view OggCommentReader::magicOf(Codec codec)
{
    // FLAC's comment header is a metadata block header: type 4 (VORBIS_COMMENT, with or
    // without the last-block bit) and a 24-bit length; only its first byte is checked.
    switch (codec) {
    case Codec::Vorbis:
        return {"\x03vorbis", 7};
    case Codec::Opus:
        return {"OpusTags", 8};
    case Codec::Flac:
        return {"\x04\0\0\0", 4};
    case Codec::None:
        break;
    }
    return {};
}

bool OggCommentReader::takeNumber(uint8_t byte)
{
    if (m_numberBytes == 0)
        m_number = 0;
    m_number |= uint32_t(byte) << (8 * m_numberBytes);
    if (++m_numberBytes < 4)
        return false;
    m_numberBytes = 0;
    return true;
}

void OggCommentReader::commentBytes(const uint8_t *data, size_t size)
{
    size_t i = 0;
    while (i < size && m_comment != Comment::Done) {
        switch (m_comment) {
        case Comment::Magic: {
            const uint8_t b = data[i++];
            const bool ok = m_codec == Codec::Flac ? m_magicDone > 0 || (b & 0x7F) == 4
                                                   : b == uint8_t(m_magic[m_magicDone]);
            if (!ok)
                m_comment = Comment::Done;
            else if (++m_magicDone == m_magic.size())
                m_comment = Comment::VendorLength;
            break;
        }
        case Comment::VendorLength:
            if (takeNumber(data[i++])) {
                m_skip = m_number;
                m_comment = m_skip > 0 ? Comment::Vendor : Comment::Count;
            }
            break;
        case Comment::Vendor: {
            const size_t n = size_t(std::min<uint64_t>(m_skip, size - i));
            i += n;
            m_skip -= n;
            if (m_skip == 0)
                m_comment = Comment::Count;
            break;
        }
        case Comment::Count:
            if (takeNumber(data[i++])) {
                m_fieldsLeft = m_number;
                m_comment = m_fieldsLeft > 0 ? Comment::FieldLength : Comment::Done;
            }
            break;
        case Comment::FieldLength:
            if (takeNumber(data[i++])) {
                m_skip = m_number;
                m_field.clear();
                m_fieldCut = false;
                m_comment = Comment::Field;
                if (m_skip == 0)
                    fieldEnd();
            }
            break;
        case Comment::Field: {
            const size_t n = size_t(std::min<uint64_t>(m_skip, size - i));
            const size_t room = KeptFieldBytes - std::min(m_field.size(), KeptFieldBytes);
            const size_t keep = std::min(n, room);
            m_field.append(reinterpret_cast<const char *>(data + i), keep);
            m_fieldCut = m_fieldCut || keep < n;
            i += n;
            m_skip -= n;
            if (m_skip == 0)
                fieldEnd();
            break;
        }
        case Comment::Done:
            break;
        }
    }
}

void OggCommentReader::fieldEnd()
{
    const size_t eq = m_field.find('=');
    if (eq != std::string::npos) {
        const std::string_view key(m_field.data(), eq);
        std::string *target = equalsNoCase(key, "TITLE")    ? &m_title
                              : equalsNoCase(key, "ARTIST") ? &m_artist
                                                            : nullptr;
        if (target && target->empty())
            *target = shown(m_field.substr(eq + 1), m_fieldCut);
    }
    m_field.clear();
    m_comment = --m_fieldsLeft > 0 ? Comment::FieldLength : Comment::Done;
}

void OggCommentReader::publish()
{
    if (m_title.empty() && m_artist.empty() && !m_published)
        return;
    m_published = m_published || !m_title.empty() || !m_artist.empty();
    // Pages whose headers lie about their sizes can end before a page already seen ended.
    m_lastPublishedAt = std::max(m_pageEnd, m_lastPublishedAt + 1);
    if (m_sink)
        m_sink(streamTitle(m_artist, m_title), m_lastPublishedAt);
}

} // namespace engine
