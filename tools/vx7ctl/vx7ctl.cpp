// vx7ctl: the vx7 ADC from the command line. Lists USB devices, tells whether
// the acquisition driver runs, reads channel values (once, watching, or as
// JSON), configures a channel and resets the device, all through libvx7.
//
// Every argument is checked before anything reaches the library, so a value
// the library would silently wrap or take as "unchanged" (channel 7, a
// frequency of 70000, a range so small it rounds to 0 as a float) is refused
// with a one-line error and exit status 2.
#include "vx7/memfile.h"
#include "vx7/vhid.h"
#include "vx7/vx7.h"

#include "daemon.h"
#include "daemon_paths.h"
#include "driver/record.h"

#include <cerrno>
#include <cmath>
#include <csignal>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <clocale>
#include <fcntl.h>
#include <poll.h>
#include <string>
#include <string_view>
#include <sys/mman.h>
#include <time.h>
#include <unistd.h>
#include <vector>

namespace {

// Exit status.
enum Exit : int {
    kOk = 0,
    kFailed = 1,   // a command was not delivered, or a channel has no value
    kUsage = 2,    // bad command line
    kNoDevice = 3, // the vx7 device was not found
    kNoDaemon = 4, // the driver daemon is not running
};

const char kUsageText[] =
    "usage: vx7ctl COMMAND [OPTIONS]\n"
    "\n"
    "Commands:\n"
    "  list                 the USB devices the transport sees; the vx7 device is\n"
    "                       marked with \"*\"\n"
    "  status [--program NAME]\n"
    "                       whether the acquisition driver runs (vx7_driver and\n"
    "                       vx7_driver_quiet, or NAME), and each channel's latest\n"
    "                       value with its elapsed-milliseconds field\n"
    "  read [CHANNEL] [--watch [MS]] [--count N] [--json]\n"
    "                       latest value of channel CHANNEL (1-4), or of all four;\n"
    "                       --watch refreshes every MS ms (10-3600000, default 500)\n"
    "                       until Ctrl+C, --count N stops after N readings (and\n"
    "                       implies --watch), --json prints one JSON object per\n"
    "                       reading; give CHANNEL before --watch, or --watch=MS\n"
    "  configure --chan CHANNEL [--freq HZ] [--range VOLTS] [--calibrate MODE]\n"
    "            [--input INPUT]\n"
    "                       configures channel CHANNEL (0-3) of the device; a\n"
    "                       setting left out (or 0 for HZ and VOLTS) stays as it is\n"
    "                         --freq HZ         sampling frequency, 0-65535\n"
    "                         --range VOLTS     largest input voltage, 0-2.5; the\n"
    "                                           device takes the smallest range\n"
    "                                           2.5/2^k V (k 0-7) that holds it\n"
    "                         --calibrate MODE  none, auto, ext-zero, ext-range,\n"
    "                                           mixed, background, int-zero,\n"
    "                                           int-range (or 0-7)\n"
    "                         --input INPUT     A, B, GND, test (or 0-3)\n"
    "  reset                hard reset of the device\n"
    "  help                 the library's help text\n"
    "  --help, -h           this text\n"
    "\n"
    "Channel numbers: configure numbers the channels 0-3, as the device does;\n"
    "read numbers the same channels 1-4 (configure --chan 0 is read 1).\n"
    "\n"
    "Exit status:\n"
    "  0  success\n"
    "  1  failure: a command was not delivered, or a channel has no value\n"
    "  2  bad command line\n"
    "  3  vx7 device not found (list, configure, reset)\n"
    "  4  driver daemon not running (status)\n";

constexpr int kChannels = vx7::record::kChannels;
constexpr int kVendorId = 0x16C0;
constexpr int kProductId = 0x05DF;
constexpr wchar_t kManufacturer[] = L"ZANDRIVELO";
constexpr wchar_t kProduct[] = L"vx7 HID";
constexpr std::string_view kManufacturerText = "ZANDRIVELO";
constexpr std::string_view kProductText = "vx7 HID";

// vx7_read's sentinel for a channel file that holds no value or cannot be read.
constexpr double kNoValue = -1e10;

// The files vx7_read reads; status reads them itself because it also shows
// the elapsed-milliseconds field, which vx7_read does not return.
std::string channel_path(int n)
{
    return "/home/dev/vx7/adc" + std::to_string(n) + ".adc";
}

constexpr const char *kDefaultPrograms[] = {"vx7_driver", "vx7_driver_quiet"};

// Words of vx7_configure's result codes.
constexpr const char *kConfigureMeaning[] = {
    "OK",
    "failed open device",
    "wrong channel (must be 0 - 3)",
    "can not set frequency",
    "can not set range",
    "can not set calibration",
    "can not set subchannel",
    "can not apply changes",
};

constexpr const char *kCalibrationNames[] = {"none",     "auto",       "ext-zero", "ext-range",
                                             "mixed",    "background", "int-zero", "int-range"};
constexpr const char *kInputNames[] = {"a", "b", "gnd", "test"};

#if defined(__GNUC__)
__attribute__((format(printf, 1, 2)))
#endif
int usage_error(const char *fmt, ...)
{
    std::fputs("vx7ctl: ", stderr);
    va_list ap;
    va_start(ap, fmt);
    std::vfprintf(stderr, fmt, ap);
    va_end(ap);
    std::fputs(" (see vx7ctl --help)\n", stderr);
    return kUsage;
}

#if defined(__GNUC__)
__attribute__((format(printf, 2, 3)))
#endif
int fail(int status, const char *fmt, ...)
{
    std::fputs("vx7ctl: ", stderr);
    va_list ap;
    va_start(ap, fmt);
    std::vfprintf(stderr, fmt, ap);
    va_end(ap);
    std::fputc('\n', stderr);
    return status;
}

// ---- argument parsing ----

// A decimal number of digits only (no sign, no blanks) up to `max`.
bool parse_uint(std::string_view s, unsigned long long max, unsigned long long &out)
{
    if (s.empty() || s.size() > 20)
        return false;
    unsigned long long v = 0;
    for (char c : s) {
        if (c < '0' || c > '9')
            return false;
        const auto d = static_cast<unsigned long long>(c - '0');
        if (d > max || v > (max - d) / 10)
            return false;
        v = v * 10 + d;
    }
    out = v;
    return true;
}

// A finite decimal number, the whole text (the C locale's "." is the point:
// the program never changes LC_NUMERIC).
bool parse_real(std::string_view s, double &out)
{
    if (s.empty() || s.size() > 64 || s.front() == ' ' || s.front() == '\t')
        return false;
    const std::string text(s);
    char *end = nullptr;
    errno = 0;
    const double v = std::strtod(text.c_str(), &end);
    if (end != text.c_str() + text.size() || !std::isfinite(v) || errno == ERANGE)
        return false;
    out = v;
    return true;
}

std::string normalised_name(std::string_view s)
{
    std::string r(s);
    for (char &c : r) {
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
        else if (c == '_')
            c = '-';
    }
    return r;
}

// A name from `names` (case-insensitive, "_" as "-") or its index as a number.
template <std::size_t N>
bool parse_choice(std::string_view s, const char *const (&names)[N], std::uint8_t &out)
{
    const std::string l = normalised_name(s);
    for (std::size_t i = 0; i < N; ++i) {
        if (l == names[i]) {
            out = static_cast<std::uint8_t>(i);
            return true;
        }
    }
    unsigned long long v = 0;
    if (parse_uint(s, N - 1, v)) {
        out = static_cast<std::uint8_t>(v);
        return true;
    }
    return false;
}

// Walks a command's arguments; takes the value of "--name VALUE" and
// "--name=VALUE".
class Args {
public:
    Args(int argc, char **argv, int first) : argv_(argv), argc_(argc), i_(first) {}

    bool done() const { return i_ >= argc_; }
    std::string_view peek() const { return argv_[i_]; }
    std::string_view next() { return argv_[i_++]; }

    // True when the current argument is option `name` (either form). The
    // value is then in `value`; `missing` is set when none follows.
    bool option(std::string_view name, std::string_view &value, bool &missing)
    {
        const std::string_view a = peek();
        missing = false;
        if (a == name) {
            ++i_;
            if (done()) {
                missing = true;
                return true;
            }
            value = next();
            return true;
        }
        if (a.size() > name.size() && a.substr(0, name.size()) == name && a[name.size()] == '=') {
            ++i_;
            value = a.substr(name.size() + 1);
            return true;
        }
        return false;
    }

private:
    char **argv_;
    int argc_;
    int i_;
};

// ---- signals (read --watch) ----

volatile sig_atomic_t g_interrupted = 0;

void on_interrupt(int)
{
    g_interrupted = 1;
}

// Ctrl+C (or SIGTERM) ends a watch between two readings. The signals stay
// blocked except while waiting, so one arriving at any moment ends the wait
// at once instead of being lost before it starts.
class InterruptWait {
public:
    InterruptWait()
    {
        struct sigaction sa{};
        sa.sa_handler = on_interrupt;
        sigemptyset(&sa.sa_mask);
        sigaction(SIGINT, &sa, &old_int_);
        sigaction(SIGTERM, &sa, &old_term_);
        sigset_t block;
        sigemptyset(&block);
        sigaddset(&block, SIGINT);
        sigaddset(&block, SIGTERM);
        sigprocmask(SIG_BLOCK, &block, &wait_mask_);
        sigdelset(&wait_mask_, SIGINT);
        sigdelset(&wait_mask_, SIGTERM);
    }
    ~InterruptWait()
    {
        sigprocmask(SIG_SETMASK, &wait_mask_, nullptr);
        sigaction(SIGINT, &old_int_, nullptr);
        sigaction(SIGTERM, &old_term_, nullptr);
    }
    InterruptWait(const InterruptWait &) = delete;
    InterruptWait &operator=(const InterruptWait &) = delete;

    // Waits `ms` milliseconds; false when interrupted.
    bool wait(long ms)
    {
        timespec left{ms / 1000, (ms % 1000) * 1000000L};
        timespec start{};
        clock_gettime(CLOCK_MONOTONIC, &start);
        while (!g_interrupted) {
            if (ppoll(nullptr, 0, &left, &wait_mask_) == 0)
                return !g_interrupted;
            // EINTR without our flag (another signal): wait for the rest.
            timespec now{};
            clock_gettime(CLOCK_MONOTONIC, &now);
            const long long done_ms = (now.tv_sec - start.tv_sec) * 1000LL + (now.tv_nsec - start.tv_nsec) / 1000000;
            if (done_ms >= ms)
                return !g_interrupted;
            const long long rest = ms - done_ms;
            left = {static_cast<time_t>(rest / 1000), static_cast<long>((rest % 1000) * 1000000L)};
        }
        return false;
    }

private:
    struct sigaction old_int_{};
    struct sigaction old_term_{};
    sigset_t wait_mask_{};
};

// ---- list ----

struct Listed {
    enum Kind { Device, CannotOpen, NoStrings, Other } kind;
    std::string manufacturer;
    std::string product;
    std::string text; // Other: the line as the transport printed it
};

// Runs the transport's listing mode with standard output going into an
// anonymous file, and returns what it printed; false when it cannot capture.
bool capture_listing(std::string &out)
{
    const int mem = memfd_create("vx7ctl-list", MFD_CLOEXEC);
    if (mem < 0)
        return false;
    std::fflush(stdout);
    const int saved = fcntl(1, F_DUPFD_CLOEXEC, 0);
    if (saved < 0 || dup2(mem, 1) < 0) {
        if (saved >= 0)
            close(saved);
        close(mem);
        return false;
    }
    void *none = HidOpenDevice(0, 0, L"", L""); // listing mode: always null
    HidCloseDevice(none);
    std::fflush(stdout);
    dup2(saved, 1);
    close(saved);

    out.clear();
    char buf[4096];
    off_t at = 0;
    for (;;) {
        const ssize_t n = pread(mem, buf, sizeof buf, at);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        out.append(buf, static_cast<std::size_t>(n));
        at += n;
    }
    close(mem);
    return true;
}

std::vector<Listed> parse_listing(const std::string &text)
{
    std::vector<Listed> items;
    std::size_t pos = 0;
    constexpr std::string_view prefix = "Device:\t";
    while (pos < text.size()) {
        std::size_t end = text.find('\n', pos);
        if (end == std::string::npos)
            end = text.size();
        const std::string_view line(text.data() + pos, end - pos);
        pos = end + 1;
        if (line.substr(0, prefix.size()) == prefix) {
            const std::string_view rest = line.substr(prefix.size());
            const std::size_t tab = rest.find('\t');
            if (tab != std::string_view::npos) {
                items.push_back({Listed::Device, std::string(rest.substr(0, tab)), std::string(rest.substr(tab + 1)), {}});
                continue;
            }
        }
        if (line == "Can not open")
            items.push_back({Listed::CannotOpen, {}, {}, {}});
        else if (line == "can not get string")
            items.push_back({Listed::NoStrings, {}, {}, {}});
        else if (!line.empty())
            items.push_back({Listed::Other, {}, {}, std::string(line)});
    }
    return items;
}

int cmd_list(Args &args)
{
    if (!args.done())
        return usage_error("list: unexpected argument '%.*s'", static_cast<int>(args.peek().size()), args.peek().data());
    std::string text;
    if (!capture_listing(text))
        return fail(kFailed, "list: cannot capture the device listing: %s", std::strerror(errno));

    int found = 0;
    const auto items = parse_listing(text);
    for (const Listed &d : items) {
        switch (d.kind) {
        case Listed::Device: {
            const bool vx7 = d.manufacturer == kManufacturerText && d.product == kProductText;
            found += vx7 ? 1 : 0;
            std::printf("%s %s\t%s\n", vx7 ? "*" : " ", d.manufacturer.c_str(), d.product.c_str());
            break;
        }
        case Listed::CannotOpen:
            std::printf("  (a device that cannot be opened)\n");
            break;
        case Listed::NoStrings:
            std::printf("  (a device whose strings cannot be read)\n");
            break;
        case Listed::Other:
            std::printf("  %s\n", d.text.c_str());
            break;
        }
    }
    if (items.empty())
        std::printf("no USB devices\n");
    if (found == 0) {
        std::printf("vx7 device: not found\n");
        return kNoDevice;
    }
    std::printf("vx7 device: found%s\n", found > 1 ? " (more than one; the first is used)" : "");
    return kOk;
}

// ---- status ----

// A stable copy of a channel file's record: the driver may be rewriting it,
// so it is copied until two copies agree.
bool read_record(const std::string &path, char (&rec)[vx7::record::kSize])
{
    memfile_t file{nullptr, nullptr};
    if (memfile_create(path.c_str(), MEMFILE_READ, vx7::record::kSize, &file) != 0) {
        memfile_close(&file);
        return false;
    }
    (void)vx7::record::copy_stable(file.data, rec);
    memfile_close(&file);
    return true;
}

int cmd_status(Args &args)
{
    std::vector<std::string> programs;
    while (!args.done()) {
        std::string_view v;
        bool missing = false;
        if (args.option("--program", v, missing)) {
            if (missing || v.empty())
                return usage_error("status: --program needs a program name");
            const std::size_t slash = v.rfind('/');
            const std::string_view base = slash == std::string_view::npos ? v : v.substr(slash + 1);
            if (base.empty())
                return usage_error("status: --program '%.*s' names no program", static_cast<int>(v.size()), v.data());
            programs.emplace_back(base);
            continue;
        }
        return usage_error("status: unexpected argument '%.*s'", static_cast<int>(args.peek().size()), args.peek().data());
    }
    if (programs.empty())
        programs.assign(std::begin(kDefaultPrograms), std::end(kDefaultPrograms));

    const char *home = dmn_home_directory();
    bool running = false;
    std::vector<std::string> notes;
    if (home == nullptr) {
        notes.emplace_back("no home directory (HOME is not set), no lock file to look at");
    } else {
        for (const std::string &p : programs) {
            // Started by a path, and started by a bare name (daemon control
            // knows where each keeps its lock).
            for (const std::string &started_as : {"/" + p, p}) {
                char path[DMN_PATH_SIZE];
                if (dmn_lock_path(started_as.c_str(), path, sizeof path) != 0)
                    continue;
                const std::string lock = path;
                long pid = 0;
                const int state = dmn_lock_state(lock.c_str(), p.c_str(), &pid);
                if (state == DMN_LOCK_LIVE) {
                    running = true;
                    std::printf("driver: running (%s, PID %ld, lock file %s)\n", p.c_str(), pid, lock.c_str());
                } else if (state == DMN_LOCK_STALE) {
                    notes.push_back("stale lock file " + lock +
                                    (pid > 0 ? " (PID " + std::to_string(pid) + " is no " + p + " daemon)"
                                             : std::string(" (holds no PID)")));
                } else if (state == DMN_LOCK_UNKNOWN) {
                    notes.push_back("lock file " + lock + " names PID " + std::to_string(pid) +
                                    ", which can not be checked (no /proc, or /proc hides it)");
                }
            }
        }
    }
    if (!running)
        std::printf("driver: not running\n");
    for (const std::string &n : notes)
        std::printf("  %s\n", n.c_str());

    for (int n = 1; n <= kChannels; ++n) {
        char rec[vx7::record::kSize];
        double volts = 0;
        std::uint64_t elapsed = 0;
        const std::string path = channel_path(n);
        if (!read_record(path, rec)) {
            std::printf("channel %d: no value (%s cannot be read)\n", n, path.c_str());
        } else if (!vx7::record::parse_value(rec, volts)) {
            std::printf("channel %d: no value\n", n);
        } else if (vx7::record::parse_elapsed(rec, elapsed)) {
            std::printf("channel %d: %+.9f V at %llu ms\n", n, volts, static_cast<unsigned long long>(elapsed));
        } else {
            std::printf("channel %d: %+.9f V (no elapsed-milliseconds field)\n", n, volts);
        }
    }
    return running ? kOk : kNoDaemon;
}

// ---- read ----

struct ReadOptions {
    int channel = 0; // 0: all
    bool watch = false;
    long interval_ms = 500;
    unsigned long long count = 0; // 0: until interrupted
    bool json = false;
};

constexpr long kMinInterval = 10; // the driver refreshes a channel at most every 10 ms
constexpr long kMaxInterval = 3600000;

int parse_read(Args &args, ReadOptions &o)
{
    bool have_channel = false;
    while (!args.done()) {
        const std::string_view a = args.peek();
        std::string_view v;
        bool missing = false;
        if (a == "--json") {
            args.next();
            o.json = true;
        } else if (a == "--watch") {
            args.next();
            o.watch = true;
            // An optional interval: the next argument when it is a number.
            unsigned long long ms = 0;
            if (!args.done() && parse_uint(args.peek(), ~0ULL, ms)) {
                args.next();
                if (ms < kMinInterval || ms > kMaxInterval)
                    return usage_error("read: --watch interval must be %ld-%ld ms (give CHANNEL before --watch)",
                                       kMinInterval, kMaxInterval);
                o.interval_ms = static_cast<long>(ms);
            }
        } else if (a.substr(0, 8) == "--watch=") {
            args.next();
            o.watch = true;
            unsigned long long ms = 0;
            if (!parse_uint(a.substr(8), ~0ULL, ms) || ms < kMinInterval || ms > kMaxInterval)
                return usage_error("read: --watch interval must be %ld-%ld ms", kMinInterval, kMaxInterval);
            o.interval_ms = static_cast<long>(ms);
        } else if (args.option("--count", v, missing)) {
            unsigned long long n = 0;
            if (missing || !parse_uint(v, 1000000000ULL, n) || n == 0)
                return usage_error("read: --count needs a number of readings, 1 or more");
            o.count = n;
            o.watch = true;
        } else if (!a.empty() && a[0] == '-') {
            return usage_error("read: unknown option '%.*s'", static_cast<int>(a.size()), a.data());
        } else {
            args.next();
            unsigned long long n = 0;
            if (have_channel)
                return usage_error("read: only one CHANNEL may be given");
            if (!parse_uint(a, kChannels, n) || n < 1)
                return usage_error("read: channel must be 1-4, not '%.*s'", static_cast<int>(a.size()), a.data());
            o.channel = static_cast<int>(n);
            have_channel = true;
        }
    }
    return kOk;
}

// One reading of the selected channels; returns whether every one had a value.
bool print_reading(const ReadOptions &o, bool redraw)
{
    const int first = o.channel == 0 ? 1 : o.channel;
    const int last = o.channel == 0 ? kChannels : o.channel;
    bool all = true;
    std::string out;
    char line[128];
    if (o.json)
        out += "{\"channels\":[";
    else if (redraw)
        out += "\033[" + std::to_string(last - first + 1) + "A";
    for (int n = first; n <= last; ++n) {
        const double v = vx7_read(static_cast<std::uint8_t>(n));
        const bool has = v != kNoValue && std::isfinite(v);
        all = all && has;
        if (o.json) {
            if (has)
                std::snprintf(line, sizeof line, "%s{\"channel\":%d,\"volts\":%.17g}", n == first ? "" : ",", n, v);
            else
                std::snprintf(line, sizeof line, "%s{\"channel\":%d,\"volts\":null}", n == first ? "" : ",", n);
        } else if (has) {
            std::snprintf(line, sizeof line, "channel %d: %+.9f V%s\n", n, v, redraw ? "\033[K" : "");
        } else {
            std::snprintf(line, sizeof line, "channel %d: no value%s\n", n, redraw ? "\033[K" : "");
        }
        out += line;
    }
    if (o.json)
        out += "]}\n";
    std::fwrite(out.data(), 1, out.size(), stdout);
    std::fflush(stdout);
    return all;
}

int cmd_read(Args &args)
{
    ReadOptions o;
    if (const int rc = parse_read(args, o); rc != kOk)
        return rc;
    if (!o.watch)
        return print_reading(o, false) ? kOk : kFailed;

    // In place on a terminal; elsewhere (a pipe, a file) one block per reading.
    const bool in_place = !o.json && isatty(1) == 1;
    InterruptWait waiter;
    bool all = false;
    for (unsigned long long i = 0; o.count == 0 || i < o.count; ++i) {
        if (i > 0 && !waiter.wait(o.interval_ms))
            break;
        all = print_reading(o, in_place && i > 0);
    }
    return all ? kOk : kFailed;
}

// ---- configure, reset, help ----

int cmd_configure(Args &args)
{
    bool have_chan = false;
    std::uint8_t chan = 0;
    std::uint16_t freq = 0;
    float range = 0.0f;
    std::uint8_t calibrate = 0xFF; // "do not change"
    std::uint8_t input = 0xFF;
    while (!args.done()) {
        const std::string_view a = args.peek();
        std::string_view v;
        bool missing = false;
        if (args.option("--chan", v, missing)) {
            unsigned long long n = 0;
            if (missing || !parse_uint(v, 3, n))
                return usage_error("configure: --chan must be 0-3, not '%.*s'", static_cast<int>(v.size()), v.data());
            chan = static_cast<std::uint8_t>(n);
            have_chan = true;
        } else if (args.option("--freq", v, missing)) {
            unsigned long long n = 0;
            if (missing || !parse_uint(v, 65535, n))
                return usage_error("configure: --freq must be 0-65535 Hz, not '%.*s'", static_cast<int>(v.size()),
                                   v.data());
            freq = static_cast<std::uint16_t>(n);
        } else if (args.option("--range", v, missing)) {
            double volts = 0;
            if (missing || !parse_real(v, volts) || volts < 0 || volts > VX7_MAX_RANGE)
                return usage_error("configure: --range must be 0-%g V, not '%.*s'", double{VX7_MAX_RANGE},
                                   static_cast<int>(v.size()), v.data());
            range = static_cast<float>(volts);
            // A voltage too small for a float would reach the library as 0,
            // "leave the range unchanged".
            if (volts > 0 && !(range > 0.0f))
                return usage_error("configure: --range %.*s V is too small", static_cast<int>(v.size()), v.data());
        } else if (args.option("--calibrate", v, missing)) {
            if (missing || !parse_choice(v, kCalibrationNames, calibrate))
                return usage_error("configure: --calibrate must be none, auto, ext-zero, ext-range, mixed, background, "
                                   "int-zero, int-range or 0-7, not '%.*s'",
                                   static_cast<int>(v.size()), v.data());
        } else if (args.option("--input", v, missing)) {
            if (missing || !parse_choice(v, kInputNames, input))
                return usage_error("configure: --input must be A, B, GND, test or 0-3, not '%.*s'",
                                   static_cast<int>(v.size()), v.data());
        } else {
            return usage_error("configure: unexpected argument '%.*s'", static_cast<int>(a.size()), a.data());
        }
    }
    if (!have_chan)
        return usage_error("configure: --chan CHANNEL (0-3) is required");

    const auto rc = static_cast<std::uint8_t>(vx7_configure(chan, freq, range, calibrate, input));
    const char *meaning = rc < std::size(kConfigureMeaning) ? kConfigureMeaning[rc] : "unknown result";
    if (rc == 0) {
        std::printf("%s\n", meaning);
        return kOk;
    }
    return fail(rc == 1 ? kNoDevice : kFailed, "configure: %s (result %u)", meaning, unsigned{rc});
}

int cmd_reset(Args &args)
{
    if (!args.done())
        return usage_error("reset: unexpected argument '%.*s'", static_cast<int>(args.peek().size()), args.peek().data());
    if (vx7_reinit() == 0) {
        std::printf("OK\n");
        return kOk;
    }
    // vx7_reinit says 1 both when there is no device and when the command
    // did not go through; a second look tells the two apart.
    void *dev = HidOpenDevice(kVendorId, kProductId, kManufacturer, kProduct);
    const bool present = HidIsConnected(dev) != 0;
    HidCloseDevice(dev);
    if (!present)
        return fail(kNoDevice, "reset: failed open device");
    return fail(kFailed, "reset: the reset command was not delivered");
}

int cmd_help(Args &args)
{
    if (!args.done())
        return usage_error("help: unexpected argument '%.*s'", static_cast<int>(args.peek().size()), args.peek().data());
    std::fputs(vx7_help(), stdout);
    return kOk;
}

} // namespace

int main(int argc, char **argv)
{
    // Device names in the listing are wide strings: print them in the
    // user's character set. Numbers keep the C locale's decimal point.
    std::setlocale(LC_CTYPE, "");

    if (argc < 2)
        return usage_error("no command given");
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
            std::fputs(kUsageText, stdout);
            return kOk;
        }
    }

    const std::string_view command = argv[1];
    Args args(argc, argv, 2);
    int rc;
    if (command == "list")
        rc = cmd_list(args);
    else if (command == "status")
        rc = cmd_status(args);
    else if (command == "read")
        rc = cmd_read(args);
    else if (command == "configure")
        rc = cmd_configure(args);
    else if (command == "reset")
        rc = cmd_reset(args);
    else if (command == "help")
        rc = cmd_help(args);
    else
        rc = usage_error("unknown command '%s'", argv[1]);
    if (std::fflush(stdout) != 0 && rc == kOk)
        rc = kFailed;
    return rc;
}
