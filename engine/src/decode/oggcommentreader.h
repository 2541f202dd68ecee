#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

namespace engine {

// Reads Ogg pages as they pass on their way to the demuxer and takes the title and artist out of
// the comment header of every logical stream that begins: the first one and every new link of a
// chained stream (a radio server starts one for every song). Knows the comment headers of
// Vorbis, Opus and FLAC. Works on blocks of any size, so a block boundary may fall anywhere. It
// keeps only a page header and the two fields it wants, so a comment header of any size (cover
// art included) costs no memory. Bytes that do not follow the previous ones (after a seek) make
// it look for the next page and wait for the next stream that begins.
class OggCommentReader
{
public:
    // The link's title in the text shape of ICY metadata, and the stream offset of the page that
    // follows its comment header, where the link's audio begins.
    using Sink = std::function<void(const std::string &text, int64_t offset)>;

    // Longest title or artist kept, in bytes; a longer one is cut at a character boundary.
    static constexpr size_t MaxFieldBytes = 1024;

    explicit OggCommentReader(Sink sink);

    // `offset`: the stream offset of data[0].
    void feed(const uint8_t *data, size_t size, int64_t offset);

    // "StreamTitle='ARTIST - TITLE';", with either alone when the other is empty.
    static std::string streamTitle(const std::string &artist, const std::string &title);

private:
    enum class Codec { None, Vorbis, Opus, Flac };
    enum class Comment { Magic, VendorLength, Vendor, Count, FieldLength, Field, Done };

    static constexpr size_t HeaderBytes = 27;
    static constexpr size_t IdBytes = 8;
    // A field is kept with its name ("ARTIST=").
    static constexpr size_t KeptFieldBytes = MaxFieldBytes + 8;

    void resync();
    // Page header and lacing values; returns the bytes used. Drops bytes up to the next capture
    // pattern when they do not start a page.
    size_t takeHeader(const uint8_t *data, size_t size);
    bool headerValid() const;
    void dropToNextCapture();
    void beginPage();
    // Page body; returns the bytes used.
    size_t takeBody(const uint8_t *data, size_t size);
    void packetBytes(const uint8_t *data, size_t size);
    void packetEnd();
    void identify();
    static std::string_view magicOf(Codec codec);
    void commentBytes(const uint8_t *data, size_t size);
    // Reads a little-endian 32-bit number byte by byte; true once it is complete.
    bool takeNumber(uint8_t byte);
    void fieldEnd();
    void publish();

    Sink m_sink;
    int64_t m_next = -1; // stream offset that the next block should start at

    // the page being read
    std::array<uint8_t, HeaderBytes + 255> m_head{};
    size_t m_headSize = 0;
    int64_t m_headStart = 0; // stream offset of m_head[0]
    bool m_inBody = false;
    int64_t m_pageEnd = 0;
    // Where the last title was placed: titles follow each other in stream order until a seek
    // goes back.
    int64_t m_lastPublishedAt = -1;
    size_t m_segment = 0;
    size_t m_segmentDone = 0;
    bool m_pageWanted = false; // the page belongs to the stream whose headers are read
    bool m_lastPageBos = false;

    // the logical stream whose headers are read
    bool m_following = false;
    uint32_t m_serial = 0;
    Codec m_codec = Codec::None;
    int m_packet = 0; // 0: identification header, 1: comment header
    std::string m_id;

    // its comment header
    Comment m_comment = Comment::Magic;
    std::string_view m_magic;
    size_t m_magicDone = 0;
    uint32_t m_number = 0;
    int m_numberBytes = 0;
    uint64_t m_skip = 0;
    uint32_t m_fieldsLeft = 0;
    std::string m_field;
    bool m_fieldCut = false;
    std::string m_title;
    std::string m_artist;
    bool m_published = false; // a title was given: a link without one clears it
};

} // namespace engine
