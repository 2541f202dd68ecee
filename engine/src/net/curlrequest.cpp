#include "curlrequest.h"

#include "curlurl.h"
#include "httpresponsehead.h"

#include <curl/curl.h>

#include <mutex>

namespace engine {

void CurlRequest::EasyFree::operator()(CURL *easy) const
{
    curl_easy_cleanup(easy);
}

void CurlRequest::ListFree::operator()(curl_slist *list) const
{
    curl_slist_free_all(list);
}

void CurlRequest::globalInit()
{
    static std::once_flag once;
    std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

void CurlRequest::append(List &list, const char *line)
{
    if (curl_slist *longer = curl_slist_append(list.get(), line)) {
        (void)list.release();
        list.reset(longer);
    }
}

CurlRequest::CurlRequest(const std::string &url, int64_t offset,
                         const std::vector<std::string> &headerLines, const Settings &settings,
                         Callback onHeader, Callback onBody, void *user)
    : m_easy(curl_easy_init())
{
    if (!m_easy)
        return;
    bool customAgent = false;
    for (const std::string &line : headerLines) {
        if (settings.sendCredentials || !HttpResponseHead::startsWithNoCase(line, "authorization:"))
            append(m_headers, line.c_str());
        customAgent = customAgent || HttpResponseHead::startsWithNoCase(line, "user-agent:");
    }
    append(m_aliases, "ICY 200 OK");

    CURL *e = m_easy.get();
    const bool https = CurlUrl(url).scheme() == "https";
    curl_easy_setopt(e, CURLOPT_URL, url.c_str());
    curl_easy_setopt(e, CURLOPT_PROTOCOLS_STR, "http,https");
    // Never follow a redirect from an encrypted address to a plain one.
    curl_easy_setopt(e, CURLOPT_REDIR_PROTOCOLS_STR, https ? "https" : "http,https");
    curl_easy_setopt(e, CURLOPT_FOLLOWLOCATION, 1L);
    curl_easy_setopt(e, CURLOPT_MAXREDIRS, MaxRedirects);
    curl_easy_setopt(e, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(e, CURLOPT_SSL_VERIFYPEER, 1L);
    curl_easy_setopt(e, CURLOPT_SSL_VERIFYHOST, 2L);
    // No proxy unless one is configured (an empty name also keeps curl from taking one from
    // the environment).
    curl_easy_setopt(e, CURLOPT_PROXY, settings.proxy.c_str());
    if (!settings.caFile.empty())
        curl_easy_setopt(e, CURLOPT_CAINFO, settings.caFile.c_str());
    if (settings.connectTimeoutMs > 0)
        curl_easy_setopt(e, CURLOPT_CONNECTTIMEOUT_MS,
                         static_cast<long>(settings.connectTimeoutMs));
    curl_easy_setopt(e, CURLOPT_HTTPHEADER, m_headers.get());
    curl_easy_setopt(e, CURLOPT_HTTP200ALIASES, m_aliases.get());
    curl_easy_setopt(e, CURLOPT_HTTP09_ALLOWED, 1L);
    if (!customAgent && !settings.agent.empty())
        curl_easy_setopt(e, CURLOPT_USERAGENT, settings.agent.c_str());
    if (offset > 0) {
        const std::string range = std::to_string(offset) + "-";
        curl_easy_setopt(e, CURLOPT_RANGE, range.c_str()); // copied by curl
    }
    curl_easy_setopt(e, CURLOPT_BUFFERSIZE, static_cast<long>(BlockBytes));
    curl_easy_setopt(e, CURLOPT_HEADERFUNCTION, onHeader);
    curl_easy_setopt(e, CURLOPT_HEADERDATA, user);
    curl_easy_setopt(e, CURLOPT_WRITEFUNCTION, onBody);
    curl_easy_setopt(e, CURLOPT_WRITEDATA, user);
}

CurlRequest::~CurlRequest() = default;

std::string CurlRequest::effectiveUrl(const std::string &fallback) const
{
    char *effective = nullptr;
    if (m_easy && curl_easy_getinfo(m_easy.get(), CURLINFO_EFFECTIVE_URL, &effective) == CURLE_OK &&
        effective)
        return effective;
    return fallback;
}

} // namespace engine
