#include "channel.h"

#include "loudnessmeter.h"
#include "threadname.h"

#include "decoder.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace engine {

namespace {
constexpr size_t ScratchFrames = 8192;
constexpr size_t HistoryExtraFrames = 8192;
} // namespace

Channel::Channel(DWORD handle, Kind kind, int rate, int channels, DWORD flags, DWORD ctype)
    : handle(handle)
    , kind(kind)
    , rate(rate)
    , channels(channels)
    , flags(flags)
    , ctype(ctype)
{
    m_historyFrames = size_t(rate) + HistoryExtraFrames;
    m_history.reset(new std::atomic<float>[m_historyFrames * size_t(channels)]);
    for (size_t i = 0; i < m_historyFrames * size_t(channels); ++i)
        m_history[i].store(0.0f, std::memory_order_relaxed);
    m_pcm.resize(ScratchFrames * size_t(channels));
    m_in.resize(ScratchFrames * size_t(channels));
    m_out.resize(ScratchFrames * size_t(channels));
    int error = 0;
    m_src = src_new(SRC_SINC_FASTEST, channels, &error);
}

Channel::~Channel()
{
    if (m_src)
        src_delete(m_src);
}

void Channel::publishFlush(uint64_t writeIndex, int64_t pos)
{
    std::lock_guard lock(flushMutex);
    ++flushSeqPending;
    flushWriteIndex = writeIndex;
    flushPos = pos;
    flushSeq.store(flushSeqPending, std::memory_order_release);
}

int64_t Channel::position()
{
    std::lock_guard lock(flushMutex);
    if (flushSeqPending != flushApplied.load(std::memory_order_acquire))
        return flushPos;
    return playedFrames.load(std::memory_order_acquire);
}

void Channel::recomputePosSync()
{
    int64_t next = NoThreshold;
    for (const SyncEntry &s : syncs) {
        if (s.type == BASS_SYNC_POS && s.armed)
            next = std::min(next, s.posFrame);
    }
    nextPosSync.store(next, std::memory_order_release);
}

void Channel::addMetaMark(int64_t frame, std::string text)
{
    std::lock_guard lock(mutex);
    auto it = metaMarks.end();
    while (it != metaMarks.begin() && std::prev(it)->first > frame)
        --it;
    metaMarks.insert(it, {frame, std::move(text)});
    nextMetaFrame.store(metaMarks.front().first, std::memory_order_release);
}

// ---------------------------------------------------------------- producer

void Channel::insertEncodedMark(int64_t offset, std::string text)
{
    auto it = encodedMarks.end();
    while (it != encodedMarks.begin() && std::prev(it)->first > offset)
        --it;
    encodedMarks.insert(it, {offset, std::move(text)});
}

bool Channel::produce()
{
    if (m_pendingWritten < m_pendingFrames) {
        const int16_t *data = decoder->frames() + size_t(m_pendingWritten) * size_t(channels);
        m_pendingWritten += int(ring.write(data, size_t(m_pendingFrames - m_pendingWritten)));
        return true;
    }
    int64_t offset = -1;
    const int n = decoder->decode(&offset);
    if (bitrate.load(std::memory_order_relaxed) == 0 && decoder->bitrate() > 0)
        bitrate.store(uint32_t(std::min<int64_t>(decoder->bitrate(), UINT32_MAX)),
                      std::memory_order_relaxed);
    auto found = decoder->takeMarks();
    // Metadata whose encoded offset this block has reached starts at this block.
    std::vector<std::string> due;
    {
        std::lock_guard lock(prodMutex);
        for (auto &[at, text] : found)
            insertEncodedMark(at, std::move(text));
        while (!encodedMarks.empty() && offset >= 0 && encodedMarks.front().first <= offset) {
            due.push_back(std::move(encodedMarks.front().second));
            encodedMarks.pop_front();
        }
        if (n <= 0) {
            // The data ended: what is still pending belongs to the end.
            for (auto &m : encodedMarks)
                due.push_back(std::move(m.second));
            encodedMarks.clear();
        }
    }
    for (auto &text : due)
        addMetaMark(m_decodedPos, std::move(text));
    if (n <= 0)
        return false;
    m_pendingFrames = n;
    measureLoudness(decoder->frames(), size_t(n));
    m_pendingWritten = int(ring.write(decoder->frames(), size_t(n)));
    m_decodedPos += n;
    return true;
}

void Channel::measureLoudness(const int16_t *frames, size_t count)
{
    constexpr float minusInfinity = -std::numeric_limits<float>::infinity();
    if (!loudnessOn.load(std::memory_order_relaxed)) {
        if (m_loudnessMeter) {
            m_loudnessMeter.reset();
            loudnessMomentary.store(minusInfinity, std::memory_order_relaxed);
            loudnessShortTerm.store(minusInfinity, std::memory_order_relaxed);
        }
        return;
    }
    if (!m_loudnessMeter)
        m_loudnessMeter = std::make_unique<LoudnessMeter>(rate, channels);
    m_loudnessMeter->add(frames, count);
    loudnessMomentary.store(float(m_loudnessMeter->momentary()), std::memory_order_relaxed);
    loudnessShortTerm.store(float(m_loudnessMeter->shortTerm()), std::memory_order_relaxed);
}

void Channel::prefill(int64_t frames)
{
    while (int64_t(ring.readable()) < frames && ring.writable() > 0) {
        if (!produce()) {
            sourceEnded.store(true, std::memory_order_release);
            return;
        }
    }
}

void Channel::startDecoderThread(std::shared_ptr<Channel> self)
{
    std::thread([this, self = std::move(self)]() mutable {
        nameThisThread("kl-decoder");
        decoderLoop(std::move(self));
    }).detach();
}

bool Channel::seek(int64_t frame)
{
    std::unique_lock lock(prodMutex);
    if (abortProducer)
        return false;
    const uint64_t request = ++seekRequest;
    seekTarget = frame;
    prodCv.notify_all();
    const bool done = prodCv.wait_for(lock, std::chrono::seconds(10),
                                      [&] { return seekDone >= request || abortProducer; });
    return done && seekDone >= request && seekResult;
}

void Channel::rearmPosSyncs(int64_t frame)
{
    std::lock_guard lock(mutex);
    for (SyncEntry &s : syncs) {
        if (s.type == BASS_SYNC_POS)
            s.armed = s.posFrame >= frame;
    }
    recomputePosSync();
}

void Channel::stopProducer()
{
    {
        std::lock_guard lock(prodMutex);
        abortProducer = true;
        if (decoder)
            decoder->source()->abort();
    }
    prodCv.notify_all();
}

void Channel::decoderLoop(std::shared_ptr<Channel> self)
{
    std::unique_lock lock(prodMutex);
    bool refilling = true;
    bool timedOut = false;
    while (!abortProducer) {
        if (seekRequest != seekDone) {
            const uint64_t request = seekRequest;
            const int64_t target = seekTarget;
            lock.unlock();
            const bool ok = decoder->seek(target);
            if (ok) {
                m_pendingFrames = m_pendingWritten = 0;
                m_decodedPos = target;
                publishFlush(ring.writeIndex(), target);
                sourceEnded.store(false, std::memory_order_release);
            }
            lock.lock();
            refilling = true;
            seekResult = ok;
            seekDone = request;
            prodCv.notify_all();
            continue;
        }
        if (sourceEnded.load(std::memory_order_relaxed)) {
            prodCv.wait(lock);
            continue;
        }
        const bool blockPending = m_pendingWritten < m_pendingFrames;
        const size_t need = blockPending ? size_t(m_pendingFrames - m_pendingWritten) : 4096;
        // Refill once a quarter of the ring (at least the pending block) is free: the ring then
        // stays between three quarters and full, and the thread wakes a few times a second
        // rather than for every block the mixer takes.
        const size_t refill = std::min(std::max(need, ring.capacity() / 4), ring.capacity() / 2);
        const size_t writable = ring.writable();
        // Once refilling, go on until the ring is full: stopping at the threshold would wake the
        // thread again for every block. A sleep timed for the threshold ends a little before the
        // mixer's period that crosses it: what has been taken by then is enough, rather than
        // sleeping again for the rest.
        if (writable == 0)
            refilling = false;
        else if (writable >= refill || (timedOut && writable >= refill / 2))
            refilling = true;
        timedOut = false;
        if (!refilling) {
            // The mixer takes `rate` frames a second, more at a raised frequency.
            const double pace =
                std::max<double>({double(rate), freqNow.load(), freqTarget.load(), 1.0});
            const auto ms = int64_t(double(refill - writable) * 1000.0 / pace);
            timedOut = prodCv.wait_for(lock, std::chrono::milliseconds(std::clamp<int64_t>(
                                                 ms, 5, 1000))) == std::cv_status::timeout;
            continue;
        }
        lock.unlock();
        const bool more = produce();
        if (!more)
            sourceEnded.store(true, std::memory_order_release);
        lock.lock();
    }
    // The decoder (and its source) goes with this thread; the channel may outlive it.
    std::unique_ptr<Decoder> gone = std::move(decoder);
    lock.unlock();
    gone.reset();
    self.reset();
}

// ---------------------------------------------------------------- mixer

void Channel::resetMixState()
{
    m_inFrames = 0;
    if (m_src)
        src_reset(m_src);
}

void Channel::recordHistory(const float *frames, size_t count)
{
    const uint64_t w = m_historyWrite.load(std::memory_order_relaxed);
    const size_t ch = size_t(channels);
    // In runs of contiguous storage: the ring wraps at most once per run.
    size_t at = size_t(w % m_historyFrames);
    for (size_t done = 0; done < count;) {
        const size_t n = std::min(count - done, m_historyFrames - at);
        std::atomic<float> *dst = &m_history[at * ch];
        const size_t samples = n * ch;
        if (frames) {
            const float *src = frames + done * ch;
            for (size_t i = 0; i < samples; ++i)
                dst[i].store(src[i], std::memory_order_relaxed);
        } else {
            for (size_t i = 0; i < samples; ++i)
                dst[i].store(0.0f, std::memory_order_relaxed);
        }
        done += n;
        at = 0;
    }
    m_historyWrite.store(w + count, std::memory_order_release);
}

size_t Channel::pull(float *dst, size_t frames)
{
    frames = std::min(frames, ScratchFrames);
    const size_t got = ring.read(m_pcm.data(), frames);
    const size_t samples = got * size_t(channels);
    for (size_t i = 0; i < samples; ++i)
        dst[i] = float(m_pcm[i]) * (1.0f / 32768.0f);
    recordHistory(dst, got);
    playedFrames.store(playedFrames.load(std::memory_order_relaxed) + int64_t(got),
                       std::memory_order_release);
    return got;
}

void Channel::levels(float *out, double seconds, DWORD levelFlags) const
{
    const uint64_t w = m_historyWrite.load(std::memory_order_acquire);
    uint64_t n = uint64_t(std::llround(seconds * rate));
    n = std::min<uint64_t>({n, w, m_historyFrames - HistoryExtraFrames});
    const size_t ch = size_t(channels);
    std::vector<double> acc(ch, 0.0);
    for (uint64_t i = w - n; i < w; ++i) {
        const size_t at = size_t(i % m_historyFrames) * ch;
        for (size_t c = 0; c < ch; ++c) {
            const double v = m_history[at + c].load(std::memory_order_relaxed);
            if (levelFlags & BASS_LEVEL_RMS)
                acc[c] += v * v;
            else
                acc[c] = std::max(acc[c], std::fabs(v));
        }
    }
    auto finish = [&](double sum, uint64_t count) {
        if (!(levelFlags & BASS_LEVEL_RMS))
            return float(sum);
        return count ? float(std::sqrt(sum / double(count))) : 0.0f;
    };
    auto combine = [&](size_t from, size_t to) {
        double v = 0;
        for (size_t c = from; c < to; ++c)
            v = (levelFlags & BASS_LEVEL_RMS) ? v + acc[c] : std::max(v, acc[c]);
        return finish(v, n * (to - from));
    };
    if (levelFlags & BASS_LEVEL_MONO) {
        out[0] = combine(0, ch);
    } else if (levelFlags & BASS_LEVEL_STEREO) {
        out[0] = combine(0, 1);
        out[1] = ch > 1 ? combine(1, ch) : out[0];
    } else {
        for (size_t c = 0; c < ch; ++c)
            out[c] = combine(c, c + 1);
    }
}

void Channel::mix(float *out, int frames, int deviceRate, MixerEventQueue &events)
{
    if (!applyFlush())
        return; // the producer is publishing; next period
    if (ended.load(std::memory_order_relaxed))
        return;
    applyAttributes(deviceRate);
    advanceFreqSlide(frames);
    const double ratio = std::clamp(double(deviceRate) / m_freq, 1.0 / 256.0, 256.0);
    if (!resumeFromStall(frames, ratio, events))
        return;
    const size_t produced = render(size_t(frames), ratio);
    addScaled(out, produced);
    reportPassedMarks(events);
    if (produced < size_t(frames) && ring.readable() == 0)
        reportShortfall(size_t(frames) - produced, ratio, events);
}

bool Channel::applyFlush()
{
    // A seek published by the producer: drop the old audio, take the new position.
    if (flushSeq.load(std::memory_order_acquire) == m_seenFlush)
        return true;
    if (!flushMutex.try_lock())
        return false;
    ring.skipTo(flushWriteIndex);
    playedFrames.store(flushPos, std::memory_order_release);
    m_seenFlush = flushSeqPending;
    flushApplied.store(m_seenFlush, std::memory_order_release);
    flushMutex.unlock();
    resetMixState();
    return true;
}

void Channel::applyAttributes(int deviceRate)
{
    const uint32_t seq = attrSeq.load(std::memory_order_acquire);
    if (seq == m_seenAttrSeq)
        return;
    m_seenAttrSeq = seq;
    const float vol = volTarget.load(std::memory_order_relaxed);
    const int64_t volFrames = int64_t(volSlideMs.load()) * deviceRate / 1000;
    if (volFrames <= 0) {
        m_vol = vol;
        m_volRamp = 0;
    } else {
        m_volEnd = vol;
        m_volRamp = volFrames;
        m_volStep = (vol - m_vol) / float(volFrames);
    }
    double freq = freqTarget.load(std::memory_order_relaxed);
    if (freq <= 0)
        freq = rate;
    const int64_t freqFrames = int64_t(freqSlideMs.load()) * deviceRate / 1000;
    if (m_freq <= 0)
        m_freq = rate;
    if (freqFrames <= 0) {
        m_freq = freq;
        m_freqRamp = 0;
    } else {
        m_freqEnd = freq;
        m_freqRamp = freqFrames;
        m_freqStep = (freq - m_freq) / double(freqFrames);
    }
}

void Channel::advanceFreqSlide(int frames)
{
    if (m_freq <= 0)
        m_freq = rate;
    if (m_freqRamp > 0) {
        const int64_t step = std::min<int64_t>(m_freqRamp, frames);
        m_freq += m_freqStep * double(step);
        m_freqRamp -= step;
        if (m_freqRamp <= 0)
            m_freq = m_freqEnd;
    }
    freqNow.store(float(m_freq), std::memory_order_relaxed);
    freqSliding.store(m_freqRamp > 0, std::memory_order_relaxed);
}

bool Channel::resumeFromStall(int frames, double ratio, MixerEventQueue &events)
{
    if (!stalled.load(std::memory_order_relaxed))
        return true;
    // Stalled: wait for enough data (or the end) before resuming.
    const size_t resume = std::min(ring.capacity() / 2, size_t(rate / 5));
    if (ring.readable() >= resume || sourceEnded.load(std::memory_order_acquire)) {
        stalled.store(false, std::memory_order_release);
        callMixtimeSyncs(BASS_SYNC_STALL, 1);
        events.push({MixerEvent::Stall, handle, 1});
        return true;
    }
    recordHistory(nullptr, size_t(double(frames) / ratio));
    return false;
}

size_t Channel::render(size_t frames, double ratio)
{
    if (!m_srcEngaged && ratio == 1.0)
        return pull(m_out.data(), frames);
    m_srcEngaged = true;
    const size_t ch = size_t(channels);
    const size_t outMax = std::min(frames, ScratchFrames);
    size_t produced = 0;
    // The converter holds back a few frames of look-ahead: feed it until the period is full or
    // the ring is empty.
    for (int round = 0; round < 4 && produced < outMax; ++round) {
        const size_t need =
            std::min(ScratchFrames, size_t(std::ceil(double(outMax - produced) / ratio)) + 16);
        if (m_inFrames < need)
            m_inFrames += pull(m_in.data() + m_inFrames * ch, need - m_inFrames);
        SRC_DATA d{};
        d.data_in = m_in.data();
        d.data_out = m_out.data() + produced * ch;
        d.input_frames = long(m_inFrames);
        d.output_frames = long(outMax - produced);
        d.src_ratio = ratio;
        d.end_of_input = 0;
        if (src_process(m_src, &d) != 0)
            break;
        const size_t used = size_t(d.input_frames_used);
        std::memmove(m_in.data(), m_in.data() + used * ch,
                     (m_inFrames - used) * ch * sizeof(float));
        m_inFrames -= used;
        produced += size_t(d.output_frames_gen);
        if (d.output_frames_gen == 0 && ring.readable() == 0)
            break;
    }
    return produced;
}

void Channel::addScaled(float *out, size_t frames)
{
    // Volume (after the level history), channel map to stereo, add.
    const size_t ch = size_t(channels);
    const float *src = m_out.data();
    for (size_t i = 0; i < frames; ++i) {
        if (m_volRamp > 0) {
            m_vol += m_volStep;
            if (--m_volRamp == 0)
                m_vol = m_volEnd;
        }
        float l, r;
        if (ch == 1) {
            l = r = src[i];
        } else if (ch == 2) {
            l = src[i * 2];
            r = src[i * 2 + 1];
        } else {
            l = r = 0;
            for (size_t c = 0; c < ch; ++c)
                (c % 2 ? r : l) += src[i * ch + c];
            l /= float((ch + 1) / 2);
            r /= float(ch / 2);
        }
        out[i * 2] += l * m_vol;
        out[i * 2 + 1] += r * m_vol;
    }
    volNow.store(m_vol, std::memory_order_relaxed);
    volSliding.store(m_volRamp > 0, std::memory_order_relaxed);
}

void Channel::reportPassedMarks(MixerEventQueue &events)
{
    // Syncs that the position passed.
    const int64_t pos = playedFrames.load(std::memory_order_relaxed);
    int64_t next = nextPosSync.load(std::memory_order_acquire);
    if (pos >= next && nextPosSync.compare_exchange_strong(next, NoThreshold))
        events.push({MixerEvent::PosDue, handle, 0});
    next = nextMetaFrame.load(std::memory_order_acquire);
    if (pos >= next && nextMetaFrame.compare_exchange_strong(next, NoThreshold))
        events.push({MixerEvent::MetaDue, handle, 0});
}

void Channel::reportShortfall(size_t missing, double ratio, MixerEventQueue &events)
{
    if (sourceEnded.load(std::memory_order_acquire) && ring.readable() == 0) {
        ended.store(true, std::memory_order_release);
        playState.store(Stopped, std::memory_order_release);
        callMixtimeSyncs(BASS_SYNC_END, 0);
        events.push({MixerEvent::End, handle, 0});
        return;
    }
    // Out of data before the end: the rest of the period stays silent.
    recordHistory(nullptr, size_t(double(missing) / ratio));
    stalled.store(true, std::memory_order_release);
    callMixtimeSyncs(BASS_SYNC_STALL, 0);
    events.push({MixerEvent::Stall, handle, 0});
}

void Channel::callMixtimeSyncs(DWORD type, DWORD data)
{
    // Rare (a stall, a resumption, the end), so the lock is affordable; it is contended only by
    // a sync being set or removed.
    std::lock_guard lock(mixtimeMutex);
    for (auto it = mixtimeSyncs.begin(); it != mixtimeSyncs.end();) {
        if (it->type != type) {
            ++it;
            continue;
        }
        it->proc(it->id, handle, data, it->user);
        it = it->onetime ? mixtimeSyncs.erase(it) : it + 1;
    }
}

void Channel::addMixtimeSync(const SyncEntry &sync)
{
    std::lock_guard lock(mixtimeMutex);
    mixtimeSyncs.push_back(sync);
}

bool Channel::removeMixtimeSync(HSYNC id)
{
    std::lock_guard lock(mixtimeMutex);
    auto it = std::find_if(mixtimeSyncs.begin(), mixtimeSyncs.end(),
                           [&](const SyncEntry &s) { return s.id == id; });
    if (it == mixtimeSyncs.end())
        return false;
    mixtimeSyncs.erase(it);
    return true;
}

void Channel::clearMixtimeSyncs()
{
    std::lock_guard lock(mixtimeMutex);
    mixtimeSyncs.clear();
}

} // namespace engine
