#include "device.h"

#include <algorithm>
#include <chrono>
#include <thread>

namespace engine {

namespace {

using Clock = std::chrono::steady_clock;
// Nobody listens, so the period only sets how finely positions, levels and syncs move: a
// coarse one lets the mixer sleep most of the time. At high rates the period is shorter, so
// that it stays within what the mixer takes at once.
constexpr int PeriodMs = 80;
constexpr int MaxPeriodFrames = 4096;

struct NoSoundDevice
{
    int rate;
    int periodFrames;
    Clock::time_point next;
    int64_t periods = 0;
    Clock::time_point start;
};

bool enumerate(std::vector<DeviceEntry> &out)
{
    out.push_back({"No sound", "nosound", false});
    return true;
}

void *open(const std::string &, const DeviceFormat &format, DeviceReporter)
{
    const int rate = format.rate > 0 ? format.rate : 44100;
    const int periodFrames = std::clamp(rate * PeriodMs / 1000, 1, MaxPeriodFrames);
    return new NoSoundDevice{rate, periodFrames, Clock::now(), 0, Clock::now()};
}

int wait(void *device, int maxFrames)
{
    auto *d = static_cast<NoSoundDevice *>(device);
    std::this_thread::sleep_until(d->next);
    const auto now = Clock::now();
    if (now - d->next > std::chrono::milliseconds(200)) {
        // Fell far behind (a suspended process): restart the clock instead of catching up.
        d->start = now;
        d->periods = 0;
    }
    // Frames follow the clock exactly: period n ends when n periods of frames have played.
    ++d->periods;
    const int64_t frames = d->periods * d->periodFrames;
    d->next = d->start + std::chrono::seconds(frames / d->rate) +
              std::chrono::nanoseconds((frames % d->rate) * 1000000000 / d->rate);
    return d->periodFrames < maxFrames ? d->periodFrames : maxFrames;
}

bool write(void *, const float *, int)
{
    return true;
}

void close(void *device)
{
    delete static_cast<NoSoundDevice *>(device);
}

} // namespace

const DeviceBackend noSoundBackend = {"nosound", enumerate, open, wait, write, close};

} // namespace engine
