// What the acquisition loop (main_dr.cpp) takes from its platform, Windows
// form. The build puts this folder (driver/windows) on the include path of
// vx7_driver_win; driver/posix has the Linux form with the same names.
#ifndef VX7_DRIVER_PLATFORM_H
#define VX7_DRIVER_PLATFORM_H

#include "vx7/memfile.h"
#include "vx7daemon/daemon.h"
#include "vx7record/record.h"

#include <array>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include <windows.h>

namespace vx7::driver_platform {

// Channel files by channel index: absolute paths, so the working directory
// (the root of the current drive after dmn_init) does not matter. The folder
// must exist already; nothing creates it.
inline constexpr std::array<const char *, 4> kChannelFiles{"C:/dev/vx7/adc1.adc", "C:/dev/vx7/adc2.adc",
                                                           "C:/dev/vx7/adc3.adc", "C:/dev/vx7/adc4.adc"};

// The result of dmn_init_std is never printed (it is always 0 here, and the
// standard streams are closed by then).
inline constexpr bool kPrintStartResult = false;

// Exit status when a channel file cannot be created.
inline constexpr int kChannelFileExit = -50;

// A 32-bit millisecond clock that only moves forward (GetTickCount): the
// elapsed field of a record wraps modulo 2^32, after about 49.7 days, and does
// not jump when someone sets the wall clock.
using time_ms_t = std::uint32_t;

inline time_ms_t now_ms()
{
    return static_cast<time_ms_t>(::GetTickCount());
}

// The elapsed field of a record ("%lu", 32 bits here): the difference modulo
// 2^32, read as unsigned, so it keeps counting across a wrap of the clock.
inline unsigned long elapsed_ms(time_ms_t now, time_ms_t start)
{
    return static_cast<unsigned long>(static_cast<std::uint32_t>(now - start));
}

// The record of a sample is what the platform runtime's formatter writes:
// msvcrt's gives the exponent three digits (2.50000000000e+000). mingw-w64
// routes snprintf in C++ to its own formatter, which gives two, so the
// runtime's _snprintf is called by name. A record never comes near the limit,
// so its missing NUL on overflow does not matter (finish_text sets the NUL).
inline vx7::record::Text format(double volts, unsigned long elapsed_ms)
{
    vx7::record::Text t;
    const int n = ::_snprintf(t.bytes, vx7::record::kRecordLimit - 1, vx7::record::kFormat, volts, elapsed_ms);
    return vx7::record::finish_text(t, n);
}

// Records are written as they always were here, without the sequence word:
// one copy of record and NUL; all 100 bytes set to spaces at stop.
inline void publish(char *mapped, const vx7::record::Text &t)
{
    vx7::record::publish_uncounted(mapped, t);
}

inline void blank(char *mapped)
{
    vx7::record::blank_uncounted(mapped);
}

// No writer lock here; the channel files are created, filled with spaces
// and mapped by the value-file unit (mode 7). Returns its result.
inline int claim_channel_files()
{
    return 0;
}

[[nodiscard]] inline std::uint8_t open_channel_file(const char *path, memfile_t &file)
{
    return memfile_create(path, MEMFILE_READ | MEMFILE_WRITE | MEMFILE_FILL, vx7::record::kSize, &file);
}

// The log line for a channel file that cannot be created.
inline constexpr char kCreateErrorFormat[] = "Error %i create file %s\n";

// A channel file that cannot be created ends the program: one line goes to
// the log file, naming the file and the value-file result code (1, 2 or 3),
// and the exit status is -50. Files after it are not tried; those before it
// stay mapped until exit. If the log file cannot be opened (or its path was
// too long to be built) the line is lost.
inline int channel_file_failed(int index, std::uint8_t result)
{
    if (DMN_LOG_FILE[0] != '\0') {
        if (std::FILE *log = std::fopen(DMN_LOG_FILE, "at"); log != nullptr) {
            std::fprintf(log, kCreateErrorFormat, static_cast<int>(result),
                         kChannelFiles[static_cast<std::size_t>(index)]);
            std::fclose(log);
        }
    }
    return kChannelFileExit;
}

// Exit-time clean-up: the driver's `del` only; there is no lock file.
inline void register_exit(void (*del)())
{
    std::atexit(del);
}

// After the loop has blanked the channel files.
inline void after_loop()
{
    dmn_close();
}

inline void pause_between_cycles()
{
    ::Sleep(10);
}

} // namespace vx7::driver_platform

#endif
