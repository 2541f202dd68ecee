#include "httpbytesource.h"
#include "threadname.h"

#include "netplaylist.h"

#include <curl/curl.h>

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cstring>
#include <memory>
#include <optional>

namespace engine {

namespace {

using Clock = std::chrono::steady_clock;

// Bytes of the body looked at before deciding between audio and a playlist.
constexpr size_t SniffBytes = 64;
// Largest block that curl hands to the write callback (CURLOPT_BUFFERSIZE).
constexpr size_t CurlBlockBytes = 16 * 1024;
constexpr auto PieceRest = std::chrono::milliseconds(250);
constexpr long MaxRedirects = 10;

void globalInit()
{
    static std::once_flag once;
    std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

std::string lower(std::string s)
{
    std::transform(s.begin(), s.end(), s.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return s;
}

std::string trimmed(const std::string &s)
{
    size_t b = s.find_first_not_of(" \t\r\n");
    if (b == std::string::npos)
        return {};
    size_t e = s.find_last_not_of(" \t\r\n");
    return s.substr(b, e - b + 1);
}

bool startsWithNoCase(const std::string &s, const char *prefix)
{
    const size_t n = std::strlen(prefix);
    return s.size() >= n && lower(s.substr(0, n)) == prefix;
}

int64_t parseNumber(const std::string &s)
{
    int64_t n = -1;
    const std::string t = trimmed(s);
    auto [ptr, ec] = std::from_chars(t.data(), t.data() + t.size(), n);
    if (ec != std::errc() || ptr != t.data() + t.size() || n < 0)
        return -1;
    return n;
}

HttpByteSource::Error mapCurlError(CURLcode code)
{
    switch (code) {
    case CURLE_OK:
        return HttpByteSource::Error::None;
    case CURLE_COULDNT_RESOLVE_HOST:
    case CURLE_COULDNT_RESOLVE_PROXY:
    case CURLE_COULDNT_CONNECT:
        return HttpByteSource::Error::NoNet;
    case CURLE_OPERATION_TIMEDOUT:
        return HttpByteSource::Error::Timeout;
    case CURLE_SSL_CONNECT_ERROR:
    case CURLE_PEER_FAILED_VERIFICATION:
    case CURLE_SSL_CERTPROBLEM:
    case CURLE_SSL_CIPHER:
    case CURLE_SSL_CACERT_BADFILE:
    case CURLE_SSL_ENGINE_NOTFOUND:
    case CURLE_SSL_ENGINE_SETFAILED:
    case CURLE_SSL_ENGINE_INITFAILED:
    case CURLE_SSL_ISSUER_ERROR:
    case CURLE_SSL_PINNEDPUBKEYNOTMATCH:
    case CURLE_SSL_INVALIDCERTSTATUS:
    case CURLE_SSL_CRL_BADFILE:
    case CURLE_USE_SSL_FAILED:
        return HttpByteSource::Error::Ssl;
    default:
        return HttpByteSource::Error::FileOpen;
    }
}

struct UrlFree
{
    void operator()(CURLU *u) const { curl_url_cleanup(u); }
};
struct HeaderListFree
{
    void operator()(curl_slist *list) const { curl_slist_free_all(list); }
};
struct EasyFree
{
    void operator()(CURL *easy) const { curl_easy_cleanup(easy); }
};
struct CurlTextFree
{
    void operator()(char *text) const { curl_free(text); }
};
using UrlHandle = std::unique_ptr<CURLU, UrlFree>;
using HeaderList = std::unique_ptr<curl_slist, HeaderListFree>;
using EasyHandle = std::unique_ptr<CURL, EasyFree>;

// One part of a parsed address; nothing when curl cannot give it.
std::optional<std::string> urlPart(CURLU *u, CURLUPart part, unsigned int flags = 0)
{
    char *text = nullptr;
    const bool ok = curl_url_get(u, part, &text, flags) == CURLUE_OK;
    const std::unique_ptr<char, CurlTextFree> owned(text);
    if (!ok || !text)
        return std::nullopt;
    return std::string(text);
}

UrlHandle parsedUrl(const std::string &url)
{
    UrlHandle u(curl_url());
    if (u && curl_url_set(u.get(), CURLUPART_URL, url.c_str(), 0) != CURLUE_OK)
        u.reset();
    return u;
}

// Scheme, host and port of an address, as curl normalises them.
std::string originOf(const std::string &url)
{
    const UrlHandle u = parsedUrl(url);
    if (!u)
        return {};
    const auto scheme = urlPart(u.get(), CURLUPART_SCHEME);
    const auto host = urlPart(u.get(), CURLUPART_HOST);
    const auto port = urlPart(u.get(), CURLUPART_PORT, CURLU_DEFAULT_PORT);
    if (!scheme || !host || !port)
        return {};
    return lower(*scheme) + "://" + lower(*host) + ":" + *port;
}

bool sameOrigin(const std::string &a, const std::string &b)
{
    const std::string origin = originOf(a);
    return !origin.empty() && origin == originOf(b);
}

// `reference` (a playlist entry) resolved against the address of the playlist; empty when
// either does not parse.
std::string resolvedUrl(const std::string &base, const std::string &reference)
{
    const UrlHandle u = parsedUrl(base);
    if (!u || curl_url_set(u.get(), CURLUPART_URL, reference.c_str(), 0) != CURLUE_OK)
        return {};
    return urlPart(u.get(), CURLUPART_URL).value_or(std::string());
}

// The list with `line` appended; on failure the list as it was.
void append(HeaderList &list, const char *line)
{
    if (curl_slist *longer = curl_slist_append(list.get(), line)) {
        (void)list.release();
        list.reset(longer);
    }
}

} // namespace

struct HttpByteSource::Transfer
{
    HttpByteSource *self = nullptr;
    CURL *easy = nullptr;
    std::string url;
    int64_t offset = 0;
    bool allowPlaylist = false;
    BodyState state = BodyState::Headers;
    bool sawStatus = false; // a status line came through the header callback
    long status = 0;
    std::map<std::string, std::string> headers;
    size_t headerBytes = 0;
    std::string rawHead; // status and headers sent in the body (HTTP/0.9 style "ICY 200 OK")
    std::string head;    // first body bytes while deciding between audio and a playlist
    std::string path;    // of the address, for telling a playlist by its name
    std::string playlist;
    NetPlaylist::Kind kind = NetPlaylist::Kind::None;
    int64_t discardLeft = 0;
    int64_t length = -1;
    IcyParser icy;
    bool paused = false;
    bool opened = false;
    Error error = Error::None;
    Clock::time_point lastData = Clock::now();
    size_t bytesSinceRest = 0; // arrived since the transfer thread last looked
};

HttpByteSource::HttpByteSource(std::string address, int64_t offset, Options options,
                               DataCallback onData, MetaCallback onMeta)
    : m_url([&] {
        const size_t eol = address.find("\r\n");
        return trimmed(address.substr(0, eol));
    }())
    , m_offset(std::max<int64_t>(offset, 0))
    , m_options(std::move(options))
    , m_onData(std::move(onData))
    , m_onMeta(std::move(onMeta))
    , m_ring(std::max(m_options.bufferBytes, MinBufferBytes), m_offset)
    , m_prebuf(std::min(m_options.prebufBytes, std::max(m_options.bufferBytes, MinBufferBytes)))
{
    globalInit();
    m_multi = curl_multi_init();
    size_t at = address.find("\r\n");
    size_t total = 0;
    bool icyMeta = false;
    while (at != std::string::npos) {
        const size_t next = address.find("\r\n", at + 2);
        std::string line =
            address.substr(at + 2, next == std::string::npos ? std::string::npos : next - at - 2);
        at = next;
        if (line.empty())
            continue;
        // A stray CR, LF or NUL would smuggle another header or request in.
        if (line.find_first_of(std::string("\r\n\0", 3)) != std::string::npos ||
            line.find(':') == std::string::npos)
            continue;
        total += line.size();
        if (total > MaxRequestHeaderBytes)
            break;
        if (startsWithNoCase(line, "user-agent:"))
            m_customAgent = true;
        if (startsWithNoCase(line, "icy-metadata:"))
            icyMeta = true;
        m_requestHeaders.push_back(std::move(line));
    }
    if (!icyMeta)
        m_requestHeaders.emplace_back("Icy-MetaData: 1");
    m_scratch.reserve(CurlBlockBytes + SniffBytes);
}

HttpByteSource::~HttpByteSource()
{
    abort();
    if (m_thread.joinable())
        m_thread.join();
    if (m_multi)
        curl_multi_cleanup(static_cast<CURLM *>(m_multi));
}

HttpByteSource::Error HttpByteSource::open()
{
    if (!m_multi)
        return Error::NoNet;
    if (!m_thread.joinable())
        m_thread = std::thread([this] {
            nameThisThread("kl-http");
            run();
        });
    std::unique_lock lock(m_mutex);
    m_cond.wait(lock, [this] { return m_opened || m_finished; });
    if (m_opened)
        return Error::None;
    return m_error == Error::None ? Error::FileForm : m_error;
}

bool HttpByteSource::waitPrebuffer()
{
    std::unique_lock lock(m_mutex);
    m_cond.wait(lock, [this] {
        return m_abort || m_finished || !m_waitingPrebuf || prebuffered() >= m_prebuf;
    });
    if (m_abort)
        return false;
    return m_opened && (m_ring.unread() > 0 || m_error == Error::None);
}

int64_t HttpByteSource::read(uint8_t *buffer, int64_t size)
{
    if (size <= 0)
        return 0;
    std::unique_lock lock(m_mutex);
    for (;;) {
        if (m_abort)
            return -1;
        if (m_waitingPrebuf) {
            if (prebuffered() >= m_prebuf || m_finished)
                m_waitingPrebuf = false;
        }
        if (!m_waitingPrebuf && m_ring.unread() > 0) {
            m_readerStarved = false;
            const size_t n = m_ring.read(buffer, static_cast<size_t>(size));
            wakeForSpace();
            return static_cast<int64_t>(n);
        }
        if (m_finished && m_ring.unread() == 0)
            return m_opened ? 0 : -1;
        if (!m_waitingPrebuf) {
            ++m_underruns;
            m_prebufFromStart = false;
            if (m_prebufArmed && m_prebuf > 0)
                m_waitingPrebuf = true;
        }
        if (!m_readerStarved) {
            m_readerStarved = true;
            m_cond.notify_all(); // ends the transfer thread's pause between pieces
        }
        m_cond.wait(lock);
    }
}

bool HttpByteSource::seek(int64_t offset)
{
    // Only within what is held: everything downloaded when the stream is kept whole, else the
    // bytes not read yet and the recently read ones. Anything else would take another request.
    std::lock_guard lock(m_mutex);
    if (!m_ring.seek(offset))
        return false;
    wakeForSpace();
    return true;
}

void HttpByteSource::wakeForSpace()
{
    if (m_readerWantsSpace && m_ring.writable() >= CurlBlockBytes) {
        m_readerWantsSpace = false;
        curl_multi_wakeup(static_cast<CURLM *>(m_multi));
    }
}

int64_t HttpByteSource::length() const
{
    std::lock_guard lock(m_mutex);
    return m_length;
}

int64_t HttpByteSource::position() const
{
    std::lock_guard lock(m_mutex);
    return m_ring.readPosition();
}

int64_t HttpByteSource::available() const
{
    std::lock_guard lock(m_mutex);
    return m_ring.writePosition();
}

int64_t HttpByteSource::buffered() const
{
    std::lock_guard lock(m_mutex);
    return static_cast<int64_t>(m_ring.unread());
}

bool HttpByteSource::keepsWhole() const
{
    std::lock_guard lock(m_mutex);
    return m_ring.keepsWhole();
}

int64_t HttpByteSource::openOffset() const
{
    std::lock_guard lock(m_mutex);
    return m_openOffset;
}

std::string HttpByteSource::contentType() const
{
    std::lock_guard lock(m_mutex);
    return m_contentType;
}

void HttpByteSource::abort()
{
    {
        std::lock_guard lock(m_mutex);
        m_abort = true;
        m_cond.notify_all();
    }
    if (m_multi)
        curl_multi_wakeup(static_cast<CURLM *>(m_multi));
}

bool HttpByteSource::finished() const
{
    std::lock_guard lock(m_mutex);
    return m_finished;
}

HttpByteSource::Error HttpByteSource::error() const
{
    std::lock_guard lock(m_mutex);
    return m_error;
}

std::string HttpByteSource::header(const std::string &name) const
{
    std::lock_guard lock(m_mutex);
    auto it = m_headers.find(lower(name));
    return it == m_headers.end() ? std::string() : it->second;
}

std::string HttpByteSource::meta() const
{
    std::lock_guard lock(m_mutex);
    return m_meta;
}

void HttpByteSource::setLimits(size_t bufferBytes, size_t prebufBytes)
{
    {
        std::lock_guard lock(m_mutex);
        const size_t cap = std::max(bufferBytes, MinBufferBytes);
        m_ring.resize(cap);
        m_prebuf = std::min(prebufBytes, m_ring.capacity());
        m_cond.notify_all();
    }
    if (m_multi)
        curl_multi_wakeup(static_cast<CURLM *>(m_multi));
}

void HttpByteSource::startPrebuffering()
{
    std::lock_guard lock(m_mutex);
    m_prebufFromStart = true;
    m_prebufArmed = true;
    if (prebuffered() < m_prebuf && !m_finished)
        m_waitingPrebuf = true;
}

size_t HttpByteSource::prebuffered() const
{
    if (m_prebufFromStart)
        return static_cast<size_t>(m_ring.writePosition() - m_openOffset);
    return m_ring.unread();
}

int HttpByteSource::underruns() const
{
    std::lock_guard lock(m_mutex);
    return m_underruns;
}

void HttpByteSource::run()
{
    finish(transfer(m_url, m_offset, m_options.playlists, true));
}

HttpByteSource::Error HttpByteSource::transfer(const std::string &url, int64_t offset,
                                               bool allowPlaylist, bool sendCredentials)
{
    Transfer t;
    t.self = this;
    t.url = url;
    t.offset = offset;
    t.allowPlaylist = allowPlaylist;
    std::string effectiveUrl = url;
    if (const Error error = download(t, sendCredentials, effectiveUrl); error != Error::None)
        return error; // after the start of the audio this just ends the stream
    if (const Error error = decideShortBody(t); error != Error::None)
        return error;
    if (t.state != BodyState::Playlist)
        return t.opened ? Error::None : Error::FileForm;
    return followPlaylist(t, effectiveUrl, sendCredentials);
}

HttpByteSource::Error HttpByteSource::download(Transfer &t, bool sendCredentials,
                                               std::string &effectiveUrl)
{
    const EasyHandle easy(curl_easy_init());
    if (!easy)
        return Error::NoNet;
    const UrlHandle parsed = parsedUrl(t.url);
    const auto scheme = parsed ? urlPart(parsed.get(), CURLUPART_SCHEME) : std::nullopt;
    const auto path = parsed ? urlPart(parsed.get(), CURLUPART_PATH) : std::nullopt;
    const std::string schemeText = scheme ? lower(*scheme) : std::string();
    if (!path || (schemeText != "http" && schemeText != "https"))
        return Error::FileOpen;
    t.path = *path;
    t.easy = easy.get();

    HeaderList headers;
    for (const std::string &line : m_requestHeaders)
        if (sendCredentials || !startsWithNoCase(line, "authorization:"))
            append(headers, line.c_str());
    HeaderList aliases;
    append(aliases, "ICY 200 OK");
    configure(t, schemeText == "https", headers.get(), aliases.get());

    const Error result = pump(t);
    if (char *eff = nullptr;
        curl_easy_getinfo(t.easy, CURLINFO_EFFECTIVE_URL, &eff) == CURLE_OK && eff)
        effectiveUrl = eff;
    t.easy = nullptr;
    return result;
}

void HttpByteSource::configure(Transfer &t, bool https, curl_slist *headers, curl_slist *aliases)
{
    CURL *e = t.easy;
    curl_easy_setopt(e, CURLOPT_URL, t.url.c_str());
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
    curl_easy_setopt(e, CURLOPT_PROXY, m_options.proxy.c_str());
    if (!m_options.caFile.empty())
        curl_easy_setopt(e, CURLOPT_CAINFO, m_options.caFile.c_str());
    if (m_options.connectTimeoutMs > 0)
        curl_easy_setopt(e, CURLOPT_CONNECTTIMEOUT_MS,
                         static_cast<long>(m_options.connectTimeoutMs));
    curl_easy_setopt(e, CURLOPT_HTTPHEADER, headers);
    curl_easy_setopt(e, CURLOPT_HTTP200ALIASES, aliases);
    curl_easy_setopt(e, CURLOPT_HTTP09_ALLOWED, 1L);
    if (!m_customAgent && !m_options.agent.empty())
        curl_easy_setopt(e, CURLOPT_USERAGENT, m_options.agent.c_str());
    if (t.offset > 0) {
        const std::string range = std::to_string(t.offset) + "-";
        curl_easy_setopt(e, CURLOPT_RANGE, range.c_str()); // copied by curl
    }
    curl_easy_setopt(e, CURLOPT_BUFFERSIZE, static_cast<long>(CurlBlockBytes));
    curl_easy_setopt(e, CURLOPT_HEADERFUNCTION, &HttpByteSource::headerThunk);
    curl_easy_setopt(e, CURLOPT_HEADERDATA, &t);
    curl_easy_setopt(e, CURLOPT_WRITEFUNCTION, &HttpByteSource::writeThunk);
    curl_easy_setopt(e, CURLOPT_WRITEDATA, &t);
}

HttpByteSource::Error HttpByteSource::pump(Transfer &t)
{
    CURLM *multi = static_cast<CURLM *>(m_multi);
    curl_multi_add_handle(multi, t.easy);
    t.lastData = Clock::now();
    Error result = Error::None;
    CURLcode code = CURLE_OK;
    bool done = false;
    while (!done) {
        if (m_abort) {
            result = Error::Aborted;
            break;
        }
        resumeWhenRoom(t);
        int running = 0;
        curl_multi_perform(multi, &running);
        int left = 0;
        while (CURLMsg *msg = curl_multi_info_read(multi, &left)) {
            if (msg->msg == CURLMSG_DONE && msg->easy_handle == t.easy) {
                code = msg->data.result;
                done = true;
            }
        }
        if (done || t.error != Error::None)
            break;
        if (timedOut(t)) {
            result = Error::Timeout;
            break;
        }
        restBetweenPieces(t);
        curl_multi_poll(multi, nullptr, 0, 100, nullptr);
    }
    curl_multi_remove_handle(multi, t.easy);
    if (t.error != Error::None)
        return t.error;
    if (result != Error::None)
        return result;
    return mapCurlError(code);
}

void HttpByteSource::restBetweenPieces(Transfer &t)
{
    // A live stream arrives in small pieces, often dozens a second, while the reader holds
    // seconds of audio: taking them a few times a second is enough, and the socket keeps what
    // comes meanwhile. A reader that runs dry (or still waits for the prebuffer) ends the rest;
    // a download that comes faster than a block per look has no rest at all.
    const bool flowing = t.bytesSinceRest >= CurlBlockBytes;
    t.bytesSinceRest = 0;
    if (t.state != BodyState::Audio || t.paused || flowing)
        return;
    std::unique_lock lock(m_mutex);
    m_cond.wait_for(lock, PieceRest,
                    [this] { return m_abort || m_readerStarved || m_waitingPrebuf; });
}

void HttpByteSource::resumeWhenRoom(Transfer &t)
{
    if (!t.paused)
        return;
    {
        std::lock_guard lock(m_mutex);
        if (m_ring.writable() < CurlBlockBytes && m_ring.unread() > 0)
            return;
    }
    t.paused = false;
    t.lastData = Clock::now();
    curl_easy_pause(t.easy, CURLPAUSE_CONT);
}

bool HttpByteSource::timedOut(const Transfer &t) const
{
    if (t.paused)
        return false;
    // Until the answer has come, the server has the connect time-out to respond.
    const int limitMs = t.state == BodyState::Headers && m_options.connectTimeoutMs > 0
                            ? m_options.connectTimeoutMs
                            : m_options.readTimeoutMs;
    return limitMs > 0 && Clock::now() - t.lastData > std::chrono::milliseconds(limitMs);
}

HttpByteSource::Error HttpByteSource::decideShortBody(Transfer &t)
{
    if (t.state == BodyState::Headers) {
        if (!t.rawHead.empty())
            takeBareBody(t);
        else if (!t.sawStatus)
            return Error::FileOpen;
    }
    if (t.error == Error::None && t.state == BodyState::Deciding)
        decide(t, nullptr, 0);
    return t.error;
}

HttpByteSource::Error HttpByteSource::followPlaylist(const Transfer &t,
                                                     const std::string &playlistUrl,
                                                     bool sendCredentials)
{
    const std::vector<std::string> entries = NetPlaylist::parse(t.kind, t.playlist);
    Error last = Error::FileForm;
    for (const std::string &entry : entries) {
        if (m_abort)
            return Error::Aborted;
        const std::string next = resolvedUrl(playlistUrl, entry);
        if (next.empty())
            continue;
        // Credentials for the playlist's server are not for anybody else's.
        last = transfer(next, 0, false, sendCredentials && sameOrigin(playlistUrl, next));
        std::lock_guard lock(m_mutex);
        if (m_opened || last == Error::Aborted)
            return last;
    }
    return last;
}

size_t HttpByteSource::headerThunk(char *data, size_t size, size_t n, void *user)
{
    auto *t = static_cast<Transfer *>(user);
    return t->self->onHeader(*t, data, size * n);
}

size_t HttpByteSource::writeThunk(char *data, size_t size, size_t n, void *user)
{
    auto *t = static_cast<Transfer *>(user);
    return t->self->onBody(*t, reinterpret_cast<const uint8_t *>(data), size * n);
}

size_t HttpByteSource::onHeader(Transfer &t, const char *data, size_t size)
{
    t.lastData = Clock::now();
    t.headerBytes += size;
    if (t.headerBytes > MaxHeaderBytes || t.headers.size() > MaxHeaderLines) {
        t.error = Error::FileOpen;
        return 0;
    }
    std::string line(data, size);
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r'))
        line.pop_back();
    if (startsWithNoCase(line, "http/") || startsWithNoCase(line, "icy ")) {
        if (!parseStatusLine(t, line)) {
            t.error = Error::FileOpen;
            return 0;
        }
        t.sawStatus = true;
        return size;
    }
    if (line.empty()) {
        if (!t.sawStatus)
            return size;
        // Interim answers and redirects that curl follows are followed by another response.
        if (t.status < 200 || (t.status >= 300 && t.status < 400 && t.headers.count("location")))
            return size;
        return headersComplete(t) ? size : 0;
    }
    addHeaderLine(t, line);
    return size;
}

bool HttpByteSource::parseStatusLine(Transfer &t, const std::string &line)
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
    t.status = code;
    t.headers.clear();
    t.headerBytes = line.size();
    return true;
}

bool HttpByteSource::addHeaderLine(Transfer &t, const std::string &line)
{
    const size_t colon = line.find(':');
    if (colon == std::string::npos || colon == 0)
        return false;
    t.headers[lower(trimmed(line.substr(0, colon)))] = trimmed(line.substr(colon + 1));
    return true;
}

bool HttpByteSource::headersComplete(Transfer &t)
{
    if (t.status < 200 || t.status >= 300) {
        t.error = Error::FileOpen;
        return false;
    }
    const int64_t metaint = IcyParser::parseMetaint(t.headers["icy-metaint"]);
    t.icy = IcyParser(metaint);
    const int64_t contentLength =
        t.headers.count("content-length") ? parseNumber(t.headers["content-length"]) : -1;
    if (t.offset > 0 && t.status == 200)
        t.discardLeft = t.offset; // the server ignored the range: skip to the offset ourselves
    if (metaint > 0) {
        t.length = -1;
    } else if (t.status == 206) {
        const std::string range = t.headers["content-range"];
        const size_t slash = range.rfind('/');
        t.length = slash == std::string::npos ? -1 : parseNumber(range.substr(slash + 1));
    } else {
        t.length = contentLength;
    }
    {
        std::lock_guard lock(m_mutex);
        m_length = t.length;
        m_contentType = trimmed(t.headers["content-type"]);
        m_headers = t.headers;
    }
    if (t.allowPlaylist) {
        t.state = BodyState::Deciding;
    } else {
        t.state = BodyState::Audio;
        markOpened(t.offset);
        t.opened = true;
    }
    return true;
}

size_t HttpByteSource::onBody(Transfer &t, const uint8_t *data, size_t size)
{
    t.lastData = Clock::now();
    t.bytesSinceRest += size;
    if (t.state == BodyState::Headers)
        return onRawHead(t, data, size);

    size_t skipped = 0;
    if (t.discardLeft > 0) {
        skipped = static_cast<size_t>(std::min<int64_t>(t.discardLeft, size));
        t.discardLeft -= static_cast<int64_t>(skipped);
        if (skipped == size)
            return size;
    }
    const auto *rest = reinterpret_cast<const char *>(data + skipped);
    const size_t restSize = size - skipped;

    switch (t.state) {
    case BodyState::Deciding: {
        const size_t take = std::min(restSize, SniffBytes - t.head.size());
        t.head.append(rest, take);
        if (t.head.size() < SniffBytes)
            return size;
        return decide(t, rest + take, restSize - take) ? size : 0;
    }
    case BodyState::Playlist:
        if (t.playlist.size() + restSize > NetPlaylist::MaxBytes) {
            t.error = Error::FileForm;
            return 0;
        }
        t.playlist.append(rest, restSize);
        return size;
    case BodyState::Audio:
        if (skipped == 0) {
            std::lock_guard lock(m_mutex);
            if (m_ring.writable() < restSize) {
                if (m_ring.unread() > 0) {
                    t.paused = true;
                    m_readerWantsSpace = true;
                    return CURL_WRITEFUNC_PAUSE;
                }
                m_ring.resize(restSize); // a block larger than the whole ring
            }
        }
        return deliverAudio(t, data + skipped, restSize) ? size : 0;
    case BodyState::Headers:
        break;
    }
    return size;
}

size_t HttpByteSource::onRawHead(Transfer &t, const uint8_t *data, size_t size)
{
    if (t.sawStatus) // body bytes before the end of the headers: not HTTP
        return 0;
    const size_t room = MaxHeaderBytes - t.rawHead.size();
    t.rawHead.append(reinterpret_cast<const char *>(data), std::min(size, room));
    if (t.rawHead.size() >= 4 && !startsWithNoCase(t.rawHead, "icy ") &&
        !startsWithNoCase(t.rawHead, "http"))
        return takeBareBody(t) ? size : 0;
    size_t end = t.rawHead.find("\r\n\r\n");
    size_t sep = 4;
    if (end == std::string::npos) {
        end = t.rawHead.find("\n\n");
        sep = 2;
    }
    if (end == std::string::npos) {
        if (t.rawHead.size() >= MaxHeaderBytes) {
            t.error = Error::FileOpen;
            return 0;
        }
        return size;
    }
    const std::string block = t.rawHead.substr(0, end);
    const std::string rest = t.rawHead.substr(end + sep);
    t.rawHead.clear();
    if (!parseRawHead(t, block)) {
        t.error = Error::FileOpen;
        return 0;
    }
    t.sawStatus = true;
    if (!headersComplete(t))
        return 0;
    if (!rest.empty() &&
        onBody(t, reinterpret_cast<const uint8_t *>(rest.data()), rest.size()) != rest.size())
        return 0;
    return size;
}

bool HttpByteSource::parseRawHead(Transfer &t, const std::string &block)
{
    size_t pos = 0;
    bool first = true;
    while (pos <= block.size()) {
        const size_t nl = block.find('\n', pos);
        std::string line = block.substr(pos, nl == std::string::npos ? nl : nl - pos);
        while (!line.empty() && line.back() == '\r')
            line.pop_back();
        if (first) {
            if (!parseStatusLine(t, line))
                return false;
            first = false;
        } else if (!line.empty()) {
            if (t.headers.size() >= MaxHeaderLines)
                return false;
            addHeaderLine(t, line);
        }
        if (nl == std::string::npos)
            break;
        pos = nl + 1;
    }
    return true;
}

bool HttpByteSource::takeBareBody(Transfer &t)
{
    t.status = 200;
    if (!headersComplete(t))
        return false;
    const std::string raw = std::move(t.rawHead);
    t.rawHead.clear();
    return onBody(t, reinterpret_cast<const uint8_t *>(raw.data()), raw.size()) == raw.size();
}

bool HttpByteSource::decide(Transfer &t, const char *more, size_t moreSize)
{
    t.kind = NetPlaylist::detect(t.headers["content-type"], t.head, t.path);
    if (t.kind == NetPlaylist::Kind::Hls) {
        t.error = Error::FileForm;
        return false;
    }
    std::string body = std::move(t.head);
    t.head.clear();
    if (more)
        body.append(more, moreSize);
    if (t.kind != NetPlaylist::Kind::None) {
        t.state = BodyState::Playlist;
        t.playlist = std::move(body);
        if (t.playlist.size() > NetPlaylist::MaxBytes) {
            t.error = Error::FileForm;
            return false;
        }
        return true;
    }
    t.state = BodyState::Audio;
    markOpened(t.offset);
    t.opened = true;
    // The ring is empty here, so everything fits.
    return deliverAudio(t, reinterpret_cast<const uint8_t *>(body.data()), body.size());
}

bool HttpByteSource::deliverAudio(Transfer &t, const uint8_t *data, size_t size)
{
    m_scratch.clear();
    std::vector<std::pair<std::string, int64_t>> metas;
    const int64_t base = t.offset;
    t.icy.feed(
        data, size,
        [this](const uint8_t *d, size_t n) { m_scratch.insert(m_scratch.end(), d, d + n); },
        [&](const std::string &text, int64_t at) { metas.emplace_back(text, base + at); });
    {
        std::lock_guard lock(m_mutex);
        if (m_ring.writable() < m_scratch.size())
            m_ring.resize(m_ring.unread() + m_scratch.size());
        m_ring.write(m_scratch.data(), m_scratch.size());
        if (!metas.empty())
            m_meta = metas.back().first;
        m_cond.notify_all();
    }
    if (m_onData && !m_scratch.empty())
        m_onData(m_scratch.data(), m_scratch.size());
    if (m_onMeta)
        for (const auto &[text, at] : metas)
            m_onMeta(text, at);
    return true;
}

void HttpByteSource::markOpened(int64_t offset)
{
    std::lock_guard lock(m_mutex);
    const int64_t rest = m_length - offset;
    if (m_length >= 0 && rest >= 0 && static_cast<uint64_t>(rest) <= m_options.keepWholeBytes)
        m_ring.resetWhole(static_cast<size_t>(rest), offset);
    else
        m_ring.reset(m_ring.keepsWhole() ? std::max(m_options.bufferBytes, MinBufferBytes)
                                         : m_ring.capacity(),
                     offset);
    m_openOffset = offset;
    m_opened = true;
    m_cond.notify_all();
}

void HttpByteSource::finish(Error error)
{
    // The download procedure hears of the end before any reader does.
    if (m_onData)
        m_onData(nullptr, 0);
    std::lock_guard lock(m_mutex);
    m_finished = true;
    m_error = error;
    m_cond.notify_all();
}

} // namespace engine
