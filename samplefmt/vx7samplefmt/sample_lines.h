// A sample as a line of text, the one form every program shows it in:
// `vx7ctl record` writes these lines, the gateway's history and event stream
// and its MQTT messages use the same time and fields.
//   CSV    time,elapsed_ms,channel,volts
//          2026-12-08T10:11:12.123456Z,5230,1,1.25000000000e+00
//   JSONL  {"time":"2026-12-08T10:11:12.123456Z","elapsed_ms":5230,"channel":1,"volts":1.25}
// `time` is when the stream saw the sample (UTC, microseconds); `volts` in
// CSV is the driver's text unchanged, in JSON the same number (a JSON reader
// gets the very double the driver's text gives). A channel whose record
// turned to "no value" (the driver stopped) gets one line with neither
// elapsed_ms nor volts: empty fields in CSV, null in JSON.
//
// With a channel configuration (a file of names, units, scaling and alarm
// limits; see ChannelSpec) the lines get one more column after volts:
//   CSV    time,elapsed_ms,channel,volts,value
//          2026-12-08T10:11:12.123456Z,5230,1,1.25000000000e+00,1.25000000000e+02
//   JSONL  {...,"volts":1.25,"value":125.0}
// `value` is volts x scale + offset ("%.11e" in CSV), volts itself for a
// channel the file does not name, empty (null) where volts is. Without a
// configuration the lines are exactly as above, so that existing files and
// readers are unchanged.
#ifndef VX7_SAMPLE_LINES_H
#define VX7_SAMPLE_LINES_H

#include "vx7/stream.h"

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

namespace vx7::lines {

inline constexpr std::string_view kCsvHeader = "time,elapsed_ms,channel,volts\n";
inline constexpr std::string_view kCsvHeaderWithValue = "time,elapsed_ms,channel,volts,value\n";

// What a channel carries, as the channel configuration file says: its name,
// the unit of its quantity, the linear scaling from volts to that quantity
// and the limits outside of which the quantity is an alarm.
struct ChannelSpec {
    bool configured = false; // the file names this channel
    std::string name;        // empty: none given
    std::string unit;        // "V" for a channel without scaling, unless given
    double scale = 1.0;      // value = volts * scale + offset
    double offset = 0.0;
    bool has_min = false;
    double min = 0.0;
    bool has_max = false;
    double max = 0.0;
};

// The four channels' specs; `given` when a configuration file was given at
// all (the record lines then carry the value column).
struct ChannelConfig {
    bool given = false;
    std::array<ChannelSpec, 4> channels{};

    // Channel 1-4's spec (an unconfigured one for any other number).
    [[nodiscard]] const ChannelSpec &of(int channel) const;
};

// Where a value stands against its channel's limits: below min, above max
// (a value equal to a limit is within it).
enum class Alarm { None, Low, High };

[[nodiscard]] double scaled(const ChannelSpec &spec, double volts);
[[nodiscard]] Alarm alarm(const ChannelSpec &spec, double value);
// "low", "high", or "" for none.
[[nodiscard]] const char *alarm_text(Alarm a);
// "%.11e", the form of the driver's volts.
[[nodiscard]] std::string number_text(double v);
// The channel's name, or "Channel N" when the file gives none.
[[nodiscard]] std::string display_name(const ChannelSpec &spec, int channel);

// ISO 8601 UTC with microseconds (truncated) of a CLOCK_REALTIME time in ns.
[[nodiscard]] std::string iso_time(std::int64_t wall_ns);

// The CSV header for a recording with or without the value column.
[[nodiscard]] std::string_view csv_header(bool with_value);

// Appends the sample's line, newline included. With `config` given (and
// config->given), the value column too.
void append_csv_line(std::string &out, const vx7_sample &s, const ChannelConfig *config = nullptr);
void append_jsonl_line(std::string &out, const vx7_sample &s, const ChannelConfig *config = nullptr);

// The JSON object of a sample as the gateway's event stream and history
// API carry it: time, elapsed_ms, channel, volts and, for a configured
// channel, value, unit, name and (when it has limits) alarm ("low", "high"
// or null).
[[nodiscard]] std::string sample_event_json(const vx7_sample &s, const ChannelConfig *config = nullptr);

// Whether `line` (without its newline) is the first line of a recording in
// that format that more lines may be appended to: the CSV header, or a JSON
// object with the four fields; with `with_value`, the value column too (and
// without it, none).
[[nodiscard]] bool csv_first_line_ok(std::string_view line, bool with_value = false);
[[nodiscard]] bool jsonl_first_line_ok(std::string_view line, bool with_value = false);

} // namespace vx7::lines

#endif
