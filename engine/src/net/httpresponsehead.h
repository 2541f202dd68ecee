#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>

namespace engine {

// The head of one HTTP answer as it arrives: status and header lines one by one from the
// transfer, or, from a server that answers the HTTP/0.9 way (which is how "ICY 200 OK" comes),
// a status and header block at the start of the body. Bounded in bytes and in lines. Tells the
// length of the resource and the ICY metadata interval the headers announce.
class HttpResponseHead
{
public:
    static constexpr size_t MaxBytes = 64 * 1024;
    static constexpr size_t MaxLines = 4096;

    enum class Line {
        Taken,    // more lines follow
        Complete, // the blank line after the head of the final answer
        Failed,   // malformed or too large
    };
    enum class Raw {
        More,     // the block has not ended yet
        Complete, // the block was read; the body bytes after it are handed back
        Bare,     // there is no head: all bytes so far are body (takeRaw())
        Refused,  // body bytes came after a status line: not HTTP
        Failed,   // malformed or too large
    };

    // One line given to the transfer's header callback, line end included.
    Line addLine(const char *data, size_t size);
    // Body bytes while no status line has come; with Complete, *rest gets the body bytes that
    // followed the block.
    Raw addRaw(const char *data, size_t size, std::string *rest);
    // Whether body bytes are waiting for the end of a head block, and taking them (as the body).
    bool hasRaw() const { return !m_raw.empty(); }
    std::string takeRaw();

    bool sawStatus() const { return m_sawStatus; }
    long status() const { return m_status; }
    // A body without any head plays as a 200 answer.
    void setStatus(long status) { m_status = status; }
    bool succeeded() const { return m_status >= 200 && m_status < 300; }
    const std::map<std::string, std::string> &headers() const { return m_headers; }
    // A header by lower-case name; empty when it did not come.
    std::string header(const std::string &name) const;
    // Audio bytes between ICY metadata blocks; 0 without.
    int64_t metaint() const;
    // Length of what the answer delivers: the whole of a partial answer's resource, the
    // content length otherwise; -1 when unknown or for a stream with ICY metadata.
    int64_t length() const;

    static std::string lower(std::string s);
    static std::string trimmed(const std::string &s);
    static bool startsWithNoCase(const std::string &s, const char *prefix);
    // A non-negative decimal number, -1 otherwise.
    static int64_t parseNumber(const std::string &s);

private:
    bool parseStatusLine(const std::string &line);
    void addHeaderLine(const std::string &line);
    bool parseBlock(const std::string &block);

    bool m_sawStatus = false; // a status line came through addLine() or a block
    long m_status = 0;
    std::map<std::string, std::string> m_headers;
    size_t m_bytes = 0;
    std::string m_raw; // body bytes gathered while waiting for the end of a head block
};

} // namespace engine
