// vx7ctl's commands: each takes the arguments after its name and returns the
// exit status.
#ifndef VX7CTL_COMMANDS_H
#define VX7CTL_COMMANDS_H

#include "args.h"

namespace vx7ctl {

int cmd_list(Args &args);      // device.cpp
int cmd_configure(Args &args); // device.cpp
int cmd_reset(Args &args);     // device.cpp
int cmd_help(Args &args);      // device.cpp
int cmd_status(Args &args);    // channels.cpp
int cmd_read(Args &args);      // channels.cpp
int cmd_record(Args &args);    // record.cpp

} // namespace vx7ctl

#endif
