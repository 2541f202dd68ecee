#pragma once

#include "bass.h"
#include "channel.h"
#include "device.h"
#include "engineconfig.h"
#include "streamfactory.h"

#include <array>
#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

namespace engine {

// Process-wide engine state: the open device, the mixer thread, the event thread that calls
// syncs, the handle table and the configuration.
//
// Real-time rules of the mixer thread: it never allocates, never does I/O other than handing a
// period to the device, never calls a decoder, and never waits for a lock (try_lock only). It
// reads channels through an array of atomic pointers; control reaches it through atomics and
// audio through single-producer single-consumer rings. A channel whose ring runs short is
// filled with silence and reported stalled; the mixer never waits for it. Freed channels are
// kept alive until the mixer has left the period in which it could still see them.
class Engine
{
public:
    static Engine &instance();

    EngineConfig &config() { return m_config; }

    // ---- devices
    // Output list: 0 = "No sound", then the sound server's outputs (1 = its default).
    std::vector<DeviceEntry> devices();
    bool init(int device, DWORD freq, DWORD flags, int &error);
    bool free(int &error);
    bool isInitialized();
    int currentDevice();
    DeviceFormat currentFormat();
    int latencyMs();
    bool setOutputPaused(bool paused, int &error);
    bool outputPaused() const { return m_outputPaused.load(); }

    // Test controls and backend reports.
    bool failDevice(int &error);
    // Reports a failure of the open device with its BASS_DEVFAIL_* reason (any thread).
    void reportDeviceFailure(int reason);
    bool changeDeviceFormat(DeviceFormat format, int &error);

    // ---- channels
    std::shared_ptr<Channel> channel(DWORD handle);
    std::vector<std::shared_ptr<Channel>> channels();
    DWORD newHandle();
    // Registers a channel with the table and the mixer; false (INIT) when not initialised.
    bool addChannel(const std::shared_ptr<Channel> &channel, int &error);
    // Removes it from the table and the mixer and stops its producer. False when unknown.
    bool freeChannel(DWORD handle);
    HSYNC newSyncId() { return m_nextSync.fetch_add(1); }

    // Fires the syncs of `type` on `channel` (event thread; also used for device events).
    void fireSyncs(Channel &channel, DWORD type, DWORD data);

private:
    Engine();
    struct OpenDevice
    {
        const DeviceBackend *backend = nullptr;
        void *handle = nullptr;
        DeviceFormat format;
        std::string id;
        bool standIn = false;
    };

    void mixerLoop();
    // Mixes the playing channels into a cleared stereo period (unless output is paused) and
    // clips it.
    void mixPeriod(float *mix, int frames, int rate);
    void eventLoop(uint64_t generation);
    // Takes m_stateMutex; on the event thread it gives up (BUSY) when BASS_Free is waiting for
    // that thread to end.
    bool lockState(std::unique_lock<std::recursive_mutex> &lock, int &error);
    void dispatch(const MixerEvent &event);
    void firePosSyncs(Channel &channel);
    void fireMetaSyncs(Channel &channel);
    void reclaim(bool all);
    void closeDevice(OpenDevice *device);
    void kickEvents();
    void prepareStandIn();
    static void reportFailed(void *context, int reason);
    static void reportFormat(void *context, DeviceFormat format);

    EngineConfig m_config;

    // device and threads; m_stateMutex serialises init/free and device changes
    std::recursive_mutex m_stateMutex;
    std::atomic<bool> m_initialized{false};
    std::atomic<int> m_deviceNumber{-1};
    std::atomic<OpenDevice *> m_pendingDevice{nullptr}; // control → mixer
    std::atomic<OpenDevice *> m_current{nullptr};       // owned by the mixer while running
    std::atomic<OpenDevice *> m_standIn{nullptr};       // ready for a failure
    std::atomic<bool> m_onStandIn{false};
    std::atomic<bool> m_onPulse{false};
    std::string m_deviceId;                // m_stateMutex
    SpscQueue<OpenDevice *, 16> m_retired; // mixer → event thread
    // A reported device failure not yet handled by the mixer: its BASS_DEVFAIL_* reason plus
    // one (0: none).
    std::atomic<int> m_deviceFailure{0};
    std::atomic<bool> m_outputPaused{false};
    std::atomic<int> m_rate{44100};
    std::atomic<int> m_channels{2};
    std::thread m_mixer;
    std::atomic<bool> m_mixerStop{false};
    std::atomic<uint64_t> m_mixerSeq{0}; // odd while the mixer is inside a period
    MixerEventQueue m_events;

    std::thread m_eventThread;
    std::mutex m_eventMutex;
    std::condition_variable m_eventCv;
    std::atomic<uint64_t> m_eventGeneration{0}; // a running event loop ends when it changes
    bool m_eventKick = false;
    std::vector<std::pair<uint64_t, std::shared_ptr<Channel>>> m_graveyard; // m_eventMutex

    // channels
    static constexpr int MaxSlots = 4096;
    std::mutex m_tableMutex;
    std::unordered_map<DWORD, std::shared_ptr<Channel>> m_table;
    std::unordered_map<DWORD, int> m_slotOf;
    std::array<std::atomic<Channel *>, MaxSlots> m_slots{};
    std::atomic<int> m_slotCount{0};
    std::vector<Channel *> m_mixLater; // mixer only: channels mixed after the heard ones
    std::atomic<DWORD> m_nextHandle{0x10001};
    std::atomic<HSYNC> m_nextSync{1};

    // device list cache
    std::mutex m_deviceListMutex;
    std::vector<DeviceEntry> m_deviceList;
    std::chrono::steady_clock::time_point m_deviceListTime;
};

} // namespace engine
