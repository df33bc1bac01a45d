// Channel files as the driver leaves them, for the reader tests.
#pragma once

#include "vx7record/record.h"

#include <string>
#include <vector>

namespace vx7test {

inline const std::string kBlankRecord(vx7::record::kSize, ' ');

// The spaces of the initial fill with each record in turn written over the
// start, NUL included, the bytes behind the NUL left alone.
inline std::string driver_file(const std::vector<vx7::record::Text> &records)
{
    std::string file = kBlankRecord;
    for (const auto &t : records)
        file.replace(0, t.length + 1, t.bytes, t.length + 1);
    return file;
}

inline std::string driver_file(double volts, unsigned long ms)
{
    return driver_file({vx7::record::format(volts, ms)});
}

} // namespace vx7test
