#include "streamfactory.h"
#include "threadname.h"

#include "channel.h"
#include "decoder.h"
#include "engine.h"
#include "filesource.h"
#include "memorysource.h"
#include "userfilesource.h"

#include <cstring>
#include <functional>

namespace engine {

namespace {

Engine &E()
{
    return Engine::instance();
}

// Builds a decoding stream; `beforeStart` runs after the stream is registered and before its
// decoder thread starts. Sets the error code.
std::shared_ptr<Channel> createDecoding(std::unique_ptr<ByteSource> source,
                                        const Decoder::Params &params, DWORD flags,
                                        double bufferSeconds,
                                        const std::function<void()> &beforeStart = {},
                                        std::string httpHeaders = {})
{
    if (!E().isInitialized())
        return fail(BASS_ERROR_INIT, nullptr);
    int error = BASS_OK;
    auto decoder = Decoder::open(std::move(source), params, &error);
    if (!decoder)
        return fail(error, nullptr);
    auto ch = std::make_shared<Channel>(E().newHandle(), Channel::Kind::Decoding, decoder->rate(),
                                        decoder->channels(), flags, decoder->ctype());
    ch->fileName = params.fileName;
    ch->httpHeaders = std::move(httpHeaders);
    ch->lengthFrames = decoder->lengthFrames();
    ch->seekable = decoder->seekable();
    const double seconds = bufferSeconds > 0 ? bufferSeconds : 1.0;
    ch->ring.allocate(size_t(double(decoder->rate()) * std::max(seconds, 0.5)),
                      decoder->channels());
    ch->decoder = std::move(decoder);
    ch->prefill(ch->rate / 4);
    if (!E().addChannel(ch, error))
        return fail(error, nullptr);
    if (beforeStart)
        beforeStart();
    ch->startDecoderThread(ch);
    setError(BASS_OK);
    return ch;
}

// A stream whose audio a caller's STREAMPROC delivers, read on a thread of its own.
void procLoop(std::shared_ptr<Channel> ch, STREAMPROC *proc, void *user)
{
    nameThisThread("kl-streamproc");
    std::vector<uint8_t> buffer(size_t(ch->rate / 20) * size_t(ch->frameBytes()));
    size_t carry = 0;
    std::unique_lock lock(ch->prodMutex);
    while (!ch->abortProducer && !ch->sourceEnded.load()) {
        const size_t room = ch->ring.writable() * size_t(ch->frameBytes());
        if (room < buffer.size()) {
            ch->prodCv.wait_for(lock, std::chrono::milliseconds(20));
            continue;
        }
        lock.unlock();
        const DWORD r = proc(ch->handle, buffer.data() + carry, DWORD(buffer.size() - carry), user);
        const size_t got = std::min<size_t>(r & ~BASS_STREAMPROC_END, buffer.size() - carry);
        const size_t bytes = carry + got;
        const size_t whole = bytes / size_t(ch->frameBytes());
        ch->measureLoudness(reinterpret_cast<const int16_t *>(buffer.data()), whole);
        ch->ring.write(reinterpret_cast<const int16_t *>(buffer.data()), whole);
        carry = bytes - whole * size_t(ch->frameBytes());
        std::memmove(buffer.data(), buffer.data() + whole * size_t(ch->frameBytes()), carry);
        if (r & BASS_STREAMPROC_END)
            ch->sourceEnded.store(true, std::memory_order_release);
        lock.lock();
    }
}

class Metadata : public StreamMetadata
{
public:
    explicit Metadata(std::weak_ptr<Channel> channel)
        : m_channel(std::move(channel))
    {}

    void post(int64_t offset, const std::string &text) override
    {
        auto ch = m_channel.lock();
        if (!ch || ch->freed.load())
            return;
        {
            std::lock_guard lock(ch->prodMutex);
            ch->insertEncodedMark(offset, text);
        }
        ch->prodCv.notify_all();
    }

    void setCurrent(const std::string &text) override
    {
        auto ch = m_channel.lock();
        if (!ch || ch->freed.load())
            return;
        std::lock_guard lock(ch->mutex);
        ch->metaTags.push_back(text);
        while (ch->metaTags.size() > 16)
            ch->metaTags.pop_front();
    }

private:
    std::weak_ptr<Channel> m_channel;
};

HSTREAM handleOf(const std::shared_ptr<Channel> &ch)
{
    return ch ? ch->handle : 0;
}

} // namespace

DWORD configValue(DWORD option)
{
    DWORD value = 0;
    Engine::instance().config().get(option, value);
    return value;
}

std::string configText(DWORD option)
{
    return Engine::instance().config().text(option);
}

CreatedStream createSourceStream(std::unique_ptr<ByteSource> source,
                                 const SourceStreamParams &params)
{
    Decoder::Params p;
    p.contentType = params.contentType;
    p.fileName = params.fileName;
    p.probeBytes = params.probeBytes > 0 ? params.probeBytes : configValue(BASS_CONFIG_VERIFY_NET);
    auto ch = createDecoding(std::move(source), p, params.flags, params.bufferSeconds, {},
                             params.httpHeaders);
    if (!ch)
        return {};
    return {ch->handle, std::make_shared<Metadata>(ch)};
}

HSTREAM createProcStream(DWORD freq, DWORD chans, DWORD flags, STREAMPROC *proc, void *user)
{
    const bool push = proc == STREAMPROC_PUSH;
    auto ch = std::make_shared<Channel>(
        E().newHandle(), push ? Channel::Kind::Push : Channel::Kind::Decoding, int(freq),
        int(chans), flags, push ? BASS_CTYPE_STREAM_PUSH : BASS_CTYPE_STREAM);
    // A push queue holds up to 4 MiB (the most BASS_ATTRIB_PUSH_LIMIT can ask for); a
    // procedure stream keeps half a second ahead.
    const size_t frames = push ? (size_t(4) << 20) / size_t(ch->frameBytes()) : freq / 2;
    ch->ring.allocate(frames, int(chans));
    int error = BASS_OK;
    if (!E().addChannel(ch, error))
        return fail<HSTREAM>(error, 0);
    if (!push)
        std::thread(procLoop, ch, proc, user).detach();
    setError(BASS_OK);
    return ch->handle;
}

HSTREAM createMemoryStream(const void *data, QWORD length, DWORD flags)
{
    Decoder::Params params;
    params.probeBytes = configValue(BASS_CONFIG_VERIFY);
    auto source =
        std::make_unique<MemorySource>(static_cast<const uint8_t *>(data), int64_t(length));
    return handleOf(createDecoding(std::move(source), params, flags, 1.0));
}

HSTREAM createFileStream(const std::string &path, QWORD offset, QWORD length, DWORD flags)
{
    Decoder::Params params;
    params.fileName = path;
    params.probeBytes = configValue(BASS_CONFIG_VERIFY);
    auto source = FileSource::open(path, offset, length);
    if (!source)
        return fail<HSTREAM>(BASS_ERROR_FILEOPEN, 0);
    return handleOf(createDecoding(std::move(source), params, flags, 1.0));
}

HSTREAM createUserFileStream(DWORD system, DWORD flags, const BASS_FILEPROCS &procs, void *user)
{
    auto source = std::make_unique<UserFileSource>(system, flags, procs, user);
    UserFileSource *raw = source.get();
    Decoder::Params params;
    params.probeBytes =
        configValue((flags & BASS_STREAM_BLOCK) ? BASS_CONFIG_VERIFY_NET : BASS_CONFIG_VERIFY);
    return handleOf(
        createDecoding(std::move(source), params, flags, 1.0, [raw] { raw->startReading(); }));
}

} // namespace engine
