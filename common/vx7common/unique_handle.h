// Header-only RAII owner of a Windows kernel handle, for the shipped units.
// Move-only; closes on destruction unless released. Both null and
// INVALID_HANDLE_VALUE count as "no handle", since CreateFileA reports failure
// with the one and CreateFileMappingA with the other.
#ifndef VX7_COMMON_UNIQUE_HANDLE_H
#define VX7_COMMON_UNIQUE_HANDLE_H

#include <windows.h>

namespace vx7 {

class UniqueHandle {
public:
    UniqueHandle() = default;
    explicit UniqueHandle(HANDLE h) : h_(h) {}
    UniqueHandle(UniqueHandle &&other) noexcept : h_(other.release()) {}
    UniqueHandle &operator=(UniqueHandle &&other) noexcept
    {
        reset(other.release());
        return *this;
    }
    UniqueHandle(const UniqueHandle &) = delete;
    UniqueHandle &operator=(const UniqueHandle &) = delete;
    ~UniqueHandle() { reset(); }

    [[nodiscard]] HANDLE get() const { return h_; }
    [[nodiscard]] bool valid() const { return h_ != nullptr && h_ != INVALID_HANDLE_VALUE; }

    // Gives up ownership; the caller now closes the handle.
    [[nodiscard]] HANDLE release()
    {
        HANDLE h = h_;
        h_ = nullptr;
        return h;
    }

    void reset(HANDLE h = nullptr)
    {
        if (valid())
            ::CloseHandle(h_);
        h_ = h;
    }

private:
    HANDLE h_ = nullptr;
};

} // namespace vx7

#endif
