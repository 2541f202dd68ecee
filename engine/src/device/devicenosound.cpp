#include "device.h"

#include <chrono>
#include <thread>

namespace engine {

namespace {

using Clock = std::chrono::steady_clock;
// Nobody listens, so the period only sets how finely positions, levels and syncs move: a
// coarse one lets the mixer sleep most of the time.
constexpr int PeriodMs = 40;
constexpr auto PeriodLength = std::chrono::milliseconds(PeriodMs);

struct NoSoundDevice
{
    int rate;
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
    auto *d = new NoSoundDevice{format.rate, Clock::now(), 0, Clock::now()};
    return d;
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
    // Frames follow the clock exactly: period n ends at start + n * PeriodMs.
    const int64_t before = d->periods * d->rate * PeriodMs / 1000;
    ++d->periods;
    const int64_t after = d->periods * d->rate * PeriodMs / 1000;
    d->next = d->start + d->periods * PeriodLength;
    const int frames = int(after - before);
    return frames < maxFrames ? frames : maxFrames;
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
