// POSIX mapping of the simulator's state file.
#include "state_map.h"

#include <cerrno>
#include <cstring>
#include <cstdlib>
#include <ctime>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

namespace vx7sim::detail {

StateMap::~StateMap()
{
    if (base_ != nullptr)
        ::munmap(base_, size_);
}

bool StateMap::map(const std::string &path, std::size_t size, bool create, std::string &error)
{
    // A new file is made under a temporary name and renamed into place, so
    // that a process still mapping an earlier file at this path keeps valid
    // (if stale) memory instead of faulting on a truncated one.
    std::string made = path;
    int fd = -1;
    if (create) {
        made = path + ".XXXXXX";
        fd = ::mkostemp(made.data(), O_CLOEXEC);
    } else {
        fd = ::open(path.c_str(), O_RDWR | O_CLOEXEC);
    }
    if (fd < 0) {
        error = path + ": " + std::strerror(errno);
        return false;
    }
    bool ok = true;
    if (create) {
        if (::fchmod(fd, 0664) != 0 || ::ftruncate(fd, static_cast<off_t>(size)) != 0) {
            error = path + ": cannot size: " + std::strerror(errno);
            ok = false;
        }
    } else {
        struct stat st {};
        if (::fstat(fd, &st) != 0 || static_cast<std::size_t>(st.st_size) < size) {
            error = path + ": not a simulator state file (too short)";
            ok = false;
        }
    }
    void *p = MAP_FAILED;
    if (ok) {
        p = ::mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
        if (p == MAP_FAILED) {
            error = path + ": cannot map: " + std::strerror(errno);
            ok = false;
        }
    }
    ::close(fd); // the mapping keeps the file
    if (ok && create && ::rename(made.c_str(), path.c_str()) != 0) {
        error = path + ": " + std::strerror(errno);
        ::munmap(p, size);
        ok = false;
    }
    if (!ok) {
        if (create)
            ::unlink(made.c_str());
        return false;
    }
    base_ = p;
    size_ = size;
    return true;
}

void sleep_ms(std::uint32_t ms)
{
    struct timespec ts {
        static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1000000L
    };
    while (::nanosleep(&ts, &ts) != 0 && errno == EINTR) {
    }
}

void pause_for_lock()
{
    struct timespec ts {
        0, 20000L
    };
    ::nanosleep(&ts, nullptr);
}

} // namespace vx7sim::detail
