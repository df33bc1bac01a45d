// The line that dmn_init_std writes on standard output for each result of
// dmn_init; shared by the platform forms of daemon control.
#ifndef VX7_DAEMON_RESULT_MESSAGES_H
#define VX7_DAEMON_RESULT_MESSAGES_H

#include "vx7daemon/daemon.h"

#include <cstdio>

namespace vx7::daemon {

// Writes the message of `rc` (none for 0 and 1). `program` is argv[0], for
// the usage line; `path_problem` says why the paths could not be built.
// Returns false for a code that has no message of its own ("unknown error").
inline bool print_result(int rc, const char *program, const char *path_problem)
{
    switch (rc) {
    case DMN_IS_DAEMON:
    case DMN_INVOKER_DONE:
        return true;
    case DMN_LOCKED:
        std::printf("daemon already running (or can not open lock file [%s])\n", DMN_LOCK_FILE);
        return true;
    case DMN_NOT_RUNNING:
        std::puts("daemon is not running");
        return true;
    case DMN_USAGE:
        std::printf("usage: %s [stop]\n", program != nullptr ? program : "");
        return true;
    case DMN_BAD_PATH:
        std::printf("can not build lock file path: %s\n", path_problem != nullptr ? path_problem : "");
        return true;
    case DMN_FORK_FAILED:
        // "daemun" is the message as callers know it and compare it: kept.
        std::puts("can not create daemun process (OS error)");
        return true;
    case DMN_SETSID_FAILED:
        std::puts("daemon can not get pid (OS error)");
        return true;
    default:
        std::puts("unknown error");
        return false;
    }
}

} // namespace vx7::daemon

#endif
