// The acquisition driver end to end: the installed programs read the
// simulated device inside a sandbox; the tests look at the channel files.
#include "driver_sandbox.h"

#include "vx7sim/sim.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <optional>
#include <set>
#include <string>
#include <vector>

using namespace vx7test;
namespace fs = std::filesystem;
using Bytes = std::vector<std::uint8_t>;

namespace {

// A report that carries no sample; it keeps the device's queue from running
// dry, so that the device's own sample generator never writes in between.
const Bytes kNoSample{0x00, 0x00, 0x00, 0x00};
constexpr int kPadding = 28; // 280 ms of cycles; twice this and a few replies fit the queue

struct Record {
    std::string value; // text before the first tab
    unsigned long long elapsed = 0;
    std::size_t end = 0; // index of the NUL
};

// The record at byte 0 of a channel file, if it has the record's form.
std::optional<Record> parse_record(const std::string &file)
{
    if (file.size() != 100)
        return std::nullopt;
    const auto tab1 = file.find('\t');
    if (tab1 == std::string::npos)
        return std::nullopt;
    const auto tab2 = file.find('\t', tab1 + 1);
    if (tab2 == std::string::npos || tab2 + 1 >= file.size() || file[tab2 + 1] != '\0' || tab2 == tab1 + 1)
        return std::nullopt;
    Record r;
    r.value = file.substr(0, tab1);
    const std::string digits = file.substr(tab1 + 1, tab2 - tab1 - 1);
    if (digits.find_first_not_of("0123456789") != std::string::npos || digits.size() > 20)
        return std::nullopt;
    r.elapsed = std::stoull(digits);
    r.end = tab2 + 1;
    return r;
}

// What a channel file must hold after a record was written over `before`:
// the record and its NUL, then whatever `before` had from there on.
std::string overlay(const std::string &before, const Record &r)
{
    std::string s = before;
    const std::string text = r.value + "\t" + std::to_string(r.elapsed) + "\t" + std::string(1, '\0');
    s.replace(0, text.size(), text);
    return s;
}

// A channel file with the driver's sequence word in its bytes 88-95 after
// `records` records written on a fresh file: the counter 2 x records in the
// low half, the magic B7A7C3E5 in the high half, in the machine's (little-
// endian) order.
std::string with_sequence(std::string file, std::uint32_t records)
{
    const std::uint32_t counter = 2 * records;
    for (int i = 0; i < 4; ++i)
        file[static_cast<std::size_t>(88 + i)] = static_cast<char>((counter >> (8 * i)) & 0xFF);
    file.replace(92, 4, "\xE5\xC3\xA7\xB7");
    return file;
}

std::string adc_name(int channel)
{
    return "/adc" + std::to_string(channel + 1) + ".adc";
}

class DriverTest : public ::testing::Test {
protected:
    explicit DriverTest(SandboxOptions o = driver_options())
        : sb(std::move(o)), sim(vx7sim::Sim::create(sb.host(kState).string()))
    {
        dev = sim.add_vx7();
        // Should the queue ever run dry, generated samples read 1.25 V: a
        // value no test expects.
        for (int c = 0; c < 4; ++c)
            sim.set_waveform(dev, c, vx7sim::Waveform::constant(1.25));
        sim.queue_reports(dev, std::vector<Bytes>(kPadding, kNoSample));
    }

    std::string adc(int channel) const { return sb.read(adc_name(channel)); }

    // Queues replies for the driver, followed by padding.
    void send(std::vector<Bytes> replies)
    {
        replies.insert(replies.end(), kPadding, kNoSample);
        sim.queue_reports(dev, replies);
    }

    // Waits until a channel file holds a record with this value.
    std::optional<Record> wait_value(int channel, const std::string &value, std::chrono::milliseconds timeout = 5s)
    {
        std::optional<Record> r;
        Sandbox::wait_until(
            [&] {
                r = parse_record(adc(channel));
                return r && r->value == value;
            },
            timeout);
        if (r && r->value != value)
            r.reset();
        return r;
    }

    int start(const Program &p)
    {
        const int pid = start_daemon(sb, p);
        EXPECT_GT(pid, 0) << "daemon did not start";
        return pid;
    }

    void stop(const Program &p, int pid)
    {
        EXPECT_EQ(sb.run(bin(p) + " stop").status, 1);
        EXPECT_EQ(sb.wait_exit(pid), 0);
    }

    Sandbox sb;
    vx7sim::Sim sim;
    int dev = -1;
};

struct Example {
    Bytes report;
    int channel;
    const char *value;
};

// In this order the channel file adc1.adc also sees a record shorter than
// the one before it, which leaves the older record's end behind its NUL.
const std::vector<Example> kExamples{
    {{0x80, 0xFF, 0xFF, 0xFF}, 0, "2.50000000000e+00"},  {{0x80, 0x00, 0x00, 0x00}, 0, "-2.50000029802e+00"},
    {{0x80, 0x80, 0x00, 0x00}, 0, "0.00000000000e+00"},  {{0x80, 0x80, 0x00, 0x01}, 0, "2.98023259404e-07"},
    {{0x9D, 0xFF, 0xFF, 0xFF}, 1, "1.95312500000e-02"},  {{0x8E, 0x40, 0x00, 0x00}, 2, "-1.56250018626e-01"},
    {{0x83, 0x7F, 0xFF, 0xFF}, 3, "-2.98023259404e-07"}, {{0x9F, 0x00, 0x00, 0x00}, 3, "-1.95312523283e-02"},
    {{0x81, 0xCC, 0xCC, 0xCD}, 1, "1.50000023842e+00"},
};

class Records : public DriverTest, public ::testing::WithParamInterface<Program> {};

} // namespace

// Each report example gives exactly its record in its channel's file, the
// other files untouched; the elapsed field counts from the start; at stop
// every file is blanked.
TEST_P(Records, ReportExamples)
{
    const int pid = start(GetParam());
    ASSERT_GT(pid, 0);
    std::vector<std::string> files(4, kBlank);
    std::vector<std::uint32_t> records(4, 0);
    unsigned long long last_elapsed = 0;
    for (const Example &e : kExamples) {
        SCOPED_TRACE(e.value);
        send({e.report});
        const auto r = wait_value(e.channel, e.value);
        ASSERT_TRUE(r) << "record never came; file holds [" << adc(e.channel) << "]";
        const std::uint32_t n = ++records[static_cast<std::size_t>(e.channel)];
        EXPECT_EQ(adc(e.channel), with_sequence(overlay(files[static_cast<std::size_t>(e.channel)], *r), n));
        EXPECT_GE(r->elapsed, last_elapsed);
        EXPECT_LT(r->elapsed, 60000u);
        last_elapsed = r->elapsed;
        files[static_cast<std::size_t>(e.channel)] = adc(e.channel);
        for (int c = 0; c < 4; ++c)
            EXPECT_EQ(adc(c), files[static_cast<std::size_t>(c)]) << "channel " << c;
    }
    // The shorter record on adc1.adc ("0.0…" after "-2.5…") left the longer
    // one's last characters behind its NUL.
    const auto c = sim.counters(dev);
    EXPECT_EQ(c.opens, 1u);
    EXPECT_EQ(c.closes, 0u);
    EXPECT_EQ(c.generated_samples, 0u) << "the test's padding ran dry";

    stop(GetParam(), pid);
    for (int ch = 0; ch < 4; ++ch)
        EXPECT_EQ(adc(ch), kBlank) << "channel " << ch;
}

INSTANTIATE_TEST_SUITE_P(Builds, Records, ::testing::Values(kDriver, kQuiet),
                         [](const ::testing::TestParamInfo<Program> &tp) { return std::string(tp.param.name); });

// The worked example of a shorter record: after "-1…\t1234\t" the record
// "1…\t1235\t" leaves the old record's NUL behind its own.
TEST(RecordOverlay, ShorterRecordLeavesOldTail)
{
    std::string file = kBlank;
    file = overlay(file, Record{"-1.00000000000e+00", 1234, 0});
    file = overlay(file, Record{"1.00000000000e+00", 1235, 0});
    EXPECT_EQ(file, std::string("1.00000000000e+00\t1235\t") + '\0' + '\0' + std::string(100 - 25, ' '));
}

// Reports whose marker bits are not 100 change no file and keep the device
// open.
TEST_F(DriverTest, ReportsWithoutSample)
{
    const int pid = start(kDriver);
    ASSERT_GT(pid, 0);
    send({{0xA0, 0xFF, 0xFF, 0xFF},
          {0x7F, 0xFF, 0xFF, 0xFF},
          {0xE1, 0x12, 0x34, 0x56},
          {0xC2, 0, 0, 0},
          {0x63, 0x80, 0, 0},
          {0x00, 0, 0, 0},
          {0x81, 0xFF, 0xFF, 0xFF}});
    ASSERT_TRUE(wait_value(1, "2.50000000000e+00"));
    for (int c : {0, 2, 3})
        EXPECT_EQ(adc(c), kBlank) << "channel " << c;
    const auto counters = sim.counters(dev);
    EXPECT_EQ(counters.opens, 1u);
    EXPECT_EQ(counters.closes, 0u);
    stop(kDriver, pid);
}

// A read that fails or brings fewer than 4 bytes closes the device; the next
// cycle opens it again and the records go on. The files keep their records
// meanwhile, and a short reply that looks like a sample writes nothing.
TEST_F(DriverTest, FailedAndShortReads)
{
    const int pid = start(kDriver);
    ASSERT_GT(pid, 0);
    send({{0x80, 0xFF, 0xFF, 0xFF}});
    ASSERT_TRUE(wait_value(0, "2.50000000000e+00"));
    const std::string kept = adc(0);

    struct Case {
        const char *what;
        std::function<void()> inject;
    };
    const std::vector<Case> cases{
        {"stalled read", [&] { sim.inject_fault(dev, vx7sim::Fault::fail(vx7sim::TransferKind::Get)); }},
        {"3 of 4 bytes", [&] { sim.inject_fault(dev, vx7sim::Fault::short_transfer(vx7sim::TransferKind::Get, 3)); }},
        {"0 bytes", [&] { sim.inject_fault(dev, vx7sim::Fault::short_transfer(vx7sim::TransferKind::Get, 0)); }},
        {"3-byte sample-like reply",
         [&] {
             sim.queue_reports(dev, {{0x80, 0x00, 0x00}});
         }},
        {"empty reply", [&] { sim.queue_reports(dev, {Bytes{}}); }},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        sim.clear_queue(dev);
        const auto before = sim.counters(dev);
        c.inject();
        send({});
        ASSERT_TRUE(Sandbox::wait_until([&] {
            const auto now = sim.counters(dev);
            return now.closes == before.closes + 1 && now.opens == before.opens + 1;
        })) << "device was not closed and opened again";
        EXPECT_EQ(sim.armed_faults(dev), 0);
        EXPECT_EQ(adc(0), kept);
        for (int ch = 1; ch < 4; ++ch)
            EXPECT_EQ(adc(ch), kBlank);
    }
    // Records resume after the last reopen.
    send({{0x82, 0x80, 0x00, 0x00}});
    EXPECT_TRUE(wait_value(2, "0.00000000000e+00"));
    EXPECT_EQ(sim.counters(dev).open_handles(), 1);
    stop(kDriver, pid);
    EXPECT_EQ(sim.counters(dev).open_handles(), 0) << "device not closed at exit";
}

// The cycle after a failed read only opens the device: with every read
// failing, each failure takes two cycles (open, then read), each at least
// one 10 ms sleep long. A driver that read in the same cycle as it opened
// would fail twice as often.
TEST_F(DriverTest, ReopeningCycleReadsNothing)
{
    const int pid = start(kDriver);
    ASSERT_GT(pid, 0);
    sim.inject_fault(dev, vx7sim::Fault::fail(vx7sim::TransferKind::Get, 1000000));
    ASSERT_TRUE(Sandbox::wait_until([&] { return sim.counters(dev).failed_transfers >= 2; }));
    const auto before = sim.counters(dev);
    const auto t0 = std::chrono::steady_clock::now();
    std::this_thread::sleep_for(400ms);
    const auto after = sim.counters(dev);
    const auto elapsed_ms =
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - t0).count();
    const auto failures = after.failed_transfers - before.failed_transfers;
    EXPECT_GE(failures, 3u) << "the driver stopped reading";
    // At most one failed read per cycle of 10 ms (the reopening cycles read
    // nothing, which the counts of opens below pin down).
    EXPECT_LE(failures, static_cast<unsigned long long>(elapsed_ms / 10 + 2));
    // Each failed read is followed by one reopen (the two snapshots may fall
    // between the two).
    EXPECT_GE(after.opens - before.opens + 1, failures);
    EXPECT_LE(after.opens - before.opens, failures + 1);
    stop(kDriver, pid);
}

// Unplugged, the device's records stay as they were while the driver
// searches; plugged back in, it is opened again and records resume.
TEST_F(DriverTest, UnplugAndReplug)
{
    const int pid = start(kDriver);
    ASSERT_GT(pid, 0);
    send({{0x80, 0xFF, 0xFF, 0xFF}});
    ASSERT_TRUE(wait_value(0, "2.50000000000e+00"));
    const std::string kept = adc(0);
    const auto before = sim.counters(dev);

    sim.set_attached(dev, false);
    ASSERT_TRUE(Sandbox::wait_until([&] { return sim.counters(dev).closes == before.closes + 1; }));
    std::this_thread::sleep_for(100ms); // ten cycles of searching
    EXPECT_EQ(sim.counters(dev).opens, before.opens) << "opened a detached device";
    EXPECT_EQ(adc(0), kept);

    sim.clear_queue(dev);
    sim.set_attached(dev, true);
    send({{0x80, 0x00, 0x00, 0x00}});
    const auto r = wait_value(0, "-2.50000029802e+00");
    ASSERT_TRUE(r);
    EXPECT_EQ(adc(0), with_sequence(overlay(kept, *r), 2)) << "the second record on this file";
    EXPECT_EQ(sim.counters(dev).opens, before.opens + 1);
    stop(kDriver, pid);
}

// A channel file that cannot be created leaves its channel unwritten; the
// others work and are blanked at stop.
TEST_F(DriverTest, ChannelFileCannotBeCreated)
{
    fs::create_directory(sb.host("/adc2.adc"));
    const int pid = start(kDriver);
    ASSERT_GT(pid, 0);
    send({{0x80, 0xFF, 0xFF, 0xFF}, {0x81, 0xFF, 0xFF, 0xFF}, {0x82, 0xFF, 0xFF, 0xFF}, {0x83, 0xFF, 0xFF, 0xFF}});
    for (int c : {0, 2, 3})
        EXPECT_TRUE(wait_value(c, "2.50000000000e+00")) << "channel " << c;
    EXPECT_TRUE(fs::is_directory(sb.host("/adc2.adc")));
    stop(kDriver, pid);
    for (int c : {0, 2, 3})
        EXPECT_EQ(adc(c), kBlank) << "channel " << c;
    EXPECT_TRUE(fs::is_directory(sb.host("/adc2.adc")));
}

// A second driver that would write the same channel files, in the other
// build or through a path of another name (which its own lock file does not
// see), never writes them: it waits for the running one a while (a restart
// waits so for the old daemon's last cycle), then ends with status -50 and
// one line in its log (and on the quiet build's output) naming the running
// writer. The running driver goes on undisturbed; the second one's lock
// file goes with it.
TEST_F(DriverTest, ASecondWriterOfTheChannelFilesEndsWithoutWriting)
{
    const int pid = start(kDriver);
    ASSERT_GT(pid, 0);
    sb.symlink(bin(kDriver), "/other-name");
    struct Second {
        std::string command;
        std::string lock;
        std::string log;
    } const seconds[] = {
        {bin(kQuiet) + " start", lock_path(kQuiet), log_path(kQuiet)},
        {"/other-name", "/home/dev/.log/other-name.pid", "/home/dev/.log/other-name.log"},
    };
    const std::string line =
        "Can not write channel file ./adc1.adc: PID " + std::to_string(pid) + " (" + bin(kDriver) + ") writes it\n";
    unsigned char code = 0x10;
    for (const Second &second : seconds) {
        SCOPED_TRACE(second.command);
        const auto r = sb.run(second.command);
        ASSERT_EQ(r.status, 1) << r.out << r.err;
        int second_pid = 0;
        ASSERT_TRUE(Sandbox::wait_until([&] { return (second_pid = std::atoi(sb.read(second.lock).c_str())) > 0; }));
        // Meanwhile the running driver writes on, alone.
        const std::string value = code == 0x10 ? "1.56250000000e-01" : "3.12500000000e-01";
        send({{static_cast<std::uint8_t>(0x80 | code), 0xFF, 0xFF, 0xFF}});
        ASSERT_TRUE(wait_value(0, value));
        EXPECT_EQ(sb.wait_exit(second_pid, 15s), 206) << "the second driver's status";
        EXPECT_EQ(sb.read(second.log), line);
        EXPECT_FALSE(fs::exists(sb.host(second.lock)));
        EXPECT_TRUE(sb.alive(pid));
        EXPECT_EQ(lock_pid(sb, kDriver), pid);
        if (second.command.find(kQuiet.name) != std::string::npos) {
            EXPECT_EQ(sb.output(r.id), line);
        }
        code = 0x0C;
    }
    stop(kDriver, pid);
    for (int ch = 0; ch < 4; ++ch)
        EXPECT_EQ(adc(ch), kBlank) << "channel " << ch;
}

// What the transport prints while it cannot open the device: vx7_driver's
// daemon has closed its standard output, so nothing reaches the invoker or,
// through a reused descriptor, a channel file; vx7_driver_quiet's daemon
// still writes to the invoker's output.
TEST_F(DriverTest, TransportMessagesAfterDetaching)
{
    sim.set_open_fails(dev, true);
    for (const Program &p : {kDriver, kQuiet}) {
        SCOPED_TRACE(p.name);
        const auto before = sim.counters(dev).open_failures;
        const auto r = sb.run(bin(p));
        ASSERT_EQ(r.status, 1);
        ASSERT_TRUE(Sandbox::wait_until([&] { return sim.counters(dev).open_failures >= before + 5; }));
        const int pid = lock_pid(sb, p);
        ASSERT_GT(pid, 0);
        ASSERT_TRUE(wait_ready(sb, pid));
        const auto failures = sim.counters(dev).open_failures;
        ASSERT_TRUE(Sandbox::wait_until([&] { return sim.counters(dev).open_failures >= failures + 3; }));
        stop(p, pid);
        const std::string out = sb.output(r.id);
        if (p.keeps_stdout) {
            std::string expected;
            while (expected.size() < out.size())
                expected += "Can not open\n";
            EXPECT_EQ(out, expected);
            EXPECT_GE(out.size(), 3 * std::string("Can not open\n").size());
        } else {
            EXPECT_EQ(out, "1\n");
        }
        for (int c = 0; c < 4; ++c)
            EXPECT_EQ(adc(c), kBlank) << "channel " << c;
    }
}

// vx7_driver_quiet's daemon keeps the invoker's standard output, which may
// be a pipe whose reader has gone: its messages are lost, the daemon lives
// on and ends normally.
TEST_F(DriverTest, QuietDaemonOutlivesClosedPipe)
{
    sim.set_open_fails(dev, true);
    ASSERT_EQ(sb.run(bin(kQuiet) + " | true").status, 0);
    int pid = 0;
    ASSERT_TRUE(Sandbox::wait_until([&] { return (pid = lock_pid(sb, kQuiet)) > 0; }));
    ASSERT_TRUE(wait_ready(sb, pid));
    const auto failures = sim.counters(dev).open_failures;
    ASSERT_TRUE(Sandbox::wait_until([&] { return sim.counters(dev).open_failures >= failures + 3; }));
    stop(kQuiet, pid);
    EXPECT_FALSE(fs::exists(sb.host(lock_path(kQuiet))));
}

// Setting the wall clock back does not disturb the elapsed field.
class ClockSetBack : public DriverTest {
protected:
    static SandboxOptions options()
    {
        SandboxOptions o = driver_options();
        o.ro_binds.push_back(fs::path(VX7_CLOCK_BACK_SHIM).parent_path().string());
        return o;
    }
    ClockSetBack() : DriverTest(options()) {}
};

TEST_F(ClockSetBack, ElapsedStaysSmall)
{
    const std::string env = std::string("LD_PRELOAD=") + VX7_CLOCK_BACK_SHIM +
                            " ASAN_OPTIONS=${ASAN_OPTIONS:+$ASAN_OPTIONS:}verify_asan_link_order=0 ";
    ASSERT_EQ(sb.run(env + bin(kDriver)).status, 1);
    int pid = 0;
    ASSERT_TRUE(Sandbox::wait_until([&] { return (pid = lock_pid(sb, kDriver)) > 0; }));
    ASSERT_TRUE(wait_ready(sb, pid));
    std::this_thread::sleep_for(100ms); // well past the moment the clock goes back
    // The shim really is in the daemon.
    EXPECT_EQ(sb.run("grep -q clock_back /proc/" + std::to_string(pid) + "/maps").status, 0);
    send({{0x80, 0xFF, 0xFF, 0xFF}});
    const auto r = wait_value(0, "2.50000000000e+00");
    ASSERT_TRUE(r);
    EXPECT_GE(r->elapsed, 100u);
    EXPECT_LT(r->elapsed, 60000u) << "elapsed follows the wall clock";
    stop(kDriver, pid);
}

// The programs as installed need nothing at run time but libusb 0.1 and libc.
TEST(Installed, NeedOnlyLibusbAndLibc)
{
#ifdef VX7_SANITIZED
    GTEST_SKIP() << "sanitizer builds link the sanitizer runtimes";
#endif
    for (const Program &p : {kDriver, kQuiet}) {
        SCOPED_TRACE(p.name);
        const std::string cmd = "readelf -d " + bin(p);
        FILE *f = ::popen(cmd.c_str(), "r");
        ASSERT_NE(f, nullptr);
        std::set<std::string> needed;
        char line[512];
        while (std::fgets(line, sizeof line, f) != nullptr) {
            const std::string s = line;
            if (s.find("(NEEDED)") == std::string::npos)
                continue;
            const auto a = s.find('['), b = s.find(']');
            needed.insert(s.substr(a + 1, b - a - 1));
        }
        EXPECT_EQ(::pclose(f), 0);
        EXPECT_EQ(needed, (std::set<std::string>{"libusb-0.1.so.4", "libc.so.6"}));
    }
}
