// Daemon control, Windows form. The program never detaches and keeps no lock:
// dmn_init only names the lock and log files under TEMP, installs the stop
// handler for SIGINT and SIGTERM, moves to the root of the current drive and
// closes the standard streams. The command line after argv[0] is not looked
// at, so "stop" and "restart" start one more instance like any other word.
#include "vx7daemon/daemon.h"
#include "vx7daemon/result_messages.h"

#include <csignal>
#include <cstdio>
#include <cstring>

#include <direct.h>
#include <windows.h>

char DMN_LOCK_FILE[DMN_PATH_SIZE];
char DMN_LOG_FILE[DMN_PATH_SIZE];

namespace {

volatile std::sig_atomic_t dmn_run = 0;

void dmn_def_signal(int)
{
    dmn_run = 0;
}

// Appends `text` to the NUL-terminated string in `buf` (DMN_PATH_SIZE bytes).
// False, with `buf` unchanged, when the result would not fit.
[[nodiscard]] bool append(char *buf, const char *text)
{
    const size_t have = std::strlen(buf);
    const size_t add = std::strlen(text);
    if (have + add >= DMN_PATH_SIZE)
        return false;
    std::memcpy(buf + have, text, add + 1);
    return true;
}

// The log directory's parent: TEMP, or the platform's temporary directory
// when TEMP is not set. False when there is none that fits.
[[nodiscard]] bool temp_dir(char *out)
{
    out[0] = '\0';
    if (const char *temp = std::getenv("TEMP"); temp != nullptr)
        return append(out, temp);
    const DWORD n = ::GetTempPathA(DMN_PATH_SIZE, out);
    if (n == 0 || n >= DMN_PATH_SIZE) {
        out[0] = '\0';
        return false;
    }
    // GetTempPathA ends the directory with a backslash; TEMP usually does not.
    if (out[n - 1] == '\\' || out[n - 1] == '/')
        out[n - 1] = '\0';
    return true;
}

// argv[0] from its last "/" on; without "/", from its last backslash on;
// without either, all of it. The separator stays in front.
const char *name_tail(const char *program)
{
    if (const char *slash = std::strrchr(program, '/'); slash != nullptr)
        return slash;
    if (const char *backslash = std::strrchr(program, '\\'); backslash != nullptr)
        return backslash;
    return program;
}

} // namespace

extern "C" int dmn_find_files(const char *name)
{
    DMN_LOCK_FILE[0] = '\0';
    DMN_LOG_FILE[0] = '\0';
    if (name == nullptr)
        return DMN_BAD_PATH;

    // Both paths are built in a scratch buffer and published only whole:
    // a path that does not fit leaves both buffers empty, so the log line is
    // lost rather than written to some shortened name.
    char lock[DMN_PATH_SIZE];
    if (!temp_dir(lock) || !append(lock, "\\.log"))
        return DMN_BAD_PATH;
    (void)::_mkdir(lock); // an existing directory is fine; failures show later
    char log[DMN_PATH_SIZE];
    const char *tail = name_tail(name);
    if (!append(lock, tail))
        return DMN_BAD_PATH;
    std::memcpy(log, lock, std::strlen(lock) + 1);
    if (!append(lock, ".pid") || !append(log, ".log"))
        return DMN_BAD_PATH;
    std::memcpy(DMN_LOCK_FILE, lock, sizeof lock);
    std::memcpy(DMN_LOG_FILE, log, sizeof log);
    return 0;
}

extern "C" int dmn_init(int, char **argv, dmn_handler handler)
{
    (void)dmn_find_files(argv != nullptr ? argv[0] : nullptr);
    if (handler == nullptr) {
        dmn_run = 1;
        handler = dmn_def_signal;
    } else {
        dmn_run = 0;
    }
    std::signal(SIGINT, handler);
    std::signal(SIGTERM, handler);
    (void)::_chdir("/");
    std::fclose(stdin);
    std::fclose(stdout);
    std::fclose(stderr);
    return DMN_IS_DAEMON;
}

extern "C" int dmn_init_std(int argc, char **argv, dmn_handler handler)
{
    const int rc = dmn_init(argc, argv, handler);
    // Standard output is closed by now; these lines only matter to a caller
    // whose streams were open, and 0, the only code on this platform, is
    // silent. Every code is given back as it came, even one without a
    // message of its own.
    (void)vx7::daemon::print_result(rc, argv != nullptr ? argv[0] : nullptr, nullptr);
    return rc;
}

extern "C" uint8_t dmn_running(void)
{
    return dmn_run != 0 ? 1 : 0;
}

extern "C" void dmn_close(void) {}

// No lock file on this platform, so nothing to remove at exit.
extern "C" void dmn_destructor(void) {}

extern "C" int dmn_lock_state(const char *, const char *, long *pid)
{
    if (pid != nullptr)
        *pid = 0;
    return DMN_LOCK_ABSENT;
}
