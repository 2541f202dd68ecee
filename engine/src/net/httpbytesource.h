#pragma once

#include "bytesource.h"
#include "httprequestaddress.h"
#include "httpresponsehead.h"
#include "icyparser.h"
#include "netringbuffer.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace engine {

// An internet stream read over HTTP or HTTPS on a download thread of its own (libcurl multi
// interface). The address may be followed by extra request header lines, each introduced by
// CR LF. ICY metadata is asked for and stripped out of the audio; "ICY 200 OK" answers are
// accepted. Downloaded audio goes into a ring of bounded size; the download pauses while the
// ring is full. A resource of known length up to Options::keepWholeBytes is kept whole
// instead: the download runs to its end and the reader may seek anywhere in what has arrived.
// Every input from the server is bounded in size.
class HttpByteSource final : public ByteSource
{
public:
    enum class Error { None, NoNet, Timeout, FileOpen, FileForm, Ssl, Aborted };

    struct Options
    {
        std::string agent;           // User-Agent unless the header lines give one
        int connectTimeoutMs = 5000; // until the response headers have come
        int readTimeoutMs = 0;       // no data for this long ends the stream; 0: no limit
        size_t bufferBytes = 256 * 1024;
        size_t prebufBytes = 0; // buffered before the first read and after running dry
        // A resource whose length is known and, from the opened offset, at most this many
        // bytes keeps everything downloaded; 0: always the ring.
        size_t keepWholeBytes = 0;
        bool playlists = false; // an address serving a PLS/M3U plays its first playable entry
        std::string caFile;     // trusted certificates (PEM file); empty: the system's store
        std::string proxy; // "[user:pass@]host:port"; empty: none (not even from the environment)
    };

    // Called on the download thread with every block of audio as it arrives (after the ICY
    // metadata is taken out), and with (nullptr, 0) when the download ends.
    using DataCallback = std::function<void(const uint8_t *data, size_t size)>;
    // Called on the download thread with each metadata text and the stream offset of the
    // audio byte that follows it.
    using MetaCallback = std::function<void(const std::string &text, int64_t offset)>;

    static constexpr size_t MinBufferBytes = 64 * 1024;
    static constexpr size_t MaxHeaderBytes = HttpResponseHead::MaxBytes;
    static constexpr size_t MaxHeaderLines = HttpResponseHead::MaxLines;
    static constexpr size_t MaxRequestHeaderBytes = 16 * 1024;

    HttpByteSource(std::string address, int64_t offset, Options options, DataCallback onData = {},
                   MetaCallback onMeta = {});
    ~HttpByteSource() override;

    HttpByteSource(const HttpByteSource &) = delete;
    HttpByteSource &operator=(const HttpByteSource &) = delete;

    // Starts the download and waits until audio is about to flow (the response headers of the
    // stream or of the playlist entry that is played) or the attempt failed.
    Error open();
    // Waits until the prebuffer is filled, the download ended or abort() was called.
    // Returns false after abort() or when the download failed before anything arrived.
    bool waitPrebuffer();

    int64_t read(uint8_t *buffer, int64_t size) override;
    bool seek(int64_t offset) override;
    int64_t length() const override;
    int64_t position() const override;
    int64_t available() const override;
    std::string contentType() const override;
    void abort() override;

    // Unread bytes in the ring.
    int64_t buffered() const;
    // Whether the download is kept whole (decided when it opens).
    bool keepsWhole() const;
    // The byte of the resource where the audio that was opened starts (the requested offset,
    // or 0 for an entry of a playlist). Known once open() has succeeded.
    int64_t openOffset() const;
    // Offset of the first byte asked for.
    int64_t startOffset() const { return m_offset; }
    // True once the download has ended (completed, failed, timed out or aborted).
    bool finished() const;
    // Why the download ended; None while it runs or when the server closed normally.
    Error error() const;
    // A response header of the played stream by lower-case name (ICY headers included).
    std::string header(const std::string &name) const;
    // All response headers of the played stream, by lower-case name.
    std::map<std::string, std::string> headers() const;
    // The latest metadata text, empty before any.
    std::string meta() const;
    // Changes the ring size and the prebuffer (for example once the bitrate is known).
    void setLimits(size_t bufferBytes, size_t prebufBytes);
    // Makes reads wait until the prebuffer has been downloaded (counting what was read
    // already), and again after every underrun. Reads before the first call are held back
    // only by a prebuffer given in the options.
    void startPrebuffering();
    // How often a read found the ring empty while the download was still running.
    int underruns() const;

private:
    enum class BodyState { Headers, Deciding, Audio, Playlist };

    struct Transfer;

    void run();
    // One request and, when it serves a playlist, the requests for its entries.
    Error transfer(const std::string &url, int64_t offset, bool allowPlaylist,
                   bool sendCredentials);
    // The request itself: sets up the handle, runs it to its end and reports the address it
    // ended at (after redirects).
    Error download(Transfer &t, bool sendCredentials, std::string &effectiveUrl);
    // Runs the request until it completes, fails, times out or is aborted.
    Error pump(Transfer &t);
    // Resumes a download paused for want of room once the reader has made some.
    void restBetweenPieces(Transfer &t);
    void resumeWhenRoom(Transfer &t);
    bool timedOut(const Transfer &t) const;
    // After the download: decides on a body that ended before enough of it came to decide.
    Error decideShortBody(Transfer &t);
    // Plays the first entry of the playlist that opens.
    Error followPlaylist(const Transfer &t, const std::string &playlistUrl, bool sendCredentials);

    size_t onHeader(Transfer &t, const char *data, size_t size);
    size_t onBody(Transfer &t, const uint8_t *data, size_t size);
    // Body bytes while no status line came through curl: the server answered in the HTTP/0.9
    // way, which is how "ICY 200 OK" arrives. Reads its status and header block from the body.
    size_t onRawHead(Transfer &t, const uint8_t *data, size_t size);
    // A body without any header block: plays as a 200 answer.
    bool takeBareBody(Transfer &t);
    // Tells audio from a playlist by the first body bytes (t.body), then goes on with `more`,
    // the rest of the block (may be null). False when the body is refused.
    bool decide(Transfer &t, const char *more, size_t moreSize);
    bool headersComplete(Transfer &t);
    bool deliverAudio(Transfer &t, const uint8_t *data, size_t size);
    void markOpened(int64_t offset);
    // What counts towards the prebuffer: before the first underrun after
    // startPrebuffering() everything downloaded (the decoder took some of it already),
    // afterwards the unread bytes. Under m_mutex.
    size_t prebuffered() const;
    // Wakes a download that waits for room in the ring once there is some. Under m_mutex.
    void wakeForSpace();
    void finish(Error error);

    HttpByteSource(HttpRequestAddress address, int64_t offset, Options options, DataCallback onData,
                   MetaCallback onMeta);

    static size_t headerThunk(char *data, size_t size, size_t n, void *user);
    static size_t writeThunk(char *data, size_t size, size_t n, void *user);

    const std::string m_url;
    const int64_t m_offset;
    const Options m_options;
    const DataCallback m_onData;
    const MetaCallback m_onMeta;
    std::vector<std::string> m_requestHeaders;

    void *m_multi = nullptr; // CURLM*; set once in the constructor
    std::thread m_thread;
    std::atomic<bool> m_abort{false};

    mutable std::mutex m_mutex;
    std::condition_variable m_cond;
    NetRingBuffer m_ring;
    size_t m_prebuf = 0;
    bool m_prebufArmed = m_prebuf > 0; // reads wait for the prebuffer at all
    bool m_waitingPrebuf = m_prebufArmed;
    bool m_prebufFromStart = false;
    int64_t m_openOffset = 0;
    bool m_opened = false;
    bool m_finished = false;
    bool m_readerWantsSpace = false;
    bool m_readerStarved = false; // a read waits for data: take what arrives at once
    Error m_error = Error::None;
    int64_t m_length = -1;
    std::string m_contentType;
    std::map<std::string, std::string> m_headers;
    std::string m_meta;
    int m_underruns = 0;
    std::vector<uint8_t> m_scratch;
};

} // namespace engine
