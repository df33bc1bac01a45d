// Daemon control end to end: the installed vx7_driver and vx7_driver_quiet
// started, stopped and restarted inside a sandbox (no device attached; the
// daemon keeps searching, which is all these tests need).
#include "driver_sandbox.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

using namespace vx7test;
namespace fs = std::filesystem;

namespace {

const std::string kNotRunning = "daemon is not running\n";

std::string already_running(const Program &p, const std::string &lock)
{
    return "daemon already running (or can not open lock file [" + lock + "])\n" + result_line(p, 2);
}

// Exit status of the first orphan seen to end with `status` after `seen`
// earlier exits, waiting for it.
bool orphan_ended_with(Sandbox &sb, std::size_t seen, int status)
{
    return Sandbox::wait_until([&] {
        const auto ex = sb.exits();
        return std::any_of(ex.begin() + static_cast<long>(std::min(seen, ex.size())), ex.end(),
                           [&](const auto &e) { return e.second == status; });
    });
}

std::string readlink_in(Sandbox &sb, const std::string &path)
{
    auto r = sb.run("readlink " + path);
    if (!r.out.empty() && r.out.back() == '\n')
        r.out.pop_back();
    return r.out;
}

class Daemon : public ::testing::TestWithParam<Program> {
protected:
    const Program &prog() const { return GetParam(); }
    std::string exe() const { return bin(GetParam()); }
};

} // namespace

// Start and stop: messages, exit codes, the lock file's content, the daemon's
// session, working directory and standard descriptors, and what it leaves.
TEST_P(Daemon, StartThenStop)
{
    Sandbox sb(driver_options());
    const auto start = sb.run(exe());
    EXPECT_EQ(start.status, 1);
    EXPECT_EQ(start.out, result_line(prog(), 1));

    int pid = 0;
    ASSERT_TRUE(Sandbox::wait_until([&] { return (pid = lock_pid(sb, prog())) > 0; }));
    ASSERT_TRUE(wait_ready(sb, pid));
    const std::string content = sb.read(lock_path(prog()));
    const bool decimal = !content.empty() && content[0] >= '1' && content[0] <= '9' &&
                         content.find_first_not_of("0123456789") == std::string::npos;
    EXPECT_TRUE(decimal) << "lock file holds [" << content << "]";
    EXPECT_EQ(content, std::to_string(pid));

    // Session leader (field 6 of stat is the session ID), working directory /.
    const auto stat = sb.run("cat /proc/" + std::to_string(pid) + "/stat").out;
    const std::string after = stat.substr(stat.rfind(')') + 2);
    std::istringstream fields(after);
    std::string state, ppid, pgrp, session;
    fields >> state >> ppid >> pgrp >> session;
    EXPECT_EQ(session, std::to_string(pid));
    EXPECT_EQ(readlink_in(sb, "/proc/" + std::to_string(pid) + "/cwd"), "/");

    // Closed streams: their descriptors lead to /dev/null, never to a channel
    // file; vx7_driver_quiet keeps the invoker's standard output.
    const std::string fd = "/proc/" + std::to_string(pid) + "/fd/";
    EXPECT_EQ(readlink_in(sb, fd + "0"), "/dev/null");
    EXPECT_EQ(readlink_in(sb, fd + "2"), "/dev/null");
    EXPECT_EQ(readlink_in(sb, fd + "1"), prog().keeps_stdout ? "/.sandbox/1.out" : "/dev/null");
    // Standard descriptors are never close-on-exec (O_CLOEXEC is 02000000 in
    // the octal "flags" of fdinfo).
    for (int n = 0; n <= 2; ++n) {
        const std::string flags =
            sb.run("sed -n 's/^flags:[[:space:]]*//p' /proc/" + std::to_string(pid) + "/fdinfo/" + std::to_string(n))
                .out;
        ASSERT_FALSE(flags.empty()) << "descriptor " << n;
        EXPECT_EQ(std::stoul(flags, nullptr, 8) & 02000000u, 0u) << "descriptor " << n << " is close-on-exec";
    }

    for (int i = 1; i <= 4; ++i)
        EXPECT_EQ(sb.read("/adc" + std::to_string(i) + ".adc"), kBlank);

    const auto stop = sb.run(exe() + " stop");
    EXPECT_EQ(stop.status, 1);
    EXPECT_EQ(stop.out, result_line(prog(), 1));
    EXPECT_EQ(sb.wait_exit(pid), 0);
    EXPECT_FALSE(fs::exists(sb.host(lock_path(prog()))));
    for (int i = 1; i <= 4; ++i)
        EXPECT_EQ(sb.read("/adc" + std::to_string(i) + ".adc"), kBlank);
    EXPECT_FALSE(fs::exists(sb.host(log_path(prog())))) << "nothing to log after a clean stop";
}

// A second start while a daemon runs: the invoker ends with 1, the forked
// process prints the already-running message and ends with 2, the running
// daemon and its lock stay as they were.
TEST_P(Daemon, SecondStartIsRefused)
{
    Sandbox sb(driver_options());
    const int pid = start_daemon(sb, prog());
    ASSERT_GT(pid, 0);
    const std::size_t seen = sb.exits().size();
    const auto again = sb.run(exe() + " start");
    EXPECT_EQ(again.status, 1);
    ASSERT_TRUE(orphan_ended_with(sb, seen, 2)) << "forked process did not end with 2";
    const std::string parent = result_line(prog(), 1);
    const std::string child = already_running(prog(), lock_path(prog()));
    const std::string out = sb.output(again.id);
    EXPECT_TRUE(out == parent + child || out == child + parent) << out;
    EXPECT_EQ(lock_pid(sb, prog()), pid);
    EXPECT_TRUE(sb.alive(pid));
}

// Command words: what each answers with and without a lock file.
TEST_P(Daemon, CommandWords)
{
    Sandbox sb(driver_options());
    struct Case {
        std::string args;
        int status;
        std::string out;
    };
    const std::vector<Case> without_lock{
        {"stop", 255, kNotRunning + result_line(prog(), -1)},
        {"restart", 255, kNotRunning + result_line(prog(), -1)},
        {"status", 255, kNotRunning + result_line(prog(), -1)},
        {"stop now", 255, kNotRunning + result_line(prog(), -1)},
    };
    for (const auto &c : without_lock) {
        SCOPED_TRACE(c.args);
        const auto r = sb.run(exe() + " " + c.args);
        EXPECT_EQ(r.status, c.status);
        EXPECT_EQ(r.out, c.out);
    }
    EXPECT_FALSE(fs::exists(sb.host(lock_path(prog())))) << "restart without a daemon started one";

    const int pid = start_daemon(sb, prog());
    ASSERT_GT(pid, 0);
    // argv[0] as typed goes into the usage line.
    const std::string dir = fs::path(exe()).parent_path().string();
    const std::vector<Case> with_lock{
        {exe() + " status", 254, "usage: " + exe() + " [stop]\n" + result_line(prog(), -2)},
        {exe() + " Stop", 254, "usage: " + exe() + " [stop]\n" + result_line(prog(), -2)},
        {exe() + " START", 254, "usage: " + exe() + " [stop]\n" + result_line(prog(), -2)},
        {"cd " + dir + " && ./" + prog().name + " x", 254,
         "usage: ./" + std::string(prog().name) + " [stop]\n" + result_line(prog(), -2)},
    };
    for (const auto &c : with_lock) {
        SCOPED_TRACE(c.args);
        const auto r = sb.run(c.args);
        EXPECT_EQ(r.status, c.status);
        EXPECT_EQ(r.out, c.out);
    }
    EXPECT_TRUE(sb.alive(pid));
    EXPECT_EQ(lock_pid(sb, prog()), pid);

    // A second argument after "stop" is ignored.
    const auto stop = sb.run(exe() + " stop now");
    EXPECT_EQ(stop.status, 1);
    EXPECT_EQ(sb.wait_exit(pid), 0);
}

// Every stop signal ends the daemon in order: status 0, lock gone, files blank.
TEST_P(Daemon, EachStopSignal)
{
    Sandbox sb(driver_options());
    for (const char *sig : {"USR1", "INT", "TERM", "HUP", "QUIT"}) {
        SCOPED_TRACE(sig);
        const int pid = start_daemon(sb, prog());
        ASSERT_GT(pid, 0);
        sb.write("/adc3.adc", std::string(100, 'x')); // blanking must undo this
        EXPECT_EQ(sb.run(std::string("kill -") + sig + " " + std::to_string(pid)).status, 0);
        EXPECT_EQ(sb.wait_exit(pid), 0);
        EXPECT_FALSE(fs::exists(sb.host(lock_path(prog()))));
        EXPECT_EQ(sb.read("/adc3.adc"), kBlank);
    }
}

// Restart: the old daemon ends on its own, a new one takes the lock.
TEST_P(Daemon, Restart)
{
    Sandbox sb(driver_options());
    const int old_pid = start_daemon(sb, prog());
    ASSERT_GT(old_pid, 0);
    const int new_pid = start_daemon(sb, prog(), "restart");
    ASSERT_GT(new_pid, 0);
    EXPECT_NE(new_pid, old_pid);
    EXPECT_EQ(sb.wait_exit(old_pid), 0);
    // The old daemon's exit must not take the new daemon's lock with it.
    EXPECT_EQ(lock_pid(sb, prog()), new_pid);
    EXPECT_TRUE(sb.alive(new_pid));
    EXPECT_EQ(sb.run(exe() + " stop").status, 1);
    EXPECT_EQ(sb.wait_exit(new_pid), 0);
}

INSTANTIATE_TEST_SUITE_P(Builds, Daemon, ::testing::Values(kDriver, kQuiet),
                         [](const ::testing::TestParamInfo<Program> &tp) { return std::string(tp.param.name); });
