// Daemon control, POSIX form: fork + setsid, a lock file holding the daemon's
// PID (lockfile_posix.cpp), SIGUSR1 as the stop request.
//
// Build switch: with VX7_DRIVER_QUIET defined the daemon keeps its standard
// output open (the invoker's terminal or pipe); otherwise it detaches all
// three standard streams.
#include "vx7daemon/daemon.h"
#include "vx7daemon/daemon_paths.h"
#include "vx7daemon/lockfile_posix.h"
#include "vx7daemon/result_messages.h"

#include <array>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <pwd.h>
#include <string_view>
#include <sys/stat.h>
#include <unistd.h>

char DMN_LOCK_FILE[DMN_PATH_SIZE];
char DMN_LOG_FILE[DMN_PATH_SIZE];

namespace {

using vx7::daemon::base_name;

#ifdef VX7_DRIVER_QUIET
constexpr bool kKeepStdout = true;
#else
constexpr bool kKeepStdout = false;
#endif

// Written by the stop handler, read by the main loop.
volatile sig_atomic_t dmn_run = 0;

// Why dmn_find_files refused, for dmn_init_std's message.
const char *path_problem = "";

// Why a stop or restart found no daemon to signal although the lock file
// names a live process; empty when there is nothing to add.
char not_running_note[128] = "";

// The program's name as invoked (argv[0]); decides which processes count as
// "a daemon of this program".
const char *program_name = "";

constexpr std::array kStopSignals{SIGUSR1, SIGINT, SIGTERM, SIGHUP, SIGQUIT};

void dmn_def_signal(int)
{
    dmn_run = 0;
}

// Appends `s` to the NUL-terminated text in `buf`; false (buffer unchanged)
// when the result would not fit.
template <std::size_t N>
bool append(char (&buf)[N], std::string_view s)
{
    const std::size_t len = std::strlen(buf);
    if (len + s.size() >= N)
        return false;
    std::memcpy(buf + len, s.data(), s.size());
    buf[len + s.size()] = '\0';
    return true;
}

struct Paths {
    char dir[DMN_PATH_SIZE];  // HOME + "/.log"
    char lock[DMN_PATH_SIZE]; // dir + name tail + ".pid"
    char log[DMN_PATH_SIZE];  // dir + name tail + ".log"
};

// Builds the lock and log paths of a program started as `name` (argv[0])
// in `home` (dmn_home_directory's). Returns null, or why they cannot be
// built.
const char *build_paths(const char *name, const char *home, Paths &p)
{
    p.dir[0] = p.lock[0] = p.log[0] = '\0';
    const char *slash = name != nullptr ? std::strrchr(name, '/') : nullptr;
    const std::string_view tail = slash != nullptr ? slash : (name != nullptr ? name : "");
    // Without a name the lock would belong to every nameless invocation,
    // and no process could be recognised as its daemon.
    if (base_name(tail).empty())
        return "no program name";
    if (home == nullptr || home[0] == '\0')
        return "HOME is not set and the password database has no home directory";

    // A relative HOME is taken from the current directory now: the daemon
    // moves to "/" and must still find its lock file at exit.
    constexpr const char *too_long = "path longer than 1023 bytes";
    if (home[0] != '/' && (::getcwd(p.dir, sizeof p.dir) == nullptr || !append(p.dir, "/")))
        return too_long;
    if (!append(p.dir, home) || !append(p.dir, "/.log") || !append(p.lock, p.dir) || !append(p.lock, tail) ||
        !append(p.log, p.lock) || !append(p.lock, ".pid") || !append(p.log, ".log"))
        return too_long;
    return nullptr;
}

// The daemon keeps nothing its invoker passed beyond the standard streams: an
// inherited pipe would otherwise stay open as long as the daemon runs.
void close_inherited_descriptors()
{
    if (::close_range(3, ~0U, 0) == 0)
        return;
    const long max = ::sysconf(_SC_OPEN_MAX);
    for (long fd = 3; fd < (max > 0 ? max : 1024); ++fd)
        ::close(static_cast<int>(fd));
}

void install_handler(dmn_handler handler)
{
    struct sigaction sa {};
    sa.sa_handler = handler;
    sigemptyset(&sa.sa_mask);
    // Interrupted system calls resume; sleeps still end early.
    sa.sa_flags = SA_RESTART;
    for (int sig : kStopSignals)
        ::sigaction(sig, &sa, nullptr);
    if (kKeepStdout) {
        // The kept standard output may be a pipe whose reader is long gone:
        // a message written there must fail, not kill the daemon.
        struct sigaction ign {};
        ign.sa_handler = SIG_IGN;
        sigemptyset(&ign.sa_mask);
        ::sigaction(SIGPIPE, &ign, nullptr);
    }
}

// Detaches the standard streams from the invoker's terminal or files. Each
// descriptor is pointed at /dev/null rather than closed: the transport and
// any library may still write to standard output, and a write through a
// closed FILE is undefined, while one to /dev/null is simply discarded. The
// descriptors 0-2 stay taken, so files opened later (the channel files) can
// never end up receiving such output; like any standard descriptor they are
// not closed on exec.
void detach_standard_streams()
{
    std::fflush(stdout);
    std::fflush(stderr);
    const int null = ::open("/dev/null", O_RDWR | O_CLOEXEC);
    // Without /dev/null the invoker's descriptors stay: better than freeing
    // 0-2 for the channel files.
    if (null < 0)
        return;
    for (int target = 0; target <= 2; ++target) {
        // The quiet build keeps standard output, if the invoker gave it one.
        if (target == 1 && kKeepStdout && ::fcntl(1, F_GETFD) != -1)
            continue;
        if (target == null)
            (void)::fcntl(null, F_SETFD, 0);
        else
            (void)::dup2(null, target); // the copy is not close-on-exec
    }
    if (null > 2)
        ::close(null);
    std::clearerr(stdin);
    std::clearerr(stdout);
    std::clearerr(stderr);
}

// argv[1] is a word other than "start": signals the daemon named by the lock
// file for "stop" and "restart". Returns the invoker's result, or
// DMN_IS_DAEMON when a restart is to go on as a start.
int stop_daemon(const char *word)
{
    const bool stop = std::strcmp(word, "stop") == 0;
    const bool restart = std::strcmp(word, "restart") == 0;
    long pid = 0;
    int state;
    {
        const vx7::UniqueFD guard = vx7::daemon::lock_guard(DMN_LOCK_FILE);
        state = dmn_lock_state(DMN_LOCK_FILE, program_name, &pid);
    }
    if (state == DMN_LOCK_ABSENT)
        return DMN_NOT_RUNNING;
    if (!stop && !restart)
        return DMN_USAGE;
    // A live session leader that /proc does not show may well be the
    // daemon: neither signal it nor take its lock.
    if (state == DMN_LOCK_UNKNOWN) {
        std::snprintf(not_running_note, sizeof not_running_note,
                      "lock file names PID %ld, which can not be checked (no /proc, or /proc hides it): "
                      "no signal sent",
                      pid);
        return DMN_NOT_RUNNING;
    }
    // Only a live daemon of this program is signalled: the number in a stale
    // file may by now belong to any process.
    if (state == DMN_LOCK_LIVE)
        ::kill(static_cast<pid_t>(pid), SIGUSR1);
    if (stop)
        return state == DMN_LOCK_LIVE ? DMN_INVOKER_DONE : DMN_NOT_RUNNING;
    dmn_close();
    return DMN_IS_DAEMON;
}

// The forked process: a new session, the lock, the handler, "/", and nothing
// left of the invoker's descriptors.
int become_daemon(dmn_handler handler)
{
    const pid_t sid = ::setsid();
    if (sid < 0)
        return DMN_SETSID_FAILED;
    if (!vx7::daemon::take_lock(DMN_LOCK_FILE, program_name, sid))
        return DMN_LOCKED;
    close_inherited_descriptors();
    install_handler(handler);
    (void)!::chdir("/");
    detach_standard_streams();
    return DMN_IS_DAEMON;
}

} // namespace

extern "C" const char *dmn_home_directory(void)
{
    const char *home = std::getenv("HOME");
    if (home != nullptr && home[0] != '\0')
        return home;
    const passwd *pw = ::getpwuid(::getuid());
    if (pw != nullptr && pw->pw_dir != nullptr && pw->pw_dir[0] != '\0')
        return pw->pw_dir;
    return nullptr;
}

extern "C" const char *const dmn_driver_programs[] = {"vx7_driver", "vx7_driver_quiet", nullptr};

extern "C" int dmn_lock_path(const char *program, char *buf, size_t size)
{
    return dmn_lock_path_in(dmn_home_directory(), program, buf, size);
}

extern "C" int dmn_lock_path_in(const char *home, const char *program, char *buf, size_t size)
{
    if (buf == nullptr || size == 0)
        return DMN_BAD_PATH;
    buf[0] = '\0';
    Paths p;
    if (build_paths(program, home, p) != nullptr)
        return DMN_BAD_PATH;
    const std::size_t len = std::strlen(p.lock);
    if (len >= size)
        return DMN_BAD_PATH;
    std::memcpy(buf, p.lock, len + 1);
    return 0;
}

extern "C" int dmn_find_files(const char *name)
{
    DMN_LOCK_FILE[0] = '\0';
    DMN_LOG_FILE[0] = '\0';
    Paths p;
    if (const char *problem = build_paths(name, dmn_home_directory(), p); problem != nullptr) {
        path_problem = problem;
        return DMN_BAD_PATH;
    }
    ::mkdir(p.dir, 0750);
    std::memcpy(DMN_LOCK_FILE, p.lock, sizeof p.lock);
    std::memcpy(DMN_LOG_FILE, p.log, sizeof p.log);
    return 0;
}

extern "C" int dmn_init(int argc, char **argv, dmn_handler handler)
{
    const char *name = argc > 0 && argv != nullptr ? argv[0] : nullptr;
    if (dmn_find_files(name) != 0)
        return DMN_BAD_PATH;
    program_name = name;

    if (argc > 1 && std::strcmp(argv[1], "start") != 0) {
        const int rc = stop_daemon(argv[1]);
        if (rc != DMN_IS_DAEMON)
            return rc;
    }

    if (handler == nullptr) {
        dmn_run = 1;
        handler = dmn_def_signal;
    } else {
        dmn_run = 0;
    }

    const pid_t child = ::fork();
    if (child > 0)
        return DMN_INVOKER_DONE;
    if (child < 0)
        return DMN_FORK_FAILED;
    return become_daemon(handler);
}

extern "C" int dmn_init_std(int argc, char **argv, dmn_handler handler)
{
    const int rc = dmn_init(argc, argv, handler);
    const char *program = argc > 0 && argv != nullptr ? argv[0] : nullptr;
    if (!vx7::daemon::print_result(rc, program, path_problem))
        return DMN_UNKNOWN_ERROR;
    if (rc == DMN_NOT_RUNNING && not_running_note[0] != '\0')
        std::puts(not_running_note);
    return rc;
}

extern "C" uint8_t dmn_running(void)
{
    return dmn_run != 0 ? 1 : 0;
}

extern "C" void dmn_close(void)
{
    if (DMN_LOCK_FILE[0] == '\0')
        return;
    const vx7::UniqueFD guard = vx7::daemon::lock_guard(DMN_LOCK_FILE);
    vx7::daemon::remove_lock(DMN_LOCK_FILE, DMN_LOG_FILE);
}

extern "C" void dmn_destructor(void)
{
    if (DMN_LOCK_FILE[0] == '\0')
        return;
    const vx7::UniqueFD guard = vx7::daemon::lock_guard(DMN_LOCK_FILE);
    if (vx7::daemon::names_own_session(DMN_LOCK_FILE))
        vx7::daemon::remove_lock(DMN_LOCK_FILE, DMN_LOG_FILE);
}
