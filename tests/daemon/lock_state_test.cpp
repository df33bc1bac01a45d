// dmn_lock_state on its own (it only reads files and /proc, and signals
// nobody): the lock file's content at the edges of what counts as a PID, the
// checks that make a live process this program's daemon, and lock paths that
// are no regular file.
#include "vx7daemon/daemon.h"
#include "vx7daemon/daemon_paths.h"

#include "tempdir.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <future>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

using vx7test::TempDir;
using vx7test::write_file;
using namespace std::chrono_literals;

namespace {

// A child of this test that lives until killed; ended and reaped by the
// destructor unless the test reaps it first.
class Child {
public:
    // leader: the child starts a session of its own. zombie: it ends at once
    // and is left unreaped.
    Child(bool leader, bool zombie = false)
    {
        // The child closes its end of the pipe once its session is set up.
        int ready[2] = {-1, -1};
        if (::pipe2(ready, O_CLOEXEC) != 0) {
            ADD_FAILURE() << "pipe2 failed";
            return;
        }
        pid_ = ::fork();
        if (pid_ == 0) {
            if (leader)
                ::setsid();
            ::close(ready[1]);
            if (!zombie)
                ::pause();
            ::_exit(0);
        }
        ::close(ready[1]);
        char byte;
        while (pid_ > 0 && ::read(ready[0], &byte, 1) < 0 && errno == EINTR) {
        }
        ::close(ready[0]);
        if (zombie) {
            // Wait until it has ended, without reaping it.
            siginfo_t info{};
            ::waitid(P_PID, static_cast<id_t>(pid_), &info, WEXITED | WNOWAIT);
        }
    }
    ~Child()
    {
        if (pid_ > 0) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
        }
    }
    Child(const Child &) = delete;
    Child &operator=(const Child &) = delete;
    pid_t pid() const { return pid_; }

private:
    pid_t pid_ = -1;
};

// This test program's own name: its children run it too.
std::string own_name()
{
    char buf[1024];
    const ssize_t n = ::readlink("/proc/self/exe", buf, sizeof buf - 1);
    if (n <= 0)
        return "";
    const std::string exe(buf, static_cast<std::size_t>(n));
    return exe.substr(exe.rfind('/') + 1);
}

struct Parse {
    const char *content;
    long pid; // the PID it stands for; 0: none
};

} // namespace

// Which contents name a PID at all. *pid tells what was read, whatever the
// process behind it is.
TEST(LockState, ContentIsParsedAtItsEdges)
{
    const std::vector<Parse> cases{
        {"2", 2},
        {"10", 10},
        {"812", 812},
        {"2147483647", 2147483647}, // the largest PID there can be
        {"1", 0},                   // init; 0 and -1 would address groups
        {"0", 0},
        {"-1", 0},
        {"01", 0},
        {"0812", 0},
        {"00000000812", 0},
        {"2147483648", 0},
        {"4294967298", 0}, // 2 once cut to 32 bits
        {"99999999999999999999", 0},
        {"+812", 0},
        {"-812", 0},
        {" 812", 0},
        {"812 ", 0},
        {"812\n", 0},
        {"812x", 0},
        {"0x32", 0},
        {"", 0},
    };
    TempDir dir;
    const std::string lock = dir.file("x.pid");
    for (const Parse &c : cases) {
        SCOPED_TRACE(std::string("content [") + c.content + "]");
        write_file(lock, c.content);
        long pid = -7;
        const int state = dmn_lock_state(lock.c_str(), "no-such-program", &pid);
        EXPECT_EQ(pid, c.pid);
        EXPECT_EQ(state, DMN_LOCK_STALE);
    }
    // A NUL inside the file is content like any other byte.
    write_file(lock, std::string("812\0", 4));
    long pid = -7;
    EXPECT_EQ(dmn_lock_state(lock.c_str(), "no-such-program", &pid), DMN_LOCK_STALE);
    EXPECT_EQ(pid, 0);
}

// A live process of the right name counts only when it leads its own session
// and has not ended; the right process counts only under its own name.
TEST(LockState, OnlyALiveSessionLeaderOfTheProgramIsLive)
{
    const std::string name = own_name();
    ASSERT_FALSE(name.empty());
    TempDir dir;
    const std::string lock = dir.file("x.pid");
    auto state_of = [&](pid_t pid, const std::string &program) {
        write_file(lock, std::to_string(pid));
        long read = 0;
        const int state = dmn_lock_state(lock.c_str(), program.c_str(), &read);
        EXPECT_EQ(read, pid);
        return state;
    };

    const Child leader(true);
    ASSERT_EQ(::getsid(leader.pid()), leader.pid());
    EXPECT_EQ(state_of(leader.pid(), name), DMN_LOCK_LIVE) << "the check itself must accept a real match";
    EXPECT_EQ(state_of(leader.pid(), "/some/where/" + name), DMN_LOCK_LIVE) << "only the file name counts";
    EXPECT_EQ(state_of(leader.pid(), "other_program"), DMN_LOCK_STALE);
    EXPECT_EQ(state_of(leader.pid(), "x" + name), DMN_LOCK_STALE);
    EXPECT_EQ(state_of(leader.pid(), ""), DMN_LOCK_STALE);

    const Child member(false);
    ASSERT_NE(::getsid(member.pid()), member.pid());
    EXPECT_EQ(state_of(member.pid(), name), DMN_LOCK_STALE) << "a process that leads no session is no daemon";

    const Child zombie(true, true);
    EXPECT_EQ(state_of(zombie.pid(), name), DMN_LOCK_STALE) << "a zombie has ended";
}

// Anything but a regular file at the lock path counts as absent, and the
// call never waits (a FIFO would block a plain open until a writer came).
TEST(LockState, NonRegularFileIsAbsentAndNeverWaits)
{
    TempDir dir;
    const std::string fifo = dir.file("fifo.pid");
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    auto pending = std::async(std::launch::async, [&] {
        long pid = -7;
        const int state = dmn_lock_state(fifo.c_str(), "x", &pid);
        return std::make_pair(state, pid);
    });
    if (pending.wait_for(5s) != std::future_status::ready) {
        // Let the blocked open go on (a writer appears) so that the test ends.
        const int w = ::open(fifo.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
        pending.wait();
        if (w >= 0)
            ::close(w);
        FAIL() << "dmn_lock_state waited on a FIFO";
    }
    const auto [state, pid] = pending.get();
    EXPECT_EQ(state, DMN_LOCK_ABSENT);
    EXPECT_EQ(pid, 0);

    ASSERT_EQ(::mkdir(dir.file("dir.pid").c_str(), 0700), 0);
    for (const std::string &path : {dir.file("dir.pid"), std::string("/dev/null"), dir.file("missing.pid")}) {
        SCOPED_TRACE(path);
        long p = -7;
        EXPECT_EQ(dmn_lock_state(path.c_str(), "x", &p), DMN_LOCK_ABSENT);
        EXPECT_EQ(p, 0);
    }
}

// The lock path rule as tools ask for it: a program started by a path keeps
// its lock in HOME/.log/, one started by a bare name in HOME itself.
TEST(LockPath, SameRuleAsTheDaemon)
{
    const char *saved = std::getenv("HOME");
    const std::string old = saved != nullptr ? saved : "";
    ::setenv("HOME", "/home/op", 1);
    struct Case {
        const char *program;
        int rc;
        const char *path;
    };
    for (const Case &c : {Case{"/usr/bin/vx7_driver", 0, "/home/op/.log/vx7_driver.pid"},
                          Case{"./vx7_driver_quiet", 0, "/home/op/.log/vx7_driver_quiet.pid"},
                          Case{"vx7_driver", 0, "/home/op/.logvx7_driver.pid"}, Case{"", -3, ""}, Case{"/", -3, ""},
                          Case{"/usr/bin/", -3, ""}, Case{nullptr, -3, ""}}) {
        SCOPED_TRACE(c.program != nullptr ? c.program : "(null)");
        char buf[DMN_PATH_SIZE] = "junk";
        EXPECT_EQ(dmn_lock_path(c.program, buf, sizeof buf), c.rc);
        EXPECT_STREQ(buf, c.path);
    }
    char small[28]; // one byte short of "/home/op/.log/vx7_driver.pid"
    EXPECT_EQ(dmn_lock_path("/vx7_driver", small, sizeof small), -3);
    char exact[29];
    EXPECT_EQ(dmn_lock_path("/vx7_driver", exact, sizeof exact), 0);
    EXPECT_STREQ(dmn_home_directory(), "/home/op");
    if (saved != nullptr)
        ::setenv("HOME", old.c_str(), 1);
    else
        ::unsetenv("HOME");
}
