#include "sample_lines.h"

#include <nlohmann/json.hpp>

#include <cstdio>
#include <ctime>

namespace vx7::lines {

std::string iso_time(std::int64_t wall_ns)
{
    constexpr std::int64_t kNsPerSecond = 1000000000;
    std::int64_t seconds = wall_ns / kNsPerSecond;
    std::int64_t ns = wall_ns % kNsPerSecond;
    if (ns < 0) {
        ns += kNsPerSecond;
        --seconds;
    }
    const auto t = static_cast<std::time_t>(seconds);
    std::tm utc{};
    if (gmtime_r(&t, &utc) == nullptr)
        return "0000-00-00T00:00:00.000000Z";
    char buf[64];
    std::snprintf(buf, sizeof buf, "%04d-%02d-%02dT%02d:%02d:%02d.%06dZ", utc.tm_year + 1900, utc.tm_mon + 1,
                  utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec, static_cast<int>(ns / 1000));
    return buf;
}

void append_csv_line(std::string &out, const vx7_sample &s)
{
    out += iso_time(s.wall_ns);
    char fields[96];
    if (s.has_value)
        std::snprintf(fields, sizeof fields, ",%llu,%d,%s\n", static_cast<unsigned long long>(s.elapsed_ms),
                      static_cast<int>(s.channel), s.text);
    else
        std::snprintf(fields, sizeof fields, ",,%d,\n", static_cast<int>(s.channel));
    out += fields;
}

void append_jsonl_line(std::string &out, const vx7_sample &s)
{
    nlohmann::ordered_json j;
    j["time"] = iso_time(s.wall_ns);
    if (s.has_value)
        j["elapsed_ms"] = s.elapsed_ms;
    else
        j["elapsed_ms"] = nullptr;
    j["channel"] = s.channel;
    if (s.has_value)
        j["volts"] = s.volts;
    else
        j["volts"] = nullptr;
    out += j.dump();
    out += '\n';
}

bool csv_first_line_ok(std::string_view line)
{
    return line == kCsvHeader.substr(0, kCsvHeader.size() - 1);
}

bool jsonl_first_line_ok(std::string_view line)
{
    const auto j = nlohmann::json::parse(line, nullptr, false);
    if (!j.is_object())
        return false;
    for (const char *key : {"time", "elapsed_ms", "channel", "volts"}) {
        if (!j.contains(key))
            return false;
    }
    return true;
}

} // namespace vx7::lines
