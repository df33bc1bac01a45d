// libvx7stream: watches the four channel files and hands on each new record
// once. Built with the deliverable settings: no exceptions, no RTTI, nothing
// of the C++ runtime library; one allocation per stream (vx7_stream_open).
#include "vx7/stream.h"

#include "channel_file.h"
#include "vx7record/record.h"
#include "vx7version/version.h"

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <string_view>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace vx7::stream; // the stream's own internals (channel_file.h)

struct vx7_stream {
    // What a poll with nothing new looks at, side by side: each channel's
    // mapping (or kIdle when not mapped) and the sequence word it held at
    // the last consistent copy. quiet_ok: every mapped channel has such a
    // word, so that equal words mean nothing new.
    const char *quiet_map[record::kChannels];
    std::uint64_t quiet_word[record::kChannels];
    bool quiet_ok;
    Channel channels[record::kChannels];
    std::int64_t period_ns;
    std::int64_t last_poll_ns; // monotonic; -1 before the first poll
    // The clock a poll reads when nobody else has read one (see "Loss" in
    // stream.h): CLOCK_MONOTONIC_COARSE, or CLOCK_MONOTONIC where the
    // coarse clock is missing or too coarse, and how far a reading of it
    // may lag behind the precise clock (its resolution; 0 for the precise).
    clockid_t poll_clock;
    std::int64_t poll_clock_lag_ns;
    std::int64_t next_check_ns;
    std::uint64_t late_polls;
    vx7_sample pending[record::kChannels];
    int pending_count;
    int pending_next;
};

namespace {

// Stands in for an unmapped channel in the quiet check: its sequence word
// is 0, which is never a counted word. Only ever read.
alignas(8) char kIdle[record::kSize];

// Brings the quiet check up to date with the channels.
void refresh_quiet(vx7_stream &s)
{
    s.quiet_ok = true;
    for (int i = 0; i < record::kChannels; ++i) {
        const Channel &c = s.channels[i];
        s.quiet_map[i] = c.map != nullptr ? c.map : kIdle;
        s.quiet_word[i] = c.map != nullptr ? c.word : 0;
        if (c.map != nullptr && !c.word_valid)
            s.quiet_ok = false;
    }
}

// Whether no mapped channel's sequence word has moved since its last
// consistent copy: four loads, no branch per channel.
bool quiet(const vx7_stream &s)
{
    std::uint64_t moved = 0;
    for (int i = 0; i < record::kChannels; ++i)
        moved |= record::sequence(s.quiet_map[i]) ^ s.quiet_word[i];
    return moved == 0 && s.quiet_ok;
}

bool now_ns(clockid_t clock, std::int64_t &out)
{
    timespec ts;
    if (::clock_gettime(clock, &ts) != 0)
        return false;
    out = static_cast<std::int64_t>(ts.tv_sec) * 1'000'000'000 + ts.tv_nsec;
    return true;
}

// What a consistent copy of a record says.
Seen interpret(const char (&rec)[record::kSize])
{
    Seen s{};
    s.valid = true;
    double volts = 0;
    std::uint64_t elapsed = 0;
    s.has_value = record::parse_value(rec, volts) && record::parse_elapsed(rec, elapsed);
    if (s.has_value) {
        const void *nul = std::memchr(rec, '\0', record::kSize);
        s.length = nul == nullptr ? record::kSize : static_cast<std::size_t>(static_cast<const char *>(nul) - rec);
        std::memcpy(s.text, rec, s.length);
    }
    return s;
}

bool same(const Seen &a, const Seen &b)
{
    if (a.valid != b.valid || a.has_value != b.has_value)
        return false;
    if (!a.has_value)
        return true;
    return a.length == b.length && std::memcmp(a.text, b.text, a.length) == 0;
}

void make_sample(int channel, const char (&rec)[record::kSize], const Seen &s, vx7_sample &out)
{
    out.channel = channel;
    out.wall_ns = 0;
    out.text[0] = '\0';
    out.elapsed_ms = 0;
    out.volts = 0.0;
    out.has_value = s.has_value ? 1 : 0;
    if (!s.has_value)
        return;
    (void)record::parse_value(rec, out.volts);
    (void)record::parse_elapsed(rec, out.elapsed_ms);
    const std::string_view text = record::value_text(rec);
    const std::size_t n = text.size() < sizeof out.text ? text.size() : sizeof out.text - 1;
    std::memcpy(out.text, text.data(), n);
    out.text[n] = '\0';
}

// Looks at one mapped channel; true with `out` filled when its record has
// changed since the last report.
bool look(Channel &c, int channel, vx7_sample &out)
{
    // Nothing changed since the last consistent copy: the common case,
    // decided without copying when the file has a sequence counter (one
    // load), by comparing bytes when it has none.
    const std::uint64_t word = record::sequence(c.map);
    if (record::counted(word)) {
        if (c.word_valid && word == c.word)
            return false;
        if (!record::settled(word))
            return false; // being rewritten: looked at again next poll
    } else if (c.raw_valid && std::memcmp(c.map, c.raw, record::kSize) == 0) {
        return false;
    }
    char rec[record::kSize];
    if (!record::read_stable(c.map, rec).consistent)
        return false; // no whole record this time: looked at again next poll
    std::memcpy(c.raw, rec, record::kSize);
    c.raw_valid = true;
    // read_stable leaves the word it found in the copy's word bytes.
    std::memcpy(&c.word, rec + record::kSequenceOffset, sizeof c.word);
    c.word_valid = record::counted(c.word);

    const Seen now = interpret(rec);
    // A record that is "no value" from the start is no news.
    const bool report = c.last.valid ? !same(now, c.last) : now.has_value;
    c.last = now;
    if (!report)
        return false;
    make_sample(channel, rec, now, out);
    return true;
}

// The driver's order: by elapsed milliseconds, then by channel; "no value"
// events after the values of the same poll.
bool before(const vx7_sample &a, const vx7_sample &b)
{
    if (a.has_value != b.has_value)
        return a.has_value > b.has_value;
    if (a.has_value && a.elapsed_ms != b.elapsed_ms)
        return a.elapsed_ms < b.elapsed_ms;
    return a.channel < b.channel;
}

// The part of a poll that looks at the files and the records: the slow
// schedule when it is due, and the channels whose words moved.
[[gnu::noinline]] int poll_files(vx7_stream &s, std::int64_t mono_ns)
{
    if (mono_ns >= s.next_check_ns) {
        for (Channel &c : s.channels) {
            if (c.watched)
                check_file(c);
        }
        s.next_check_ns = mono_ns + kSlowCheckNs;
        refresh_quiet(s);
    }

    s.pending_count = 0;
    s.pending_next = 0;
    if (quiet(s))
        return VX7_STREAM_OK;

    // The wall clock is read once per poll, and only when there is news.
    std::int64_t wall_ns = -1;
    for (int i = 0; i < record::kChannels; ++i) {
        Channel &c = s.channels[i];
        if (c.map == nullptr)
            continue;
        vx7_sample sample;
        if (!look(c, i + 1, sample))
            continue;
        if (wall_ns < 0 && !now_ns(CLOCK_REALTIME, wall_ns)) {
            refresh_quiet(s);
            return VX7_STREAM_ECLOCK;
        }
        sample.wall_ns = wall_ns;
        int j = s.pending_count++;
        while (j > 0 && before(sample, s.pending[j - 1])) {
            s.pending[j] = s.pending[j - 1];
            --j;
        }
        s.pending[j] = sample;
    }
    refresh_quiet(s);
    return VX7_STREAM_OK;
}

// A poll at monotonic time `mono_ns`, read from a clock that lags behind
// the precise one by less than `lag_ns`. The gap since the previous poll,
// as read, falls short of the real gap by less than `lag_ns` (the previous
// reading lags by at least 0), so a real gap over 10 ms always gives
// gap + lag_ns > 10 ms. Nothing new and no slow look due, the common case,
// costs four loads here.
inline int poll(vx7_stream &s, std::int64_t mono_ns, std::int64_t lag_ns)
{
    if (s.last_poll_ns >= 0 && mono_ns - s.last_poll_ns + lag_ns > kLateGapNs)
        ++s.late_polls;
    s.last_poll_ns = mono_ns;
    if (mono_ns < s.next_check_ns && quiet(s)) {
        s.pending_count = 0;
        s.pending_next = 0;
        return VX7_STREAM_OK;
    }
    return poll_files(s, mono_ns);
}

} // namespace

extern "C" int vx7_stream_open(const vx7_stream_options *options, vx7_stream **out)
{
    if (out == nullptr)
        return VX7_STREAM_EINVAL;
    *out = nullptr;
    vx7_stream_options o{};
    if (options != nullptr)
        o = *options;
    const std::uint32_t mask = o.channel_mask == 0 ? kAllChannels : o.channel_mask;
    if ((mask & kAllChannels) == 0)
        return VX7_STREAM_EINVAL;
    if ((mask & ~kAllChannels) != 0)
        return VX7_STREAM_EINVAL;

    auto *s = static_cast<vx7_stream *>(std::calloc(1, sizeof(vx7_stream)));
    if (s == nullptr)
        return VX7_STREAM_ENOMEM;
    for (int i = 0; i < record::kChannels; ++i) {
        Channel &c = s->channels[i];
        c.watched = (mask & (1u << i)) != 0;
        c.state = c.watched ? VX7_STREAM_CHANNEL_WAITING : VX7_STREAM_CHANNEL_UNWATCHED;
        if (!c.watched)
            continue;
        bool fits;
        if (o.paths[i] != nullptr) {
            const std::size_t n = std::strlen(o.paths[i]);
            fits = n > 0 && n < kPathMax;
            if (fits)
                std::memcpy(c.path, o.paths[i], n + 1);
        } else if (o.dir != nullptr) {
            fits = fill_path(c.path, o.dir, i + 1);
        } else {
            const record::ReaderPath p = record::reader_path(i + 1);
            static_assert(sizeof p <= kPathMax);
            std::memcpy(c.path, p.data(), p.size());
            fits = true;
        }
        if (!fits) {
            std::free(s);
            return VX7_STREAM_EINVAL;
        }
    }
    s->period_ns = static_cast<std::int64_t>(o.poll_period_us == 0 ? kDefaultPeriodUs : o.poll_period_us) * 1000;
    s->last_poll_ns = -1;
    s->poll_clock = CLOCK_MONOTONIC;
    s->poll_clock_lag_ns = 0;
    timespec res{};
    std::int64_t coarse = 0;
    if (::clock_getres(CLOCK_MONOTONIC_COARSE, &res) == 0 && res.tv_sec == 0 && res.tv_nsec > 0 &&
        res.tv_nsec <= kCoarseMaxResolutionNs && now_ns(CLOCK_MONOTONIC_COARSE, coarse)) {
        s->poll_clock = CLOCK_MONOTONIC_COARSE;
        s->poll_clock_lag_ns = res.tv_nsec + kCoarseSlackNs;
    }
    std::int64_t mono = 0;
    if (!now_ns(CLOCK_MONOTONIC, mono)) {
        std::free(s);
        return VX7_STREAM_ECLOCK;
    }
    // The files are looked for now, so that a caller sees their state at once.
    for (Channel &c : s->channels) {
        if (c.watched)
            try_map(c);
    }
    s->next_check_ns = mono + kSlowCheckNs;
    refresh_quiet(*s);
    *out = s;
    return VX7_STREAM_OK;
}

extern "C" int vx7_stream_next(vx7_stream *stream, int32_t timeout_ms, vx7_sample *out)
{
    if (stream == nullptr || out == nullptr)
        return VX7_STREAM_EINVAL;
    vx7_stream &s = *stream;
    if (s.pending_next < s.pending_count) {
        *out = s.pending[s.pending_next++];
        return VX7_STREAM_OK;
    }
    // Without a time-out the poll reads the cheap clock; with one, the
    // precise clock read for the time-out serves the poll as well.
    if (timeout_ms == 0) {
        std::int64_t mono = 0;
        if (!now_ns(s.poll_clock, mono))
            return VX7_STREAM_ECLOCK;
        const int rc = poll(s, mono, s.poll_clock_lag_ns);
        if (rc != VX7_STREAM_OK)
            return rc;
        if (s.pending_next == s.pending_count)
            return VX7_STREAM_TIMEOUT;
        *out = s.pending[s.pending_next++];
        return VX7_STREAM_OK;
    }
    std::int64_t now = 0;
    if (!now_ns(CLOCK_MONOTONIC, now))
        return VX7_STREAM_ECLOCK;
    const std::int64_t deadline = now + static_cast<std::int64_t>(timeout_ms) * 1'000'000;
    for (;;) {
        if (s.pending_next < s.pending_count) {
            *out = s.pending[s.pending_next++];
            return VX7_STREAM_OK;
        }
        const int rc = poll(s, now, 0);
        if (rc != VX7_STREAM_OK)
            return rc;
        if (s.pending_next < s.pending_count)
            continue;
        if (timeout_ms > 0 && now >= deadline)
            return VX7_STREAM_TIMEOUT;
        std::int64_t wake = now + s.period_ns;
        if (timeout_ms > 0 && wake > deadline)
            wake = deadline;
        const timespec ts{static_cast<time_t>(wake / 1'000'000'000), static_cast<long>(wake % 1'000'000'000)};
        // Interrupted by a signal: look again at once, so that a caller's
        // handler takes effect when this call returns.
        (void)::clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &ts, nullptr);
        if (!now_ns(CLOCK_MONOTONIC, now))
            return VX7_STREAM_ECLOCK;
    }
}

extern "C" uint64_t vx7_stream_late_polls(const vx7_stream *stream)
{
    return stream == nullptr ? 0 : stream->late_polls;
}

extern "C" int vx7_stream_channel_state(const vx7_stream *stream, int channel, int *errno_out)
{
    if (errno_out != nullptr)
        *errno_out = 0;
    if (stream == nullptr || channel < 1 || channel > record::kChannels)
        return VX7_STREAM_CHANNEL_UNWATCHED;
    const Channel &c = stream->channels[channel - 1];
    if (errno_out != nullptr)
        *errno_out = c.error;
    return c.state;
}

extern "C" const char *vx7_stream_version(void)
{
    return VX7_VERSION;
}

extern "C" const char *vx7_stream_strerror(int code)
{
    switch (code) {
    case VX7_STREAM_OK:
        return "a sample";
    case VX7_STREAM_TIMEOUT:
        return "no new sample within the time-out";
    case VX7_STREAM_EINVAL:
        return "invalid argument (null pointer, no channel 1-4 in the mask, or a path too long)";
    case VX7_STREAM_ENOMEM:
        return "out of memory";
    case VX7_STREAM_ECLOCK:
        return "the clocks cannot be read";
    default:
        return "unknown result code";
    }
}

extern "C" void vx7_stream_close(vx7_stream *stream)
{
    if (stream == nullptr)
        return;
    for (Channel &c : stream->channels)
        unmap(c);
    std::free(stream);
}
