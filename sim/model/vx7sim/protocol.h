// What the simulated vx7 device speaks on the wire: request framing, command
// codes, the sample report encoding and the device's identity. Header-only,
// no platform specifics; usable from tests, the stand-ins and the tool.
#ifndef VX7SIM_PROTOCOL_H
#define VX7SIM_PROTOCOL_H

#include <array>
#include <bit>
#include <cmath>
#include <cstdint>

namespace vx7sim {

// Identity of the vx7 device: the simulator's own copy, deliberately
// independent of the code under test.
inline constexpr std::uint16_t kVx7Vendor = 0x16C0;
inline constexpr std::uint16_t kVx7Product = 0x05DF;
inline constexpr char16_t kVx7Manufacturer[] = u"ZANDRIVELO";
inline constexpr char16_t kVx7ProductName[] = u"vx7 HID";

// Every report (sample and command) is 4 bytes.
inline constexpr int kReportSize = 4;
inline constexpr int kChannels = 4;

// Control-transfer framing the device accepts (USB HID class requests,
// recipient device). Anything else stalls and is recorded as a protocol error.
inline constexpr std::uint8_t kSetReportType = 0x20;  // host to device, class, device
inline constexpr std::uint8_t kSetReportRequest = 9;  // SET_REPORT
inline constexpr std::uint8_t kGetReportType = 0xA0;  // device to host, class, device
inline constexpr std::uint8_t kGetReportRequest = 1;  // GET_REPORT
inline constexpr std::uint16_t kFeatureReport = 0x03; // high byte of wValue
inline constexpr std::uint16_t kGetReportValue = 0x0301;

// Windows HID class framing: a feature report buffer of report-ID byte 0
// followed by the 4 report bytes.
inline constexpr int kFeatureBufferSize = kReportSize + 1;

// Command codes (byte 0 of a command report).
enum class CommandCode : std::uint8_t {
    Frequency = 3,   // byte1 mask, byte2 = freq bits 15-8, byte3 = bits 7-0
    Range = 4,       // byte1 mask, byte3 = range code 0-7
    Calibration = 5, // byte1 mask, byte3 = mode << 4
    Subchannel = 6,  // byte1 mask, byte3 = input 0-3
    Apply = 7,       // byte1 mask: pending settings take effect
    Reset = 10,      // all channels back to their defaults
};

// Input selection (subchannel) of a channel.
enum class Input : std::uint8_t {
    A = 0,    // the channel's waveform A
    B = 1,    // the channel's waveform B (distinct from A by default)
    Gnd = 2,  // 0 V
    Test = 3, // kTestVolts
};

// The voltage the "test" input reads.
inline constexpr double kTestVolts = 1.0;

// Full scale and the size of one count at range exponent 0.
inline constexpr double kFullScaleVolts = 2.5;
// The simulator's own constant, deliberately independent of the code under test.
inline constexpr double kVoltsPerCount = std::bit_cast<double>(std::uint64_t{0x3E94000028000050}); // 2.5/8388607

// Channel settings after reset.
inline constexpr std::uint16_t kDefaultFrequency = 100;
inline constexpr std::uint8_t kDefaultRange = 0;
inline constexpr std::uint8_t kDefaultCalibration = 1; // "auto"
inline constexpr Input kDefaultInput = Input::A;

using Report = std::array<std::uint8_t, kReportSize>;

// The raw 24-bit count for a voltage at a range exponent:
// round(v * 2^exponent / kVoltsPerCount), clamped to the converter's span.
inline std::int32_t volts_to_raw(double volts, int exponent)
{
    const double counts = std::round(std::ldexp(volts, exponent) / kVoltsPerCount);
    if (!(counts >= -8388608.0)) // also catches NaN
        return counts != counts ? 0 : -8388608;
    if (counts > 8388607.0)
        return 8388607;
    return static_cast<std::int32_t>(counts);
}

// A sample report: byte0 = 0x80 | exponent<<2 | channel (bits 7-5 are the
// marker 100), bytes 1-3 the offset-binary count, most significant byte first.
inline constexpr std::uint8_t kSampleMarkerMask = 0xE0;
inline constexpr std::uint8_t kSampleMarker = 0x80;
inline constexpr std::uint32_t kRawZero = 0x800000; // the 24-bit code of 0 V

inline Report encode_sample(int channel, int exponent, double volts)
{
    const std::uint32_t code = static_cast<std::uint32_t>(volts_to_raw(volts, exponent & 7)) + kRawZero;
    return Report{static_cast<std::uint8_t>(kSampleMarker | (exponent & 7) << 2 | (channel & 3)),
                  static_cast<std::uint8_t>(code >> 16), static_cast<std::uint8_t>(code >> 8),
                  static_cast<std::uint8_t>(code)};
}

// Whether 4 report bytes are a sample report (the marker in bits 7-5).
inline bool is_sample_report(const std::uint8_t *bytes)
{
    return (bytes[0] & kSampleMarkerMask) == kSampleMarker;
}

// The voltage of a 24-bit code (as sent, offset binary) at a range exponent:
// (code - kRawZero) * kVoltsPerCount / 2^exponent.
inline double raw_to_volts(std::uint32_t raw, int exponent)
{
    const auto count = static_cast<std::int32_t>(raw & 0xFFFFFF) - static_cast<std::int32_t>(kRawZero);
    return std::ldexp(count * kVoltsPerCount, -(exponent & 7));
}

} // namespace vx7sim

#endif
