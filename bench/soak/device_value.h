// Whether a value read from a channel is one the vx7 device could have
// reported: the driver's record keeps a sample's 24-bit count exactly (the
// fuzz target "report" checks the round trip), so a value is genuine only if
// value * 2^n / (volts per count) is, for one range exponent n in 0-7, an
// integer count in [-2^23, 2^23 - 1]. A record torn between two samples
// mixes their digits and is then, but for a chance of about 1.6 %, no such
// value; one of the wrong magnitude (0.9 V and 1.0 V read as 10 V) never is.
#ifndef VX7_SOAK_DEVICE_VALUE_H
#define VX7_SOAK_DEVICE_VALUE_H

#include "report.h"

#include <cmath>

namespace vx7soak {

// The largest magnitude a report can carry: count -2^23 at exponent 0.
inline constexpr double kLargestVolts = 8388608.0 * vx7::driver::kVoltsPerCount;

[[nodiscard]] inline bool device_value(double v)
{
    if (!std::isfinite(v) || std::fabs(v) > kLargestVolts * (1 + 1e-11))
        return false;
    for (int n = 0; n <= 7; ++n) {
        const double counts = std::ldexp(v, n) / vx7::driver::kVoltsPerCount;
        if (counts < -8388608.5 || counts > 8388607.5)
            continue;
        if (std::fabs(counts - std::nearbyint(counts)) < 1e-3)
            return true;
    }
    return false;
}

} // namespace vx7soak

#endif
