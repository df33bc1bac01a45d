#include "sample_lines.h"

#include <nlohmann/json.hpp>

#include <charconv>
#include <chrono>
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

} // namespace

// By the calendar arithmetic of <chrono> and plain digits: a line is made
// for every sample, and gmtime_r and the printf family cost far more.
std::string iso_time(std::int64_t wall_ns)
{
    using namespace std::chrono;
    const sys_time<nanoseconds> t{nanoseconds{wall_ns}};
    const sys_days day = floor<days>(t);
    const year_month_day date{day};
    const int year = static_cast<int>(date.year());
    if (year < 0 || year > 9999)
        return "0000-00-00T00:00:00.000000Z";
    const hh_mm_ss<microseconds> time{floor<microseconds>(t - day)};
    char buf[28];
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
    return std::string(buf, p);
}

// An integer in decimal, appended.
template <class Int>
void append_number(std::string &out, Int v)
{
    char digits[24];
    out.append(digits, std::to_chars(digits, digits + sizeof digits, v).ptr);
}

void append_csv_line(std::string &out, const vx7_sample &s)
{
    out += iso_time(s.wall_ns);
    out += ',';
    if (s.has_value)
        append_number(out, static_cast<unsigned long long>(s.elapsed_ms));
    out += ',';
    append_number(out, static_cast<int>(s.channel));
    out += ',';
    if (s.has_value)
        out.append(s.text, ::strnlen(s.text, sizeof s.text));
    out += '\n';
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
