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
    m_data.assign(capacity, 0);
    m_begin = m_read = m_write = startOffset;
}

void NetRingBuffer::resize(size_t capacity)
{
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

size_t NetRingBuffer::write(const uint8_t *data, size_t size)
{
    const size_t cap = m_data.size();
    size = std::min(size, writable());
    if (size == 0)
        return 0;
    // Drop the oldest history bytes that the new data overwrites.
    const int64_t held = m_write - m_begin;
    if (held + static_cast<int64_t>(size) > static_cast<int64_t>(cap))
        m_begin = m_write + static_cast<int64_t>(size) - static_cast<int64_t>(cap);
    size_t done = 0;
    while (done < size) {
        const size_t at =
            static_cast<size_t>((m_write + static_cast<int64_t>(done)) % static_cast<int64_t>(cap));
        const size_t n = std::min(size - done, cap - at);
        std::memcpy(m_data.data() + at, data + done, n);
        done += n;
    }
    m_write += static_cast<int64_t>(size);
    return size;
}

size_t NetRingBuffer::read(uint8_t *out, size_t size)
{
    const size_t cap = m_data.size();
    size = std::min(size, unread());
    size_t done = 0;
    while (done < size) {
        const size_t at =
            static_cast<size_t>((m_read + static_cast<int64_t>(done)) % static_cast<int64_t>(cap));
        const size_t n = std::min(size - done, cap - at);
        std::memcpy(out + done, m_data.data() + at, n);
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
