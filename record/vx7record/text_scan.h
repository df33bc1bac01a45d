// Character tests and scans behind the record's number parse (record.h's
// parse_value): the C locale's classes, written out so that no locale is
// consulted. Part of the record unit; include "vx7record/record.h".
#ifndef VX7RECORD_TEXT_SCAN_H
#define VX7RECORD_TEXT_SCAN_H

#include <cstddef>
#include <span>
#include <string_view>

namespace vx7::record {

namespace detail {

constexpr bool is_c_space(char c)
{
    return c == ' ' || (c >= '\t' && c <= '\r');
}

constexpr bool is_digit(char c)
{
    return c >= '0' && c <= '9';
}

constexpr bool is_hex_digit(char c)
{
    return is_digit(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

constexpr char lower(char c)
{
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

// Whether rec[i...] begins with `word` (lower case), ignoring case.
template <std::size_t kSize>
constexpr bool starts_with_word(std::span<const char, kSize> rec, std::size_t i, std::string_view word)
{
    if (kSize - i < word.size())
        return false;
    for (std::size_t k = 0; k < word.size(); ++k) {
        if (lower(rec[i + k]) != word[k])
            return false;
    }
    return true;
}

// Reads an optionally signed run of decimal digits at rec[i...] as an
// exponent, saturated far beyond any exponent that changes a result. Leaves
// `i` unchanged and returns false when there are no digits.
template <std::size_t kSize>
constexpr bool parse_exponent(std::span<const char, kSize> rec, std::size_t &i, long &out)
{
    std::size_t k = i;
    bool negative = false;
    if (k < kSize && (rec[k] == '+' || rec[k] == '-'))
        negative = rec[k++] == '-';
    if (k == kSize || !is_digit(rec[k]))
        return false;
    long v = 0;
    for (; k < kSize && is_digit(rec[k]); ++k) {
        if (v < 1000000)
            v = v * 10 + (rec[k] - '0');
    }
    out = negative ? -v : v;
    i = k;
    return true;
}

// Writes `v` in decimal (a minus sign first when negative) at buf[n...];
// returns the new end. `v` is an exponent, saturated far within the range of
// long: at most 8 characters.
template <std::size_t kBufSize>
constexpr std::size_t append_exponent(char (&buf)[kBufSize], std::size_t n, long v)
{
    if (v < 0) {
        buf[n++] = '-';
        v = -v;
    }
    char digits[20];
    std::size_t k = 0;
    do {
        digits[k++] = static_cast<char>('0' + v % 10);
        v /= 10;
    } while (v > 0);
    while (k > 0)
        buf[n++] = digits[--k];
    return n;
}

} // namespace detail

} // namespace vx7::record

#endif
