// Daemon control, POSIX form: fork + setsid, a lock file holding the daemon's
// PID, SIGUSR1 as the stop request.
//
// Build switch: with VX7_DRIVER_QUIET defined the daemon keeps its standard
// output open (the invoker's terminal or pipe); otherwise it closes all three
// standard streams when it detaches.
#include "daemon.h"
#include "result_messages.h"

#include "../common/unique_fd.h"

#include <array>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <pwd.h>
#include <string_view>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

char DMN_LOCK_FILE[DMN_PATH_SIZE];
char DMN_LOG_FILE[DMN_PATH_SIZE];

namespace {

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

std::string_view base_name(std::string_view path)
{
    const auto slash = path.rfind('/');
    if (slash != std::string_view::npos)
        path.remove_prefix(slash + 1);
    return path;
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

// Reads up to `size` - 1 bytes of a small regular file; -1 when it cannot be
// opened or is no regular file. O_NONBLOCK: a FIFO planted at the path must
// not wait for a writer that never comes.
ssize_t read_small_file(const char *path, char *buf, std::size_t size)
{
    vx7::UniqueFD fd(::open(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK));
    if (!fd.valid())
        return -1;
    struct stat st;
    if (::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode))
        return -1;
    std::size_t got = 0;
    while (got + 1 < size) {
        const ssize_t n = ::read(fd.get(), buf + got, size - 1 - got);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        got += static_cast<std::size_t>(n);
    }
    buf[got] = '\0';
    return static_cast<ssize_t>(got);
}

// The lock file's content as a PID: the whole content must be a decimal
// number without sign or leading zero, greater than 1 and within pid_t.
// 0 and -1 would address process groups, 1 is init. Returns 0 otherwise.
pid_t parse_pid(std::string_view text)
{
    if (text.empty() || text.size() > 10 || text[0] == '0')
        return 0;
    long long v = 0;
    for (char c : text) {
        if (c < '0' || c > '9')
            return 0;
        v = v * 10 + (c - '0');
    }
    if (v <= 1 || v > 0x7FFFFFFF)
        return 0;
    return static_cast<pid_t>(v);
}

// The first 15 characters of a program's file name are its command name.
constexpr std::size_t kCommLength = 15;

enum class Runs { no, yes, unknown };

// Whether the live session leader `pid` runs `program`. Unknown when /proc
// does not show the process (not mounted, or mounted with hidepid) although
// it still exists: then nobody can tell.
Runs runs_program(pid_t pid, std::string_view program)
{
    char path[64];
    char buf[DMN_PATH_SIZE];

    // A zombie has ended already, though it still holds its session ID.
    std::snprintf(path, sizeof path, "/proc/%d/stat", static_cast<int>(pid));
    if (read_small_file(path, buf, sizeof buf) <= 0)
        return ::getsid(pid) == pid ? Runs::unknown : Runs::no;
    const char *paren = std::strrchr(buf, ')');
    if (paren == nullptr || paren[1] != ' ' || paren[2] == 'Z' || paren[2] == 'X')
        return Runs::no;

    std::snprintf(path, sizeof path, "/proc/%d/comm", static_cast<int>(pid));
    const ssize_t n = read_small_file(path, buf, sizeof buf);
    if (n > 0) {
        std::string_view comm(buf, static_cast<std::size_t>(n));
        if (comm.back() == '\n')
            comm.remove_suffix(1);
        const std::size_t keep = program.size() < kCommLength ? program.size() : kCommLength;
        if (comm == std::string_view(program.data(), keep))
            return Runs::yes;
    }

    // The executable's file name, also when the file was replaced since.
    std::snprintf(path, sizeof path, "/proc/%d/exe", static_cast<int>(pid));
    const ssize_t len = ::readlink(path, buf, sizeof buf - 1);
    if (len <= 0)
        return Runs::no;
    std::string_view exe(buf, static_cast<std::size_t>(len));
    constexpr std::string_view deleted = " (deleted)";
    if (exe.ends_with(deleted))
        exe.remove_suffix(deleted.size());
    return base_name(exe) == program ? Runs::yes : Runs::no;
}

// Serialises taking, reading and removing the lock among all processes of
// this unit: an exclusive advisory lock on the lock file's directory, held
// for the few system calls of each such step. Without it, two starts could
// both judge the same stale lock and both replace it. Best effort: a
// directory that cannot be opened gives no guard (and no lock file either).
vx7::UniqueFD lock_guard()
{
    char dir[DMN_PATH_SIZE];
    std::memcpy(dir, DMN_LOCK_FILE, sizeof dir);
    char *slash = std::strrchr(dir, '/');
    if (slash == nullptr)
        return vx7::UniqueFD();
    if (slash == dir)
        slash[1] = '\0';
    else
        *slash = '\0';
    vx7::UniqueFD fd(::open(dir, O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (fd.valid()) {
        while (::flock(fd.get(), LOCK_EX) != 0 && errno == EINTR) {
        }
    }
    return fd;
}

void log_line(const char *text, std::size_t len)
{
    // O_NONBLOCK: a FIFO at the log path must not hold up the daemon's exit.
    vx7::UniqueFD fd(::open(DMN_LOG_FILE, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC | O_NONBLOCK, 0644));
    if (fd.valid())
        (void)!::write(fd.get(), text, len);
}

// Removes the lock file; a failure other than "already gone" is logged.
// Callers hold the lock guard.
void remove_lock()
{
    if (::unlink(DMN_LOCK_FILE) == 0 || errno == ENOENT)
        return;
    char line[DMN_PATH_SIZE + 64];
    const int n = std::snprintf(line, sizeof line, "Can not remove lock file [%s]\n", DMN_LOCK_FILE);
    if (n > 0)
        log_line(line, static_cast<std::size_t>(n) < sizeof line ? static_cast<std::size_t>(n) : sizeof line - 1);
}

bool write_all(int fd, const char *text, std::size_t len)
{
    return ::write(fd, text, len) == static_cast<ssize_t>(len);
}

// Takes the lock for session `sid`: creates the lock file exclusively, or,
// when a file is there that names no live daemon of this program (left by a
// crash or a power loss), replaces it atomically with a complete new one.
bool take_lock(pid_t sid)
{
    char text[16];
    const int n = std::snprintf(text, sizeof text, "%i", static_cast<int>(sid));
    const auto len = static_cast<std::size_t>(n);

    const vx7::UniqueFD guard = lock_guard();
    {
        vx7::UniqueFD fd(::open(DMN_LOCK_FILE, O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0644));
        if (fd.valid()) {
            if (write_all(fd.get(), text, len))
                return true;
            ::unlink(DMN_LOCK_FILE);
            return false;
        }
        if (errno != EEXIST)
            return false;
    }
    if (dmn_lock_state(DMN_LOCK_FILE, program_name, nullptr) != DMN_LOCK_STALE)
        return false;

    char fresh[DMN_PATH_SIZE + 8];
    std::snprintf(fresh, sizeof fresh, "%s.new", DMN_LOCK_FILE);
    ::unlink(fresh); // a leftover of an attempt that died half-way
    vx7::UniqueFD fd(::open(fresh, O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0644));
    if (!fd.valid())
        return false;
    const bool written = write_all(fd.get(), text, len);
    fd.reset();
    if (written && ::rename(fresh, DMN_LOCK_FILE) == 0)
        return true;
    ::unlink(fresh);
    return false;
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
    struct sigaction sa{};
    sa.sa_handler = handler;
    sigemptyset(&sa.sa_mask);
    // Interrupted system calls resume; sleeps still end early.
    sa.sa_flags = SA_RESTART;
    for (int sig : kStopSignals)
        ::sigaction(sig, &sa, nullptr);
    if (kKeepStdout) {
        // The kept standard output may be a pipe whose reader is long gone:
        // a message written there must fail, not kill the daemon.
        struct sigaction ign{};
        ign.sa_handler = SIG_IGN;
        sigemptyset(&ign.sa_mask);
        ::sigaction(SIGPIPE, &ign, nullptr);
    }
}

// Detaches the standard streams from the invoker's terminal or files. Each
// stream is reopened on /dev/null rather than left closed: the transport and
// any library may still write to standard output, and a write through a
// closed FILE is undefined, while one to /dev/null is simply discarded. The
// descriptors 0-2 stay taken, so files opened later (the channel files) can
// never end up receiving such output.
void detach_standard_streams()
{
    std::freopen("/dev/null", "re", stdin);
    if (!kKeepStdout)
        std::freopen("/dev/null", "we", stdout);
    std::freopen("/dev/null", "we", stderr);
    // A failed reopen leaves its stream closed and its descriptor free: point
    // the descriptor at /dev/null all the same.
    for (int target = 0; target <= 2; ++target) {
        if (::fcntl(target, F_GETFD) != -1)
            continue;
        const int fd = ::open("/dev/null", O_RDWR | O_CLOEXEC);
        if (fd < 0)
            return;
        if (fd != target) {
            ::dup2(fd, target);
            ::close(fd);
        }
    }
}

const char *home_directory()
{
    const char *home = std::getenv("HOME");
    if (home != nullptr && home[0] != '\0')
        return home;
    const passwd *pw = ::getpwuid(::getuid());
    if (pw != nullptr && pw->pw_dir != nullptr && pw->pw_dir[0] != '\0')
        return pw->pw_dir;
    return nullptr;
}

} // namespace

extern "C" int dmn_find_files(const char *name)
{
    DMN_LOCK_FILE[0] = '\0';
    DMN_LOG_FILE[0] = '\0';
    if (name == nullptr) {
        path_problem = "no program name";
        return DMN_BAD_PATH;
    }
    const char *home = home_directory();
    if (home == nullptr) {
        path_problem = "HOME is not set and the password database has no home directory";
        return DMN_BAD_PATH;
    }
    const char *slash = std::strrchr(name, '/');
    const std::string_view tail = slash != nullptr ? slash : name;
    // Without a name the lock would belong to every nameless invocation,
    // and no process could be recognised as its daemon.
    if (base_name(tail).empty()) {
        path_problem = "no program name";
        return DMN_BAD_PATH;
    }

    // A relative HOME is taken from the current directory now: the daemon
    // moves to "/" and must still find its lock file at exit.
    char dir[DMN_PATH_SIZE] = "";
    if (home[0] != '/') {
        if (::getcwd(dir, sizeof dir) == nullptr || !append(dir, "/")) {
            path_problem = "path longer than 1023 bytes";
            return DMN_BAD_PATH;
        }
    }
    char lock[DMN_PATH_SIZE] = "";
    char log[DMN_PATH_SIZE] = "";
    if (!append(dir, home) || !append(dir, "/.log") || !append(lock, dir) || !append(lock, tail) ||
        !append(log, lock) || !append(lock, ".pid") || !append(log, ".log")) {
        path_problem = "path longer than 1023 bytes";
        return DMN_BAD_PATH;
    }
    ::mkdir(dir, 0750);
    std::memcpy(DMN_LOCK_FILE, lock, sizeof lock);
    std::memcpy(DMN_LOG_FILE, log, sizeof log);
    return 0;
}

extern "C" int dmn_lock_state(const char *lock_file, const char *program, long *pid_out)
{
    if (pid_out != nullptr)
        *pid_out = 0;
    char buf[32];
    const ssize_t n = read_small_file(lock_file, buf, sizeof buf);
    if (n < 0)
        return DMN_LOCK_ABSENT;
    const pid_t pid = parse_pid(std::string_view(buf, static_cast<std::size_t>(n)));
    if (pid_out != nullptr)
        *pid_out = pid;
    if (pid == 0 || pid == ::getpid() || ::getsid(pid) != pid)
        return DMN_LOCK_STALE;
    const std::string_view name = base_name(program != nullptr ? program : "");
    if (name.empty())
        return DMN_LOCK_STALE;
    switch (runs_program(pid, name)) {
    case Runs::yes:
        return DMN_LOCK_LIVE;
    case Runs::unknown:
        return DMN_LOCK_UNKNOWN;
    case Runs::no:
        break;
    }
    return DMN_LOCK_STALE;
}

extern "C" int dmn_init(int argc, char **argv, dmn_handler handler)
{
    const char *name = argc > 0 && argv != nullptr ? argv[0] : nullptr;
    if (dmn_find_files(name) != 0)
        return DMN_BAD_PATH;
    program_name = name;

    if (argc > 1 && std::strcmp(argv[1], "start") != 0) {
        const bool stop = std::strcmp(argv[1], "stop") == 0;
        const bool restart = std::strcmp(argv[1], "restart") == 0;
        long pid = 0;
        int state;
        {
            const vx7::UniqueFD guard = lock_guard();
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
        // Only a live daemon of this program is signalled: the number in a
        // stale file may by now belong to any process.
        if (state == DMN_LOCK_LIVE)
            ::kill(static_cast<pid_t>(pid), SIGUSR1);
        if (stop)
            return state == DMN_LOCK_LIVE ? DMN_INVOKER_DONE : DMN_NOT_RUNNING;
        dmn_close();
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

    const pid_t sid = ::setsid();
    if (sid < 0)
        return DMN_SETSID_FAILED;
    if (!take_lock(sid))
        return DMN_LOCKED;
    close_inherited_descriptors();
    install_handler(handler);
    (void)!::chdir("/");
    detach_standard_streams();
    return DMN_IS_DAEMON;
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
    const vx7::UniqueFD guard = lock_guard();
    remove_lock();
}

extern "C" void dmn_destructor(void)
{
    if (DMN_LOCK_FILE[0] == '\0')
        return;
    const vx7::UniqueFD guard = lock_guard();
    char buf[32];
    const ssize_t n = read_small_file(DMN_LOCK_FILE, buf, sizeof buf);
    if (n <= 0)
        return;
    const pid_t pid = parse_pid(std::string_view(buf, static_cast<std::size_t>(n)));
    if (pid == 0 || pid != ::getsid(0))
        return;
    remove_lock();
}
