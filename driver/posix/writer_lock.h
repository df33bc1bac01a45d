// One writer per channel file (Linux driver). The daemon's lock file keeps a
// second start of the same program away, but it is named after the program
// as invoked: another build, another name or another path passes it. So the
// driver also holds an exclusive advisory lock (flock) on each channel file
// itself, taken before its first write and kept until it exits; a driver that
// cannot have one does not write at all.
#ifndef VX7_DRIVER_WRITER_LOCK_H
#define VX7_DRIVER_WRITER_LOCK_H

#include <array>
#include <cstddef>

namespace vx7::driver {

// How long a start waits for a channel file's lock: a restart begins while
// the old daemon still ends its last cycle, which a read of the device can
// hold for its 5 s time-out.
inline constexpr int kWriterWaitMs = 6000;

// What claim_channel_files found.
enum class Claim {
    Taken,        // every channel file that could be opened is locked by this process
    AnotherWriter // another process keeps one; `line` says which file and who
};

struct ClaimResult {
    Claim claim;
    char line[512]; // the log line (ended by "\n") when claim is AnotherWriter
};

// Opens (creating it where it is missing, as the driver's open would) and
// locks each channel file, waiting up to wait_ms for one that another process
// holds, and less when `keep_waiting` turns false (a stop request). A file
// that cannot be opened is left out, as the driver leaves out a channel file
// it cannot create. The descriptors stay open, and the locks held, until the
// process exits.
[[nodiscard]] ClaimResult claim_channel_files(const std::array<const char *, 4> &paths, int wait_ms,
                                              bool (*keep_waiting)());

// The writer of a locked file, for the log: "PID <n> (<program>)" from
// /proc/locks and /proc/<n>/exe, or "another process" where they do not
// tell. Written into `out` (NUL-terminated, cut to `size`).
void describe_holder(int fd, char *out, std::size_t size);

} // namespace vx7::driver

#endif
