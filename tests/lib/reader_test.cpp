// The channel reader behind vx7_read, on real files in a private directory:
// records as the driver writes them, leftovers, sentinels, short and odd
// files, the caller's locale, and a file rewritten while it is being read.
#include "internal.h"

#include "channel_files.h"
#include "record_rule_cases.h"
#include "tempdir.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <clocale>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <set>
#include <string>
#include <sys/mman.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "vx7/memfile.h"

namespace fs = std::filesystem;
using vx7::lib::kNoValue;
using vx7::lib::read_channel_file;
using vx7test::driver_file;
using vx7test::read_file;
using vx7test::TempDir;
using vx7test::write_file;

namespace {

const std::string kSpaces = vx7test::kBlankRecord;

// One count of the device at range exponent 0 in volts: the double nearest
// to 2.5 / 8388607.
constexpr double kOneCount = 2.9802325940409415e-07;

int open_fd_count()
{
    int n = 0;
    for ([[maybe_unused]] auto &e : fs::directory_iterator("/proc/self/fd"))
        ++n;
    return n;
}

bool mapped_now(const std::string &path)
{
    return read_file("/proc/self/maps").find(path) != std::string::npos;
}

struct FileCase {
    const char *name;
    std::string contents;
    double expected; // kNoValue for "no value"
};

class ChannelFile : public ::testing::TestWithParam<FileCase> {};

// A file with these 8 bytes at 88-95, where the driver keeps its sequence
// word.
std::string with_word(std::string file, const char (&word)[9])
{
    file.replace(88, 8, word, 8);
    return file;
}

std::string digits_then(std::size_t n, const std::string &tail)
{
    return std::string(n, '1') + tail;
}

} // namespace

// Each file is read once; the result must be the value (exactly), nothing may
// stay open or mapped, and the file must be byte for byte unchanged.
TEST_P(ChannelFile, ReadsValueOrNoValue)
{
    const FileCase &c = GetParam();
    TempDir dir;
    const std::string path = dir.file("adc1.adc");
    write_file(path, c.contents);

    const int fds = open_fd_count();
    const double v = read_channel_file(path.c_str());
    if (std::isnan(c.expected))
        EXPECT_TRUE(std::isnan(v)) << v;
    else
        EXPECT_EQ(v, c.expected);
    EXPECT_EQ(open_fd_count(), fds) << "descriptor left open";
    EXPECT_FALSE(mapped_now(path)) << "mapping left behind";
    EXPECT_EQ(read_file(path), c.contents) << "reader changed the file";
}

INSTANTIATE_TEST_SUITE_P(
    Records, ChannelFile,
    ::testing::Values(
        // Values as the driver formats them; the time field never matters.
        FileCase{"full_scale", driver_file(2.5, 1234), 2.5}, FileCase{"one_and_a_quarter", driver_file(1.25, 5), 1.25},
        FileCase{"minus_full_scale", driver_file(-2.5, 18446744073709551615UL), -2.5},
        FileCase{"most_negative_count", driver_file(-8388608 * kOneCount, 7), -2.50000029802e+00},
        FileCase{"one_count", driver_file(kOneCount, 0), 2.98023259404e-07},
        FileCase{"zero", driver_file(0.0, 10), 0.0},
        FileCase{"exponent_seven", driver_file(2.5 / 128, 99), 1.953125e-02},
        // A shorter record over a longer one: the old record's tail and NUL
        // remain behind the new NUL and are ignored.
        FileCase{"leftovers_of_longer_record",
                 driver_file({vx7::record::format(-1.0, 1234), vx7::record::format(1.0, 1235)}), 1.0},
        FileCase{"leftovers_after_shorter_time",
                 driver_file({vx7::record::format(-2.0, 123456789), vx7::record::format(0.5, 1)}), 0.5},
        // With the driver's sequence word in bytes 88-95: an even counter says
        // the record stands whole; an odd one that stays odd (a writer that
        // died half-way) gives no value.
        FileCase{"settled_counter", with_word(driver_file(0.75, 8), "\x04\x00\x00\x00\xE5\xC3\xA7\xB7"), 0.75},
        FileCase{"counter_left_odd", with_word(driver_file(0.75, 8), "\x05\x00\x00\x00\xE5\xC3\xA7\xB7"), kNoValue},
        // The file may be longer than a record; only the first 100 bytes count.
        FileCase{"longer_file", driver_file(1.5, 3) + "9999999999", 1.5},
        // A number running to the last byte of the record, with or without
        // more digits or an exponent in the file behind it, is no record:
        // every reader takes it as no value.
        FileCase{"number_fills_record", digits_then(100, "e5"), kNoValue},
        FileCase{"number_cut_at_record_end", digits_then(1, ".") + std::string(98, '5') + "5e-9", kNoValue},
        // Nor is a number behind white space, which no driver writes.
        FileCase{"leading_blanks", "  \t 1.5\t7\t" + std::string(90, ' '), kNoValue},
        // No number: the driver has not sampled the channel yet or has
        // stopped (all spaces), or the record holds something else.
        FileCase{"all_spaces", kSpaces, kNoValue},
        FileCase{"empty_record", std::string(1, '\0') + "2.5\t1\t" + std::string(93, ' '), kNoValue},
        FileCase{"text", "abc\t12\t" + std::string(93, ' '), kNoValue},
        FileCase{"nul_bytes", std::string(100, '\0'), kNoValue},
        // Files that cannot be read as a record: shorter than 100 bytes (a
        // mapping past the end of a file would fault) or empty.
        FileCase{"short_file", driver_file(1.25, 5).substr(0, 60), kNoValue},
        FileCase{"one_byte_short", driver_file(1.25, 5).substr(0, 99), kNoValue}, FileCase{"empty_file", "", kNoValue}),
    [](const ::testing::TestParamInfo<FileCase> &p) { return std::string(p.param.name); });

// vx7_read's reader on the table every reader is tested with: the value
// only where the record has the driver's form.
TEST(ChannelFileRule, OneRuleForEveryRecord)
{
    TempDir dir;
    const std::string path = dir.file("adc1.adc");
    for (const vx7test::RuleCase &c : vx7test::rule_cases()) {
        SCOPED_TRACE(c.name);
        write_file(path, c.file);
        EXPECT_EQ(read_channel_file(path.c_str()), c.has_value ? c.volts : kNoValue);
    }
}

TEST(ChannelFileMissing, MissingFileOrDirectoryGiveNoValue)
{
    TempDir dir;
    const int fds = open_fd_count();
    EXPECT_EQ(read_channel_file(dir.file("adc1.adc").c_str()), kNoValue);
    EXPECT_FALSE(fs::exists(dir.file("adc1.adc"))) << "reader created the file";
    EXPECT_EQ(read_channel_file(dir.path().c_str()), kNoValue) << "a directory is not a channel file";
    EXPECT_EQ(open_fd_count(), fds);
}

// A file the caller may not read. Root reads everything, so a child process
// gives itself up to an unprivileged user first.
TEST(ChannelFileAccess, UnreadableFileGivesNoValue)
{
    TempDir dir;
    const std::string path = dir.file("adc1.adc");
    write_file(path, driver_file(1.0, 1));
    fs::permissions(dir.path(), fs::perms::owner_all | fs::perms::group_exec | fs::perms::others_exec);
    fs::permissions(path, fs::perms::owner_write);

    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        if (::geteuid() == 0 && (::setgid(65534) != 0 || ::setuid(65534) != 0))
            ::_exit(3);
        // Still able to read it (a privileged user that cannot drop rights)?
        if (FILE *f = std::fopen(path.c_str(), "r")) {
            std::fclose(f);
            ::_exit(4);
        }
        ::_exit(read_channel_file(path.c_str()) == kNoValue ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    if (WEXITSTATUS(status) == 3 || WEXITSTATUS(status) == 4)
        GTEST_SKIP() << "cannot run as a user that may not read the file";
    EXPECT_EQ(WEXITSTATUS(status), 0) << "an unreadable file did not give -1e10";
}

// The driver always writes "." as decimal point; a client running in a locale
// with a decimal comma must still get the value.
TEST(ChannelFileLocale, DecimalCommaLocaleDoesNotChangeTheParse)
{
    TempDir dir;
    const std::string locales = dir.file("locales");
    fs::create_directory(locales);
    const std::string cmd = "localedef -i de_DE -f UTF-8 " + locales + "/de_DE.UTF-8 >/dev/null 2>&1";
    if (std::system(cmd.c_str()) != 0 && !fs::exists(locales + "/de_DE.UTF-8/LC_NUMERIC"))
        GTEST_SKIP() << "cannot build a de_DE locale (package locales missing)";
    // The file is written before the locale changes: the driver's own
    // formatting never follows a client's locale.
    const std::string path = dir.file("adc1.adc");
    write_file(path, driver_file(-1.25, 42));

    struct RestoreLocale {
        ~RestoreLocale()
        {
            std::setlocale(LC_ALL, "C");
            ::unsetenv("LOCPATH");
        }
    } restore;
    ::setenv("LOCPATH", locales.c_str(), 1);
    ASSERT_NE(std::setlocale(LC_ALL, "de_DE.UTF-8"), nullptr);
    // The locale is in force: the C library itself now stops at the ".".
    ASSERT_EQ(std::strtod("1.25", nullptr), 1.0);

    EXPECT_EQ(read_channel_file(path.c_str()), -1.25);
}

namespace {

const std::vector<double> kValues = {1.11111111111, -0.222222222222, 3.33333333333e-3, -0.0444444444444};

vx7::record::Text record_number(unsigned long n)
{
    return vx7::record::format(kValues[n % kValues.size()], n * 997);
}

} // namespace

// One writer process keeps rewriting the record the way the driver does (one
// copy of record and NUL into the mapping, inside a change of the sequence
// counter), while several threads read it through the reader. Every value
// read must be one of the values written, or "no value" when the writer was
// caught in the middle of a change too long; never a mixture of two records.
TEST(ChannelFileConcurrency, ReadersNeverSeeAMixedRecord)
{
    TempDir dir;
    const std::string path = dir.file("adc1.adc");
    // Values whose digits differ in every position, with and without a minus
    // sign, so that any mixture of two of them is none of them.
    std::set<double> written;
    for (double v : kValues)
        written.insert(std::strtod(vx7::record::format(v, 0).bytes, nullptr));

    memfile_t w{nullptr, nullptr};
    ASSERT_EQ(memfile_create(path.c_str(), MEMFILE_READ | MEMFILE_WRITE | MEMFILE_FILL, 100, &w), 0);
    vx7::record::publish(w.data, record_number(0));

    void *shared = ::mmap(nullptr, sizeof(std::atomic<int>), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
    ASSERT_NE(shared, MAP_FAILED);
    auto *stop = new (shared) std::atomic<int>(0);

    const pid_t writer = ::fork();
    ASSERT_GE(writer, 0);
    if (writer == 0) {
        unsigned long n = 0;
        while (stop->load() == 0) {
            ++n;
            vx7::record::publish(w.data, record_number(n));
            // Like the driver, rest between records (it rests 10 ms; this is
            // some 50 times faster).
            ::usleep(1);
        }
        ::_exit(0);
    }

    constexpr int kReaders = 4;
    std::atomic<long> reads{0};
    std::vector<std::vector<double>> strange(kReaders);
    std::vector<std::thread> readers;
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(1500);
    for (int r = 0; r < kReaders; ++r) {
        readers.emplace_back([&, r] {
            while (std::chrono::steady_clock::now() < until) {
                const double v = read_channel_file(path.c_str());
                reads.fetch_add(1);
                if (v != kNoValue && written.count(v) == 0 && strange[r].size() < 10)
                    strange[r].push_back(v);
            }
        });
    }
    for (auto &t : readers)
        t.join();
    stop->store(1);
    int status = 0;
    ASSERT_EQ(::waitpid(writer, &status, 0), writer);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    memfile_close(&w);

    EXPECT_GT(reads.load(), 1000) << "too few reads to mean anything";
    for (int r = 0; r < kReaders; ++r) {
        for (double v : strange[r])
            ADD_FAILURE() << "reader " << r << " got a mixed value " << v;
    }
    ::munmap(shared, sizeof(std::atomic<int>));
}
