#include "sample_lines.h"

#include <nlohmann/json.hpp>

#include <cstdio>
#include <ctime>

namespace vx7::lines {

namespace {

const ChannelSpec kUnconfigured{false, "", "V", 1.0, 0.0, false, 0.0, false, 0.0};

// The value field of a line: scaled volts, or null/empty without a value.
bool line_value(const vx7_sample &s, const ChannelConfig *config, double &value)
{
    if (s.has_value == 0)
        return false;
    value = scaled(config->of(s.channel), s.volts);
    return true;
}

} // namespace

const ChannelSpec &ChannelConfig::of(int channel) const
{
    if (channel < 1 || channel > static_cast<int>(channels.size()))
        return kUnconfigured;
    return channels[static_cast<std::size_t>(channel - 1)];
}

double scaled(const ChannelSpec &spec, double volts)
{
    return volts * spec.scale + spec.offset;
}

Alarm alarm(const ChannelSpec &spec, double value)
{
    if (spec.has_min && value < spec.min)
        return Alarm::Low;
    if (spec.has_max && value > spec.max)
        return Alarm::High;
    return Alarm::None;
}

const char *alarm_text(Alarm a)
{
    switch (a) {
    case Alarm::Low:
        return "low";
    case Alarm::High:
        return "high";
    case Alarm::None:
        break;
    }
    return "";
}

std::string number_text(double v)
{
    char buf[40];
    std::snprintf(buf, sizeof buf, "%.11e", v);
    return buf;
}

std::string display_name(const ChannelSpec &spec, int channel)
{
    return spec.name.empty() ? "Channel " + std::to_string(channel) : spec.name;
}

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

std::string_view csv_header(bool with_value)
{
    return with_value ? kCsvHeaderWithValue : kCsvHeader;
}

void append_csv_line(std::string &out, const vx7_sample &s, const ChannelConfig *config)
{
    out += iso_time(s.wall_ns);
    char fields[96];
    if (s.has_value)
        std::snprintf(fields, sizeof fields, ",%llu,%d,%s", static_cast<unsigned long long>(s.elapsed_ms),
                      static_cast<int>(s.channel), s.text);
    else
        std::snprintf(fields, sizeof fields, ",,%d,", static_cast<int>(s.channel));
    out += fields;
    if (config != nullptr && config->given) {
        out += ',';
        double value = 0.0;
        if (line_value(s, config, value))
            out += number_text(value);
    }
    out += '\n';
}

void append_jsonl_line(std::string &out, const vx7_sample &s, const ChannelConfig *config)
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
    if (config != nullptr && config->given) {
        double value = 0.0;
        if (line_value(s, config, value))
            j["value"] = value;
        else
            j["value"] = nullptr;
    }
    out += j.dump();
    out += '\n';
}

std::string sample_event_json(const vx7_sample &s, const ChannelConfig *config)
{
    nlohmann::ordered_json j = {
        {"time", iso_time(s.wall_ns)}, {"elapsed_ms", s.elapsed_ms}, {"channel", s.channel}, {"volts", s.volts}};
    if (config != nullptr) {
        const ChannelSpec &spec = config->of(s.channel);
        if (spec.configured) {
            const double value = scaled(spec, s.volts);
            j["value"] = value;
            j["unit"] = spec.unit;
            j["name"] = display_name(spec, s.channel);
            if (spec.has_min || spec.has_max) {
                const Alarm a = alarm(spec, value);
                j["alarm"] = a == Alarm::None ? nlohmann::ordered_json(nullptr) : nlohmann::ordered_json(alarm_text(a));
            }
        }
    }
    return j.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace);
}

bool csv_first_line_ok(std::string_view line, bool with_value)
{
    const std::string_view header = csv_header(with_value);
    return line == header.substr(0, header.size() - 1);
}

bool jsonl_first_line_ok(std::string_view line, bool with_value)
{
    const auto j = nlohmann::json::parse(line, nullptr, false);
    if (!j.is_object())
        return false;
    for (const char *key : {"time", "elapsed_ms", "channel", "volts"}) {
        if (!j.contains(key))
            return false;
    }
    return j.contains("value") == with_value;
}

} // namespace vx7::lines
