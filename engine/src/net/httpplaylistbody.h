#pragma once

#include "netplaylist.h"

#include <cstddef>
#include <string>
#include <vector>

namespace engine {

// The body behind an address that may serve a playlist (PLS or M3U) instead of audio: told apart
// by its content type, its first bytes and the address's path, and gathered up to
// NetPlaylist::MaxBytes when it is a playlist, whose entries are then addresses resolved against
// the playlist's own.
class HttpPlaylistBody
{
public:
    // Bytes of the body looked at before deciding.
    static constexpr size_t SniffBytes = 64;

    enum class Verdict { Audio, Playlist, Refused };

    // Takes first bytes of the body up to SniffBytes; returns how many it took.
    size_t sniff(const char *data, size_t size);
    bool sniffed() const { return m_head.size() >= SniffBytes; }
    // Decides on what was sniffed, followed by `more` (may be null). With Audio, *audio gets
    // all these bytes; with Playlist they start the playlist. Refused: an HLS playlist, or a
    // playlist that is too large.
    Verdict decide(const std::string &contentType, const std::string &path, const char *more,
                   size_t moreSize, std::string *audio);
    // More of the playlist; false when it grows too large.
    bool append(const char *data, size_t size);
    // The playlist's entries resolved against its address; entries that do not parse are left
    // out.
    std::vector<std::string> entries(const std::string &playlistUrl) const;

private:
    std::string m_head;
    NetPlaylist::Kind m_kind = NetPlaylist::Kind::None;
    std::string m_playlist;
};

} // namespace engine
