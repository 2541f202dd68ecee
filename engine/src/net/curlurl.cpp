#include "curlurl.h"

#include "httpresponsehead.h"

#include <curl/curl.h>

namespace engine {

namespace {

struct CurlTextFree
{
    void operator()(char *text) const { curl_free(text); }
};

} // namespace

void CurlUrl::Free::operator()(CURLU *u) const
{
    curl_url_cleanup(u);
}

CurlUrl::CurlUrl(const std::string &url)
    : m_url(curl_url())
{
    if (m_url && curl_url_set(m_url.get(), CURLUPART_URL, url.c_str(), 0) != CURLUE_OK)
        m_url.reset();
}

CurlUrl::~CurlUrl() = default;

std::optional<std::string> CurlUrl::part(int which, unsigned int flags) const
{
    if (!m_url)
        return std::nullopt;
    char *text = nullptr;
    const bool ok =
        curl_url_get(m_url.get(), static_cast<CURLUPart>(which), &text, flags) == CURLUE_OK;
    const std::unique_ptr<char, CurlTextFree> owned(text);
    if (!ok || !text)
        return std::nullopt;
    return std::string(text);
}

std::string CurlUrl::scheme() const
{
    const auto scheme = part(CURLUPART_SCHEME);
    return scheme ? HttpResponseHead::lower(*scheme) : std::string();
}

std::optional<std::string> CurlUrl::path() const
{
    return part(CURLUPART_PATH);
}

std::string CurlUrl::origin() const
{
    const auto scheme = part(CURLUPART_SCHEME);
    const auto host = part(CURLUPART_HOST);
    const auto port = part(CURLUPART_PORT, CURLU_DEFAULT_PORT);
    if (!scheme || !host || !port)
        return {};
    return HttpResponseHead::lower(*scheme) + "://" + HttpResponseHead::lower(*host) + ":" + *port;
}

bool CurlUrl::sameOrigin(const std::string &a, const std::string &b)
{
    const std::string origin = CurlUrl(a).origin();
    return !origin.empty() && origin == CurlUrl(b).origin();
}

std::string CurlUrl::resolved(const std::string &base, const std::string &reference)
{
    const CurlUrl u(base);
    if (!u.m_url || curl_url_set(u.m_url.get(), CURLUPART_URL, reference.c_str(), 0) != CURLUE_OK)
        return {};
    return u.part(CURLUPART_URL).value_or(std::string());
}

} // namespace engine
