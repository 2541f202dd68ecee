#include "device.h"
#include "pulsesinklist.h"

#include "bass.h"

#include <pulse/pulseaudio.h>

#include <atomic>
#include <chrono>
#include <cstring>

namespace engine {

namespace {

constexpr int ConnectTimeoutMs = 2000;

struct PulseDevice
{
    pa_threaded_mainloop *loop = nullptr;
    pa_context *context = nullptr;
    pa_stream *stream = nullptr;
    DeviceReporter reporter;
    DeviceFormat format;
    size_t frameBytes = 8;
    size_t minWrite = 0;
    std::atomic<bool> ready{false};
    std::atomic<bool> failed{false};
};

void signalLoop(PulseDevice *d)
{
    pa_threaded_mainloop_signal(d->loop, 0);
}

void contextState(pa_context *c, void *user)
{
    auto *d = static_cast<PulseDevice *>(user);
    const pa_context_state_t s = pa_context_get_state(c);
    if ((s == PA_CONTEXT_FAILED || s == PA_CONTEXT_TERMINATED) && d->ready.load()) {
        if (!d->failed.exchange(true) && d->reporter.failed)
            d->reporter.failed(d->reporter.context, BASS_DEVFAIL_SERVER);
    }
    signalLoop(d);
}

void streamState(pa_stream *s, void *user)
{
    auto *d = static_cast<PulseDevice *>(user);
    const pa_stream_state_t st = pa_stream_get_state(s);
    if (st == PA_STREAM_READY)
        d->ready.store(true);
    if ((st == PA_STREAM_FAILED || st == PA_STREAM_TERMINATED) && d->ready.load()) {
        // With the server still there, the stream was killed because its output went away and
        // there was none to move it to (or a chosen output may not be left).
        const int reason = PA_CONTEXT_IS_GOOD(pa_context_get_state(d->context))
                               ? BASS_DEVFAIL_REMOVED
                               : BASS_DEVFAIL_SERVER;
        if (!d->failed.exchange(true) && d->reporter.failed)
            d->reporter.failed(d->reporter.context, reason);
    }
    signalLoop(d);
}

void streamWrite(pa_stream *, size_t, void *user)
{
    signalLoop(static_cast<PulseDevice *>(user));
}

// The output the stream was moved to (the default output went away or changed): when it runs
// at another rate, the mixer follows it, so that the server does not resample.
void movedSinkInfo(pa_context *, const pa_sink_info *info, int eol, void *user)
{
    auto *d = static_cast<PulseDevice *>(user);
    if (eol || !info || !d->reporter.formatChanged)
        return;
    const int rate = int(info->sample_spec.rate);
    if (rate > 0 && rate != d->format.rate) {
        d->format.rate = rate;
        d->reporter.formatChanged(d->reporter.context, d->format);
    }
}

void streamMoved(pa_stream *s, void *user)
{
    auto *d = static_cast<PulseDevice *>(user);
    pa_operation *op = pa_context_get_sink_info_by_index(d->context, pa_stream_get_device_index(s),
                                                         movedSinkInfo, d);
    if (op)
        pa_operation_unref(op);
}

void closeDevice(PulseDevice *d)
{
    if (d->loop)
        pa_threaded_mainloop_lock(d->loop);
    if (d->stream) {
        pa_stream_set_state_callback(d->stream, nullptr, nullptr);
        pa_stream_set_write_callback(d->stream, nullptr, nullptr);
        pa_stream_set_moved_callback(d->stream, nullptr, nullptr);
        pa_stream_disconnect(d->stream);
        pa_stream_unref(d->stream);
    }
    if (d->context) {
        pa_context_set_state_callback(d->context, nullptr, nullptr);
        pa_context_disconnect(d->context);
        pa_context_unref(d->context);
    }
    if (d->loop) {
        pa_threaded_mainloop_unlock(d->loop);
        pa_threaded_mainloop_stop(d->loop);
        pa_threaded_mainloop_free(d->loop);
    }
    delete d;
}

void *open(const std::string &id, const DeviceFormat &format, DeviceReporter reporter)
{
    auto *d = new PulseDevice;
    d->reporter = reporter;
    d->loop = pa_threaded_mainloop_new();
    if (!d->loop || pa_threaded_mainloop_start(d->loop) < 0) {
        closeDevice(d);
        return nullptr;
    }
    pa_threaded_mainloop_lock(d->loop);
    d->context = pa_context_new(pa_threaded_mainloop_get_api(d->loop), "Vellacast");
    bool ok = d->context != nullptr;
    if (ok) {
        pa_context_set_state_callback(d->context, contextState, d);
        ok = pa_context_connect(d->context, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) >= 0;
    }
    while (ok) {
        const pa_context_state_t s = pa_context_get_state(d->context);
        if (s == PA_CONTEXT_READY)
            break;
        if (!PA_CONTEXT_IS_GOOD(s))
            ok = false;
        else
            pa_threaded_mainloop_wait(d->loop);
    }
    if (ok) {
        pa_sample_spec spec{PA_SAMPLE_FLOAT32LE, uint32_t(format.rate), uint8_t(format.channels)};
        d->frameBytes = pa_frame_size(&spec);
        d->stream = pa_stream_new(d->context, "Vellacast output", &spec, nullptr);
        ok = d->stream != nullptr;
        if (ok) {
            pa_stream_set_state_callback(d->stream, streamState, d);
            pa_stream_set_write_callback(d->stream, streamWrite, d);
            pa_stream_set_moved_callback(d->stream, streamMoved, d);
            d->format = format;
            pa_buffer_attr attr;
            attr.maxlength = uint32_t(-1);
            attr.tlength = uint32_t(pa_usec_to_bytes(80000, &spec));
            attr.prebuf = uint32_t(-1);
            // The server asks for audio in 20 ms pieces and holds 60 to 80 ms: the mixer wakes
            // 50 times a second, with ample margin against a late period.
            attr.minreq = uint32_t(pa_usec_to_bytes(20000, &spec));
            attr.fragsize = uint32_t(-1);
            d->minWrite = attr.minreq;
            // A chosen device must not be moved elsewhere: its loss is a device failure.
            const auto flags = pa_stream_flags_t(PA_STREAM_ADJUST_LATENCY |
                                                 (id.empty() ? 0 : PA_STREAM_DONT_MOVE));
            ok = pa_stream_connect_playback(d->stream, id.empty() ? nullptr : id.c_str(), &attr,
                                            flags, nullptr, nullptr) >= 0;
        }
        while (ok) {
            const pa_stream_state_t s = pa_stream_get_state(d->stream);
            if (s == PA_STREAM_READY)
                break;
            if (!PA_STREAM_IS_GOOD(s))
                ok = false;
            else
                pa_threaded_mainloop_wait(d->loop);
        }
    }
    pa_threaded_mainloop_unlock(d->loop);
    if (!ok) {
        closeDevice(d);
        return nullptr;
    }
    return d;
}

int wait(void *device, int maxFrames)
{
    auto *d = static_cast<PulseDevice *>(device);
    pa_threaded_mainloop_lock(d->loop);
    size_t n = 0;
    while (!d->failed.load()) {
        n = pa_stream_writable_size(d->stream);
        if (n == size_t(-1)) {
            d->failed.store(true);
            break;
        }
        if (n >= d->minWrite)
            break;
        pa_threaded_mainloop_wait(d->loop);
    }
    pa_threaded_mainloop_unlock(d->loop);
    if (d->failed.load())
        return -1;
    const size_t frames = n / d->frameBytes;
    return frames < size_t(maxFrames) ? int(frames) : maxFrames;
}

bool write(void *device, const float *frames, int count)
{
    auto *d = static_cast<PulseDevice *>(device);
    pa_threaded_mainloop_lock(d->loop);
    const bool ok =
        !d->failed.load() && pa_stream_write(d->stream, frames, size_t(count) * d->frameBytes,
                                             nullptr, 0, PA_SEEK_RELATIVE) >= 0;
    pa_threaded_mainloop_unlock(d->loop);
    return ok;
}

void close(void *device)
{
    closeDevice(static_cast<PulseDevice *>(device));
}

// ---- enumeration over the long-lived connection of the outputs' list

bool enumerate(std::vector<DeviceEntry> &out)
{
    return PulseSinkList::instance().list(out);
}

} // namespace

const DeviceBackend pulseBackend = {"pulse", enumerate, open, wait, write, close};

} // namespace engine
