#pragma once

#include <string>
#include <vector>

namespace engine {

// Output device backends. Each backend is one table of functions in a source file of its own.
// The mixer thread calls wait/write; open/close/enumerate run on control threads.

struct DeviceEntry
{
    std::string name; // UTF-8, shown to users
    std::string id;   // the backend's id; empty = the system's default output
    bool isDefault = false;
};

struct DeviceFormat
{
    int rate = 44100;
    int channels = 2;
};

// How a backend tells the engine, from any of its threads, that the open device failed (with
// its reason, a BASS_DEVFAIL_* value) or changed its format. The engine handles both on its
// event thread.
struct DeviceReporter
{
    void (*failed)(void *context, int reason) = nullptr;
    void (*formatChanged)(void *context, DeviceFormat format) = nullptr;
    void *context = nullptr;
};

struct DeviceBackend
{
    const char *name;
    // Lists the outputs; false when the backend cannot be reached (no sound server).
    bool (*enumerate)(std::vector<DeviceEntry> &out);
    // Opens output `id` in `format` (float samples). Null on failure.
    void *(*open)(const std::string &id, const DeviceFormat &format, DeviceReporter reporter);
    // Blocks until the device takes more audio. Returns the frames it takes now (at most
    // maxFrames), or -1 when the device has failed; a failure that the backend can explain has
    // been reported through the DeviceReporter before. Mixer thread.
    int (*wait)(void *device, int maxFrames);
    // Queues interleaved float frames. False when the device has failed. Mixer thread.
    bool (*write)(void *device, const float *frames, int count);
    void (*close)(void *device);
};

// "No sound": a real-time period clock that discards the audio. Also the stand-in for a
// failed device.
extern const DeviceBackend noSoundBackend;
// The sound server (PulseAudio protocol).
extern const DeviceBackend pulseBackend;

} // namespace engine
