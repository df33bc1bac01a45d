// The record unit driven directly: a writer stopped at every byte of a
// record (and of the blanking) against the reader, the reader's bound on
// copies, the sequence word, and the parses.
#include "vx7record/record.h"

#include "record_rule_cases.h"

#include <gtest/gtest.h>

#include <clocale>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <locale.h>
#include <random>
#include <string>
#include <vector>

namespace record = vx7::record;

namespace {

// A channel file's 100 bytes, aligned as a mapping is.
struct File {
    alignas(8) char bytes[record::kSize];

    File() { std::memset(bytes, ' ', sizeof bytes); }
    std::string str() const { return {bytes, sizeof bytes}; }
};

// Writes bytes one at a time and, before byte number `at` (counted over the
// whole publish or blank), stops to let `check` look at the file.
struct PausedBytes {
    std::size_t at;
    std::function<void()> check;
    std::size_t done = 0;
    int checks = 0;

    void step()
    {
        if (done++ == at) {
            ++checks;
            check();
        }
    }
    void copy(char *dst, const char *src, std::size_t n)
    {
        for (std::size_t i = 0; i < n; ++i) {
            step();
            dst[i] = src[i];
        }
    }
    void fill(char *dst, char c, std::size_t n)
    {
        for (std::size_t i = 0; i < n; ++i) {
            step();
            dst[i] = c;
        }
    }
};

// What a reader makes of a file: whether its copy is whole, and the copy's
// text up to the NUL (all 100 bytes when there is none, as after blanking).
struct Seen {
    bool consistent;
    int copies;
    std::string text;
};

Seen read(const File &f)
{
    char out[record::kSize];
    const record::StableCopy c = record::read_stable(f.bytes, out);
    Seen s{c.consistent, c.copies, {}};
    if (c.consistent)
        s.text.assign(out, ::strnlen(out, sizeof out));
    return s;
}

const std::string kSpaces(record::kSize, ' ');

std::string text_of(const record::Text &t)
{
    return {t.bytes, t.length};
}

struct Pair {
    const char *name;
    record::Text before, after;
};

const Pair kPairs[] = {
    {"longer_after_shorter", record::format(1.0, 1235), record::format(-1.0, 1234)},
    {"shorter_after_longer", record::format(-1.0, 1234), record::format(1.0, 1235)},
    {"every_digit_differs", record::format(0.9, 18446744073709551615ul), record::format(-2.5, 7)},
    {"same_length", record::format(0.9, 100), record::format(1.0, 101)},
};

} // namespace

// A writer stopped before any byte of a record: the reader gets the old
// record, the new one, or no value, and never takes more than the bound of
// copies. The old record was written by this writer (counted) or by one that
// keeps no counter (the first counted write on that file).
TEST(PausedWriter, ReaderSeesOldNewOrNothingAtEveryByte)
{
    for (const bool counted_before : {true, false}) {
        for (const Pair &p : kPairs) {
            SCOPED_TRACE(std::string(p.name) + (counted_before ? " counted" : " uncounted"));
            const std::string before = text_of(p.before), after = text_of(p.after);
            for (std::size_t at = 0; at <= p.after.length; ++at) {
                File f;
                if (counted_before)
                    record::publish(f.bytes, p.before);
                else
                    std::memcpy(f.bytes, p.before.bytes, p.before.length + 1);
                const std::string tail =
                    f.str().substr(p.after.length + 1, record::kSequenceOffset - p.after.length - 1);
                PausedBytes bytes{at, [&] {
                                      const Seen s = read(f);
                                      EXPECT_LE(s.copies, record::kMaxCopies) << "at byte " << at;
                                      if (s.consistent) {
                                          EXPECT_TRUE(s.text == before || s.text == after)
                                              << "at byte " << at << ": [" << s.text << "]";
                                      }
                                  }};
                record::publish(f.bytes, p.after, bytes);
                EXPECT_EQ(bytes.checks, 1);
                const Seen s = read(f);
                EXPECT_TRUE(s.consistent);
                EXPECT_EQ(s.text, after);
                EXPECT_EQ(f.str().substr(p.after.length + 1, tail.size()), tail) << "bytes behind the NUL changed";
            }
        }
    }
}

// The same at every byte of the blanking at stop: the old record or no
// value; afterwards all 100 bytes are spaces.
TEST(PausedWriter, BlankingShowsOldRecordOrNothing)
{
    const std::string before = text_of(kPairs[0].before);
    for (std::size_t at = 0; at < record::kSize - 8; ++at) {
        File f;
        record::publish(f.bytes, kPairs[0].before);
        PausedBytes bytes{at, [&] {
                              const Seen s = read(f);
                              EXPECT_LE(s.copies, record::kMaxCopies);
                              if (s.consistent) {
                                  EXPECT_TRUE(s.text == before || s.text == kSpaces)
                                      << "at byte " << at << ": [" << s.text << "]";
                              }
                          }};
        record::blank(f.bytes, bytes);
        EXPECT_EQ(bytes.checks, 1);
        EXPECT_EQ(f.str(), std::string(record::kSize, ' '));
        EXPECT_EQ(read(f).text, kSpaces);
    }
}

namespace {

// A writer put into the reader's tries: after the reader has copied the
// bytes and before it loads the word again.
struct WriterInTries {
    std::function<void()> write;
    int pauses = 0;
    int copies = 0;
    void pause() { ++pauses; }
    void copied()
    {
        ++copies;
        write();
    }
};

} // namespace

// A writer that keeps changing the record during every try: the reader stops
// after kMaxCopies copies and reports no stable copy, with and without a
// counter. After 1000 changes the writer stops, so that a reader without a
// bound ends (and fails) instead of hanging.
TEST(StableCopyBound, ReaderStopsAfterTheBound)
{
    for (const bool counted : {true, false}) {
        SCOPED_TRACE(counted ? "counted" : "uncounted");
        File f;
        unsigned long n = 0;
        WriterInTries w{[&] {
            if (n >= 1000)
                return;
            const record::Text t = record::format(0.5, n++);
            if (counted)
                record::publish(f.bytes, t);
            else
                std::memcpy(f.bytes, t.bytes, t.length + 1);
        }};
        w.write();
        char out[record::kSize];
        const record::StableCopy c = record::read_stable(f.bytes, out, w);
        EXPECT_FALSE(c.consistent);
        EXPECT_EQ(c.copies, record::kMaxCopies);
        EXPECT_EQ(w.copies, record::kMaxCopies);
        // Every try after a failed one begins with a pause; without a counter
        // the first try only starts a pair of copies and is no failure.
        EXPECT_EQ(w.pauses, counted ? record::kMaxCopies - 1 : record::kMaxCopies - 2);
    }
}

// A driver that starts writing a file without a counter (all spaces, or an
// old record) while a reader copies it: the reader sees the word change and
// copies again, getting the new record.
TEST(StableCopyBound, WriterStartingDuringACopyOfAnUncountedFile)
{
    File f;
    const record::Text old = record::format(-0.9, 5);
    std::memcpy(f.bytes, old.bytes, old.length + 1);
    bool written = false;
    WriterInTries w{[&] {
        if (!written)
            record::publish(f.bytes, record::format(1.0, 6));
        written = true;
    }};
    char out[record::kSize];
    const record::StableCopy c = record::read_stable(f.bytes, out, w);
    EXPECT_TRUE(c.consistent);
    EXPECT_EQ(std::string(out), "1.00000000000e+00\t6\t");
}

// A counter that a crashed writer left odd: the reader gives no value, the
// next write makes it odd anew, and then the record reads whole.
TEST(SequenceWord, CounterLeftOddByACrashedWriter)
{
    File f;
    record::publish(f.bytes, record::format(0.25, 1));
    const std::uint64_t odd = record::begin_change(f.bytes); // and never ended
    const record::Text t = record::format(0.75, 2);
    std::memcpy(f.bytes, t.bytes, t.length + 1);
    const Seen stuck = read(f);
    EXPECT_FALSE(stuck.consistent);
    EXPECT_EQ(stuck.copies, record::kMaxCopies);

    record::publish(f.bytes, record::format(0.5, 3));
    EXPECT_NE(record::sequence(f.bytes), odd + 1) << "a reader holding the crashed write's word could accept";
    EXPECT_TRUE(record::settled(record::sequence(f.bytes)));
    EXPECT_EQ(read(f).text, "5.00000000000e-01\t3\t");
}

// The word in the file: the magic and an even counter that each write raises
// by 2; unchanged by reading; spaces again after blanking.
TEST(SequenceWord, EachWriteRaisesTheCounterByTwo)
{
    File f;
    EXPECT_FALSE(record::counted(record::sequence(f.bytes)));
    const std::uint64_t words[] = {0xB7A7C3E500000002, 0xB7A7C3E500000004, 0xB7A7C3E500000006};
    for (std::uint64_t want : words) {
        record::publish(f.bytes, record::format(1.5, 9));
        EXPECT_EQ(record::sequence(f.bytes), want);
        (void)read(f);
        EXPECT_EQ(record::sequence(f.bytes), want);
    }
    // Past 2^32 - 2 the counter goes round without touching the magic.
    const std::uint64_t last = 0xB7A7C3E5FFFFFFFE;
    std::memcpy(f.bytes + record::kSequenceOffset, &last, 8);
    record::publish(f.bytes, record::format(1.5, 9));
    EXPECT_EQ(record::sequence(f.bytes), 0xB7A7C3E500000000);
    EXPECT_TRUE(read(f).consistent);
}

// ---- the parses --------------------------------------------------------------

namespace {

std::string rec(std::string text)
{
    text.resize(record::kSize, ' ');
    return text;
}

std::span<const char, record::kSize> span_of(const std::string &r)
{
    return std::span<const char, record::kSize>(r.data(), record::kSize);
}

} // namespace

TEST(ParseElapsed, DigitsBetweenTheTabsOnly)
{
    struct Case {
        const char *name;
        std::string text;
        bool ok;
        std::uint64_t value;
    } cases[] = {
        {"plain", "2.5\t1234\t", true, 1234},
        {"zero", "2.5\t0\t", true, 0},
        {"largest", "2.5\t18446744073709551615\t", true, 18446744073709551615u},
        {"one_above_64_bits", "2.5\t18446744073709551616\t", false, 0},
        {"far_above", "2.5\t99999999999999999999999\t", false, 0},
        {"no_digits", "2.5\t\t", false, 0},
        {"no_second_tab", "2.5\t1234", false, 0},
        {"no_tab", "2.5", false, 0},
        {"not_a_digit", "2.5\t12x4\t", false, 0},
        {"nul_before_second_tab", std::string("2.5\t12\0\t", 8), false, 0},
    };
    for (const Case &c : cases) {
        const std::string r = rec(c.text);
        std::uint64_t v = 77;
        EXPECT_EQ(record::parse_elapsed(span_of(r), v), c.ok) << c.name;
        EXPECT_EQ(v, c.ok ? c.value : 77u) << c.name << ": the result is left alone on failure";
    }
}

TEST(ValueText, TextBeforeTheFirstTab)
{
    EXPECT_EQ(record::value_text(span_of(rec("-2.50000029802e+00\t7\t"))), "-2.50000029802e+00");
    EXPECT_EQ(record::value_text(span_of(rec(""))), "");
    EXPECT_EQ(record::value_text(span_of(rec(std::string("1.5\0\t", 5)))), "") << "tab behind the NUL";
    EXPECT_EQ(record::value_text(span_of(std::string(record::kSize, '1'))), "");
}

TEST(ParseValue, NeverReadsTheSequenceWordAsText)
{
    // 88 spaces, then a settled word whose counter bytes happen to be the
    // digits "2000": the file holds no value. Without the magic the same
    // bytes are leftovers of text and read as a number, as always.
    File f;
    const unsigned char word[8] = {'2', '0', '0', '0', 0xE5, 0xC3, 0xA7, 0xB7}; // 0xB7A7C3E5'30303032
    std::memcpy(f.bytes + 88, word, sizeof word);
    double v = 77;
    EXPECT_FALSE(record::parse_value(std::span<const char, record::kSize>(f.bytes), v));
    EXPECT_EQ(v, 77);

    File legacy;
    std::memcpy(legacy.bytes + 88, "2000", 4);
    ASSERT_TRUE(record::parse_value(std::span<const char, record::kSize>(legacy.bytes), v));
    EXPECT_EQ(v, 2000);
}

// Every parse of the record stops before byte 88: a field that would run
// into the sequence word is no field, and the word's bytes are never text
// (here its counter spells "2\t", which a parse that went on would take for
// the elapsed milliseconds 2).
TEST(RecordReaders, NeverReadTheSequenceWordAsText)
{
    const struct {
        const char *name;
        std::string file;
        std::size_t volts_text; // characters value_text gives
    } cases[] = {
        {"elapsed_in_the_word", vx7test::elapsed_in_the_word(), 87},
        {"volts_running_into_the_word", vx7test::rule_file(std::string(88, '1')), 0},
        {"tab_in_the_word", vx7test::rule_file(std::string(88, '1')).replace(89, 1, "\t"), 0},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        const auto r = span_of(c.file);
        std::uint64_t elapsed = 77;
        EXPECT_FALSE(record::parse_elapsed(r, elapsed));
        EXPECT_EQ(elapsed, 77u);
        EXPECT_EQ(record::value_text(r).size(), c.volts_text);
        record::Value v{};
        EXPECT_FALSE(record::read_value(r, v));
        double number = 0;
        if (record::parse_value(r, number)) {
            EXPECT_LT(std::fabs(number - std::strtod(c.file.substr(0, 88).c_str(), nullptr)), 1e-9 * std::fabs(number));
        }
    }
}

// The one rule (read_value) over the table every reader is tested with.
TEST(RecordReaders, OneRuleForEveryRecord)
{
    for (const vx7test::RuleCase &c : vx7test::rule_cases()) {
        SCOPED_TRACE(c.name);
        record::Value v{};
        ASSERT_EQ(record::read_value(span_of(c.file), v), c.has_value);
        if (!c.has_value)
            continue;
        EXPECT_EQ(v.volts, c.volts);
        EXPECT_EQ(v.elapsed_ms, c.elapsed);
        EXPECT_EQ(c.file.substr(0, v.text_length), c.text);
    }
}

TEST(ReaderPath, ChannelDigitInTheTemplate)
{
    EXPECT_STREQ(record::reader_path(1).data(), "/home/dev/vx7/adc1.adc");
    EXPECT_STREQ(record::reader_path(4).data(), "/home/dev/vx7/adc4.adc");
}

namespace {

// The C library's own "%lf" in the C locale: the reference for parse_value.
bool reference(const std::string &r, double &out)
{
    const locale_t c = ::newlocale(LC_ALL_MASK, "C", static_cast<locale_t>(nullptr));
    char *end = nullptr;
    const std::string text = r.substr(0, record::kSize);
    const double v = ::strtod_l(text.c_str(), &end, c);
    ::freelocale(c);
    if (end == text.c_str())
        return false;
    out = v;
    return true;
}

void expect_like_reference(const std::string &text)
{
    const std::string r = rec(text);
    double want = 0, got = 0;
    const bool want_ok = reference(r, want);
    ASSERT_EQ(record::parse_value(span_of(r), got), want_ok) << "[" << text << "]";
    if (!want_ok)
        return;
    if (std::isnan(want)) {
        EXPECT_TRUE(std::isnan(got)) << "[" << text << "]";
        EXPECT_EQ(std::signbit(got), std::signbit(want)) << "[" << text << "]";
    } else {
        EXPECT_EQ(std::memcmp(&got, &want, sizeof got), 0) << "[" << text << "] " << got << " vs " << want;
    }
}

} // namespace

// Every form "%lf" takes, and what stops it, exactly as the C library reads
// it in the C locale.
TEST(ParseValue, LikeTheCLibraryInTheCLocale)
{
    const char *texts[] = {
        "2.50000000000e+00\t1\t",
        "-2.50000029802e+00\t1\t",
        "2.98023259404e-07\t0\t",
        "0.00000000000e+00\t",
        "-0.0\t",
        "  \t\n 1.5\t",
        "+7",
        "1.",
        ".5",
        "-.5e1",
        ".",
        "-",
        "+.",
        "e5",
        "1e",
        "1e+",
        "1e-x",
        "1.5E3",
        "12345678901234567890123456789",
        "0.1000000000000000055511151231257827",
        "1e308",
        "1e309",
        "-1e400",
        "4.9e-324",
        "2e-324",
        "1e-400",
        "0x1.8p1",
        "0X1P-2",
        "0x.8",
        "0x",
        "0xg",
        "0x1p",
        "-0x1.fffffffffffffp1023",
        "inf",
        "-INF",
        "Infinity",
        "infinit",
        "nan",
        "-NaN",
        "nan(123)",
        "nan(abc",
        "abc",
        "\t",
        "1,5",
        "1.2.3",
        "0001.2500",
        "1e0000000000000000000000005",
        "1e-0000000000000000000000005",
        "9007199254740993",
    };
    for (const char *t : texts)
        expect_like_reference(t);
    // Numbers running to the record's end and beyond it.
    expect_like_reference(std::string(100, '9'));
    expect_like_reference("1." + std::string(98, '5') + "5e-9");
    expect_like_reference(std::string(98, ' ') + "-7");
}

// Random texts built from the characters numbers are made of.
TEST(ParseValue, RandomNumberLikeTexts)
{
    std::mt19937 rng(7);
    const std::string alphabet = "0123456789.eE+-xXpPaAfF \tinNI";
    for (int i = 0; i < 20000; ++i) {
        std::string t(std::uniform_int_distribution<std::size_t>(0, 30)(rng), ' ');
        for (char &ch : t)
            ch = alphabet[std::uniform_int_distribution<std::size_t>(0, alphabet.size() - 1)(rng)];
        expect_like_reference(t);
        if (HasFailure())
            break;
    }
}

namespace {

// What the C library writes for the record of (volts, elapsed).
std::string libc_record(double volts, unsigned long elapsed)
{
    char want[record::kSize];
    const int n = std::snprintf(want, sizeof want, record::kFormat, volts, elapsed);
    return {want, static_cast<std::size_t>(n)};
}

std::string formatted(double volts, unsigned long elapsed)
{
    const record::Text t = record::format(volts, elapsed);
    return {t.bytes, t.length};
}

} // namespace

// The record's text is the C library's "%.11e\t%lu\t", character for
// character: on the values whose rounding is hardest (exact halves both
// ways, a carry into the next power of ten, the ends of the exact range),
// on values outside it, and on random ones in and around it.
TEST(Format, TheCLibrarysTextForEveryValue)
{
    const double cases[] = {
        0.0,
        -0.0,
        1.0,
        -2.5,
        0.5,
        1e-11,
        9.99999999999e-12,
        1e-12,
        999999999999.0,
        1e12,
        4503599627370496.0,
        123456789012.5,  // a half, 2 is even: stays
        123456789013.5,  // a half, 3 is odd: goes up
        -123456789014.5, // a half, negative
        999999999999.5,  // a half that carries into 1e12
        9.9999999999995, // not quite a half in binary
        2.98023223876953125e-07,
        std::nextafter(2.5, 0.0),
        std::nextafter(1e-11, 0.0),
        2.2250738585072014e-308,
        4.9e-324,
        1.7976931348623157e308,
        HUGE_VAL,
        -HUGE_VAL,
        std::nan(""),
    };
    const unsigned long elapsed[] = {0, 9, 10, 1234567, 18446744073709551615ul};
    for (const double v : cases)
        for (const unsigned long e : elapsed)
            ASSERT_EQ(formatted(v, e), libc_record(v, e)) << std::hexfloat << v;

    std::mt19937_64 rng(11);
    for (int i = 0; i < 300000; ++i) {
        // A random 53-bit significand at a magnitude from about 1e-14 to
        // 1e15, and the device's form: a 24-bit count times a step, halved
        // up to 7 times.
        const double any = std::ldexp(static_cast<double>(rng() >> 11) * ((rng() & 1) != 0 ? 1 : -1),
                                      static_cast<int>(rng() % 100) - 100);
        const double step = std::ldexp(1.0 + static_cast<double>(rng() >> 12) / 0x1p52, -22);
        const double report = static_cast<double>(static_cast<std::int32_t>(rng() % 0x1000000) - 0x800000) * step /
                              static_cast<double>(1u << (rng() % 8));
        ASSERT_EQ(formatted(any, i), libc_record(any, i)) << std::hexfloat << any;
        ASSERT_EQ(formatted(report, i), libc_record(report, i)) << std::hexfloat << report;
    }
}
