// The channel file's record: its format, its writing and its reading, shared
// by the acquisition driver (the one writer) and every reader (libvx7,
// vx7ctl, the sample stream).
//
// Channel file: 100 bytes, spaces when it holds no value. The record at byte 0
// is "<volts %.11e>\t<elapsed ms %lu>\t" ended by a NUL; bytes after the NUL
// are leftovers of earlier, longer records or of the initial fill.
//
// Header-only and free of platform conditionals: the Windows driver uses the
// same writing code (with its own formatter, see driver/windows), readers on
// every platform the same reading code.
#ifndef VX7RECORD_RECORD_H
#define VX7RECORD_RECORD_H

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <span>
#include <string_view>

namespace vx7::record {

inline constexpr std::size_t kSize = 100; // bytes in a channel file
inline constexpr int kChannels = 4;
inline constexpr char kFormat[] = "%.11e\t%lu\t";

// What the project's readers return for a channel that holds no value, or
// whose file cannot be read: far outside anything the device reports.
inline constexpr double kNoValue = -1e10;

// The readers' default channel files: channel n (1-4) is
// "/home/dev/vx7/adc<n>.adc", the template with its "1" replaced by n.
inline constexpr char kReaderPathTemplate[] = "/home/dev/vx7/adc1.adc";
inline constexpr std::size_t kReaderPathDigit = 17; // the "1" of "adc1"
using ReaderPath = std::array<char, sizeof kReaderPathTemplate>;

[[nodiscard]] constexpr ReaderPath reader_path(int channel)
{
    ReaderPath path{};
    for (std::size_t i = 0; i < path.size(); ++i)
        path[i] = kReaderPathTemplate[i];
    path[kReaderPathDigit] = static_cast<char>('0' + channel);
    return path;
}

// ---- writing ----------------------------------------------------------------

// A record as it is about to be published: formatted into a local buffer
// first, so that the mapping is changed by a single copy of record and NUL.
struct Text {
    char bytes[kSize];
    std::size_t length; // characters before the NUL
};

// Ends a formatter's output: `n` is what the formatter returned; the text is
// cut to fit, and its NUL set.
[[nodiscard]] inline Text finish_text(Text t, int n)
{
    t.length = n < 0 ? 0 : (static_cast<std::size_t>(n) < kSize ? static_cast<std::size_t>(n) : kSize - 1);
    t.bytes[t.length] = '\0';
    return t;
}

// The record of a sample as the C library formats it (two exponent digits).
[[nodiscard]] inline Text format(double volts, unsigned long elapsed_ms)
{
    Text t;
    const int n = std::snprintf(t.bytes, kSize, kFormat, volts, elapsed_ms);
    return finish_text(t, n);
}

// Writes the record and its NUL at byte 0 of a channel file's mapping; the
// bytes behind the NUL are left as they are.
inline void publish(char *mapped, const Text &t)
{
    std::memcpy(mapped, t.bytes, t.length + 1);
}

// Sets all bytes of a channel file's mapping to spaces: "no value".
inline void blank(char *mapped)
{
    std::memset(mapped, ' ', kSize);
}

// ---- reading ----------------------------------------------------------------

// How many times a reader copies a record at most while looking for two
// consecutive copies that agree.
inline constexpr int kMaxCopies = 16;

// Copies a record out of a mapping that the driver may be rewriting at the
// same moment: copies until two consecutive copies agree (at most kMaxCopies
// copies) and leaves the last copy in `out`. Returns the number of copies.
// The bytes are read through a volatile pointer, so that every copy reads the
// shared memory afresh instead of reusing what the compiler knows.
inline int copy_stable(const char *mapped, std::span<char, kSize> out)
{
    const volatile char *src = mapped;
    const auto copy_once = [&] {
        for (std::size_t i = 0; i < kSize; ++i)
            out[i] = src[i];
    };
    copy_once();
    int copies = 1;
    char previous[kSize];
    while (copies < kMaxCopies) {
        std::memcpy(previous, out.data(), kSize);
        copy_once();
        ++copies;
        if (std::memcmp(previous, out.data(), kSize) == 0)
            break;
    }
    return copies;
}

// The volts text of a record: the characters before its first tab, as the
// driver wrote them. Empty when the record has no tab before its NUL (no
// value, or text that is not a record).
[[nodiscard]] constexpr std::string_view value_text(std::span<const char, kSize> rec)
{
    for (std::size_t i = 0; i < kSize && rec[i] != '\0'; ++i) {
        if (rec[i] == '\t')
            return {rec.data(), i};
    }
    return {};
}

// Parses the elapsed-milliseconds field of a record: the decimal digits
// between its first and its second tab, before the record's NUL. Returns
// false when the record has no such field (no value, or torn text) or its
// value does not fit 64 bits.
[[nodiscard]] constexpr bool parse_elapsed(std::span<const char, kSize> rec, std::uint64_t &out)
{
    std::size_t i = 0;
    while (i < kSize && rec[i] != '\t' && rec[i] != '\0')
        ++i;
    if (i == kSize || rec[i] != '\t')
        return false;
    std::uint64_t v = 0;
    std::size_t digits = 0;
    for (++i; i < kSize && rec[i] >= '0' && rec[i] <= '9'; ++i, ++digits) {
        const auto d = static_cast<std::uint64_t>(rec[i] - '0');
        if (v > (UINT64_MAX - d) / 10)
            return false;
        v = v * 10 + d;
    }
    if (digits == 0 || i == kSize || rec[i] != '\t')
        return false;
    out = v;
    return true;
}

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

} // namespace detail

// Parses the leading number of a record as the "%lf" conversion does in the
// C locale (the driver always writes "." as decimal point), looking at no
// byte beyond the record: leading white space is skipped and the longest
// prefix that forms a decimal or hexadecimal floating-point number, an
// infinity or a NaN is converted. Returns false when the record holds no
// number, as when it is all spaces.
//
// The number is handed to strtod rewritten without its point (its digits,
// then an exponent lowered by the count of digits behind the point), which
// reads the same in every locale; strtod does the correctly rounded
// conversion. Allocates nothing and is safe from any thread.
[[nodiscard]] inline bool parse_value(std::span<const char, kSize> rec, double &out)
{
    // Sign, up to 100 digits, exponent letter and a saturated exponent.
    char text[kSize + 16];
    std::size_t n = 0;
    std::size_t i = 0;
    while (i < kSize && detail::is_c_space(rec[i]))
        ++i;
    if (i < kSize && (rec[i] == '+' || rec[i] == '-'))
        text[n++] = rec[i++];

    if (detail::starts_with_word(rec, i, "inf") || detail::starts_with_word(rec, i, "nan")) {
        // Letters, digits, parentheses: strtod takes what forms an infinity
        // or a NaN and stops, the same in every locale once in lower case.
        for (; i < kSize && rec[i] != '\0'; ++i)
            text[n++] = detail::lower(rec[i]);
        text[n] = '\0';
        char *end = nullptr;
        const double v = std::strtod(text, &end);
        if (end == text)
            return false;
        out = v;
        return true;
    }

    const bool hex = kSize - i >= 2 && rec[i] == '0' && detail::lower(rec[i + 1]) == 'x' &&
                     ((kSize - i > 2 && detail::is_hex_digit(rec[i + 2])) ||
                      (kSize - i > 3 && rec[i + 2] == '.' && detail::is_hex_digit(rec[i + 3])));
    const auto is_mantissa_digit = hex ? detail::is_hex_digit : detail::is_digit;
    if (hex) {
        text[n++] = '0';
        text[n++] = 'x';
        i += 2;
    }
    std::size_t digits = 0;
    long after_point = 0;
    for (; i < kSize && is_mantissa_digit(rec[i]); ++i, ++digits)
        text[n++] = rec[i];
    if (i < kSize && rec[i] == '.') {
        for (++i; i < kSize && is_mantissa_digit(rec[i]); ++i, ++digits, ++after_point)
            text[n++] = rec[i];
    }
    if (digits == 0)
        return false;

    long exponent = 0;
    if (i < kSize && detail::lower(rec[i]) == (hex ? 'p' : 'e')) {
        std::size_t k = i + 1;
        if (detail::parse_exponent(rec, k, exponent))
            i = k;
    }
    // A hexadecimal digit behind the point is worth four binary places.
    exponent -= hex ? 4 * after_point : after_point;
    const int written = std::snprintf(text + n, sizeof text - n, hex ? "p%ld" : "e%ld", exponent);
    if (written < 0 || static_cast<std::size_t>(written) >= sizeof text - n)
        return false;
    char *end = nullptr;
    const double v = std::strtod(text, &end);
    if (end == text)
        return false;
    out = v;
    return true;
}

} // namespace vx7::record

#endif
