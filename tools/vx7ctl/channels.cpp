// The commands that look at the driver and its channel files: status, read.
#include "args.h"
#include "commands.h"

#include "vx7/memfile.h"
#include "vx7/vx7.h"
#include "vx7daemon/daemon.h"
#include "vx7daemon/daemon_paths.h"
#include "vx7record/record.h"
#include "vx7stopsignals/stop_signals.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <unistd.h>
#include <vector>

namespace vx7ctl {
namespace {

static_assert(kChannels == vx7::record::kChannels);

// A stable copy of a channel file's record (the driver may be rewriting it).
bool read_record(const std::string &path, char (&rec)[vx7::record::kSize])
{
    memfile_t file{nullptr, nullptr};
    if (memfile_create(path.c_str(), MEMFILE_READ, vx7::record::kSize, &file) != 0) {
        memfile_close(&file);
        return false;
    }
    // A record caught half-written, again and again, reads as "no value".
    if (!vx7::record::read_stable(file.data, rec).consistent)
        std::memset(rec, ' ', sizeof rec);
    memfile_close(&file);
    return true;
}

// Prints whether one of `programs` runs as the driver daemon, and what stale
// lock files say; returns whether one runs.
bool print_driver_state(const std::vector<std::string> &programs)
{
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
    return running;
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
        const bool has = v != vx7::record::kNoValue;
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

} // namespace

int cmd_status(Args &args)
{
    StatusOptions o;
    if (const int rc = parse_status(args, o); rc != kOk)
        return rc;
    const bool running = print_driver_state(o.programs);

    for (int n = 1; n <= kChannels; ++n) {
        char rec[vx7::record::kSize];
        vx7::record::Value value{};
        const std::string path = vx7::record::reader_path(n).data();
        if (!read_record(path, rec)) {
            std::printf("channel %d: no value (%s cannot be read)\n", n, path.c_str());
        } else if (!vx7::record::read_value(rec, value)) {
            std::printf("channel %d: no value\n", n);
        } else {
            std::printf("channel %d: %+.9f V at %llu ms\n", n, value.volts,
                        static_cast<unsigned long long>(value.elapsed_ms));
        }
    }
    return running ? kOk : kNoDaemon;
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
    vx7::InterruptWait waiter;
    bool all = false;
    for (unsigned long long i = 0; o.count == 0 || i < o.count; ++i) {
        if (i > 0 && !waiter.wait(o.interval_ms))
            break;
        all = print_reading(o, in_place && i > 0);
    }
    return all ? kOk : kFailed;
}

} // namespace vx7ctl
