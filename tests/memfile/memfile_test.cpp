#include "vx7/memfile.h"

#include "tempdir.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <filesystem>
#include <ostream>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace fs = std::filesystem;
using vx7test::read_file;
using vx7test::TempDir;
using vx7test::write_file;

namespace {

int open_fd_count()
{
    int n = 0;
    for ([[maybe_unused]] auto &e : fs::directory_iterator("/proc/self/fd"))
        ++n;
    return n;
}

struct ModeCase {
    uint8_t mode;
    bool existed;      // file present before the call
    int result;        // expected result
    bool exists_after; // file on disk afterwards
    std::string after; // expected contents afterwards (when it exists)
};

void PrintTo(const ModeCase &c, std::ostream *os)
{
    *os << "mode " << int(c.mode) << (c.existed ? " on an existing file" : " on a missing file");
}

class MemfileModes : public ::testing::TestWithParam<ModeCase> {};

} // namespace

// Every mode against a missing file and against an existing 10-byte file.
TEST_P(MemfileModes, ResultAndFileAfterwards)
{
    const ModeCase &c = GetParam();
    TempDir dir;
    const std::string path = dir.file("v.adc");
    const std::string original = "0123456789";
    if (c.existed)
        write_file(path, original);

    const int fds_before = open_fd_count();
    memfile_t rec{reinterpret_cast<memfile_priv *>(1), reinterpret_cast<char *>(1)};
    const int rc = memfile_create(path.c_str(), c.mode, 10, &rec);
    EXPECT_EQ(rc, c.result);
    if (rc == 0) {
        EXPECT_NE(rec.data, nullptr);
        EXPECT_NE(rec.priv, nullptr);
        EXPECT_EQ(std::string(rec.data, 10), c.after);
    } else {
        EXPECT_EQ(rec.data, nullptr);
        EXPECT_EQ(rec.priv, nullptr);
    }
    memfile_close(&rec);
    EXPECT_EQ(rec.data, nullptr);
    EXPECT_EQ(rec.priv, nullptr);
    EXPECT_EQ(open_fd_count(), fds_before) << "descriptor left open";
    EXPECT_EQ(fs::exists(path), c.exists_after);
    if (c.exists_after) {
        EXPECT_EQ(read_file(path), c.after);
    }
}

const std::string kSpaces10(10, ' ');
const std::string kOriginal = "0123456789";

INSTANTIATE_TEST_SUITE_P(AllModes, MemfileModes,
                         ::testing::Values(
                             // no read or write bit: refused, nothing created
                             ModeCase{0, false, 1, false, ""}, ModeCase{4, false, 1, false, ""},
                             ModeCase{0, true, 1, true, kOriginal}, ModeCase{4, true, 1, true, kOriginal},
                             // read only: never creates, never fills
                             ModeCase{1, false, 1, false, ""}, ModeCase{5, false, 1, false, ""},
                             ModeCase{1, true, 0, true, kOriginal}, ModeCase{5, true, 0, true, kOriginal},
                             // write only: a shared writable mapping of a write-only descriptor
                             // is refused; the file is created, but neither filled nor lengthened
                             ModeCase{2, false, 2, true, ""}, ModeCase{6, false, 2, true, ""},
                             ModeCase{2, true, 2, true, kOriginal}, ModeCase{6, true, 2, true, kOriginal},
                             // read and write: created; filled only with the fill bit
                             ModeCase{3, true, 0, true, kOriginal}, ModeCase{7, false, 0, true, kSpaces10},
                             ModeCase{7, true, 0, true, kSpaces10}, ModeCase{0xFF, true, 0, true, kSpaces10}),
                         [](const auto &param_info) {
                             const ModeCase &c = param_info.param;
                             return "mode" + std::to_string(c.mode) + (c.existed ? "_existing" : "_missing");
                         });

TEST(Memfile, CreatedFileHasPermissionsLessUmask)
{
    TempDir dir;
    const std::string path = dir.file("adc1.adc");
    const mode_t old = ::umask(022);
    memfile_t rec{};
    ASSERT_EQ(memfile_create(path.c_str(), 7, 100, &rec), 0);
    ::umask(old);
    struct stat st;
    ASSERT_EQ(::stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0644u);
    EXPECT_EQ(st.st_size, 100);
    EXPECT_EQ(std::string(rec.data, 100), std::string(100, ' '));
    memfile_close(&rec);
}

// With no file-creation mask the permissions asked of open show unchanged:
// read-write files 0666, write-only ones 0222.
TEST(Memfile, PermissionsWithUmaskZero)
{
    TempDir dir;
    struct Case {
        uint8_t mode;
        int result;
        mode_t perms;
    };
    for (const Case &c : {Case{3, 0, 0666}, Case{7, 0, 0666}, Case{2, 2, 0222}, Case{6, 2, 0222}}) {
        SCOPED_TRACE(int(c.mode));
        const std::string path = dir.file("m" + std::to_string(c.mode));
        const mode_t old = ::umask(0);
        memfile_t rec{};
        const int rc = memfile_create(path.c_str(), c.mode, 100, &rec);
        ::umask(old);
        EXPECT_EQ(rc, c.result);
        memfile_close(&rec);
        struct stat st;
        ASSERT_EQ(::stat(path.c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 07777, c.perms);
    }
}

// The fill is written in chunks: every byte of a size well beyond one chunk
// becomes a space, and nothing beyond the size is touched.
TEST(Memfile, FillLongerThanOneWriteChunk)
{
    TempDir dir;
    for (const std::size_t size : {std::size_t{1000}, std::size_t{4096}, std::size_t{70001}}) {
        SCOPED_TRACE(size);
        const std::string existing = dir.file("existing" + std::to_string(size));
        write_file(existing, std::string(size + 500, 'a'));
        const std::string missing = dir.file("missing" + std::to_string(size));
        for (const std::string &path : {existing, missing}) {
            memfile_t rec{};
            ASSERT_EQ(memfile_create(path.c_str(), 7, size, &rec), 0);
            EXPECT_EQ(std::string(rec.data, size), std::string(size, ' '));
            memfile_close(&rec);
        }
        EXPECT_EQ(read_file(existing), std::string(size, ' ') + std::string(500, 'a'));
        EXPECT_EQ(read_file(missing), std::string(size, ' '));
    }
}

TEST(Memfile, WritesReachTheFileAndOtherMappings)
{
    TempDir dir;
    const std::string path = dir.file("adc1.adc");
    memfile_t writer{}, reader{};
    ASSERT_EQ(memfile_create(path.c_str(), 7, 100, &writer), 0);
    ASSERT_EQ(memfile_create(path.c_str(), MEMFILE_READ, 100, &reader), 0);
    writer.data[0] = 'x';
    writer.data[99] = 'y';
    EXPECT_EQ(reader.data[0], 'x');
    EXPECT_EQ(reader.data[99], 'y');
    memfile_close(&reader);
    memfile_close(&writer);
    EXPECT_EQ(read_file(path), "x" + std::string(98, ' ') + "y");
}

TEST(Memfile, LongerFileKeepsItsTail)
{
    TempDir dir;
    const std::string path = dir.file("long.adc");
    write_file(path, std::string(300, 'a'));
    memfile_t rec{};
    ASSERT_EQ(memfile_create(path.c_str(), 7, 100, &rec), 0);
    memfile_close(&rec);
    EXPECT_EQ(read_file(path), std::string(100, ' ') + std::string(200, 'a'));
}

// A file shorter than the mapping would fault on first touch beyond its end.
TEST(Memfile, ShorterFileIsExtendedWhenWritableAndRefusedWhenReadOnly)
{
    TempDir dir;
    const std::string path = dir.file("short.adc");
    write_file(path, "abc");

    const int fds_before = open_fd_count();
    memfile_t rec{};
    EXPECT_EQ(memfile_create(path.c_str(), MEMFILE_READ, 100, &rec), 2);
    EXPECT_EQ(rec.data, nullptr);
    EXPECT_EQ(open_fd_count(), fds_before);
    EXPECT_EQ(read_file(path), "abc") << "a read-only open must not change the file";

    ASSERT_EQ(memfile_create(path.c_str(), MEMFILE_READ | MEMFILE_WRITE, 100, &rec), 0);
    EXPECT_EQ(rec.data[0], 'a');
    EXPECT_EQ(rec.data[99], '\0'); // mapped bytes past the old end are readable
    memfile_close(&rec);
    EXPECT_EQ(fs::file_size(path), 100u);
}

TEST(Memfile, SizeZeroIsRefused)
{
    TempDir dir;
    memfile_t rec{};
    EXPECT_EQ(memfile_create(dir.file("zero").c_str(), 7, 0, &rec), 2);
    EXPECT_EQ(rec.data, nullptr);
    EXPECT_EQ(rec.priv, nullptr);
}

TEST(Memfile, NullRecordTouchesNothing)
{
    TempDir dir;
    for (uint8_t mode = 0; mode < 8; ++mode) {
        EXPECT_EQ(memfile_create(dir.file("n").c_str(), mode, 100, nullptr), 3);
        EXPECT_FALSE(fs::exists(dir.file("n")));
    }
}

TEST(Memfile, MissingDirectoryGivesOne)
{
    TempDir dir;
    memfile_t rec{};
    EXPECT_EQ(memfile_create(dir.file("no/such/dir.adc").c_str(), 7, 100, &rec), 1);
    EXPECT_EQ(rec.data, nullptr);
}

TEST(Memfile, CloseTwiceAndCloseNullAreHarmless)
{
    TempDir dir;
    memfile_t rec{};
    ASSERT_EQ(memfile_create(dir.file("c").c_str(), 7, 100, &rec), 0);
    memfile_close(&rec);
    memfile_close(&rec);
    memfile_close(nullptr);
    memfile_t never{};
    memfile_close(&never);
    EXPECT_EQ(rec.priv, nullptr);
}

TEST(Memfile, DescriptorIsCloseOnExec)
{
    TempDir dir;
    memfile_t rec{};
    ASSERT_EQ(memfile_create(dir.file("e").c_str(), 7, 100, &rec), 0);
    bool found_any = false;
    for (auto &e : fs::directory_iterator("/proc/self/fd")) {
        std::error_code ec;
        if (fs::read_symlink(e.path(), ec) == fs::path(dir.file("e"))) {
            const int fd = std::stoi(e.path().filename().string());
            EXPECT_TRUE(::fcntl(fd, F_GETFD) & FD_CLOEXEC);
            found_any = true;
        }
    }
    EXPECT_TRUE(found_any);
    memfile_close(&rec);
}

// A FIFO at the path would block a plain open() until a writer came along.
TEST(Memfile, FifoIsRefusedWithoutBlocking)
{
    TempDir dir;
    const std::string path = dir.file("fifo.adc");
    ASSERT_EQ(::mkfifo(path.c_str(), 0600), 0);
    for (uint8_t mode : {uint8_t{1}, uint8_t{3}, uint8_t{7}}) {
        memfile_t rec{};
        EXPECT_NE(memfile_create(path.c_str(), mode, 100, &rec), 0) << int(mode);
        EXPECT_EQ(rec.data, nullptr);
    }
}
