// libvx7's own unit: the configuration calls, the channel reader, the help
// text and VX7_MAX_RANGE. The transport (vhid) and value-file (memfile) units
// are linked beside it into the shared library.
#include "vx7/vx7.h"

#include "internal.h"
#include "vx7/memfile.h"
#include "vx7/vhid.h"
#include "vx7identity/identity.h"

#include <cassert>
#include <cstring>

namespace vx7::lib {

namespace {

constexpr int kReportLength = 4;

// The device as one call holds it: opened by the constructor, closed by the
// destructor on every way out of the call.
class Device {
public:
    Device()
        : handle_(HidOpenDevice(identity::kVendorId, identity::kProductId, identity::kManufacturer, identity::kProduct))
    {
    }
    ~Device() { HidCloseDevice(handle_); }
    Device(const Device &) = delete;
    Device &operator=(const Device &) = delete;

    [[nodiscard]] bool connected() const { return HidIsConnected(handle_) != 0; }

    // True only when the device took the whole report.
    [[nodiscard]] bool send(const std::array<std::uint8_t, 4> &report) const
    {
        return HidSendArr(handle_, report.data(), kReportLength) == kReportLength;
    }

private:
    void *handle_;
};

constexpr std::uint8_t code_of(Command c)
{
    return static_cast<std::uint8_t>(c);
}

} // namespace

std::uint8_t range_code(float adc_range)
{
    const float q = kMaxRange / adc_range;
    float limit = 2.0f;
    for (std::uint8_t k = 0; k < 7; ++k) {
        if (q < limit)
            return k;
        limit *= 2.0f; // exact: powers of two
    }
    return 7;
}

CommandPlan plan_configure(std::uint8_t chan, std::uint16_t freq, float adc_range, std::uint8_t calibrate,
                           std::uint8_t subchannel)
{
    assert(chan <= 3 && "vx7_configure refuses other channels before planning");
    CommandPlan plan{};
    std::array<std::uint8_t, 4> buf{};
    const auto add = [&](Command c, ConfigResult on_failure) {
        buf[0] = code_of(c);
        buf[1] = static_cast<std::uint8_t>(1u << chan);
        plan.commands[plan.count++] = PlannedCommand{buf, on_failure};
    };

    if (freq != 0) {
        buf[2] = static_cast<std::uint8_t>(freq >> 8);
        buf[3] = static_cast<std::uint8_t>(freq & 0xFF);
        add(Command::Frequency, ConfigResult::FrequencyFailed);
    }
    // +0 and -0 leave the range alone; NaN compares unequal and is sent.
    if (adc_range != 0.0f) {
        buf[3] = range_code(adc_range);
        add(Command::Range, ConfigResult::RangeFailed);
    }
    if (calibrate <= 7) {
        buf[3] = static_cast<std::uint8_t>(calibrate << 4);
        add(Command::Calibration, ConfigResult::CalibrationFailed);
    }
    if (subchannel <= 3) {
        buf[3] = subchannel;
        add(Command::Subchannel, ConfigResult::SubchannelFailed);
    }
    add(Command::Apply, ConfigResult::ApplyFailed);
    return plan;
}

std::array<std::uint8_t, 4> reset_report()
{
    return {code_of(Command::Reset), 0, 0, 0};
}

double read_channel_file(const char *path)
{
    memfile_t file{nullptr, nullptr};
    if (memfile_create(path, MEMFILE_READ, record::kSize, &file) != 0) {
        memfile_close(&file);
        return kNoValue;
    }
    char text[record::kSize];
    const record::StableCopy copy = record::read_stable(file.data, text);
    memfile_close(&file);

    record::Value value{};
    if (!copy.consistent || !record::read_value(text, value))
        return kNoValue;
    return value.volts;
}

} // namespace vx7::lib

namespace {

constexpr char helpstr[] =
    "Library that configures vx7_hid device\n"
    "To read ADC values from vx7 use special user-space driver\n"
    "for read ADC values read files\n"
    "/home/dev/adc1.adc - /home/dev/adc4.adc or\n"
    "C:\\dev\\adc1.adc - C:\\dev\\adc4.adc\n"
    "1st value is voltage (in volts) on selected channel\n"
    "2nd value is time between starting driver and last reading value from vx7\n"
    "To configure vx7 use following functions placed in this library\n"
    "\n"
    "char vx7_reinit(void)\n"
    "  hard reset and initialization vx7\n"
    "  return value: 0 - failed (device is not connected) ; 1 - success\n"
    "char vx7_configure(uint8_t chan, uint16_t freq, float adc_range, uint8_t calibrate, uint8_t subchannel)\n"
    "  chan - # channel (0 - 3)\n"
    "  freq - frequency (Hz) ; 0 - do not change\n"
    "  adc_range - set maximum voltage on channel (V) 0 - do not change\n"
    "  calibrate - calibration mode:\n"
    "    0 - none\n"
    "    1 - auto (default)\n"
    "    2 - ext calibration of zero\n"
    "    3 - ext calibration of range\n"
    "    4 - mixed calibration\n"
    "    5 - background calibration\n"
    "    6 - internal calibration of zero\n"
    "    7 - internal calibration of range\n"
    "    other values - do not change\n"
    "  subchannel:\n"
    "    0 - A\n"
    "    1 - B\n"
    "    2 - GND (or internal reference voltage?)\n"
    "    3 - test\n"
    "    other values - do not change\n"
    "  return value:\n"
    "    0 - OK\n"
    "    1 - failed open device\n"
    "    2 - wrong channel (must be 0 - 3)\n"
    "    3 - can not set frequency\n"
    "    4 - can not set range\n"
    "    5 - can not set calibration\n"
    "    6 - can not set subchannel\n"
    // "aplly": the help text as callers know it and compare it, kept.
    "    7 - can not aplly changes\n";

static_assert(sizeof helpstr == 1427 + 1);

} // namespace

extern "C" {

const float VX7_MAX_RANGE = vx7::lib::kMaxRange;

char vx7_reinit(void)
{
    const vx7::lib::Device dev;
    if (!dev.connected())
        return VX7_REINIT_FAILED;
    return dev.send(vx7::lib::reset_report()) ? VX7_REINIT_OK : VX7_REINIT_FAILED;
}

char vx7_configure(uint8_t chan, uint16_t freq, float adc_range, uint8_t calibrate, uint8_t subchannel)
{
    using vx7::lib::ConfigResult;
    // A wrong channel is refused before any USB activity.
    if (chan > 3)
        return static_cast<char>(ConfigResult::WrongChannel);
    const vx7::lib::CommandPlan plan = vx7::lib::plan_configure(chan, freq, adc_range, calibrate, subchannel);

    const vx7::lib::Device dev;
    if (!dev.connected())
        return static_cast<char>(ConfigResult::NoDevice);
    // The first command not delivered ends the call; the ones before it stay
    // in force, the ones after it (apply included) are not sent.
    for (const vx7::lib::PlannedCommand &cmd : plan.sequence()) {
        if (!dev.send(cmd.report))
            return static_cast<char>(cmd.on_failure);
    }
    return static_cast<char>(ConfigResult::Ok);
}

double vx7_read(uint8_t chan)
{
    if (static_cast<uint8_t>(chan - 1) > 3)
        return vx7::lib::kBadChannel;
    const vx7::record::ReaderPath path = vx7::record::reader_path(chan);
    return vx7::lib::read_channel_file(path.data());
}

const char *vx7_help(void)
{
    return helpstr;
}

} // extern "C"
