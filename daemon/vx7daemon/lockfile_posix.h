// Daemon control, POSIX form: the lock file. Reading and judging what a lock
// file says, taking the lock (also over a stale file), and removing it, all
// serialised among the processes of this unit by an advisory lock on the
// lock file's directory. Internal to the unit; daemon_posix.cpp drives it.
#ifndef VX7_DAEMON_LOCKFILE_POSIX_H
#define VX7_DAEMON_LOCKFILE_POSIX_H

#include "vx7common/unique_fd.h"

#include <cstddef>
#include <string_view>
#include <sys/types.h>

namespace vx7::daemon {

// The file-name part of a path: everything after its last "/".
std::string_view base_name(std::string_view path);

// The lock file's content as a PID: the whole content must be a decimal
// number without sign or leading zero, greater than 1 and within pid_t.
// 0 otherwise.
pid_t parse_pid(std::string_view text);

// Reads up to `size` - 1 bytes of a small regular file and ends them with a
// NUL. -1 when the file cannot be opened or is no regular file; never waits.
ssize_t read_small_file(const char *path, char *buf, std::size_t size);

// Holds an exclusive advisory lock on the directory of `lock_file` for as
// long as the returned descriptor lives: taking, judging and removing the
// lock happen under it. Invalid (no guard) when the directory cannot be
// opened.
[[nodiscard]] UniqueFD lock_guard(const char *lock_file);

// Takes the lock for session `sid`: creates `lock_file` exclusively, or
// replaces it atomically when it names no live daemon of `program`. The
// caller holds no guard; this takes it.
[[nodiscard]] bool take_lock(const char *lock_file, const char *program, pid_t sid);

// Removes `lock_file`; a failure other than "already gone" appends a line to
// `log_file`. The caller holds the guard.
void remove_lock(const char *lock_file, const char *log_file);

// Whether `lock_file` names the session of the calling process.
bool names_own_session(const char *lock_file);

} // namespace vx7::daemon

#endif
