// Fuzz target: the record parses on any 100 bytes.
//
// The input's first 100 bytes (padded with spaces) are the content of a
// channel file's mapping, held in an allocation of exactly 100 bytes so that
// a read past the record is caught. Each parse is checked against the C
// library doing the same job: the elapsed-milliseconds parse against
// strtoull on the field it should find, the value parse (the record unit's
// own, locale-independent) against strtod on the record, the volts text
// against strchr, the one rule of every reader (read_value) against
// record_oracle.h; the elapsed field and the volts text never come from
// the bytes of the sequence word. The stable copy of a mapping nobody changes is that
// mapping: after one try when its sequence word is settled, two when it has
// none; a word left odd (a writer stopped half-way) gives "no stable copy"
// after the bounded number of tries.
#include "fuzz_check.h"
#include "record_oracle.h"

#include "vx7record/record.h"

#include <cerrno>
#include <cmath>
#include <cstring>
#include <memory>

namespace record = vx7::record;

namespace {

// What parse_elapsed should find: the text between the first tab and the
// second, inside the record (before any NUL), all digits and at least one,
// within 64 bits.
bool expected_elapsed(const char *rec, std::uint64_t &out)
{
    char text[record::kRecordLimit + 1];
    std::memcpy(text, rec, record::kRecordLimit);
    text[record::kRecordLimit] = '\0';
    const char *tab = std::strchr(text, '\t');
    if (tab == nullptr)
        return false;
    const char *first = tab + 1;
    const std::size_t digits = std::strspn(first, "0123456789");
    if (digits == 0 || first[digits] != '\t')
        return false;
    errno = 0;
    const unsigned long long v = std::strtoull(first, nullptr, 10);
    if (errno == ERANGE)
        return false;
    out = v;
    return true;
}

bool same(double a, double b)
{
    return (std::isnan(a) && std::isnan(b)) || std::memcmp(&a, &b, sizeof a) == 0;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    const std::unique_ptr<char[]> mapped(new char[record::kSize]);
    std::memset(mapped.get(), ' ', record::kSize);
    std::memcpy(mapped.get(), data, size < record::kSize ? size : record::kSize);
    const std::span<const char, record::kSize> rec(mapped.get(), record::kSize);

    std::uint64_t elapsed = 0;
    std::uint64_t want_elapsed = 0;
    const bool has_elapsed = record::parse_elapsed(rec, elapsed);
    FUZZ_CHECK(has_elapsed == expected_elapsed(mapped.get(), want_elapsed));
    FUZZ_CHECK(!has_elapsed || elapsed == want_elapsed);

    // The reference: strtod on the record's bytes, which end at the
    // sequence word when the file carries one.
    std::uint64_t word = 0;
    std::memcpy(&word, mapped.get() + record::kSequenceOffset, sizeof word);
    char number[record::kSize + 1] = {};
    std::memcpy(number, mapped.get(), record::counted(word) ? record::kRecordLimit : record::kSize);
    char *end = nullptr;
    const double want_value = std::strtod(number, &end);
    double value = 0;
    const bool has_value = record::parse_value(rec, value);
    FUZZ_CHECK(has_value == (end != number));
    FUZZ_CHECK(!has_value || same(value, want_value));

    // The volts text: what comes before the first tab, if that tab is in
    // the record (before its NUL and before the sequence word).
    char text[record::kRecordLimit + 1];
    std::memcpy(text, mapped.get(), record::kRecordLimit);
    text[record::kRecordLimit] = '\0';
    const std::string_view volts = record::value_text(rec);
    const char *tab = std::strchr(text, '\t');
    if (tab == nullptr) {
        FUZZ_CHECK(volts.empty());
    } else {
        FUZZ_CHECK(volts.data() == mapped.get() && volts.size() == static_cast<std::size_t>(tab - text));
    }

    // The one rule.
    vx7fuzz::Expected want;
    record::Value got{};
    const bool has = record::read_value(rec, got);
    FUZZ_CHECK(has == vx7fuzz::expected_value(mapped.get(), want));
    FUZZ_CHECK(!has || (same(got.volts, want.volts) && got.elapsed_ms == want.elapsed &&
                        std::string_view(mapped.get(), got.text_length) == want.text));

    char copy[record::kSize];
    const record::StableCopy stable = record::read_stable(mapped.get(), copy);
    if (record::counted(word) && !record::settled(word)) {
        FUZZ_CHECK(!stable.consistent && stable.copies == record::kMaxCopies);
    } else {
        FUZZ_CHECK(stable.consistent && stable.copies == (record::counted(word) ? 1 : 2));
        FUZZ_CHECK(std::memcmp(copy, mapped.get(), record::kSize) == 0);
    }
    return 0;
}
