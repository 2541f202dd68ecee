#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <utility>
#include <vector>

namespace engine {

// Byte store of a network stream. Positions are absolute offsets in the stream.
//
// As a ring (reset()) it keeps the unread bytes and, while space allows, the most recently read
// ones, so that a reader may step back a little (format probing does) without another request.
// Kept whole (resetWhole()) it drops nothing: every byte written stays readable, so the reader
// may seek anywhere in what has arrived. Its memory grows in chunks as data comes, up to the
// limit it was given.
//
// Not thread-safe: the owner guards it.
class NetRingBuffer
{
public:
    // Chunk size of a store kept whole.
    static constexpr size_t ChunkBytes = 256 * 1024;

    explicit NetRingBuffer(size_t capacity = 0, int64_t startOffset = 0);

    // Resets to an empty ring of `capacity` bytes starting at `startOffset`.
    void reset(size_t capacity, int64_t startOffset);
    // Resets to an empty store that keeps up to `limit` bytes from `startOffset`, all of them.
    void resetWhole(size_t limit, int64_t startOffset);
    // Changes the capacity of a ring, keeping the unread bytes (the capacity never drops below
    // them) and as much of the history as fits. A store kept whole keeps its limit.
    void resize(size_t capacity);

    bool keepsWhole() const { return m_whole; }
    size_t capacity() const { return m_whole ? m_limit : m_data.size(); }
    int64_t readPosition() const { return m_read; }
    int64_t writePosition() const { return m_write; }
    // Unread bytes.
    size_t unread() const { return static_cast<size_t>(m_write - m_read); }
    // Space a write may fill: in a ring everything that is not unread (older read bytes are
    // dropped); kept whole, what is left of the limit.
    size_t writable() const;

    // Appends at most writable() bytes; returns the number appended.
    size_t write(const uint8_t *data, size_t size);
    // Copies up to `size` unread bytes out and advances the read position.
    size_t read(uint8_t *out, size_t size);
    // Moves the read position; allowed within the held bytes (history and unread).
    bool seek(int64_t position);

private:
    // The longest run of contiguous storage that holds stream position `position`, at most
    // `size` bytes.
    std::pair<uint8_t *, size_t> span(int64_t position, size_t size);

    std::vector<uint8_t> m_data;                      // the ring
    std::vector<std::unique_ptr<uint8_t[]>> m_chunks; // kept whole: ChunkBytes each
    bool m_whole = false;
    size_t m_limit = 0;
    int64_t m_begin = 0; // oldest byte still held
    int64_t m_read = 0;
    int64_t m_write = 0;
};

} // namespace engine
