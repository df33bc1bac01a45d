// The lock file against what is left behind or planted: stale and bogus PIDs
// (nothing may be signalled on their account, and a start must take them
// over), paths that do not fit, a missing HOME, a lock that cannot be removed.
#include "driver_sandbox.h"

#include <gtest/gtest.h>

#include <csignal>
#include <filesystem>
#include <string>
#include <vector>

using namespace vx7test;
namespace fs = std::filesystem;

namespace {

const std::string kNotRunning = "daemon is not running\n";
const std::string kLock = lock_path(kDriver);

// Processes that a wrong "stop" could hit. Each holds a PID that may end up
// in a planted lock file.
struct Bystanders {
    int session_leader = 0; // a session leader running another program
    int other_daemon = 0;   // a live session leader of another program (not a driver: a second driver
                            // would hold the channel files, and this one could not start)
    int dead = 0;           // a PID that no longer exists
};

int run_pid(Sandbox &sb, const std::string &cmd)
{
    return std::atoi(sb.run(cmd).out.c_str());
}

// The PID a lock file holds once it holds one (the file exists a moment
// before its content is written), or 0.
int wait_lock_pid(Sandbox &sb, const std::string &lock)
{
    int pid = 0;
    Sandbox::wait_until([&] { return (pid = std::atoi(sb.read(lock).c_str())) > 0; });
    return pid;
}

Bystanders make_bystanders(Sandbox &sb)
{
    Bystanders b;
    b.session_leader = run_pid(sb, "setsid sleep 1000 >/dev/null 2>&1 & echo $!");
    sb.run("mkdir -p /opt/other && cp /usr/bin/sleep /opt/other/vx7_other");
    b.other_daemon = run_pid(sb, "setsid /opt/other/vx7_other 1000 >/dev/null 2>&1 & echo $!");
    Sandbox::wait_until([&] { return sb.alive(b.other_daemon); });
    b.dead = run_pid(sb, "sh -c 'echo $$'");
    return b;
}

void expect_all_alive(Sandbox &sb, const Bystanders &b)
{
    // The agent and the shell it starts share the process group of "stop":
    // a signal to group 0 or to -1 would end the agent, and this run with it.
    EXPECT_EQ(sb.run("true").status, 0) << "the sandbox's own processes were signalled";
    EXPECT_TRUE(sb.alive(b.session_leader)) << "session leader was signalled";
    EXPECT_TRUE(sb.alive(b.other_daemon)) << "daemon of another program was signalled";
}

struct Planted {
    const char *what;
    std::string (*content)(const Bystanders &);
};

const std::vector<Planted> kPlanted{
    {"zero", [](const Bystanders &) { return std::string("0"); }},
    {"minus one", [](const Bystanders &) { return std::string("-1"); }},
    {"init", [](const Bystanders &) { return std::string("1"); }},
    {"empty", [](const Bystanders &) { return std::string(); }},
    {"text", [](const Bystanders &) { return std::string("abc"); }},
    {"number and text", [](const Bystanders &b) { return std::to_string(b.session_leader) + "x"; }},
    {"leading zero", [](const Bystanders &b) { return "0" + std::to_string(b.session_leader); }},
    {"negative group", [](const Bystanders &b) { return "-" + std::to_string(b.session_leader); }},
    {"newline", [](const Bystanders &b) { return std::to_string(b.session_leader) + "\n"; }},
    {"huge", [](const Bystanders &) { return std::string("99999999999999999999"); }},
    {"other program's session", [](const Bystanders &b) { return std::to_string(b.session_leader); }},
    {"other program's daemon", [](const Bystanders &b) { return std::to_string(b.other_daemon); }},
    {"dead process", [](const Bystanders &b) { return std::to_string(b.dead); }},
};

} // namespace

// "stop" with a lock that names no live daemon of this program answers "not
// running" and signals nobody; "start" and "restart" take the lock over.
TEST(DaemonLock, PlantedLockNamesNoDaemon)
{
    Sandbox sb(driver_options());
    const Bystanders b = make_bystanders(sb);
    ASSERT_GT(b.session_leader, 1);
    ASSERT_GT(b.other_daemon, 1);
    ASSERT_GT(b.dead, 1);
    for (const Planted &p : kPlanted) {
        SCOPED_TRACE(p.what);
        const std::string content = p.content(b);

        sb.write(kLock, content);
        const auto stop = sb.run(bin(kDriver) + " stop");
        EXPECT_EQ(stop.status, 255);
        EXPECT_EQ(stop.out, kNotRunning + "-1\n");
        EXPECT_EQ(sb.read(kLock), content) << "stop must leave a lock it does not own";
        expect_all_alive(sb, b);

        for (const char *word : {"start", "restart"}) {
            SCOPED_TRACE(word);
            sb.write(kLock, content);
            const int pid = start_daemon(sb, kDriver, word);
            ASSERT_GT(pid, 0) << "no daemon took over the stale lock";
            EXPECT_EQ(sb.read(kLock), std::to_string(pid));
            expect_all_alive(sb, b);
            EXPECT_EQ(sb.run(bin(kDriver) + " stop").status, 1);
            EXPECT_EQ(sb.wait_exit(pid), 0);
        }
    }
    EXPECT_FALSE(fs::exists(sb.host(kLock + ".new"))) << "replacement file left behind";
}

// A daemon killed without clean-up leaves its lock; the next start replaces
// it (no "restart" needed), while a live daemon's lock is respected.
TEST(DaemonLock, StartAfterCrash)
{
    Sandbox sb(driver_options());
    const int crashed = start_daemon(sb, kDriver);
    ASSERT_GT(crashed, 0);
    sb.run("kill -KILL " + std::to_string(crashed));
    ASSERT_EQ(sb.wait_exit(crashed), 128 + 9);
    ASSERT_EQ(lock_pid(sb, kDriver), crashed);

    const int pid = start_daemon(sb, kDriver);
    ASSERT_GT(pid, 0);
    EXPECT_NE(pid, crashed);
    EXPECT_EQ(sb.run(bin(kDriver) + " stop").status, 1);
    EXPECT_EQ(sb.wait_exit(pid), 0);
}

// Several starts at once over a stale lock: exactly one becomes the daemon.
TEST(DaemonLock, ConcurrentStartsOverStaleLock)
{
    Sandbox sb(driver_options());
    for (int round = 0; round < 3; ++round) {
        SCOPED_TRACE(round);
        sb.write(kLock, "0");
        const std::size_t seen = sb.exits().size();
        const std::string p = bin(kDriver);
        const auto r = sb.run(p + " & " + p + " & " + p + " & " + p + " & wait");
        EXPECT_EQ(r.status, 0);
        int pid = 0;
        ASSERT_TRUE(Sandbox::wait_until([&] { return (pid = lock_pid(sb, kDriver)) > 1; }));
        ASSERT_TRUE(Sandbox::wait_until([&] {
            int refused = 0;
            const auto ex = sb.exits();
            for (std::size_t i = seen; i < ex.size(); ++i)
                refused += ex[i].second == 2;
            return refused == 3;
        })) << "expected three refused starts";
        EXPECT_TRUE(sb.alive(pid));
        EXPECT_EQ(lock_pid(sb, kDriver), pid);
        EXPECT_EQ(sb.run(p + " stop").status, 1);
        EXPECT_EQ(sb.wait_exit(pid), 0);
    }
}

// A daemon still counts as this program's after its program file has been
// replaced (a reinstall while it runs).
TEST(DaemonLock, StopAfterReinstall)
{
    Sandbox sb(driver_options());
    sb.run("mkdir -p /opt/bin && cp " + bin(kDriver) + " /opt/bin/vx7_driver");
    ASSERT_EQ(sb.run("/opt/bin/vx7_driver").status, 1);
    int pid = 0;
    ASSERT_TRUE(Sandbox::wait_until([&] { return (pid = lock_pid(sb, kDriver)) > 0; }));
    ASSERT_TRUE(wait_ready(sb, pid));
    sb.run("rm /opt/bin/vx7_driver && cp " + bin(kDriver) + " /opt/bin/vx7_driver");
    const auto stop = sb.run("/opt/bin/vx7_driver stop");
    EXPECT_EQ(stop.status, 1);
    EXPECT_EQ(stop.out, "1\n");
    EXPECT_EQ(sb.wait_exit(pid), 0);
}

// The lock and log paths: with and without a "/" in argv[0], HOME from the
// password database, and paths right at and beyond the buffer size.
TEST(DaemonLock, Paths)
{
    {
        SCOPED_TRACE("program name without a slash");
        Sandbox sb(driver_options());
        const std::string path = "PATH=" + prefix() + "/bin:$PATH ";
        ASSERT_EQ(sb.run(path + "vx7_driver").status, 1);
        const int pid = wait_lock_pid(sb, "/home/dev/.logvx7_driver.pid");
        ASSERT_GT(pid, 0);
        EXPECT_FALSE(fs::exists(sb.host(kLock)));
        EXPECT_EQ(sb.run(path + "vx7_driver stop").status, 1);
        EXPECT_EQ(sb.wait_exit(pid), 0);
        EXPECT_FALSE(fs::exists(sb.host("/home/dev/.logvx7_driver.pid")));
    }
    {
        SCOPED_TRACE("relative HOME");
        Sandbox sb(driver_options());
        const std::string rel = "cd /home && HOME=dev ";
        ASSERT_EQ(sb.run(rel + bin(kDriver)).status, 1);
        int pid = 0;
        ASSERT_TRUE(Sandbox::wait_until([&] { return (pid = lock_pid(sb, kDriver)) > 0; }));
        const auto second = sb.run(rel + bin(kDriver));
        EXPECT_TRUE(Sandbox::wait_until([&] {
            return sb.output(second.id).find("[" + kLock + "]") != std::string::npos;
        })) << sb.output(second.id);
        EXPECT_EQ(sb.run(rel + bin(kDriver) + " stop").status, 1);
        EXPECT_EQ(sb.wait_exit(pid), 0);
        EXPECT_FALSE(fs::exists(sb.host(kLock))) << "the daemon lost its lock file after moving to /";
    }
    {
        SCOPED_TRACE("HOME unset: home directory from the password database");
        SandboxOptions o = driver_options();
        o.unset_env.push_back("HOME");
        o.dirs.push_back("/root");
        Sandbox sb(o);
        ASSERT_EQ(sb.run(bin(kDriver)).status, 1);
        const int pid = wait_lock_pid(sb, "/root/.log/vx7_driver.pid");
        ASSERT_GT(pid, 0);
        EXPECT_EQ(sb.run(bin(kDriver) + " stop").status, 1);
        EXPECT_EQ(sb.wait_exit(pid), 0);
    }
    {
        SCOPED_TRACE("HOME unset and no home directory");
        vx7test::Sandbox host_only;
        host_only.write("/passwd", "nobody:x:65534:65534:nobody:/nonexistent:/usr/sbin/nologin\n");
        host_only.write("/nsswitch.conf", "passwd: files\ngroup: files\n");
        SandboxOptions o = driver_options();
        o.unset_env.push_back("HOME");
        o.ro_files.emplace_back(host_only.host("/passwd").string(), "/etc/passwd");
        o.ro_files.emplace_back(host_only.host("/nsswitch.conf").string(), "/etc/nsswitch.conf");
        Sandbox sb(o);
        for (const Program &p : {kDriver, kQuiet}) {
            const auto r = sb.run(bin(p));
            EXPECT_EQ(r.status, 253);
            EXPECT_EQ(r.out,
                      "can not build lock file path: HOME is not set and the password database has no "
                      "home directory\n" +
                          result_line(p, -3));
        }
    }
    {
        SCOPED_TRACE("paths at and beyond 1023 bytes");
        // HOME + "/.log" + "/vx7_driver" + ".pid" is 1023 bytes with a HOME
        // of 1003: the longest that fits its buffer with the NUL.
        std::string fits = "/h";
        while (fits.size() < 1003)
            fits += fits.size() % 200 == 0 ? "/" : "d";
        fits.resize(1003);
        ASSERT_NE(fits.back(), '/');
        const std::string too_long = fits + "e";
        SandboxOptions o = driver_options();
        o.dirs = {fits, too_long};
        Sandbox sb(o);
        const auto refused = sb.run("HOME=" + too_long + " " + bin(kDriver));
        EXPECT_EQ(refused.status, 253);
        EXPECT_EQ(refused.out, "can not build lock file path: path longer than 1023 bytes\n-3\n");
        EXPECT_FALSE(fs::exists(sb.host(too_long + "/.log"))) << "nothing is made for a refused path";

        ASSERT_EQ(sb.run("HOME=" + fits + " " + bin(kDriver)).status, 1);
        const std::string lock = fits + "/.log/vx7_driver.pid";
        ASSERT_EQ(lock.size(), 1023u);
        const int pid = wait_lock_pid(sb, lock);
        ASSERT_GT(pid, 0);
        EXPECT_EQ(sb.run("HOME=" + fits + " " + bin(kDriver) + " stop").status, 1);
        EXPECT_EQ(sb.wait_exit(pid), 0);
        EXPECT_FALSE(fs::exists(sb.host(lock)));
    }
}

// A lock file that cannot be removed (its directory read-only): "restart"
// logs one line and its forked process ends with 2; the old daemon logs a
// second line when it exits.
TEST(DaemonLock, LockCannotBeRemoved)
{
    Sandbox sb(driver_options());
    const int pid = start_daemon(sb, kDriver);
    ASSERT_GT(pid, 0);
    // The log file exists; a read-only directory still lets it be appended to.
    sb.write(log_path(kDriver), "");
    ASSERT_EQ(sb.run("chmod 555 /home/dev/.log").status, 0);
    const std::size_t seen = sb.exits().size();
    const auto r = sb.run(bin(kDriver) + " restart");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(sb.wait_exit(pid), 0);
    const std::string line = "Can not remove lock file [" + kLock + "]\n";
    EXPECT_TRUE(Sandbox::wait_until([&] {
        const auto ex = sb.exits();
        for (std::size_t i = seen; i < ex.size(); ++i)
            if (ex[i].second == 2)
                return true;
        return false;
    })) << "the restarted process did not end with 2";
    EXPECT_TRUE(Sandbox::wait_until([&] { return sb.read(log_path(kDriver)) == line + line; }))
        << sb.read(log_path(kDriver));
    EXPECT_EQ(lock_pid(sb, kDriver), pid);
}

// A process that carries the program's name is signalled only when the lock
// file names it exactly and it leads its own session. The stand-ins are a
// copy of sleep installed as vx7_driver; one that leads its session is the
// control that shows a stand-in would be signalled if the checks let it.
TEST(DaemonLock, RightNameWrongLock)
{
    Sandbox sb(driver_options());
    sb.run("mkdir -p /opt/fake && cp /usr/bin/sleep /opt/fake/vx7_driver");
    const int member = run_pid(sb, "/opt/fake/vx7_driver 1000 >/dev/null 2>&1 & echo $!");
    const int leader = run_pid(sb, "setsid /opt/fake/vx7_driver 1000 >/dev/null 2>&1 & echo $!");
    const int daemon = start_daemon(sb, kDriver);
    ASSERT_GT(member, 1);
    ASSERT_GT(leader, 1);
    ASSERT_GT(daemon, 0);

    struct Case {
        const char *what;
        std::string content;
        int victim;
    };
    const std::vector<Case> refused{
        {"not a session leader", std::to_string(member), member},
        {"leading zero before the daemon's PID", "0" + std::to_string(daemon), daemon},
        {"two leading zeros before the daemon's PID", "00" + std::to_string(daemon), daemon},
        {"newline after the daemon's PID", std::to_string(daemon) + "\n", daemon},
        {"space before the daemon's PID", " " + std::to_string(daemon), daemon},
        {"sign before the daemon's PID", "+" + std::to_string(daemon), daemon},
    };
    for (const Case &c : refused) {
        SCOPED_TRACE(c.what);
        sb.write(kLock, c.content);
        const auto stop = sb.run(bin(kDriver) + " stop");
        EXPECT_EQ(stop.status, 255);
        EXPECT_EQ(stop.out, kNotRunning + "-1\n");
        EXPECT_TRUE(sb.alive(c.victim)) << "signalled on a lock that does not name it";
        EXPECT_EQ(sb.read(kLock), c.content);
    }

    sb.write(kLock, std::to_string(leader));
    const auto stop = sb.run(bin(kDriver) + " stop");
    EXPECT_EQ(stop.status, 1);
    EXPECT_EQ(sb.wait_exit(leader), 128 + SIGUSR1) << "the control stand-in was not signalled";

    sb.write(kLock, std::to_string(daemon));
    EXPECT_EQ(sb.run(bin(kDriver) + " stop").status, 1);
    EXPECT_EQ(sb.wait_exit(daemon), 0);
}

// A take-over that died between writing "<lock>.new" and renaming it leaves
// the file behind; the next start must still take the stale lock over.
TEST(DaemonLock, LeftoverReplacementFromInterruptedTakeOver)
{
    Sandbox sb(driver_options());
    for (const char *leftover : {"", "12345", "garbage that is no PID"}) {
        SCOPED_TRACE(std::string("leftover [") + leftover + "]");
        sb.write(kLock, "0");
        sb.write(kLock + ".new", leftover);
        const int pid = start_daemon(sb, kDriver);
        ASSERT_GT(pid, 0) << "the leftover blocked the take-over";
        EXPECT_EQ(sb.read(kLock), std::to_string(pid));
        EXPECT_FALSE(fs::exists(sb.host(kLock + ".new")));
        EXPECT_EQ(sb.run(bin(kDriver) + " stop").status, 1);
        EXPECT_EQ(sb.wait_exit(pid), 0);
    }
}

// The kernel keeps only the first 15 characters of a program's name as its
// command name, and the executable behind a symbolic link has another name
// altogether: a daemon started through a long link must still be recognised,
// both by a second start and by stop.
TEST(DaemonLock, LongProgramNameThroughSymlink)
{
    Sandbox sb(driver_options());
    const std::string name = "vx7_driver_started_by_a_long_link";
    const std::string link = "/opt/bin/" + name;
    const std::string lock = "/home/dev/.log/" + name + ".pid";
    sb.symlink(bin(kDriver), link);
    ASSERT_EQ(sb.run(link).status, 1);
    const int pid = wait_lock_pid(sb, lock);
    ASSERT_GT(pid, 0);
    ASSERT_TRUE(wait_ready(sb, pid));

    const std::size_t seen = sb.exits().size();
    EXPECT_EQ(sb.run(link + " start").status, 1);
    EXPECT_TRUE(Sandbox::wait_until([&] {
        const auto ex = sb.exits();
        for (std::size_t i = seen; i < ex.size(); ++i)
            if (ex[i].second == 2)
                return true;
        return false;
    })) << "a second daemon took the lock over";
    EXPECT_EQ(sb.read(lock), std::to_string(pid));

    const auto stop = sb.run(link + " stop");
    EXPECT_EQ(stop.status, 1);
    EXPECT_EQ(stop.out, "1\n");
    EXPECT_EQ(sb.wait_exit(pid), 0);
    EXPECT_FALSE(fs::exists(sb.host(lock)));
}
