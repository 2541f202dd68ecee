#include "httpplaylistbody.h"

#include "curlurl.h"

#include <algorithm>

namespace engine {

size_t HttpPlaylistBody::sniff(const char *data, size_t size)
{
    const size_t take = std::min(size, SniffBytes - std::min(SniffBytes, m_head.size()));
    m_head.append(data, take);
    return take;
}

HttpPlaylistBody::Verdict HttpPlaylistBody::decide(const std::string &contentType,
                                                   const std::string &path, const char *more,
                                                   size_t moreSize, std::string *audio)
{
    m_kind = NetPlaylist::detect(contentType, m_head, path);
    if (m_kind == NetPlaylist::Kind::Hls)
        return Verdict::Refused;
    std::string body = std::move(m_head);
    m_head.clear();
    if (more)
        body.append(more, moreSize);
    if (m_kind == NetPlaylist::Kind::None) {
        *audio = std::move(body);
        return Verdict::Audio;
    }
    m_playlist = std::move(body);
    return m_playlist.size() > NetPlaylist::MaxBytes ? Verdict::Refused : Verdict::Playlist;
}

bool HttpPlaylistBody::append(const char *data, size_t size)
{
    if (m_playlist.size() + size > NetPlaylist::MaxBytes)
        return false;
    m_playlist.append(data, size);
    return true;
}

std::vector<std::string> HttpPlaylistBody::entries(const std::string &playlistUrl) const
{
    std::vector<std::string> addresses;
    for (const std::string &entry : NetPlaylist::parse(m_kind, m_playlist)) {
        std::string next = CurlUrl::resolved(playlistUrl, entry);
        if (!next.empty())
            addresses.push_back(std::move(next));
    }
    return addresses;
}

} // namespace engine
