// Fuzz target: report decode and the record's format round trip.
//
// Bytes 0-3 are a report, the next 8 (if present) an elapsed count, the 8
// after them a double and the 8 after those the sequence word the mapping
// held before; the last byte fills the rest of the mapping. For a sample report: the decoded volts lie within
// what a 24-bit offset-binary value can mean (|v| <= 2.5 * 2^23 / (2^23-1)),
// the record written for it parses back to a value from which the report's
// 24-bit count is recovered exactly and to the same elapsed count, and
// formatting the parsed value again gives the same text. Publishing changes
// the record, its NUL and the sequence word and nothing else, and leaves the
// word settled; blanking leaves 100 spaces. For any double the record's
// text is the C library's and its round trip keeps the text and the value to
// its 12 digits.
#include "fuzz_check.h"

#include "report.h"
#include "vx7record/record.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <memory>

namespace record = vx7::record;

namespace {

// The largest magnitude a report can carry: raw -2^23 at exponent 0.
constexpr double kLargestVolts = 2.5 * 8388608.0 / 8388607.0;

// Writes the record for (volts, elapsed) into a mapping filled with `fill`
// and holding `word` as its sequence word; checks that only the record, its
// NUL and the word changed, that the word is settled and moved on, that a
// reader takes the record in one try and that both fields parse back.
// Returns the value.
double publish_and_parse(double volts, unsigned long elapsed, std::uint8_t fill, std::uint64_t word)
{
    const record::Text t = record::format(volts, elapsed);
    FUZZ_CHECK(t.length > 0 && t.length < record::kRecordLimit);
    FUZZ_CHECK(t.bytes[t.length] == '\0' && std::strlen(t.bytes) == t.length);
    // Character for character the C library's text.
    char libc[record::kSize];
    FUZZ_CHECK(std::snprintf(libc, sizeof libc, record::kFormat, volts, elapsed) == static_cast<int>(t.length));
    FUZZ_CHECK(std::memcmp(libc, t.bytes, t.length) == 0);

    const std::unique_ptr<char[]> mapped(new char[record::kSize]);
    std::memset(mapped.get(), fill, record::kSize);
    std::memcpy(mapped.get() + record::kSequenceOffset, &word, sizeof word);
    record::publish(mapped.get(), t);
    FUZZ_CHECK(std::memcmp(mapped.get(), t.bytes, t.length + 1) == 0);
    for (std::size_t i = t.length + 1; i < record::kSize; ++i) {
        if (i < record::kSequenceOffset || i >= record::kSequenceOffset + 8)
            FUZZ_CHECK(mapped[i] == static_cast<char>(fill));
    }
    const std::uint64_t after = record::sequence(mapped.get());
    FUZZ_CHECK(record::settled(after));
    if (record::counted(word)) {
        const auto step = static_cast<std::uint32_t>(after) - static_cast<std::uint32_t>(word);
        FUZZ_CHECK(step == 2 || step == 3);
    }

    char copy[record::kSize];
    const record::StableCopy stable = record::read_stable(mapped.get(), copy);
    FUZZ_CHECK(stable.consistent && stable.copies == 1);
    FUZZ_CHECK(std::memcmp(copy, mapped.get(), record::kSize) == 0);

    const std::span<const char, record::kSize> rec(copy, record::kSize);
    std::uint64_t parsed_elapsed = 0;
    FUZZ_CHECK(record::parse_elapsed(rec, parsed_elapsed));
    FUZZ_CHECK(parsed_elapsed == elapsed);
    double parsed = 0;
    FUZZ_CHECK(record::parse_value(rec, parsed));
    // Every reader takes it as a value exactly when it is a finite one.
    record::Value value{};
    FUZZ_CHECK(record::read_value(rec, value) == std::isfinite(parsed));
    FUZZ_CHECK(!std::isfinite(parsed) ||
               (value.volts == parsed && value.elapsed_ms == elapsed &&
                value.text_length == static_cast<std::size_t>(std::strchr(t.bytes, '\t') - t.bytes)));

    // Formatting what was read gives the very same record.
    const record::Text again = record::format(parsed, elapsed);
    FUZZ_CHECK(again.length == t.length && std::memcmp(again.bytes, t.bytes, t.length) == 0);

    // Blanking leaves 100 spaces, which hold no value.
    record::blank(mapped.get());
    FUZZ_CHECK(std::all_of(mapped.get(), mapped.get() + record::kSize, [](char c) { return c == ' '; }));
    FUZZ_CHECK(!record::parse_value(std::span<const char, record::kSize>(mapped.get(), record::kSize), parsed));
    return parsed;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    if (size < 4)
        return 0;
    unsigned long elapsed = 0;
    if (size >= 12)
        std::memcpy(&elapsed, data + 4, sizeof elapsed);
    const std::uint8_t fill = size > 4 ? data[size - 1] : ' ';
    std::uint64_t word = 0;
    std::memset(&word, fill, sizeof word);
    if (size >= 28)
        std::memcpy(&word, data + 20, sizeof word);

    const std::uint8_t report_bytes[4] = {data[0], data[1], data[2], data[3]};
    vx7::driver::Sample s{};
    if (vx7::driver::decode_sample(std::span<const std::uint8_t, 4>(report_bytes), s)) {
        FUZZ_CHECK(s.channel >= 0 && s.channel < record::kChannels);
        FUZZ_CHECK(s.exponent >= 0 && s.exponent <= 7);
        FUZZ_CHECK(std::isfinite(s.volts) && std::fabs(s.volts) <= kLargestVolts);

        const double parsed = publish_and_parse(s.volts, elapsed, fill, word);
        // The record keeps the sample: its count comes back exactly.
        const long raw = (long{data[1]} << 16 | long{data[2]} << 8 | long{data[3]}) - 0x800000;
        const double counts = std::ldexp(parsed, s.exponent) * (8388607.0 / 2.5);
        FUZZ_CHECK(std::lround(counts) == raw);
        FUZZ_CHECK(std::fabs(counts - static_cast<double>(raw)) < 1e-3);
    }

    if (size >= 20) {
        double v = 0;
        std::memcpy(&v, data + 12, sizeof v);
        const double parsed = publish_and_parse(v, elapsed, fill, word);
        if (std::isnan(v)) {
            FUZZ_CHECK(std::isnan(parsed));
        } else if (std::isinf(v)) {
            FUZZ_CHECK(parsed == v);
        } else {
            // 12 significant digits: within half a unit of the last one.
            FUZZ_CHECK(std::fabs(parsed - v) <= std::fabs(v) * 5e-12 || std::fabs(parsed) < 1e-300);
        }
    }
    return 0;
}
