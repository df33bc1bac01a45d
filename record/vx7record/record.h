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

#include "vx7/vx7.h"

#include <array>
#include <atomic>
#include <bit>
#include <cfloat>
#include <charconv>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <span>
#include <string_view>

#include <sched.h>

#include "vx7record/exact_text.h"
#include "vx7record/text_scan.h"

namespace vx7::record {

inline constexpr std::size_t kSize = 100; // bytes in a channel file
inline constexpr int kChannels = 4;
inline constexpr char kFormat[] = "%.11e\t%lu\t";

// What the project's readers return for a channel that holds no value, or
// whose file cannot be read: far outside anything the device reports. The
// value vx7_read documents.
inline constexpr double kNoValue = VX7_READ_NO_VALUE;

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

// ---- the sequence word ----------------------------------------------------
//
// The last 16 bytes of a channel file are the driver's own: the record never
// reaches them, and readers that know no sequence word ignore them as bytes
// behind the NUL. The Linux driver keeps a sequence word there, at byte 88 (8-
// byte aligned in a page-aligned mapping): kSequenceMagic in its high half
// and a counter in its low half, stored as one 64-bit word in the machine's
// order. The counter is odd while the record is being changed and even when
// it stands whole; each change raises it by 2. A file without the magic (all
// spaces, or written by a driver that keeps no counter, such as the Windows
// driver) is read by copying until two copies agree.
inline constexpr std::size_t kSequenceOffset = 88;
inline constexpr std::uint32_t kSequenceMagic = 0xB7A7C3E5; // no text byte among them
// Room for a record and its NUL before the sequence word.
inline constexpr std::size_t kRecordLimit = kSequenceOffset;
static_assert(kSequenceOffset % 8 == 0 && kSequenceOffset + 8 <= kSize && kSize - kSequenceOffset <= 16);
static_assert(std::atomic_ref<std::uint64_t>::is_always_lock_free);

// Whether a sequence word carries the magic, i.e. the file has a counter.
[[nodiscard]] constexpr bool counted(std::uint64_t word)
{
    return static_cast<std::uint32_t>(word >> 32) == kSequenceMagic;
}

// Whether a counted word says the record stands whole (an even counter).
[[nodiscard]] constexpr bool settled(std::uint64_t word)
{
    return counted(word) && (word & 1) == 0;
}

namespace detail {

constexpr std::uint64_t counted_word(std::uint32_t counter)
{
    return std::uint64_t{kSequenceMagic} << 32 | counter;
}

// The sequence word of a mapping. The mapping must be 8-byte aligned (every
// mapping is page-aligned); readers' mappings are read-only, which a load does
// not mind.
inline std::atomic_ref<std::uint64_t> word_of(const char *mapped)
{
    // NOLINTNEXTLINE: the word is shared memory, not an object of this process
    return std::atomic_ref<std::uint64_t>(
        *reinterpret_cast<std::uint64_t *>(const_cast<char *>(mapped) + kSequenceOffset));
}

} // namespace detail

// The counter's half of the sequence word, as a 32-bit word of its own (the
// low half of the 64-bit word, so its place depends on the byte order).
// Readers wait on it as a futex and the Linux driver wakes them there
// (vx7record/futex.h).
inline constexpr std::size_t kCounterOffset = kSequenceOffset + (std::endian::native == std::endian::little ? 0 : 4);

[[nodiscard]] inline const std::uint32_t *counter_of(const char *mapped)
{
    // NOLINTNEXTLINE: the counter is shared memory, not an object of this process
    return reinterpret_cast<const std::uint32_t *>(mapped + kCounterOffset);
}

// The counter of a word.
[[nodiscard]] constexpr std::uint32_t counter(std::uint64_t word)
{
    return static_cast<std::uint32_t>(word);
}

// How many changes (records published, blankings) took a counter from
// `before` to `after`: 2 each, modulo 2^32 (the counter goes round).
[[nodiscard]] constexpr std::uint32_t changes_between(std::uint32_t before, std::uint32_t after)
{
    return (after - before) / 2;
}

// The sequence word as it stands (one load, acquire). A poller that finds
// the same settled word as last time knows the record has not changed,
// without copying it; for a word that is not counted it must copy.
[[nodiscard]] inline std::uint64_t sequence(const char *mapped)
{
    return detail::word_of(mapped).load(std::memory_order_acquire);
}

// ---- writing ----------------------------------------------------------------

// A record as it is about to be published: formatted into a local buffer
// first, so that the mapping is changed by a single copy of record and NUL.
struct Text {
    char bytes[kSize];
    std::size_t length; // characters before the NUL
};

// Ends a formatter's output: `n` is what the formatter returned; the text is
// cut to fit before the sequence word (a record never comes near that), and
// its NUL set.
[[nodiscard]] inline Text finish_text(Text t, int n)
{
    const std::size_t max = kRecordLimit - 1;
    t.length = n < 0 ? 0 : (static_cast<std::size_t>(n) < max ? static_cast<std::size_t>(n) : max);
    t.bytes[t.length] = '\0';
    return t;
}

// The record of a sample, exactly as the C library formats kFormat (two
// exponent digits): written by exact_text.h where it can, which is every
// value a report carries, and by snprintf otherwise.
[[nodiscard]] inline Text format(double volts, unsigned long elapsed_ms)
{
    Text t;
    std::size_t n = exact::put_e11(t.bytes, volts);
    if (n == 0) {
        const int written = std::snprintf(t.bytes, kRecordLimit, kFormat, volts, elapsed_ms);
        return finish_text(t, written); // t taken only now that it holds the text
    }
    t.bytes[n++] = '\t';
    // Room for any count: the volts take at most exact::kVoltsTextMax.
    char *const end = std::to_chars(t.bytes + n, t.bytes + kRecordLimit - 2, elapsed_ms).ptr;
    *end = '\t';
    return finish_text(t, static_cast<int>(end + 1 - t.bytes));
}

// Begins a change of a mapping: makes its counter odd (a counter that a
// crashed writer left odd becomes a new odd value) and returns that word for
// end_change. A file without the magic gets it here, counter 1.
inline std::uint64_t begin_change(char *mapped)
{
    const std::atomic_ref<std::uint64_t> word = detail::word_of(mapped);
    const std::uint64_t now = word.load(std::memory_order_relaxed);
    const auto counter = counted(now) ? static_cast<std::uint32_t>(now) : std::uint32_t{0};
    const std::uint64_t odd = detail::counted_word((counter + 1) | 1);
    word.store(odd, std::memory_order_relaxed);
    // No byte of the change may be seen before the odd counter.
    std::atomic_thread_fence(std::memory_order_release);
    return odd;
}

// Ends a change begun by begin_change: the counter becomes even, after every
// byte of the change.
inline void end_change(char *mapped, std::uint64_t odd)
{
    detail::word_of(mapped).store(detail::counted_word(static_cast<std::uint32_t>(odd) + 1), std::memory_order_release);
}

// How publish and blank move bytes: plain memcpy and memset. Tests put in
// their own to stop a writer half-way.
struct PlainBytes {
    void copy(char *dst, const char *src, std::size_t n) const { std::memcpy(dst, src, n); }
    void fill(char *dst, char c, std::size_t n) const { std::memset(dst, c, n); }
};

// Writes the record and its NUL at byte 0 of a channel file's mapping, inside
// one change of the counter; the bytes between the NUL and the sequence word
// are left as they are.
template <class Bytes = PlainBytes>
inline void publish(char *mapped, const Text &t, Bytes &&bytes = {})
{
    const std::size_t n = t.length < kRecordLimit ? t.length : kRecordLimit - 1;
    const std::uint64_t odd = begin_change(mapped);
    bytes.copy(mapped, t.bytes, n);
    bytes.fill(mapped + n, '\0', 1);
    end_change(mapped, odd);
}

// Sets all 100 bytes of a channel file's mapping to spaces, "no value": the
// counter is made odd, every other byte set, and the word itself set to
// spaces last, so that no reader takes a half-blanked record for a whole one.
// The driver blanks at stop and, the same way, when it takes up a file at
// start: a file left by a driver that died keeps its last record under a
// settled word, which must turn odd before any byte of it changes.
template <class Bytes = PlainBytes>
inline void blank(char *mapped, Bytes &&bytes = {})
{
    (void)begin_change(mapped);
    bytes.fill(mapped, ' ', kSequenceOffset);
    bytes.fill(mapped + kSequenceOffset + 8, ' ', kSize - kSequenceOffset - 8);
    std::uint64_t spaces = 0;
    std::memset(&spaces, ' ', sizeof spaces);
    detail::word_of(mapped).store(spaces, std::memory_order_release);
}

// The same two for a writer that keeps no sequence word (the Windows
// driver): the record and its NUL copied at byte 0, and all 100 bytes set to
// spaces. Readers then fall back to copying until two copies agree.
inline void publish_uncounted(char *mapped, const Text &t)
{
    std::memcpy(mapped, t.bytes, t.length + 1);
}

inline void blank_uncounted(char *mapped)
{
    std::memset(mapped, ' ', kSize);
}

// ---- reading ----------------------------------------------------------------

// How many times a reader copies a record at most before it gives up.
inline constexpr int kMaxCopies = 32;

// The outcome of read_stable.
struct StableCopy {
    bool consistent; // false: no stable copy within kMaxCopies; treat as no value
    int copies;      // copies taken, 1 to kMaxCopies
};

// What read_stable does besides copying. pause(): before a try that follows
// a failed one, let the writer (perhaps preempted half-way through a change)
// run. copied(): after the bytes of each try are copied, before the word is
// loaded again; nothing here, tests put in a writer.
struct ReadHooks {
    void pause() const { ::sched_yield(); }
    void copied() const {}
};

// Copies a record out of a mapping that the driver may be changing at the
// same moment, into `out` (all 100 bytes). With a counter: the word is
// loaded, the bytes copied, the word loaded again; the copy is whole when
// both loads give the same even counter. Without one (no magic): copies until
// two consecutive copies agree and the word has not changed meanwhile. Tries
// at most kMaxCopies copies (see ReadHooks for `hooks`). The bytes are read
// through a volatile pointer, so that every copy reads the shared memory
// afresh. Returns whether `out` holds a whole record (or a settled "no
// value"); when not, the caller treats the channel as holding no value.
template <class Hooks = ReadHooks>
[[nodiscard]] inline StableCopy read_stable(const char *mapped, std::span<char, kSize> out, Hooks &&hooks = {})
{
    const std::atomic_ref<std::uint64_t> word = detail::word_of(mapped);
    const volatile char *src = mapped;
    char previous[kSize];
    bool have_previous = false;
    bool failed = false;
    for (int copies = 1; copies <= kMaxCopies; ++copies) {
        if (failed)
            hooks.pause();
        failed = true;
        const std::uint64_t before = word.load(std::memory_order_acquire);
        for (std::size_t i = 0; i < kSequenceOffset; ++i)
            out[i] = src[i];
        for (std::size_t i = kSequenceOffset + 8; i < kSize; ++i)
            out[i] = src[i];
        hooks.copied();
        std::atomic_thread_fence(std::memory_order_acquire);
        const std::uint64_t after = word.load(std::memory_order_relaxed);
        std::memcpy(out.data() + kSequenceOffset, &before, sizeof before);
        if (before != after) {
            have_previous = false;
            continue;
        }
        if (counted(before)) {
            if (settled(before))
                return {true, copies};
            have_previous = false;
            continue;
        }
        if (have_previous && std::memcmp(previous, out.data(), kSize) == 0)
            return {true, copies};
        // The first copy of a pair is no failure; two that disagree are.
        failed = have_previous;
        std::memcpy(previous, out.data(), kSize);
        have_previous = true;
    }
    return {false, kMaxCopies};
}

// The volts text of a record: the characters before its first tab, as the
// driver wrote them. Empty when the record has no tab before its NUL or
// before the sequence word (no value, or text that is not a record).
[[nodiscard]] constexpr std::string_view value_text(std::span<const char, kSize> rec)
{
    for (std::size_t i = 0; i < kRecordLimit && rec[i] != '\0'; ++i) {
        if (rec[i] == '\t')
            return {rec.data(), i};
    }
    return {};
}

// Parses the elapsed-milliseconds field of a record: the decimal digits
// between its first and its second tab, before the record's NUL and before
// the sequence word. Returns false when the record has no such field (no
// value, or torn text) or its value does not fit 64 bits.
[[nodiscard]] constexpr bool parse_elapsed(std::span<const char, kSize> rec, std::uint64_t &out)
{
    std::size_t i = 0;
    while (i < kRecordLimit && rec[i] != '\t' && rec[i] != '\0')
        ++i;
    if (i == kRecordLimit || rec[i] != '\t')
        return false;
    std::uint64_t v = 0;
    std::size_t digits = 0;
    for (++i; i < kRecordLimit && rec[i] >= '0' && rec[i] <= '9'; ++i, ++digits) {
        const auto d = static_cast<std::uint64_t>(rec[i] - '0');
        if (v > (UINT64_MAX - d) / 10)
            return false;
        v = v * 10 + d;
    }
    if (digits == 0 || i == kRecordLimit || rec[i] != '\t')
        return false;
    out = v;
    return true;
}

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
// conversion, except where a single exact operation gives the same result
// (exact_decimal). Allocates nothing and is safe from any thread.
namespace detail {
// The decimal number digits text[from, to) x 10^exponent (with the sign
// text[0] may hold) when both the digits as an integer and the power of ten
// are exact doubles (at most 2^53, and 10^22): one multiplication or
// division of exact operands is then correctly rounded, the result strtod
// gives (Clinger's fast path). A driver's record always takes it; false
// (and `out` untouched) for anything else.
inline bool exact_decimal(const char *text, std::size_t from, std::size_t to, long exponent, double &out)
{
    constexpr double kPowers[] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,  1e8,  1e9,  1e10, 1e11,
                                  1e12, 1e13, 1e14, 1e15, 1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};
    constexpr std::uint64_t kExactLimit = std::uint64_t{1} << 53;
    // Only where double arithmetic is done in double (no x87 excess
    // precision, which would round twice).
    if (FLT_EVAL_METHOD != 0 || exponent < -22 || exponent > 22)
        return false;
    std::uint64_t m = 0;
    for (std::size_t k = from; k < to; ++k) {
        m = m * 10 + static_cast<std::uint64_t>(text[k] - '0');
        if (m > kExactLimit)
            return false;
    }
    double v = static_cast<double>(m);
    v = exponent < 0 ? v / kPowers[-exponent] : v * kPowers[exponent];
    out = text[0] == '-' ? -v : v;
    return true;
}

// strtod on a number rewritten without locale-dependent characters; false
// (and `out` untouched) when it holds no number.
inline bool convert(const char *text, double &out)
{
    char *end = nullptr;
    const double v = std::strtod(text, &end);
    if (end == text)
        return false;
    out = v;
    return true;
}
} // namespace detail

[[nodiscard]] inline bool parse_value(std::span<const char, kSize> whole, double &out)
{
    // Behind a sequence word's magic the last bytes are the word, not text:
    // the number ends before it at the latest.
    char bounded[kSize] = {};
    std::uint64_t word = 0;
    std::memcpy(&word, whole.data() + kSequenceOffset, sizeof word);
    std::memcpy(bounded, whole.data(), counted(word) ? kRecordLimit : kSize);
    const std::span<const char, kSize> rec(bounded);
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
        return detail::convert(text, out);
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
    const std::size_t mantissa = n; // where the digits begin in `text`
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
    if (!hex && detail::exact_decimal(text, mantissa, n, exponent, out))
        return true;
    text[n++] = hex ? 'p' : 'e';
    n = detail::append_exponent(text, n, exponent);
    text[n] = '\0';
    return detail::convert(text, out);
}

// ---- what a record says: the one rule of every reader -------------------------
//
// vx7_read, vx7ctl (read, status, record), the sample stream and everything
// on top of it decide with read_value whether a record holds a value. A
// record holds one only when, before the sequence word, it is what a driver
// writes: "<volts>\t<elapsed ms>\t" ended by a NUL, with
//   <volts>       a decimal number ([+-]digits[.digits][e[+-]digits]; digits
//                 before or after the point), at most kMaxValueText
//                 characters, whose value is finite;
//   <elapsed ms>  1-20 decimal digits whose value fits 64 bits.
// Anything else is "no value": all spaces (no sample yet, or the driver
// stopped), a field missing ("1.5" alone), "nan", white space, a number that
// runs into the sequence word. So the volts text a reader hands on is only
// ever made of digits, signs, a point and an exponent letter.

// The longest volts text (the stream's vx7_sample.text holds it and its NUL;
// a driver's text has 17 or 18 characters, the Windows driver's one more).
inline constexpr std::size_t kMaxValueText = 31;

// A record's value.
struct Value {
    double volts;
    std::uint64_t elapsed_ms;
    std::size_t text_length; // the volts text is the record's first text_length bytes
};

[[nodiscard]] inline bool read_value(std::span<const char, kSize> rec, Value &out)
{
    constexpr std::size_t limit = kRecordLimit;
    std::size_t i = 0;
    if (rec[i] == '+' || rec[i] == '-')
        ++i;
    std::size_t digits = 0;
    for (; i < limit && detail::is_digit(rec[i]); ++i)
        ++digits;
    if (i < limit && rec[i] == '.') {
        for (++i; i < limit && detail::is_digit(rec[i]); ++i)
            ++digits;
    }
    if (digits == 0)
        return false;
    if (i < limit && (rec[i] == 'e' || rec[i] == 'E')) {
        ++i;
        if (i < limit && (rec[i] == '+' || rec[i] == '-'))
            ++i;
        std::size_t exponent_digits = 0;
        for (; i < limit && detail::is_digit(rec[i]); ++i)
            ++exponent_digits;
        if (exponent_digits == 0)
            return false;
    }
    const std::size_t text_length = i;
    if (text_length > kMaxValueText || i == limit || rec[i] != '\t')
        return false;

    std::uint64_t elapsed = 0;
    std::size_t elapsed_digits = 0;
    for (++i; i < limit && detail::is_digit(rec[i]); ++i, ++elapsed_digits) {
        const auto d = static_cast<std::uint64_t>(rec[i] - '0');
        if (elapsed > (UINT64_MAX - d) / 10)
            return false;
        elapsed = elapsed * 10 + d;
    }
    if (elapsed_digits == 0 || elapsed_digits > 20 || i + 1 >= limit || rec[i] != '\t' || rec[i + 1] != '\0')
        return false;

    // The number alone, for the conversion every reader has always used.
    char number[kSize] = {};
    std::memcpy(number, rec.data(), text_length);
    double volts = 0;
    if (!parse_value(std::span<const char, kSize>(number), volts) || !std::isfinite(volts))
        return false;
    out = Value{volts, elapsed, text_length};
    return true;
}

} // namespace vx7::record

#endif
