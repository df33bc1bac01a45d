// End-to-end tests of the installed driver programs: a sandbox in which the
// test's install prefix is visible, the stand-in libusb comes first on
// LD_LIBRARY_PATH and VX7SIM_STATE names a simulator state file inside the
// sandbox (/sim/state; without a state file there is no device at all).
#pragma once

#include "sandbox.h"

#include <cstdlib>
#include <ostream>
#include <string>
#include <string_view>

namespace vx7test {

struct Program {
    const char *name;
    bool prints_result; // vx7_driver writes dmn_init_std's result on stdout
    bool keeps_stdout;  // vx7_driver_quiet's daemon leaves stdout open
};

inline void PrintTo(const Program &p, std::ostream *os)
{
    *os << p.name;
}

inline constexpr Program kDriver{"vx7_driver", true, false};
inline constexpr Program kQuiet{"vx7_driver_quiet", false, true};

inline std::string prefix()
{
    return VX7_TEST_PREFIX;
}

inline std::string bin(const Program &p)
{
    return prefix() + "/bin/" + p.name;
}

inline constexpr char kHome[] = "/home/dev";
inline constexpr char kState[] = "/sim/state";

inline std::string lock_path(const Program &p)
{
    return std::string(kHome) + "/.log/" + p.name + ".pid";
}

inline std::string log_path(const Program &p)
{
    return std::string(kHome) + "/.log/" + p.name + ".log";
}

inline SandboxOptions driver_options(SandboxOptions o = {})
{
    o.ro_binds.push_back(prefix());
    o.ro_binds.push_back(VX7SIM_LIBUSB_DIR);
    o.dirs.push_back("/sim");
    o.env.emplace_back("LD_LIBRARY_PATH", VX7SIM_LIBUSB_DIR);
    o.env.emplace_back("VX7SIM_STATE", kState);
    return o;
}

// What the program prints for a result `rc` after dmn_init_std's message.
inline std::string result_line(const Program &p, int rc)
{
    return p.prints_result ? std::to_string(rc) + "\n" : "";
}

// The PID in a lock file, or 0.
inline int lock_pid(const Sandbox &sb, const Program &p)
{
    const std::string s = sb.read(lock_path(p));
    return s.empty() ? 0 : std::atoi(s.c_str());
}

// Waits until the daemon `pid` has mapped all four channel files, i.e. has
// entered its loop.
inline bool wait_ready(Sandbox &sb, int pid)
{
    const std::string cmd = "grep -q /adc4.adc /proc/" + std::to_string(pid) + "/maps";
    return Sandbox::wait_until([&] { return sb.run(cmd).status == 0; });
}

// Starts a daemon (or restarts one) and waits until a new daemon holds the
// lock and has entered its loop. Returns its PID, 0 on failure.
inline int start_daemon(Sandbox &sb, const Program &p, const std::string &word = "start")
{
    const std::string before = sb.read(lock_path(p));
    const auto r = sb.run(bin(p) + " " + word);
    if (r.status != 1)
        return 0;
    std::string now;
    if (!Sandbox::wait_until([&] {
            now = sb.read(lock_path(p));
            return !now.empty() && now != before && now.find_first_not_of("0123456789") == std::string::npos;
        }))
        return 0;
    const int pid = std::atoi(now.c_str());
    return wait_ready(sb, pid) ? pid : 0;
}

inline const std::string kBlank(100, ' ');

} // namespace vx7test
