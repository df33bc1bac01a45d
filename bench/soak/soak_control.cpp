// vx7-soak-control: the fault soak's conductor. Runs inside the soak's
// sandbox (scripts/soak), where HOME is /home/dev, the installed programs are
// under PREFIX and the simulated device is reached through VX7SIM_STATE.
//
// It starts the installed vx7_driver, the readers (vx7-soak-read) and the
// configuring process (vx7-soak-configure), then for SECONDS alternates
// storms (random unplug and replug, failed, short and delayed transfers, some
// past the 5 s time-out, replies without a sample, refused opens, a driver
// restart, a driver killed with SIGKILL and started again, a second driver
// under another name that must not write) with calm phases (no fault
// armed). Every 100 ms it checks that the
// daemon and the helpers are alive and whether the channel records moved;
// every 10 s it samples the daemon's descriptors, memory and CPU time.
//
// Fails on: a daemon, reader or configure process that ends by itself; a
// stop or restart that does not return or does not end the daemon within
// 10 s; records that do not advance for 15 s with the device attached and no
// fault active, or not at all in a calm phase; a wrong value seen by the
// readers, or one that is not the value of a sample report the device
// answered on that channel (the simulator logs every one; each is turned
// into the value a reader gets through the driver's own decode and the
// record's format and parse); a daemon instance whose descriptor count or anonymous memory
// grew (after a 10 s warm-up); channel files not blank after the final stop;
// a second driver (another name, the same channel files) that does not end
// by itself within 15 s or ends without its log line naming the running
// writer; device handles left open (beyond one per killed driver) or badly
// framed requests. Prints a summary.
//
// usage: vx7-soak-control PREFIX SECONDS SEED READ_PROGRAM CONFIGURE_PROGRAM
#include "report.h"
#include "vx7record/record.h"
#include "vx7sim/sim.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <fstream>
#include <functional>
#include <map>
#include <optional>
#include <random>
#include <set>
#include <spawn.h>
#include <sstream>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

extern char **environ;

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

constexpr double kHangSeconds = 15;
constexpr double kWarmUpSeconds = 10;
constexpr double kStormSeconds = 25;
constexpr double kCalmSeconds = 20;
constexpr long kAnonToleranceKb = 64;
const char kLockFile[] = "/home/dev/.log/vx7_driver.pid";
const char kLogFile[] = "/home/dev/.log/vx7_driver.log";
// The second driver: the installed one through a link of another name, so
// that its own lock file (named after it) does not keep it away.
const char kOtherDriver[] = "/tmp/vx7-other-driver";
const char kOtherLockFile[] = "/home/dev/.log/vx7-other-driver.pid";
const char kOtherLogFile[] = "/home/dev/.log/vx7-other-driver.log";
constexpr double kOtherDriverSeconds = 15;

Clock::time_point t0;
double now_s()
{
    return std::chrono::duration<double>(Clock::now() - t0).count();
}

std::vector<std::string> failures;
void fail(const std::string &what)
{
    std::printf("soak: FAILURE at %.1f s: %s\n", now_s(), what.c_str());
    std::fflush(stdout);
    failures.push_back(what);
}

std::string slurp(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

// Starts a program; with `quiet` its standard output goes to /dev/null (the
// driver's start result, the transport's "Can not open" lines).
pid_t spawn(const std::vector<std::string> &args, bool quiet = false)
{
    std::vector<char *> argv;
    for (const auto &a : args)
        argv.push_back(const_cast<char *>(a.c_str()));
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    ::posix_spawn_file_actions_init(&actions);
    if (quiet)
        ::posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    pid_t pid = -1;
    const int rc = ::posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    ::posix_spawn_file_actions_destroy(&actions);
    return rc == 0 ? pid : -1;
}

// Runs a program to its end; nullopt (and the program killed) when it takes
// longer than the time-out.
std::optional<int> run_program(const std::vector<std::string> &args, double timeout_s)
{
    const pid_t pid = spawn(args, true);
    if (pid < 0)
        return std::nullopt;
    const auto deadline = Clock::now() + std::chrono::duration<double>(timeout_s);
    for (;;) {
        int status = 0;
        if (::waitpid(pid, &status, WNOHANG) == pid)
            return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        if (Clock::now() > deadline) {
            ::kill(pid, SIGKILL);
            ::waitpid(pid, nullptr, 0);
            return std::nullopt;
        }
        std::this_thread::sleep_for(10ms);
    }
}

// A process exists and is not a zombie.
bool alive(pid_t pid)
{
    const std::string stat = slurp("/proc/" + std::to_string(pid) + "/stat");
    const auto close = stat.rfind(')');
    return close != std::string::npos && close + 2 < stat.size() && stat[close + 2] != 'Z';
}

bool wait_for(const std::function<bool()> &pred, double timeout_s)
{
    const auto deadline = Clock::now() + std::chrono::duration<double>(timeout_s);
    while (!pred()) {
        if (Clock::now() > deadline)
            return false;
        std::this_thread::sleep_for(20ms);
    }
    return true;
}

pid_t lock_pid()
{
    const std::string s = slurp(kLockFile);
    const long v = std::strtol(s.c_str(), nullptr, 10);
    return v > 0 ? static_cast<pid_t>(v) : -1;
}

struct Usage {
    double t = 0;
    pid_t pid = -1;
    int fds = -1;
    long rss_kb = -1;
    long anon_kb = -1;
    double cpu_s = 0;
};

int count_fds(pid_t pid)
{
    DIR *d = ::opendir(("/proc/" + std::to_string(pid) + "/fd").c_str());
    if (d == nullptr)
        return -1;
    int n = 0;
    while (const dirent *e = ::readdir(d)) {
        if (e->d_name[0] != '.')
            ++n;
    }
    ::closedir(d);
    return n;
}

long status_kb(const std::string &status, const char *key)
{
    const auto at = status.find(key);
    return at == std::string::npos ? -1 : std::strtol(status.c_str() + at + std::strlen(key), nullptr, 10);
}

std::optional<Usage> sample_usage(pid_t pid)
{
    Usage u;
    u.t = now_s();
    u.pid = pid;
    // The fewest of three looks: a descriptor the daemon holds for a moment
    // (the device being opened) is not a leak.
    for (int i = 0; i < 3; ++i) {
        const int n = count_fds(pid);
        if (n < 0)
            return std::nullopt;
        u.fds = u.fds < 0 ? n : std::min(u.fds, n);
        std::this_thread::sleep_for(15ms);
    }
    const std::string status = slurp("/proc/" + std::to_string(pid) + "/status");
    u.rss_kb = status_kb(status, "VmRSS:");
    u.anon_kb = status_kb(status, "RssAnon:");
    const std::string stat = slurp("/proc/" + std::to_string(pid) + "/stat");
    const auto close = stat.rfind(')');
    if (close == std::string::npos)
        return std::nullopt;
    std::istringstream fields(stat.substr(close + 2));
    std::string f;
    unsigned long long utime = 0, stime = 0;
    for (int i = 3; fields >> f; ++i) {
        if (i == 14)
            utime = std::stoull(f);
        if (i == 15) {
            stime = std::stoull(f);
            break;
        }
    }
    u.cpu_s = static_cast<double>(utime + stime) / static_cast<double>(::sysconf(_SC_CLK_TCK));
    return u;
}

class Soak {
public:
    Soak(std::string prefix, double seconds, unsigned seed, std::string reader, std::string configure)
        : prefix_(std::move(prefix)), seconds_(seconds), seed_(seed), rng_(seed), reader_prog_(std::move(reader)),
          configure_prog_(std::move(configure)), sim_(vx7sim::Sim::attach_from_env())
    {
    }

    int run();

private:
    std::vector<std::string> driver(const char *action) const { return {prefix_ + "/bin/vx7_driver", action}; }
    double uniform(double a, double b) { return std::uniform_real_distribution<double>(a, b)(rng_); }
    unsigned pick(unsigned n) { return static_cast<unsigned>(rng_() % n); }

    bool start_driver();
    bool stop_driver();
    bool restart_driver();
    bool kill_driver();
    void try_other_driver(double t);
    void check_other_driver(double t);
    void storm_event(double t);
    void begin_calm(double t);
    void check_progress(double t, bool calm);
    void check_helpers();
    void sample(double t);
    void report_usage();
    void collect_answered();
    void check_values(const std::string &values_file);

    std::string prefix_;
    double seconds_;
    unsigned seed_;
    std::mt19937 rng_;
    std::string reader_prog_, configure_prog_;
    vx7sim::Sim sim_;
    int dev_ = 0;

    pid_t daemon_ = -1;
    double daemon_since_ = 0;
    pid_t reader_ = -1, configure_ = -1;

    bool attached_ = true;
    double replug_at_ = -1;
    double open_ok_at_ = -1;
    double quiet_until_ = 0; // no fault has an effect on the driver after this
    double last_progress_ = 0;
    std::string last_records_;
    unsigned long record_changes_ = 0;
    std::map<std::string, unsigned> events_;
    std::vector<Usage> usage_;
    // Bits of every value a reader may see per channel, from the sample log.
    std::set<std::uint64_t> answered_[4];
    std::uint64_t log_seen_ = 0;
    std::uint64_t log_lost_ = 0;
    unsigned kills_ = 0;
    // The second driver's attempt under way: when it began, its PID once its
    // lock file names it, and the running writer it must name.
    double other_since_ = -1;
    pid_t other_pid_ = -1;
    pid_t other_must_name_ = -1;
};

void Soak::collect_answered()
{
    const vx7sim::SampleLog log = sim_.samples(dev_, log_seen_);
    log_lost_ += log.lost;
    for (const vx7sim::AnsweredSample &a : log.samples) {
        const std::uint8_t report[4] = {static_cast<std::uint8_t>(0x80 | (a.exponent & 7) << 2 | (a.channel & 3)),
                                        static_cast<std::uint8_t>(a.raw >> 16), static_cast<std::uint8_t>(a.raw >> 8),
                                        static_cast<std::uint8_t>(a.raw)};
        vx7::driver::Sample s{};
        if (!vx7::driver::decode_sample(std::span<const std::uint8_t, 4>(report), s))
            continue;
        const vx7::record::Text t = vx7::record::format(s.volts, 0);
        char rec[vx7::record::kSize];
        std::memset(rec, ' ', sizeof rec);
        std::memcpy(rec, t.bytes, t.length + 1);
        double v = 0;
        if (vx7::record::parse_value(rec, v)) {
            std::uint64_t bits = 0;
            std::memcpy(&bits, &v, sizeof bits);
            answered_[s.channel].insert(bits);
        }
    }
    log_seen_ = log.total;
}

void Soak::check_values(const std::string &values_file)
{
    collect_answered();
    std::ifstream in(values_file);
    if (!in) {
        fail("the readers left no list of the values they saw");
        return;
    }
    unsigned long checked = 0, unknown = 0;
    int channel = 0;
    std::string hex;
    while (in >> channel >> hex) {
        const std::uint64_t bits = std::stoull(hex, nullptr, 16);
        ++checked;
        if (channel < 1 || channel > 4 || answered_[channel - 1].count(bits) == 0) {
            if (++unknown <= 5) {
                double v = 0;
                std::memcpy(&v, &bits, sizeof v);
                std::printf("soak: channel %d showed %.17g, which the device never answered on it\n", channel, v);
            }
        }
    }
    std::printf("values: %lu distinct values seen by the readers, %lu not among the %zu answered ones%s\n", checked,
                unknown, answered_[0].size() + answered_[1].size() + answered_[2].size() + answered_[3].size(),
                log_lost_ > 0 ? " (sample log overran: check skipped)" : "");
    if (unknown > 0 && log_lost_ == 0)
        fail(std::to_string(unknown) +
             " values seen by the readers were never answered by the device (mixed records?)");
}

bool Soak::start_driver()
{
    const auto r = run_program(driver("start"), 10);
    if (!r) {
        fail("vx7_driver start did not return within 10 s");
        return false;
    }
    if (!wait_for([] { return lock_pid() > 0 && alive(lock_pid()); }, 5)) {
        fail("vx7_driver start (exit status " + std::to_string(*r) + ") left no live daemon in the lock file");
        return false;
    }
    daemon_ = lock_pid();
    daemon_since_ = now_s();
    return true;
}

bool Soak::stop_driver()
{
    const pid_t old = daemon_;
    daemon_ = -1;
    if (!run_program(driver("stop"), 10)) {
        fail("vx7_driver stop did not return within 10 s");
        return false;
    }
    if (!wait_for([old] { return !alive(old); }, 10)) {
        fail("the daemon (PID " + std::to_string(old) + ") did not end within 10 s of stop");
        return false;
    }
    if (::access(kLockFile, F_OK) == 0 && lock_pid() == old)
        fail("the stopped daemon's lock file is still there");
    return true;
}

bool Soak::restart_driver()
{
    const pid_t old = daemon_;
    daemon_ = -1;
    if (!run_program(driver("restart"), 10)) {
        fail("vx7_driver restart did not return within 10 s");
        return false;
    }
    if (!wait_for([old] { return !alive(old); }, 10)) {
        fail("the daemon (PID " + std::to_string(old) + ") did not end within 10 s of restart");
        return false;
    }
    if (!wait_for([old] { return lock_pid() > 0 && lock_pid() != old && alive(lock_pid()); }, 5)) {
        fail("restart left no new live daemon in the lock file");
        return false;
    }
    daemon_ = lock_pid();
    daemon_since_ = now_s();
    return true;
}

// The daemon dies without its clean-up (as in a crash or a power loss): its
// channel files keep their last records under settled counters and its lock
// file stays; the next start must take both over.
bool Soak::kill_driver()
{
    const pid_t old = daemon_;
    daemon_ = -1;
    ::kill(old, SIGKILL);
    if (!wait_for([old] { return !alive(old); }, 10)) {
        fail("the daemon (PID " + std::to_string(old) + ") did not end within 10 s of SIGKILL");
        return false;
    }
    ++kills_;
    return true;
}

void Soak::try_other_driver(double t)
{
    if (other_since_ >= 0 || daemon_ <= 0)
        return;
    (void)::unlink(kOtherLogFile);
    if (::access(kOtherDriver, F_OK) != 0 && ::symlink((prefix_ + "/bin/vx7_driver").c_str(), kOtherDriver) != 0) {
        fail("cannot make the second driver's link");
        return;
    }
    if (!run_program({kOtherDriver, "start"}, 10)) {
        fail("the second driver's start did not return within 10 s");
        return;
    }
    other_since_ = t;
    other_pid_ = -1;
    other_must_name_ = daemon_;
    ++events_["second drivers under another name"];
}

void Soak::check_other_driver(double t)
{
    if (other_since_ < 0)
        return;
    if (other_pid_ <= 0) {
        const long v = std::strtol(slurp(kOtherLockFile).c_str(), nullptr, 10);
        if (v > 0)
            other_pid_ = static_cast<pid_t>(v);
    }
    const bool ended = other_pid_ > 0 ? !alive(other_pid_) : ::access(kOtherLogFile, F_OK) == 0;
    if (!ended) {
        if (t - other_since_ > kOtherDriverSeconds) {
            fail("the second driver (another name, the same channel files) still runs after " +
                 std::to_string(static_cast<int>(kOtherDriverSeconds)) + " s");
            if (other_pid_ > 0)
                ::kill(other_pid_, SIGKILL);
            other_since_ = -1;
        }
        return;
    }
    const std::string log = slurp(kOtherLogFile);
    const std::string name =
        "PID " + std::to_string(other_must_name_) + " (" + prefix_ + "/bin/vx7_driver) writes it\n";
    if (log.rfind("Can not write channel file ./adc1.adc: ", 0) != 0 || log.find(name) == std::string::npos)
        fail("the second driver ended without naming the running writer; its log: " + log);
    if (::access(kOtherLockFile, F_OK) == 0)
        fail("the second driver left its lock file");
    other_since_ = -1;
}

void Soak::storm_event(double t)
{
    using vx7sim::Fault;
    using vx7sim::TransferKind;
    const auto quiet_for = [&](double s) { quiet_until_ = std::max(quiet_until_, t + s + 1.0); };
    switch (pick(10)) {
    case 0:
        if (attached_) {
            const double hold = uniform(0.2, 3.0);
            sim_.set_attached(dev_, false);
            attached_ = false;
            replug_at_ = t + hold;
            quiet_for(hold);
            ++events_["unplug and replug"];
        }
        break;
    case 1:
        sim_.inject_fault(dev_, Fault::fail(TransferKind::Get, 1 + pick(5)));
        quiet_for(1);
        ++events_["failed reads"];
        break;
    case 2:
        sim_.inject_fault(dev_,
                          Fault::short_transfer(TransferKind::Get, static_cast<std::uint8_t>(pick(4)), 1 + pick(3)));
        quiet_for(1);
        ++events_["short reads"];
        break;
    case 3:
        if (pick(2) == 0) {
            sim_.inject_fault(dev_, Fault::delay(TransferKind::Get, 6000));
            quiet_for(6);
            ++events_["reads past the time-out"];
        } else {
            const auto ms = 20 + pick(900);
            sim_.inject_fault(dev_, Fault::delay(TransferKind::Get, ms, 1 + pick(3)));
            quiet_for(3 * ms / 1000.0 + 1);
            ++events_["delayed reads"];
        }
        break;
    case 4: {
        const unsigned which = pick(3);
        sim_.inject_fault(dev_, which == 0 ? Fault::fail(TransferKind::Set)
                                : which == 1
                                    ? Fault::short_transfer(TransferKind::Set, static_cast<std::uint8_t>(pick(4)))
                                    : Fault::delay(TransferKind::Set, 6000));
        ++events_["faulty configure transfers"];
        break;
    }
    case 5: {
        std::vector<std::vector<std::uint8_t>> replies;
        for (unsigned i = 0, n = 1 + pick(4); i < n; ++i) {
            std::uint8_t marker = static_cast<std::uint8_t>(rng_());
            if ((marker & 0xE0) == 0x80)
                marker ^= 0x40;
            replies.push_back({marker, static_cast<std::uint8_t>(rng_()), static_cast<std::uint8_t>(rng_()),
                               static_cast<std::uint8_t>(rng_())});
        }
        if (pick(3) == 0)
            replies.push_back({0x80, 0x12}); // a reply shorter than a report
        sim_.queue_reports(dev_, replies);
        quiet_for(1);
        ++events_["replies without a sample"];
        break;
    }
    case 6:
        if (open_ok_at_ < 0) {
            sim_.set_open_fails(dev_, true);
            open_ok_at_ = t + uniform(0.2, 2.0);
            quiet_for(open_ok_at_ - t);
            ++events_["refused opens"];
        }
        break;
    case 7:
        try_other_driver(t);
        break;
    default:
        break; // a pause in the storm
    }
}

void Soak::begin_calm(double t)
{
    sim_.clear_faults(dev_);
    sim_.clear_queue(dev_);
    sim_.set_open_fails(dev_, false);
    open_ok_at_ = -1;
    if (!attached_) {
        sim_.set_attached(dev_, true);
        attached_ = true;
        replug_at_ = -1;
    }
    // A transfer delayed past the time-out just before may still hold the
    // driver for 5 s.
    quiet_until_ = std::max(quiet_until_, t + 6.0);
}

void Soak::check_progress(double t, bool calm)
{
    std::string records;
    for (int n = 1; n <= 4; ++n) {
        std::string r = slurp("/home/dev/vx7/adc" + std::to_string(n) + ".adc");
        r.resize(100, '\0');
        records += r;
    }
    if (records != last_records_) {
        if (!last_records_.empty())
            ++record_changes_;
        last_records_ = records;
        last_progress_ = t;
    }
    const double stalled_since = std::max(last_progress_, quiet_until_);
    if (daemon_ > 0 && attached_ && calm && t - stalled_since > kHangSeconds) {
        fail("the records have not changed for " + std::to_string(static_cast<int>(t - last_progress_)) +
             " s with the device attached and no fault active");
        last_progress_ = t; // one report per stall
    }
}

void Soak::check_helpers()
{
    for (pid_t *p : {&reader_, &configure_}) {
        int status = 0;
        if (*p > 0 && ::waitpid(*p, &status, WNOHANG) == *p) {
            fail(std::string(p == &reader_ ? "the readers" : "the configure process") +
                 " ended by themselves (status " + std::to_string(status) + ")");
            *p = -1;
        }
    }
    if (daemon_ > 0 && !alive(daemon_)) {
        fail("the daemon (PID " + std::to_string(daemon_) + ") ended by itself");
        daemon_ = -1;
    }
}

void Soak::sample(double t)
{
    if (daemon_ <= 0)
        return;
    if (const auto u = sample_usage(daemon_)) {
        usage_.push_back(*u);
        std::printf("soak: %5.1f s  daemon %d: %d fds, VmRSS %ld kB (anon %ld kB), CPU %.2f s\n", t, u->pid, u->fds,
                    u->rss_kb, u->anon_kb, u->cpu_s);
        std::fflush(stdout);
    }
}

void Soak::report_usage()
{
    // Per daemon instance: its first sample after the warm-up against its last.
    std::map<pid_t, std::vector<Usage>> by_pid;
    for (const Usage &u : usage_)
        by_pid[u.pid].push_back(u);
    const Usage *first_overall = usage_.empty() ? nullptr : &usage_.front();
    for (auto &[pid, samples] : by_pid) {
        const double born = samples.front().t;
        const auto base = std::find_if(samples.begin(), samples.end(),
                                       [&](const Usage &u) { return u.t >= born + kWarmUpSeconds - 1; });
        const Usage &last = samples.back();
        if (base == samples.end() || last.t - base->t < 9) {
            std::printf("daemon %d: lived too short for a leak check (%zu samples)\n", pid, samples.size());
            continue;
        }
        std::printf(
            "daemon %d: fds %d -> %d, VmRSS %ld -> %ld kB, anon %ld -> %ld kB over %.0f s, CPU %.2f s in "
            "%.0f s (%.2f %% of one core)\n",
            pid, base->fds, last.fds, base->rss_kb, last.rss_kb, base->anon_kb, last.anon_kb, last.t - base->t,
            last.cpu_s, last.t - born, 100.0 * (last.cpu_s - samples.front().cpu_s) / std::max(1.0, last.t - born));
        if (last.fds > base->fds)
            fail("daemon " + std::to_string(pid) + ": descriptors grew from " + std::to_string(base->fds) + " to " +
                 std::to_string(last.fds));
        if (last.anon_kb > base->anon_kb + kAnonToleranceKb)
            fail("daemon " + std::to_string(pid) + ": anonymous memory grew from " + std::to_string(base->anon_kb) +
                 " kB to " + std::to_string(last.anon_kb) + " kB");
    }
    if (first_overall != nullptr)
        std::printf("daemon overall: fds %d at start, %d at end; VmRSS %ld kB at start, %ld kB at end\n",
                    first_overall->fds, usage_.back().fds, first_overall->rss_kb, usage_.back().rss_kb);
}

int Soak::run()
{
    t0 = Clock::now();
    std::printf("soak: %.0f s, seed %u\n", seconds_, seed_);
    std::fflush(stdout);
    dev_ = 0;

    if (!start_driver())
        return 1;
    const std::string values_file = "/tmp/vx7-soak-values";
    reader_ = spawn({reader_prog_, values_file});
    configure_ = spawn({configure_prog_, std::to_string(seed_)}, true);
    if (reader_ < 0 || configure_ < 0) {
        fail("cannot start the readers or the configure process");
        return 1;
    }

    // Restarts only where the last daemon instance still lives long enough
    // for its leak check: never in the last max(40 s, half) of the run.
    const double restart_window = seconds_ - std::max(40.0, seconds_ / 2);
    double restart_at = restart_window > kWarmUpSeconds ? uniform(kWarmUpSeconds, restart_window) : -1;
    double next_event = kWarmUpSeconds;
    double next_sample = 0;
    bool was_calm = true;
    double calm_since = 0;
    unsigned restarts = 0;

    for (double t = now_s(); t < seconds_; t = now_s()) {
        const double cycle = t < kWarmUpSeconds ? -1 : std::fmod(t - kWarmUpSeconds, kStormSeconds + kCalmSeconds);
        const bool calm = cycle < 0 || cycle >= kStormSeconds;
        if (calm && !was_calm) {
            begin_calm(t);
            calm_since = t;
        }
        if (!calm && was_calm && t > kWarmUpSeconds) {
            // The end of a calm phase: the records must have moved in it once
            // the last faults had settled.
            if (daemon_ > 0 && quiet_until_ + 2 < t && last_progress_ <= quiet_until_)
                fail("the records did not change in the calm phase since " +
                     std::to_string(static_cast<int>(calm_since)) + " s");
        }
        was_calm = calm;

        if (replug_at_ >= 0 && t >= replug_at_) {
            sim_.set_attached(dev_, true);
            attached_ = true;
            replug_at_ = -1;
        }
        if (open_ok_at_ >= 0 && t >= open_ok_at_) {
            sim_.set_open_fails(dev_, false);
            open_ok_at_ = -1;
        }
        if (!calm && t >= next_event) {
            // The first storm's first event is always the second driver, so
            // that every soak tries one.
            if (events_.count("second drivers under another name") == 0)
                try_other_driver(t);
            else
                storm_event(t);
            next_event = t + uniform(0.3, 2.5);
        }
        // No restart while a second driver waits for the channel files: it
        // could take them in the moment between the two daemons.
        if (!calm && restart_at >= 0 && t >= restart_at && other_since_ < 0) {
            // The first one is always a kill, so that every soak has one.
            const unsigned how = restarts == 0 ? 2 : pick(3);
            ++events_[how == 0   ? "driver restarts (restart)"
                      : how == 1 ? "driver restarts (stop, start)"
                                 : "driver restarts (SIGKILL, start)"];
            const bool ok = how == 0   ? restart_driver()
                            : how == 1 ? (stop_driver() && start_driver())
                                       : (kill_driver() && start_driver());
            if (!ok)
                break;
            ++restarts;
            quiet_until_ = std::max(quiet_until_, now_s() + 2);
            // Mostly another restart later in the window, 15 s to 2 min on.
            const double next_from = now_s() + 15;
            restart_at = next_from < restart_window && pick(4) != 0
                             ? uniform(next_from, std::min(restart_window, next_from + 105))
                             : -1;
        }
        check_progress(now_s(), calm);
        check_helpers();
        check_other_driver(now_s());
        collect_answered();
        if (t >= next_sample) {
            sample(t);
            next_sample += 10;
        }
        if (daemon_ <= 0)
            break;
        std::this_thread::sleep_for(100ms);
    }

    // The end: a second driver's attempt seen through, helpers (each prints
    // its summary), then the daemon.
    while (other_since_ >= 0) {
        check_other_driver(now_s());
        std::this_thread::sleep_for(100ms);
    }
    begin_calm(now_s());
    sample(now_s());
    for (pid_t *p : {&reader_, &configure_}) {
        if (*p <= 0)
            continue;
        ::kill(*p, SIGTERM);
        int status = 0;
        const bool ended = wait_for([&] { return ::waitpid(*p, &status, WNOHANG) == *p; }, 10);
        if (!ended) {
            ::kill(*p, SIGKILL);
            ::waitpid(*p, &status, 0);
            fail(std::string(p == &reader_ ? "the readers" : "the configure process") + " did not end on SIGTERM");
        } else if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
            fail(std::string(p == &reader_ ? "the readers found wrong values" : "the configure process failed") +
                 " (status " + std::to_string(status) + ")");
        }
        *p = -1;
    }
    std::fflush(stdout);
    check_values(values_file);
    if (daemon_ > 0 && stop_driver()) {
        for (int n = 1; n <= 4; ++n) {
            if (slurp("/home/dev/vx7/adc" + std::to_string(n) + ".adc") != std::string(100, ' '))
                fail("channel file " + std::to_string(n) + " is not blank after the stop");
        }
    }

    std::printf("events:");
    for (const auto &[name, n] : events_)
        std::printf(" %s %u;", name.c_str(), n);
    std::printf("\nrecords: changed %lu times (seen every 100 ms)\n", record_changes_);
    report_usage();
    const vx7sim::Counters c = sim_.counters(dev_);
    std::printf(
        "device: %llu opens, %llu reads (%llu failed), %llu samples generated, %llu replies queued, "
        "%llu configure transfers, %lld handles open, %llu protocol errors\n",
        static_cast<unsigned long long>(c.opens), static_cast<unsigned long long>(c.get_transfers),
        static_cast<unsigned long long>(c.failed_transfers), static_cast<unsigned long long>(c.generated_samples),
        static_cast<unsigned long long>(c.queued_replies), static_cast<unsigned long long>(c.set_transfers),
        static_cast<long long>(c.open_handles()), static_cast<unsigned long long>(sim_.protocol_error_count()));
    // A driver killed with SIGKILL never closes its handle.
    if (c.open_handles() > static_cast<std::int64_t>(kills_))
        fail(std::to_string(c.open_handles()) + " device handles left open after every process ended (" +
             std::to_string(kills_) + " drivers killed)");
    if (sim_.protocol_error_count() != 0)
        fail(std::to_string(sim_.protocol_error_count()) + " badly framed requests reached the device");
    const std::string log = slurp(kLogFile);
    if (!log.empty())
        std::printf("daemon log:\n%s", log.c_str());

    if (failures.empty()) {
        std::printf("soak: PASSED\n");
        return 0;
    }
    std::printf("soak: FAILED (%zu failures)\n", failures.size());
    return 1;
}

} // namespace

int main(int argc, char **argv)
{
    if (argc != 6) {
        std::fprintf(stderr, "usage: vx7-soak-control PREFIX SECONDS SEED READ_PROGRAM CONFIGURE_PROGRAM\n");
        return 2;
    }
    try {
        Soak soak(argv[1], std::strtod(argv[2], nullptr), static_cast<unsigned>(std::strtoul(argv[3], nullptr, 10)),
                  argv[4], argv[5]);
        return soak.run();
    } catch (const std::exception &e) {
        std::fprintf(stderr, "vx7-soak-control: %s\n", e.what());
        return 1;
    }
}
