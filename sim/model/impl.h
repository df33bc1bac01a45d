// What every part of the Sim class shares: its mapping of the state file.
#ifndef VX7SIM_IMPL_H
#define VX7SIM_IMPL_H

#include <string>

#include "layout.h"
#include "state_map.h"
#include "vx7sim/sim.h"

namespace vx7sim {

struct Sim::Impl {
    std::string path;
    detail::StateMap map;
    detail::State *state = nullptr;
};

} // namespace vx7sim

#endif
