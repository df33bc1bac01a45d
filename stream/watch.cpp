#include "watch.h"

#include <cerrno>
#include <cstring>
#include <sys/inotify.h>
#include <unistd.h>

namespace vx7::stream {
namespace {

constexpr std::uint32_t kEvents = IN_CREATE | IN_MOVED_TO | IN_MOVED_FROM | IN_DELETE | IN_MODIFY | IN_ATTRIB |
                                  IN_CLOSE_WRITE | IN_DELETE_SELF | IN_MOVE_SELF;
// Links followed at most, as the kernel's own bound.
constexpr int kMaxLinks = 40;

// Watches the folder of `path` (its text before the last "/", or "." for a
// bare name). True when it is watched.
bool watch_folder(int fd, const char *path)
{
    char folder[kPathMax];
    const char *slash = std::strrchr(path, '/');
    if (slash == nullptr) {
        std::memcpy(folder, ".", 2);
    } else if (slash == path) {
        std::memcpy(folder, "/", 2);
    } else {
        const auto n = static_cast<std::size_t>(slash - path);
        std::memcpy(folder, path, n);
        folder[n] = '\0';
    }
    return ::inotify_add_watch(fd, folder, kEvents) >= 0;
}

} // namespace

int watch_open()
{
    return ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
}

void watch_channel(int fd, Channel &c)
{
    if (fd < 0)
        return;
    char at[kPathMax];
    std::memcpy(at, c.path, std::strlen(c.path) + 1);
    bool last = false;
    for (int hop = 0; hop <= kMaxLinks; ++hop) {
        last = watch_folder(fd, at);
        char target[kPathMax];
        const ssize_t n = ::readlink(at, target, sizeof target - 1);
        if (n <= 0)
            break;
        target[n] = '\0';
        if (target[0] == '/') {
            std::memcpy(at, target, static_cast<std::size_t>(n) + 1);
            continue;
        }
        // A relative target: beside the link.
        const char *slash = std::strrchr(at, '/');
        const std::size_t keep = slash == nullptr ? 0 : static_cast<std::size_t>(slash - at) + 1;
        if (keep + static_cast<std::size_t>(n) + 1 > sizeof at)
            break;
        std::memcpy(at + keep, target, static_cast<std::size_t>(n) + 1);
    }
    c.folder_watched = last;
}

bool watch_drain(int fd)
{
    if (fd < 0)
        return false;
    bool any = false;
    alignas(inotify_event) char buf[4096];
    for (;;) {
        const ssize_t n = ::read(fd, buf, sizeof buf);
        if (n > 0) {
            any = true;
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        // EAGAIN: nothing more. An overflowed queue still counts as news.
        return any;
    }
}

} // namespace vx7::stream
