#pragma once

#include <cstdint>
#include <string>

namespace engine {

// A source of encoded audio bytes (a local file, a caller's file procedures, an internet
// stream). The decoder reads it on its own thread; nothing here is called on the mixer thread.
class ByteSource
{
public:
    virtual ~ByteSource() = default;

    // Blocks until at least one byte is available, the end is reached or abort() is called.
    // Returns the number of bytes copied (> 0), 0 at the end of the data, -1 on an error or
    // after abort().
    virtual int64_t read(uint8_t *buffer, int64_t size) = 0;

    // Moves the read position to `offset` bytes from the start. Returns false when the source
    // cannot seek there (an endless stream, a position not downloaded).
    virtual bool seek(int64_t offset) = 0;

    // Total size in bytes, or -1 when unknown (an endless stream).
    virtual int64_t length() const = 0;

    // Byte position of the next read, counted from the start of the data.
    virtual int64_t position() const = 0;

    // Bytes that have arrived so far (for a file: its length); the "downloaded" position.
    virtual int64_t available() const = 0;

    // What BASS_FILEPOS_END reports: the length, or for an endless stream what has arrived.
    virtual int64_t endPosition() const
    {
        const int64_t len = length();
        return len >= 0 ? len : available();
    }

    // What BASS_FILEPOS_BUFFER reports: the bytes that have arrived ahead of the read
    // position; a source that keeps everything it downloads reports all that has arrived.
    virtual int64_t bufferPosition() const
    {
        const int64_t ahead = available() - position();
        return ahead > 0 ? ahead : 0;
    }

    // MIME type as announced by the source ("audio/mpeg"), or empty when unknown.
    virtual std::string contentType() const { return {}; }

    // Makes a blocked or later read() return -1 at once. Safe from any thread.
    virtual void abort() = 0;
};

} // namespace engine
