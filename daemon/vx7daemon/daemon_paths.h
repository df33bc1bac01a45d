/*
 * vx7 daemon control: the path rules, for this project's own tools (vx7ctl's
 * status), so that no tool finds the home directory or rebuilds the lock
 * file's name by itself. POSIX form only (the Windows form keeps no lock).
 * Internal to the project, not installed. Compiles as C and as C++.
 */
#ifndef VX7_DAEMON_PATHS_H
#define VX7_DAEMON_PATHS_H

#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#endif

/* The home directory the lock and log directory are made in: HOME when it is
 * set and not empty, else the user's entry in the password database. Null
 * when there is neither. The text belongs to the environment or to the C
 * library (a later getpwuid call may overwrite it). */
const char *dmn_home_directory(void);

/* Writes into `buf` (`size` bytes) the lock file path that a program started
 * as `program` (its argv[0]: a path or a bare name) uses, by the same rule as
 * dmn_find_files, and creates nothing. Returns 0, or DMN_BAD_PATH (-3; `buf`
 * then empty when it has room) when there is no program name or no home
 * directory, or when the path does not fit DMN_PATH_SIZE or `size`. */
int dmn_lock_path(const char *program, char *buf, size_t size);

/* The same with the home directory given (null or empty: no lock file,
 * DMN_BAD_PATH). */
int dmn_lock_path_in(const char *home, const char *program, char *buf, size_t size);

/* The names the acquisition driver is installed under, for the tools that
 * look for a running driver by its lock file; ends with a null pointer. */
extern const char *const dmn_driver_programs[];

#ifdef __cplusplus
}
#endif

#endif
