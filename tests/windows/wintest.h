// Helpers for the Windows tests. Every test program runs under wine in its
// own throw-away prefix, so its whole C: drive is private to it: tests write
// there (C:\sim, C:\dev\vx7, C:\t) and nowhere else.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include <windows.h>

#include "files.h"
#include "vx7sim/sim.h"

namespace vx7test::win {

using vx7test::read_file;
using vx7test::write_file;

// The Windows name of a file of the Linux side (wine maps / to Z:).
inline std::string from_host(const std::string &unix_path)
{
    std::string p = "Z:" + unix_path;
    for (char &c : p)
        if (c == '/')
            c = '\\';
    return p;
}

inline bool exists(const std::string &path)
{
    return ::GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

// Makes every folder of `dir` (a drive path).
inline void make_dirs(const std::string &dir)
{
    for (size_t i = 3; i <= dir.size(); ++i)
        if (i == dir.size() || dir[i] == '\\' || dir[i] == '/')
            ::CreateDirectoryA(dir.substr(0, i).c_str(), nullptr);
}

inline void set_env(const char *name, const std::string &value)
{
    // Both the C runtime's copy (getenv) and the process environment (what
    // child processes inherit).
    ::_putenv_s(name, value.c_str());
    ::SetEnvironmentVariableA(name, value.c_str());
}

inline void unset_env(const char *name)
{
    ::_putenv_s(name, "");
    ::SetEnvironmentVariableA(name, nullptr);
}

// The simulated machine of one test: a fresh state file in a folder of its
// own under C:\sim, named in VX7SIM_STATE for this process and the programs
// it starts.
inline vx7sim::Sim fresh_machine()
{
    static int machines = 0;
    const std::string dir = "C:\\sim\\m" + std::to_string(++machines);
    make_dirs(dir);
    const std::string state = dir + "\\state";
    set_env(vx7sim::kStateEnv, state);
    return vx7sim::Sim::create(state);
}

// A file held open exclusively (share mode 0), as another program holding the
// device would.
class ExclusiveHold {
public:
    // Waits up to 2 s for a moment when nobody else has the file open.
    explicit ExclusiveHold(const std::string &path)
    {
        for (int i = 0; i < 2000; ++i) {
            h_ = ::CreateFileA(path.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
            if (h_ != INVALID_HANDLE_VALUE || ::GetLastError() != ERROR_SHARING_VIOLATION)
                return;
            ::Sleep(1);
        }
    }
    ~ExclusiveHold() { release(); }
    ExclusiveHold(const ExclusiveHold &) = delete;
    ExclusiveHold &operator=(const ExclusiveHold &) = delete;
    bool held() const { return h_ != INVALID_HANDLE_VALUE; }
    void release()
    {
        if (held())
            ::CloseHandle(h_);
        h_ = INVALID_HANDLE_VALUE;
    }

private:
    HANDLE h_ = INVALID_HANDLE_VALUE;
};

} // namespace vx7test::win
