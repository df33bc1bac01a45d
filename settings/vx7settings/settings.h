// The values a user may give for a channel's configuration, checked before
// anything reaches libvx7: shared by vx7ctl (command-line options) and
// vx7-gateway (JSON bodies and MQTT messages), so that both accept the same
// values and refuse the others with the same words.
//
// Each check takes the name under which the value was given ("--freq" on
// the command line, "freq_hz" in a JSON body), so that the message names
// what the user typed. A check returns an empty string when the value is
// good (and sets `out`), or the message: "<name> must be 0-65535 Hz, not
// '70000'".
#ifndef VX7_TOOLS_SETTINGS_H
#define VX7_TOOLS_SETTINGS_H

#include <cstdint>
#include <string>
#include <string_view>

namespace vx7::settings {

// What vx7_configure is called with; the defaults leave everything as it is.
struct Settings {
    std::uint8_t device_channel = 0; // 0-3, the device's (and libvx7's) numbering
    std::uint16_t freq = 0;          // Hz; 0: unchanged
    float range = 0.0f;              // volts; 0: unchanged
    std::uint8_t calibrate = 0xFF;   // 0-7; anything else: unchanged
    std::uint8_t input = 0xFF;       // 0-3; anything else: unchanged
};

// Channel as users number it, 1-4 (channel 1 is the device's channel 0).
[[nodiscard]] std::string check_channel(std::string_view name, std::string_view text, std::uint8_t &device_channel);
// Sampling frequency, 0-65535 Hz, digits only.
[[nodiscard]] std::string check_freq(std::string_view name, std::string_view text, std::uint16_t &out);
// Largest input voltage, 0-2.5 V; a positive value too small for a float is
// refused (it would reach the library as 0, "unchanged").
[[nodiscard]] std::string check_range(std::string_view name, std::string_view text, float &out);
// Calibration mode: a name of calibration_names() (case-insensitive, "_" as
// "-") or 0-7.
[[nodiscard]] std::string check_calibrate(std::string_view name, std::string_view text, std::uint8_t &out);
// Input: A, B, GND, test (case-insensitive) or 0-3.
[[nodiscard]] std::string check_input(std::string_view name, std::string_view text, std::uint8_t &out);

// The words for a result code of vx7_configure ("OK", "failed open device",
// ...); "unknown result" for codes it never returns.
[[nodiscard]] const char *configure_meaning(unsigned code);

// A decimal number of digits only (no sign, no blanks) up to `max`.
[[nodiscard]] bool parse_uint(std::string_view s, unsigned long long max, unsigned long long &out);
// A finite decimal number, the whole text, with "." as the decimal point
// whatever the locale.
[[nodiscard]] bool parse_real(std::string_view s, double &out);

} // namespace vx7::settings

#endif
