#include "channel_file.h"

#include "vx7/stream.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

namespace vx7::stream {
namespace {

void set_waiting(Channel &c, int error)
{
    unmap(c);
    c.state = VX7_STREAM_CHANNEL_WAITING;
    c.error = error;
}

void set_unusable(Channel &c, int error)
{
    unmap(c);
    c.state = VX7_STREAM_CHANNEL_UNUSABLE;
    c.error = error;
}

} // namespace

bool fill_path(char (&dst)[kPathMax], const char *dir, int channel)
{
    const std::size_t n = std::strlen(dir);
    // dir + "/adcN.adc" + NUL
    if (n + 10 > kPathMax)
        return false;
    std::memcpy(dst, dir, n);
    std::memcpy(dst + n, "/adc1.adc", 10);
    dst[n + 4] = static_cast<char>('0' + channel);
    return true;
}

void unmap(Channel &c)
{
    if (c.map != nullptr)
        ::munmap(const_cast<char *>(c.map), record::kSize);
    c.map = nullptr;
    c.raw_valid = false;
    c.word_valid = false;
}

void try_map(Channel &c)
{
    const int fd = ::open(c.path, O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    if (fd < 0) {
        if (errno == ENOENT || errno == ENOTDIR)
            set_waiting(c, errno);
        else
            set_unusable(c, errno);
        return;
    }
    struct stat st;
    if (::fstat(fd, &st) != 0) {
        const int e = errno;
        ::close(fd);
        set_unusable(c, e);
        return;
    }
    if (!S_ISREG(st.st_mode)) {
        ::close(fd);
        set_unusable(c, S_ISDIR(st.st_mode) ? EISDIR : ENODEV);
        return;
    }
    if (static_cast<std::size_t>(st.st_size) < record::kSize) {
        ::close(fd);
        set_waiting(c, 0);
        return;
    }
    void *p = ::mmap(nullptr, record::kSize, PROT_READ, MAP_SHARED, fd, 0);
    const int e = errno;
    ::close(fd); // the mapping keeps the file
    if (p == MAP_FAILED) {
        set_unusable(c, e);
        return;
    }
    unmap(c);
    c.map = static_cast<const char *>(p);
    c.loss.mapped(!c.opened);
    c.dev = st.st_dev;
    c.ino = st.st_ino;
    c.state = VX7_STREAM_CHANNEL_MAPPED;
    c.error = 0;
}

void check_file(Channel &c)
{
    if (c.map == nullptr) {
        try_map(c);
        return;
    }
    struct stat st;
    if (::stat(c.path, &st) != 0) {
        set_waiting(c, errno);
        return;
    }
    if (st.st_dev != c.dev || st.st_ino != c.ino) {
        try_map(c);
        return;
    }
    if (static_cast<std::size_t>(st.st_size) < record::kSize)
        set_waiting(c, 0);
}

} // namespace vx7::stream
