// The channel file's counter as a futex (Linux): the driver wakes every
// process waiting on a channel file's counter after each change, and readers
// wait there for the next one (libvx7stream, with futex_waitv). The futex is
// shared, not private: writer and readers are different processes that map
// the same file. Part of the record unit; include "vx7record/record.h" for
// the word itself.
#ifndef VX7RECORD_FUTEX_H
#define VX7RECORD_FUTEX_H

#include "vx7record/record.h"

#include <climits>
#include <linux/futex.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace vx7::record {

// Wakes whoever waits on the counter of this mapping. One system call; it
// costs next to nothing when nobody waits.
inline void wake_readers(const char *mapped)
{
    (void)::syscall(SYS_futex, counter_of(mapped), FUTEX_WAKE, INT_MAX, nullptr, nullptr, 0);
}

} // namespace vx7::record

#endif
