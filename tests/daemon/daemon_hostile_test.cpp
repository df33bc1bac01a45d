// Daemon control against what a hostile or careless user leaves in its way:
// a FIFO at the lock path, an empty program name, descriptors inherited from
// the invoker, a /proc that cannot tell who a PID is.
#include "driver_sandbox.h"
#include "tempdir.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <set>
#include <sstream>
#include <string>
#include <vector>

using namespace vx7test;
namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

const std::string kNotRunning = "daemon is not running\n";

std::string already_running(const Program &p)
{
    return "daemon already running (or can not open lock file [" + lock_path(p) + "])\n" + result_line(p, 2);
}

// Waits for the first orphan after `seen` earlier exits that ended with
// `status`.
bool orphan_ended_with(Sandbox &sb, std::size_t seen, int status)
{
    return Sandbox::wait_until([&] {
        const auto ex = sb.exits();
        for (std::size_t i = seen; i < ex.size(); ++i)
            if (ex[i].second == status)
                return true;
        return false;
    });
}

class DaemonHostile : public ::testing::TestWithParam<Program> {
protected:
    const Program &prog() const { return GetParam(); }
    std::string exe() const { return bin(GetParam()); }
};

} // namespace

// A FIFO (or a directory) where the lock file belongs: no command waits for a
// writer; stop and restart find no daemon, a start is refused by its forked
// process as for a lock that cannot be opened.
TEST_P(DaemonHostile, NonRegularLockFileNeverBlocks)
{
    Sandbox sb(driver_options());
    for (const char *make : {"mkfifo", "mkdir"}) {
        SCOPED_TRACE(make);
        ASSERT_EQ(sb.run("mkdir -p /home/dev/.log && " + std::string(make) + " " + lock_path(prog())).status, 0);
        for (const char *word : {"stop", "restart"}) {
            SCOPED_TRACE(word);
            const auto r = sb.run(exe() + " " + word, 5s);
            EXPECT_EQ(r.status, 255);
            EXPECT_EQ(r.out, kNotRunning + result_line(prog(), -1));
        }
        const std::size_t seen = sb.exits().size();
        const auto start = sb.run(exe() + " start", 5s);
        EXPECT_EQ(start.status, 1);
        EXPECT_TRUE(orphan_ended_with(sb, seen, 2)) << "the forked process did not give up";
        EXPECT_TRUE(Sandbox::wait_until([&] {
            const std::string out = sb.output(start.id);
            return out.find(already_running(prog())) != std::string::npos;
        })) << sb.output(start.id);
        // Nothing holds the lock directory's guard: a second round answers too.
        const auto again = sb.run(exe() + " stop", 5s);
        EXPECT_EQ(again.status, 255);
        ASSERT_EQ(sb.run("rm -r " + lock_path(prog())).status, 0);
    }
}

// A FIFO at the log path: a lock that cannot be removed is then simply not
// logged, and neither "restart" nor the old daemon's exit waits for a reader.
TEST_P(DaemonHostile, FifoLogFileNeverBlocks)
{
    Sandbox sb(driver_options());
    const int pid = start_daemon(sb, prog());
    ASSERT_GT(pid, 0);
    ASSERT_EQ(sb.run("mkfifo " + log_path(prog()) + " && chmod 555 /home/dev/.log").status, 0);
    const auto restart = sb.run(exe() + " restart", 5s);
    EXPECT_EQ(restart.status, 1) << "restart waited on the log FIFO";
    EXPECT_EQ(sb.wait_exit(pid, 5s), 0) << "the old daemon's exit waited on the log FIFO";
    EXPECT_EQ(lock_pid(sb, prog()), pid) << "the lock could not be removed, so it stays";
}

// argv[0] empty or "/": there is no program name to build the lock file from,
// so nothing is started and nothing stopped.
TEST_P(DaemonHostile, EmptyProgramNameIsRefused)
{
    Sandbox sb(driver_options());
    const int pid = start_daemon(sb, prog());
    ASSERT_GT(pid, 0);
    const std::string refused = "can not build lock file path: no program name\n" + result_line(prog(), -3);
    for (const char *name : {"", "/", "/opt/bin/"}) {
        for (const char *word : {"start", "stop", "restart", ""}) {
            SCOPED_TRACE(std::string("argv[0] [") + name + "] " + word);
            const auto r = sb.run("bash -c 'exec -a \"" + std::string(name) + "\" " + exe() + " " + word + "'");
            EXPECT_EQ(r.status, 253);
            EXPECT_EQ(r.out, refused);
        }
    }
    EXPECT_TRUE(sb.alive(pid)) << "a nameless stop signalled the daemon";
    EXPECT_EQ(lock_pid(sb, prog()), pid);
    // Exactly one daemon: only the one started by name maps the channel files.
    const auto count = sb.run("grep -l /adc1.adc /proc/[0-9]*/maps 2>/dev/null | wc -l");
    EXPECT_EQ(count.out, "1\n");
    EXPECT_EQ(sb.run(exe() + " stop").status, 1);
    EXPECT_EQ(sb.wait_exit(pid), 0);
}

// Descriptors the invoker passed beyond 0-2 are closed in the daemon: a pipe
// handed down as descriptor 5 reaches its end as soon as the invoker is done.
TEST_P(DaemonHostile, InheritedDescriptorsAreClosed)
{
    Sandbox sb(driver_options());
    // The quiet build keeps standard output, so only descriptor 5 leads to
    // the pipe there.
    const std::string redirect = prog().keeps_stdout ? " 5>&1 >/dev/null" : " 5>&1";
    const auto r = sb.run(exe() + " start" + redirect + " 7</dev/null 9>/tmp/nine | cat", 5s);
    EXPECT_EQ(r.status, 0) << "the pipeline did not end: the daemon holds the pipe";
    int pid = 0;
    ASSERT_TRUE(Sandbox::wait_until([&] { return (pid = lock_pid(sb, prog())) > 0; }));
    ASSERT_TRUE(wait_ready(sb, pid));
    const auto fds = sb.run("ls -l /proc/" + std::to_string(pid) + "/fd");
    EXPECT_EQ(fds.out.find("pipe:"), std::string::npos) << fds.out;
    EXPECT_EQ(fds.out.find("/tmp/nine"), std::string::npos) << fds.out;
    EXPECT_EQ(sb.run(exe() + " stop").status, 1);
    EXPECT_EQ(sb.wait_exit(pid), 0);
}

// Whatever descriptors above 2 the invoker passes, the lowest (3) and one far
// above the rest included, the daemon keeps none of them: each of its
// descriptors above 2 is one of the channel files it opened itself.
TEST_P(DaemonHostile, NoDescriptorAboveTwoSurvives)
{
    struct Case {
        const char *what;
        const char *redirects; // bash redirections on the start command
    } cases[] = {
        {"3 alone", "3>/tmp/in3"},
        {"3 and 4", "3>/tmp/in3 4</tmp/in4"},
        {"3 to 9", "3>/tmp/in3 4</tmp/in4 5>/tmp/in5 6</tmp/in6 7>/tmp/in7 8</tmp/in8 9>/tmp/in9"},
        {"3 and a far one", "3</tmp/in3 200>/tmp/in200"},
    };
    Sandbox sb(driver_options());
    ASSERT_EQ(sb.run("touch /tmp/in3 /tmp/in4 /tmp/in6 /tmp/in8").status, 0);
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        const auto r = sb.run("bash -c '" + exe() + " start " + c.redirects + "'");
        ASSERT_EQ(r.status, 1) << r.out << r.err;
        int pid = 0;
        ASSERT_TRUE(Sandbox::wait_until([&] { return (pid = lock_pid(sb, prog())) > 0; }));
        ASSERT_TRUE(wait_ready(sb, pid));
        const std::string dir = "/proc/" + std::to_string(pid) + "/fd";
        const auto fds = sb.run("cd " + dir + " && for fd in *; do echo \"$fd $(readlink $fd)\"; done");
        ASSERT_EQ(fds.status, 0) << fds.err;
        std::istringstream lines(fds.out);
        int fd = -1;
        std::string target;
        std::set<std::string> channel_files;
        while (lines >> fd >> target) {
            if (fd <= 2)
                continue;
            const bool channel_file = target.size() == 9 && target.starts_with("/adc") && target.ends_with(".adc") &&
                                      target[4] >= '1' && target[4] <= '4';
            EXPECT_TRUE(channel_file) << "descriptor " << fd << " leads to " << target;
            channel_files.insert(target);
        }
        EXPECT_EQ(channel_files.size(), 4u) << fds.out;
        EXPECT_EQ(sb.run(exe() + " stop").status, 1);
        EXPECT_EQ(sb.wait_exit(pid), 0);
    }
}

// Without /proc nobody can tell whether the PID in a lock file is a daemon of
// this program. A start then must not take the lock over (two daemons), and a
// stop must not signal (it could hit anything); stop says why.
TEST_P(DaemonHostile, LivenessThatCannotBeJudged)
{
#ifdef VX7_SANITIZED
    GTEST_SKIP() << "the sanitizer runtime needs /proc";
#endif
    TempDir empty;
    SandboxOptions o = driver_options();
    o.ro_files.emplace_back(empty.path().string(), "/proc"); // hides the sandbox's /proc
    Sandbox sb(o);
    ASSERT_NE(sb.run("test -e /proc/self").status, 0) << "the sandbox still has /proc";

    ASSERT_EQ(sb.run(exe()).status, 1);
    int pid = 0;
    ASSERT_TRUE(Sandbox::wait_until([&] { return (pid = lock_pid(sb, prog())) > 0; }));
    ASSERT_TRUE(sb.wait_for_file("/adc4.adc"));

    const std::size_t seen = sb.exits().size();
    const auto start = sb.run(exe() + " start");
    EXPECT_EQ(start.status, 1);
    EXPECT_TRUE(orphan_ended_with(sb, seen, 2)) << "a second daemon took the lock over";
    EXPECT_TRUE(Sandbox::wait_until([&] {
        return sb.output(start.id).find(already_running(prog())) != std::string::npos;
    })) << sb.output(start.id);

    const std::string why = "lock file names PID " + std::to_string(pid) +
                            ", which can not be checked (no /proc, or /proc hides it): no signal sent\n";
    for (const char *word : {"stop", "restart"}) {
        SCOPED_TRACE(word);
        const auto r = sb.run(exe() + " " + word);
        EXPECT_EQ(r.status, 255);
        EXPECT_EQ(r.out, kNotRunning + why + result_line(prog(), -1));
    }
    EXPECT_TRUE(sb.alive(pid));
    EXPECT_EQ(lock_pid(sb, prog()), pid);

    // The daemon itself still cleans up after a stop signal.
    ASSERT_EQ(sb.run("kill -USR1 " + std::to_string(pid)).status, 0);
    EXPECT_EQ(sb.wait_exit(pid), 0);
    EXPECT_FALSE(fs::exists(sb.host(lock_path(prog()))));

    // A lock whose PID is gone is still recognised as stale and taken over.
    const int dead = std::atoi(sb.run("sh -c 'echo $$'").out.c_str());
    sb.write(lock_path(prog()), std::to_string(dead));
    ASSERT_EQ(sb.run(exe()).status, 1);
    int fresh = 0;
    ASSERT_TRUE(Sandbox::wait_until([&] { return (fresh = lock_pid(sb, prog())) != dead && fresh > 0; }));
    ASSERT_EQ(sb.run("kill -USR1 " + std::to_string(fresh)).status, 0);
    EXPECT_EQ(sb.wait_exit(fresh), 0);
}

INSTANTIATE_TEST_SUITE_P(Builds, DaemonHostile, ::testing::Values(kDriver, kQuiet),
                         [](const ::testing::TestParamInfo<Program> &tp) { return std::string(tp.param.name); });
