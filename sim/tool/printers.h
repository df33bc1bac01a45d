// What the vx7sim tool prints, one function per listing.
#ifndef VX7SIM_TOOL_PRINTERS_H
#define VX7SIM_TOOL_PRINTERS_H

#include <cstdint>

#include "vx7sim/sim.h"

namespace vx7sim::tool {

void print_devices(const Sim &sim);
void print_counters(const Sim &sim, int d);
void print_config(const Sim &sim, int d);
void print_log(const Sim &sim, int d);
void print_errors(const Sim &sim);
// The sample log after number since, one "seq channel exponent raw volts" a
// line. False (with a message on standard error) when some were overwritten.
bool print_samples(const Sim &sim, int d, std::uint64_t since);

} // namespace vx7sim::tool

#endif
