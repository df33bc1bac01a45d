// The device's behaviour on a state of the test's own, without a state file,
// and the state file's making when it cannot be made.
#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <optional>
#include <stdexcept>

#include "device.h"
#include "tempdir.h"

namespace {

using namespace vx7sim;
using namespace vx7sim::detail;

struct OwnState : ::testing::Test {
    std::unique_ptr<State> st = std::make_unique<State>();
    DeviceSlot &s = st->devices[0];
    void SetUp() override { init_device(*st, 0, DeviceSpec::vx7()); }
};

TEST(Outcome, OfEachFaultAndCircumstance)
{
    const std::optional<Fault> none;
    const Fault fail = Fault::fail(TransferKind::Get);
    const Fault short3 = Fault::short_transfer(TransferKind::Get, 3);
    const Fault delay = Fault::delay(TransferKind::Get, 5);
    struct Case {
        bool live, timed_out;
        std::optional<Fault> fault;
        bool short_allowed;
        Outcome expected;
    } cases[] = {
        {true, false, none, true, Outcome::Accepted},
        {true, false, delay, true, Outcome::Accepted}, // delayed, within the time-out
        {true, true, delay, true, Outcome::TimedOut},
        {true, false, fail, true, Outcome::Failed},
        {true, false, short3, true, Outcome::Short},
        {true, false, short3, false, Outcome::Failed}, // feature reports are never short
        {false, false, none, true, Outcome::Detached},
        {false, true, delay, true, Outcome::Detached}, // unplugged while delayed
    };
    for (const Case &c : cases)
        EXPECT_EQ(outcome_of(c.live, c.timed_out, c.fault, c.short_allowed), c.expected)
            << "live " << c.live << " timed out " << c.timed_out << " short allowed " << c.short_allowed;
}

TEST_F(OwnState, RepliesComeFromQueueIdleOrGeneratorInThatOrder)
{
    ReplySource source{};
    set_reply(s.idle, {0x84, 0x80, 0x00, 0x00});
    s.idle_set = 1;
    set_reply(s.queue[0], {0x81, 1, 2, 3});
    s.queue_count = 1;
    EXPECT_EQ(next_reply(s, source).bytes[0], 0x81);
    EXPECT_EQ(source, ReplySource::Queued);
    EXPECT_EQ(next_reply(s, source).bytes[0], 0x84);
    EXPECT_EQ(source, ReplySource::Idle);
    s.idle_set = 0;
    EXPECT_EQ(next_reply(s, source).bytes[0], 0x80); // channel 0, range 0
    EXPECT_EQ(source, ReplySource::Generated);
    // Range code 5 for channel 1, applied: its samples carry exponent 5.
    execute(s, {static_cast<std::uint8_t>(CommandCode::Range), 0x02, 0, 5});
    execute(s, {static_cast<std::uint8_t>(CommandCode::Apply), 0x02, 0, 0});
    EXPECT_EQ(next_reply(s, source).bytes[0], 0x80 | 5 << 2 | 1);
    EXPECT_EQ(s.counters.queued_replies, 1u);
    EXPECT_EQ(s.counters.idle_replies, 1u);
    EXPECT_EQ(s.counters.generated_samples, 2u);
}

TEST_F(OwnState, SampleLogTakesSampleReportsOnly)
{
    const std::uint8_t sample[] = {0x9E, 0x12, 0x34, 0x56};
    const std::uint8_t command[] = {0x07, 0x0F, 0x00, 0x00};
    log_sample(s, command, ReplySource::Queued, 1);
    log_sample(s, sample, ReplySource::Queued, 2);
    const SampleLog log = read_samples(s, 0);
    ASSERT_EQ(log.samples.size(), 1u);
    EXPECT_EQ(log.samples[0].seq, 1u);
    EXPECT_EQ(log.samples[0].channel, 2);
    EXPECT_EQ(log.samples[0].exponent, 7);
    EXPECT_EQ(log.samples[0].raw, 0x123456u);
    EXPECT_EQ(log.samples[0].time_ns, 2);
    EXPECT_EQ(log.samples[0].generation, s.generation);
}

TEST(StateFileMaking, FailureLeavesNothingBehind)
{
    vx7test::TempDir dir;
    EXPECT_THROW(Sim::create(dir.file("missing/state")), std::runtime_error);
    // A directory in the way: the new file cannot be renamed over it.
    std::filesystem::create_directory(dir.file("state"));
    EXPECT_THROW(Sim::create(dir.file("state")), std::runtime_error);
    std::size_t entries = 0;
    for ([[maybe_unused]] const auto &e : std::filesystem::directory_iterator(dir.path()))
        ++entries;
    EXPECT_EQ(entries, 1u); // the directory alone, no half-made file beside it
}

} // namespace
