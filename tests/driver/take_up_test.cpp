// The Linux driver's take-up of a channel file at its start
// (driver_platform.h's open_channel_file), on a file as a driver that died
// (kill -9, a power loss) leaves it: its last record under a settled
// sequence word. The take-up is stopped before each byte it writes while a
// reader looks at the file through a mapping of its own.
#include "driver_platform.h"

#include "tempdir.h"

#include <gtest/gtest.h>

#include <cstring>
#include <fcntl.h>
#include <functional>
#include <string>
#include <sys/mman.h>
#include <unistd.h>

namespace record = vx7::record;

namespace {

// Bytes for record::blank that stop once, before byte number `at` of the
// take-up, to let `look` see the file.
struct StoppingBytes {
    std::size_t at;
    std::function<void()> look;
    std::size_t done = 0;

    void copy(char *dst, const char *src, std::size_t n)
    {
        for (std::size_t i = 0; i < n; ++i, ++done) {
            if (done == at)
                look();
            dst[i] = src[i];
        }
    }
    void fill(char *dst, char c, std::size_t n)
    {
        for (std::size_t i = 0; i < n; ++i, ++done) {
            if (done == at)
                look();
            dst[i] = c;
        }
    }
};

// The file a driver that died leaves: spaces, its last record over the
// start, and the word with the magic and an even counter.
std::string crash_left_file(const record::Text &last, std::uint32_t counter)
{
    std::string file(record::kSize, ' ');
    file.replace(0, last.length + 1, last.bytes, last.length + 1);
    const std::uint64_t word = std::uint64_t{record::kSequenceMagic} << 32 | counter;
    file.replace(record::kSequenceOffset, 8, reinterpret_cast<const char *>(&word), 8);
    return file;
}

} // namespace

// Before any byte of the record changes the counter is odd; at every byte of
// the take-up a reader gets the dead driver's last record whole or no value,
// never a mixture (-1.5625 out of "-1.56250000000e-01" half spaced over);
// afterwards the file is 100 spaces, as the value-file fill left it before.
TEST(TakeUp, AFileLeftByADeadDriverShowsItsRecordOrNothingAtEveryByte)
{
    const record::Text last = record::format(-0.15625, 987654);
    const std::string before = crash_left_file(last, 40);
    for (std::size_t at = 0; at < record::kSize - 8; ++at) {
        SCOPED_TRACE(at);
        vx7test::TempDir dir;
        const std::string path = dir.file("adc3.adc");
        vx7test::write_file(path, before);
        const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
        ASSERT_GE(fd, 0);
        void *p = ::mmap(nullptr, record::kSize, PROT_READ, MAP_SHARED, fd, 0);
        ::close(fd);
        ASSERT_NE(p, MAP_FAILED);
        const char *reader = static_cast<const char *>(p);

        int looks = 0;
        StoppingBytes bytes{
            at, [&] {
                ++looks;
                if (at == 0) {
                    EXPECT_EQ(std::string(reader, record::kSequenceOffset), before.substr(0, record::kSequenceOffset))
                        << "the record changed before the counter turned odd";
                    EXPECT_TRUE(record::counted(record::sequence(reader)) &&
                                !record::settled(record::sequence(reader)));
                }
                char copy[record::kSize];
                record::Value v{};
                if (record::read_stable(reader, copy).consistent && record::read_value(copy, v)) {
                    EXPECT_EQ(v.volts, -0.15625);
                    EXPECT_EQ(v.elapsed_ms, 987654u);
                }
            }};
        memfile_t file{nullptr, nullptr};
        ASSERT_EQ(vx7::driver_platform::open_channel_file(path.c_str(), file, bytes), MEMFILE_OK);
        EXPECT_EQ(looks, 1);
        EXPECT_EQ(std::string(file.data, record::kSize), std::string(record::kSize, ' '));
        memfile_close(&file);
        ::munmap(p, record::kSize);
    }
}
