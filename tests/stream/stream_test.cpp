// The sample stream on channel files in a private directory: what it reports
// and when, and how it copes with files that are missing, short, replaced or
// unusable.
#include "stream_files.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <csignal>
#include <cstddef>
#include <cstdint>
#include <ctime>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <thread>
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
    std::this_thread::sleep_for(300ms);
    // The new channel 1 file holds no value yet: that is news.
    auto got = s.drain();
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].channel, 1);
    EXPECT_EQ(got[0].has_value, 0);
    int err = 0;
    EXPECT_EQ(s.state(2, &err), VX7_STREAM_CHANNEL_WAITING);
    EXPECT_EQ(err, ENOENT);
    auto n2 = std::make_unique<ChannelWriter>(path(2));

    // The old mappings stay writable by their old writers: never seen again.
    w1->publish(9.0, 2);
    w2->publish(9.0, 2);
    std::this_thread::sleep_for(300ms);
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
    Stream s(options());
    EXPECT_EQ(vx7_stream_late_polls(s.get()), 0u);
    s.next(0);
    s.next(0);
    EXPECT_EQ(vx7_stream_late_polls(s.get()), 0u);
    std::this_thread::sleep_for(25ms);
    s.next(0);
    EXPECT_EQ(vx7_stream_late_polls(s.get()), 1u);
    s.next(0);
    std::this_thread::sleep_for(25ms);
    s.next(0);
    EXPECT_EQ(vx7_stream_late_polls(s.get()), 2u);
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
    ChannelWriter w[4] = {ChannelWriter(path(1)), ChannelWriter(path(2)), ChannelWriter(path(3)),
                          ChannelWriter(path(4))};
    for (auto &x : w)
        x.publish(1.0, 1);
    Stream s(options());
    EXPECT_EQ(s.drain().size(), 4u);
    // The slow look at the files (with stat) is due every 100 ms: let it
    // come now, so that the child's polls fall between two of them.
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
