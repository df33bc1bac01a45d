#include "device_files.h"

#include <cctype>

#include <windows.h>

namespace vx7sim::win {
namespace {

std::string_view without_long_prefix(std::string_view p)
{
    if (p.substr(0, 4) == "\\\\?\\")
        p.remove_prefix(4);
    return p;
}

bool same_path(std::string_view a, std::string_view b)
{
    if (a.size() != b.size())
        return false;
    for (size_t i = 0; i < a.size(); ++i) {
        auto ca = static_cast<unsigned char>(a[i] == '/' ? '\\' : a[i]);
        auto cb = static_cast<unsigned char>(b[i] == '/' ? '\\' : b[i]);
        if (std::tolower(ca) != std::tolower(cb))
            return false;
    }
    return true;
}

void make_parent_dirs(const std::string &file)
{
    for (size_t i = 3; i < file.size(); ++i)
        if (file[i] == '\\' || file[i] == '/')
            ::CreateDirectoryA(file.substr(0, i).c_str(), nullptr);
}

} // namespace

std::string device_file(std::string_view interface_path, std::string_view state_path)
{
    if (interface_path.size() >= 3 && std::isalpha(static_cast<unsigned char>(interface_path[0])) &&
        interface_path[1] == ':' && (interface_path[2] == '\\' || interface_path[2] == '/'))
        return std::string(interface_path);
    const auto sep = state_path.find_last_of("\\/");
    const std::string_view dir =
        sep == std::string_view::npos || sep == 0 ? std::string_view(".") : state_path.substr(0, sep);
    std::string file;
    file.append(dir).append("\\").append(without_long_prefix(interface_path));
    return file;
}

void sync_device_files(const Sim &sim)
{
    for (const DeviceInfo &d : sim.devices()) {
        const std::string file = device_file(d.interface_path, sim.path());
        if (d.attached) {
            if (::GetFileAttributesA(file.c_str()) != INVALID_FILE_ATTRIBUTES)
                continue;
            make_parent_dirs(file);
            HANDLE h = ::CreateFileA(file.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                     OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
            if (h != INVALID_HANDLE_VALUE)
                ::CloseHandle(h);
        } else {
            ::DeleteFileA(file.c_str());
        }
    }
}

int device_for_file(const Sim &sim, std::string_view file)
{
    file = without_long_prefix(file);
    for (const DeviceInfo &d : sim.devices())
        if (same_path(without_long_prefix(device_file(d.interface_path, sim.path())), file))
            return d.id;
    return -1;
}

} // namespace vx7sim::win
