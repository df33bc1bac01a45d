// The driver's writer lock on its channel files (writer_lock.h).
#include "writer_lock.h"

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

namespace vx7::driver {
namespace {

std::int64_t monotonic_ms()
{
    timespec ts{};
    ::clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<std::int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

// The fields of a line of /proc/locks, split at white space: at most
// `max`, each but the last ended by a NUL; returns how many.
std::size_t split_fields(char *line, char **fields, std::size_t max)
{
    std::size_t n = 0;
    char *p = line;
    while (n < max) {
        while (*p == ' ' || *p == '\t' || *p == '\n')
            *p++ = '\0';
        if (*p == '\0')
            break;
        fields[n++] = p;
        while (*p != '\0' && *p != ' ' && *p != '\t' && *p != '\n')
            ++p;
    }
    return n;
}

// Whether "MAJOR:MINOR:INODE" (hexadecimal, hexadecimal, decimal) names the
// file.
bool names_file(const char *text, dev_t dev, ino_t ino)
{
    char *end = nullptr;
    const unsigned long major_no = std::strtoul(text, &end, 16);
    if (*end != ':')
        return false;
    const unsigned long minor_no = std::strtoul(end + 1, &end, 16);
    if (*end != ':')
        return false;
    const unsigned long long inode = std::strtoull(end + 1, &end, 10);
    return *end == '\0' && major_no == major(dev) && minor_no == minor(dev) && inode == ino;
}

// The PID that /proc/locks shows holding a flock on the file (device and
// inode), or 0.
long flock_holder(dev_t dev, ino_t ino)
{
    std::FILE *f = std::fopen("/proc/locks", "re");
    if (f == nullptr)
        return 0;
    char line[256];
    long holder = 0;
    while (holder == 0 && std::fgets(line, sizeof line, f) != nullptr) {
        // "1: FLOCK  ADVISORY  WRITE 1234 08:01:5678 0 EOF"; a waiter's line
        // reads "1: -> FLOCK ..." and does not match.
        char *fields[8];
        if (split_fields(line, fields, 8) >= 7 && std::strcmp(fields[1], "FLOCK") == 0 &&
            names_file(fields[5], dev, ino)) {
            char *end = nullptr;
            const long pid = std::strtol(fields[4], &end, 10);
            if (*end == '\0' && pid > 0)
                holder = pid;
        }
    }
    std::fclose(f);
    return holder;
}

} // namespace

void describe_holder(int fd, char *out, std::size_t size)
{
    std::snprintf(out, size, "another process");
    struct stat st {};
    if (::fstat(fd, &st) != 0)
        return;
    const long pid = flock_holder(st.st_dev, st.st_ino);
    if (pid <= 0)
        return;
    char link[64];
    std::snprintf(link, sizeof link, "/proc/%ld/exe", pid);
    char program[256];
    const ssize_t n = ::readlink(link, program, sizeof program - 1);
    if (n > 0) {
        program[n] = '\0';
        std::snprintf(out, size, "PID %ld (%s)", pid, program);
    } else {
        std::snprintf(out, size, "PID %ld", pid);
    }
}

ClaimResult claim_channel_files(const std::array<const char *, 4> &paths, int wait_ms, bool (*keep_waiting)())
{
    // Kept open (and locked) for the rest of the process: the lock belongs
    // to the open file and goes with its last descriptor at exit.
    static std::array<int, 4> held{-1, -1, -1, -1};
    ClaimResult result{Claim::Taken, {}};
    const std::int64_t deadline = monotonic_ms() + wait_ms;
    for (std::size_t i = 0; i < paths.size(); ++i) {
        const char *path = paths[i];
        const int fd = ::open(path, O_RDWR | O_CREAT | O_CLOEXEC | O_NONBLOCK | O_NOCTTY, 0666);
        if (fd < 0)
            continue; // left out, as a channel file that cannot be created
        held[i] = fd;
        while (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
            if (errno != EWOULDBLOCK && errno != EINTR)
                break; // no lock to be had on this file system: as before, unlocked
            if (monotonic_ms() >= deadline || !keep_waiting()) {
                char holder[320];
                describe_holder(fd, holder, sizeof holder);
                std::snprintf(result.line, sizeof result.line, "Can not write channel file %s: %s writes it\n", path,
                              holder);
                for (int &h : held) {
                    if (h >= 0)
                        ::close(h);
                    h = -1;
                }
                result.claim = Claim::AnotherWriter;
                return result;
            }
            ::usleep(10000);
        }
    }
    return result;
}

} // namespace vx7::driver
