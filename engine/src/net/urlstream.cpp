// BASS_StreamCreateURL: internet streams over HttpByteSource, decoded by the engine's stream
// factory.

#include "bass.h"
#include "httpbytesource.h"
#include "streamfactory.h"

#include <algorithm>
#include <atomic>
#include <charconv>
#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace engine {

namespace {

// Bit rate assumed for sizing the buffer while the stream's own is unknown.
constexpr int64_t DefaultBitsPerSecond = 128000;
constexpr size_t MaxBufferBytes = 32 * 1024 * 1024;

// Metadata that arrives while the stream is still being created waits here for the stream.
class MetaRelay
{
public:
    void post(const std::string &text, int64_t offset)
    {
        std::shared_ptr<StreamMetadata> target;
        int64_t base = 0;
        {
            std::lock_guard lock(m_mutex);
            target = m_target;
            base = m_base;
            if (!target) {
                if (m_pending.size() < 16)
                    m_pending.emplace_back(offset, text);
                return;
            }
        }
        // Never call into the stream while holding the relay's lock: freeing the stream
        // takes the stream's locks first and then cancel() takes this one.
        target->post(offset - base, text);
    }

    // `base`: the download's offset of the stream's first byte.
    void attach(std::shared_ptr<StreamMetadata> target, int64_t base)
    {
        std::vector<std::pair<int64_t, std::string>> pending;
        {
            std::lock_guard lock(m_mutex);
            m_base = base;
            m_target = target;
            pending.swap(m_pending);
        }
        for (const auto &[offset, text] : pending)
            target->post(offset - base, text);
        std::lock_guard lock(m_mutex);
        m_attached = true;
        m_cond.notify_all();
    }

    // Blocks until attach() or cancel().
    void waitAttached()
    {
        std::unique_lock lock(m_mutex);
        m_cond.wait(lock, [this] { return m_attached; });
    }

    void cancel()
    {
        std::lock_guard lock(m_mutex);
        m_attached = true;
        m_cond.notify_all();
    }

private:
    std::mutex m_mutex;
    std::condition_variable m_cond;
    bool m_attached = false;
    int64_t m_base = 0; // written before m_target, under the lock
    std::shared_ptr<StreamMetadata> m_target;
    std::vector<std::pair<int64_t, std::string>> m_pending;
};

// Lets the download procedure run only while the stream exists: once the stream is freed
// (which aborts its source) the procedure is not called again, even though the download
// thread winds down a little later. Closing never waits for a call in progress: the engine
// aborts the source under its own locks, which the procedure may be waiting for (it may ask
// for the file position); such a call just finishes.
struct DownloadGate
{
    std::atomic<bool> open{true};

    void call(DOWNLOADPROC *proc, const void *data, DWORD size, void *user)
    {
        if (open.load())
            proc(data, size, user);
    }

    void close() { open = false; }
};

// The stream's view of the download. Shared, so that this file can keep using the download
// after the stream has taken it over (another thread may free the stream at any time).
//
// A stream opened at an offset sees the rest of the resource as its whole file: its positions,
// length and so its duration count from the offset.
//
// Metadata must reach the stream before the decoder passes its offset, or it would be shown
// late. What arrives while the stream is being created waits in the relay until the stream
// exists, so the decoder thread does not read on before that; the reads that create the
// stream run on the creating thread and are not held back.
class SharedSource final : public ByteSource
{
public:
    // `base`: the download's offset of the stream's first byte.
    SharedSource(std::shared_ptr<HttpByteSource> source, std::shared_ptr<MetaRelay> relay,
                 std::shared_ptr<DownloadGate> gate, int64_t base)
        : m_source(std::move(source))
        , m_relay(std::move(relay))
        , m_gate(std::move(gate))
        , m_creator(std::this_thread::get_id())
        , m_base(base)
    {}
    int64_t read(uint8_t *buffer, int64_t size) override
    {
        if (!m_attached.load() && std::this_thread::get_id() != m_creator) {
            m_relay->waitAttached();
            m_attached = true;
        }
        return m_source->read(buffer, size);
    }
    bool seek(int64_t offset) override { return offset >= 0 && m_source->seek(m_base + offset); }
    int64_t length() const override
    {
        const int64_t length = m_source->length();
        return length < 0 ? length : std::max<int64_t>(length - m_base, 0);
    }
    int64_t position() const override { return m_source->position() - m_base; }
    int64_t available() const override
    {
        return std::max<int64_t>(m_source->available() - m_base, 0);
    }
    // A download kept whole holds everything from the start: all of it is buffered.
    int64_t bufferPosition() const override
    {
        return m_source->keepsWhole() ? available() : ByteSource::bufferPosition();
    }
    std::string contentType() const override { return m_source->contentType(); }
    void abort() override
    {
        m_gate->close();
        m_source->abort();
        m_relay->cancel();
    }

private:
    std::shared_ptr<HttpByteSource> m_source;
    std::shared_ptr<MetaRelay> m_relay;
    std::shared_ptr<DownloadGate> m_gate;
    const std::thread::id m_creator;
    const int64_t m_base;
    std::atomic<bool> m_attached{false};
};

int errorCode(HttpByteSource::Error e)
{
    switch (e) {
    case HttpByteSource::Error::None:
        return BASS_OK;
    case HttpByteSource::Error::NoNet:
        return BASS_ERROR_NONET;
    case HttpByteSource::Error::Timeout:
        return BASS_ERROR_TIMEOUT;
    case HttpByteSource::Error::FileOpen:
        return BASS_ERROR_FILEOPEN;
    case HttpByteSource::Error::FileForm:
        return BASS_ERROR_FILEFORM;
    case HttpByteSource::Error::Ssl:
        return BASS_ERROR_SSL;
    case HttpByteSource::Error::Aborted:
        break;
    }
    return BASS_ERROR_UNKNOWN;
}

std::string mimeType(const std::string &contentType)
{
    std::string t = contentType.substr(0, contentType.find(';'));
    const size_t b = t.find_first_not_of(" \t");
    const size_t e = t.find_last_not_of(" \t");
    return b == std::string::npos ? std::string() : t.substr(b, e - b + 1);
}

// The last path segment of the address (without query), for a format guess by extension.
std::string fileNameOf(const std::string &address)
{
    std::string url = address.substr(0, address.find("\r\n"));
    url = url.substr(0, url.find_first_of("?#"));
    const size_t scheme = url.find("://");
    const size_t pathStart = url.find('/', scheme == std::string::npos ? 0 : scheme + 3);
    if (pathStart == std::string::npos)
        return {};
    return url.substr(url.rfind('/') + 1);
}

// Buffer sizes in bytes for `ms` of audio at the announced bit rate (icy-br, kbit/s).
size_t bytesFor(int64_t ms, const std::string &icyBr)
{
    int64_t kbps = 0;
    std::from_chars(icyBr.data(), icyBr.data() + icyBr.size(), kbps);
    const int64_t bps = kbps >= 8 && kbps <= 1536 ? kbps * 1000 : DefaultBitsPerSecond;
    return static_cast<size_t>(std::clamp<int64_t>(ms * bps / 8000, 0, MaxBufferBytes));
}

// The response headers in BASS_TAG_HTTP form.
std::string headerTags(const std::map<std::string, std::string> &headers)
{
    std::string tags;
    for (const auto &[name, value] : headers) {
        tags += name;
        tags += ": ";
        tags += value;
        tags += '\0';
    }
    if (!tags.empty())
        tags += '\0';
    return tags;
}

} // namespace

} // namespace engine

using namespace engine;

extern "C" BASSDEF(HSTREAM)
    BASS_StreamCreateURL(const char *url, DWORD offset, DWORD flags, DOWNLOADPROC *proc, void *user)
{
    if (!url || !*url) {
        setError(BASS_ERROR_ILLPARAM);
        return 0;
    }
    const std::string address(url);

    HttpByteSource::Options options;
    options.agent = configText(BASS_CONFIG_NET_AGENT);
    options.proxy = configText(BASS_CONFIG_NET_PROXY);
    options.connectTimeoutMs = static_cast<int>(configValue(BASS_CONFIG_NET_TIMEOUT));
    options.readTimeoutMs = static_cast<int>(configValue(BASS_CONFIG_NET_READTIMEOUT));
    options.playlists = configValue(BASS_CONFIG_NET_PLAYLIST) >= 2;
    // The prebuffer applies once the format is known; probing reads what it needs.
    options.prebufBytes = 0;
    const DWORD bufferMs = configValue(BASS_CONFIG_NET_BUFFER);
    const DWORD prebufPercent = std::min<DWORD>(configValue(BASS_CONFIG_NET_PREBUF), 100);
    options.bufferBytes = bytesFor(bufferMs, {});
    if (!(flags & BASS_STREAM_BLOCK))
        options.keepWholeBytes = BASS_NET_KEEP_WHOLE_MAX;

    auto relay = std::make_shared<MetaRelay>();
    HttpByteSource::DataCallback onData;
    auto gate = std::make_shared<DownloadGate>();
    if (proc)
        onData = [proc, user, gate](const uint8_t *data, size_t size) {
            gate->call(proc, data, static_cast<DWORD>(size), user);
        };
    auto source = std::make_shared<HttpByteSource>(
        address, offset, options, std::move(onData),
        [relay](const std::string &text, int64_t at) { relay->post(text, at); });

    const HttpByteSource::Error opened = source->open();
    if (opened != HttpByteSource::Error::None) {
        setError(errorCode(opened));
        return 0;
    }
    const size_t bufferBytes = bytesFor(bufferMs, source->header("icy-br"));
    source->setLimits(bufferBytes, bufferBytes * prebufPercent / 100);

    SourceStreamParams params;
    params.contentType = mimeType(source->contentType());
    params.fileName = fileNameOf(address);
    params.probeBytes = configValue(BASS_CONFIG_VERIFY_NET);
    params.flags = flags;
    params.httpHeaders = headerTags(source->headers());
    const int64_t base = source->openOffset();
    CreatedStream created =
        createSourceStream(std::make_unique<SharedSource>(source, relay, gate, base), params);
    if (!created.handle)
        return 0; // the factory set the error and destroyed the source
    relay->attach(created.metadata, base);
    source->startPrebuffering();
    if (configValue(BASS_CONFIG_NET_PREBUF_WAIT))
        source->waitPrebuffer();
    setError(BASS_OK);
    return created.handle;
}
