// The device's log of answered sample reports: what enters it, its order,
// reading on from a sequence number, the ring wrapping under a slow reader,
// and a reader in another process than the host.
#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

#include "tempdir.h"
#include "vx7sim/sim.h"

namespace {

using namespace vx7sim;
using Bytes = std::vector<std::uint8_t>;

std::string text(double volts)
{
    char b[32];
    std::snprintf(b, sizeof b, "%.11e", volts);
    return b;
}

class SampleLogTest : public ::testing::Test {
protected:
    vx7test::TempDir dir;
    Sim sim = Sim::create(dir.file("state"));
    int dev = sim.add_vx7();
    HostHandle h = *sim.host_open(dev);

    TransferResult get(Bytes &out, int size = 4)
    {
        out.assign(static_cast<std::size_t>(size), 0);
        return sim.host_control(h, kGetReportType, kGetReportRequest, kGetReportValue, 0, out.data(), size, 100);
    }
    void gets(int n)
    {
        Bytes r;
        for (int i = 0; i < n; ++i)
            ASSERT_TRUE(get(r).ok());
    }
};

// Known reports and the volts the driver documents for them.
TEST_F(SampleLogTest, EntersEachAnsweredSampleInOrderWithItsMeaning)
{
    struct Case {
        Bytes report;
        int channel, exponent;
        std::uint32_t raw;
        const char *volts;
    } cases[] = {
        {{0x80, 0xFF, 0xFF, 0xFF}, 0, 0, 0xFFFFFF, "2.50000000000e+00"},
        {{0x80, 0x00, 0x00, 0x00}, 0, 0, 0x000000, "-2.50000029802e+00"},
        {{0x80, 0x80, 0x00, 0x01}, 0, 0, 0x800001, "2.98023259404e-07"},
        {{0x9D, 0xFF, 0xFF, 0xFF}, 1, 7, 0xFFFFFF, "1.95312500000e-02"},
        {{0x8E, 0x40, 0x00, 0x00}, 2, 3, 0x400000, "-1.56250018626e-01"},
        {{0x83, 0x80, 0x00, 0x00, 0x55}, 3, 0, 0x800000, "0.00000000000e+00"}, // longer reply: first 4 bytes
    };
    std::vector<Bytes> queue;
    for (const Case &c : cases)
        queue.push_back(c.report);
    sim.queue_reports(dev, queue);
    gets(static_cast<int>(std::size(cases)));

    const SampleLog log = sim.samples(dev);
    EXPECT_EQ(log.total, std::size(cases));
    EXPECT_EQ(log.lost, 0u);
    ASSERT_EQ(log.samples.size(), std::size(cases));
    for (std::size_t i = 0; i < std::size(cases); ++i) {
        const AnsweredSample &a = log.samples[i];
        EXPECT_EQ(a.seq, i + 1);
        EXPECT_EQ(a.channel, cases[i].channel) << i;
        EXPECT_EQ(a.exponent, cases[i].exponent) << i;
        EXPECT_EQ(a.raw, cases[i].raw) << i;
        EXPECT_EQ(text(a.volts()), cases[i].volts) << i;
        EXPECT_EQ(a.source, ReplySource::Queued);
        EXPECT_EQ(a.generation, sim.device(dev).generation);
    }
}

TEST_F(SampleLogTest, GeneratedSamplesAreLoggedAsTheHostReceivedThem)
{
    sim.set_waveform(dev, 2, Waveform::constant(-0.75));
    std::vector<Bytes> received;
    for (int i = 0; i < 8; ++i) {
        Bytes r;
        ASSERT_TRUE(get(r).ok());
        received.push_back(r);
    }
    const SampleLog log = sim.samples(dev);
    ASSERT_EQ(log.samples.size(), 8u);
    for (std::size_t i = 0; i < 8; ++i) {
        const AnsweredSample &a = log.samples[i];
        const Bytes &r = received[i];
        EXPECT_EQ(a.channel, i % 4);
        EXPECT_EQ(a.channel, r[0] & 3);
        EXPECT_EQ(a.raw, static_cast<std::uint32_t>(r[1] << 16 | r[2] << 8 | r[3]));
        EXPECT_EQ(a.source, ReplySource::Generated);
    }
    EXPECT_EQ(log.samples[2].raw, 0x800000u - 2516582u); // round(-0.75 V / (2.5 V / 8388607))
    EXPECT_EQ(text(log.samples[2].volts()), "-7.49999970198e-01");
}

// Only a sample report that reached the host whole is one the driver could
// have published.
TEST_F(SampleLogTest, LeavesOutWhatTheHostDidNotReceiveAsASample)
{
    sim.queue_reports(dev, {{0x7F, 0x00, 0x00, 0x00}, {0xA0, 1, 2, 3}, {0x80, 0x80}, {0x81, 0x80, 0x00, 0x02}});
    Bytes r;
    EXPECT_TRUE(get(r).ok());      // marker bits 011: not a sample
    EXPECT_TRUE(get(r).ok());      // marker bits 101: not a sample
    EXPECT_EQ(get(r).count, 2);    // a 2-byte reply
    EXPECT_EQ(get(r, 2).count, 2); // the host offered 2 bytes: 0x81 0x80 only
    sim.inject_fault(dev, Fault::short_transfer(TransferKind::Get, 3));
    EXPECT_EQ(get(r).count, 3);
    sim.inject_fault(dev, Fault::fail(TransferKind::Get));
    EXPECT_FALSE(get(r).ok());
    sim.set_attached(dev, false);
    EXPECT_FALSE(get(r).ok());
    EXPECT_EQ(sim.samples(dev).total, 0u);
    EXPECT_EQ(sim.sample_total(dev), 0u);

    // A Short fault that still lets 4 bytes through, the idle reply and the
    // Windows feature framing all deliver samples.
    sim.set_attached(dev, true);
    h = *sim.host_open(dev);
    sim.inject_fault(dev, Fault::short_transfer(TransferKind::Get, 4));
    EXPECT_EQ(get(r, 8).count, 4);
    sim.set_idle_reply(dev, Bytes{0x84, 0x80, 0x00, 0x10});
    EXPECT_TRUE(get(r).ok());
    std::uint8_t feature[kFeatureBufferSize] = {};
    EXPECT_TRUE(sim.host_get_feature(h, feature, sizeof feature, 100).ok());
    const SampleLog log = sim.samples(dev);
    ASSERT_EQ(log.samples.size(), 3u);
    EXPECT_EQ(log.samples[0].source, ReplySource::Generated);
    EXPECT_EQ(log.samples[1].source, ReplySource::Idle);
    EXPECT_EQ(log.samples[1].exponent, 1);
    EXPECT_EQ(log.samples[1].raw, 0x800010u);
    EXPECT_EQ(log.samples[2].source, ReplySource::Idle);
    EXPECT_EQ(log.samples[1].generation, sim.device(dev).generation);
}

TEST_F(SampleLogTest, ReadingOnFromASequenceNumber)
{
    gets(10);
    const SampleLog after7 = sim.samples(dev, 7);
    ASSERT_EQ(after7.samples.size(), 3u);
    EXPECT_EQ(after7.samples.front().seq, 8u);
    EXPECT_EQ(after7.total, 10u);
    EXPECT_EQ(after7.lost, 0u);
    EXPECT_TRUE(sim.samples(dev, 10).samples.empty());
    EXPECT_TRUE(sim.samples(dev, 99).samples.empty()); // ahead of the log: nothing, nothing lost
    EXPECT_EQ(sim.samples(dev, 99).lost, 0u);
    EXPECT_THROW(sim.samples(dev + 1), std::out_of_range);
}

TEST_F(SampleLogTest, ARingThatWrappedTellsTheReaderHowManyItMissed)
{
    constexpr int kExtra = 10;
    gets(kSampleLogSize + kExtra);
    const SampleLog all = sim.samples(dev);
    EXPECT_EQ(all.total, static_cast<std::uint64_t>(kSampleLogSize + kExtra));
    EXPECT_EQ(all.lost, static_cast<std::uint64_t>(kExtra));
    ASSERT_EQ(all.samples.size(), static_cast<std::size_t>(kSampleLogSize));
    for (std::size_t i = 0; i < all.samples.size(); ++i)
        ASSERT_EQ(all.samples[i].seq, kExtra + 1 + i);
    // Channels still in turn across the wrap.
    EXPECT_EQ(all.samples.front().channel, kExtra % 4);
    EXPECT_EQ(all.samples.back().channel, (kSampleLogSize + kExtra - 1) % 4);

    EXPECT_EQ(sim.samples(dev, 4).lost, static_cast<std::uint64_t>(kExtra - 4));
    EXPECT_EQ(sim.samples(dev, kExtra).lost, 0u);
    EXPECT_EQ(sim.samples(dev, kExtra).samples.size(), static_cast<std::size_t>(kSampleLogSize));
}

// The host (a driver) in one process, the reader (a test) in another, reading
// on while the host runs: every sample once, in order, as the host got it.
TEST(SampleLogAcrossProcesses, AReaderFollowingTheHostSeesEverySampleOnce)
{
    vx7test::TempDir dir;
    Sim sim = Sim::create(dir.file("state"));
    const int dev = sim.add_vx7();
    constexpr int kGets = 3000;
    int pipe_fds[2];
    ASSERT_EQ(::pipe(pipe_fds), 0);
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        ::close(pipe_fds[0]);
        int bad = 0;
        try {
            Sim host = Sim::open(dir.file("state"));
            const HostHandle hh = *host.host_open(dev);
            for (int i = 0; i < kGets; ++i) {
                std::uint8_t r[4];
                bad += host.host_control(hh, kGetReportType, kGetReportRequest, kGetReportValue, 0, r, 4, 100).ok() ? 0
                                                                                                                    : 1;
                bad += ::write(pipe_fds[1], r, 4) == 4 ? 0 : 1;
            }
        } catch (...) {
            bad = 1;
        }
        ::_exit(bad == 0 ? 0 : 1);
    }
    ::close(pipe_fds[1]);

    std::vector<AnsweredSample> seen;
    std::uint64_t lost = 0;
    int status = 0;
    for (bool done = false; !done;) {
        done = ::waitpid(child, &status, WNOHANG) == child;
        const SampleLog log = sim.samples(dev, seen.empty() ? 0 : seen.back().seq);
        lost += log.lost;
        seen.insert(seen.end(), log.samples.begin(), log.samples.end());
    }
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    Bytes received;
    std::uint8_t buf[4096];
    for (ssize_t n; (n = ::read(pipe_fds[0], buf, sizeof buf)) > 0;)
        received.insert(received.end(), buf, buf + n);
    ::close(pipe_fds[0]);

    EXPECT_EQ(lost, 0u);
    ASSERT_EQ(seen.size(), static_cast<std::size_t>(kGets));
    ASSERT_EQ(received.size(), 4u * kGets);
    for (std::size_t i = 0; i < seen.size(); ++i) {
        const std::uint8_t *r = &received[4 * i];
        ASSERT_EQ(seen[i].seq, i + 1);
        ASSERT_EQ(seen[i].channel, r[0] & 3) << i;
        ASSERT_EQ(seen[i].exponent, (r[0] >> 2) & 7) << i;
        ASSERT_EQ(seen[i].raw, static_cast<std::uint32_t>(r[1] << 16 | r[2] << 8 | r[3])) << i;
    }
}

} // namespace
