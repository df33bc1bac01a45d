// Fuzz target: libvx7's read path on a channel file of any content and
// length. The input becomes the whole file (in a private temporary
// directory); read_channel_file must give "no value" for a file shorter than
// a record or one whose sequence word says a change is under way, and
// otherwise what the record's leading number says (strtod on the first 100
// bytes), or "no value" when it holds none.
#include "fuzz_check.h"

#include "internal.h"

#include <cmath>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <unistd.h>

namespace {

std::string temp_dir;

void remove_temp_dir()
{
    (void)::unlink((temp_dir + "/adc1.adc").c_str());
    (void)::rmdir(temp_dir.c_str());
}

// The channel file, in a temporary directory of its own (removed at exit).
const std::string &file_path()
{
    static const std::string path = [] {
        const char *tmp = std::getenv("TMPDIR");
        std::string dir = std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/vx7-fuzz-reader.XXXXXX";
        if (::mkdtemp(dir.data()) == nullptr)
            vx7fuzz::failed("mkdtemp", __FILE__, __LINE__);
        temp_dir = dir;
        std::atexit(remove_temp_dir);
        return dir + "/adc1.adc";
    }();
    return path;
}

void write_file(const std::string &path, const std::uint8_t *data, std::size_t size)
{
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    FUZZ_CHECK(fd >= 0);
    std::size_t done = 0;
    while (done < size) {
        const ssize_t n = ::write(fd, data + done, size - done);
        FUZZ_CHECK(n > 0);
        done += static_cast<std::size_t>(n);
    }
    ::close(fd);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    const std::string &path = file_path();
    write_file(path, data, size);
    const double got = vx7::lib::read_channel_file(path.c_str());

    double want = vx7::lib::kNoValue;
    std::uint64_t word = 0;
    if (size >= vx7::record::kSize)
        std::memcpy(&word, data + vx7::record::kSequenceOffset, sizeof word);
    const bool changing = vx7::record::counted(word) && !vx7::record::settled(word);
    if (size >= vx7::record::kSize && !changing) {
        // The record's bytes end at the sequence word when there is one.
        char text[vx7::record::kSize + 1] = {};
        std::memcpy(text, data, vx7::record::counted(word) ? vx7::record::kRecordLimit : vx7::record::kSize);
        char *end = nullptr;
        const double v = std::strtod(text, &end);
        if (end != text)
            want = v;
    }
    FUZZ_CHECK((std::isnan(got) && std::isnan(want)) || got == want);
    return 0;
}
