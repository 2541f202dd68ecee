#include "httpresponsehead.h"

#include "icyparser.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cstring>

namespace engine {

std::string HttpResponseHead::lower(std::string s)
{
    std::transform(s.begin(), s.end(), s.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return s;
}

std::string HttpResponseHead::trimmed(const std::string &s)
{
    size_t b = s.find_first_not_of(" \t\r\n");
    if (b == std::string::npos)
        return {};
    size_t e = s.find_last_not_of(" \t\r\n");
    return s.substr(b, e - b + 1);
}

bool HttpResponseHead::startsWithNoCase(const std::string &s, const char *prefix)
{
    const size_t n = std::strlen(prefix);
    return s.size() >= n && lower(s.substr(0, n)) == prefix;
}

int64_t HttpResponseHead::parseNumber(const std::string &s)
{
    int64_t n = -1;
    const std::string t = trimmed(s);
    auto [ptr, ec] = std::from_chars(t.data(), t.data() + t.size(), n);
    if (ec != std::errc() || ptr != t.data() + t.size() || n < 0)
        return -1;
    return n;
}

HttpResponseHead::Line HttpResponseHead::addLine(const char *data, size_t size)
{
    m_bytes += size;
    if (m_bytes > MaxBytes || m_headers.size() > MaxLines)
        return Line::Failed;
    std::string line(data, size);
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r'))
        line.pop_back();
    if (startsWithNoCase(line, "http/") || startsWithNoCase(line, "icy ")) {
        if (!parseStatusLine(line))
            return Line::Failed;
        m_sawStatus = true;
        return Line::Taken;
    }
    if (line.empty()) {
        if (!m_sawStatus)
            return Line::Taken;
        // Interim answers and redirects that the transfer follows come before another answer.
        if (m_status < 200 || (m_status >= 300 && m_status < 400 && m_headers.count("location")))
            return Line::Taken;
        return Line::Complete;
    }
    addHeaderLine(line);
    return Line::Taken;
}

bool HttpResponseHead::parseStatusLine(const std::string &line)
{
    const size_t sp = line.find(' ');
    if (sp == std::string::npos)
        return false;
    const std::string rest = trimmed(line.substr(sp + 1));
    long code = 0;
    auto [ptr, ec] =
        std::from_chars(rest.data(), rest.data() + std::min<size_t>(rest.size(), 3), code);
    if (ec != std::errc() || ptr != rest.data() + 3)
        return false;
    m_status = code;
    m_headers.clear();
    m_bytes = line.size();
    return true;
}

void HttpResponseHead::addHeaderLine(const std::string &line)
{
    const size_t colon = line.find(':');
    if (colon == std::string::npos || colon == 0)
        return;
    m_headers[lower(trimmed(line.substr(0, colon)))] = trimmed(line.substr(colon + 1));
}

HttpResponseHead::Raw HttpResponseHead::addRaw(const char *data, size_t size, std::string *rest)
{
    if (m_sawStatus)
        return Raw::Refused;
    const size_t room = MaxBytes - m_raw.size();
    m_raw.append(data, std::min(size, room));
    if (m_raw.size() >= 4 && !startsWithNoCase(m_raw, "icy ") && !startsWithNoCase(m_raw, "http"))
        return Raw::Bare;
    size_t end = m_raw.find("\r\n\r\n");
    size_t sep = 4;
    if (end == std::string::npos) {
        end = m_raw.find("\n\n");
        sep = 2;
    }
    if (end == std::string::npos)
        return m_raw.size() >= MaxBytes ? Raw::Failed : Raw::More;
    const std::string block = m_raw.substr(0, end);
    *rest = m_raw.substr(end + sep);
    m_raw.clear();
    if (!parseBlock(block))
        return Raw::Failed;
    m_sawStatus = true;
    return Raw::Complete;
}

bool HttpResponseHead::parseBlock(const std::string &block)
{
    size_t pos = 0;
    bool first = true;
    while (pos <= block.size()) {
        const size_t nl = block.find('\n', pos);
        std::string line = block.substr(pos, nl == std::string::npos ? nl : nl - pos);
        while (!line.empty() && line.back() == '\r')
            line.pop_back();
        if (first) {
            if (!parseStatusLine(line))
                return false;
            first = false;
        } else if (!line.empty()) {
            if (m_headers.size() >= MaxLines)
                return false;
            addHeaderLine(line);
        }
        if (nl == std::string::npos)
            break;
        pos = nl + 1;
    }
    return true;
}

std::string HttpResponseHead::takeRaw()
{
    std::string raw = std::move(m_raw);
    m_raw.clear();
    return raw;
}

std::string HttpResponseHead::header(const std::string &name) const
{
    const auto it = m_headers.find(name);
    return it == m_headers.end() ? std::string() : it->second;
}

int64_t HttpResponseHead::metaint() const
{
    return IcyParser::parseMetaint(header("icy-metaint"));
}

int64_t HttpResponseHead::length() const
{
    if (metaint() > 0)
        return -1;
    if (m_status == 206) {
        const std::string range = header("content-range");
        const size_t slash = range.rfind('/');
        return slash == std::string::npos ? -1 : parseNumber(range.substr(slash + 1));
    }
    return m_headers.count("content-length") ? parseNumber(header("content-length")) : -1;
}

} // namespace engine
