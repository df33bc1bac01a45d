// The reference for the record's one rule (record.h's read_value), written
// with the C library: what a reader must make of a channel file's 100 bytes.
// A value only when the bytes before the sequence word hold, up to the first
// NUL, exactly "<number>\t<digits>\t", the number a decimal one of at most
// 31 characters that strtod reads whole and finds finite, the digits 1-20
// that strtoull reads within 64 bits.
#ifndef VX7_FUZZ_RECORD_ORACLE_H
#define VX7_FUZZ_RECORD_ORACLE_H

#include <cerrno>
#include <clocale>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

namespace vx7fuzz {

struct Expected {
    double volts = 0;
    std::uint64_t elapsed = 0;
    std::string text; // the volts text
};

inline bool expected_value(const char *bytes, Expected &out)
{
    constexpr std::size_t kBeforeWord = 88;
    const void *nul = std::memchr(bytes, '\0', kBeforeWord);
    if (nul == nullptr)
        return false;
    const std::string record(bytes, static_cast<const char *>(nul));
    const std::size_t tab1 = record.find('\t');
    if (tab1 == std::string::npos || tab1 == 0 || tab1 > 31)
        return false;
    const std::string number = record.substr(0, tab1);
    // Only the characters of a decimal number, in the order strtod needs
    // them (no white space, no hexadecimal, no "inf" or "nan").
    if (number.find_first_not_of("+-.0123456789eE") != std::string::npos)
        return false;
    if (number.find_first_of("+-", 1) != std::string::npos) {
        const std::size_t e = number.find_first_of("eE");
        if (e == std::string::npos || number.find_first_of("+-", 1) != e + 1 ||
            number.find_first_of("+-", e + 2) != std::string::npos)
            return false;
    }
    errno = 0;
    char *end = nullptr;
    const double v = std::strtod(number.c_str(), &end);
    if (end != number.c_str() + number.size() || !std::isfinite(v))
        return false;
    const std::size_t tab2 = record.find('\t', tab1 + 1);
    if (tab2 == std::string::npos || tab2 != record.size() - 1)
        return false;
    const std::string digits = record.substr(tab1 + 1, tab2 - tab1 - 1);
    if (digits.empty() || digits.size() > 20 || digits.find_first_not_of("0123456789") != std::string::npos)
        return false;
    errno = 0;
    const unsigned long long e = std::strtoull(digits.c_str(), nullptr, 10);
    if (errno == ERANGE)
        return false;
    out.volts = v;
    out.elapsed = e;
    out.text = number;
    return true;
}

} // namespace vx7fuzz

#endif
