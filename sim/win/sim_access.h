// The simulated machine as a stand-in DLL sees it: the state file named by
// VX7SIM_STATE, mapped on first use and kept while the variable names it.
// Until the variable is set and the file exists, the machine has no devices.
#ifndef VX7SIM_WIN_SIM_ACCESS_H
#define VX7SIM_WIN_SIM_ACCESS_H

#include <cstdlib>
#include <optional>
#include <string>

#include "vx7sim/sim.h"

namespace vx7sim::win {

inline Sim *machine()
{
    static std::optional<Sim> sim;
    static std::string mapped;
    const char *path = std::getenv(kStateEnv);
    if (path == nullptr)
        return nullptr;
    if (!sim || mapped != path) {
        sim = Sim::try_open(path);
        mapped = sim ? path : "";
    }
    return sim ? &*sim : nullptr;
}

} // namespace vx7sim::win

#endif
