#pragma once

#include "audioring.h"
#include "bass.h"

#include <samplerate.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <limits>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace engine {

class Decoder;
class LoudnessMeter;

// What the mixer reports to the event thread. Plain data: the mixer pushes it without
// allocating.
struct MixerEvent
{
    enum Type : uint8_t { End, Stall, PosDue, MetaDue, DeviceFailed, DeviceFormat };
    Type type;
    DWORD handle;
    DWORD data;
};

using MixerEventQueue = SpscQueue<MixerEvent, 4096>;

struct SyncEntry
{
    HSYNC id;
    DWORD type;
    bool onetime;
    int64_t posFrame; // BASS_SYNC_POS: position in frames
    bool armed;       // BASS_SYNC_POS: not yet passed since the last seek
    SYNCPROC *proc;
    void *user;
};

// One playing stream. Shared by the handle table, its producer thread (a decoder) and the mixer.
//
// Threads and what they touch:
// - mixer: ring (consumer), mix state (members under "mixer only"), the atomics;
// - producer (decoder thread or PutData callers under pushMutex): ring (producer), the
//   flush record, sourceEnded;
// - control (API callers, event thread): everything under `mutex`.
class Channel
{
public:
    enum class Kind { Decoding, Push };
    enum PlayState : int { Stopped = 0, Playing = 1, Paused = 2 };

    Channel(DWORD handle, Kind kind, int rate, int channels, DWORD flags, DWORD ctype);
    ~Channel();
    Channel(const Channel &) = delete;
    Channel &operator=(const Channel &) = delete;

    // ---- identity, fixed after creation
    const DWORD handle;
    const Kind kind;
    const int rate;
    const int channels;
    const DWORD flags;
    DWORD ctype;
    std::string fileName;
    // An internet stream's response headers in BASS_TAG_HTTP form; empty for other streams.
    std::string httpHeaders;
    int64_t lengthFrames = -1;
    bool seekable = false;

    int frameBytes() const { return channels * 2; }

    // ---- audio
    AudioRing ring;
    std::atomic<int> playState{Stopped};
    std::atomic<bool> stalled{false};
    std::atomic<bool> ended{false};
    std::atomic<bool> sourceEnded{false}; // the producer will write nothing more
    std::atomic<bool> freed{false};
    std::atomic<int64_t> playedFrames{0}; // position of the next frame to play
    std::atomic<uint32_t> bitrate{0};     // the decoder's measure (bit/s), 0 until known

    // Seeks: the producer publishes "drop what was written before writeIndex, the position is
    // now pos"; the mixer applies it (try_lock only).
    std::mutex flushMutex;
    uint64_t flushSeqPending = 0; // under flushMutex
    uint64_t flushWriteIndex = 0; // under flushMutex
    int64_t flushPos = 0;         // under flushMutex
    std::atomic<uint64_t> flushSeq{0};
    std::atomic<uint64_t> flushApplied{0};
    void publishFlush(uint64_t writeIndex, int64_t pos);
    // Position as the API reports it (takes flushMutex briefly; never call on the mixer).
    int64_t position();

    // ---- attributes (written by control, applied by the mixer)
    std::atomic<float> volTarget{1.0f};
    std::atomic<uint32_t> volSlideMs{0};
    std::atomic<float> freqTarget{0.0f}; // 0 = own rate
    std::atomic<uint32_t> freqSlideMs{0};
    std::atomic<uint32_t> attrSeq{0};
    std::atomic<float> volNow{1.0f};
    std::atomic<float> freqNow{0.0f};
    std::atomic<bool> volSliding{false};
    std::atomic<bool> freqSliding{false};
    std::atomic<int64_t> pushLimit{0}; // bytes, 0 = the queue's capacity

    // ---- sync thresholds the mixer checks (frames; max = none)
    static constexpr int64_t NoThreshold = std::numeric_limits<int64_t>::max();
    std::atomic<int64_t> nextPosSync{NoThreshold};
    std::atomic<int64_t> nextMetaFrame{NoThreshold};

    // ---- loudness of the decoded audio (see LoudnessMeter), before volume: switched on by
    // control, measured by the producer as it queues audio, read by anyone. LUFS; minus
    // infinity while off, before the first 100 ms and for digital silence.
    std::atomic<bool> loudnessOn{false};
    std::atomic<float> loudnessMomentary{-std::numeric_limits<float>::infinity()};
    std::atomic<float> loudnessShortTerm{-std::numeric_limits<float>::infinity()};
    // Producer: measures frames that it queues (once each).
    void measureLoudness(const int16_t *frames, size_t count);

    // ---- level history: the most recently played frames, before volume
    void levels(float *out, double seconds, DWORD levelFlags) const;

    // ---- control state, under `mutex`
    std::mutex mutex;
    std::vector<SyncEntry> syncs;
    std::deque<std::string> metaTags;                      // back() is the current BASS_TAG_META
    std::deque<std::pair<int64_t, std::string>> metaMarks; // decoded frame → text, in order
    void recomputePosSync();                               // under mutex
    void addMetaMark(int64_t frame, std::string text);     // takes mutex

    // ---- producer (decoding streams)
    std::unique_ptr<Decoder> decoder;
    std::mutex prodMutex;
    std::condition_variable prodCv;
    bool abortProducer = false;                               // under prodMutex
    uint64_t seekRequest = 0;                                 // under prodMutex
    uint64_t seekDone = 0;                                    // under prodMutex
    int64_t seekTarget = 0;                                   // under prodMutex
    bool seekResult = false;                                  // under prodMutex
    std::deque<std::pair<int64_t, std::string>> encodedMarks; // under prodMutex
    void insertEncodedMark(int64_t offset, std::string text); // in offset order; under prodMutex
    void startDecoderThread(std::shared_ptr<Channel> self);
    // Control: has the producer seek to `frame` and waits for it (at most 10 s). False when
    // the seek failed, timed out or the channel was freed meanwhile.
    bool seek(int64_t frame);
    // Control: position syncs at or after `frame` fire again; takes `mutex`.
    void rearmPosSyncs(int64_t frame);
    void stopProducer();
    // Decodes synchronously until `frames` are queued or the data ends (before the thread
    // starts).
    void prefill(int64_t frames);

    // ---- syncs the mixer calls itself (stall and end with BASS_SYNC_MIXTIME). The mixer holds
    // mixtimeMutex while it calls them, so once one is removed it is neither running nor called
    // again. Never take `mutex` while holding mixtimeMutex: a sync may set attributes.
    std::mutex mixtimeMutex;
    std::vector<SyncEntry> mixtimeSyncs; // under mixtimeMutex
    void addMixtimeSync(const SyncEntry &sync);
    bool removeMixtimeSync(HSYNC id);
    void clearMixtimeSyncs();

    // ---- push streams
    std::mutex pushMutex;
    bool pushEnded = false; // under pushMutex

    // ---- mixer only
    // Mixes `frames` frames at `deviceRate` into the stereo float buffer `out` (adds).
    void mix(float *out, int frames, int deviceRate, MixerEventQueue &events);
    // Volume 0 and no slide under way, nor a new volume waiting to be taken (mixer only).
    bool isMuted() const
    {
        return m_vol == 0.0f && m_volRamp == 0 &&
               attrSeq.load(std::memory_order_acquire) == m_seenAttrSeq;
    }
    void resetMixState();

private:
    void decoderLoop(std::shared_ptr<Channel> self);
    // Producer: decodes one block (or finishes writing the pending one) into the ring.
    // Returns false at the end of the data.
    bool produce();
    size_t pull(float *dst, size_t frames); // mixer: ring → float, records the level history
    // The steps of mix(), in order (mixer only).
    bool applyFlush(); // false while the producer is publishing a seek
    void applyAttributes(int deviceRate);
    void advanceFreqSlide(int frames);
    bool resumeFromStall(int frames, double ratio, MixerEventQueue &events); // false: still
    size_t render(size_t frames, double ratio); // ring → m_out, resampled; frames made
    void addScaled(float *out, size_t frames);  // m_out × volume → stereo `out`
    void reportPassedMarks(MixerEventQueue &events);
    void reportShortfall(size_t missing, double ratio, MixerEventQueue &events);
    void callMixtimeSyncs(DWORD type, DWORD data);
    void recordHistory(const float *frames, size_t count);

    // producer only
    std::unique_ptr<LoudnessMeter> m_loudnessMeter;
    int64_t m_decodedPos = 0; // decoded position of the next frame written
    int m_pendingFrames = 0;  // frames of the current decoder block
    int m_pendingWritten = 0; // ... of which are in the ring

    // level history
    std::unique_ptr<std::atomic<float>[]> m_history;
    size_t m_historyFrames = 0;
    std::atomic<uint64_t> m_historyWrite{0};

    // mixer only
    SRC_STATE *m_src = nullptr;
    bool m_srcEngaged = false;
    std::vector<int16_t> m_pcm;
    std::vector<float> m_in;
    size_t m_inFrames = 0;
    std::vector<float> m_out;
    uint32_t m_seenAttrSeq = 0;
    float m_vol = 1.0f;
    float m_volStep = 0.0f;
    int64_t m_volRamp = 0;
    float m_volEnd = 1.0f;
    double m_freq = 0;
    double m_freqStep = 0;
    int64_t m_freqRamp = 0;
    double m_freqEnd = 0;
    uint64_t m_seenFlush = 0;
};

} // namespace engine
