// Old path of the record format, kept only for the code that still includes
// it by this path (tools/vx7ctl, tests/vx7ctl, tests/sim). It goes when they
// link vx7_record and include "vx7record/record.h" (and the simulator's test
// "report.h" of the driver).
#ifndef VX7_DRIVER_RECORD_H
#define VX7_DRIVER_RECORD_H

#include "record/vx7record/record.h"
#include "report.h"

namespace vx7::record {
using vx7::driver::decode_sample;
using vx7::driver::kVoltsPerCount;
using vx7::driver::Sample;
} // namespace vx7::record

#endif
