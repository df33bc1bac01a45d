// The Windows acquisition driver: the record text (three-digit exponent,
// 32-bit elapsed time), and vx7_driver_win.exe itself run against the
// simulated device: channel files, the -50 exit with its log line, stops by
// SIGINT and SIGTERM with blanking, failed reads, unplug and replug, and a
// device held by another program.
#include <gtest/gtest.h>

#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

#include "device_files.h"
#include "driver_platform.h"
#include "report.h"
#include "vx7/memfile.h"
#include "vx7record/record.h"
#include "wintest.h"

namespace {

using namespace vx7test::win;
using vx7sim::Sim;

// ---- the record text --------------------------------------------------------

struct RecordCase {
    std::vector<uint8_t> report;
    int channel;
    const char *text; // the record with elapsed 4294967295
};

const RecordCase kRecords[] = {
    {{0x80, 0xFF, 0xFF, 0xFF}, 0, "2.50000000000e+000\t4294967295\t"},
    {{0x80, 0x00, 0x00, 0x00}, 0, "-2.50000029802e+000\t4294967295\t"},
    {{0x80, 0x80, 0x00, 0x00}, 0, "0.00000000000e+000\t4294967295\t"},
    {{0x80, 0x80, 0x00, 0x01}, 0, "2.98023259404e-007\t4294967295\t"},
    {{0x9D, 0xFF, 0xFF, 0xFF}, 1, "1.95312500000e-002\t4294967295\t"},
    {{0x8E, 0x40, 0x00, 0x00}, 2, "-1.56250018626e-001\t4294967295\t"},
};

class RecordText : public ::testing::TestWithParam<RecordCase> {};

TEST_P(RecordText, ExponentHasThreeDigitsAndElapsedIs32Bits)
{
    const RecordCase &c = GetParam();
    vx7::driver::Sample s{};
    ASSERT_TRUE(vx7::driver::decode_sample(std::span<const uint8_t, 4>(c.report.data(), 4), s));
    EXPECT_EQ(s.channel, c.channel);
    const auto t = vx7::driver_platform::format(s.volts, 4294967295ul);
    EXPECT_EQ(std::string(t.bytes, t.length), c.text);
    EXPECT_LE(t.length, 31u) << "19 for a negative value, a tab, 10 digits, a tab";
}

INSTANTIATE_TEST_SUITE_P(SpecReports, RecordText, ::testing::ValuesIn(kRecords));

TEST(ElapsedTime, RunsModulo2To32AcrossAWrapOfTheClock)
{
    namespace p = vx7::driver_platform;
    static_assert(sizeof(p::time_ms_t) == 4, "the clock is 32 bits wide");
    struct {
        p::time_ms_t start, now;
        unsigned long elapsed;
    } cases[] = {
        {1000, 1000, 0},
        {1000, 4000, 3000},
        {0xFFFFFF00u, 0x00000100u, 0x200},                             // the clock wrapped in between
        {0x10u, 0x10u + 0xFFFFFFFFu, 0xFFFFFFFFul},                    // the largest field
        {0x10u, static_cast<p::time_ms_t>(0x10u + 0x100000000ull), 0}, // 2^32 ms later: from 0 again
    };
    for (const auto &c : cases)
        EXPECT_EQ(p::elapsed_ms(c.now, c.start), c.elapsed) << c.start << " -> " << c.now;
}

// ---- the driver program -------------------------------------------------------

const std::string kDriverDir = "C:\\vx7";
const std::string kDriver = kDriverDir + "\\vx7_driver_win.exe";
const std::string kLog = "C:\\t\\.log\\vx7_driver_win.exe.log";
const std::string kChannelDir = "C:\\dev\\vx7";

std::string channel_file(int i)
{
    return kChannelDir + "\\adc" + std::to_string(i + 1) + ".adc";
}

std::string own_dir()
{
    char self[MAX_PATH] = {};
    ::GetModuleFileNameA(nullptr, self, sizeof self);
    std::string s(self);
    return s.substr(0, s.find_last_of('\\'));
}

// The deliverable's program with the stand-ins beside it, in a folder of the
// test's own C: drive.
void install_driver()
{
    make_dirs(kDriverDir);
    ASSERT_TRUE(::CopyFileA(from_host(VX7_DRIVER_EXE).c_str(), kDriver.c_str(), FALSE)) << ::GetLastError();
    for (const char *dll : {"hid.dll", "setupapi.dll"})
        ASSERT_TRUE(::CopyFileA((own_dir() + "\\" + dll).c_str(), (kDriverDir + "\\" + dll).c_str(), FALSE));
}

class Driver {
public:
    explicit Driver(const std::string &args = "")
    {
        std::string cmd = "\"" + kDriver + "\" " + args;
        STARTUPINFOA si{};
        si.cb = sizeof si;
        started_ = ::CreateProcessA(kDriver.c_str(), cmd.data(), nullptr, nullptr, FALSE, 0, nullptr,
                                    kDriverDir.c_str(), &si, &pi_) != 0;
    }
    ~Driver()
    {
        if (started_) {
            if (::WaitForSingleObject(pi_.hProcess, 0) == WAIT_TIMEOUT)
                ::TerminateProcess(pi_.hProcess, 99);
            ::CloseHandle(pi_.hThread);
            ::CloseHandle(pi_.hProcess);
        }
    }
    Driver(const Driver &) = delete;
    Driver &operator=(const Driver &) = delete;

    bool started() const { return started_; }
    bool running() const { return started_ && ::WaitForSingleObject(pi_.hProcess, 0) == WAIT_TIMEOUT; }
    // The exit status, or 12345 when the program did not end in time.
    int wait(DWORD ms = 20000) const
    {
        if (!started_ || ::WaitForSingleObject(pi_.hProcess, ms) != WAIT_OBJECT_0)
            return 12345;
        DWORD code = 0;
        ::GetExitCodeProcess(pi_.hProcess, &code);
        return static_cast<int>(code);
    }

private:
    bool started_ = false;
    PROCESS_INFORMATION pi_{};
};

// Environment of one driver run: TEMP, and how the hid.dll stand-in stops it.
void driver_env(const char *stop_after, const char *stop_file, const char *signal)
{
    make_dirs("C:\\t");
    set_env("TEMP", "C:\\t");
    set_env("VX7SIM_STOP_SIGNAL", signal);
    if (stop_after != nullptr)
        set_env("VX7SIM_STOP_AFTER", stop_after);
    else
        unset_env("VX7SIM_STOP_AFTER");
    if (stop_file != nullptr)
        set_env("VX7SIM_STOP_FILE", stop_file);
    else
        unset_env("VX7SIM_STOP_FILE");
}

const std::string kSpaces(100, ' ');

// A record as a reader takes it: value text, elapsed milliseconds.
struct Parsed {
    std::string value;
    unsigned long elapsed = 0;
    size_t length = 0; // characters before the NUL
};

Parsed parse(const std::string &file)
{
    Parsed p;
    const size_t nul = file.find('\0');
    const size_t t1 = file.find('\t');
    const size_t t2 = t1 == std::string::npos ? t1 : file.find('\t', t1 + 1);
    if (nul == std::string::npos || t2 == std::string::npos || t2 + 1 != nul)
        return p;
    p.value = file.substr(0, t1);
    p.elapsed = std::stoul(file.substr(t1 + 1, t2 - t1 - 1));
    p.length = nul;
    return p;
}

class DriverRun : public ::testing::Test {
protected:
    void SetUp() override
    {
        install_driver();
        sim_.emplace(fresh_machine());
        ::DeleteFileA(kLog.c_str());
        for (int i = 0; i < 4; ++i)
            ::DeleteFileA(channel_file(i).c_str());
        ::RemoveDirectoryA(channel_file(2).c_str());
        ::RemoveDirectoryA(kChannelDir.c_str());
    }
    Sim &sim() { return *sim_; }
    std::optional<Sim> sim_;
};

TEST_F(DriverRun, MissingChannelFolderExitsWithMinus50AndOneLogLine)
{
    sim().add_vx7();
    driver_env("1", nullptr, "TERM");
    make_dirs("C:\\t\\.log");
    write_file(kLog, "earlier line\n");
    Driver d;
    ASSERT_TRUE(d.started());
    EXPECT_EQ(d.wait(), -50);
    EXPECT_EQ(read_file(kLog), "earlier line\nError 1 create file C:/dev/vx7/adc1.adc\r\n")
        << "appended in text mode (CR LF), with the value-file result code";
    EXPECT_FALSE(exists(channel_file(0)));
    EXPECT_EQ(sim().counters(0).string_reads, 0u) << "no device search before the files exist";
}

TEST_F(DriverRun, ThirdChannelFileFailingStopsTheStart)
{
    sim().add_vx7();
    driver_env("1", nullptr, "TERM");
    make_dirs(channel_file(2)); // a folder where adc3.adc should be
    Driver d("stop");
    ASSERT_TRUE(d.started());
    EXPECT_EQ(d.wait(), -50);
    EXPECT_EQ(read_file(kLog), "Error 1 create file C:/dev/vx7/adc3.adc\r\n");
    EXPECT_EQ(read_file(channel_file(0)), kSpaces);
    EXPECT_EQ(read_file(channel_file(1)), kSpaces);
    EXPECT_FALSE(exists(channel_file(3))) << "files after the failed one are not tried";
    EXPECT_TRUE(::DeleteFileA(channel_file(0).c_str())) << "closed at exit";
}

TEST_F(DriverRun, LogLineIsLostWhenTheLogCannotBeOpened)
{
    sim().add_vx7();
    driver_env("1", nullptr, "TERM");
    set_env("TEMP", "C:\\no\\such\\temp"); // its .log folder cannot be made
    Driver d;
    EXPECT_EQ(d.wait(), -50);
    EXPECT_FALSE(exists("C:\\no"));
}

TEST_F(DriverRun, SamplesBecomeRecordsAndStopBlanksEveryFile)
{
    const int dev = sim().add_vx7();
    make_dirs(kChannelDir);
    write_file(channel_file(0), std::string(300, 'x')); // longer than a channel file
    std::vector<std::vector<uint8_t>> reports = {
        {0x80, 0x00, 0x00, 0x00}, // adc1 -2.50000029802e+000
        {0x9D, 0xFF, 0xFF, 0xFF}, // adc2 1.95312500000e-002
        {0xA3, 0x11, 0x22, 0x33}, // not a sample (marker 101)
        {0x7F, 0xFF, 0xFF, 0xFF}, // not a sample (marker 011)
        {0x8E, 0x40, 0x00, 0x00}, // adc3 -1.56250018626e-001
        {0x80, 0xFF, 0xFF, 0xFF}, // adc1 2.50000000000e+000, shorter than the record before
    };
    const size_t fillers = 50; // non-samples that keep the driver busy while we look
    for (size_t i = 0; i < fillers; ++i)
        reports.push_back({0xA3, 0, 0, 0});
    sim().queue_reports(dev, reports);
    // The third read fails: the device is dropped and searched for again.
    sim().inject_fault(dev, vx7sim::Fault::fail(vx7sim::TransferKind::Get).from_nth(3));

    const std::string stop = "C:\\t\\stop";
    driver_env(nullptr, stop.c_str(), "INT");
    Driver d;
    ASSERT_TRUE(d.started());
    ASSERT_TRUE(Sim::wait_until([&] { return sim().queued(dev) <= fillers - 5; }, 20000)) << "driver reads nothing";
    std::string adc[4];
    for (int i = 0; i < 4; ++i)
        adc[i] = read_file(channel_file(i));

    const Parsed a1 = parse(adc[0].substr(0, 100)), a2 = parse(adc[1]), a3 = parse(adc[2]);
    EXPECT_EQ(a1.value, "2.50000000000e+000");
    EXPECT_EQ(a2.value, "1.95312500000e-002");
    EXPECT_EQ(a3.value, "-1.56250018626e-001");
    EXPECT_EQ(adc[3], kSpaces) << "no sample of channel 3; the non-samples changed nothing";
    EXPECT_LE(a2.elapsed, a3.elapsed);
    EXPECT_LE(a3.elapsed, a1.elapsed);
    EXPECT_LT(a1.elapsed, 60000u);
    // Behind the new record's NUL: what is left of the longer record before it
    // (digits, a tab, its NUL), then the spaces of the fill.
    ASSERT_EQ(adc[0].size(), 300u);
    const std::string behind = adc[0].substr(a1.length + 1, 100 - a1.length - 1);
    EXPECT_EQ(behind.find_first_not_of("0123456789\t"),
              behind.find('\0') == std::string::npos ? behind.find(' ') : behind.find('\0'));
    EXPECT_EQ(behind.substr(31 - a1.length), std::string(100 - 32, ' ')) << "spaces from byte 32 on";
    EXPECT_EQ(adc[0].substr(100), std::string(200, 'x')) << "bytes past 100 are not touched";
    EXPECT_EQ(adc[1].substr(a2.length), std::string(1, '\0') + std::string(99 - a2.length, ' '));

    write_file(stop, "");
    EXPECT_EQ(d.wait(), 0);
    for (int i = 0; i < 4; ++i)
        EXPECT_EQ(read_file(channel_file(i)).substr(0, 100), kSpaces) << "adc" << i + 1 << " blanked at stop";
    EXPECT_EQ(read_file(channel_file(0)).substr(100), std::string(200, 'x'));
    EXPECT_EQ(sim().counters(dev).string_reads, 4u) << "two searches: at start and after the failed read";
    EXPECT_EQ(sim().protocol_error_count(), 0u) << "every request framed as a 5-byte feature report";
    EXPECT_FALSE(exists(kLog));
}

struct StopCase {
    const char *args;
    const char *signal;
};

class DriverStop : public DriverRun, public ::testing::WithParamInterface<StopCase> {};

// Any command line starts the driver; SIGINT or SIGTERM raised during the
// fifth read ends the loop at that cycle's stop test: exactly five reads.
TEST_P(DriverStop, SignalEndsTheLoopAfterTheCurrentRead)
{
    const int dev = sim().add_vx7();
    make_dirs(kChannelDir);
    driver_env("5", nullptr, GetParam().signal);
    Driver d(GetParam().args);
    EXPECT_EQ(d.wait(), 0);
    EXPECT_EQ(sim().counters(dev).get_transfers, 5u);
    for (int i = 0; i < 4; ++i)
        EXPECT_EQ(read_file(channel_file(i)), kSpaces);
}

INSTANTIATE_TEST_SUITE_P(CommandLines, DriverStop,
                         ::testing::Values(StopCase{"", "TERM"}, StopCase{"stop", "INT"}, StopCase{"restart", "TERM"}));

TEST_F(DriverRun, UnplugHoldAndReplugAreFollowedEveryCycle)
{
    const int dev = sim().add_vx7();
    make_dirs(kChannelDir);
    const std::string stop = "C:\\t\\stop2";
    driver_env(nullptr, stop.c_str(), "TERM");
    Driver d;
    ASSERT_TRUE(d.started());
    auto reads = [&] { return sim().counters(dev).get_transfers; };
    ASSERT_TRUE(Sim::wait_until([&] { return reads() >= 8; }, 20000));

    // Unplugged: no more reads; the files keep their last records.
    sim().set_attached(dev, false);
    ASSERT_TRUE(Sim::wait_until(
        [&] { return !exists(vx7sim::win::device_file(sim().device(dev).interface_path, sim().path())); }, 5000))
        << "the driver's next search removes the unplugged device";
    const auto before = reads();
    std::string kept[4];
    for (int i = 0; i < 4; ++i)
        kept[i] = read_file(channel_file(i));
    ::Sleep(300);
    EXPECT_EQ(reads(), before);
    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(read_file(channel_file(i)), kept[i]);
        EXPECT_NE(kept[i], kSpaces) << "adc" << i + 1 << " had a record before the unplug";
    }
    EXPECT_TRUE(d.running());

    // Plugged back in: found again within a few cycles.
    sim().set_attached(dev, true);
    ASSERT_TRUE(Sim::wait_until([&] { return reads() >= before + 8; }, 5000));
    EXPECT_GT(parse(read_file(channel_file(0))).elapsed, parse(kept[0]).elapsed);

    // Held open by another program: the connection test fails, nothing is read.
    {
        ExclusiveHold other(vx7sim::win::device_file(sim().device(dev).interface_path, sim().path()));
        ASSERT_TRUE(other.held());
        const auto held_at = reads();
        ::Sleep(300);
        EXPECT_EQ(reads(), held_at);
    }
    const auto released_at = reads();
    ASSERT_TRUE(Sim::wait_until([&] { return reads() >= released_at + 5; }, 5000));

    write_file(stop, "");
    EXPECT_EQ(d.wait(), 0);
    for (int i = 0; i < 4; ++i)
        EXPECT_EQ(read_file(channel_file(i)), kSpaces);
}

} // namespace
