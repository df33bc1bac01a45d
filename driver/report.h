// The vx7 sample report and its conversion to volts: the driver's alone (Linux
// and Windows builds).
//
// Sample report, 4 bytes: byte 0 = marker 100 (bits 7-5), range exponent n
// (bits 4-2), channel index (bits 1-0); bytes 1-3 = 24-bit offset-binary
// sample, most significant byte first.
#ifndef VX7_DRIVER_REPORT_H
#define VX7_DRIVER_REPORT_H

#include <bit>
#include <cstdint>
#include <span>

namespace vx7::driver {

// The double nearest to 2.5 / 8388607: raw 8388607 is exactly 2.5 V.
inline constexpr double kVoltsPerCount = std::bit_cast<double>(std::uint64_t{0x3E94000028000050});

struct Sample {
    int channel;  // 0-3
    int exponent; // 0-7: the value was divided by 2^exponent
    double volts;
};

// Decodes a 4-byte report. Returns false when its marker bits say it carries
// no sample (the device may answer with other reports between samples).
[[nodiscard]] constexpr bool decode_sample(std::span<const std::uint8_t, 4> report, Sample &out)
{
    if ((report[0] & 0xE0) != 0x80)
        return false;
    out.channel = report[0] & 3;
    out.exponent = (report[0] >> 2) & 7;
    const std::int32_t raw = (std::int32_t{report[1]} << 16 | std::int32_t{report[2]} << 8 | report[3]) - 0x800000;
    double v = raw * kVoltsPerCount;
    for (int i = 0; i < out.exponent; ++i)
        v *= 0.5;
    out.volts = v;
    return true;
}

} // namespace vx7::driver

#endif
