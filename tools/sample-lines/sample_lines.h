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
#ifndef VX7_SAMPLE_LINES_H
#define VX7_SAMPLE_LINES_H

#include "vx7/stream.h"

#include <cstdint>
#include <string>
#include <string_view>

namespace vx7::lines {

inline constexpr std::string_view kCsvHeader = "time,elapsed_ms,channel,volts\n";

// ISO 8601 UTC with microseconds (truncated) of a CLOCK_REALTIME time in ns.
[[nodiscard]] std::string iso_time(std::int64_t wall_ns);

// Appends the sample's line, newline included.
void append_csv_line(std::string &out, const vx7_sample &s);
void append_jsonl_line(std::string &out, const vx7_sample &s);

// Whether `line` (without its newline) is the first line of a recording in
// that format that more lines may be appended to: the CSV header, or a JSON
// object with the four fields.
[[nodiscard]] bool csv_first_line_ok(std::string_view line);
[[nodiscard]] bool jsonl_first_line_ok(std::string_view line);

} // namespace vx7::lines

#endif
