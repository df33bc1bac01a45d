// vx7ctl record: every sample the driver publishes on the chosen channels,
// once, in the order the sample stream sees them, to a CSV or JSON-lines
// file, until Ctrl+C/SIGTERM, --duration or --count; then a summary on
// standard error.
#include "args.h"
#include "commands.h"
#include "record_output.h"
#include "vx7channelconfig/channel_config.h"
#include "vx7samplefmt/sample_lines.h"

#include "vx7/stream.h"
#include "vx7stopsignals/stop_signals.h"

#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <time.h>

namespace vx7ctl {

using namespace vx7::lines; // the sample lines shared with the gateway
namespace {

// The longest wait for a sample before the stop conditions are looked at
// again: a Ctrl+C is acted on within it.
constexpr std::int64_t kMaxWaitNs = 100'000'000;
// Pending lines written at the latest at this size even while samples keep
// coming without a pause.
constexpr std::size_t kMaxPending = std::size_t{64} * 1024;
// How long lines wait at least for their write to a regular file: one write
// for about ten samples, instead of one each, made when the next sample
// comes (or the wait for it ends), so no wake-up of its own. A pipe or a
// terminal, where someone may read them live, gets each line as soon as it
// is seen.
constexpr std::int64_t kFileWriteNs = 100'000'000;

std::int64_t monotonic_ns()
{
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return std::int64_t{ts.tv_sec} * 1000000000 + ts.tv_nsec;
}

struct Tally {
    std::uint64_t samples[kChannels] = {};
    std::uint64_t no_value[kChannels] = {};
    std::uint64_t total = 0; // samples with a value
    std::int64_t first_ns = 0;
    std::int64_t last_ns = 0;
    bool any = false;

    void add(const vx7_sample &s)
    {
        const auto c = static_cast<std::size_t>(s.channel - 1);
        if (s.has_value) {
            ++samples[c];
            ++total;
        } else {
            ++no_value[c];
        }
        if (!any)
            first_ns = s.wall_ns;
        last_ns = s.wall_ns;
        any = true;
    }
};

const char *file_note(const vx7_stream *stream, int channel, std::string &buf)
{
    int err = 0;
    switch (vx7_stream_channel_state(stream, channel, &err)) {
    case VX7_STREAM_CHANNEL_WAITING:
        // Waiting with no error: the file is there, but shorter than a
        // channel file's 100 bytes.
        return err == 0 ? " (its channel file is shorter than 100 bytes)" : " (its channel file is missing)";
    case VX7_STREAM_CHANNEL_UNUSABLE:
        buf = std::string(" (its channel file cannot be used: ") + std::strerror(err) + ")";
        return buf.c_str();
    default:
        return "";
    }
}

void print_summary(const Tally &t, const vx7_stream *stream, const RecordOptions &o, const RecordOutput &out)
{
    std::fprintf(stderr, "recorded %llu samples to %s\n", static_cast<unsigned long long>(t.total), out.name().c_str());
    unsigned long long lost = 0;
    for (int c = 1; c <= kChannels; ++c) {
        if ((o.channel_mask & (1u << (c - 1))) == 0)
            continue;
        const auto i = static_cast<std::size_t>(c - 1);
        std::string buf;
        std::fprintf(stderr, "  channel %d: %llu samples", c, static_cast<unsigned long long>(t.samples[i]));
        if (t.no_value[i] > 0)
            std::fprintf(stderr, ", %llu no-value events", static_cast<unsigned long long>(t.no_value[i]));
        const auto channel_lost = static_cast<unsigned long long>(vx7_stream_lost(stream, c));
        lost += channel_lost;
        if (channel_lost > 0)
            std::fprintf(stderr, ", %llu lost", channel_lost);
        std::fprintf(stderr, "%s\n", file_note(stream, c, buf));
    }
    if (t.any)
        std::fprintf(stderr, "  time span: %s to %s (%.3f s)\n", iso_time(t.first_ns).c_str(),
                     iso_time(t.last_ns).c_str(), static_cast<double>(t.last_ns - t.first_ns) / 1e9);
    // Lost: what the channel files' sequence counters say was published and
    // not seen. Late polls: moments when a file without a counter (or a
    // missing one) was looked at too late, so that a sample may have been
    // missed uncounted.
    std::fprintf(stderr, "  lost: %llu\n", lost);
    const auto late = static_cast<unsigned long long>(vx7_stream_late_polls(stream));
    std::fprintf(stderr, "  late polls: %llu%s\n", late, late == 0 ? "" : " (a sample may have been missed at each)");
}

// The recording itself, from an open stream to an open output. Returns the
// exit status; the summary is printed by the caller when it is kOk.
int record_loop(vx7_stream *stream, RecordOutput &out, const RecordOptions &o, const ChannelConfig &config,
                Tally &tally)
{
    const vx7::InterruptFlag interrupts;
    const std::int64_t start = monotonic_ns();
    const std::int64_t end = o.duration_s > 0 ? start + static_cast<std::int64_t>(o.duration_s * 1e9) : INT64_MAX;
    const bool csv = o.format == RecordOptions::Format::Csv;
    // When the pending lines are due: for a pipe or a terminal as soon as
    // the stream has nothing more at hand, for a regular file kFileWriteNs
    // after the first of them. The header is due at once.
    std::int64_t write_by = INT64_MAX;
    if (csv && out.needs_header()) {
        out.pending() += csv_header(config.given);
        write_by = start;
    }
    const auto write_failed = [&] {
        return fail(kFailed, "record: cannot write to %s: %s", out.name().c_str(), std::strerror(errno));
    };
    while (!vx7::InterruptFlag::interrupted()) {
        const std::int64_t now = monotonic_ns();
        if (now > end)
            break;
        // Wait for a sample; with lines pending for a pipe or a terminal,
        // only look once more.
        std::int64_t wait_ns = std::min(end - now, kMaxWaitNs);
        if (!out.pending().empty() && !out.regular())
            wait_ns = 0;
        vx7_sample s{};
        const int rc = vx7_stream_next(stream, static_cast<std::int32_t>((wait_ns + 999'999) / 1'000'000), &s);
        if (rc == VX7_STREAM_OK) {
            if (out.pending().empty())
                write_by = out.regular() ? now + kFileWriteNs : now;
            if (csv)
                append_csv_line(out.pending(), s, &config);
            else
                append_jsonl_line(out.pending(), s, &config);
            tally.add(s);
            if (o.count != 0 && tally.total >= o.count)
                break;
            // A pipe or terminal: look once more, and write when nothing
            // more is at hand; a regular file: until the lines are due.
            if (out.pending().size() < kMaxPending && (!out.regular() || monotonic_ns() < write_by))
                continue;
        } else if (rc != VX7_STREAM_TIMEOUT) {
            (void)out.flush();
            return fail(kFailed, "record: the sample stream failed: %s", vx7_stream_strerror(rc));
        }
        if (!out.pending().empty() && (out.pending().size() >= kMaxPending || monotonic_ns() >= write_by) &&
            !out.flush())
            return write_failed();
    }
    if (!out.close())
        return write_failed();
    return kOk;
}

} // namespace

int cmd_record(Args &args)
{
    RecordOptions o;
    if (const int rc = parse_record(args, o); rc != kOk)
        return rc;
    ChannelConfig config;
    if (!o.channels_config.empty()) {
        if (const std::string error = vx7::channels::load(o.channels_config, config); !error.empty())
            return fail(kUsage, "record: %s", error.c_str());
    }

    vx7_stream_options so{};
    so.channel_mask = o.channel_mask;
    vx7_stream *stream = nullptr;
    if (const int rc = vx7_stream_open(&so, &stream); rc != VX7_STREAM_OK)
        return fail(kFailed, "record: cannot open the sample stream: %s", vx7_stream_strerror(rc));

    RecordOutput out;
    if (const std::string error = out.open(o); !error.empty()) {
        vx7_stream_close(stream);
        return fail(kFailed, "record: %s", error.c_str());
    }
    // A reader that goes away shows as EPIPE on the next write, which ends
    // the recording with a message, instead of a silent death by SIGPIPE.
    std::signal(SIGPIPE, SIG_IGN);
    Tally tally;
    const int rc = record_loop(stream, out, o, config, tally);
    if (rc == kOk)
        print_summary(tally, stream, o, out);
    vx7_stream_close(stream);
    return rc;
}

} // namespace vx7ctl
