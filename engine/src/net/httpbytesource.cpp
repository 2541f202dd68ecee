#include "httpbytesource.h"
#include "threadname.h"

#include "curlrequest.h"
#include "curlurl.h"
#include "httpplaylistbody.h"
#include "httpresponsehead.h"

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

constexpr size_t CurlBlockBytes = CurlRequest::BlockBytes;
constexpr auto PieceRest = std::chrono::milliseconds(250);
// The longest rest, taken while the reader holds twice as much as arrives meanwhile.
constexpr auto LongPieceRest = std::chrono::milliseconds(1000);

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

constexpr auto lower = HttpResponseHead::lower;
constexpr auto trimmed = HttpResponseHead::trimmed;
constexpr auto startsWithNoCase = HttpResponseHead::startsWithNoCase;

} // namespace

struct HttpByteSource::Transfer
{
    HttpByteSource *self = nullptr;
    CURL *easy = nullptr;
    std::string url;
    int64_t offset = 0;
    bool allowPlaylist = false;
    BodyState state = BodyState::Headers;
    HttpResponseHead response;
    HttpPlaylistBody body;
    std::string path; // of the address, for telling a playlist by its name
    int64_t discardLeft = 0;
    int64_t length = -1;
    IcyParser icy;
    bool paused = false;
    bool opened = false;
    Error error = Error::None;
    Clock::time_point lastData = Clock::now();
    size_t bytesSinceRest = 0; // arrived since the transfer thread last looked
    Clock::time_point lastLook = Clock::now();
};

HttpByteSource::HttpByteSource(std::string address, int64_t offset, Options options,
                               DataCallback onData, MetaCallback onMeta)
    : HttpByteSource(HttpRequestAddress::parse(address, MaxRequestHeaderBytes), offset,
                     std::move(options), std::move(onData), std::move(onMeta))
{}

HttpByteSource::HttpByteSource(HttpRequestAddress address, int64_t offset, Options options,
                               DataCallback onData, MetaCallback onMeta)
    : m_url(std::move(address.url))
    , m_offset(std::max<int64_t>(offset, 0))
    , m_options(std::move(options))
    , m_onData(std::move(onData))
    , m_onMeta(std::move(onMeta))
    , m_requestHeaders(std::move(address.headers))
    , m_ring(std::max(m_options.bufferBytes, MinBufferBytes), m_offset)
    , m_prebuf(std::min(m_options.prebufBytes, std::max(m_options.bufferBytes, MinBufferBytes)))
{
    CurlRequest::globalInit();
    m_multi = curl_multi_init();
    const bool icyMeta =
        std::any_of(m_requestHeaders.begin(), m_requestHeaders.end(), [](const std::string &line) {
            return startsWithNoCase(line, "icy-metadata:");
        });
    if (!icyMeta)
        m_requestHeaders.emplace_back("Icy-MetaData: 1");
    m_scratch.reserve(CurlBlockBytes + HttpPlaylistBody::SniffBytes);
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

std::map<std::string, std::string> HttpByteSource::headers() const
{
    std::lock_guard lock(m_mutex);
    return m_headers;
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
    CurlRequest::Settings settings;
    settings.agent = m_options.agent;
    settings.proxy = m_options.proxy;
    settings.caFile = m_options.caFile;
    settings.connectTimeoutMs = m_options.connectTimeoutMs;
    settings.sendCredentials = sendCredentials;
    const CurlRequest request(t.url, t.offset, m_requestHeaders, settings,
                              &HttpByteSource::headerThunk, &HttpByteSource::writeThunk, &t);
    if (!request.handle())
        return Error::NoNet;
    const CurlUrl parsed(t.url);
    const std::string scheme = parsed.scheme();
    const auto path = parsed.path();
    if (!path || (scheme != "http" && scheme != "https"))
        return Error::FileOpen;
    t.path = *path;
    t.easy = request.handle();
    const Error result = pump(t);
    effectiveUrl = request.effectiveUrl(effectiveUrl);
    t.easy = nullptr;
    return result;
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
    // a download that comes faster than a block per short rest has no rest at all.
    const auto now = Clock::now();
    const double seconds = std::chrono::duration<double>(now - t.lastLook).count();
    const double bytesPerSecond = seconds > 0 ? double(t.bytesSinceRest) / seconds : 0;
    const bool flowing =
        t.bytesSinceRest >= CurlBlockBytes &&
        bytesPerSecond * std::chrono::duration<double>(PieceRest).count() >= CurlBlockBytes;
    t.bytesSinceRest = 0;
    t.lastLook = now;
    if (t.state != BodyState::Audio || t.paused || flowing)
        return;
    std::unique_lock lock(m_mutex);
    // The longer rests while the reader holds twice what arrives meanwhile, so that it never
    // runs dry waiting for bytes that sit in the socket.
    auto rest = PieceRest;
    if (bytesPerSecond > 0) {
        const auto holds = std::chrono::milliseconds(
            int64_t(double(m_ring.unread()) / bytesPerSecond * 1000.0 / 2));
        rest = std::clamp<std::chrono::milliseconds>(holds, PieceRest, LongPieceRest);
    }
    m_cond.wait_for(lock, rest, [this] { return m_abort || m_readerStarved || m_waitingPrebuf; });
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
        if (t.response.hasRaw())
            takeBareBody(t);
        else if (!t.response.sawStatus())
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
    Error last = Error::FileForm;
    for (const std::string &next : t.body.entries(playlistUrl)) {
        if (m_abort)
            return Error::Aborted;
        // Credentials for the playlist's server are not for anybody else's.
        last = transfer(next, 0, false, sendCredentials && CurlUrl::sameOrigin(playlistUrl, next));
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
    switch (t.response.addLine(data, size)) {
    case HttpResponseHead::Line::Taken:
        return size;
    case HttpResponseHead::Line::Complete:
        return headersComplete(t) ? size : 0;
    case HttpResponseHead::Line::Failed:
        break;
    }
    t.error = Error::FileOpen;
    return 0;
}

bool HttpByteSource::headersComplete(Transfer &t)
{
    if (!t.response.succeeded()) {
        t.error = Error::FileOpen;
        return false;
    }
    t.icy = IcyParser(t.response.metaint());
    if (t.offset > 0 && t.response.status() == 200)
        t.discardLeft = t.offset; // the server ignored the range: skip to the offset ourselves
    t.length = t.response.length();
    {
        std::lock_guard lock(m_mutex);
        m_length = t.length;
        m_contentType = trimmed(t.response.header("content-type"));
        m_headers = t.response.headers();
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
        const size_t take = t.body.sniff(rest, restSize);
        if (!t.body.sniffed())
            return size;
        return decide(t, rest + take, restSize - take) ? size : 0;
    }
    case BodyState::Playlist:
        if (!t.body.append(rest, restSize)) {
            t.error = Error::FileForm;
            return 0;
        }
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
    std::string rest;
    switch (t.response.addRaw(reinterpret_cast<const char *>(data), size, &rest)) {
    case HttpResponseHead::Raw::More:
        return size;
    case HttpResponseHead::Raw::Bare:
        return takeBareBody(t) ? size : 0;
    case HttpResponseHead::Raw::Refused:
        return 0;
    case HttpResponseHead::Raw::Failed:
        t.error = Error::FileOpen;
        return 0;
    case HttpResponseHead::Raw::Complete:
        break;
    }
    if (!headersComplete(t))
        return 0;
    if (!rest.empty() &&
        onBody(t, reinterpret_cast<const uint8_t *>(rest.data()), rest.size()) != rest.size())
        return 0;
    return size;
}

bool HttpByteSource::takeBareBody(Transfer &t)
{
    t.response.setStatus(200);
    if (!headersComplete(t))
        return false;
    const std::string raw = t.response.takeRaw();
    return onBody(t, reinterpret_cast<const uint8_t *>(raw.data()), raw.size()) == raw.size();
}

bool HttpByteSource::decide(Transfer &t, const char *more, size_t moreSize)
{
    std::string audio;
    switch (t.body.decide(t.response.header("content-type"), t.path, more, moreSize, &audio)) {
    case HttpPlaylistBody::Verdict::Refused:
        t.error = Error::FileForm;
        return false;
    case HttpPlaylistBody::Verdict::Playlist:
        t.state = BodyState::Playlist;
        return true;
    case HttpPlaylistBody::Verdict::Audio:
        break;
    }
    t.state = BodyState::Audio;
    markOpened(t.offset);
    t.opened = true;
    // The ring is empty here, so everything fits.
    return deliverAudio(t, reinterpret_cast<const uint8_t *>(audio.data()), audio.size());
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
