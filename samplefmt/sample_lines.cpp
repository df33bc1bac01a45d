#include "vx7samplefmt/sample_lines.h"

#include <nlohmann/json.hpp>

#include <charconv>
#include <chrono>
#include <cstdio>
#include <cstring>

namespace vx7::lines {

namespace {

// `v` in decimal, `width` digits with leading zeros, at `p`.
char *put_digits(char *p, unsigned long long v, int width)
{
    for (int i = width - 1; i >= 0; --i) {
        p[i] = static_cast<char>('0' + v % 10);
        v /= 10;
    }
    return p + width;
}

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

// By the calendar arithmetic of <chrono> and plain digits: a line is made
// for every sample, and gmtime_r and the printf family cost far more. Into
// `buf`, without allocating; returns the text's length.
namespace {

constexpr std::size_t kIsoTimeSize = 27;

std::size_t put_iso_time(char (&buf)[kIsoTimeSize + 1], std::int64_t wall_ns)
{
    using namespace std::chrono;
    const sys_time<nanoseconds> t{nanoseconds{wall_ns}};
    const sys_days day = floor<days>(t);
    const year_month_day date{day};
    const int year = static_cast<int>(date.year());
    if (year < 0 || year > 9999) {
        std::memcpy(buf, "0000-00-00T00:00:00.000000Z", kIsoTimeSize);
        return kIsoTimeSize;
    }
    const hh_mm_ss<microseconds> time{floor<microseconds>(t - day)};
    char *p = put_digits(buf, static_cast<unsigned>(year), 4);
    *p++ = '-';
    p = put_digits(p, static_cast<unsigned>(date.month()), 2);
    *p++ = '-';
    p = put_digits(p, static_cast<unsigned>(date.day()), 2);
    *p++ = 'T';
    p = put_digits(p, static_cast<unsigned long long>(time.hours().count()), 2);
    *p++ = ':';
    p = put_digits(p, static_cast<unsigned long long>(time.minutes().count()), 2);
    *p++ = ':';
    p = put_digits(p, static_cast<unsigned long long>(time.seconds().count()), 2);
    *p++ = '.';
    p = put_digits(p, static_cast<unsigned long long>(time.subseconds().count()), 6);
    *p++ = 'Z';
    return static_cast<std::size_t>(p - buf);
}

} // namespace

std::string iso_time(std::int64_t wall_ns)
{
    char buf[kIsoTimeSize + 1];
    return std::string(buf, put_iso_time(buf, wall_ns));
}

// An integer in decimal, appended.
template <class Int>
void append_number(std::string &out, Int v)
{
    char digits[24];
    out.append(digits, std::to_chars(digits, digits + sizeof digits, v).ptr);
}

std::string_view csv_header(bool with_value)
{
    return with_value ? kCsvHeaderWithValue : kCsvHeader;
}

void append_csv_line(std::string &out, const vx7_sample &s, const ChannelConfig *config)
{
    char time[kIsoTimeSize + 1];
    out.append(time, put_iso_time(time, s.wall_ns));
    out += ',';
    if (s.has_value)
        append_number(out, static_cast<unsigned long long>(s.elapsed_ms));
    out += ',';
    append_number(out, static_cast<int>(s.channel));
    out += ',';
    if (s.has_value)
        out.append(s.text, ::strnlen(s.text, sizeof s.text));
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
