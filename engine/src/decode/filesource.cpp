#include "filesource.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

namespace engine {

std::unique_ptr<FileSource> FileSource::open(const std::string &path, uint64_t offset,
                                             uint64_t length)
{
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return nullptr;
    struct stat st
    {
    };
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || uint64_t(st.st_size) < offset) {
        ::close(fd);
        return nullptr;
    }
    std::unique_ptr<FileSource> source(new FileSource);
    source->m_fd = fd;
    source->m_start = int64_t(offset);
    const uint64_t rest = uint64_t(st.st_size) - offset;
    source->m_length = int64_t(length == 0 ? rest : std::min(length, rest));
    return source;
}

FileSource::~FileSource()
{
    if (m_fd >= 0)
        ::close(m_fd);
}

int64_t FileSource::read(uint8_t *buffer, int64_t size)
{
    if (m_aborted.load())
        return -1;
    const int64_t pos = m_position.load(std::memory_order_relaxed);
    const int64_t n = std::min(size, m_length - pos);
    if (n <= 0)
        return 0;
    ssize_t r;
    do {
        r = ::pread(m_fd, buffer, size_t(n), m_start + pos);
    } while (r < 0 && errno == EINTR);
    if (r < 0)
        return -1;
    m_position.store(pos + r, std::memory_order_relaxed);
    return r;
}

bool FileSource::seek(int64_t offset)
{
    if (offset < 0 || offset > m_length)
        return false;
    m_position.store(offset, std::memory_order_relaxed);
    return true;
}

} // namespace engine
