#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace engine {

// Byte ring of a network stream. Positions are absolute offsets in the stream. The ring keeps
// the unread bytes and, while space allows, the most recently read ones, so that a reader may
// step back a little (format probing does) without another request.
//
// Not thread-safe: the owner guards it.
class NetRingBuffer
{
public:
    explicit NetRingBuffer(size_t capacity = 0, int64_t startOffset = 0);

    // Resets to an empty ring of `capacity` bytes starting at `startOffset`.
    void reset(size_t capacity, int64_t startOffset);
    // Changes the capacity, keeping the unread bytes (the capacity never drops below them)
    // and as much of the history as fits.
    void resize(size_t capacity);

    size_t capacity() const { return m_data.size(); }
    int64_t readPosition() const { return m_read; }
    int64_t writePosition() const { return m_write; }
    // Unread bytes.
    size_t unread() const { return static_cast<size_t>(m_write - m_read); }
    // Space a write may fill: everything that is not unread (older read bytes are dropped).
    size_t writable() const { return m_data.size() - unread(); }

    // Appends at most writable() bytes; returns the number appended.
    size_t write(const uint8_t *data, size_t size);
    // Copies up to `size` unread bytes out and advances the read position.
    size_t read(uint8_t *out, size_t size);
    // Moves the read position; allowed within the kept history and the unread bytes.
    bool seek(int64_t position);

private:
    std::vector<uint8_t> m_data;
    int64_t m_begin = 0; // oldest byte still held
    int64_t m_read = 0;
    int64_t m_write = 0;
};

} // namespace engine
