// vx7_configure and vx7_reinit through the shipped libvx7.so against the
// simulated device (the stand-in libusb-0.1.so.4 comes first on
// LD_LIBRARY_PATH): the command reports byte for byte and in order, the range
// codes, the result codes with a failure injected at each command, and the
// device closed on every path. Also the help text and VX7_MAX_RANGE as the
// library exports them.
#include "vx7/vx7.h"

#include "tempdir.h"
#include "vx7sim/sim.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <dlfcn.h>
#include <filesystem>
#include <limits>
#include <sstream>
#include <string>
#include <vector>

using vx7sim::Fault;
using vx7sim::Outcome;
using vx7sim::Report;
using vx7sim::Sim;
using vx7sim::TransferKind;

// Every device search starts with usb_init. The test program defines it, so
// the library binds to this definition, which counts the calls and hands on
// to the (stand-in) libusb.
namespace {
int usb_init_calls = 0;
}
extern "C" void usb_init(void)
{
    ++usb_init_calls;
    using Fn = void (*)();
    static const auto next = reinterpret_cast<Fn>(::dlsym(RTLD_NEXT, "usb_init"));
    if (next != nullptr)
        next();
}

namespace {

std::string hex(const Report &r)
{
    std::ostringstream s;
    s << std::hex;
    for (std::size_t i = 0; i < r.size(); ++i)
        s << (i ? " " : "") << static_cast<int>(r[i]);
    return s.str();
}

std::vector<std::string> hex(const std::vector<Report> &reports)
{
    std::vector<std::string> out;
    for (const Report &r : reports)
        out.push_back(hex(r));
    return out;
}

// A simulated machine of the test's own, with the vx7 device attached.
class Device : public ::testing::Test {
protected:
    void SetUp() override
    {
        ::setenv(vx7sim::kStateEnv, dir.file("state").c_str(), 1);
        sim.emplace(Sim::create(dir.file("state")));
        dev = sim->add_vx7();
        usb_init_calls = 0;
    }
    void TearDown() override { ::unsetenv(vx7sim::kStateEnv); }

    // The reports the device received, in order.
    std::vector<Report> received() const
    {
        std::vector<Report> out;
        for (const auto &c : sim->commands(dev))
            out.push_back(c.data);
        return out;
    }

    // Every call leaves the device closed, and opened it at most once.
    void expect_closed(std::uint64_t opens) const
    {
        const auto c = sim->counters(dev);
        EXPECT_EQ(c.opens, opens);
        EXPECT_EQ(c.open_handles(), 0) << "device left open";
    }

    vx7test::TempDir dir;
    std::optional<Sim> sim;
    int dev = -1;
};

} // namespace

// The library must be talking to the simulator, not to the system's libusb.
TEST(StandIn, LibraryUsesTheSimulatedLibusb)
{
    Dl_info info{};
    void *sym = ::dlsym(RTLD_NEXT, "usb_init");
    ASSERT_NE(sym, nullptr);
    ASSERT_NE(::dladdr(sym, &info), 0);
    std::error_code ec;
    EXPECT_TRUE(std::filesystem::equivalent(info.dli_fname, VX7SIM_LIBUSB_FILE, ec))
        << info.dli_fname << ": run with LD_LIBRARY_PATH=" VX7SIM_LIBUSB_DIR;
}

struct SequenceCase {
    const char *name;
    std::uint8_t chan;
    std::uint16_t freq;
    float range;
    std::uint8_t calibrate;
    std::uint8_t subchannel;
    std::vector<Report> reports; // in sending order, every byte
};

class ConfigureSequence : public Device, public ::testing::WithParamInterface<SequenceCase> {};

TEST_P(ConfigureSequence, SendsTheseReportsInOrder)
{
    const SequenceCase &c = GetParam();
    EXPECT_EQ(vx7_configure(c.chan, c.freq, c.range, c.calibrate, c.subchannel), 0);
    EXPECT_EQ(hex(received()), hex(c.reports));
    for (const auto &cmd : sim->commands(dev)) {
        EXPECT_EQ(cmd.outcome, Outcome::Accepted);
        EXPECT_EQ(cmd.length, 4);
        EXPECT_EQ(cmd.value, 0x0300 | cmd.code()) << "report ID is the command code";
    }
    EXPECT_TRUE(sim->protocol_errors().empty());
    expect_closed(1);
}

// Byte 2 keeps the frequency's high byte and byte 3 the last value written
// within the call; all other bytes no command assigns are 0.
INSTANTIATE_TEST_SUITE_P(
    Examples, ConfigureSequence,
    ::testing::Values(
        SequenceCase{"nothing_to_change", 0, 0, 0.0f, 8, 4, {{7, 0x01, 0, 0}}},
        SequenceCase{"everything",
                     2,
                     1000,
                     2.5f,
                     1,
                     0,
                     {{3, 0x04, 0x03, 0xE8},
                      {4, 0x04, 0x03, 0},
                      {5, 0x04, 0x03, 0x10},
                      {6, 0x04, 0x03, 0x00},
                      {7, 0x04, 0x03, 0x00}}},
        SequenceCase{"freq_65535", 1, 65535, 0.0f, 255, 255, {{3, 0x02, 0xFF, 0xFF}, {7, 0x02, 0xFF, 0xFF}}},
        SequenceCase{"freq_256_then_range",
                     3,
                     256,
                     0.1f,
                     9,
                     200,
                     {{3, 0x08, 0x01, 0x00}, {4, 0x08, 0x01, 4}, {7, 0x08, 0x01, 4}}},
        SequenceCase{"freq_1_carries", 0, 1, 0.0f, 8, 3, {{3, 0x01, 0, 1}, {6, 0x01, 0, 3}, {7, 0x01, 0, 3}}},
        SequenceCase{"calibrate_7", 0, 0, 0.0f, 7, 4, {{5, 0x01, 0, 0x70}, {7, 0x01, 0, 0x70}}},
        SequenceCase{"calibrate_0_is_sent", 1, 0, 0.0f, 0, 4, {{5, 0x02, 0, 0x00}, {7, 0x02, 0, 0}}},
        SequenceCase{"calibrate_8_not_sent", 1, 0, 0.0f, 8, 2, {{6, 0x02, 0, 2}, {7, 0x02, 0, 2}}},
        SequenceCase{"subchannel_0_is_sent", 2, 0, 0.0f, 255, 0, {{6, 0x04, 0, 0}, {7, 0x04, 0, 0}}},
        SequenceCase{"subchannel_4_not_sent", 2, 0, 0.0f, 3, 4, {{5, 0x04, 0, 0x30}, {7, 0x04, 0, 0x30}}},
        SequenceCase{"range_then_calibration",
                     3,
                     0,
                     0.5f,
                     6,
                     1,
                     {{4, 0x08, 0, 2}, {5, 0x08, 0, 0x60}, {6, 0x08, 0, 1}, {7, 0x08, 0, 1}}},
        SequenceCase{"minus_zero_range_not_sent", 0, 0, -0.0f, 8, 4, {{7, 0x01, 0, 0}}}),
    [](const ::testing::TestParamInfo<SequenceCase> &p) { return std::string(p.param.name); });

struct RangeCase {
    const char *name;
    float range;
    int code;
};

class RangeCode : public Device, public ::testing::WithParamInterface<RangeCase> {};

TEST_P(RangeCode, RangeCommandCarriesCode)
{
    const RangeCase &c = GetParam();
    ASSERT_EQ(vx7_configure(1, 0, c.range, 8, 4), 0);
    const auto r = received();
    ASSERT_EQ(r.size(), 2u);
    EXPECT_EQ(hex(r[0]), hex(Report{4, 0x02, 0, static_cast<std::uint8_t>(c.code)}));
    EXPECT_EQ(hex(r[1]), hex(Report{7, 0x02, 0, static_cast<std::uint8_t>(c.code)}));
}

const float kInf = std::numeric_limits<float>::infinity();
const float kNaN = std::numeric_limits<float>::quiet_NaN();

// Code k for VX7_MAX_RANGE/2^(k+1) < range <= VX7_MAX_RANGE/2^k, tested on
// both sides of each boundary; then the values that are not positive numbers.
INSTANTIATE_TEST_SUITE_P(Table, RangeCode,
                         ::testing::Values(RangeCase{"above_full_scale", 100.0f, 0}, RangeCase{"float_max", FLT_MAX, 0},
                                           RangeCase{"full_scale", 2.5f, 0}, RangeCase{"r1_26", 1.26f, 0},
                                           RangeCase{"just_above_1_25", std::nextafter(1.25f, kInf), 0},
                                           RangeCase{"r1_25", 1.25f, 1}, RangeCase{"r1_0", 1.0f, 1},
                                           RangeCase{"just_above_0_625", std::nextafter(0.625f, kInf), 1},
                                           RangeCase{"r0_625", 0.625f, 2}, RangeCase{"r0_5", 0.5f, 2},
                                           RangeCase{"r0_3125", 0.3125f, 3},
                                           RangeCase{"just_above_0_15625", std::nextafter(0.15625f, kInf), 3},
                                           RangeCase{"r0_15625", 0.15625f, 4}, RangeCase{"r0_078125", 0.078125f, 5},
                                           RangeCase{"just_below_0_078125", std::nextafter(0.078125f, 0.0f), 5},
                                           RangeCase{"r0_0390625", 0.0390625f, 6},
                                           RangeCase{"just_above_0_01953125", std::nextafter(0.01953125f, kInf), 6},
                                           RangeCase{"r0_01953125", 0.01953125f, 7}, RangeCase{"r0_01", 0.01f, 7},
                                           RangeCase{"tiny", 1e-30f, 7},
                                           RangeCase{"quotient_overflows", std::numeric_limits<float>::denorm_min(), 7},
                                           RangeCase{"minus_one", -1.0f, 0}, RangeCase{"minus_tiny", -1e-30f, 0},
                                           RangeCase{"plus_infinity", kInf, 0}, RangeCase{"minus_infinity", -kInf, 0},
                                           RangeCase{"nan", kNaN, 7}, RangeCase{"minus_nan", -kNaN, 7}),
                         [](const ::testing::TestParamInfo<RangeCase> &p) { return std::string(p.param.name); });

struct FailureCase {
    const char *name;
    std::uint16_t freq;
    float range;
    std::uint8_t calibrate;
    std::uint8_t subchannel;
    int fail_at; // 1-based report that is not delivered whole
    Fault fault;
    int result;
};

class ConfigureFailure : public Device, public ::testing::WithParamInterface<FailureCase> {};

// The call ends at the first report not delivered whole, with that report's
// code; nothing after it is sent, and the device is closed.
TEST_P(ConfigureFailure, StopsAtTheFailedReport)
{
    const FailureCase &c = GetParam();
    sim->inject_fault(dev, c.fault.from_nth(static_cast<std::uint32_t>(c.fail_at)));
    EXPECT_EQ(vx7_configure(2, c.freq, c.range, c.calibrate, c.subchannel), c.result);
    const auto log = sim->commands(dev);
    ASSERT_EQ(log.size(), static_cast<std::size_t>(c.fail_at)) << "reports sent after the failure";
    for (int i = 0; i + 1 < c.fail_at; ++i)
        EXPECT_EQ(log[i].outcome, Outcome::Accepted);
    EXPECT_NE(log.back().outcome, Outcome::Accepted);
    EXPECT_EQ(log.back().code(), c.result) << "failed command and result code belong together";
    expect_closed(1);
}

const Fault kStall = Fault::fail(TransferKind::Set);
const Fault kShort3 = Fault::short_transfer(TransferKind::Set, 3);
const Fault kShort0 = Fault::short_transfer(TransferKind::Set, 0);

INSTANTIATE_TEST_SUITE_P(EachCommand, ConfigureFailure,
                         ::testing::Values(FailureCase{"frequency", 500, 1.0f, 2, 1, 1, kStall, 3},
                                           FailureCase{"range", 500, 1.0f, 2, 1, 2, kStall, 4},
                                           FailureCase{"calibration", 500, 1.0f, 2, 1, 3, kStall, 5},
                                           FailureCase{"subchannel", 500, 1.0f, 2, 1, 4, kStall, 6},
                                           FailureCase{"apply", 500, 1.0f, 2, 1, 5, kStall, 7},
                                           FailureCase{"frequency_short", 500, 1.0f, 2, 1, 1, kShort3, 3},
                                           FailureCase{"subchannel_short", 500, 1.0f, 2, 1, 4, kShort0, 6},
                                           FailureCase{"apply_short", 500, 1.0f, 2, 1, 5, kShort3, 7},
                                           FailureCase{"range_first", 0, 0.2f, 9, 9, 1, kStall, 4},
                                           FailureCase{"calibration_first", 0, 0.0f, 4, 9, 1, kShort3, 5},
                                           FailureCase{"subchannel_first", 0, 0.0f, 9, 2, 1, kStall, 6},
                                           FailureCase{"apply_alone", 0, 0.0f, 9, 9, 1, kStall, 7}),
                         [](const ::testing::TestParamInfo<FailureCase> &p) { return std::string(p.param.name); });

// A wrong channel is refused before any USB activity, device or not.
TEST_F(Device, WrongChannelCausesNoUsbTraffic)
{
    for (int chan : {4, 5, 128, 255}) {
        EXPECT_EQ(vx7_configure(static_cast<std::uint8_t>(chan), 1000, 1.0f, 1, 0), 2) << chan;
    }
    sim->set_attached(dev, false);
    EXPECT_EQ(vx7_configure(4, 0, 0.0f, 8, 4), 2);
    EXPECT_EQ(usb_init_calls, 0) << "device search started";
    const auto c = sim->counters(dev);
    EXPECT_EQ(c.opens + c.open_failures + c.string_reads + c.set_transfers + c.get_transfers, 0u);
    EXPECT_TRUE(sim->commands(dev).empty());
}

TEST_F(Device, NoMatchingDeviceGivesOne)
{
    // Unplugged; then a device with other strings; then one that cannot be
    // opened; finally no state file at all (a machine without devices).
    sim->set_attached(dev, false);
    EXPECT_EQ(vx7_configure(0, 1000, 1.0f, 1, 0), 1);
    EXPECT_EQ(vx7_reinit(), 1);

    const int other = sim->add_device(vx7sim::DeviceSpec::with(0x16C0, 0x05DF, "ZANDRIVELO", "vx7 hid"));
    const int locked = sim->add_vx7();
    sim->set_open_fails(locked, true);
    testing::internal::CaptureStdout();
    EXPECT_EQ(vx7_configure(3, 0, 0.0f, 8, 4), 1);
    EXPECT_EQ(vx7_reinit(), 1);
    const std::string printed = testing::internal::GetCapturedStdout();
    EXPECT_EQ(printed, "Can not open\nCan not open\n");
    for (int d : {dev, other, locked}) {
        EXPECT_TRUE(sim->commands(d).empty());
        EXPECT_EQ(sim->counters(d).open_handles(), 0);
    }
    EXPECT_EQ(usb_init_calls, 4);

    ::setenv(vx7sim::kStateEnv, dir.file("no-such-state").c_str(), 1);
    EXPECT_EQ(vx7_configure(0, 0, 0.0f, 8, 4), 1);
    EXPECT_EQ(vx7_reinit(), 1);
}

TEST_F(Device, ReinitSendsResetAndClosesOnBothOutcomes)
{
    EXPECT_EQ(vx7_reinit(), 0);
    EXPECT_EQ(hex(received()), hex(std::vector<Report>{{10, 0, 0, 0}}));
    expect_closed(1);

    for (const Fault &f : {kStall, kShort3}) {
        sim->inject_fault(dev, f);
        EXPECT_EQ(vx7_reinit(), 1);
    }
    EXPECT_EQ(sim->commands(dev).size(), 3u);
    expect_closed(3);
}

// The device is a shared one: the library finds it afresh on every call and
// the reset (sent with other settings pending) acts on the device model.
TEST_F(Device, EveryCallOpensAndClosesAfresh)
{
    EXPECT_EQ(vx7_configure(1, 250, 0.3f, 3, 2), 0);
    EXPECT_EQ(sim->channel_config(dev, 1).applied.frequency, 250);
    EXPECT_EQ(sim->channel_config(dev, 1).applied.range, 3);
    EXPECT_EQ(sim->channel_config(dev, 1).applied.input, vx7sim::Input::Gnd);
    expect_closed(1);

    // Unplugged and plugged in again between calls: found anew.
    sim->set_attached(dev, false);
    sim->set_attached(dev, true);
    EXPECT_EQ(vx7_reinit(), 0);
    EXPECT_EQ(sim->channel_config(dev, 1).applied.frequency, vx7sim::kDefaultFrequency);
    EXPECT_EQ(vx7_configure(0, 0, 0.0f, 8, 4), 0);
    expect_closed(3);
    EXPECT_EQ(usb_init_calls, 3);
}

// ---- help text and VX7_MAX_RANGE, as the shared library exports them

TEST(HelpText, ExactSizeLinesAndIndentation)
{
    const char *text = vx7_help();
    ASSERT_NE(text, nullptr);
    EXPECT_EQ(vx7_help(), text) << "same pointer on every call";
    const std::string s(text);
    EXPECT_EQ(s.size(), 1427u);

    std::vector<std::string> lines;
    std::size_t start = 0;
    for (std::size_t nl; (nl = s.find('\n', start)) != std::string::npos; start = nl + 1)
        lines.push_back(s.substr(start, nl - start));
    EXPECT_EQ(start, s.size()) << "the last line ends with a newline";
    ASSERT_EQ(lines.size(), 41u);

    EXPECT_EQ(lines[0], "Library that configures vx7_hid device");
    EXPECT_EQ(lines[4], "C:\\dev\\adc1.adc - C:\\dev\\adc4.adc");
    EXPECT_EQ(lines[8], "");
    EXPECT_EQ(lines[9], "char vx7_reinit(void)");
    EXPECT_EQ(lines[11], "  return value: 0 - failed (device is not connected) ; 1 - success");
    EXPECT_EQ(
        lines[12],
        "char vx7_configure(uint8_t chan, uint16_t freq, float adc_range, uint8_t calibrate, uint8_t subchannel)");
    EXPECT_EQ(lines[29], "    2 - GND (or internal reference voltage?)");
    EXPECT_EQ(lines[40], "    7 - can not aplly changes");

    // Lines (1-based) indented by two and by four spaces; none trails blanks.
    const std::vector<int> two = {11, 12, 14, 15, 16, 17, 27, 33};
    for (int n = 1; n <= 41; ++n) {
        const std::string &l = lines[n - 1];
        const bool by_two = std::find(two.begin(), two.end(), n) != two.end();
        const bool by_four = (n >= 18 && n <= 26) || (n >= 28 && n <= 32) || n >= 34;
        const std::size_t indent = l.find_first_not_of(' ');
        EXPECT_EQ(indent == std::string::npos ? 0 : indent, by_four ? 4u : by_two ? 2u : 0u) << "line " << n;
        EXPECT_TRUE(l.empty() || l.back() != ' ') << "line " << n;
        for (unsigned char ch : l)
            EXPECT_TRUE(ch >= 0x20 && ch < 0x7F) << "line " << n;
    }
}

TEST(MaxRange, IsExactlyTwoAndAHalf)
{
    EXPECT_EQ(VX7_MAX_RANGE, 2.5f);
    EXPECT_EQ(sizeof VX7_MAX_RANGE, 4u);
}
