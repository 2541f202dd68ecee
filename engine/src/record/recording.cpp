// The recording functions of the C interface: devices from the sound server's sources,
// recording channels (RecordChannel).

#include "recording.h"

#include "apierror.h"
#include "pulseconnection.h"
#include "pulsesourcelist.h"
#include "recordchannel.h"

#include <algorithm>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace engine::recording {

namespace {

struct Device
{
    int number = 0;
    std::string sourceId;
    std::shared_ptr<PulseConnection> connection;
    std::vector<DWORD> channels;
};

struct State
{
    std::mutex mutex;
    std::map<int, std::shared_ptr<Device>> devices;           // initialised devices
    std::map<DWORD, std::shared_ptr<RecordChannel>> channels; // running or stopped
    std::map<DWORD, int> channelDevice;
    DWORD nextHandle = 1;
};

State &state()
{
    static State s;
    return s;
}

// The calling thread's recording device; -1 when none was chosen.
thread_local int currentDevice = -1;

std::shared_ptr<RecordChannel> findChannel(DWORD handle)
{
    State &s = state();
    std::lock_guard lock(s.mutex);
    const auto it = s.channels.find(handle);
    return it == s.channels.end() ? nullptr : it->second;
}

template <typename R, typename F> R withChannel(DWORD handle, R failure, F f)
{
    const std::shared_ptr<RecordChannel> c = findChannel(handle);
    if (!c)
        return fail(BASS_ERROR_HANDLE, failure);
    return f(*c);
}

} // namespace

BOOL channelFree(DWORD handle)
{
    State &s = state();
    std::shared_ptr<RecordChannel> c;
    {
        std::lock_guard lock(s.mutex);
        const auto it = s.channels.find(handle);
        if (it == s.channels.end())
            return fail(BASS_ERROR_HANDLE, FALSE);
        c = it->second;
        s.channels.erase(it);
        const auto dev = s.devices.find(s.channelDevice[handle]);
        if (dev != s.devices.end())
            std::erase(dev->second->channels, handle);
        s.channelDevice.erase(handle);
    }
    c->stop();
    return succeed();
}

BOOL channelStop(DWORD handle)
{
    return withChannel(handle, FALSE, [](RecordChannel &c) {
        c.stop();
        return succeed();
    });
}

BOOL channelPlay(DWORD handle)
{
    return withChannel(handle, FALSE, [](RecordChannel &c) {
        if (c.activity() == BASS_ACTIVE_PLAYING)
            return succeed();
        const bool ok = c.setPaused(false);
        return ok ? succeed() : fail(BASS_ERROR_ENDED, FALSE);
    });
}

BOOL channelPause(DWORD handle)
{
    return withChannel(handle, FALSE, [](RecordChannel &c) {
        const DWORD a = c.activity();
        if (a == BASS_ACTIVE_PAUSED)
            return fail(BASS_ERROR_ALREADY, FALSE);
        const bool ok = a == BASS_ACTIVE_PLAYING && c.setPaused(true);
        return ok ? succeed() : fail(BASS_ERROR_NOPLAY, FALSE);
    });
}

DWORD channelIsActive(DWORD handle)
{
    return withChannel(handle, DWORD(BASS_ACTIVE_STOPPED), [](RecordChannel &c) {
        setError(BASS_OK);
        return c.activity();
    });
}

BOOL channelGetInfo(DWORD handle, BASS_CHANNELINFO *info)
{
    if (!info)
        return fail(BASS_ERROR_ILLPARAM, FALSE);
    return withChannel(handle, FALSE, [info](RecordChannel &c) {
        *info = BASS_CHANNELINFO{};
        info->freq = DWORD(c.rate());
        info->chans = DWORD(c.channels());
        info->flags = c.flags();
        info->ctype = BASS_CTYPE_RECORD;
        info->origres = (c.flags() & BASS_SAMPLE_FLOAT)   ? 32
                        : (c.flags() & BASS_SAMPLE_8BITS) ? 8
                                                          : 16;
        return succeed();
    });
}

HSYNC channelSetSync(DWORD handle, DWORD type, QWORD param, SYNCPROC *proc, void *user)
{
    return withChannel(handle, HSYNC(0), [&](RecordChannel &c) {
        const HSYNC id = c.addSync(type, param, proc, user);
        setError(id ? BASS_OK : BASS_ERROR_ILLTYPE);
        return id;
    });
}

BOOL channelRemoveSync(DWORD handle, HSYNC sync)
{
    return withChannel(handle, FALSE, [sync](RecordChannel &c) {
        const bool ok = c.removeSync(sync);
        return ok ? succeed() : fail(BASS_ERROR_HANDLE, FALSE);
    });
}

void shutdown()
{
    State &s = state();
    std::vector<std::shared_ptr<RecordChannel>> channels;
    {
        std::lock_guard lock(s.mutex);
        for (auto &[h, c] : s.channels)
            channels.push_back(c);
        s.channels.clear();
        s.channelDevice.clear();
        s.devices.clear();
    }
    for (auto &c : channels)
        c->stop();
}

} // namespace engine::recording

using namespace engine;
using namespace engine::recording;

extern "C" {

BASSDEF(BOOL) BASS_RecordGetDeviceInfo(DWORD device, BASS_DEVICEINFO *info)
{
    if (!info)
        return fail(BASS_ERROR_ILLPARAM, FALSE);
    PulseSourceList::Entry e;
    const char *name = nullptr;
    const char *id = nullptr;
    if (device > 0x7FFFFFFF || !PulseSourceList::instance().entry(int(device), e, &name, &id))
        return fail(BASS_ERROR_DEVICE, FALSE);
    info->name = name;
    info->driver = id;
    info->flags = (e.present ? BASS_DEVICE_ENABLED : 0) | (e.isDefault ? BASS_DEVICE_DEFAULT : 0) |
                  (e.loopback ? BASS_DEVICE_LOOPBACK : 0);
    {
        State &s = state();
        std::lock_guard lock(s.mutex);
        if (s.devices.count(int(device)))
            info->flags |= BASS_DEVICE_INIT;
    }
    return succeed();
}

BASSDEF(BOOL) BASS_RecordInit(int device)
{
    PulseSourceList &list = PulseSourceList::instance();
    if (device == -1)
        device = list.defaultIndex();
    PulseSourceList::Entry e;
    if (device < 0 || !list.entry(device, e) || !e.present)
        return fail(BASS_ERROR_DEVICE, FALSE);
    State &s = state();
    {
        std::lock_guard lock(s.mutex);
        if (s.devices.count(device))
            return fail(BASS_ERROR_ALREADY, FALSE);
    }
    auto connection = std::make_shared<PulseConnection>();
    if (!connection->connect(PulseSourceList::TimeoutMs))
        return fail(BASS_ERROR_DRIVER, FALSE);
    std::lock_guard lock(s.mutex);
    if (s.devices.count(device)) { // another thread was quicker
        return fail(BASS_ERROR_ALREADY, FALSE);
    }
    auto d = std::make_shared<Device>();
    d->number = device;
    d->sourceId = e.id;
    d->connection = std::move(connection);
    s.devices[device] = std::move(d);
    currentDevice = device;
    return succeed();
}

BASSDEF(BOOL) BASS_RecordSetDevice(DWORD device)
{
    State &s = state();
    std::lock_guard lock(s.mutex);
    if (device > 0x7FFFFFFF || !s.devices.count(int(device))) {
        PulseSourceList::Entry e;
        return fail(device <= 0x7FFFFFFF && PulseSourceList::instance().entry(int(device), e)
                        ? BASS_ERROR_INIT
                        : BASS_ERROR_DEVICE,
                    FALSE);
    }
    currentDevice = int(device);
    return succeed();
}

BASSDEF(DWORD) BASS_RecordGetDevice(void)
{
    State &s = state();
    std::lock_guard lock(s.mutex);
    if (currentDevice < 0 || !s.devices.count(currentDevice))
        return fail(BASS_ERROR_INIT, Fail32);
    setError(BASS_OK);
    return DWORD(currentDevice);
}

BASSDEF(BOOL) BASS_RecordFree(void)
{
    State &s = state();
    std::shared_ptr<Device> d;
    std::vector<std::shared_ptr<RecordChannel>> channels;
    {
        std::lock_guard lock(s.mutex);
        const auto it = s.devices.find(currentDevice);
        if (it == s.devices.end())
            return fail(BASS_ERROR_INIT, FALSE);
        d = it->second;
        s.devices.erase(it);
        for (DWORD h : d->channels) {
            const auto c = s.channels.find(h);
            if (c != s.channels.end()) {
                channels.push_back(c->second);
                s.channels.erase(c);
            }
            s.channelDevice.erase(h);
        }
    }
    for (auto &c : channels)
        c->stop();
    return succeed();
}

BASSDEF(BOOL) BASS_RecordGetInfo(BASS_RECORDINFO *info)
{
    if (!info)
        return fail(BASS_ERROR_ILLPARAM, FALSE);
    std::string sourceId;
    int number = -1;
    {
        State &s = state();
        std::lock_guard lock(s.mutex);
        const auto it = s.devices.find(currentDevice);
        if (it == s.devices.end())
            return fail(BASS_ERROR_INIT, FALSE);
        number = it->second->number;
        sourceId = it->second->sourceId;
    }
    PulseSourceList::Entry e;
    PulseSourceList::instance().entry(number, e);
    *info = BASS_RECORDINFO{};
    info->flags = 0;
    info->formats = DWORD(std::clamp(e.channels, 0, 255)) << 24;
    info->inputs = 1;
    info->singlein = TRUE;
    info->freq = DWORD(e.rate);
    return succeed();
}

BASSDEF(HRECORD)
BASS_RecordStart(DWORD freq, DWORD chans, DWORD flags, RECORDPROC *proc, void *user)
{
    State &s = state();
    std::shared_ptr<Device> d;
    DWORD handle = 0;
    {
        std::lock_guard lock(s.mutex);
        const auto it = s.devices.find(currentDevice);
        if (it == s.devices.end())
            return fail(BASS_ERROR_INIT, 0);
        d = it->second;
        handle = HandleTag | (s.nextHandle++ & ~HandleTagMask);
    }
    PulseSourceList::Entry e;
    PulseSourceList::instance().entry(d->number, e);
    if (!e.present)
        return fail(BASS_ERROR_NOTAVAIL, 0);
    const int rate = freq ? int(freq) : (e.rate > 0 ? e.rate : 44100);
    const int channels = chans ? int(chans) : (e.channels > 0 ? e.channels : 2);
    if (rate > 384000 || channels > 32)
        return fail(BASS_ERROR_FORMAT, 0);
    auto c = std::make_shared<RecordChannel>(handle, d->connection, d->sourceId, rate, channels,
                                             flags, proc, user);
    int error = BASS_OK;
    if (!c->start(error))
        return fail(error, HRECORD(0));
    bool registered = false;
    {
        std::lock_guard lock(s.mutex);
        // The device may have been freed meanwhile.
        const auto it = s.devices.find(d->number);
        if (it != s.devices.end() && it->second == d) {
            s.channels[handle] = c;
            s.channelDevice[handle] = d->number;
            d->channels.push_back(handle);
            registered = true;
        }
    }
    if (!registered) {
        c->stop();
        return fail(BASS_ERROR_INIT, 0);
    }
    setError(BASS_OK);
    return handle;
}

} // extern "C"
