#pragma once

#include "bytesource.h"

#include <atomic>
#include <cstdio>
#include <memory>
#include <string>

namespace engine {

// A local file, or the window [offset, offset + length) of it, as a ByteSource. Reads never
// block for long; position() and available() may be read from any thread.
class FileSource : public ByteSource
{
public:
    // Returns null when the file cannot be opened or the window lies outside it.
    static std::unique_ptr<FileSource> open(const std::string &path, uint64_t offset,
                                            uint64_t length);
    ~FileSource() override;

    int64_t read(uint8_t *buffer, int64_t size) override;
    bool seek(int64_t offset) override;
    int64_t length() const override { return m_length; }
    int64_t position() const override { return m_position.load(std::memory_order_relaxed); }
    int64_t available() const override { return m_length; }
    void abort() override { m_aborted.store(true); }

private:
    FileSource() = default;

    int m_fd = -1;
    int64_t m_start = 0;
    int64_t m_length = 0;
    std::atomic<int64_t> m_position{0};
    std::atomic<bool> m_aborted{false};
};

} // namespace engine
