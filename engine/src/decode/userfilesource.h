#pragma once

#include "bass.h"
#include "bytesource.h"

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace engine {

// A caller's file procedures as a ByteSource. Without buffering the decoder thread calls the
// read procedure itself. With buffering (STREAMFILE_BUFFER) a reading thread of its own calls
// it and fills a buffer ahead of the decoder, so that available() tells how much has arrived.
// The close procedure is called once, when the source is destroyed, after the last read.
class UserFileSource : public ByteSource
{
public:
    UserFileSource(DWORD system, DWORD flags, const BASS_FILEPROCS &procs, void *user);
    ~UserFileSource() override;

    // Until this is called, reads go straight to the procedure on the calling thread (the
    // stream is being created there); afterwards a buffered source reads on its own thread.
    void startReading();

    int64_t read(uint8_t *buffer, int64_t size) override;
    bool seek(int64_t offset) override;
    int64_t length() const override { return m_length; }
    int64_t position() const override { return m_position.load(); }
    int64_t available() const override { return m_fetched.load(); }
    // The length procedure's answer: 0 when it gave none (the length is unknown).
    int64_t endPosition() const override { return m_length >= 0 ? m_length : 0; }
    void abort() override;

private:
    void readerLoop();

    BASS_FILEPROCS m_procs;
    void *m_user;
    bool m_buffered;
    bool m_block;
    int64_t m_length = -1;
    std::atomic<int64_t> m_position{0}; // next byte the decoder reads
    std::atomic<int64_t> m_fetched{0};  // bytes read from the procedure so far (end of buffer)

    // Buffered mode: bytes [m_fetched - m_buffer.size(), m_fetched) are held.
    std::mutex m_mutex;
    std::condition_variable m_cv;
    std::deque<uint8_t> m_buffer;
    size_t m_bufferLimit = 0;
    bool m_eof = false;
    bool m_failed = false;
    bool m_aborted = false;
    bool m_stop = false;
    int64_t m_seekRequest = -1;
    std::atomic<bool> m_readerStarted{false};
    std::thread m_reader;
};

} // namespace engine
