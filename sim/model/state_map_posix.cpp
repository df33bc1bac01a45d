// POSIX mapping of the simulator's state file.
#include "state_map.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <optional>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include "vx7common/unique_fd.h"

namespace vx7sim::detail {

namespace {

// A new state file under a temporary name beside path: removed again unless
// kept (once it has been renamed into place).
class NewFile {
public:
    explicit NewFile(const std::string &path) : name_(path + ".XXXXXX")
    {
        fd_.reset(::mkostemp(name_.data(), O_CLOEXEC));
        if (!fd_.valid())
            name_.clear();
    }
    ~NewFile()
    {
        if (!name_.empty())
            ::unlink(name_.c_str());
    }
    NewFile(const NewFile &) = delete;
    NewFile &operator=(const NewFile &) = delete;

    const vx7::UniqueFD &fd() const { return fd_; }
    const std::string &name() const { return name_; }
    void keep() { name_.clear(); }

private:
    std::string name_;
    vx7::UniqueFD fd_;
};

} // namespace

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
    std::optional<NewFile> made;
    vx7::UniqueFD existing;
    if (create)
        made.emplace(path);
    else
        existing.reset(::open(path.c_str(), O_RDWR | O_CLOEXEC));
    const vx7::UniqueFD &fd = create ? made->fd() : existing;
    if (!fd.valid()) {
        error = path + ": " + std::strerror(errno);
        return false;
    }
    if (create) {
        if (::fchmod(fd.get(), 0664) != 0 || ::ftruncate(fd.get(), static_cast<off_t>(size)) != 0) {
            error = path + ": cannot size: " + std::strerror(errno);
            return false;
        }
    } else {
        struct stat st {};
        if (::fstat(fd.get(), &st) != 0 || static_cast<std::size_t>(st.st_size) < size) {
            error = path + ": not a simulator state file (too short)";
            return false;
        }
    }
    void *p = ::mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd.get(), 0);
    if (p == MAP_FAILED) {
        error = path + ": cannot map: " + std::strerror(errno);
        return false;
    }
    // The mapping keeps the file; the descriptor is closed on return.
    if (create) {
        if (::rename(made->name().c_str(), path.c_str()) != 0) {
            error = path + ": " + std::strerror(errno);
            ::munmap(p, size);
            return false;
        }
        made->keep();
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
