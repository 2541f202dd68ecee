#pragma once

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstring>
#include <vector>

namespace engine {

// Single-producer single-consumer ring of interleaved 16-bit frames. The producer (a decoder
// thread, or PutData callers serialised by a mutex) writes; the mixer reads. Neither side
// allocates or blocks; indices grow monotonically and are masked on access.
class AudioRing
{
public:
    // Not thread-safe: call before either side runs.
    void allocate(size_t capacityFrames, int channels)
    {
        size_t cap = 1;
        while (cap < capacityFrames)
            cap <<= 1;
        m_capacity = cap;
        m_channels = channels;
        m_data.assign(cap * size_t(channels), 0);
    }

    size_t capacity() const { return m_capacity; }
    int channels() const { return m_channels; }

    // Producer side.
    size_t writable() const
    {
        return m_capacity - size_t(m_write.load(std::memory_order_relaxed) -
                                   m_read.load(std::memory_order_acquire));
    }
    size_t write(const int16_t *frames, size_t count)
    {
        const uint64_t w = m_write.load(std::memory_order_relaxed);
        count = std::min(count, writable());
        copyIn(w, frames, count);
        m_write.store(w + count, std::memory_order_release);
        return count;
    }
    uint64_t writeIndex() const { return m_write.load(std::memory_order_acquire); }

    // Consumer side.
    size_t readable() const
    {
        return size_t(m_write.load(std::memory_order_acquire) -
                      m_read.load(std::memory_order_relaxed));
    }
    size_t read(int16_t *frames, size_t count)
    {
        const uint64_t r = m_read.load(std::memory_order_relaxed);
        count = std::min(count, readable());
        copyOut(r, frames, count);
        m_read.store(r + count, std::memory_order_release);
        return count;
    }
    // Drops everything written before `writeIndex` that is still unread.
    void skipTo(uint64_t writeIndex)
    {
        const uint64_t r = m_read.load(std::memory_order_relaxed);
        if (writeIndex > r)
            m_read.store(std::min(writeIndex, m_write.load(std::memory_order_acquire)),
                         std::memory_order_release);
    }

private:
    void copyIn(uint64_t at, const int16_t *src, size_t count)
    {
        const size_t pos = size_t(at & (m_capacity - 1));
        const size_t first = std::min(count, m_capacity - pos);
        std::memcpy(&m_data[pos * m_channels], src, first * m_channels * sizeof(int16_t));
        if (count > first)
            std::memcpy(&m_data[0], src + first * m_channels,
                        (count - first) * m_channels * sizeof(int16_t));
    }
    void copyOut(uint64_t at, int16_t *dst, size_t count) const
    {
        const size_t pos = size_t(at & (m_capacity - 1));
        const size_t first = std::min(count, m_capacity - pos);
        std::memcpy(dst, &m_data[pos * m_channels], first * m_channels * sizeof(int16_t));
        if (count > first)
            std::memcpy(dst + first * m_channels, &m_data[0],
                        (count - first) * m_channels * sizeof(int16_t));
    }

    std::vector<int16_t> m_data;
    size_t m_capacity = 0;
    int m_channels = 0;
    std::atomic<uint64_t> m_write{0};
    std::atomic<uint64_t> m_read{0};
};

// Single-producer single-consumer queue of small trivially copyable items (mixer → event
// thread). A full queue drops the item and reports false.
template <typename T, size_t N> class SpscQueue
{
    static_assert((N & (N - 1)) == 0, "N must be a power of two");

public:
    bool push(const T &item)
    {
        const uint64_t w = m_write.load(std::memory_order_relaxed);
        if (w - m_read.load(std::memory_order_acquire) >= N)
            return false;
        m_items[w & (N - 1)] = item;
        m_write.store(w + 1, std::memory_order_release);
        return true;
    }
    // Items pushed so far (producer side).
    uint64_t pushed() const { return m_write.load(std::memory_order_relaxed); }
    bool pop(T &item)
    {
        const uint64_t r = m_read.load(std::memory_order_relaxed);
        if (r == m_write.load(std::memory_order_acquire))
            return false;
        item = m_items[r & (N - 1)];
        m_read.store(r + 1, std::memory_order_release);
        return true;
    }

private:
    T m_items[N]{};
    std::atomic<uint64_t> m_write{0};
    std::atomic<uint64_t> m_read{0};
};

} // namespace engine
