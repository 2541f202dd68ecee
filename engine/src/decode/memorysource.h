#pragma once

#include "bytesource.h"

#include <algorithm>
#include <atomic>
#include <cstring>

namespace engine {

// A caller's memory block as a ByteSource. The block must stay valid while the stream lives.
class MemorySource : public ByteSource
{
public:
    MemorySource(const uint8_t *data, int64_t size)
        : m_data(data)
        , m_size(size)
    {}

    int64_t read(uint8_t *buffer, int64_t size) override
    {
        if (m_aborted.load())
            return -1;
        const int64_t pos = m_position.load();
        const int64_t n = std::min(size, m_size - pos);
        if (n <= 0)
            return 0;
        std::memcpy(buffer, m_data + pos, size_t(n));
        m_position.store(pos + n);
        return n;
    }
    bool seek(int64_t offset) override
    {
        if (offset < 0 || offset > m_size)
            return false;
        m_position.store(offset);
        return true;
    }
    int64_t length() const override { return m_size; }
    int64_t position() const override { return m_position.load(); }
    int64_t available() const override { return m_size; }
    void abort() override { m_aborted.store(true); }

private:
    const uint8_t *m_data;
    int64_t m_size;
    std::atomic<int64_t> m_position{0};
    std::atomic<bool> m_aborted{false};
};

} // namespace engine
