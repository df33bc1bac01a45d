// A bubblewrap sandbox for end-to-end tests of programs that daemonise and
// write files at fixed places ("/", $HOME).
//
// Inside, "/" is a temporary directory of the test (the host sees it as
// root()), /usr and /etc are the system's, read-only, with /proc and /dev
// mounted and the usual lib/bin links. The sandbox has its own PID namespace,
// so a daemon and any wrong kill stay inside it, and everything in it ends
// with the Sandbox object (or with the test process). Processes inside run as
// root without capabilities, so file permissions apply to them.
//
// One sandbox lives as long as the object and runs any number of commands in
// turn; a daemon started by one command is still there for the next. Every
// command is a /bin/sh command line run in "/" with the sandbox's environment;
// its standard output and error are captured in files. An agent inside reaps
// every process, so the exit status of orphans (daemons, forked children) is
// known too.
//
// In the ThreadSanitizer build, what it reports of the programs inside
// (daemons included) is printed when the sandbox ends, and the test program
// then ends with status 66, as one with a report of its own does.
//
// Typical use:
//   vx7test::Sandbox sb({.ro_binds = {prefix}});
//   auto r = sb.run(prefix + "/bin/vx7_driver start");
//   EXPECT_EQ(r.status, 1);
//   ASSERT_TRUE(sb.wait_for_file("/home/dev/.log/vx7_driver.pid"));
#pragma once

#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

namespace vx7test {

using namespace std::chrono_literals;

struct SandboxOptions {
    // Environment inside, besides PATH=/usr/bin:/bin, HOME=/home/dev (made)
    // and the sanitizer settings of the test run; entries here override.
    // unset_env removes variables (HOME, for example).
    std::vector<std::pair<std::string, std::string>> env;
    std::vector<std::string> unset_env;
    // Host paths made visible at the same path inside, read-only or writable.
    std::vector<std::string> ro_binds;
    std::vector<std::string> binds;
    // Host file or directory -> path inside, read-only, mounted after /etc
    // (so a test can replace for example /etc/passwd).
    std::vector<std::pair<std::string, std::string>> ro_files;
    // Size-limited file systems (path inside, bytes), e.g. to see a full disk.
    std::vector<std::pair<std::string, std::size_t>> tmpfs;
    // Directories made in the root before the sandbox starts.
    std::vector<std::string> dirs;
};

class Sandbox {
public:
    explicit Sandbox(SandboxOptions options = {});
    ~Sandbox();
    Sandbox(const Sandbox &) = delete;
    Sandbox &operator=(const Sandbox &) = delete;

    // Host path of "/" inside, and of any path inside.
    const std::filesystem::path &root() const { return root_; }
    std::filesystem::path host(std::string_view inside) const;

    struct Run {
        int id = -1;
        int status = -1; // exit code, 128 + signal, or -1 on time-out
        std::string out; // standard output when the command ended
        std::string err;
    };
    // Runs a shell command line inside and waits for its shell to end.
    Run run(const std::string &command, std::chrono::milliseconds timeout = 20s);
    // Standard output of an earlier run as it is now (forked children of the
    // command may still be writing).
    std::string output(int id) const;

    // Exit status of a process inside that has ended (by its PID inside), or
    // nullopt when it has not ended within the time-out.
    std::optional<int> wait_exit(int pid, std::chrono::milliseconds timeout = 10s);
    // Every (pid, status) of an orphan seen to end so far, in order.
    std::vector<std::pair<int, int>> exits() const;
    // Whether a process inside exists and is not a zombie.
    bool alive(int pid);

    // Polls pred every 2 ms until it holds or the time-out passes.
    static bool wait_until(const std::function<bool()> &pred, std::chrono::milliseconds timeout = 5s);
    bool wait_for_file(std::string_view inside, std::chrono::milliseconds timeout = 5s) const;
    bool wait_for_no_file(std::string_view inside, std::chrono::milliseconds timeout = 5s) const;

    // Reads or writes a file inside (from the host).
    std::string read(std::string_view inside) const;
    void write(std::string_view inside, const std::string &bytes) const;
    // Makes a symbolic link inside: `link` -> `target`.
    void symlink(std::string_view target, std::string_view link) const;

private:
    void reader();

    std::filesystem::path base_; // temporary directory of the sandbox
    std::filesystem::path root_;
    int bwrap_pid_ = -1;
    int to_agent_ = -1;
    int from_agent_ = -1;
    int next_id_ = 1;
    std::thread reader_;
    mutable std::mutex mu_;
    std::condition_variable cv_;
    std::map<int, int> done_;   // command id -> status
    std::map<int, int> exited_; // orphan pid -> status
    std::vector<std::pair<int, int>> exit_order_;
    bool agent_gone_ = false;
};

} // namespace vx7test
