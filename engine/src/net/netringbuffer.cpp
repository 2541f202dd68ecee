#include "netringbuffer.h"

#include <algorithm>
#include <cstring>

namespace engine {

NetRingBuffer::NetRingBuffer(size_t capacity, int64_t startOffset)
{
    reset(capacity, startOffset);
}

void NetRingBuffer::reset(size_t capacity, int64_t startOffset)
{
    m_chunks.clear();
    m_chunks.shrink_to_fit();
    m_whole = false;
    m_limit = 0;
    m_data.assign(capacity, 0);
    m_begin = m_read = m_write = startOffset;
}

void NetRingBuffer::resetWhole(size_t limit, int64_t startOffset)
{
    m_data.clear();
    m_data.shrink_to_fit();
    m_chunks.clear();
    m_whole = true;
    m_limit = limit;
    m_begin = m_read = m_write = startOffset;
}

void NetRingBuffer::resize(size_t capacity)
{
    if (m_whole)
        return;
    capacity = std::max(capacity, unread());
    if (capacity == m_data.size())
        return;
    const int64_t begin = std::max(m_begin, m_write - static_cast<int64_t>(capacity));
    std::vector<uint8_t> data(capacity);
    const int64_t oldCap = static_cast<int64_t>(m_data.size());
    for (int64_t p = begin; p < m_write; ++p)
        data[static_cast<size_t>(p % static_cast<int64_t>(capacity))] =
            m_data[static_cast<size_t>(p % oldCap)];
    m_data.swap(data);
    m_begin = begin;
}

size_t NetRingBuffer::writable() const
{
    if (m_whole)
        return m_limit - static_cast<size_t>(m_write - m_begin);
    return m_data.size() - unread();
}

std::pair<uint8_t *, size_t> NetRingBuffer::span(int64_t position, size_t size)
{
    if (m_whole) {
        const auto offset = static_cast<size_t>(position - m_begin);
        const size_t at = offset % ChunkBytes;
        return {m_chunks[offset / ChunkBytes].get() + at, std::min(size, ChunkBytes - at)};
    }
    const size_t cap = m_data.size();
    const auto at = static_cast<size_t>(position % static_cast<int64_t>(cap));
    return {m_data.data() + at, std::min(size, cap - at)};
}

size_t NetRingBuffer::write(const uint8_t *data, size_t size)
{
    size = std::min(size, writable());
    if (size == 0)
        return 0;
    if (m_whole) {
        const auto held = static_cast<size_t>(m_write - m_begin) + size;
        while (m_chunks.size() * ChunkBytes < held)
            m_chunks.push_back(std::make_unique_for_overwrite<uint8_t[]>(ChunkBytes));
    } else {
        // Drop the oldest history bytes that the new data overwrites.
        const int64_t cap = static_cast<int64_t>(m_data.size());
        if (m_write - m_begin + static_cast<int64_t>(size) > cap)
            m_begin = m_write + static_cast<int64_t>(size) - cap;
    }
    for (size_t done = 0; done < size;) {
        const auto [to, n] = span(m_write + static_cast<int64_t>(done), size - done);
        std::memcpy(to, data + done, n);
        done += n;
    }
    m_write += static_cast<int64_t>(size);
    return size;
}

size_t NetRingBuffer::read(uint8_t *out, size_t size)
{
    size = std::min(size, unread());
    for (size_t done = 0; done < size;) {
        const auto [from, n] = span(m_read + static_cast<int64_t>(done), size - done);
        std::memcpy(out + done, from, n);
        done += n;
    }
    m_read += static_cast<int64_t>(size);
    return size;
}

bool NetRingBuffer::seek(int64_t position)
{
    if (position < m_begin || position > m_write)
        return false;
    m_read = position;
    return true;
}

} // namespace engine
