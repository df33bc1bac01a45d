// Header-only RAII owner of a POSIX file descriptor, for the shipped units.
// Move-only; closes on destruction unless released. No exceptions, no
// allocation.
#ifndef VX7_COMMON_UNIQUE_FD_H
#define VX7_COMMON_UNIQUE_FD_H

#include <unistd.h>

namespace vx7 {

class UniqueFD {
public:
    UniqueFD() = default;
    explicit UniqueFD(int fd) : fd_(fd) {}
    UniqueFD(UniqueFD &&other) noexcept : fd_(other.release()) {}
    UniqueFD &operator=(UniqueFD &&other) noexcept
    {
        reset(other.release());
        return *this;
    }
    UniqueFD(const UniqueFD &) = delete;
    UniqueFD &operator=(const UniqueFD &) = delete;
    ~UniqueFD() { reset(); }

    [[nodiscard]] int get() const { return fd_; }
    [[nodiscard]] bool valid() const { return fd_ >= 0; }

    // Gives up ownership; the caller now closes the descriptor.
    [[nodiscard]] int release()
    {
        int fd = fd_;
        fd_ = -1;
        return fd;
    }

    void reset(int fd = -1)
    {
        if (fd_ >= 0)
            ::close(fd_);
        fd_ = fd;
    }

private:
    int fd_ = -1;
};

} // namespace vx7

#endif
