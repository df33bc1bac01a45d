// The sample stream on channel files in a private directory: what it reports
// and when, and how it copes with files that are missing, short, replaced or
// unusable.
#include "record_rule_cases.h"
#include "stream_files.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <csignal>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <thread>
#include <ucontext.h>
#include <vector>

#include <linux/filter.h>
#include <linux/seccomp.h>

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using vx7test::ChannelWriter;

namespace {

class Stream {
public:
    explicit Stream(const vx7_stream_options &o) { rc_ = vx7_stream_open(&o, &s_); }
    ~Stream() { vx7_stream_close(s_); }
    Stream(const Stream &) = delete;
    Stream &operator=(const Stream &) = delete;

    int open_result() const { return rc_; }
    vx7_stream *get() { return s_; }

    std::optional<vx7_sample> next(int timeout_ms = 0)
    {
        vx7_sample out{};
        const int rc = vx7_stream_next(s_, timeout_ms, &out);
        EXPECT_TRUE(rc == VX7_STREAM_OK || rc == VX7_STREAM_TIMEOUT) << rc;
        if (rc != VX7_STREAM_OK)
            return std::nullopt;
        return out;
    }
    // Every sample until `quiet_ms` pass without one.
    std::vector<vx7_sample> drain(int quiet_ms = 0)
    {
        std::vector<vx7_sample> v;
        while (auto s = next(quiet_ms))
            v.push_back(*s);
        return v;
    }
    int state(int channel, int *err = nullptr) const { return vx7_stream_channel_state(s_, channel, err); }

private:
    vx7_stream *s_ = nullptr;
    int rc_ = -100;
};

// Long enough for the stream's slow look at the files (every 100 ms) to
// have come round, with room for a loaded machine.
constexpr int kSlowMs = 1000;

class StreamTest : public ::testing::Test {
protected:
    std::string path(int n) const { return dir.file("adc" + std::to_string(n) + ".adc"); }
    vx7_stream_options options() const
    {
        vx7_stream_options o{};
        o.dir = dir_text.c_str();
        return o;
    }

    vx7test::TempDir dir;
    std::string dir_text = dir.path().string();
};

struct Expect {
    int channel;
    double volts;
    unsigned long ms;
};

void expect_samples(const std::vector<vx7_sample> &got, const std::vector<Expect> &want)
{
    ASSERT_EQ(got.size(), want.size());
    for (std::size_t i = 0; i < want.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(got[i].channel, want[i].channel);
        EXPECT_EQ(got[i].has_value, 1);
        EXPECT_EQ(got[i].volts, want[i].volts);
        EXPECT_EQ(got[i].elapsed_ms, want[i].ms);
        EXPECT_EQ(std::string(got[i].text), vx7test::volts_text(want[i].volts));
    }
}

std::int64_t wall_now()
{
    timespec ts;
    ::clock_gettime(CLOCK_REALTIME, &ts);
    return static_cast<std::int64_t>(ts.tv_sec) * 1'000'000'000 + ts.tv_nsec;
}

} // namespace

// Each record once, with the driver's text and the time the stream saw it;
// a record present at open counts, a rewrite of the same record does not.
TEST_F(StreamTest, EachNewRecordOnce)
{
    ChannelWriter w1(path(1));
    w1.publish(0.9, 40);
    Stream s(options());
    ASSERT_EQ(s.open_result(), VX7_STREAM_OK);
    const std::int64_t before = wall_now();
    auto got = s.drain();
    const std::int64_t after = wall_now();
    expect_samples(got, {{1, 0.9, 40}});
    EXPECT_GE(got[0].wall_ns, before - 1'000'000);
    EXPECT_LE(got[0].wall_ns, after);

    w1.publish(0.9, 40); // the same record again
    EXPECT_FALSE(s.next(20));
    w1.data()[90] = 'x'; // bytes behind the record's NUL are not the record
    EXPECT_FALSE(s.next(20));

    w1.publish(-2.98023259404e-07, 50);
    w1.publish(1.0, 60);
    expect_samples(s.drain(), {{1, 1.0, 60}}); // 50 was rewritten within one poll: lost
    w1.publish(1.0, 70);
    expect_samples(s.drain(), {{1, 1.0, 70}});
}

// "No value" (all spaces) once when a record turns into it; a file that
// holds no value from the start, or stays without one, reports nothing.
TEST_F(StreamTest, NoValueOnce)
{
    ChannelWriter w1(path(1));
    ChannelWriter w2(path(2));
    Stream s(options());
    EXPECT_FALSE(s.next(20)) << "blank files at open are no news";

    w1.publish(1.5, 10);
    expect_samples(s.drain(), {{1, 1.5, 10}});
    w1.blank();
    auto got = s.drain();
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].channel, 1);
    EXPECT_EQ(got[0].has_value, 0);
    EXPECT_EQ(got[0].elapsed_ms, 0u);
    EXPECT_EQ(got[0].volts, 0.0);
    EXPECT_STREQ(got[0].text, "");
    w1.blank();
    w1.data()[90] = 'x'; // still no value
    EXPECT_FALSE(s.next(20));
}

// After a driver restart the elapsed milliseconds start again near 0: those
// records are new, with or without a blank file between the runs.
TEST_F(StreamTest, RestartGivesNewSamples)
{
    ChannelWriter w1(path(1));
    Stream s(options());
    w1.publish(1.25, 5000);
    expect_samples(s.drain(), {{1, 1.25, 5000}});
    w1.blank();
    EXPECT_EQ(s.drain().size(), 1u);
    w1.publish(1.25, 3);
    expect_samples(s.drain(), {{1, 1.25, 3}});
    w1.publish(1.25, 5000); // the first run's last record, seen again
    expect_samples(s.drain(), {{1, 1.25, 5000}});
    w1.publish(1.25, 2); // a restart without blanking (a killed driver)
    expect_samples(s.drain(), {{1, 1.25, 2}});
}

// Samples found by one poll come in the driver's order: by elapsed
// milliseconds, ties by channel.
TEST_F(StreamTest, OnePollInDriverOrder)
{
    ChannelWriter w[4] = {ChannelWriter(path(1)), ChannelWriter(path(2)), ChannelWriter(path(3)),
                          ChannelWriter(path(4))};
    Stream s(options());
    w[2].publish(0.3, 20);
    w[0].publish(0.1, 30);
    w[1].publish(0.2, 20);
    w[3].publish(0.4, 10);
    expect_samples(s.drain(), {{4, 0.4, 10}, {2, 0.2, 20}, {3, 0.3, 20}, {1, 0.1, 30}});
}

// A missing file is waited for and mapped when it appears; a short file
// (empty, or a record shorter than 100 bytes) is never read until it has
// its 100 bytes.
TEST_F(StreamTest, MissingAndShortFilesAreWaitedFor)
{
    {
        std::FILE *f = std::fopen(path(2).c_str(), "wb");
        std::fputs("1.00000000000e+00\t7\t", f); // a whole record, but short
        std::fputc('\0', f);
        std::fclose(f);
    }
    vx7test::write_file(path(3), "");
    Stream s(options());
    int err = -1;
    EXPECT_EQ(s.state(1, &err), VX7_STREAM_CHANNEL_WAITING);
    EXPECT_EQ(err, ENOENT);
    EXPECT_EQ(s.state(2), VX7_STREAM_CHANNEL_WAITING);
    EXPECT_EQ(s.state(3), VX7_STREAM_CHANNEL_WAITING);
    EXPECT_FALSE(s.next(250)) << "a short file was read";

    ChannelWriter w1(path(1));
    w1.publish(2.0, 11);
    // The short file grows to its full length in place.
    {
        std::FILE *f = std::fopen(path(2).c_str(), "ab");
        std::fputs(std::string(100, ' ').c_str(), f);
        std::fclose(f);
    }
    auto got = s.drain(kSlowMs);
    expect_samples(got, {{2, 1.0, 7}, {1, 2.0, 11}});
    EXPECT_EQ(s.state(1, &err), VX7_STREAM_CHANNEL_MAPPED);
    EXPECT_EQ(err, 0);
    EXPECT_EQ(s.state(2), VX7_STREAM_CHANNEL_MAPPED);
    EXPECT_EQ(s.state(3), VX7_STREAM_CHANNEL_WAITING);
}

// A file replaced by another (rename over it) or removed and made again is
// mapped afresh: what is written to the new file is seen.
TEST_F(StreamTest, ReplacedAndRecreatedFilesAreMappedAgain)
{
    auto w1 = std::make_unique<ChannelWriter>(path(1));
    auto w2 = std::make_unique<ChannelWriter>(path(2));
    w1->publish(1.0, 1);
    w2->publish(2.0, 1);
    Stream s(options());
    EXPECT_EQ(s.drain().size(), 2u);

    // Channel 1: a new file renamed over the old one.
    auto n1 = std::make_unique<ChannelWriter>(dir.file("new1"));
    fs::rename(dir.file("new1"), path(1));
    // Channel 2: removed; the stream waits; then made again.
    fs::remove(path(2));
    // Both changes taken up (the folders' news, or the next slow look). The
    // new channel 1 file holds no value yet: that is news.
    std::vector<vx7_sample> got;
    int err = 0;
    for (int i = 0; i < 100 && (got.empty() || s.state(2, &err) != VX7_STREAM_CHANNEL_WAITING); ++i) {
        if (auto x = s.next(50))
            got.push_back(*x);
    }
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].channel, 1);
    EXPECT_EQ(got[0].has_value, 0);
    EXPECT_EQ(s.state(2, &err), VX7_STREAM_CHANNEL_WAITING);
    EXPECT_EQ(err, ENOENT);
    auto n2 = std::make_unique<ChannelWriter>(path(2));

    // The old mappings stay writable by their old writers: never seen again.
    w1->publish(9.0, 2);
    w2->publish(9.0, 2);
    std::this_thread::sleep_for(300ms); // time enough for a wrong look to show
    n1->publish(1.5, 3);
    n2->publish(2.5, 3);
    expect_samples(s.drain(kSlowMs), {{1, 1.5, 3}, {2, 2.5, 3}});
    EXPECT_EQ(s.state(1), VX7_STREAM_CHANNEL_MAPPED);
    EXPECT_EQ(s.state(2), VX7_STREAM_CHANNEL_MAPPED);
}

// Paths that cannot be used: a result code or a channel state with errno,
// never a crash; a channel file that becomes usable is taken up.
TEST_F(StreamTest, UnusablePaths)
{
    fs::create_directory(path(1));
    ASSERT_EQ(::mkfifo(path(2).c_str(), 0600), 0);
    vx7_stream_options o = options();
    const std::string through_file = dir.file("plain") + "/adc3.adc";
    vx7test::write_file(dir.file("plain"), "x");
    o.paths[2] = through_file.c_str();
    Stream s(o);
    ASSERT_EQ(s.open_result(), VX7_STREAM_OK);
    int err = 0;
    EXPECT_EQ(s.state(1, &err), VX7_STREAM_CHANNEL_UNUSABLE);
    EXPECT_EQ(err, EISDIR);
    EXPECT_EQ(s.state(2, &err), VX7_STREAM_CHANNEL_UNUSABLE);
    EXPECT_EQ(err, ENODEV);
    EXPECT_EQ(s.state(3, &err), VX7_STREAM_CHANNEL_WAITING);
    EXPECT_EQ(err, ENOTDIR);
    EXPECT_FALSE(s.next(150));

    fs::remove(path(1));
    ChannelWriter w1(path(1));
    w1.publish(0.5, 9);
    expect_samples(s.drain(kSlowMs), {{1, 0.5, 9}});

    EXPECT_EQ(s.state(0), VX7_STREAM_CHANNEL_UNWATCHED);
    EXPECT_EQ(s.state(5), VX7_STREAM_CHANNEL_UNWATCHED);
}

TEST(StreamArguments, RefusedWithResultCodes)
{
    vx7_stream *s = reinterpret_cast<vx7_stream *>(1);
    vx7_stream_options o{};
    EXPECT_EQ(vx7_stream_open(&o, nullptr), VX7_STREAM_EINVAL);
    o.channel_mask = 0x10;
    EXPECT_EQ(vx7_stream_open(&o, &s), VX7_STREAM_EINVAL);
    EXPECT_EQ(s, nullptr);
    // Bits above channel 4 beside valid ones are refused too.
    for (std::uint32_t mask : {0x11u, 0x1Fu, 0x80000001u}) {
        s = reinterpret_cast<vx7_stream *>(1);
        o.channel_mask = mask;
        EXPECT_EQ(vx7_stream_open(&o, &s), VX7_STREAM_EINVAL) << std::hex << mask;
        EXPECT_EQ(s, nullptr);
    }
    o.channel_mask = 0;
    const std::string long_dir(PATH_MAX, 'd');
    o.dir = long_dir.c_str();
    EXPECT_EQ(vx7_stream_open(&o, &s), VX7_STREAM_EINVAL);
    o.dir = nullptr;
    o.paths[3] = "";
    EXPECT_EQ(vx7_stream_open(&o, &s), VX7_STREAM_EINVAL);

    vx7_sample sample;
    EXPECT_EQ(vx7_stream_next(nullptr, 0, &sample), VX7_STREAM_EINVAL);
    EXPECT_EQ(vx7_stream_late_polls(nullptr), 0u);
    vx7_stream_close(nullptr);
    for (int code : {0, 1, -1, -2, -3, 42})
        EXPECT_NE(vx7_stream_strerror(code), nullptr);
}

// Only the channels of the mask are watched; an explicit path takes
// precedence over the directory for its channel.
TEST_F(StreamTest, ChannelMaskAndExplicitPaths)
{
    ChannelWriter w[4] = {ChannelWriter(path(1)), ChannelWriter(path(2)), ChannelWriter(path(3)),
                          ChannelWriter(path(4))};
    ChannelWriter other(dir.file("elsewhere.adc"));
    for (int i = 0; i < 4; ++i)
        w[i].publish(0.25 * (i + 1), 100u + static_cast<unsigned>(i));
    other.publish(-1.0, 200);

    vx7_stream_options o = options();
    o.channel_mask = 0xA; // channels 2 and 4
    const std::string elsewhere = dir.file("elsewhere.adc");
    o.paths[3] = elsewhere.c_str();
    Stream s(o);
    ASSERT_EQ(s.open_result(), VX7_STREAM_OK);
    expect_samples(s.drain(), {{2, 0.5, 101}, {4, -1.0, 200}});
    EXPECT_EQ(s.state(1), VX7_STREAM_CHANNEL_UNWATCHED);
    EXPECT_EQ(s.state(3), VX7_STREAM_CHANNEL_UNWATCHED);
    EXPECT_EQ(s.state(4), VX7_STREAM_CHANNEL_MAPPED);

    w[0].publish(1.0, 300);
    w[3].publish(1.0, 300);
    EXPECT_FALSE(s.next(20));
}

// A poll more than 10 ms after the previous one is late; polls in quick
// succession are not.
TEST_F(StreamTest, LatePollsCounted)
{
    using Clock = std::chrono::steady_clock;
    Stream s(options());
    EXPECT_EQ(vx7_stream_late_polls(s.get()), 0u);
    // Polls close together are not late; a run the machine stalled (more
    // than 5 ms between them) is run again.
    bool quick = false;
    for (int attempt = 0; attempt < 10 && !quick; ++attempt) {
        s.next(0);
        const std::uint64_t before = vx7_stream_late_polls(s.get());
        const auto t0 = Clock::now();
        s.next(0);
        quick = Clock::now() - t0 < 5ms;
        if (quick) {
            EXPECT_EQ(vx7_stream_late_polls(s.get()), before);
        }
    }
    EXPECT_TRUE(quick) << "no two polls within 5 ms in 10 tries";
    for (int i = 0; i < 2; ++i) {
        s.next(0);
        const std::uint64_t before = vx7_stream_late_polls(s.get());
        std::this_thread::sleep_for(25ms);
        s.next(0);
        EXPECT_EQ(vx7_stream_late_polls(s.get()), before + 1) << "a 25 ms gap, try " << i;
    }
}

// Polls without time-out read a coarse clock that moves only at the
// kernel's tick; a real gap just over 10 ms is still counted every time
// (an 11 ms gap reads as 8 ms on a 4 ms tick as often as not), and a steady
// 1 ms cadence never. Each gap is measured here with the precise clock
// around the two polls; a cadence run disturbed by the machine (a real gap
// over 2 ms) is run again.
TEST_F(StreamTest, LatePollsCoarseClock)
{
    using Clock = std::chrono::steady_clock;
    Stream s(options());
    for (int i = 0; i < 20; ++i) {
        s.next(0);
        const std::uint64_t before = vx7_stream_late_polls(s.get());
        const auto t0 = Clock::now();
        std::this_thread::sleep_for(11ms);
        ASSERT_GE(Clock::now() - t0, 11ms);
        s.next(0);
        EXPECT_EQ(vx7_stream_late_polls(s.get()), before + 1) << "an 11 ms gap, try " << i;
    }

    bool steady = false;
    for (int attempt = 0; attempt < 10 && !steady; ++attempt) {
        s.next(0);
        const std::uint64_t before = vx7_stream_late_polls(s.get());
        auto last = Clock::now();
        Clock::duration longest{};
        for (int i = 0; i < 200; ++i) {
            std::this_thread::sleep_for(1ms);
            s.next(0);
            const auto now = Clock::now();
            longest = std::max(longest, now - last);
            last = now;
        }
        if (longest > 2ms)
            continue;
        steady = true;
        EXPECT_EQ(vx7_stream_late_polls(s.get()), before) << "a 1 ms cadence";
    }
    if (!steady)
        GTEST_SKIP() << "the machine never kept a 1 ms cadence for 200 polls";
}

// The time-out is kept: nothing new returns after about that long.
TEST_F(StreamTest, TimeoutKept)
{
    ChannelWriter w1(path(1));
    Stream s(options());
    const auto t0 = std::chrono::steady_clock::now();
    EXPECT_FALSE(s.next(60));
    const auto waited = std::chrono::steady_clock::now() - t0;
    EXPECT_GE(waited, 60ms);
    EXPECT_LT(waited, 2s);

    std::thread writer([&] {
        std::this_thread::sleep_for(50ms);
        w1.publish(1.0, 1);
    });
    auto got = s.next(-1); // waits without limit until the record comes
    writer.join();
    ASSERT_TRUE(got);
    EXPECT_EQ(got->elapsed_ms, 1u);
}

// A poll with nothing new makes no system call: the polls run in a child
// under a seccomp filter that lets it exit and kills it on any other call.
// (Strict mode would not do: it also forbids reading the time-stamp
// counter, which the clock needs.)
TEST_F(StreamTest, PollMakesNoSystemCall)
{
#ifdef __SANITIZE_THREAD__
    // Its runtime keeps a thread of its own in the child, which makes system
    // calls of its own and outlives the child's exit.
    GTEST_SKIP() << "not under ThreadSanitizer";
#endif
    ChannelWriter w[4] = {ChannelWriter(path(1)), ChannelWriter(path(2)), ChannelWriter(path(3)),
                          ChannelWriter(path(4))};
    for (auto &x : w)
        x.publish(1.0, 1);
    Stream s(options());
    EXPECT_EQ(s.drain().size(), 4u);
    // The slow look at the files (the folders' news, or stat) is due every
    // 100 ms: let it come now, so that the child's polls fall between two of
    // them.
    std::this_thread::sleep_for(120ms);
    EXPECT_FALSE(s.next(0));
    std::fflush(nullptr);
    const pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        // The clock is read through the vDSO without entering the kernel;
        // where that is not so, the clock alone would fail this test.
        sock_filter filter[] = {
            BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
            BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, SYS_exit, 0, 1),
            BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
            BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_KILL_PROCESS),
        };
        sock_fprog prog{static_cast<unsigned short>(sizeof filter / sizeof filter[0]), filter};
        if (::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0 || ::prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &prog) != 0)
            ::_exit(3);
        vx7_sample sample;
        int timeouts = 0;
        for (int i = 0; i < 1000; ++i)
            timeouts += vx7_stream_next(s.get(), 0, &sample) == VX7_STREAM_TIMEOUT;
        ::syscall(SYS_exit, timeouts == 1000 ? 0 : 2);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status)) << "killed by signal " << WTERMSIG(status) << ": a system call in a poll";
    EXPECT_EQ(WEXITSTATUS(status), 0);
}

namespace {

// Bytes for the record unit's writer that stop once, after `at` bytes of
// the writer's byte moves, to let the test look at the file half-written.
struct StoppingBytes {
    std::size_t at;
    std::function<void()> look;
    std::size_t done = 0;

    void move(char *dst, const char *src, char c, std::size_t n)
    {
        for (std::size_t i = 0; i < n; ++i, ++done) {
            if (done == at)
                look();
            dst[i] = src != nullptr ? src[i] : c;
        }
    }
    void copy(char *dst, const char *src, std::size_t n) { move(dst, src, 0, n); }
    void fill(char *dst, char c, std::size_t n) { move(dst, nullptr, c, n); }
};

} // namespace

// A writer stopped at every byte of a record, and of the blanking: the
// stream reports nothing while the record is half-written, and the whole
// record once when it is done.
TEST_F(StreamTest, TornWritesAreNeverReported)
{
    ChannelWriter w1(path(1));
    Stream s(options());
    const auto old_text = vx7::record::format(0.9, 1000);
    const auto new_text = vx7::record::format(1.0, 1010);
    unsigned long ms = 1010;
    for (std::size_t at = 0; at <= new_text.length; ++at) {
        SCOPED_TRACE(at);
        vx7::record::publish(w1.data(), old_text);
        s.drain();
        ++ms;
        const auto text = vx7::record::format(1.0, ms);
        int seen_half_way = 0;
        vx7::record::publish(w1.data(), text, StoppingBytes{at, [&] { seen_half_way += s.next(0).has_value(); }});
        EXPECT_EQ(seen_half_way, 0) << "a half-written record was reported";
        expect_samples(s.drain(), {{1, 1.0, ms}});
    }
    for (std::size_t at = 0; at < vx7::record::kSize - 8; ++at) {
        SCOPED_TRACE(at);
        vx7::record::publish(w1.data(), old_text);
        s.drain();
        int seen_half_way = 0;
        vx7::record::blank(w1.data(), StoppingBytes{at, [&] { seen_half_way += s.next(0).has_value(); }});
        EXPECT_EQ(seen_half_way, 0) << "a half-blanked record was reported";
        const auto got = s.drain();
        ASSERT_EQ(got.size(), 1u);
        EXPECT_EQ(got[0].has_value, 0);
    }
}

// The stream on the table every reader is tested with: a file that
// appears with a record reports it exactly when the record has the driver's
// form, with its own fields and text.
TEST_F(StreamTest, OneRuleForEveryRecord)
{
    vx7_stream_options o{};
    const std::string file = path(1);
    o.paths[0] = file.c_str();
    o.channel_mask = 1;
    for (const vx7test::RuleCase &c : vx7test::rule_cases()) {
        SCOPED_TRACE(c.name);
        vx7test::write_file(file, c.file);
        Stream s(o);
        const auto got = s.drain();
        if (!c.has_value) {
            EXPECT_TRUE(got.empty());
            continue;
        }
        ASSERT_EQ(got.size(), 1u);
        EXPECT_EQ(got[0].has_value, 1);
        EXPECT_EQ(got[0].volts, c.volts);
        EXPECT_EQ(got[0].elapsed_ms, c.elapsed);
        EXPECT_STREQ(got[0].text, c.text);
    }
}

// ---- loss counted from the sequence counter -----------------------------------

namespace {

// A step of the counter table: what the driver does to channel 1's file, or
// a look by the stream.
struct Step {
    enum Kind { Publish, Blank, Look, Counter, Uncounted, Create, Pause } kind;
    unsigned long ms = 0;      // Publish, Uncounted: the record's elapsed ms
    std::uint32_t counter = 0; // Counter: the settled counter to set
};

Step pub(unsigned long ms)
{
    return {Step::Publish, ms};
}
const Step kBlank{Step::Blank};
const Step kLook{Step::Look};
const Step kCreate{Step::Create}; // the file made (blank), after the stream opened
const Step kPause{Step::Pause};   // 30 ms without a look

struct LossCase {
    const char *name;
    bool file_at_open; // else the first kCreate makes it
    std::vector<Step> steps;
    std::uint64_t lost;   // the changes the stream did not see, as a driver makes them
    std::size_t reported; // samples the stream handed on
    bool exact;           // every look found a counter: no late polls, whatever the pauses
};

} // namespace

// How far the counter moved between two looks gives the changes missed: by 2
// none, by 6 two; a blank (seen or not) in between counts as a change and
// starts the counter again; the counter going round 2^32 is no loss; a file
// made after the stream opened counts from 0; history before the first
// look at a file that was there is no loss. Only channel 1 is watched; while
// its file has a counter, gaps between looks are no late polls.
TEST_F(StreamTest, CounterMovesGiveTheLostCount)
{
    const LossCase cases[] = {
        {"by_2", true, {pub(10), kLook, kPause, pub(20), kLook}, 0, 2, true},
        {"by_6", true, {pub(10), kLook, kPause, pub(20), pub(30), pub(40), kLook}, 2, 2, true},
        {"history_before_the_stream", true, {pub(10), pub(20), pub(30), kLook}, 0, 1, true},
        {"same_record_again", true, {pub(10), kLook, pub(10), kLook}, 0, 1, true},
        {"blank_seen_between", true, {pub(5000), kLook, kBlank, kLook, pub(10), pub(20), kLook}, 1, 3, false},
        {"blank_unseen_between", true, {pub(5000), kLook, kBlank, pub(10), pub(20), kLook}, 2, 2, true},
        {"wrap_past_2_32",
         true,
         {pub(10), {Step::Counter, 0, 0xFFFFFFFC}, kLook, kPause, pub(20), pub(30), pub(40), kLook},
         2,
         2,
         true},
        {"new_file_after_open", false, {kLook, kCreate, pub(10), pub(20), pub(30), kLook, pub(40), kLook}, 2, 2, false},
        {"driver_takes_over_a_file_without_counter",
         true,
         {{Step::Uncounted, 700}, kLook, kBlank, pub(10), pub(20), kLook},
         2,
         2,
         false},
    };
    for (const LossCase &c : cases) {
        SCOPED_TRACE(c.name);
        vx7test::TempDir d;
        const std::string file = d.file("adc1.adc");
        std::unique_ptr<ChannelWriter> w;
        if (c.file_at_open)
            w = std::make_unique<ChannelWriter>(file);
        vx7_stream_options o{};
        o.paths[0] = file.c_str();
        o.channel_mask = 1;
        bool opened = false;
        std::unique_ptr<Stream> s;
        std::size_t reported = 0;
        for (const Step &step : c.steps) {
            switch (step.kind) {
            case Step::Publish:
                w->publish(0.5, step.ms);
                break;
            case Step::Blank:
                w->blank();
                break;
            case Step::Uncounted:
                vx7::record::publish_uncounted(w->data(), vx7::record::format(0.5, step.ms));
                break;
            case Step::Counter: {
                const std::uint64_t word = std::uint64_t{vx7::record::kSequenceMagic} << 32 | step.counter;
                std::memcpy(w->data() + vx7::record::kSequenceOffset, &word, sizeof word);
                break;
            }
            case Step::Create:
                w = std::make_unique<ChannelWriter>(file);
                break;
            case Step::Pause:
                std::this_thread::sleep_for(30ms);
                break;
            case Step::Look:
                if (!opened) {
                    s = std::make_unique<Stream>(o);
                    ASSERT_EQ(s->open_result(), VX7_STREAM_OK);
                    opened = true;
                }
                reported += s->drain(30).size();
                break;
            }
        }
        EXPECT_EQ(vx7_stream_lost(s->get(), 1), c.lost);
        EXPECT_EQ(reported, c.reported);
        if (c.exact) {
            EXPECT_EQ(vx7_stream_late_polls(s->get()), 0u);
        }
        EXPECT_EQ(vx7_stream_lost(s->get(), 2), 0u);
    }
    EXPECT_EQ(vx7_stream_lost(nullptr, 1), 0u);
}

// ---- files cut short, and the fallbacks of the wait -------------------------------

// A channel file cut short in place while the stream has it mapped (to
// nothing, which would end a read of it with SIGBUS, or to 50 bytes, whose
// missing half would read as zeros) is let go of before the stream next
// reads it: state "waiting", nothing reported, no crash; back to its length,
// it is taken up again. In a child process, so that a SIGBUS fails the test
// instead of ending it.
TEST_F(StreamTest, FileCutShortWhileMappedIsLetGo)
{
    for (const off_t length : {off_t{0}, off_t{50}}) {
        SCOPED_TRACE(length);
        ChannelWriter w1(path(1));
        w1.publish(1.0, 10);
        std::fflush(nullptr);
        const pid_t pid = ::fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            vx7_stream_options o = options();
            o.channel_mask = 1;
            vx7_stream *s = nullptr;
            vx7_sample x;
            int fails = 0;
            fails += vx7_stream_open(&o, &s) != VX7_STREAM_OK;
            fails += vx7_stream_next(s, 100, &x) != VX7_STREAM_OK || x.elapsed_ms != 10;
            fails += ::truncate(path(1).c_str(), length) != 0;
            fails += vx7_stream_next(s, 300, &x) != VX7_STREAM_TIMEOUT;
            fails += vx7_stream_channel_state(s, 1, nullptr) != VX7_STREAM_CHANNEL_WAITING;
            fails += ::truncate(path(1).c_str(), vx7::record::kSize) != 0;
            w1.publish(2.0, 20);
            int rc = vx7_stream_next(s, 2000, &x);
            // The file came back with zeros where it had been cut: "no value"
            // first, for a file that had one; then the record.
            if (rc == VX7_STREAM_OK && x.has_value == 0)
                rc = vx7_stream_next(s, 2000, &x);
            fails += rc != VX7_STREAM_OK || x.elapsed_ms != 20;
            vx7_stream_close(s);
            ::_exit(fails == 0 ? 0 : 1);
        }
        int status = 0;
        ASSERT_EQ(::waitpid(pid, &status, 0), pid);
        ASSERT_TRUE(WIFEXITED(status)) << "killed by signal " << WTERMSIG(status) << ": read past the file's end";
        EXPECT_EQ(WEXITSTATUS(status), 0);
    }
}

namespace {

std::int64_t median(std::vector<std::int64_t> v)
{
    std::sort(v.begin(), v.end());
    return v.empty() ? -1 : v[v.size() / 2];
}

// Publishes `n` records on `w`, one every `gap`, and receives them on `s`:
// the delays from each write to its sample (ns), and how many came or were
// counted as lost. `wake`: the writer wakes the readers, as the driver does.
struct Delivery {
    std::vector<std::int64_t> delays;
    std::uint64_t received = 0;
    std::uint64_t lost = 0;
};

Delivery deliver(ChannelWriter &w, vx7_stream *s, int n, std::chrono::milliseconds gap, bool counted)
{
    std::vector<std::int64_t> written(static_cast<std::size_t>(n));
    std::thread writer([&] {
        for (int i = 0; i < n; ++i) {
            std::this_thread::sleep_for(gap);
            written[static_cast<std::size_t>(i)] = wall_now();
            const auto text = vx7::record::format(0.25, 1000u + static_cast<unsigned>(i));
            if (counted) {
                vx7::record::publish(w.data(), text);
                w.wake();
            } else {
                vx7::record::publish_uncounted(w.data(), text);
            }
        }
    });
    // (record index, when it came): matched with the write times once the
    // writer has ended, since nothing orders its plain stores before a
    // record's bytes (a file without a counter is a plain copy).
    std::vector<std::pair<std::size_t, std::int64_t>> came;
    Delivery d;
    vx7_sample x;
    while (vx7_stream_next(s, 1000, &x) == VX7_STREAM_OK) {
        ++d.received;
        const auto i = static_cast<std::size_t>(x.elapsed_ms - 1000);
        if (x.has_value && i < written.size())
            came.emplace_back(i, x.wall_ns);
        if (x.elapsed_ms == 1000u + static_cast<unsigned>(n) - 1)
            break;
    }
    writer.join();
    for (const auto &[i, at] : came)
        d.delays.push_back(at - written[i]);
    d.lost = vx7_stream_lost(s, 1);
    return d;
}

} // namespace

// A file without a sequence counter (a driver that keeps none, and wakes no
// one) is looked at every poll period: with a 1 ms period its records come
// within a few ms, not at the stream's slow look (100 ms).
TEST_F(StreamTest, FileWithoutCounterIsPolled)
{
    ChannelWriter w1(path(1)); // spaces: no counter
    vx7_stream_options o = options();
    o.channel_mask = 1;
    o.poll_period_us = 1000;
    Stream s(o);
    // Most come (a loaded machine may keep the reader from one or two, and
    // no counter counts them), a few ms after their writing; looked at
    // every 100 ms only, most would be overwritten unseen, the rest late.
    const Delivery d = deliver(w1, s.get(), 20, 30ms, false);
    EXPECT_GE(d.received, 12u);
    EXPECT_LT(median(d.delays), 25'000'000) << "not polled at its period";
}

// futex_waitv answering ENOSYS (an older kernel; here a seccomp filter in a
// child process) makes the stream poll at its period for the rest of its
// life: it asks once, and every record still comes (or is counted lost)
// within a few poll periods.
TEST_F(StreamTest, NoFutexWaitvFallsBackToPolling)
{
#if !defined(__x86_64__)
    GTEST_SKIP() << "the trap handler sets the x86-64 result register";
#else
    ChannelWriter w1(path(1));
    w1.publish(0.25, 1);
    std::fflush(nullptr);
    const pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        static volatile sig_atomic_t asked = 0;
        struct sigaction sa {};
        sa.sa_flags = SA_SIGINFO;
        sa.sa_sigaction = [](int, siginfo_t *, void *context) {
            asked = asked + 1;
            static_cast<ucontext_t *>(context)->uc_mcontext.gregs[REG_RAX] = -ENOSYS;
        };
        ::sigaction(SIGSYS, &sa, nullptr);
        sock_filter filter[] = {
            BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
            BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, SYS_futex_waitv, 0, 1),
            BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_TRAP),
            BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
        };
        sock_fprog prog{static_cast<unsigned short>(sizeof filter / sizeof filter[0]), filter};
        if (::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0 || ::prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &prog) != 0)
            ::_exit(3);
        vx7_stream_options o = options();
        o.channel_mask = 1;
        o.poll_period_us = 2000;
        vx7_stream *s = nullptr;
        vx7_sample x;
        if (vx7_stream_open(&o, &s) != VX7_STREAM_OK || vx7_stream_next(s, 100, &x) != VX7_STREAM_OK)
            ::_exit(4);
        const Delivery d = deliver(w1, s, 40, 5ms, true);
        vx7_stream_close(s);
        std::printf("futex_waitv asked %d times; %llu received, %llu lost, median delay %lld us\n",
                    static_cast<int>(asked), static_cast<unsigned long long>(d.received),
                    static_cast<unsigned long long>(d.lost), static_cast<long long>(median(d.delays) / 1000));
        std::fflush(stdout);
        ::_exit(asked == 1 && d.received + d.lost == 40 && median(d.delays) < 25'000'000 ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status)) << "killed by signal " << WTERMSIG(status);
    EXPECT_EQ(WEXITSTATUS(status), 0);
#endif
}
