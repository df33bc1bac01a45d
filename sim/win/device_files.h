// Where the simulated devices live in the Windows file system.
//
// The program under test opens a device with its own CreateFileA (kernel32,
// which no stand-in replaces), so every attached simulated device is backed by
// a real, empty file whose name is the interface path that the setupapi
// stand-in hands out. Exclusive opens (share mode 0) are then enforced by the
// system itself, and the hid.dll stand-in recognises a device by the final
// path of the handle it is given.
//
// Interface path -> file:
//   "X:\..." (a drive path)  used as it is;
//   "\\?\rest"               the state file's directory + "\" + rest.
// So the default path \\?\hid#vid_16c0&pid_05df#1&0000#{...} of a device
// whose state file is C:\sim\state becomes C:\sim\hid#vid_16c0&pid_05df#...
#ifndef VX7SIM_WIN_DEVICE_FILES_H
#define VX7SIM_WIN_DEVICE_FILES_H

#include <string>
#include <string_view>

#include "vx7sim/sim.h"

namespace vx7sim::win {

// The file that stands for the device with this interface path.
std::string device_file(std::string_view interface_path, std::string_view state_path);

// Makes the files of attached devices exist (with their directories) and
// removes those of detached devices. A file held open by a program cannot be
// removed at that moment; it goes at a later call.
void sync_device_files(const Sim &sim);

// The device whose file is `file` (compared without regard to case; a leading
// "\\?\" is ignored), or -1.
int device_for_file(const Sim &sim, std::string_view file);

} // namespace vx7sim::win

#endif
