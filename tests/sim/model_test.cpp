// The device model: sample encoding, queue and generator, commands and their
// effect, faults, counters, detach, protocol errors, the state file itself.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstring>
#include <vector>

#include "layout.h"
#include "report.h"
#include "tempdir.h"
#include "vx7sim/sim.h"

namespace {

using namespace vx7sim;
using Bytes = std::vector<std::uint8_t>;

class Model : public ::testing::Test {
protected:
    vx7test::TempDir dir;
    Sim sim = Sim::create(dir.file("state"));
    int dev = sim.add_vx7();
    HostHandle h = *sim.host_open(dev);

    TransferResult set(const Report &r, std::uint32_t timeout = 5000)
    {
        Report copy = r;
        return sim.host_control(h, kSetReportType, kSetReportRequest, kFeatureReport << 8 | r[0], 0, copy.data(), 4,
                                timeout);
    }
    TransferResult get(Report &out, std::uint32_t timeout = 5000, int size = 4)
    {
        out = Report{};
        return sim.host_control(h, kGetReportType, kGetReportRequest, kGetReportValue, 0, out.data(), size, timeout);
    }
    Report get_ok()
    {
        Report r{};
        const TransferResult res = get(r);
        EXPECT_TRUE(res.ok());
        EXPECT_EQ(res.count, 4);
        return r;
    }
    vx7::driver::Sample decode(const Report &r)
    {
        vx7::driver::Sample s{};
        EXPECT_TRUE(vx7::driver::decode_sample(std::span<const std::uint8_t, 4>(r.data(), 4), s));
        return s;
    }
};

// The encoding against the reports whose meaning the driver documents.
TEST(Encoding, KnownReports)
{
    struct Case {
        int channel, exponent;
        double volts;
        Report bytes;
    } cases[] = {
        {0, 0, 2.5, {0x80, 0xFF, 0xFF, 0xFF}},
        {0, 0, -2.50000029802, {0x80, 0x00, 0x00, 0x00}},
        {0, 0, 0.0, {0x80, 0x80, 0x00, 0x00}},
        {0, 0, 2.98023259404e-07, {0x80, 0x80, 0x00, 0x01}},
        {1, 7, 1.95312500000e-02, {0x9D, 0xFF, 0xFF, 0xFF}},
        {2, 3, -1.56250018626e-01, {0x8E, 0x40, 0x00, 0x00}},
        {3, 0, 100.0, {0x83, 0xFF, 0xFF, 0xFF}},  // clamped high
        {3, 0, -100.0, {0x83, 0x00, 0x00, 0x00}}, // clamped low
        {1, 2, 2.5, {0x89, 0xFF, 0xFF, 0xFF}},    // beyond full scale of range 2
    };
    for (const Case &c : cases)
        EXPECT_EQ(encode_sample(c.channel, c.exponent, c.volts), c.bytes)
            << "channel " << c.channel << " exponent " << c.exponent << " volts " << c.volts;
}

TEST(Encoding, RoundTripsThroughTheDriversDecoderWithinOneCount)
{
    for (int exponent = 0; exponent < 8; ++exponent) {
        const double count = kVoltsPerCount / std::ldexp(1.0, exponent);
        for (double v : {-1.0, -0.3, 0.0, 0.001, 0.017, 0.3, 1.2}) {
            if (std::fabs(v) > kFullScaleVolts / std::ldexp(1.0, exponent))
                continue;
            const Report r = encode_sample(2, exponent, v);
            vx7::driver::Sample s{};
            ASSERT_TRUE(vx7::driver::decode_sample(std::span<const std::uint8_t, 4>(r.data(), 4), s));
            EXPECT_EQ(s.channel, 2);
            EXPECT_EQ(s.exponent, exponent);
            EXPECT_NEAR(s.volts, v, count / 2 + 1e-15) << "exponent " << exponent;
        }
    }
}

TEST(StringDescriptor, HeaderAndUtf16)
{
    EXPECT_EQ(string_descriptor(u"vx7"), (Bytes{8, 3, 'v', 0, 'x', 0, '7', 0}));
    EXPECT_EQ(string_descriptor(u"\u00e9\U0001F600"), (Bytes{8, 3, 0xE9, 0x00, 0x3D, 0xD8, 0x00, 0xDE}));
    EXPECT_EQ(string_descriptor_ascii(""), (Bytes{2, 3}));
    // 127 characters fill 256 bytes; the length byte cannot say more than 255.
    const Bytes big = string_descriptor_ascii(std::string(127, 'a'));
    EXPECT_EQ(big.size(), 256u);
    EXPECT_EQ(big[0], 255);
}

TEST(InterfacePath, LowerAndUpperCaseIds)
{
    EXPECT_EQ(default_interface_path(0x16C0, 0x05DF, 0),
              "\\\\?\\hid#vid_16c0&pid_05df#1&0000#{4d1e55b2-f16f-11cf-88cb-001111000030}");
    EXPECT_NE(default_interface_path(0x16C0, 0x05DF, 2, true).find("vid_16C0&pid_05DF#3&"), std::string::npos);
}

TEST_F(Model, QueueAnswersFirstInOrderThenGeneratorStartsAtChannelZero)
{
    sim.set_waveform(dev, 0, Waveform::constant(0.5));
    sim.queue_reports(dev, {{0x80, 0xFF, 0xFF, 0xFF}, {0xA0, 1, 2, 3}, {0x7F, 0, 0, 0}, {0x81, 1, 2}});
    EXPECT_EQ(sim.queued(dev), 4u);
    EXPECT_EQ(get_ok(), (Report{0x80, 0xFF, 0xFF, 0xFF}));
    EXPECT_EQ(get_ok(), (Report{0xA0, 1, 2, 3}));
    EXPECT_EQ(get_ok(), (Report{0x7F, 0, 0, 0}));
    Report r{};
    const TransferResult three = get(r); // a scripted 3-byte answer moves 3 bytes
    EXPECT_TRUE(three.ok());
    EXPECT_EQ(three.count, 3);
    EXPECT_EQ(sim.queued(dev), 0u);
    EXPECT_EQ(get_ok(), encode_sample(0, 0, 0.5));
    const Counters c = sim.counters(dev);
    EXPECT_EQ(c.queued_replies, 4u);
    EXPECT_EQ(c.generated_samples, 1u);
}

TEST_F(Model, IdleReplyStandsInForTheGeneratorWhileTheQueueIsEmpty)
{
    sim.set_idle_reply(dev, Bytes{0x7F, 0, 0, 0});
    sim.queue_reports(dev, {{0x80, 0xFF, 0xFF, 0xFF}});
    EXPECT_EQ(get_ok(), (Report{0x80, 0xFF, 0xFF, 0xFF}));
    EXPECT_EQ(get_ok(), (Report{0x7F, 0, 0, 0}));
    EXPECT_EQ(get_ok(), (Report{0x7F, 0, 0, 0}));
    sim.set_idle_reply(dev, std::nullopt);
    EXPECT_EQ(get_ok()[0] & 0xE3, 0x80); // the generator again, from channel 0
    const Counters c = sim.counters(dev);
    EXPECT_EQ(c.idle_replies, 2u);
    EXPECT_EQ(c.queued_replies, 1u);
    EXPECT_EQ(c.generated_samples, 1u);
    EXPECT_THROW(sim.set_idle_reply(dev, Bytes(kMaxReportBytes + 1)), std::out_of_range);
}

TEST_F(Model, GeneratorRotatesChannelsAndFollowsWaveforms)
{
    const double levels[] = {0.25, -0.5, 1.0, 0.0};
    for (int ch = 0; ch < 4; ++ch)
        sim.set_waveform(dev, ch, Waveform::constant(levels[ch]));
    // Channel 1 moves: a square wave of period 4 samples of that channel.
    sim.set_waveform(dev, 1, Waveform::square(0.5, 4, 0.25));
    const double square[] = {0.75, 0.75, -0.25, -0.25};
    for (int i = 0; i < 16; ++i) {
        const vx7::driver::Sample s = decode(get_ok());
        EXPECT_EQ(s.channel, i % 4);
        const double want = s.channel == 1 ? square[(i / 4) % 4] : levels[i % 4];
        EXPECT_NEAR(s.volts, want, kVoltsPerCount) << "GET " << i;
    }
    EXPECT_EQ(sim.channel_config(dev, 1).samples, 4u);
}

TEST(WaveformShape, ValuesOverOnePeriod)
{
    EXPECT_DOUBLE_EQ(Waveform::constant(0.7).at(12345), 0.7);
    const Waveform s = Waveform::sine(2.0, 8, 0.5);
    EXPECT_NEAR(s.at(0), 0.5, 1e-12);
    EXPECT_NEAR(s.at(2), 2.5, 1e-12);
    EXPECT_NEAR(s.at(6), -1.5, 1e-12);
    EXPECT_NEAR(s.at(8), 0.5, 1e-12);
    const Waveform r = Waveform::ramp(1.0, 4);
    EXPECT_DOUBLE_EQ(r.at(0), -1.0);
    EXPECT_DOUBLE_EQ(r.at(2), 0.0);
    EXPECT_DOUBLE_EQ(r.at(5), -0.5);
    EXPECT_DOUBLE_EQ(Waveform::square(1.0, 0).at(3), 1.0); // period 0 counts as 1
}

// Commands change pending settings; apply makes them current for the masked
// channels only; samples follow the applied range and input.
TEST_F(Model, CommandsTakeEffectOnApply)
{
    sim.set_waveform(dev, 2, Waveform::constant(0.1));
    ASSERT_EQ(set({4, 0x04, 0, 3}).count, 4); // range code 3 for channel 2
    ASSERT_EQ(set({3, 0x04, 0x03, 0xE8}).count, 4);
    ASSERT_EQ(set({5, 0x04, 0, 0x70}).count, 4);
    ChannelConfig c = sim.channel_config(dev, 2);
    EXPECT_EQ(c.pending.range, 3);
    EXPECT_EQ(c.pending.frequency, 1000);
    EXPECT_EQ(c.pending.calibration, 7);
    EXPECT_EQ(c.applied.range, kDefaultRange);
    for (int i = 0; i < 4; ++i) {
        const Report r = get_ok();
        if ((r[0] & 3) == 2) {
            EXPECT_EQ((r[0] >> 2) & 7, 0) << "range taken before apply";
        }
    }
    ASSERT_EQ(set({7, 0x04, 0, 0}).count, 4);
    c = sim.channel_config(dev, 2);
    EXPECT_EQ(c.applied.range, 3);
    EXPECT_EQ(c.applied.frequency, 1000);
    EXPECT_EQ(sim.channel_config(dev, 1).applied.range, kDefaultRange); // not in the mask
    for (int i = 0; i < 4; ++i) {
        const Report r = get_ok();
        if ((r[0] & 3) == 2) {
            EXPECT_EQ(r, encode_sample(2, 3, 0.1));
            EXPECT_NEAR(decode(r).volts, 0.1, kVoltsPerCount / 8);
        }
    }
}

TEST_F(Model, InputSelection)
{
    sim.set_waveform(dev, 0, Waveform::constant(0.8), Input::A);
    sim.set_waveform(dev, 0, Waveform::constant(-0.3), Input::B);
    struct Case {
        std::uint8_t subchannel;
        double volts;
    } cases[] = {{2, 0.0}, {3, kTestVolts}, {1, -0.3}, {0, 0.8}, {9, 0.8} /* not an input: unchanged */};
    for (const Case &c : cases) {
        ASSERT_EQ(set({6, 0x01, 0, c.subchannel}).count, 4);
        ASSERT_EQ(set({7, 0x01, 0, 0}).count, 4);
        Report r{};
        do
            r = get_ok();
        while ((r[0] & 3) != 0);
        EXPECT_NEAR(decode(r).volts, c.volts, kVoltsPerCount) << "subchannel " << int(c.subchannel);
    }
    EXPECT_EQ(encode_sample(0, 0, 0.0)[1], 0x80); // GND reads as the offset-binary zero
}

TEST_F(Model, ResetRestoresDefaultsAndRestartsRotation)
{
    ASSERT_EQ(set({4, 0x0F, 0, 5}).count, 4);
    ASSERT_EQ(set({6, 0x0F, 0, 2}).count, 4);
    ASSERT_EQ(set({7, 0x0F, 0, 0}).count, 4);
    for (int ch = 0; ch < 4; ++ch)
        EXPECT_EQ(sim.channel_config(dev, ch).applied.range, 5);
    get_ok(); // channel 0
    ASSERT_EQ(set({10, 0, 0, 0}).count, 4);
    for (int ch = 0; ch < 4; ++ch) {
        const ChannelConfig c = sim.channel_config(dev, ch);
        EXPECT_EQ(c.applied.range, kDefaultRange);
        EXPECT_EQ(c.pending.input, kDefaultInput);
        EXPECT_EQ(c.applied.input, kDefaultInput);
    }
    EXPECT_EQ(get_ok()[0] & 3, 0);
}

TEST_F(Model, CommandLogKeepsExactRequestsInOrder)
{
    ASSERT_EQ(set({3, 0x04, 0x03, 0xE8}, 1234).count, 4);
    ASSERT_EQ(set({0x85, 0x01, 0, 0}).count, 4); // unknown code: logged, ignored
    const std::vector<Command> log = sim.commands(dev);
    ASSERT_EQ(log.size(), 2u);
    EXPECT_EQ(log[0].seq, 1u);
    EXPECT_EQ(log[0].framing, Framing::UsbControl);
    EXPECT_EQ(log[0].request_type, 0x20);
    EXPECT_EQ(log[0].request, 9);
    EXPECT_EQ(log[0].value, 0x0303);
    EXPECT_EQ(log[0].index, 0);
    EXPECT_EQ(log[0].length, 4);
    EXPECT_EQ(log[0].timeout_ms, 1234u);
    EXPECT_EQ(log[0].data, (Report{3, 0x04, 0x03, 0xE8}));
    EXPECT_EQ(log[1].value, 0x0385);
    EXPECT_TRUE(log[1].accepted());
    // The ring keeps the latest kCommandLogSize entries.
    for (int i = 0; i < kCommandLogSize + 10; ++i)
        ASSERT_EQ(set({7, 1, 0, static_cast<std::uint8_t>(i)}).count, 4);
    const std::vector<Command> ring = sim.commands(dev);
    ASSERT_EQ(ring.size(), static_cast<std::size_t>(kCommandLogSize));
    EXPECT_EQ(sim.command_total(dev), static_cast<std::uint64_t>(kCommandLogSize + 12));
    EXPECT_EQ(ring.front().seq, 13u);
    EXPECT_EQ(ring.back().data[3], static_cast<std::uint8_t>(kCommandLogSize + 9));
}

TEST_F(Model, FaultsApplyToTheirKindCountAndPosition)
{
    struct Case {
        const char *name;
        Fault fault;
        bool set_kind;            // drive SET transfers (else GET)
        std::vector<int> results; // per transfer: count, or -1 stall, -2 time-out
        std::vector<Outcome> log; // SET only
    } cases[] = {
        {"fail two gets", Fault::fail(TransferKind::Get, 2), false, {-1, -1, 4}, {}},
        {"third get short 3", Fault::short_transfer(TransferKind::Get, 3).from_nth(3), false, {4, 4, 3, 4}, {}},
        {"get short 0", Fault::short_transfer(TransferKind::Get, 0), false, {0, 4}, {}},
        {"get fault spares sets",
         Fault::fail(TransferKind::Get, 5),
         true,
         {4, 4},
         {Outcome::Accepted, Outcome::Accepted}},
        {"second set fails",
         Fault::fail(TransferKind::Set).from_nth(2),
         true,
         {4, -1, 4},
         {Outcome::Accepted, Outcome::Failed, Outcome::Accepted}},
        {"set short 3", Fault::short_transfer(TransferKind::Set, 3), true, {3, 4}, {Outcome::Short, Outcome::Accepted}},
        {"any kind", Fault::fail(TransferKind::Any), true, {-1, 4}, {Outcome::Failed, Outcome::Accepted}},
        {"delay beyond time-out", Fault::delay(TransferKind::Get, 60), false, {-2, 4}, {}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        sim.clear_commands(dev);
        sim.reset_device(dev);
        sim.inject_fault(dev, c.fault);
        for (std::size_t i = 0; i < c.results.size(); ++i) {
            Report r{};
            const std::uint8_t range = static_cast<std::uint8_t>(i + 1);
            const TransferResult res = c.set_kind ? set({4, 0x01, 0, range}, 30) : get(r, 30);
            const int got = res.status == TransferStatus::Ok        ? res.count
                            : res.status == TransferStatus::Timeout ? -2
                            : res.status == TransferStatus::Stall   ? -1
                                                                    : -3;
            EXPECT_EQ(got, c.results[i]) << "transfer " << i;
        }
        if (c.set_kind) {
            const std::vector<Command> log = sim.commands(dev);
            ASSERT_EQ(log.size(), c.log.size());
            std::uint8_t last_accepted = kDefaultRange;
            for (std::size_t i = 0; i < log.size(); ++i) {
                EXPECT_EQ(log[i].outcome, c.log[i]) << "entry " << i;
                if (log[i].accepted())
                    last_accepted = log[i].data[3];
            }
            // Only commands that went whole were acted on.
            EXPECT_EQ(sim.channel_config(dev, 0).pending.range, last_accepted);
        }
        sim.clear_faults(dev);
    }
}

TEST_F(Model, DelayedTransferSleepsAndTimesOutOnlyAtTheLimit)
{
    using Clock = std::chrono::steady_clock;
    Report r{};
    sim.inject_fault(dev, Fault::delay(TransferKind::Get, 40));
    auto t0 = Clock::now();
    EXPECT_TRUE(get(r, 1000).ok());
    EXPECT_GE(Clock::now() - t0, std::chrono::milliseconds(40));

    sim.inject_fault(dev, Fault::delay(TransferKind::Set, 5000));
    t0 = Clock::now();
    const TransferResult res = set({7, 1, 0, 0}, 50);
    const auto took = Clock::now() - t0;
    EXPECT_EQ(res.status, TransferStatus::Timeout);
    EXPECT_GE(took, std::chrono::milliseconds(50));
    EXPECT_LT(took, std::chrono::milliseconds(2000)); // slept the time-out, not the delay
    ASSERT_EQ(sim.commands(dev).size(), 1u);
    EXPECT_EQ(sim.commands(dev)[0].outcome, Outcome::TimedOut);
    EXPECT_EQ(sim.armed_faults(dev), 0);
}

TEST_F(Model, CountersTrackHandlesAndTransfers)
{
    Report r{};
    get(r);
    set({7, 1, 0, 0});
    sim.inject_fault(dev, Fault::fail(TransferKind::Get));
    get(r);
    auto second = sim.host_open(dev);
    ASSERT_TRUE(second);
    Counters c = sim.counters(dev);
    EXPECT_EQ(c.opens, 2u);
    EXPECT_EQ(c.open_handles(), 2);
    EXPECT_EQ(c.get_transfers, 2u);
    EXPECT_EQ(c.set_transfers, 1u);
    EXPECT_EQ(c.failed_transfers, 1u);
    EXPECT_EQ(c.last_get_length, 4u);
    sim.host_close(*second);
    sim.host_close(h);
    EXPECT_EQ(sim.counters(dev).open_handles(), 0);

    sim.set_open_fails(dev, true);
    EXPECT_FALSE(sim.host_open(dev));
    sim.set_open_fails(dev, false);
    sim.set_attached(dev, false);
    EXPECT_FALSE(sim.host_open(dev));
    c = sim.counters(dev);
    EXPECT_EQ(c.open_failures, 2u);
    EXPECT_EQ(c.opens, 2u);
}

TEST_F(Model, DetachInvalidatesOpenHandlesEvenAfterReattach)
{
    Report r{};
    ASSERT_TRUE(get(r).ok());
    const std::uint32_t generation = sim.device(dev).generation;
    sim.set_attached(dev, false);
    EXPECT_EQ(get(r).status, TransferStatus::NoDevice);
    EXPECT_EQ(set({7, 1, 0, 0}).status, TransferStatus::NoDevice);
    EXPECT_TRUE(sim.attached_devices().empty());
    sim.set_attached(dev, true);
    EXPECT_NE(sim.device(dev).generation, generation);
    EXPECT_FALSE(sim.host_valid(h));
    EXPECT_EQ(get(r).status, TransferStatus::NoDevice);
    const auto fresh = sim.host_open(dev);
    ASSERT_TRUE(fresh);
    EXPECT_TRUE(sim.host_control(*fresh, kGetReportType, kGetReportRequest, kGetReportValue, 0, r.data(), 4, 100).ok());
    sim.host_close(h); // the stale handle still closes and is counted
    sim.host_close(*fresh);
    EXPECT_EQ(sim.counters(dev).open_handles(), 0);
}

TEST_F(Model, FeatureFramingForWindows)
{
    std::uint8_t out[5] = {0, 4, 0x02, 0, 6};
    const TransferResult s = sim.host_set_feature(h, out, 5, 5000);
    EXPECT_TRUE(s.ok());
    EXPECT_EQ(s.count, 5);
    ASSERT_EQ(sim.commands(dev).size(), 1u);
    EXPECT_EQ(sim.commands(dev)[0].framing, Framing::HidFeature);
    EXPECT_EQ(sim.commands(dev)[0].data, (Report{4, 0x02, 0, 6}));
    EXPECT_EQ(sim.channel_config(dev, 1).pending.range, 6);

    sim.queue_reports(dev, {{0x9D, 0xFF, 0xFF, 0xFF}});
    std::uint8_t in[5] = {};
    EXPECT_EQ(sim.host_get_feature(h, in, 5, 5000).count, 5);
    EXPECT_EQ(Bytes(in, in + 5), (Bytes{0, 0x9D, 0xFF, 0xFF, 0xFF}));

    // No short feature transfers on that platform: a Short fault fails.
    sim.inject_fault(dev, Fault::short_transfer(TransferKind::Get, 3));
    EXPECT_EQ(sim.host_get_feature(h, in, 5, 5000).status, TransferStatus::Stall);

    // Wrong size or a report ID other than 0: protocol errors.
    std::uint8_t id1[5] = {1, 4, 2, 0, 6};
    EXPECT_EQ(sim.host_set_feature(h, out, 4, 5000).status, TransferStatus::Stall);
    EXPECT_EQ(sim.host_set_feature(h, id1, 5, 5000).status, TransferStatus::Stall);
    EXPECT_EQ(sim.host_get_feature(h, id1, 5, 5000).status, TransferStatus::Stall);
    EXPECT_EQ(sim.protocol_error_count(), 3u);
    EXPECT_EQ(sim.protocol_errors().back().framing, Framing::HidFeature);
    EXPECT_EQ(sim.commands(dev).size(), 1u);
}

TEST_F(Model, HostStringsAndDescriptorReads)
{
    sim.set_strings(dev, string_descriptor(u"\u00e9A\U0001F600"), Bytes{3, 3, 'x'});
    EXPECT_EQ(sim.host_string(h, false), std::u16string(u"\u00e9A\U0001F600"));
    EXPECT_EQ(sim.host_string(h, true), std::u16string()); // odd trailing byte dropped
    std::uint8_t buf[256];
    EXPECT_EQ(sim.host_get_string(h, 2, 0x409, buf, sizeof buf).count, 3);
    EXPECT_EQ(sim.host_get_string(h, 1, 0x409, buf, 3).count, 3); // truncated to the buffer
    const TransferResult lang = sim.host_get_string(h, 0, 0, buf, sizeof buf);
    EXPECT_EQ(Bytes(buf, buf + lang.count), (Bytes{4, 3, 0x09, 0x04}));
    EXPECT_EQ(sim.host_get_string(h, 7, 0x409, buf, sizeof buf).status, TransferStatus::Stall);
    sim.set_string_fails(dev, StringFault::Product);
    EXPECT_TRUE(sim.host_get_string(h, 1, 0x409, buf, sizeof buf).ok());
    EXPECT_EQ(sim.host_get_string(h, 2, 0x409, buf, sizeof buf).status, TransferStatus::Stall);
    EXPECT_FALSE(sim.host_string(h, true));
    EXPECT_EQ(sim.counters(dev).string_failures, 3u);
}

TEST_F(Model, DevicesOnBusesAndByPath)
{
    DeviceSpec other = DeviceSpec::with(0x16C0, 0x05DF, "ZANDRIVELO", "other");
    other.bus = 1;
    const int d1 = sim.add_device(other);
    DeviceSpec upper = DeviceSpec::vx7();
    upper.interface_path = default_interface_path(kVx7Vendor, kVx7Product, 2, true);
    const int d2 = sim.add_device(upper);
    const std::vector<DeviceInfo> walk = sim.attached_devices();
    ASSERT_EQ(walk.size(), 3u);
    EXPECT_EQ(walk[0].id, dev);
    EXPECT_EQ(walk[1].id, d2); // bus 0 before bus 1
    EXPECT_EQ(walk[2].id, d1);
    EXPECT_EQ(sim.find_by_path(upper.interface_path), d2);
    EXPECT_EQ(sim.find_by_path(default_interface_path(kVx7Vendor, kVx7Product, 2)), d2);
    EXPECT_EQ(sim.find_by_path("\\\\?\\hid#nothing"), -1);
    for (int i = 3; i < kMaxDevices; ++i)
        sim.add_vx7(false);
    EXPECT_THROW(sim.add_vx7(), std::out_of_range);
    EXPECT_THROW(sim.set_attached(kMaxDevices, true), std::out_of_range);
}

TEST(StateFile, RefusesWhatIsNotAStateFile)
{
    vx7test::TempDir dir;
    EXPECT_FALSE(Sim::try_open(dir.file("missing")));
    vx7test::write_file(dir.file("short"), "VX7S");
    EXPECT_FALSE(Sim::try_open(dir.file("short")));
    vx7test::write_file(dir.file("junk"), std::string(200000, 'x'));
    EXPECT_FALSE(Sim::try_open(dir.file("junk")));
    EXPECT_THROW(Sim::open(dir.file("junk")), std::runtime_error);
    ::unsetenv(kStateEnv);
    EXPECT_FALSE(Sim::try_attach_from_env());
    Sim::create(dir.file("good"));
    EXPECT_TRUE(Sim::try_open(dir.file("good")));
}

TEST(StateFile, LockLeftBehindByADeadProcessIsTakenOver)
{
    vx7test::TempDir dir;
    Sim sim = Sim::create(dir.file("state"));
    const int dev = sim.add_vx7();
    // What a process killed inside a call leaves behind: the lock word taken.
    const int fd = ::open(dir.file("state").c_str(), O_RDWR | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    void *p = ::mmap(nullptr, sizeof(detail::State), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    ::close(fd);
    ASSERT_NE(p, MAP_FAILED);
    static_cast<detail::State *>(p)->lock.store(1);
    const auto t0 = std::chrono::steady_clock::now();
    sim.set_attached(dev, false);
    const auto took = std::chrono::steady_clock::now() - t0;
    EXPECT_FALSE(sim.device(dev).attached);
    EXPECT_GE(took, std::chrono::milliseconds(1500));
    EXPECT_LT(took, std::chrono::milliseconds(10000));
    EXPECT_EQ(static_cast<detail::State *>(p)->lock.load(), 0u); // released normally afterwards
    ::munmap(p, sizeof(detail::State));
}

TEST(StateFile, SharedWithAnotherProcess)
{
    vx7test::TempDir dir;
    Sim sim = Sim::create(dir.file("state"));
    const int dev = sim.add_vx7();
    const int other = sim.add_vx7(); // scripted by the child, read by the parent afterwards
    constexpr int kEach = 500;
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        // The child changes the device and uses it concurrently with the parent.
        int bad = 0;
        try {
            Sim mine = Sim::open(dir.file("state"));
            mine.set_waveform(dev, 3, Waveform::constant(-1.25));
            auto hh = mine.host_open(dev);
            for (int i = 0; i < kEach && hh; ++i) {
                std::uint8_t r[4];
                bad += mine.host_control(*hh, kGetReportType, kGetReportRequest, kGetReportValue, 0, r, 4, 100).ok()
                           ? 0
                           : 1;
            }
            if (hh)
                mine.host_close(*hh);
            mine.queue_reports(other, {{0xA0, 0xB0, 0xC0, 0xD0}});
            mine.set_attached(other, false);
        } catch (...) {
            bad = 1;
        }
        ::_exit(bad == 0 ? 0 : 1);
    }
    const auto hh = sim.host_open(dev);
    ASSERT_TRUE(hh);
    for (int i = 0; i < kEach; ++i) {
        std::uint8_t r[4];
        ASSERT_TRUE(sim.host_control(*hh, kGetReportType, kGetReportRequest, kGetReportValue, 0, r, 4, 100).ok());
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    const Counters c = sim.counters(dev);
    EXPECT_EQ(c.get_transfers, 2u * kEach); // no update lost between processes
    EXPECT_EQ(c.generated_samples, 2u * kEach);
    EXPECT_EQ(c.opens, 2u);
    EXPECT_EQ(c.open_handles(), 1);
    EXPECT_DOUBLE_EQ(sim.channel_config(dev, 3).wave_a.offset, -1.25);
    sim.host_close(*hh);
    EXPECT_FALSE(sim.device(other).attached);
    sim.set_attached(other, true);
    const auto h2 = sim.host_open(other);
    ASSERT_TRUE(h2);
    std::uint8_t r[4];
    ASSERT_TRUE(sim.host_control(*h2, kGetReportType, kGetReportRequest, kGetReportValue, 0, r, 4, 100).ok());
    EXPECT_EQ(Bytes(r, r + 4), (Bytes{0xA0, 0xB0, 0xC0, 0xD0}));
    sim.host_close(*h2);
}

} // namespace
