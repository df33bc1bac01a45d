// The inner steps of libvx7's calls, kept apart from the exported C interface
// so that tests can drive them directly (with their own paths and values).
// Nothing here is exported from the shared library.
#ifndef VX7_LIB_INTERNAL_H
#define VX7_LIB_INTERNAL_H

#include "vx7/vx7.h"
#include "vx7record/record.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

namespace vx7::lib {

inline constexpr float kMaxRange = 2.5f; // volts; the value of VX7_MAX_RANGE

// Results of vx7_read besides a value.
inline constexpr double kBadChannel = VX7_READ_BAD_CHANNEL;
using record::kNoValue; // file cannot be read, or holds no number
static_assert(kNoValue == VX7_READ_NO_VALUE);

// Command codes: byte 0 of a command report, also its report ID.
enum class Command : std::uint8_t {
    Frequency = 3,
    Range = 4,
    Calibration = 5,
    Subchannel = 6,
    Apply = 7,
    Reset = 10,
};

// Result codes of vx7_configure, as the public header names them.
enum class ConfigResult : std::uint8_t {
    Ok = VX7_CONFIGURE_OK,
    NoDevice = VX7_CONFIGURE_NO_DEVICE,
    WrongChannel = VX7_CONFIGURE_WRONG_CHANNEL,
    FrequencyFailed = VX7_CONFIGURE_FREQUENCY_FAILED,
    RangeFailed = VX7_CONFIGURE_RANGE_FAILED,
    CalibrationFailed = VX7_CONFIGURE_CALIBRATION_FAILED,
    SubchannelFailed = VX7_CONFIGURE_SUBCHANNEL_FAILED,
    ApplyFailed = VX7_CONFIGURE_APPLY_FAILED,
};

// Range code 0-7 for a requested largest input voltage: code k covers
// VX7_MAX_RANGE/2^(k+1) < adc_range <= VX7_MAX_RANGE/2^k. Worked out on the
// single-precision quotient 2.5 / adc_range with ordered comparisons, so NaN
// gives 7 and negative values and infinities give 0.
[[nodiscard]] std::uint8_t range_code(float adc_range);

// One command report of a vx7_configure call and the result the call returns
// when the report is not delivered whole.
struct PlannedCommand {
    std::array<std::uint8_t, 4> report;
    ConfigResult on_failure;
};

// The reports of one vx7_configure call, in sending order (at most five).
struct CommandPlan {
    std::array<PlannedCommand, 5> commands;
    std::size_t count;

    [[nodiscard]] std::span<const PlannedCommand> sequence() const { return {commands.data(), count}; }
};

// The reports vx7_configure sends for a valid channel (0-3). The call's one
// 4-byte buffer starts zeroed and each command writes only its own bytes, so
// byte 2 (frequency high byte) and byte 3 (last value) carry over to the later
// commands of the same call, and every other unassigned byte is 0.
[[nodiscard]] CommandPlan plan_configure(std::uint8_t chan, std::uint16_t freq, float adc_range, std::uint8_t calibrate,
                                         std::uint8_t subchannel);

// The reset report of vx7_reinit.
[[nodiscard]] std::array<std::uint8_t, 4> reset_report();

// vx7_read's work on a given path: map the file read-only, take a stable copy
// of its record, release the file, parse the record's leading number.
// Returns the value, or kNoValue when the file cannot be opened or mapped
// (a file shorter than a record included), no stable copy could be taken (the
// driver stayed in the middle of a write), or the record holds no number.
[[nodiscard]] double read_channel_file(const char *path);

} // namespace vx7::lib

#endif
