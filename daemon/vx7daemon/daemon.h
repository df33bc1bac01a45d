/*
 * vx7 daemon control: turns a program into a single background daemon that a
 * second invocation of the same program stops or restarts.
 *
 * The program's first argument selects the action: none or "start" starts a
 * daemon, "stop" signals the running one, "restart" does both. The daemon's
 * identity (its session ID, equal to its PID, in decimal) is kept in a lock
 * file; whether the file exists is the lock. Clean-up failures that happen
 * after the daemon has detached are appended to a log file.
 *
 * Paths (POSIX form): directory HOME + "/.log"; name tail = argv[0] from its
 * last "/" on (the "/" included), or all of argv[0] when it has none;
 *   lock file  HOME + "/.log" + tail + ".pid"
 *   log file   HOME + "/.log" + tail + ".log"
 * With HOME unset the home directory comes from the password database.
 * Tools that look for the lock ask daemon_paths.h for these rules.
 *
 * One contract, one implementation per platform chosen by the build
 * (daemon_posix.cpp with the lock file in lockfile_posix.cpp; the Windows
 * form, daemon_win.cpp, never detaches and keeps no lock).
 * Threads: dmn_init and dmn_init_std belong to the program's start, before
 * any other thread exists; dmn_running may be called from any thread.
 * Compiles as C and as C++.
 */
#ifndef VX7_DAEMON_H
#define VX7_DAEMON_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Size of each path buffer, terminating NUL included. */
#define DMN_PATH_SIZE 1024

/* Filled by dmn_find_files; empty strings until then or after a refusal. */
extern char DMN_LOCK_FILE[DMN_PATH_SIZE];
extern char DMN_LOG_FILE[DMN_PATH_SIZE];

/* Results of dmn_init (and dmn_init_std, which passes them on). */
enum {
    DMN_IS_DAEMON = 0,       /* this process is now the daemon */
    DMN_INVOKER_DONE = 1,    /* invoking process: signal sent, or daemon forked */
    DMN_LOCKED = 2,          /* forked process: a live daemon holds the lock
                                (or may: see DMN_LOCK_UNKNOWN), or the lock
                                file cannot be created */
    DMN_NOT_RUNNING = -1,    /* invoking process: no lock file, or it names no
                                live daemon of this program, or one that cannot
                                be checked (nothing is signalled then, and
                                dmn_init_std adds a line saying so) */
    DMN_USAGE = -2,          /* invoking process: unknown first word */
    DMN_BAD_PATH = -3,       /* the lock and log paths cannot be built: no
                                program name (argv[0] null, empty or ending in
                                "/"), no home directory, or too long */
    DMN_FORK_FAILED = -4,    /* invoking process */
    DMN_SETSID_FAILED = -5,  /* forked process */
    DMN_UNKNOWN_ERROR = -100 /* dmn_init_std: a code outside this list */
};

/* A stop handler: takes the signal number, returns nothing. It should do
 * nothing but set a flag. */
typedef void (*dmn_handler)(int);

/* Builds DMN_LOCK_FILE and DMN_LOG_FILE from the home directory and the
 * program name `name` (argv[0]), and creates the directory HOME + "/.log"
 * (mode 0750; an existing directory or a failure is ignored). Returns 0, or
 * DMN_BAD_PATH (both buffers then empty, nothing created) when `name` is null,
 * there is no home directory, or a path would not fit its buffer. */
int dmn_find_files(const char *name);

/* Start, stop or restart according to argv[1]; see the result codes above.
 * `handler` null selects the unit's own stop handler and run flag (the run
 * flag is then 1 in the daemon); a caller's handler leaves the run flag at 0.
 * The daemon has: a new session, the lock file holding its PID, the stop
 * handler on SIGUSR1, SIGINT, SIGTERM, SIGHUP and SIGQUIT, "/" as working
 * directory, no descriptor above 2 that it inherited, and its standard streams
 * detached from the invoker (reopened on /dev/null, so that whatever is still
 * written to them is discarded; the quiet build keeps standard output). Call
 * once, first thing in the program. */
int dmn_init(int argc, char **argv, dmn_handler handler);

/* dmn_init, followed by the result's message on standard output. Returns the
 * result, or DMN_UNKNOWN_ERROR for a code it has no message for. */
int dmn_init_std(int argc, char **argv, dmn_handler handler);

/* The run flag: non-zero while the daemon is to keep running. */
uint8_t dmn_running(void);

/* Removes the lock file; a failure other than "already gone" appends
 * "Can not remove lock file [<path>]" to the log file. */
void dmn_close(void);

/* Exit-time clean-up (POSIX form): removes the lock file only when it names
 * this process's session. Registered by the program to run at exit. */
void dmn_destructor(void);

/* What a lock file says about its daemon. */
enum {
    DMN_LOCK_ABSENT = 0, /* the lock file cannot be opened for reading, or is
                            no regular file (a FIFO, a directory) */
    DMN_LOCK_STALE = 1,  /* it exists but names no live daemon of `program` */
    DMN_LOCK_LIVE = 2,   /* it names a live daemon of `program` */
    DMN_LOCK_UNKNOWN = 3 /* it names a live session leader whose program
                            cannot be seen (no /proc, or /proc hides it) */
};

/* Reads `lock_file` and tells whether it names a live daemon of `program`
 * (a path or a bare name; only its file name counts). Never waits: anything
 * but a regular file counts as absent. The content must be a decimal number
 * greater than 1 without leading zero, and nothing else; the process must
 * exist, be other than the caller, not be a zombie, lead its own session
 * (session ID equal to its PID), and run a program of that name (its command
 * name, or the file name of its executable, which still counts after the
 * program file was replaced). `*pid` (when not null) receives the number
 * read, or 0. */
int dmn_lock_state(const char *lock_file, const char *program, long *pid);

#ifdef __cplusplus
}
#endif

#endif
