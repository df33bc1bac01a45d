// Old path of the record format, kept only for the code that still includes
// it by this path (tools/vx7ctl, tests/vx7ctl, tests/sim). It goes when they
// link vx7_record and include "vx7record/record.h" (and the simulator's test
// "report.h" of the driver).
#ifndef VX7_DRIVER_RECORD_H
#define VX7_DRIVER_RECORD_H

#include "record/vx7record/record.h"
#include "report.h"

#include <cstring>
#include <span>

namespace vx7::record {
using vx7::driver::decode_sample;
using vx7::driver::kVoltsPerCount;
using vx7::driver::Sample;

// The old reading call on top of read_stable: a record with no stable copy
// reads as all spaces, "no value".
inline int copy_stable(const char *mapped, std::span<char, kSize> out)
{
    const StableCopy c = read_stable(mapped, out);
    if (!c.consistent)
        std::memset(out.data(), ' ', kSize);
    return c.copies;
}
} // namespace vx7::record

#endif
