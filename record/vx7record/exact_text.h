// The record's volts without the C library's formatter: as "%.11e" prints
// them, digit for digit, for the values a record carries. The driver formats
// a record every cycle, after sleeping 10 ms with its caches gone cold; snprintf's floating-point path costs it
// more than the rest of its cycle's work (about 12 us against 1 us here).
//
// The volts are converted exactly: a finite double is m * 2^q with an integer
// m below 2^53, so its 12 significant digits are the integer part of
// m * 10^k / 2^-q (k = 11 - the decimal exponent), rounded half to even on the
// remainder, as the C library rounds in the default rounding mode. That
// integer arithmetic fits 128 bits for every magnitude from 1e-11 to below
// 1e12, which covers every value a report can carry (2.3e-9 to 2.5 V). Zero
// is written directly; for anything else (larger, smaller, infinite, not a
// number) or on a compiler without 128-bit integers, put_e11 declines and
// the caller uses the C library.
#ifndef VX7RECORD_EXACT_TEXT_H
#define VX7RECORD_EXACT_TEXT_H

#include <bit>
#include <cstddef>
#include <cstdint>

namespace vx7::record::exact {

// The longest "%.11e" text this file writes: sign, 13 digits and point,
// "e", exponent sign and up to two exponent digits ("-1.23456789012e-11").
inline constexpr std::size_t kVoltsTextMax = 18;

namespace detail {

// Writes "d.ddddddddddde±XX" for the 12-digit `digits` (10^11 <= digits <
// 10^12, or 0 for zero) and the decimal exponent `e10` (-99 to 99).
inline std::size_t put_e11(char *out, bool negative, std::uint64_t digits, int e10)
{
    std::size_t n = 0;
    if (negative)
        out[n++] = '-';
    char d[12];
    for (int i = 11; i >= 0; --i) {
        d[i] = static_cast<char>('0' + digits % 10);
        digits /= 10;
    }
    out[n++] = d[0];
    out[n++] = '.';
    for (int i = 1; i < 12; ++i)
        out[n++] = d[i];
    out[n++] = 'e';
    out[n++] = e10 < 0 ? '-' : '+';
    const unsigned mag = static_cast<unsigned>(e10 < 0 ? -e10 : e10);
    out[n++] = static_cast<char>('0' + mag / 10);
    out[n++] = static_cast<char>('0' + mag % 10);
    return n;
}

} // namespace detail

// Writes `v` as "%.11e" prints it at `out` (at least kVoltsTextMax bytes, no
// NUL written) and returns the length, or 0 where it declines (see above).
inline std::size_t put_e11(char *out, double v)
{
    const auto bits = std::bit_cast<std::uint64_t>(v);
    const bool negative = (bits >> 63) != 0;
    const int biased = static_cast<int>((bits >> 52) & 0x7FF);
    const std::uint64_t fraction = bits & ((std::uint64_t{1} << 52) - 1);
    if (biased == 0 && fraction == 0)
        return detail::put_e11(out, negative, 0, 0); // "0.00000000000e+00"
#if defined(__SIZEOF_INT128__)
    __extension__ using u128 = unsigned __int128;
    if (biased == 0 || biased == 0x7FF)
        return 0; // subnormal, infinite or not a number
    const std::uint64_t m = fraction | std::uint64_t{1} << 52;
    const int shift = 1075 - biased; // v = m / 2^shift
    if (shift <= 0 || shift >= 128)
        return 0;
    // The decimal exponent, first estimated from the binary one (log10(2) is
    // a little above 78913 / 2^18), then set right by the digits' count.
    const int e2 = biased - 1023;
    int e10 = (e2 * 78913) >> 18;
    constexpr std::uint64_t kLow = 100000000000;   // 10^11
    constexpr std::uint64_t kHigh = 1000000000000; // 10^12
    for (int tries = 0; tries < 3; ++tries) {
        const int k = 11 - e10; // digits = v * 10^k, 12 of them before the point
        if (k < 0 || k > 22)
            return 0; // 10^22 * m stays below 2^128; beyond, decline
        u128 scale = 1;
        for (int i = 0; i < k; ++i)
            scale *= 10;
        const u128 product = scale * m;
        const u128 whole = product >> shift;
        if (whole >= kHigh) {
            ++e10;
            continue;
        }
        if (whole < kLow) {
            --e10;
            continue;
        }
        auto digits = static_cast<std::uint64_t>(whole);
        const u128 rest = product - (whole << shift);
        const u128 half = u128{1} << (shift - 1);
        if (rest > half || (rest == half && (digits & 1) != 0))
            ++digits;
        if (digits == kHigh) { // 9.99999999999|5 went up to 10
            digits = kLow;
            ++e10;
        }
        return detail::put_e11(out, negative, digits, e10);
    }
    return 0;
#else
    return 0;
#endif
}

} // namespace vx7::record::exact

#endif
