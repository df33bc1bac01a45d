// libvx7stream: watches the four channel files and hands on each new record
// once. Built with the deliverable settings: no exceptions, no RTTI, nothing
// of the C++ runtime library; one allocation per stream (vx7_stream_open).
#include "vx7/stream.h"

#include "channel_file.h"
#include "vx7record/record.h"
#include "vx7version/version.h"
#include "watch.h"

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <linux/futex.h>
#include <poll.h>
#include <string_view>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#ifndef SYS_futex_waitv
#define SYS_futex_waitv 449
#endif

using namespace vx7::stream; // the stream's own internals (channel_file.h)

struct vx7_stream {
    // What a poll with nothing new looks at, side by side: each channel's
    // mapping (or kIdle when not mapped) and the sequence word it held at
    // the last consistent copy. quiet_ok: every mapped channel has such a
    // word, so that equal words mean nothing new.
    const char *quiet_map[record::kChannels];
    std::uint64_t quiet_word[record::kChannels];
    bool quiet_ok;
    // Every watched channel is mapped and has a sequence word: what was not
    // seen is counted exactly, and a late poll loses nothing uncounted.
    bool counted_all;
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
    // With the folders watched, a slow look whose folders have no news
    // looks at no file; every file is still looked at by this time, for
    // what the folders cannot tell (a mount over a file, another host's
    // change on a network file system).
    std::int64_t next_full_check_ns;
    std::uint64_t late_polls;
    // The gap before the next poll was spent in a wait that any change of a
    // channel file ends: it is no late poll, however long.
    bool waited_for_change;
    // futex_waitv answered ENOSYS (an older kernel, a seccomp filter): the
    // stream sleeps for its poll period instead, for the rest of its life.
    bool no_futex;
    int watch_fd; // inotify (watch.h), or -1
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
    s.counted_all = true;
    for (int i = 0; i < record::kChannels; ++i) {
        const Channel &c = s.channels[i];
        s.quiet_map[i] = c.map != nullptr ? c.map : kIdle;
        s.quiet_word[i] = c.map != nullptr ? c.word : 0;
        if (c.map != nullptr && !c.word_valid)
            s.quiet_ok = false;
        if (c.watched && (c.map == nullptr || !c.word_valid))
            s.counted_all = false;
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

timespec to_timespec(std::int64_t ns)
{
    return timespec{static_cast<time_t>(ns / 1'000'000'000), static_cast<long>(ns % 1'000'000'000)};
}

// What a consistent copy of a record says (the record unit's one rule).
Seen interpret(const char (&rec)[record::kSize], record::Value &value)
{
    Seen s{};
    s.valid = true;
    s.has_value = record::read_value(rec, value);
    if (s.has_value) {
        // The whole record, up to its NUL (which read_value found before
        // the sequence word).
        s.length =
            static_cast<std::size_t>(static_cast<const char *>(std::memchr(rec, '\0', record::kRecordLimit)) - rec);
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

void make_sample(int channel, const char (&rec)[record::kSize], const Seen &s, const record::Value &value,
                 vx7_sample &out)
{
    out.channel = channel;
    out.wall_ns = 0;
    out.text[0] = '\0';
    out.elapsed_ms = 0;
    out.volts = 0.0;
    out.has_value = s.has_value ? 1 : 0;
    if (!s.has_value)
        return;
    out.volts = value.volts;
    out.elapsed_ms = value.elapsed_ms;
    static_assert(record::kMaxValueText < sizeof out.text);
    std::memcpy(out.text, rec, value.text_length);
    out.text[value.text_length] = '\0';
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

    record::Value value{};
    const Seen now = interpret(rec, value);
    if (c.word_valid)
        c.loss.counted(record::counter(c.word), now.has_value, value.elapsed_ms);
    else
        c.loss.uncounted(now.has_value);
    // A record that is "no value" from the start is no news.
    const bool report = c.last.valid ? !same(now, c.last) : now.has_value;
    c.last = now;
    if (!report)
        return false;
    make_sample(channel, rec, now, value, out);
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

// Looks for missing, replaced, removed and shortened files; watches the
// folders of the files it waits for.
void check_files(vx7_stream &s, std::int64_t mono_ns)
{
    for (Channel &c : s.channels) {
        if (!c.watched)
            continue;
        check_file(c);
        if (c.map == nullptr || !c.folder_watched)
            watch_channel(s.watch_fd, c);
    }
    s.next_check_ns = mono_ns + kSlowCheckNs;
    s.next_full_check_ns = mono_ns + kWatchedSleepNs;
    refresh_quiet(s);
}

// Whether the folders' news can stand in for a slow look: the folder of
// every watched file is watched and no full look is due.
bool folders_tell(const vx7_stream &s, std::int64_t mono_ns)
{
    if (s.watch_fd < 0 || mono_ns >= s.next_full_check_ns)
        return false;
    for (const Channel &c : s.channels) {
        if (c.watched && !c.folder_watched)
            return false;
    }
    return true;
}

// The part of a poll that looks at the files and the records: the slow
// schedule when it is due, and the channels whose words moved.
[[gnu::noinline]] int poll_files(vx7_stream &s, std::int64_t mono_ns)
{
    if (mono_ns >= s.next_check_ns) {
        if (folders_tell(s, mono_ns) && !watch_drain(s.watch_fd))
            s.next_check_ns = mono_ns + kSlowCheckNs;
        else
            check_files(s, mono_ns);
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
// gap + lag_ns > 10 ms. A gap counts as late only where a record could have
// been missed without the loss count knowing: some watched file was missing
// or had no sequence word at the previous poll, and the gap was not spent
// waiting for a change. Nothing new and no slow look due, the common case,
// costs four loads here.
inline int poll(vx7_stream &s, std::int64_t mono_ns, std::int64_t lag_ns)
{
    if (s.last_poll_ns >= 0 && !s.counted_all && !s.waited_for_change && mono_ns - s.last_poll_ns + lag_ns > kLateGapNs)
        ++s.late_polls;
    s.last_poll_ns = mono_ns;
    s.waited_for_change = false;
    if (mono_ns < s.next_check_ns && quiet(s)) {
        s.pending_count = 0;
        s.pending_next = 0;
        return VX7_STREAM_OK;
    }
    return poll_files(s, mono_ns);
}

// ---- waiting ------------------------------------------------------------------

long wait_on_futexes(futex_waitv *waiters, unsigned count, const timespec &until)
{
    return ::syscall(SYS_futex_waitv, waiters, count, 0, &until, CLOCK_MONOTONIC);
}

void sleep_until(std::int64_t until_ns)
{
    const timespec ts = to_timespec(until_ns);
    // Interrupted by a signal: the caller looks again at once, so that a
    // handler takes effect when vx7_stream_next returns.
    (void)::clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &ts, nullptr);
}

// Sleeps until something may have changed, at the latest until `until_ns`
// (the caller's time-out or the slow look at the files, whichever is first):
//   * on the counters of the mapped files (futex_waitv, with the value each
//     held at the last look as the expected one when `as_seen`, else the
//     value it holds now, after a look: a change since then ends the wait
//     at once); the driver wakes them after every change;
//   * for no longer than the poll period where a mapped file has no sequence
//     word (a driver that wakes no one) or a watched file is missing and
//     others are mapped;
//   * on the folders' events (inotify) when every watched file is missing;
//   * for the poll period (a plain sleep) once futex_waitv has answered
//     ENOSYS.
// Returns whether a writer ended it (a wake, or a counter already moved),
// rather than the time, a signal, the folders' news or a file the kernel
// could not wait on (one cut short: EFAULT, not SIGBUS).
bool wait_for_change(vx7_stream &s, std::int64_t now, std::int64_t until_ns, bool as_seen)
{
    struct futex_waitv waiters[record::kChannels];
    unsigned count = 0;
    bool uncounted = false;
    bool missing = false;
    for (const Channel &c : s.channels) {
        if (!c.watched)
            continue;
        if (c.map == nullptr) {
            missing = true;
            continue;
        }
        std::uint64_t word = c.word;
        if (!as_seen) {
            word = record::sequence(c.map);
            if (record::settled(word) && !(c.word_valid && word == c.word))
                return true; // changed since the look: look again
        }
        uncounted = uncounted || !record::counted(word);
        waiters[count++] = {record::counter(word), reinterpret_cast<std::uintptr_t>(record::counter_of(c.map)),
                            FUTEX_32, 0};
    }
    const bool on_folders = count == 0 && missing && s.watch_fd >= 0;
    if ((uncounted || missing) && !on_folders && now + s.period_ns < until_ns)
        until_ns = now + s.period_ns;
    if (on_folders) {
        pollfd p{s.watch_fd, POLLIN, 0};
        const timespec rel = to_timespec(until_ns > now ? until_ns - now : 0);
        (void)::ppoll(&p, 1, &rel, nullptr);
        s.waited_for_change = true;
        return false;
    }
    if (count == 0 || s.no_futex) {
        if (s.no_futex && now + s.period_ns < until_ns)
            until_ns = now + s.period_ns;
        sleep_until(until_ns);
        return false;
    }
    const long woken = wait_on_futexes(waiters, count, to_timespec(until_ns));
    if (woken >= 0 || errno == EAGAIN || errno == ETIMEDOUT || errno == EINTR) {
        s.waited_for_change = !uncounted && !missing;
        return woken >= 0 || errno == EAGAIN;
    }
    if (errno == EFAULT) {
        check_files(s, now); // a mapping past its file's end: let it go now
        return false;
    }
    // ENOSYS: for good; anything else: this time. Either way the poll
    // period, as a stream without futex.
    if (errno == ENOSYS)
        s.no_futex = true;
    if (now + s.period_ns < until_ns)
        until_ns = now + s.period_ns;
    sleep_until(until_ns);
    return false;
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
    // The folders are watched before the files are looked for, so that a
    // file created in between is not missed; the files are looked for now,
    // so that a caller sees their state at once.
    s->watch_fd = watch_open();
    for (Channel &c : s->channels) {
        if (!c.watched)
            continue;
        watch_channel(s->watch_fd, c);
        try_map(c);
        c.opened = true;
    }
    s->next_check_ns = mono + kSlowCheckNs;
    s->next_full_check_ns = mono + kWatchedSleepNs;
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
    // Without a time-out the poll reads the cheap clock and makes no system
    // call; with one, the precise clock read for the time-out serves the
    // poll as well.
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
    // Where every watched file has a counter and the folders are watched,
    // the call begins with the wait itself, on the counters as last seen: a
    // record written since ends it at once, and a file cut short since
    // cannot be waited on (the kernel answers EFAULT, where a read would
    // die of SIGBUS). Otherwise it looks first. Before every look that no
    // writer's wake brought, the folders' news is read: a file cut short
    // must be let go of before its mapping is read.
    bool look = !(s.counted_all && s.watch_fd >= 0 && !s.no_futex);
    bool folders = true;
    for (;;) {
        if (s.pending_next < s.pending_count) {
            *out = s.pending[s.pending_next++];
            return VX7_STREAM_OK;
        }
        if (look) {
            if (folders && watch_drain(s.watch_fd))
                check_files(s, now);
            const int rc = poll(s, now, 0);
            if (rc != VX7_STREAM_OK)
                return rc;
            if (s.pending_next < s.pending_count)
                continue;
        }
        if (timeout_ms > 0 && now >= deadline)
            return VX7_STREAM_TIMEOUT;
        // With the folders watched, the slow look waits for the next wake.
        const std::int64_t look_by =
            s.watch_fd >= 0 ? s.next_check_ns - kSlowCheckNs + kWatchedSleepNs : s.next_check_ns;
        folders = !wait_for_change(s, now, timeout_ms > 0 && deadline < look_by ? deadline : look_by, !look);
        look = true;
        if (!now_ns(CLOCK_MONOTONIC, now))
            return VX7_STREAM_ECLOCK;
    }
}

extern "C" uint64_t vx7_stream_late_polls(const vx7_stream *stream)
{
    return stream == nullptr ? 0 : stream->late_polls;
}

extern "C" uint64_t vx7_stream_lost(const vx7_stream *stream, int channel)
{
    if (stream == nullptr || channel < 1 || channel > record::kChannels)
        return 0;
    return stream->channels[channel - 1].loss.lost();
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
    if (stream->watch_fd >= 0)
        ::close(stream->watch_fd);
    std::free(stream);
}
