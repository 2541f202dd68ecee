#pragma once

#include <memory>
#include <optional>
#include <string>

typedef struct Curl_URL CURLU;

namespace engine {

// An address as curl parses and normalises it.
class CurlUrl
{
public:
    explicit CurlUrl(const std::string &url);
    ~CurlUrl();

    bool isValid() const { return bool(m_url); }
    // The scheme in lower case; empty when the address does not parse.
    std::string scheme() const;
    std::optional<std::string> path() const;
    // Scheme, host and port ("http://example.org:80"); empty when the address does not parse.
    std::string origin() const;

    // Whether both addresses parse and have the same scheme, host and port.
    static bool sameOrigin(const std::string &a, const std::string &b);
    // reference (for example a playlist entry) resolved against base; empty when either does
    // not parse.
    static std::string resolved(const std::string &base, const std::string &reference);

private:
    struct Free
    {
        void operator()(CURLU *u) const;
    };
    std::optional<std::string> part(int which, unsigned int flags = 0) const;

    std::unique_ptr<CURLU, Free> m_url;
};

} // namespace engine
