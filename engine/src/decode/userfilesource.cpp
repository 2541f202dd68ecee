#include "userfilesource.h"
#include "threadname.h"

#include "streamfactory.h"

#include <algorithm>

namespace engine {

namespace {
constexpr size_t ChunkBytes = 16384;
}

UserFileSource::UserFileSource(DWORD system, DWORD flags, const BASS_FILEPROCS &procs, void *user)
    : m_procs(procs)
    , m_user(user)
    , m_buffered(system == STREAMFILE_BUFFER)
    , m_block(flags & BASS_STREAM_BLOCK)
{
    if (m_procs.length) {
        const QWORD len = m_procs.length(m_user);
        if (len > 0 && len != QWORD(-1))
            m_length = int64_t(len);
    }
    if (m_buffered) {
        // Read ahead by the configured buffer length, at 320 kbit/s, at least 64 KiB.
        const DWORD ms = configValue(BASS_CONFIG_NET_BUFFER);
        m_bufferLimit = std::max<size_t>(65536, size_t(ms) * 40);
    }
}

void UserFileSource::startReading()
{
    if (m_buffered && !m_readerStarted.exchange(true))
        m_reader = std::thread([this] {
            nameThisThread("kl-userfile");
            readerLoop();
        });
}

UserFileSource::~UserFileSource()
{
    {
        std::lock_guard lock(m_mutex);
        m_stop = true;
        m_aborted = true;
    }
    m_cv.notify_all();
    if (m_reader.joinable())
        m_reader.join();
    if (m_procs.close)
        m_procs.close(m_user);
}

void UserFileSource::abort()
{
    {
        std::lock_guard lock(m_mutex);
        m_aborted = true;
    }
    m_cv.notify_all();
}

void UserFileSource::readerLoop()
{
    std::vector<uint8_t> chunk(ChunkBytes);
    std::unique_lock lock(m_mutex);
    while (!m_stop) {
        if (m_seekRequest >= 0) {
            const int64_t target = m_seekRequest;
            lock.unlock();
            const bool ok = m_procs.seek && m_procs.seek(QWORD(target), m_user);
            lock.lock();
            m_seekRequest = -1;
            if (ok) {
                m_buffer.clear();
                m_fetched.store(target);
                m_position.store(target);
                m_eof = false;
                m_failed = false;
            } else {
                m_failed = true;
            }
            m_cv.notify_all();
            continue;
        }
        if (m_eof || m_failed || m_buffer.size() >= m_bufferLimit) {
            m_cv.wait(lock);
            continue;
        }
        lock.unlock();
        const DWORD n = m_procs.read(chunk.data(), DWORD(ChunkBytes), m_user);
        lock.lock();
        if (m_seekRequest >= 0)
            continue; // data of the old position
        if (n == 0 || n == DWORD(-1)) {
            m_eof = true;
        } else {
            const DWORD got = std::min<DWORD>(n, DWORD(ChunkBytes));
            m_buffer.insert(m_buffer.end(), chunk.begin(), chunk.begin() + got);
            m_fetched.fetch_add(got);
        }
        m_cv.notify_all();
    }
}

int64_t UserFileSource::read(uint8_t *buffer, int64_t size)
{
    if (size <= 0)
        return 0;
    if (!m_buffered || !m_readerStarted.load()) {
        {
            std::lock_guard lock(m_mutex);
            if (m_aborted)
                return -1;
        }
        const DWORD n = m_procs.read(buffer, DWORD(std::min<int64_t>(size, 1 << 30)), m_user);
        if (n == DWORD(-1))
            return -1;
        m_position.fetch_add(n);
        m_fetched.store(std::max(m_fetched.load(), m_position.load()));
        return n;
    }
    std::unique_lock lock(m_mutex);
    m_cv.wait(lock, [&] { return m_aborted || !m_buffer.empty() || m_eof || m_failed; });
    if (m_aborted)
        return -1;
    if (m_buffer.empty())
        return m_failed ? -1 : 0;
    const size_t n = std::min<size_t>(size_t(size), m_buffer.size());
    std::copy_n(m_buffer.begin(), n, buffer);
    m_buffer.erase(m_buffer.begin(), m_buffer.begin() + n);
    m_position.fetch_add(int64_t(n));
    m_cv.notify_all();
    return int64_t(n);
}

bool UserFileSource::seek(int64_t offset)
{
    if (m_block || !m_procs.seek || offset < 0 || (m_length >= 0 && offset > m_length))
        return false;
    if (!m_buffered || !m_readerStarted.load()) {
        if (!m_procs.seek(QWORD(offset), m_user))
            return false;
        m_position.store(offset);
        m_fetched.store(offset);
        return true;
    }
    std::unique_lock lock(m_mutex);
    const int64_t pos = m_position.load();
    if (offset >= pos && offset <= m_fetched.load()) {
        // Inside what is buffered: skip forward.
        m_buffer.erase(m_buffer.begin(), m_buffer.begin() + (offset - pos));
        m_position.store(offset);
        m_cv.notify_all();
        return true;
    }
    m_seekRequest = offset;
    m_failed = false;
    m_cv.notify_all();
    m_cv.wait(lock, [&] { return m_seekRequest < 0 || m_aborted; });
    return !m_aborted && !m_failed && m_position.load() == offset;
}

} // namespace engine
