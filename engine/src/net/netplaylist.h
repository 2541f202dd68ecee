#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace engine {

// PLS and M3U playlists served in place of a stream: recognising them and reading their
// entries. The caller bounds the text it passes (MaxBytes).
class NetPlaylist
{
public:
    enum class Kind { None, Pls, M3u, Hls };

    static constexpr size_t MaxBytes = 64 * 1024;
    static constexpr size_t MaxEntries = 64;
    static constexpr size_t MaxEntryLength = 4096;

    // Decides from the content type, the first bytes of the body and the address path.
    // Hls marks an M3U with media-playlist tags, which is not a list of streams.
    static Kind detect(std::string_view contentType, std::string_view head,
                       std::string_view urlPath);

    // Entries in playlist order (PLS by their FileN number), trimmed, without comments; at
    // most MaxEntries, each at most MaxEntryLength bytes (longer ones are dropped).
    static std::vector<std::string> parse(Kind kind, std::string_view text);
};

} // namespace engine
