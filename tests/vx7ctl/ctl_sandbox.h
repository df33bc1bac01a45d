// What the vx7ctl tests share: the sandbox vx7ctl runs in (a private
// /home/dev, the stand-in libusb, the simulator's state at /sim/state) and
// channel files as the driver leaves them.
#pragma once

#include "driver/record.h"
#include "sandbox.h"

#include <string>

namespace vx7test {

inline const std::string kCtl = VX7CTL_PATH;

// A channel file holding the record of `volts` at `ms`, over the initial fill.
inline std::string record_file(double volts, unsigned long ms)
{
    std::string file(vx7::record::kSize, ' ');
    const auto t = vx7::record::format(volts, ms);
    file.replace(0, t.length + 1, t.bytes, t.length + 1);
    return file;
}

inline std::string channel(int n)
{
    return "/home/dev/vx7/adc" + std::to_string(n) + ".adc";
}

inline SandboxOptions sandbox_options()
{
    SandboxOptions o;
    o.ro_binds.push_back(VX7_TEST_BINARY_DIR);
    o.dirs = {"/home/dev/vx7", "/sim"};
    o.env.emplace_back("LD_LIBRARY_PATH", VX7SIM_LIBUSB_DIR);
    o.env.emplace_back("VX7SIM_STATE", "/sim/state");
    return o;
}

// Channel files as the driver leaves them: 1 a value, 2 blank (driver
// stopped), 3 a shorter record over a longer one, 4 missing.
inline void write_channels(Sandbox &sb)
{
    sb.write(channel(1), record_file(1.25, 1000));
    sb.write(channel(2), std::string(vx7::record::kSize, ' '));
    std::string three = record_file(-1.0, 1234);
    const auto t = vx7::record::format(0.5, 12345678901ul);
    three.replace(0, t.length + 1, t.bytes, t.length + 1);
    sb.write(channel(3), three);
}

} // namespace vx7test
