#include "recordchannel.h"
#include "threadname.h"

#include <algorithm>
#include <cstring>

namespace engine {

namespace {
constexpr int ConnectTimeoutMs = 2000;
} // namespace

RecordChannel::RecordChannel(HRECORD handle, std::shared_ptr<PulseConnection> connection,
                             std::string sourceId, int rate, int channels, DWORD flags,
                             RECORDPROC *proc, void *user)
    : handle(handle)
    , m_connection(std::move(connection))
    , m_sourceId(std::move(sourceId))
    , m_rate(rate)
    , m_channels(channels)
    , m_flags(flags)
    , m_proc(proc)
    , m_user(user)
{}

RecordChannel::~RecordChannel()
{
    stop();
    if (m_thread.joinable()) {
        if (m_thread.get_id() == std::this_thread::get_id())
            m_thread.detach();
        else
            m_thread.join();
    }
}

bool RecordChannel::start(int &error)
{
    pa_sample_spec spec;
    spec.format = (m_flags & BASS_SAMPLE_FLOAT)   ? PA_SAMPLE_FLOAT32LE
                  : (m_flags & BASS_SAMPLE_8BITS) ? PA_SAMPLE_U8
                                                  : PA_SAMPLE_S16LE;
    spec.rate = uint32_t(m_rate);
    spec.channels = uint8_t(m_channels);
    if (m_channels <= 0 || m_channels > int(PA_CHANNELS_MAX) || !pa_sample_spec_valid(&spec)) {
        error = BASS_ERROR_FORMAT;
        return false;
    }
    m_frameBytes = pa_frame_size(&spec);
    m_periodBytes = pa_usec_to_bytes(pa_usec_t(PeriodMs) * PA_USEC_PER_MSEC, &spec);
    m_maxQueued = pa_usec_to_bytes(pa_usec_t(MaxQueuedMs) * PA_USEC_PER_MSEC, &spec);
    pa_channel_map map;
    pa_channel_map_init_extend(&map, spec.channels, PA_CHANNEL_MAP_DEFAULT);

    PulseConnection::Locker lock(*m_connection);
    if (!m_connection->alive()) {
        error = BASS_ERROR_NOTAVAIL;
        return false;
    }
    m_stream = pa_stream_new(m_connection->context(), "Vellacast recording", &spec, &map);
    if (!m_stream) {
        error = BASS_ERROR_MEM;
        return false;
    }
    pa_stream_set_state_callback(m_stream, &RecordChannel::stateCallback, this);
    pa_stream_set_read_callback(m_stream, &RecordChannel::readCallback, this);
    pa_buffer_attr attr;
    attr.maxlength = uint32_t(-1);
    attr.tlength = uint32_t(-1);
    attr.prebuf = uint32_t(-1);
    attr.minreq = uint32_t(-1);
    attr.fragsize = uint32_t(m_periodBytes);
    // The source itself is recorded: if it goes away, the recording fails instead of moving.
    const auto streamFlags = pa_stream_flags_t(PA_STREAM_ADJUST_LATENCY | PA_STREAM_DONT_MOVE);
    bool ok = pa_stream_connect_record(m_stream, m_sourceId.c_str(), &attr, streamFlags) >= 0;
    ok = ok && m_connection->waitUntil(
                   [this] {
                       const pa_stream_state_t s = pa_stream_get_state(m_stream);
                       return s == PA_STREAM_READY || !PA_STREAM_IS_GOOD(s);
                   },
                   ConnectTimeoutMs);
    ok = ok && pa_stream_get_state(m_stream) == PA_STREAM_READY;
    if (!ok) {
        pa_stream_set_state_callback(m_stream, nullptr, nullptr);
        pa_stream_set_read_callback(m_stream, nullptr, nullptr);
        pa_stream_disconnect(m_stream);
        pa_stream_unref(m_stream);
        m_stream = nullptr;
        error = BASS_ERROR_NOTAVAIL;
        return false;
    }
    {
        std::lock_guard g(m_mutex);
        m_running = true;
    }
    m_thread = std::thread([self = shared_from_this()] {
        nameThisThread("kl-record");
        self->deliveryLoop();
    });
    return true;
}

void RecordChannel::readCallback(pa_stream *s, size_t, void *user)
{
    auto *self = static_cast<RecordChannel *>(user);
    for (;;) {
        const void *data = nullptr;
        size_t n = 0;
        if (pa_stream_peek(s, &data, &n) < 0 || n == 0)
            break;
        {
            std::lock_guard lock(self->m_mutex);
            if (!self->m_paused) {
                if (data) {
                    const auto *bytes = static_cast<const uint8_t *>(data);
                    self->m_queue.insert(self->m_queue.end(), bytes, bytes + n);
                } else {
                    // A hole in the capture: silence of the same length.
                    const uint8_t zero = (self->m_flags & BASS_SAMPLE_8BITS) ? 0x80 : 0;
                    self->m_queue.insert(self->m_queue.end(), n, zero);
                }
                if (self->m_queue.size() > self->m_maxQueued) {
                    size_t drop = self->m_queue.size() - self->m_maxQueued;
                    drop =
                        (drop + self->m_frameBytes - 1) / self->m_frameBytes * self->m_frameBytes;
                    drop = std::min(drop, self->m_queue.size());
                    self->m_queue.erase(self->m_queue.begin(),
                                        self->m_queue.begin() + std::ptrdiff_t(drop));
                }
                self->m_cond.notify_all();
            }
        }
        pa_stream_drop(s);
    }
}

void RecordChannel::stateCallback(pa_stream *s, void *user)
{
    auto *self = static_cast<RecordChannel *>(user);
    const pa_stream_state_t st = pa_stream_get_state(s);
    if (st == PA_STREAM_FAILED || st == PA_STREAM_TERMINATED) {
        std::lock_guard lock(self->m_mutex);
        if (self->m_running && !self->m_stop) {
            self->m_failed = true;
            self->m_cond.notify_all();
        }
    }
    self->m_connection->signal();
}

void RecordChannel::deliveryLoop()
{
    std::vector<uint8_t> block;
    for (;;) {
        std::unique_lock lock(m_mutex);
        m_cond.wait(lock, [this] { return m_stop || m_failed || m_queue.size() >= m_periodBytes; });
        if (m_stop)
            break;
        if (m_failed && m_queue.size() < m_periodBytes) {
            // What was captured before the failure still goes out, then the failure.
            block.assign(m_queue.begin(), m_queue.end());
            m_queue.clear();
            m_running = false;
            lock.unlock();
            if (!block.empty() && m_proc)
                m_proc(handle, block.data(), DWORD(block.size()), m_user);
            disconnect();
            fireSyncs(BASS_SYNC_DEV_FAIL, 0);
            return;
        }
        block.assign(m_queue.begin(), m_queue.begin() + std::ptrdiff_t(m_periodBytes));
        m_queue.erase(m_queue.begin(), m_queue.begin() + std::ptrdiff_t(m_periodBytes));
        lock.unlock();
        if (m_proc && !m_proc(handle, block.data(), DWORD(block.size()), m_user)) {
            {
                std::lock_guard g(m_mutex);
                m_running = false;
            }
            disconnect();
            return;
        }
    }
}

void RecordChannel::disconnect()
{
    PulseConnection::Locker lock(*m_connection);
    if (!m_stream)
        return;
    pa_stream_set_state_callback(m_stream, nullptr, nullptr);
    pa_stream_set_read_callback(m_stream, nullptr, nullptr);
    pa_stream_disconnect(m_stream);
    pa_stream_unref(m_stream);
    m_stream = nullptr;
}

void RecordChannel::stop()
{
    {
        std::lock_guard lock(m_mutex);
        m_stop = true;
        m_running = false;
        m_cond.notify_all();
    }
    disconnect();
    if (m_thread.joinable() && m_thread.get_id() != std::this_thread::get_id())
        m_thread.join();
}

bool RecordChannel::setPaused(bool paused)
{
    {
        std::lock_guard lock(m_mutex);
        if (!m_running)
            return false;
        m_paused = paused;
        if (paused)
            m_queue.clear();
    }
    PulseConnection::Locker lock(*m_connection);
    if (!m_stream)
        return false;
    pa_operation *op = pa_stream_cork(m_stream, paused ? 1 : 0, nullptr, nullptr);
    if (op)
        pa_operation_unref(op);
    return op != nullptr;
}

HSYNC RecordChannel::addSync(DWORD type, QWORD, SYNCPROC *proc, void *user)
{
    static std::atomic<HSYNC> nextId{1};
    const DWORD base = type & ~BASS_SYNC_ONETIME;
    if (!proc || (base != BASS_SYNC_DEV_FAIL && base != BASS_SYNC_END))
        return 0;
    std::lock_guard lock(m_mutex);
    const HSYNC id = nextId++;
    m_syncs.push_back({id, base, (type & BASS_SYNC_ONETIME) != 0, proc, user});
    return id;
}

bool RecordChannel::removeSync(HSYNC sync)
{
    std::lock_guard lock(m_mutex);
    const auto it = std::find_if(m_syncs.begin(), m_syncs.end(),
                                 [sync](const Sync &s) { return s.id == sync; });
    if (it == m_syncs.end())
        return false;
    m_syncs.erase(it);
    return true;
}

void RecordChannel::fireSyncs(DWORD type, DWORD data)
{
    std::vector<Sync> due;
    {
        std::lock_guard lock(m_mutex);
        for (const Sync &s : m_syncs)
            if (s.type == type)
                due.push_back(s);
        m_syncs.erase(std::remove_if(m_syncs.begin(), m_syncs.end(),
                                     [type](const Sync &s) { return s.type == type && s.onetime; }),
                      m_syncs.end());
    }
    for (const Sync &s : due)
        s.proc(s.id, handle, data, s.user);
}

DWORD RecordChannel::activity() const
{
    std::lock_guard lock(m_mutex);
    if (!m_running)
        return BASS_ACTIVE_STOPPED;
    return m_paused ? BASS_ACTIVE_PAUSED : BASS_ACTIVE_PLAYING;
}

} // namespace engine
