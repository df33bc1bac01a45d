#include "vx7settings/settings.h"

#include "vx7/vx7.h"

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <iterator>
#include <locale.h>

namespace vx7::settings {
namespace {

constexpr const char *kConfigureMeaning[] = {
    "OK",
    "failed open device",
    "wrong channel (must be 0 - 3)",
    "can not set frequency",
    "can not set range",
    "can not set calibration",
    "can not set subchannel",
    "can not apply changes",
};

constexpr const char *kCalibrationNames[] = {"none",  "auto",       "ext-zero", "ext-range",
                                             "mixed", "background", "int-zero", "int-range"};
constexpr const char *kInputNames[] = {"a", "b", "gnd", "test"};

std::string normalised_name(std::string_view s)
{
    std::string r(s);
    for (char &c : r) {
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
        else if (c == '_')
            c = '-';
    }
    return r;
}

// A name from `names` (case-insensitive, "_" as "-") or its index as a number.
template <std::size_t N>
bool parse_choice(std::string_view s, const char *const (&names)[N], std::uint8_t &out)
{
    const std::string l = normalised_name(s);
    for (std::size_t i = 0; i < N; ++i) {
        if (l == names[i]) {
            out = static_cast<std::uint8_t>(i);
            return true;
        }
    }
    unsigned long long v = 0;
    if (parse_uint(s, N - 1, v)) {
        out = static_cast<std::uint8_t>(v);
        return true;
    }
    return false;
}

std::string must_be(std::string_view name, const char *what, std::string_view text)
{
    std::string m(name);
    m += " must be ";
    m += what;
    m += ", not '";
    m += text;
    m += "'";
    return m;
}

} // namespace

bool parse_uint(std::string_view s, unsigned long long max, unsigned long long &out)
{
    if (s.empty() || s.size() > 20)
        return false;
    unsigned long long v = 0;
    for (char c : s) {
        if (c < '0' || c > '9')
            return false;
        const auto d = static_cast<unsigned long long>(c - '0');
        if (d > max || v > (max - d) / 10)
            return false;
        v = v * 10 + d;
    }
    out = v;
    return true;
}

bool parse_real(std::string_view s, double &out)
{
    if (s.empty() || s.size() > 64 || s.front() == ' ' || s.front() == '\t')
        return false;
    const std::string text(s);
    // The C locale's "." whatever the program's locale: a gateway or a
    // script must not read "1.5" as 1 under a decimal-comma locale.
    const locale_t c_locale = ::newlocale(LC_ALL_MASK, "C", static_cast<locale_t>(nullptr));
    if (c_locale == static_cast<locale_t>(nullptr))
        return false;
    char *end = nullptr;
    errno = 0;
    const double v = ::strtod_l(text.c_str(), &end, c_locale);
    const int err = errno;
    ::freelocale(c_locale);
    if (end != text.c_str() + text.size() || !std::isfinite(v) || err == ERANGE)
        return false;
    out = v;
    return true;
}

std::string check_channel(std::string_view name, std::string_view text, std::uint8_t &device_channel)
{
    unsigned long long n = 0;
    if (!parse_uint(text, 4, n) || n < 1)
        return must_be(name, "1-4 (channels are numbered 1-4; channel 1 is the first input)", text);
    device_channel = static_cast<std::uint8_t>(n - 1);
    return {};
}

std::string check_freq(std::string_view name, std::string_view text, std::uint16_t &out)
{
    unsigned long long n = 0;
    if (!parse_uint(text, 65535, n))
        return must_be(name, "0-65535 Hz", text);
    out = static_cast<std::uint16_t>(n);
    return {};
}

std::string check_range(std::string_view name, std::string_view text, float &out)
{
    double volts = 0;
    if (!parse_real(text, volts) || volts < 0 || volts > VX7_MAX_RANGE) {
        char what[32];
        std::snprintf(what, sizeof what, "0-%g V", double{VX7_MAX_RANGE});
        return must_be(name, what, text);
    }
    const auto range = static_cast<float>(volts);
    // A voltage too small for a float would reach the library as 0, "leave
    // the range unchanged".
    if (volts > 0 && !(range > 0.0f))
        return std::string(name) + " " + std::string(text) + " V is too small";
    out = range;
    return {};
}

std::string check_calibrate(std::string_view name, std::string_view text, std::uint8_t &out)
{
    if (!parse_choice(text, kCalibrationNames, out))
        return must_be(name, "none, auto, ext-zero, ext-range, mixed, background, int-zero, int-range or 0-7", text);
    return {};
}

std::string check_input(std::string_view name, std::string_view text, std::uint8_t &out)
{
    if (!parse_choice(text, kInputNames, out))
        return must_be(name, "A, B, GND, test or 0-3", text);
    return {};
}

const char *configure_meaning(unsigned code)
{
    return code < std::size(kConfigureMeaning) ? kConfigureMeaning[code] : "unknown result";
}

} // namespace vx7::settings
