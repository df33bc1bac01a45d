// The vx7 sample report and the channel file's record: the one definition that
// the driver (writer, Linux and Windows) and libvx7 (reader) share.
//
// Sample report, 4 bytes: byte 0 = marker 100 (bits 7-5), range exponent n
// (bits 4-2), channel index (bits 1-0); bytes 1-3 = 24-bit offset-binary
// sample, most significant byte first.
//
// Channel file: 100 bytes, spaces when it holds no value. The record at byte 0
// is "<volts %.11e>\t<elapsed ms %lu>\t" ended by a NUL; bytes after the NUL
// are leftovers of earlier, longer records or of the initial fill.
#ifndef VX7_DRIVER_RECORD_H
#define VX7_DRIVER_RECORD_H

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <span>

#ifndef _WIN32
#include <clocale>
#include <cstdlib>
#include <locale.h>
#endif

namespace vx7::record {

inline constexpr std::size_t kSize = 100;    // bytes in a channel file
inline constexpr char kFormat[] = "%.11e\t%lu\t";
inline constexpr int kChannels = 4;

// The double nearest to 2.5 / 8388607: raw 8388607 is exactly 2.5 V.
inline constexpr double kVoltsPerCount = std::bit_cast<double>(std::uint64_t{0x3E94000028000050});
inline constexpr double kFullScaleVolts = 2.5;

struct Sample {
    int channel;  // 0-3
    int exponent; // 0-7: the value was divided by 2^exponent
    double volts;
};

// Decodes a 4-byte report. Returns false when its marker bits say it carries
// no sample (the device may answer with other reports between samples).
[[nodiscard]] constexpr bool decode_sample(std::span<const std::uint8_t, 4> report, Sample &out)
{
    if ((report[0] & 0xE0) != 0x80)
        return false;
    out.channel = report[0] & 3;
    out.exponent = (report[0] >> 2) & 7;
    const std::int32_t raw = (std::int32_t{report[1]} << 16 | std::int32_t{report[2]} << 8 | report[3]) - 0x800000;
    double v = raw * kVoltsPerCount;
    for (int i = 0; i < out.exponent; ++i)
        v *= 0.5;
    out.volts = v;
    return true;
}

// A record as it is about to be published: formatted into a local buffer
// first, so that the mapping is changed by a single copy of record and NUL.
struct Text {
    char bytes[kSize];
    std::size_t length; // characters before the NUL
};

[[nodiscard]] inline Text format(double volts, unsigned long elapsed_ms)
{
    Text t;
#ifdef _WIN32
    // The record is what the platform runtime's formatter writes: msvcrt's
    // gives the exponent three digits (2.50000000000e+000). mingw-w64 routes
    // snprintf in C++ to its own formatter, which gives two, so the runtime's
    // _snprintf is called by name. A record never comes near the limit, so
    // its missing NUL on overflow does not matter (the NUL is set below).
    const int n = ::_snprintf(t.bytes, kSize - 1, kFormat, volts, elapsed_ms);
#else
    const int n = std::snprintf(t.bytes, kSize, kFormat, volts, elapsed_ms);
#endif
    t.length = n < 0 ? 0 : (static_cast<std::size_t>(n) < kSize ? static_cast<std::size_t>(n) : kSize - 1);
    t.bytes[t.length] = '\0';
    return t;
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

// Parses the elapsed-milliseconds field of a record: the decimal digits
// between its first and its second tab, before the record's NUL. Returns
// false when the record has no such field (no value, or torn text).
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

#ifndef _WIN32
// Parses the leading number of a record as the "%lf" conversion does in the C
// locale (the driver always writes "." as decimal point), looking at no byte
// beyond the record. Returns false when the record holds no number, as when
// it is all spaces.
[[nodiscard]] inline bool parse_value(std::span<const char, kSize> rec, double &out)
{
    char text[kSize + 1];
    std::memcpy(text, rec.data(), kSize);
    text[kSize] = '\0';
    // glibc hands out its built-in C locale object here, without allocating
    // and without a lock, so this is cheap and safe from any thread.
    const locale_t c_locale = ::newlocale(LC_ALL_MASK, "C", static_cast<locale_t>(nullptr));
    if (c_locale == static_cast<locale_t>(nullptr))
        return false;
    char *end = nullptr;
    const double v = ::strtod_l(text, &end, c_locale);
    ::freelocale(c_locale);
    if (end == text)
        return false;
    out = v;
    return true;
}
#endif

} // namespace vx7::record

#endif
