// Fuzz target: libvx7's read path on a channel file of any content and
// length. The input becomes the whole file (in a private temporary
// directory); read_channel_file must give "no value" for a file shorter than
// a record or one whose sequence word says a change is under way, and
// otherwise what the record's one rule says (record_oracle.h, written with
// the C library): its volts, or "no value".
#include "fuzz_check.h"
#include "record_oracle.h"

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
    vx7fuzz::Expected e;
    if (size >= vx7::record::kSize && !changing && vx7fuzz::expected_value(reinterpret_cast<const char *>(data), e))
        want = e.volts;
    FUZZ_CHECK(std::memcmp(&got, &want, sizeof got) == 0);
    return 0;
}
