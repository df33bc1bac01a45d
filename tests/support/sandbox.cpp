#include "sandbox.h"

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <iterator>
#include <spawn.h>
#include <stdexcept>
#include <sys/wait.h>
#include <unistd.h>

#ifndef VX7_SANDBOX_AGENT
#error "VX7_SANDBOX_AGENT must name the agent program"
#endif

extern char **environ;

namespace fs = std::filesystem;

namespace vx7test {

namespace {

std::string slurp(const fs::path &p)
{
    std::ifstream in(p, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

void add(std::vector<std::string> &args, std::initializer_list<std::string> more)
{
    args.insert(args.end(), more);
}

#ifdef __SANITIZE_THREAD__
// In the ThreadSanitizer build the programs inside are instrumented too, and
// a daemon's standard error goes nowhere: their reports are written to files
// in the sandbox (log_path), printed when the sandbox ends, and the test
// program then ends as ThreadSanitizer ends one that reported: status 66.
constexpr char kTsanLog[] = "/.sandbox/tsan"; // ThreadSanitizer adds ".<pid>"
std::atomic<bool> tsan_reported{false};

void fail_at_exit()
{
    if (tsan_reported.load()) {
        std::fflush(nullptr); // _Exit does not
        std::_Exit(66);
    }
}

void print_tsan_logs(const fs::path &root)
{
    std::error_code ec;
    for (const auto &e : fs::directory_iterator(root / ".sandbox", ec)) {
        if (e.path().filename().string().rfind("tsan.", 0) != 0)
            continue;
        std::fprintf(stderr, "sandbox: ThreadSanitizer report of a program inside (%s):\n%s\n",
                     e.path().filename().c_str(), slurp(e.path()).c_str());
        if (!tsan_reported.exchange(true))
            std::atexit(fail_at_exit);
    }
}
#endif

} // namespace

Sandbox::Sandbox(SandboxOptions options)
{
    std::string tmpl = (fs::temp_directory_path() / "vx7sandbox.XXXXXX").string();
    if (::mkdtemp(tmpl.data()) == nullptr)
        throw std::runtime_error("mkdtemp failed");
    base_ = tmpl;
    root_ = base_ / "root";
    for (const char *d : {"", "usr", "etc", "proc", "dev", "tmp", "home/dev", ".sandbox"})
        fs::create_directories(root_ / d);
    for (const char *l : {"lib", "lib64", "bin", "sbin"}) {
        if (fs::exists(fs::path("/usr") / l))
            fs::create_directory_symlink(fs::path("usr") / l, root_ / l);
    }
    for (const auto &d : options.dirs)
        fs::create_directories(host(d));

    const std::string agent = VX7_SANDBOX_AGENT;
    std::vector<std::string> args{"bwrap",      "--bind",        root_.string(),  "/",
                                  "--ro-bind",  "/usr",          "/usr",          "--ro-bind",
                                  "/etc",       "/etc",          "--proc",        "/proc",
                                  "--dev",      "/dev",          "--unshare-pid", "--die-with-parent",
                                  "--cap-drop", "ALL",           "--clearenv",    "--setenv",
                                  "PATH",       "/usr/bin:/bin", "--setenv",      "HOME",
                                  "/home/dev"};
    // Sanitizer settings of the test run apply inside as well.
    for (const char *v : {"ASAN_OPTIONS", "UBSAN_OPTIONS", "LSAN_OPTIONS"}) {
        if (const char *val = std::getenv(v))
            add(args, {"--setenv", v, val});
    }
#ifdef __SANITIZE_THREAD__
    const char *tsan = std::getenv("TSAN_OPTIONS");
    add(args, {"--setenv", "TSAN_OPTIONS", std::string(tsan != nullptr ? tsan : "") + " log_path=" + kTsanLog});
#endif
    for (const auto &[k, v] : options.env)
        add(args, {"--setenv", k, v});
    for (const auto &k : options.unset_env)
        add(args, {"--unsetenv", k});
    for (const auto &[from, to] : options.ro_files)
        add(args, {"--ro-bind", from, to});
    for (const auto &p : options.ro_binds) {
        fs::create_directories(host(p));
        add(args, {"--ro-bind", p, p});
    }
    for (const auto &p : options.binds) {
        fs::create_directories(host(p));
        add(args, {"--bind", p, p});
    }
    for (const auto &[p, bytes] : options.tmpfs) {
        fs::create_directories(host(p));
        add(args, {"--size", std::to_string(bytes), "--tmpfs", p});
    }
    // A coverage run (scripts/coverage): the programs run inside save their
    // counts where the run collects them.
    if (const char *gcov = std::getenv("GCOV_PREFIX")) {
        add(args, {"--setenv", "GCOV_PREFIX", gcov, "--setenv", "GCOV_PREFIX_STRIP", "0"});
        fs::create_directories(host(gcov));
        add(args, {"--bind", gcov, gcov});
    }
    const std::string agent_dir = fs::path(agent).parent_path().string();
    fs::create_directories(host(agent_dir));
    add(args, {"--ro-bind", agent_dir, agent_dir, "--chdir", "/", "--", agent});

    int in[2], out[2];
    if (::pipe2(in, O_CLOEXEC) != 0 || ::pipe2(out, O_CLOEXEC) != 0)
        throw std::runtime_error("pipe failed");
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_adddup2(&fa, in[0], 0);
    posix_spawn_file_actions_adddup2(&fa, out[1], 1);
    std::vector<char *> argv;
    for (auto &a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    pid_t pid = -1;
    const int rc = ::posix_spawnp(&pid, "bwrap", &fa, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&fa);
    ::close(in[0]);
    ::close(out[1]);
    if (rc != 0) {
        ::close(in[1]);
        ::close(out[0]);
        throw std::runtime_error("cannot start bwrap");
    }
    bwrap_pid_ = pid;
    to_agent_ = in[1];
    from_agent_ = out[0];
    reader_ = std::thread([this] { reader(); });
}

Sandbox::~Sandbox()
{
    ::close(to_agent_); // the agent ends, and with it everything inside
    int st = 0;
    bool ended = false;
    for (int i = 0; i < 500 && !ended; ++i) {
        ended = ::waitpid(bwrap_pid_, &st, WNOHANG) == bwrap_pid_;
        if (!ended)
            std::this_thread::sleep_for(10ms);
    }
    if (!ended) {
        ::kill(bwrap_pid_, SIGKILL);
        ::waitpid(bwrap_pid_, &st, 0);
    }
    if (reader_.joinable())
        reader_.join();
    ::close(from_agent_);
#ifdef __SANITIZE_THREAD__
    print_tsan_logs(root_);
#endif
    std::error_code ec;
    fs::remove_all(base_, ec);
}

fs::path Sandbox::host(std::string_view inside) const
{
    std::string_view rel = inside;
    while (!rel.empty() && rel.front() == '/')
        rel.remove_prefix(1);
    return root_ / rel;
}

void Sandbox::reader()
{
    std::string pending;
    char buf[4096];
    for (;;) {
        const ssize_t n = ::read(from_agent_, buf, sizeof buf);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        pending.append(buf, static_cast<std::size_t>(n));
        std::size_t nl;
        while ((nl = pending.find('\n')) != std::string::npos) {
            const std::string line = pending.substr(0, nl);
            pending.erase(0, nl + 1);
            char kind[8] = {};
            int a = 0, b = 0;
            if (std::sscanf(line.c_str(), "%7s %d %d", kind, &a, &b) != 3)
                continue;
            std::lock_guard lock(mu_);
            if (std::strcmp(kind, "DONE") == 0) {
                done_[a] = b;
            } else {
                exited_[a] = b;
                exit_order_.emplace_back(a, b);
            }
            cv_.notify_all();
        }
    }
    std::lock_guard lock(mu_);
    agent_gone_ = true;
    cv_.notify_all();
}

Sandbox::Run Sandbox::run(const std::string &command, std::chrono::milliseconds timeout)
{
    Run r;
    r.id = next_id_++;
    const std::string line = std::to_string(r.id) + " " + command + "\n";
    if (::write(to_agent_, line.data(), line.size()) != static_cast<ssize_t>(line.size()))
        return r;
    {
        std::unique_lock lock(mu_);
        cv_.wait_for(lock, timeout, [&] { return done_.count(r.id) != 0 || agent_gone_; });
        const auto it = done_.find(r.id);
        if (it != done_.end())
            r.status = it->second;
    }
    r.out = output(r.id);
    r.err = slurp(host("/.sandbox/" + std::to_string(r.id) + ".err"));
    return r;
}

std::string Sandbox::output(int id) const
{
    return slurp(host("/.sandbox/" + std::to_string(id) + ".out"));
}

std::optional<int> Sandbox::wait_exit(int pid, std::chrono::milliseconds timeout)
{
    std::unique_lock lock(mu_);
    cv_.wait_for(lock, timeout, [&] { return exited_.count(pid) != 0 || agent_gone_; });
    const auto it = exited_.find(pid);
    if (it == exited_.end())
        return std::nullopt;
    return it->second;
}

std::vector<std::pair<int, int>> Sandbox::exits() const
{
    std::lock_guard lock(mu_);
    return exit_order_;
}

bool Sandbox::alive(int pid)
{
    // Zombies do not last: the agent reaps every process.
    const Run r = run("kill -0 " + std::to_string(pid) + " 2>/dev/null");
    return r.status == 0;
}

bool Sandbox::wait_until(const std::function<bool()> &pred, std::chrono::milliseconds timeout)
{
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        if (pred())
            return true;
        if (std::chrono::steady_clock::now() >= deadline)
            return false;
        std::this_thread::sleep_for(2ms);
    }
}

bool Sandbox::wait_for_file(std::string_view inside, std::chrono::milliseconds timeout) const
{
    const fs::path p = host(inside);
    return wait_until([&] { return fs::exists(p); }, timeout);
}

bool Sandbox::wait_for_no_file(std::string_view inside, std::chrono::milliseconds timeout) const
{
    const fs::path p = host(inside);
    return wait_until([&] { return !fs::exists(p); }, timeout);
}

std::string Sandbox::read(std::string_view inside) const
{
    return slurp(host(inside));
}

void Sandbox::write(std::string_view inside, const std::string &bytes) const
{
    const fs::path p = host(inside);
    fs::create_directories(p.parent_path());
    std::ofstream out(p, std::ios::binary | std::ios::trunc);
    out << bytes;
}

void Sandbox::symlink(std::string_view target, std::string_view link) const
{
    const fs::path p = host(link);
    fs::create_directories(p.parent_path());
    fs::create_symlink(fs::path(target), p);
}

} // namespace vx7test
