#pragma once

#include "bass.h"
#include "pulseconnection.h"

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace engine {

// One running capture from a sound-server source. The server's thread only copies the audio
// into a bounded queue; a delivery thread of the channel hands each block to the RECORDPROC
// and runs the channel's syncs, holding no lock while it calls them.
class RecordChannel : public std::enable_shared_from_this<RecordChannel>
{
public:
    // Longest stretch of audio queued for a slow RECORDPROC; older audio is dropped.
    static constexpr int MaxQueuedMs = 2000;
    // Length of the blocks handed to the RECORDPROC.
    static constexpr int PeriodMs = 50;

    RecordChannel(HRECORD handle, std::shared_ptr<PulseConnection> connection, std::string sourceId,
                  int rate, int channels, DWORD flags, RECORDPROC *proc, void *user);
    ~RecordChannel();
    RecordChannel(const RecordChannel &) = delete;
    RecordChannel &operator=(const RecordChannel &) = delete;

    // Connects the capture stream and starts delivering. False (with the error code in
    // `error`) when the source cannot be recorded.
    bool start(int &error);
    // Stops capturing and delivering. Safe from any thread, also from the RECORDPROC or a
    // sync of this channel (then the delivery thread ends after the callback returns).
    void stop();
    // Pauses or resumes the capture.
    bool setPaused(bool paused);

    HSYNC addSync(DWORD type, QWORD param, SYNCPROC *proc, void *user);
    bool removeSync(HSYNC sync);

    // BASS_ACTIVE_PLAYING while capturing, _PAUSED when paused, _STOPPED otherwise.
    DWORD activity() const;

    const HRECORD handle;
    int rate() const { return m_rate; }
    int channels() const { return m_channels; }
    DWORD flags() const { return m_flags; }

private:
    struct Sync
    {
        HSYNC id;
        DWORD type;
        bool onetime;
        SYNCPROC *proc;
        void *user;
    };

    static void readCallback(pa_stream *s, size_t bytes, void *user);
    static void stateCallback(pa_stream *s, void *user);
    void deliveryLoop();
    void disconnect();
    void fireSyncs(DWORD type, DWORD data);

    const std::shared_ptr<PulseConnection> m_connection;
    const std::string m_sourceId;
    const int m_rate;
    const int m_channels;
    const DWORD m_flags;
    RECORDPROC *const m_proc;
    void *const m_user;
    size_t m_frameBytes = 2;
    size_t m_periodBytes = 0;
    size_t m_maxQueued = 0;

    pa_stream *m_stream = nullptr; // under the loop lock

    mutable std::mutex m_mutex;
    std::condition_variable m_cond;
    std::vector<uint8_t> m_queue; // captured, not yet delivered
    bool m_stop = false;
    bool m_failed = false;
    bool m_paused = false;
    bool m_running = false;
    std::vector<Sync> m_syncs;
    std::thread m_thread;
};

} // namespace engine
