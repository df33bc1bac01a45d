// Windows mapping of the simulator's state file. Under wine a file mapping
// of a real file is shared with Linux processes that mmap the same file.
#include "state_map.h"

#include <windows.h>

namespace vx7sim::detail {

StateMap::~StateMap()
{
    if (base_ != nullptr)
        ::UnmapViewOfFile(base_);
    if (handle_ != -1)
        ::CloseHandle(reinterpret_cast<HANDLE>(handle_));
}

bool StateMap::map(const std::string &path, std::size_t size, bool create, std::string &error)
{
    HANDLE file = ::CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE,
                                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                create ? CREATE_ALWAYS : OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        error = path + ": cannot open (error " + std::to_string(::GetLastError()) + ")";
        return false;
    }
    LARGE_INTEGER length{};
    if (!create && (!::GetFileSizeEx(file, &length) || static_cast<unsigned long long>(length.QuadPart) < size)) {
        ::CloseHandle(file);
        error = path + ": not a simulator state file (too short)";
        return false;
    }
    const unsigned long long wanted = size;
    // CreateFileMappingA extends a new (empty) file to the mapping's size with zeros.
    HANDLE mapping = ::CreateFileMappingA(file, nullptr, PAGE_READWRITE, static_cast<DWORD>(wanted >> 32),
                                          static_cast<DWORD>(wanted & 0xFFFFFFFFu), nullptr);
    ::CloseHandle(file); // the mapping keeps the file
    if (mapping == nullptr) {
        error = path + ": cannot map (error " + std::to_string(::GetLastError()) + ")";
        return false;
    }
    void *p = ::MapViewOfFile(mapping, FILE_MAP_ALL_ACCESS, 0, 0, size);
    if (p == nullptr) {
        error = path + ": cannot map view (error " + std::to_string(::GetLastError()) + ")";
        ::CloseHandle(mapping);
        return false;
    }
    base_ = p;
    size_ = size;
    handle_ = reinterpret_cast<std::intptr_t>(mapping);
    return true;
}

void sleep_ms(std::uint32_t ms)
{
    ::Sleep(ms);
}

void pause_for_lock()
{
    ::Sleep(0);
}

} // namespace vx7sim::detail
