#include "engine.h"
#include "threadname.h"

extern "C" {
#include <libavutil/log.h>
}

#include <algorithm>
#include <chrono>
#include <cmath>

namespace engine {

namespace {

thread_local bool t_onEventThread = false;
thread_local uint64_t t_eventGeneration = 0;

constexpr int MaxPeriodFrames = 4096;

// The stereo mix in the device's channels: itself for two, the average for mono, front left and
// right with the rest silent for more (up to eight, into mapped).
const float *mapChannels(const float *mix, int frames, int channels, float *mapped)
{
    if (channels == 2)
        return mix;
    const int n = std::min(channels, 8);
    for (int i = 0; i < frames; ++i) {
        if (n == 1) {
            mapped[i] = 0.5f * (mix[2 * i] + mix[2 * i + 1]);
            continue;
        }
        for (int c = 0; c < n; ++c)
            mapped[i * n + c] = c < 2 ? mix[2 * i + c] : 0.0f;
    }
    return mapped;
}

} // namespace

Engine &Engine::instance()
{
    static Engine *engine = new Engine; // never destroyed: detached threads may outlive main
    return *engine;
}

Engine::Engine()
{
    // Broken input is reported through error codes, not on the terminal.
    av_log_set_level(AV_LOG_QUIET);
    for (auto &slot : m_slots)
        slot.store(nullptr);
    m_mixLater.reserve(MaxSlots); // the mixer never allocates
}

// ---------------------------------------------------------------- devices

std::vector<DeviceEntry> Engine::devices()
{
    std::lock_guard lock(m_deviceListMutex);
    const auto now = std::chrono::steady_clock::now();
    if (m_deviceList.empty() || now - m_deviceListTime > std::chrono::milliseconds(500)) {
        std::vector<DeviceEntry> list;
        noSoundBackend.enumerate(list);
        std::vector<DeviceEntry> outputs;
        if (pulseBackend.enumerate(outputs)) {
            list.push_back({"Default", "", true});
            for (DeviceEntry &e : outputs) {
                e.isDefault = false;
                list.push_back(std::move(e));
            }
        }
        m_deviceList = std::move(list);
        m_deviceListTime = now;
    }
    return m_deviceList;
}

bool Engine::isInitialized()
{
    return m_initialized.load();
}

int Engine::currentDevice()
{
    return m_initialized ? m_deviceNumber.load() : -1;
}

DeviceFormat Engine::currentFormat()
{
    return DeviceFormat{m_rate.load(), 2};
}

int Engine::latencyMs()
{
    return m_onPulse.load() && !m_onStandIn.load() ? 80 : 10;
}

bool Engine::lockState(std::unique_lock<std::recursive_mutex> &lock, int &error)
{
    if (!t_onEventThread) {
        lock.lock();
        return true;
    }
    while (!lock.try_lock()) {
        if (m_eventGeneration.load() != t_eventGeneration) {
            error = BASS_ERROR_BUSY; // BASS_Free is closing the engine and waits for this thread
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

bool Engine::init(int device, DWORD freq, DWORD, int &error)
{
    std::unique_lock lock(m_stateMutex, std::defer_lock);
    if (!lockState(lock, error))
        return false;
    if (m_initialized) {
        error = BASS_ERROR_ALREADY;
        return false;
    }
    if (freq == 0)
        freq = 44100;
    if (freq < 1000 || freq > 384000) {
        error = BASS_ERROR_FREQ;
        return false;
    }
    const std::vector<DeviceEntry> list = devices();
    int number = device;
    if (device == -1)
        number = list.size() > 1 ? 1 : 0;
    if (number < 0 || number >= int(list.size())) {
        error = BASS_ERROR_DEVICE;
        return false;
    }
    const DeviceFormat format{int(freq), 2};
    DeviceReporter reporter{&Engine::reportFailed, &Engine::reportFormat, this};
    auto *open = new OpenDevice;
    open->format = format;
    open->id = list[size_t(number)].id;
    open->backend = number == 0 ? &noSoundBackend : &pulseBackend;
    open->handle = open->backend->open(open->id, format, reporter);
    if (!open->handle && device == -1 && number != 0) {
        // No usable sound server: the default device falls back to "No sound".
        number = 0;
        open->backend = &noSoundBackend;
        open->id = "nosound";
        open->handle = open->backend->open(open->id, format, reporter);
    }
    if (!open->handle) {
        delete open;
        error = BASS_ERROR_DRIVER;
        return false;
    }
    m_current.store(open);
    m_deviceId = open->id;
    m_onPulse.store(open->backend == &pulseBackend);
    m_onStandIn.store(false);
    m_rate.store(format.rate);
    m_channels.store(format.channels);
    m_deviceNumber = number;
    m_deviceFailure.store(0);
    m_outputPaused.store(false);
    m_mixerStop.store(false);
    m_initialized.store(true);
    prepareStandIn();
    const uint64_t generation = m_eventGeneration.load();
    m_eventThread = std::thread([this, generation] { eventLoop(generation); });
    m_mixer = std::thread([this] { mixerLoop(); });
    error = BASS_OK;
    return true;
}

bool Engine::free(int &error)
{
    std::unique_lock lock(m_stateMutex, std::defer_lock);
    if (!lockState(lock, error))
        return false;
    if (!m_initialized) {
        error = BASS_ERROR_INIT;
        return false;
    }
    m_initialized.store(false);
    // Every channel goes with the device.
    std::vector<DWORD> handles;
    {
        std::lock_guard tl(m_tableMutex);
        for (auto &[h, ch] : m_table)
            handles.push_back(h);
    }
    for (DWORD h : handles)
        freeChannel(h);
    m_mixerStop.store(true);
    if (m_mixer.joinable())
        m_mixer.join();
    {
        std::lock_guard el(m_eventMutex);
        m_eventGeneration.fetch_add(1);
    }
    m_eventCv.notify_all();
    if (m_eventThread.joinable()) {
        if (std::this_thread::get_id() == m_eventThread.get_id())
            m_eventThread.detach(); // freed from a sync: the loop ends after this callback
        else
            m_eventThread.join();
    }
    OpenDevice *d = nullptr;
    while (m_retired.pop(d))
        closeDevice(d);
    closeDevice(m_current.exchange(nullptr));
    closeDevice(m_pendingDevice.exchange(nullptr));
    closeDevice(m_standIn.exchange(nullptr));
    MixerEvent ev;
    while (m_events.pop(ev)) {
    }
    reclaim(true);
    error = BASS_OK;
    return true;
}

void Engine::closeDevice(OpenDevice *device)
{
    if (!device)
        return;
    if (device->handle)
        device->backend->close(device->handle);
    delete device;
}

bool Engine::setOutputPaused(bool paused, int &error)
{
    if (!m_initialized) {
        error = BASS_ERROR_INIT;
        return false;
    }
    m_outputPaused.store(paused);
    error = BASS_OK;
    return true;
}

void Engine::reportFailed(void *context, int reason)
{
    auto *self = static_cast<Engine *>(context);
    self->reportDeviceFailure(reason);
    self->kickEvents();
}

void Engine::reportDeviceFailure(int reason)
{
    // The first reason stands until the mixer has handled the failure.
    int none = 0;
    m_deviceFailure.compare_exchange_strong(none, reason + 1);
}

void Engine::reportFormat(void *context, DeviceFormat format)
{
    auto *self = static_cast<Engine *>(context);
    // Reopen in the new format off the backend's thread.
    std::thread([self, format] {
        int error = 0;
        // An output that cannot be reopened in its new format is lost like an unplugged one.
        if (!self->changeDeviceFormat(format, error) && error == BASS_ERROR_DRIVER)
            self->reportDeviceFailure(BASS_DEVFAIL_FORMAT);
    }).detach();
}

bool Engine::failDevice(int &error)
{
    if (!m_initialized) {
        error = BASS_ERROR_INIT;
        return false;
    }
    reportDeviceFailure(BASS_DEVFAIL_REMOVED);
    error = BASS_OK;
    return true;
}

bool Engine::changeDeviceFormat(DeviceFormat format, int &error)
{
    std::unique_lock lock(m_stateMutex, std::defer_lock);
    if (!lockState(lock, error))
        return false;
    if (!m_initialized) {
        error = BASS_ERROR_INIT;
        return false;
    }
    if (format.rate < 1000 || format.rate > 384000 || format.channels < 1 || format.channels > 8) {
        error = BASS_ERROR_FORMAT;
        return false;
    }
    const bool standIn = m_onStandIn.load();
    const DeviceBackend *backend = m_onPulse.load() && !standIn ? &pulseBackend : &noSoundBackend;
    const std::string id = m_deviceId;
    DeviceReporter reporter{&Engine::reportFailed, &Engine::reportFormat, this};
    auto *open = new OpenDevice{backend, backend->open(id, format, reporter), format, id, standIn};
    if (!open->handle) {
        delete open;
        error = BASS_ERROR_DRIVER;
        return false;
    }
    closeDevice(m_pendingDevice.exchange(open));
    error = BASS_OK;
    return true;
}

// ---------------------------------------------------------------- channels

std::shared_ptr<Channel> Engine::channel(DWORD handle)
{
    std::lock_guard lock(m_tableMutex);
    auto it = m_table.find(handle);
    return it == m_table.end() ? nullptr : it->second;
}

std::vector<std::shared_ptr<Channel>> Engine::channels()
{
    std::lock_guard lock(m_tableMutex);
    std::vector<std::shared_ptr<Channel>> all;
    all.reserve(m_table.size());
    for (auto &[h, ch] : m_table)
        all.push_back(ch);
    return all;
}

DWORD Engine::newHandle()
{
    return m_nextHandle.fetch_add(1);
}

bool Engine::addChannel(const std::shared_ptr<Channel> &channel, int &error)
{
    std::lock_guard lock(m_tableMutex);
    if (!m_initialized) {
        error = BASS_ERROR_INIT;
        return false;
    }
    int slot = -1;
    for (int i = 0; i < MaxSlots; ++i) {
        if (!m_slots[size_t(i)].load()) {
            bool used = false;
            for (auto &[h, s] : m_slotOf)
                used = used || s == i;
            if (!used) {
                slot = i;
                break;
            }
        }
    }
    if (slot < 0) {
        error = BASS_ERROR_NOCHAN;
        return false;
    }
    m_table[channel->handle] = channel;
    m_slotOf[channel->handle] = slot;
    m_slots[size_t(slot)].store(channel.get());
    if (slot >= m_slotCount.load())
        m_slotCount.store(slot + 1);
    error = BASS_OK;
    return true;
}

bool Engine::freeChannel(DWORD handle)
{
    std::shared_ptr<Channel> ch;
    {
        std::lock_guard lock(m_tableMutex);
        auto it = m_table.find(handle);
        if (it == m_table.end())
            return false;
        ch = std::move(it->second);
        m_table.erase(it);
        auto slot = m_slotOf.find(handle);
        if (slot != m_slotOf.end()) {
            m_slots[size_t(slot->second)].store(nullptr);
            m_slotOf.erase(slot);
        }
    }
    ch->freed.store(true);
    ch->playState.store(Channel::Stopped);
    ch->stopProducer();
    {
        std::lock_guard lock(ch->mutex);
        ch->syncs.clear();
    }
    ch->clearMixtimeSyncs(); // waits for one the mixer is calling
    const uint64_t seq = m_mixerSeq.load();
    {
        std::lock_guard lock(m_eventMutex);
        m_graveyard.emplace_back(seq, std::move(ch));
        m_eventKick = true; // the event thread starts pacing the reclaim
    }
    m_eventCv.notify_all();
    return true;
}

void Engine::reclaim(bool all)
{
    std::vector<std::shared_ptr<Channel>> dead;
    {
        std::lock_guard lock(m_eventMutex);
        const uint64_t now = m_mixerSeq.load();
        auto it = std::remove_if(m_graveyard.begin(), m_graveyard.end(), [&](auto &entry) {
            // Seen outside a period, or the period it was in has ended.
            if (all || entry.first % 2 == 0 || now > entry.first) {
                dead.push_back(std::move(entry.second));
                return true;
            }
            return false;
        });
        m_graveyard.erase(it, m_graveyard.end());
    }
    dead.clear(); // outside the lock
}

// ---------------------------------------------------------------- mixer thread

void Engine::mixerLoop()
{
    nameThisThread("kl-mixer");
    // The mixer's own buffers, allocated before its loop. As thread_local arrays they were
    // 160 KiB of static TLS in every thread of the process, more than the whole stack that
    // some libraries give their threads (thread creation then fails).
    std::vector<float> mixBuffer(size_t(MaxPeriodFrames) * 2);
    std::vector<float> mappedBuffer(size_t(MaxPeriodFrames) * 8);
    float *mix = mixBuffer.data();
    OpenDevice *current = m_current.load();
    uint64_t announced = 0;
    while (!m_mixerStop.load(std::memory_order_acquire)) {
        // Wake the event thread for what the last period queued (syncs, stalls, ends, device
        // news); it sleeps otherwise.
        if (const uint64_t queued = m_events.pushed(); queued != announced) {
            announced = queued;
            kickEvents();
        }
        if (OpenDevice *next = m_pendingDevice.exchange(nullptr)) {
            // A device reopened in a new format.
            m_retired.push(current);
            current = next;
            m_current.store(current);
            m_onStandIn.store(current->standIn);
            m_rate.store(current->format.rate);
            m_channels.store(current->format.channels);
            m_events.push({MixerEvent::DeviceFormat, 0, 0});
        }
        int failure = m_deviceFailure.exchange(0);
        int frames = failure ? -1 : current->backend->wait(current->handle, MaxPeriodFrames);
        if (frames < 0 && !failure) {
            // Reported while the mixer waited; otherwise the wait found the device dead itself.
            failure = m_deviceFailure.exchange(0);
            if (!failure)
                failure = BASS_DEVFAIL_STOPPED + 1;
        }
        OpenDevice *standIn = nullptr;
        if (frames < 0 && !current->standIn && (standIn = m_standIn.exchange(nullptr))) {
            // The device is gone: a stand-in keeps the clock and discards the audio.
            standIn->format = current->format;
            m_retired.push(current);
            current = standIn;
            m_current.store(current);
            m_onStandIn.store(true);
            m_events.push({MixerEvent::DeviceFailed, 0, DWORD(failure - 1)});
            continue;
        }
        if (frames <= 0)
            continue;
        mixPeriod(mix, frames, current->format.rate);
        const float *output =
            mapChannels(mix, frames, current->format.channels, mappedBuffer.data());
        if (!current->backend->write(current->handle, output, frames))
            reportDeviceFailure(BASS_DEVFAIL_STOPPED);
    }
    m_current.store(current);
}

void Engine::mixPeriod(float *mix, int frames, int rate)
{
    std::fill(mix, mix + frames * 2, 0.0f);
    if (!m_outputPaused.load(std::memory_order_relaxed)) {
        m_mixerSeq.fetch_add(1); // odd: inside a period
        // The channels that are heard first: when one of them runs dry, a standby that its
        // mixing-time sync raises is mixed after it and heard from this very period.
        const int count = m_slotCount.load();
        m_mixLater.clear();
        for (int i = 0; i < count; ++i) {
            Channel *ch = m_slots[size_t(i)].load();
            if (!ch || ch->playState.load(std::memory_order_acquire) != Channel::Playing)
                continue;
            if (ch->isMuted())
                m_mixLater.push_back(ch);
            else
                ch->mix(mix, frames, rate, m_events);
        }
        for (Channel *ch : m_mixLater)
            ch->mix(mix, frames, rate, m_events);
        m_mixerSeq.fetch_add(1);
    }
    for (int i = 0; i < frames * 2; ++i)
        mix[i] = std::clamp(mix[i], -1.0f, 1.0f);
}

// ---------------------------------------------------------------- event thread

void Engine::kickEvents()
{
    {
        std::lock_guard lock(m_eventMutex);
        m_eventKick = true;
    }
    m_eventCv.notify_all();
}

void Engine::eventLoop(uint64_t generation)
{
    nameThisThread("kl-events");
    t_onEventThread = true;
    t_eventGeneration = generation;
    auto current = [&] { return m_eventGeneration.load() == generation; };
    while (true) {
        {
            std::unique_lock lock(m_eventMutex);
            // The mixer kicks after every period in which it queued something. Freed channels
            // wait for the end of the period that may still be mixing them: while there are
            // any, a time-out paces their reclaiming; otherwise the thread sleeps.
            const auto woken = [&] { return !current() || m_eventKick; };
            if (m_graveyard.empty())
                m_eventCv.wait(lock, woken);
            else
                m_eventCv.wait_for(lock, std::chrono::milliseconds(100), woken);
            if (!current())
                return;
            m_eventKick = false;
        }
        // A sync may close the engine (and open it again): then this loop ends at once.
        MixerEvent ev;
        while (current() && m_events.pop(ev))
            dispatch(ev);
        OpenDevice *d = nullptr;
        while (current() && m_retired.pop(d)) {
            closeDevice(d);
            prepareStandIn();
        }
        reclaim(false);
    }
}

void Engine::prepareStandIn()
{
    // Keep a stand-in ready for the next failure, so that the mixer never opens anything.
    if (m_standIn.load())
        return;
    const DeviceFormat f = currentFormat();
    DeviceReporter reporter{&Engine::reportFailed, &Engine::reportFormat, this};
    auto *d =
        new OpenDevice{&noSoundBackend, noSoundBackend.open("", f, reporter), f, "nosound", true};
    OpenDevice *expected = nullptr;
    if (!m_standIn.compare_exchange_strong(expected, d))
        closeDevice(d);
}

void Engine::fireSyncs(Channel &channel, DWORD type, DWORD data)
{
    std::vector<SyncEntry> due;
    {
        std::lock_guard lock(channel.mutex);
        if (channel.freed.load())
            return;
        for (auto it = channel.syncs.begin(); it != channel.syncs.end();) {
            if (it->type == type) {
                due.push_back(*it);
                if (it->onetime) {
                    it = channel.syncs.erase(it);
                    continue;
                }
            }
            ++it;
        }
    }
    for (const SyncEntry &s : due)
        s.proc(s.id, channel.handle, data, s.user);
}

void Engine::firePosSyncs(Channel &channel)
{
    std::vector<SyncEntry> due;
    {
        std::lock_guard lock(channel.mutex);
        const int64_t pos = channel.position();
        for (auto it = channel.syncs.begin(); it != channel.syncs.end();) {
            if (it->type == BASS_SYNC_POS && it->armed && it->posFrame <= pos) {
                it->armed = false;
                due.push_back(*it);
                if (it->onetime) {
                    it = channel.syncs.erase(it);
                    continue;
                }
            }
            ++it;
        }
        channel.recomputePosSync();
    }
    std::sort(due.begin(), due.end(),
              [](const SyncEntry &a, const SyncEntry &b) { return a.posFrame < b.posFrame; });
    for (const SyncEntry &s : due) {
        if (channel.freed.load())
            return;
        s.proc(s.id, channel.handle, 0, s.user);
    }
}

void Engine::fireMetaSyncs(Channel &channel)
{
    int changes = 0;
    {
        std::lock_guard lock(channel.mutex);
        const int64_t pos = channel.position();
        while (!channel.metaMarks.empty() && channel.metaMarks.front().first <= pos) {
            channel.metaTags.push_back(std::move(channel.metaMarks.front().second));
            channel.metaMarks.pop_front();
            ++changes;
        }
        while (channel.metaTags.size() > 16)
            channel.metaTags.pop_front();
        channel.nextMetaFrame.store(channel.metaMarks.empty() ? Channel::NoThreshold
                                                              : channel.metaMarks.front().first);
    }
    if (changes > 0)
        fireSyncs(channel, BASS_SYNC_META, 0);
}

void Engine::dispatch(const MixerEvent &event)
{
    if (event.type == MixerEvent::DeviceFailed || event.type == MixerEvent::DeviceFormat) {
        const DWORD type =
            event.type == MixerEvent::DeviceFailed ? BASS_SYNC_DEV_FAIL : BASS_SYNC_DEV_FORMAT;
        for (auto &ch : channels())
            fireSyncs(*ch, type, event.data);
        return;
    }
    std::shared_ptr<Channel> ch = channel(event.handle);
    if (!ch)
        return;
    switch (event.type) {
    case MixerEvent::End:
        fireSyncs(*ch, BASS_SYNC_END, 0);
        if (ch->flags & BASS_STREAM_AUTOFREE)
            freeChannel(ch->handle);
        break;
    case MixerEvent::Stall:
        fireSyncs(*ch, BASS_SYNC_STALL, event.data);
        break;
    case MixerEvent::PosDue:
        firePosSyncs(*ch);
        break;
    case MixerEvent::MetaDue:
        fireMetaSyncs(*ch);
        break;
    default:
        break;
    }
}

} // namespace engine
