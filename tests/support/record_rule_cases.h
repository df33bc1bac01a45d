// One table of channel files for the record's one rule: what every reader
// (vx7_read, vx7ctl read and status, the sample stream, vx7ctl record's CSV
// and JSON lines) must make of them. Each file carries the driver's settled
// sequence word, or spaces where a driver without one wrote it. The
// expected values are written out by hand here, never computed by the code
// under test.
#pragma once

#include "vx7record/record.h"

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

namespace vx7test {

struct RuleCase {
    const char *name;
    std::string file;      // the channel file's 100 bytes
    bool has_value;        // else "no value" for every reader
    double volts;          // with a value: the volts,
    std::uint64_t elapsed; // the elapsed milliseconds
    const char *text;      // and the volts text as written
};

// `record` at byte 0 (as given: NUL and all), spaces after it, the driver's
// settled word (counter 2) at byte 88 unless `counted` is false.
inline std::string rule_file(const std::string &record, bool counted = true)
{
    std::string f(vx7::record::kSize, ' ');
    f.replace(0, record.size(), record);
    if (counted) {
        const std::uint64_t word = std::uint64_t{vx7::record::kSequenceMagic} << 32 | 2u;
        char bytes[8];
        std::memcpy(bytes, &word, sizeof bytes);
        f.replace(vx7::record::kSequenceOffset, 8, bytes, 8);
    }
    return f;
}

// A record whose first tab is byte 87, so that its elapsed field would
// begin at the sequence word, whose counter's bytes spell "2\t" (0x0932 in
// the machine's little-endian order: even, the word settled). A reader that
// went past byte 87 would find the elapsed milliseconds 2 there.
inline std::string elapsed_in_the_word()
{
    std::string f = rule_file("1.5" + std::string(84, '0') + "\t");
    const std::uint64_t word = std::uint64_t{vx7::record::kSequenceMagic} << 32 | 0x0932u;
    char bytes[8];
    std::memcpy(bytes, &word, sizeof bytes);
    f.replace(vx7::record::kSequenceOffset, 8, bytes, 8);
    return f;
}

inline std::string with_nul(const char *text)
{
    return std::string(text) + '\0';
}

inline const std::vector<RuleCase> &rule_cases()
{
    static const std::vector<RuleCase> cases{
        {"driver_record", rule_file(with_nul("1.25000000000e+00\t1000\t")), true, 1.25, 1000, "1.25000000000e+00"},
        {"negative", rule_file(with_nul("-1.56250018626e-01\t7\t")), true, -1.56250018626e-01, 7, "-1.56250018626e-01"},
        {"windows_driver_without_word", rule_file(with_nul("2.50000000000e+000\t4294967295\t"), false), true, 2.5,
         4294967295u, "2.50000000000e+000"},
        {"largest_elapsed", rule_file(with_nul("0.5\t18446744073709551615\t")), true, 0.5, 18446744073709551615u,
         "0.5"},
        {"no_elapsed_field", rule_file(with_nul("1.5")), false, 0, 0, ""},
        {"number_without_nul", rule_file("1.5"), false, 0, 0, ""},
        {"one_tab_only", rule_file(with_nul("1.5\t12")), false, 0, 0, ""},
        {"nan", rule_file(with_nul("nan\t5\t")), false, 0, 0, ""},
        {"infinity", rule_file(with_nul("-inf\t5\t")), false, 0, 0, ""},
        {"out_of_double_range", rule_file(with_nul("1e999\t5\t")), false, 0, 0, ""},
        {"hexadecimal", rule_file(with_nul("0x1p-1\t5\t")), false, 0, 0, ""},
        {"leading_space", rule_file(with_nul(" 1.5\t5\t")), false, 0, 0, ""},
        {"comma", rule_file(with_nul("1,5\t5\t")), false, 0, 0, ""},
        {"quote", rule_file(with_nul("\"1.5\"\t5\t")), false, 0, 0, ""},
        {"newline", rule_file(with_nul("1.5\n2.5\t5\t")), false, 0, 0, ""},
        {"text_behind_the_second_tab", rule_file(with_nul("1.5\t5\tx")), false, 0, 0, ""},
        {"elapsed_above_64_bits", rule_file(with_nul("0.5\t18446744073709551616\t")), false, 0, 0, ""},
        {"volts_longer_than_31", rule_file(with_nul("1.0000000000000000000000000000000\t5\t")), false, 0, 0, ""},
        {"all_spaces", rule_file("", false), false, 0, 0, ""},
        // Fields that would run into the sequence word.
        {"volts_running_into_the_word", rule_file(std::string(88, '1')), false, 0, 0, ""},
        {"elapsed_in_the_word", elapsed_in_the_word(), false, 0, 0, ""},
    };
    return cases;
}

} // namespace vx7test
