#include "netplaylist.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <map>

namespace engine {

namespace {

std::string lower(std::string_view s)
{
    std::string r(s);
    std::transform(r.begin(), r.end(), r.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return r;
}

std::string_view trim(std::string_view s)
{
    while (!s.empty() && std::isspace(static_cast<unsigned char>(s.front())))
        s.remove_prefix(1);
    while (!s.empty() && std::isspace(static_cast<unsigned char>(s.back())))
        s.remove_suffix(1);
    return s;
}

std::string_view skipBom(std::string_view s)
{
    if (s.size() >= 3 && static_cast<unsigned char>(s[0]) == 0xEF &&
        static_cast<unsigned char>(s[1]) == 0xBB && static_cast<unsigned char>(s[2]) == 0xBF)
        s.remove_prefix(3);
    return s;
}

bool startsWithNoCase(std::string_view s, std::string_view prefix)
{
    return s.size() >= prefix.size() && lower(s.substr(0, prefix.size())) == prefix;
}

bool endsWith(std::string_view s, std::string_view suffix)
{
    return s.size() >= suffix.size() && s.substr(s.size() - suffix.size()) == suffix;
}

template <typename F> void forEachLine(std::string_view text, F f)
{
    while (!text.empty()) {
        size_t nl = text.find_first_of("\r\n");
        std::string_view line = text.substr(0, nl);
        if (!f(trim(line)))
            return;
        if (nl == std::string_view::npos)
            break;
        text.remove_prefix(nl + 1);
    }
}

bool hasHlsTags(std::string_view text)
{
    bool hls = false;
    forEachLine(text, [&](std::string_view line) {
        if (startsWithNoCase(line, "#ext-x-")) {
            hls = true;
            return false;
        }
        return true;
    });
    return hls;
}

} // namespace

NetPlaylist::Kind NetPlaylist::detect(std::string_view contentType, std::string_view head,
                                      std::string_view urlPath)
{
    std::string type = lower(trim(contentType.substr(0, contentType.find(';'))));
    std::string_view body = trim(skipBom(head));
    Kind kind = Kind::None;
    if (type == "audio/x-scpls" || type == "audio/scpls" || type == "application/pls+xml")
        kind = Kind::Pls;
    else if (type == "audio/x-mpegurl" || type == "audio/mpegurl" ||
             type == "application/x-mpegurl" || type == "application/vnd.apple.mpegurl")
        kind = Kind::M3u;
    else if (startsWithNoCase(body, "[playlist]"))
        kind = Kind::Pls;
    else if (startsWithNoCase(body, "#extm3u"))
        kind = Kind::M3u;
    else if (type.empty() || type.starts_with("text/") || type == "application/octet-stream") {
        std::string path = lower(urlPath);
        if (endsWith(path, ".pls"))
            kind = Kind::Pls;
        else if (endsWith(path, ".m3u") || endsWith(path, ".m3u8"))
            kind = Kind::M3u;
    }
    if (kind == Kind::M3u && hasHlsTags(head))
        kind = Kind::Hls;
    return kind;
}

std::vector<std::string> NetPlaylist::parse(Kind kind, std::string_view text)
{
    std::vector<std::string> entries;
    text = skipBom(text.substr(0, MaxBytes));
    if (kind == Kind::M3u) {
        forEachLine(text, [&](std::string_view line) {
            if (line.empty() || line.front() == '#' || line.size() > MaxEntryLength)
                return true;
            entries.emplace_back(line);
            return entries.size() < MaxEntries;
        });
    } else if (kind == Kind::Pls) {
        std::map<unsigned, std::string> files;
        forEachLine(text, [&](std::string_view line) {
            if (!startsWithNoCase(line, "file"))
                return true;
            size_t eq = line.find('=');
            if (eq == std::string_view::npos)
                return true;
            std::string_view key = trim(line.substr(4, eq - 4));
            std::string_view value = trim(line.substr(eq + 1));
            unsigned n = 0;
            auto [ptr, ec] = std::from_chars(key.data(), key.data() + key.size(), n);
            if (ec != std::errc() || ptr != key.data() + key.size() || value.empty() ||
                value.size() > MaxEntryLength)
                return true;
            files.emplace(n, std::string(value)); // the first FileN of a number counts
            return files.size() < MaxEntries;
        });
        for (auto &[n, file] : files)
            entries.push_back(std::move(file));
    }
    return entries;
}

} // namespace engine
