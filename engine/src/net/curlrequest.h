#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

typedef void CURL;
struct curl_slist;

namespace engine {

// The curl handle of one HTTP request with everything set on it: the address and the byte to
// start at, the protocols and redirects allowed (never from an encrypted address to a plain
// one), the certificate checks, the proxy, the request's header lines, the "ICY 200 OK" answer
// as an HTTP one, and the callbacks that take the answer's head and body.
class CurlRequest
{
public:
    // Largest block that curl hands to the body callback.
    static constexpr size_t BlockBytes = 16 * 1024;
    static constexpr long MaxRedirects = 10;

    struct Settings
    {
        std::string agent; // User-Agent unless the header lines give one
        std::string proxy; // empty: none, not even from the environment
        std::string caFile;
        int connectTimeoutMs = 0;
        // Authorization lines are sent only with credentials.
        bool sendCredentials = true;
    };
    using Callback = size_t (*)(char *data, size_t size, size_t n, void *user);

    CurlRequest(const std::string &url, int64_t offset, const std::vector<std::string> &headerLines,
                const Settings &settings, Callback onHeader, Callback onBody, void *user);
    ~CurlRequest();

    CurlRequest(const CurlRequest &) = delete;
    CurlRequest &operator=(const CurlRequest &) = delete;

    // Null when curl could not make a handle.
    CURL *handle() const { return m_easy.get(); }
    // The address the request ended at after redirects; `fallback` when curl cannot tell.
    std::string effectiveUrl(const std::string &fallback) const;

    // Initialises curl once for the process.
    static void globalInit();

private:
    struct EasyFree
    {
        void operator()(CURL *easy) const;
    };
    struct ListFree
    {
        void operator()(curl_slist *list) const;
    };
    using List = std::unique_ptr<curl_slist, ListFree>;

    // The list with `line` appended; on failure the list as it was.
    static void append(List &list, const char *line);

    std::unique_ptr<CURL, EasyFree> m_easy;
    List m_headers;
    List m_aliases;
};

} // namespace engine
