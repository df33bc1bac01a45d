// Channel files for the stream tests, rewritten in place the way the driver
// rewrites them: mapped shared and written through the record unit, waking
// the file's waiting readers after each change.
#pragma once

#include "tempdir.h"
#include "vx7/stream.h"
#include "vx7record/futex.h"
#include "vx7record/record.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <string>
#include <sys/mman.h>
#include <unistd.h>

namespace vx7test {

// One channel file, created blank (100 spaces) and kept mapped for writing.
class ChannelWriter {
public:
    explicit ChannelWriter(const std::string &path)
    {
        const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
        if (fd < 0 || ::ftruncate(fd, vx7::record::kSize) != 0)
            std::abort();
        void *p = ::mmap(nullptr, vx7::record::kSize, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
        ::close(fd);
        if (p == MAP_FAILED)
            std::abort();
        map_ = static_cast<char *>(p);
        blank();
    }
    ~ChannelWriter() { ::munmap(map_, vx7::record::kSize); }
    ChannelWriter(const ChannelWriter &) = delete;
    ChannelWriter &operator=(const ChannelWriter &) = delete;

    void publish(double volts, unsigned long ms)
    {
        vx7::record::publish(map_, vx7::record::format(volts, ms));
        vx7::record::wake_readers(map_);
    }
    void blank()
    {
        vx7::record::blank(map_);
        vx7::record::wake_readers(map_);
    }
    // Wakes the waiting readers (after a change made through data()).
    void wake() { vx7::record::wake_readers(map_); }
    char *data() { return map_; }

private:
    char *map_ = nullptr;
};

// The text the driver writes for a value.
inline std::string volts_text(double volts)
{
    char buf[64];
    std::snprintf(buf, sizeof buf, "%.11e", volts);
    return buf;
}

} // namespace vx7test
