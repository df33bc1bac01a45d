#include "args.h"

#include "vx7daemon/daemon_paths.h"

#include <cstdarg>
#include <cstdio>

namespace vx7ctl {

using vx7::settings::parse_real;
using vx7::settings::parse_uint;

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

bool Args::option(std::string_view name, std::string_view &value, bool &missing)
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

bool Args::flag(std::string_view name)
{
    if (done() || peek() != name)
        return false;
    ++i_;
    return true;
}

int Args::unexpected(const char *command) const
{
    const std::string_view a = peek();
    return usage_error("%s: unexpected argument '%.*s'", command, static_cast<int>(a.size()), a.data());
}

// ---- status ----

int parse_status(Args &args, StatusOptions &o)
{
    while (!args.done()) {
        std::string_view v;
        bool missing = false;
        if (!args.option("--program", v, missing))
            return args.unexpected("status");
        if (missing || v.empty())
            return usage_error("status: --program needs a program name");
        const std::size_t slash = v.rfind('/');
        const std::string_view base = slash == std::string_view::npos ? v : v.substr(slash + 1);
        if (base.empty())
            return usage_error("status: --program '%.*s' names no program", static_cast<int>(v.size()), v.data());
        o.programs.emplace_back(base);
    }
    if (o.programs.empty())
        for (const char *const *p = dmn_driver_programs; *p != nullptr; ++p)
            o.programs.emplace_back(*p);
    return kOk;
}

// ---- read ----

namespace {

constexpr long kMinInterval = 10; // the driver refreshes a channel at most every 10 ms
constexpr long kMaxInterval = 3600000;

int parse_watch(Args &args, ReadOptions &o)
{
    const std::string_view a = args.next();
    o.watch = true;
    unsigned long long ms = 0;
    if (a == "--watch") {
        // An optional interval: the next argument when it is a number.
        if (args.done() || !parse_uint(args.peek(), ~0ULL, ms))
            return kOk;
        args.next();
        if (ms < kMinInterval || ms > kMaxInterval)
            return usage_error("read: --watch interval must be %ld-%ld ms (give CHANNEL before --watch)", kMinInterval,
                               kMaxInterval);
    } else if (!parse_uint(a.substr(8), ~0ULL, ms) || ms < kMinInterval || ms > kMaxInterval) {
        return usage_error("read: --watch interval must be %ld-%ld ms", kMinInterval, kMaxInterval);
    }
    o.interval_ms = static_cast<long>(ms);
    return kOk;
}

} // namespace

int parse_read(Args &args, ReadOptions &o)
{
    bool have_channel = false;
    while (!args.done()) {
        const std::string_view a = args.peek();
        std::string_view v;
        bool missing = false;
        if (args.flag("--json")) {
            o.json = true;
        } else if (a == "--watch" || a.substr(0, 8) == "--watch=") {
            if (const int rc = parse_watch(args, o); rc != kOk)
                return rc;
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

// ---- configure ----

int parse_configure(Args &args, ConfigureOptions &o)
{
    namespace settings = vx7::settings;
    bool have_chan = false;
    settings::Settings &s = o.settings;
    while (!args.done()) {
        std::string_view v;
        bool missing = false;
        std::string error;
        if (args.option("--chan", v, missing)) {
            error = settings::check_channel("--chan", v, s.device_channel);
            have_chan = true;
        } else if (args.option("--freq", v, missing)) {
            error = settings::check_freq("--freq", v, s.freq);
        } else if (args.option("--range", v, missing)) {
            error = settings::check_range("--range", v, s.range);
        } else if (args.option("--calibrate", v, missing)) {
            error = settings::check_calibrate("--calibrate", v, s.calibrate);
        } else if (args.option("--input", v, missing)) {
            error = settings::check_input("--input", v, s.input);
        } else {
            return args.unexpected("configure");
        }
        if (!error.empty())
            return usage_error("configure: %s", error.c_str());
    }
    if (!have_chan)
        return usage_error("configure: --chan CHANNEL (1-4) is required");
    return kOk;
}

// ---- record ----

namespace {

constexpr double kMaxDuration = 366.0 * 24 * 3600; // a year: beyond it, a typo
constexpr unsigned long long kMaxCount = 1000000000000ULL;

// "1,3", "2-4", "1-2,4": channels 1-4; false for anything else.
bool parse_channel_list(std::string_view s, std::uint32_t &mask)
{
    mask = 0;
    while (true) {
        const std::size_t comma = s.find(',');
        const std::string_view item = s.substr(0, comma);
        const std::size_t dash = item.find('-');
        unsigned long long lo = 0, hi = 0;
        if (!parse_uint(item.substr(0, dash), kChannels, lo) || lo < 1)
            return false;
        hi = lo;
        if (dash != std::string_view::npos && (!parse_uint(item.substr(dash + 1), kChannels, hi) || hi < lo))
            return false;
        for (unsigned long long c = lo; c <= hi; ++c)
            mask |= 1u << (c - 1);
        if (comma == std::string_view::npos)
            return true;
        s.remove_prefix(comma + 1);
    }
}

#define VX7CTL_QUOTED(v) static_cast<int>((v).size()), (v).data()

int record_option(Args &args, RecordOptions &o)
{
    std::string_view v;
    bool missing = false;
    if (args.option("--output", v, missing)) {
        if (missing || v.empty())
            return usage_error("record: --output needs a file name");
        o.output = v == "-" ? std::string() : std::string(v);
    } else if (args.option("--format", v, missing)) {
        if (v != "csv" && v != "jsonl")
            return usage_error("record: --format must be csv or jsonl, not '%.*s'", VX7CTL_QUOTED(v));
        o.format = v == "csv" ? RecordOptions::Format::Csv : RecordOptions::Format::Jsonl;
    } else if (args.option("--channels", v, missing)) {
        if (!parse_channel_list(v, o.channel_mask))
            return usage_error("record: --channels must list channels 1-4 such as 1,3 or 2-4, not '%.*s'",
                               VX7CTL_QUOTED(v));
    } else if (args.option("--duration", v, missing)) {
        if (!parse_real(v, o.duration_s) || !(o.duration_s > 0) || o.duration_s > kMaxDuration)
            return usage_error("record: --duration must be a number of seconds above 0, at most %.0f, not '%.*s'",
                               kMaxDuration, VX7CTL_QUOTED(v));
    } else if (args.option("--channels-config", v, missing)) {
        if (missing || v.empty())
            return usage_error("record: --channels-config needs a file name");
        o.channels_config = v;
    } else if (args.option("--count", v, missing)) {
        unsigned long long n = 0;
        if (!parse_uint(v, kMaxCount, n) || n == 0)
            return usage_error("record: --count must be a number of samples, 1-%llu, not '%.*s'", kMaxCount,
                               VX7CTL_QUOTED(v));
        o.count = n;
    } else {
        return args.unexpected("record");
    }
    return kOk;
}

} // namespace

int parse_record(Args &args, RecordOptions &o)
{
    bool append = false, force = false;
    while (!args.done()) {
        if (args.flag("--append")) {
            append = true;
        } else if (args.flag("--force")) {
            force = true;
        } else if (const int rc = record_option(args, o); rc != kOk) {
            return rc;
        }
    }
    if (append && force)
        return usage_error("record: give --append or --force, not both");
    if ((append || force) && o.output.empty())
        return usage_error("record: --%s needs --output FILE", append ? "append" : "force");
    o.existing = append  ? RecordOptions::Existing::Append
                 : force ? RecordOptions::Existing::Overwrite
                         : RecordOptions::Existing::Refuse;
    return kOk;
}

} // namespace vx7ctl
