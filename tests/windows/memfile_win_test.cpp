// Value files, Windows form: the access table, OPEN_ALWAYS for every access,
// the fill, sharing between mappings, and the failure results.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "vx7/memfile.h"
#include "wintest.h"

namespace {

using vx7test::win::exists;
using vx7test::win::make_dirs;
using vx7test::win::read_file;
using vx7test::win::write_file;

const std::string kDir = "C:\\mf";

struct ModeCase {
    uint8_t mode;
    uint8_t missing_result;  // result on a missing file
    uint8_t existing_result; // result on an existing 300-byte file of 'x'
    bool fills;              // the first 100 bytes become spaces
    bool writable;           // the view can be written
};

// Modes 0 to 7. Read-only access (0, 1, 4, 5) cannot map 100 bytes of a new,
// empty file (a read-only mapping cannot extend it), but the file is still
// created. Write-only access (2, 6) cannot have the read-write mapping
// object at all: result 1 after the open (and with 6 the fill).
const ModeCase kModes[] = {
    {0, 1, 0, false, false}, {1, 1, 0, false, false}, {2, 1, 1, false, false}, {3, 0, 0, false, true},
    {4, 1, 0, false, false}, {5, 1, 0, false, false}, {6, 1, 1, true, false},  {7, 0, 0, true, true},
};

class MemfileModes : public ::testing::TestWithParam<ModeCase> {
protected:
    void SetUp() override { make_dirs(kDir); }
    std::string file(const char *name) const { return kDir + "\\" + name + std::to_string(GetParam().mode); }
};

TEST_P(MemfileModes, MissingFileIsCreatedForEveryAccess)
{
    const ModeCase &c = GetParam();
    const std::string path = file("new");
    memfile_t rec{};
    const uint8_t r = memfile_create(path.c_str(), c.mode, 100, &rec);
    EXPECT_EQ(r, c.missing_result);
    EXPECT_TRUE(exists(path)) << "OPEN_ALWAYS creates the file even for reading";
    if (r == 0) {
        ASSERT_NE(rec.data, nullptr);
        const std::string expected(100, c.fills ? ' ' : '\0');
        EXPECT_EQ(std::string(rec.data, 100), expected);
    } else {
        EXPECT_EQ(rec.data, nullptr);
        EXPECT_EQ(rec.priv, nullptr);
    }
    memfile_close(&rec);
    EXPECT_EQ(read_file(path).size(), r == 0 || c.fills ? 100u : 0u);
}

TEST_P(MemfileModes, ExistingFileIsNeitherTruncatedNorFilledWithoutWriteAndFill)
{
    const ModeCase &c = GetParam();
    const std::string path = file("old");
    write_file(path, std::string(300, 'x'));
    memfile_t rec{};
    const uint8_t r = memfile_create(path.c_str(), c.mode, 100, &rec);
    EXPECT_EQ(r, c.existing_result);
    const std::string head = c.fills ? std::string(100, ' ') : std::string(100, 'x');
    if (r == 0) {
        ASSERT_NE(rec.data, nullptr);
        EXPECT_EQ(std::string(rec.data, 100), head);
        if (c.writable)
            rec.data[0] = 'W';
    }
    memfile_close(&rec);
    EXPECT_EQ(rec.data, nullptr);
    std::string expected = head + std::string(200, 'x');
    if (r == 0 && c.writable)
        expected[0] = 'W';
    EXPECT_EQ(read_file(path), expected) << "writes reach the file; bytes past the size stay";
}

INSTANTIATE_TEST_SUITE_P(AllModes, MemfileModes, ::testing::ValuesIn(kModes),
                         [](const auto &tp) { return "mode" + std::to_string(tp.param.mode); });

TEST(Memfile, TwoMappingsOfOneFileSeeEachOthersWrites)
{
    make_dirs(kDir);
    const std::string path = kDir + "\\shared.adc";
    memfile_t writer{}, reader{};
    ASSERT_EQ(memfile_create(path.c_str(), 7, 100, &writer), 0);
    ASSERT_EQ(memfile_create(path.c_str(), MEMFILE_READ, 100, &reader), 0)
        << "the writer opens the file shared for reading and writing";
    EXPECT_EQ(std::string(reader.data, 100), std::string(100, ' '));
    std::memcpy(writer.data, "1.5\t7\t", 7);
    EXPECT_STREQ(reader.data, "1.5\t7\t");
    memfile_close(&reader);
    memfile_close(&writer);
}

TEST(Memfile, FailuresLeaveTheRecordEmptyAndNothingOpen)
{
    make_dirs(kDir);
    memfile_t rec{};
    EXPECT_EQ(memfile_create("C:\\no\\such\\dir\\adc1.adc", 7, 100, &rec), 1);
    EXPECT_EQ(rec.data, nullptr);
    EXPECT_EQ(rec.priv, nullptr);
    EXPECT_FALSE(exists("C:\\no"));

    const std::string path = kDir + "\\untouched";
    EXPECT_EQ(memfile_create(path.c_str(), 7, 100, nullptr), 3);
    EXPECT_FALSE(exists(path)) << "a null record touches no file";

    // A record whose create failed after opening (write-only access) left no
    // handle behind: the file can be deleted at once.
    const std::string wo = kDir + "\\writeonly";
    EXPECT_EQ(memfile_create(wo.c_str(), MEMFILE_WRITE | MEMFILE_FILL, 100, &rec), 1);
    EXPECT_TRUE(::DeleteFileA(wo.c_str())) << "error " << ::GetLastError();
}

TEST(Memfile, CloseReleasesTheFileAndIsHarmlessTwice)
{
    make_dirs(kDir);
    const std::string path = kDir + "\\closed";
    memfile_t rec{};
    ASSERT_EQ(memfile_create(path.c_str(), 7, 100, &rec), 0);
    memfile_close(&rec);
    EXPECT_EQ(rec.data, nullptr);
    EXPECT_EQ(rec.priv, nullptr);
    memfile_close(&rec);
    memfile_close(nullptr);
    EXPECT_TRUE(::DeleteFileA(path.c_str())) << "no handle or view left open";
}

} // namespace
