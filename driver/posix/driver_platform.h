// What the acquisition loop (main_dr.cpp) takes from its platform, Linux form.
// The build puts this folder (driver/posix) on the include path of the Linux
// programs; the Windows program gets its own driver_platform.h with the same
// names.
#ifndef VX7_DRIVER_PLATFORM_H
#define VX7_DRIVER_PLATFORM_H

#include "vx7/memfile.h"
#include "vx7daemon/daemon.h"
#include "vx7record/futex.h"
#include "vx7record/record.h"
#include "writer_lock.h"

#include <array>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <unistd.h>

namespace vx7::driver_platform {

// Channel files by channel index, relative to the daemon's working directory
// ("/" once it has detached).
inline constexpr std::array<const char *, 4> kChannelFiles{"./adc1.adc", "./adc2.adc", "./adc3.adc", "./adc4.adc"};

// vx7_driver writes the start result on standard output; vx7_driver_quiet,
// built with VX7_DRIVER_QUIET, does not.
#ifdef VX7_DRIVER_QUIET
inline constexpr bool kPrintStartResult = false;
#else
inline constexpr bool kPrintStartResult = true;
#endif

// Milliseconds on a clock that only moves forward: the elapsed field of a
// record must not jump when someone sets the wall clock.
using time_ms_t = std::int64_t;

inline time_ms_t now_ms()
{
    timespec ts{};
    ::clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<time_ms_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

// The elapsed field of a record ("%lu": 64 bits here).
inline unsigned long elapsed_ms(time_ms_t now, time_ms_t start)
{
    return static_cast<unsigned long>(static_cast<std::uint64_t>(now - start));
}

// The record of a sample: "%.11e\t%lu\t" with two exponent digits, written
// without the C library's formatter for every value a report carries.
inline vx7::record::Text format(double volts, unsigned long elapsed_ms)
{
    return vx7::record::format(volts, elapsed_ms);
}

// Records are written and blanked inside a change of the sequence word, so
// that readers never take a half-written record; after each change the
// readers waiting on the file's counter are woken (one system call).
inline void publish(char *mapped, const vx7::record::Text &t)
{
    vx7::record::publish(mapped, t);
    vx7::record::wake_readers(mapped);
}

inline void blank(char *mapped)
{
    vx7::record::blank(mapped);
    vx7::record::wake_readers(mapped);
}

// Exit status when another process writes the channel files (the Windows
// driver's status for a channel file that cannot be created).
inline constexpr int kChannelFileExit = -50;

// Before the first write: the writer lock on each channel file
// (writer_lock.h). When another driver holds one, one line goes to the log
// file and to standard output (where the quiet build's invoker sees it),
// naming the file and its writer, and the start ends with kChannelFileExit
// without a byte written.
inline int claim_channel_files()
{
    const vx7::driver::ClaimResult r =
        vx7::driver::claim_channel_files(kChannelFiles, vx7::driver::kWriterWaitMs, [] { return dmn_running() != 0; });
    if (r.claim == vx7::driver::Claim::Taken)
        return 0;
    if (DMN_LOG_FILE[0] != '\0') {
        const int fd = ::open(DMN_LOG_FILE, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC | O_NONBLOCK, 0644);
        if (fd >= 0) {
            (void)!::write(fd, r.line, std::strlen(r.line));
            ::close(fd);
        }
    }
    std::fputs(r.line, stdout);
    std::fflush(stdout);
    return kChannelFileExit;
}

// Creates (or opens) and maps a channel file and takes it up: the value-file
// unit opens it for reading and writing but does not fill it, since its fill
// writes spaces outside the sequence protocol while a file left by a driver
// that died holds a settled word over its last record. The file is blanked
// through the protocol instead (its counter odd before any byte changes),
// which leaves the same 100 spaces, and its readers are woken. `bytes` as
// record::blank takes them (tests stop the take-up half-way). Returns the
// value-file result.
inline constexpr std::uint8_t kChannelFileMode = MEMFILE_READ | MEMFILE_WRITE;

template <class Bytes = vx7::record::PlainBytes>
[[nodiscard]] std::uint8_t open_channel_file(const char *path, memfile_t &file, Bytes &&bytes = {})
{
    const std::uint8_t r = memfile_create(path, kChannelFileMode, vx7::record::kSize, &file);
    if (r == MEMFILE_OK) {
        vx7::record::blank(file.data, bytes);
        vx7::record::wake_readers(file.data);
    }
    return r;
}

// A channel file that cannot be created or mapped is no error here: that
// channel stays unwritten and the others work. A non-zero result would end
// the program with that status.
inline int channel_file_failed(int /*index*/, std::uint8_t /*result*/)
{
    return 0;
}

// Exit-time clean-up: daemon control's dmn_destructor first (it removes the
// lock file of this daemon's session), then the driver's `del`. atexit runs
// its functions in reverse order of registration.
inline void register_exit(void (*del)())
{
    std::atexit(del);
    std::atexit(dmn_destructor);
}

// After the loop has blanked the channel files: nothing more to do here; the
// lock file goes at exit.
inline void after_loop() {}

inline void pause_between_cycles()
{
    ::usleep(10000);
}

} // namespace vx7::driver_platform

#endif
