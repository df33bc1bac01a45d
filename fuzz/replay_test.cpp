// Replays a fuzz target's seed corpus and every input it once crashed on
// (fuzz/corpus/<target>/ and fuzz/regressions/<target>/) through the
// target's own entry function, in the normal and the sanitizer build. A
// property the target checks ends the process (abort), which fails the test;
// the file being replayed is named on standard error first.
#include "fuzz_check.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace {

std::vector<std::filesystem::path> inputs(const char *dir)
{
    std::vector<std::filesystem::path> files;
    if (!std::filesystem::is_directory(dir))
        return files;
    for (const auto &e : std::filesystem::directory_iterator(dir)) {
        if (e.is_regular_file())
            files.push_back(e.path());
    }
    std::sort(files.begin(), files.end());
    return files;
}

std::size_t replay(const char *dir)
{
    std::size_t n = 0;
    for (const auto &file : inputs(dir)) {
        std::ifstream in(file, std::ios::binary);
        const std::vector<char> bytes{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
        std::fprintf(stderr, "replaying %s (%zu bytes)\n", file.c_str(), bytes.size());
        (void)LLVMFuzzerTestOneInput(reinterpret_cast<const std::uint8_t *>(bytes.data()), bytes.size());
        ++n;
    }
    return n;
}

TEST(FuzzReplay, SeedCorpus)
{
    // An empty corpus would make the replay pass without checking anything.
    EXPECT_GT(replay(VX7_FUZZ_CORPUS), 0u) << "no seed inputs in " << VX7_FUZZ_CORPUS;
}

TEST(FuzzReplay, Regressions)
{
    (void)replay(VX7_FUZZ_REGRESSIONS);
}

} // namespace
