// The channel configuration file: a name, a unit, linear scaling and alarm
// limits for each of the channels 1-4, in YAML:
//
//   channels:
//     1: {name: Oven, unit: "°C", scale: 100.0, offset: 0.0, max: 250}
//     2: {name: Supply pressure, unit: bar, scale: 4.0, offset: 0.0}
//
// Every key is optional; value = volts x scale + offset (scale 1, offset 0
// by default; the unit is "V" while neither is given). min and max are the
// alarm limits of the value. A channel the file does not name keeps its
// volts. What is wrong with a file is said in one line naming the file, the
// line and the key:
//   oven.yaml:2: channels.1.scale: must be a number from -1e15 to 1e15, not 'abc'
//
// vx7ctl, the gateway and (in its own words, python/vx7.py) the Python
// module read it by the same rules; tests/data/channel_config_cases.json
// holds the cases both are checked against.
#ifndef VX7_CHANNEL_CONFIG_H
#define VX7_CHANNEL_CONFIG_H

#include "vx7samplefmt/sample_lines.h"

#include <string>
#include <string_view>

namespace vx7::channels {

// Whether this build can read channel configuration files at all (it
// cannot without yaml-cpp).
[[nodiscard]] bool available();

// Reads the file at `path` into `out` (out.given set). Returns "" or the
// one-line message; `out` is then unchanged.
[[nodiscard]] std::string load(const std::string &path, vx7::lines::ChannelConfig &out);

// The same for a file's text; `path` names it in messages.
[[nodiscard]] std::string parse(std::string_view text, const std::string &path, vx7::lines::ChannelConfig &out);

} // namespace vx7::channels

#endif
