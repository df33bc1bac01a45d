// Daemon control, POSIX form: the lock file (see lockfile_posix.h).
#include "vx7daemon/lockfile_posix.h"

#include "vx7daemon/daemon.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace vx7::daemon {

namespace {

// The first 15 characters of a program's file name are its command name.
constexpr std::size_t kCommLength = 15;

enum class Runs { No, Yes, Unknown };

// Whether the process `pid`, which leads its own session, runs `program` and
// has not ended. Unknown when /proc does not show the process (not mounted,
// or mounted with hidepid) although it still exists: then nobody can tell.
Runs runs_program(pid_t pid, std::string_view program)
{
    char path[64];
    char buf[DMN_PATH_SIZE];

    // A zombie has ended already, though it still holds its session ID.
    std::snprintf(path, sizeof path, "/proc/%d/stat", static_cast<int>(pid));
    if (read_small_file(path, buf, sizeof buf) <= 0)
        return ::getsid(pid) == pid ? Runs::Unknown : Runs::No;
    const char *paren = std::strrchr(buf, ')');
    if (paren == nullptr || paren[1] != ' ' || paren[2] == 'Z' || paren[2] == 'X')
        return Runs::No;

    std::snprintf(path, sizeof path, "/proc/%d/comm", static_cast<int>(pid));
    const ssize_t n = read_small_file(path, buf, sizeof buf);
    if (n > 0) {
        std::string_view comm(buf, static_cast<std::size_t>(n));
        if (comm.back() == '\n')
            comm.remove_suffix(1);
        const std::size_t keep = program.size() < kCommLength ? program.size() : kCommLength;
        if (comm == std::string_view(program.data(), keep))
            return Runs::Yes;
    }

    // The executable's file name, also when the file was replaced since.
    std::snprintf(path, sizeof path, "/proc/%d/exe", static_cast<int>(pid));
    const ssize_t len = ::readlink(path, buf, sizeof buf - 1);
    if (len <= 0)
        return Runs::No;
    std::string_view exe(buf, static_cast<std::size_t>(len));
    constexpr std::string_view deleted = " (deleted)";
    if (exe.ends_with(deleted))
        exe.remove_suffix(deleted.size());
    return base_name(exe) == program ? Runs::Yes : Runs::No;
}

void log_line(const char *log_file, const char *text, std::size_t len)
{
    // O_NONBLOCK: a FIFO at the log path must not hold up the daemon's exit.
    UniqueFD fd(::open(log_file, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC | O_NONBLOCK, 0644));
    if (fd.valid())
        (void)!::write(fd.get(), text, len);
}

bool write_all(int fd, const char *text, std::size_t len)
{
    return ::write(fd, text, len) == static_cast<ssize_t>(len);
}

// Replaces a stale `lock_file` atomically with a complete new one holding
// `text`: written beside it as "<lock>.new", then renamed over it.
bool replace_lock(const char *lock_file, const char *text, std::size_t len)
{
    char fresh[DMN_PATH_SIZE + 8];
    std::snprintf(fresh, sizeof fresh, "%s.new", lock_file);
    ::unlink(fresh); // a leftover of an attempt that died half-way
    UniqueFD fd(::open(fresh, O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0644));
    if (!fd.valid())
        return false;
    const bool written = write_all(fd.get(), text, len);
    fd.reset();
    if (written && ::rename(fresh, lock_file) == 0)
        return true;
    ::unlink(fresh);
    return false;
}

} // namespace

std::string_view base_name(std::string_view path)
{
    const auto slash = path.rfind('/');
    if (slash != std::string_view::npos)
        path.remove_prefix(slash + 1);
    return path;
}

pid_t parse_pid(std::string_view text)
{
    // 0 and -1 would address process groups, 1 is init.
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

ssize_t read_small_file(const char *path, char *buf, std::size_t size)
{
    // O_NONBLOCK: a FIFO planted at the path must not wait for a writer that
    // never comes.
    UniqueFD fd(::open(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK));
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

// Without the guard, two starts could both judge the same stale lock and both
// replace it. Best effort: a directory that cannot be opened gives no guard
// (and no lock file either).
UniqueFD lock_guard(const char *lock_file)
{
    char dir[DMN_PATH_SIZE];
    std::snprintf(dir, sizeof dir, "%s", lock_file);
    char *slash = std::strrchr(dir, '/');
    if (slash == nullptr)
        return UniqueFD();
    if (slash == dir)
        slash[1] = '\0';
    else
        *slash = '\0';
    UniqueFD fd(::open(dir, O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (fd.valid()) {
        while (::flock(fd.get(), LOCK_EX) != 0 && errno == EINTR) {
        }
    }
    return fd;
}

bool take_lock(const char *lock_file, const char *program, pid_t sid)
{
    char text[16];
    const int n = std::snprintf(text, sizeof text, "%i", static_cast<int>(sid));
    const auto len = static_cast<std::size_t>(n);

    const UniqueFD guard = lock_guard(lock_file);
    {
        UniqueFD fd(::open(lock_file, O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0644));
        if (fd.valid()) {
            if (write_all(fd.get(), text, len))
                return true;
            ::unlink(lock_file);
            return false;
        }
        if (errno != EEXIST)
            return false;
    }
    // Left by a crash or a power loss: taken over. A live daemon's lock, one
    // that cannot be judged, and anything but a regular file are left alone.
    if (dmn_lock_state(lock_file, program, nullptr) != DMN_LOCK_STALE)
        return false;
    return replace_lock(lock_file, text, len);
}

void remove_lock(const char *lock_file, const char *log_file)
{
    if (::unlink(lock_file) == 0 || errno == ENOENT)
        return;
    char line[DMN_PATH_SIZE + 64];
    const int n = std::snprintf(line, sizeof line, "Can not remove lock file [%s]\n", lock_file);
    if (n > 0)
        log_line(log_file, line,
                 static_cast<std::size_t>(n) < sizeof line ? static_cast<std::size_t>(n) : sizeof line - 1);
}

bool names_own_session(const char *lock_file)
{
    char buf[32];
    const ssize_t n = read_small_file(lock_file, buf, sizeof buf);
    if (n <= 0)
        return false;
    const pid_t pid = parse_pid(std::string_view(buf, static_cast<std::size_t>(n)));
    return pid != 0 && pid == ::getsid(0);
}

} // namespace vx7::daemon

using namespace vx7::daemon;

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
    case Runs::Yes:
        return DMN_LOCK_LIVE;
    case Runs::Unknown:
        return DMN_LOCK_UNKNOWN;
    case Runs::No:
        break;
    }
    return DMN_LOCK_STALE;
}
