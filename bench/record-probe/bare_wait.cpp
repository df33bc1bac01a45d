// measure-record's floor: the least a reader of every sample can do. Maps the
// four channel files read-only, sleeps on their counters with futex_waitv
// (the value each holds as the expected one) and copies each new record
// (the 100 bytes, once the counter is even) into a buffer; nothing else. Runs
// until SIGINT or SIGTERM, then prints the records it copied.
// Usage: vx7_bare_wait FILE1 FILE2 FILE3 FILE4
#include "vx7record/record.h"

#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <linux/futex.h>
#include <sys/mman.h>
#include <sys/syscall.h>
#include <unistd.h>

#ifndef SYS_futex_waitv
#define SYS_futex_waitv 449
#endif

namespace {

volatile std::sig_atomic_t stop = 0;

void on_signal(int)
{
    stop = 1;
}

} // namespace

int main(int argc, char **argv)
{
    if (argc != 5) {
        std::fputs("usage: vx7_bare_wait FILE1 FILE2 FILE3 FILE4\n", stderr);
        return 2;
    }
    struct sigaction sa {};
    sa.sa_handler = on_signal;
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
    const char *maps[4];
    for (int i = 0; i < 4; ++i) {
        const int fd = ::open(argv[i + 1], O_RDONLY | O_CLOEXEC);
        void *p = fd < 0 ? MAP_FAILED : ::mmap(nullptr, vx7::record::kSize, PROT_READ, MAP_SHARED, fd, 0);
        if (p == MAP_FAILED) {
            std::perror(argv[i + 1]);
            return 1;
        }
        ::close(fd);
        maps[i] = static_cast<const char *>(p);
    }
    std::uint32_t seen[4];
    for (int i = 0; i < 4; ++i)
        seen[i] = __atomic_load_n(vx7::record::counter_of(maps[i]), __ATOMIC_ACQUIRE);
    char copy[4][vx7::record::kSize];
    unsigned long long copied = 0;
    while (stop == 0) {
        struct futex_waitv w[4];
        for (int i = 0; i < 4; ++i)
            w[i] = {seen[i], reinterpret_cast<std::uintptr_t>(vx7::record::counter_of(maps[i])), FUTEX_32, 0};
        (void)::syscall(SYS_futex_waitv, w, 4, 0, nullptr, CLOCK_MONOTONIC);
        for (int i = 0; i < 4; ++i) {
            const std::uint32_t now = __atomic_load_n(vx7::record::counter_of(maps[i]), __ATOMIC_ACQUIRE);
            if (now == seen[i] || (now & 1) != 0)
                continue;
            std::memcpy(copy[i], maps[i], sizeof copy[i]);
            seen[i] = now;
            ++copied;
        }
    }
    std::printf("bare reader: %llu records copied\n", copied);
    return 0;
}
