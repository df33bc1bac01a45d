// Measuring probe for the acquisition driver, preloaded into the daemon
// (LD_PRELOAD) by measure-driver. It watches the loop from the outside:
//   * every usleep call ends one cycle: the time between two such calls is a
//     cycle period (the cycle's work plus its sleep);
//   * malloc/calloc/realloc calls are counted per cycle;
//   * GET_REPORT transfers that return a whole sample report are counted:
//     each one is a record written (every channel file is mapped).
// At exit it writes its figures to the file named by VX7_PROBE_OUT. The first
// 20 cycles (start-up) are left out of the figures.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <dlfcn.h>
#include <unistd.h>

extern "C" void *__libc_malloc(size_t);
extern "C" void *__libc_calloc(size_t, size_t);
extern "C" void *__libc_realloc(void *, size_t);

namespace {

constexpr std::size_t kMaxCycles = 1 << 20;
constexpr std::size_t kWarmUp = 20;

std::int64_t period_ns[kMaxCycles]; // static: the probe itself allocates nothing
std::size_t cycles = 0;
std::uint64_t allocs = 0;
std::uint64_t allocs_at_warm = 0;
std::uint64_t max_cycle_allocs = 0;
std::uint64_t allocs_at_last_cycle = 0;
std::uint64_t records = 0;
std::uint64_t records_at_warm = 0;
std::int64_t last_ns = -1;
std::int64_t warm_ns = 0;

std::int64_t now_ns()
{
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec * 1000000000LL + ts.tv_nsec;
}

void report()
{
    const char *path = std::getenv("VX7_PROBE_OUT");
    if (path == nullptr || cycles <= kWarmUp + 1)
        return;
    const std::size_t n = std::min(cycles, kMaxCycles) - kWarmUp - 1;
    std::int64_t *p = period_ns + kWarmUp + 1;
    double sum = 0;
    for (std::size_t i = 0; i < n; ++i)
        sum += static_cast<double>(p[i]);
    std::sort(p, p + n);
    const std::size_t i99 = std::min(n - 1, (n * 99 + 99) / 100 - 1);
    const double seconds = static_cast<double>(last_ns - warm_ns) / 1e9;
    FILE *f = std::fopen(path, "w");
    if (f == nullptr)
        return;
    std::fprintf(f, "cycles %zu\n", n);
    std::fprintf(f, "period_mean_ms %.3f\n", sum / static_cast<double>(n) / 1e6);
    std::fprintf(f, "period_p99_ms %.3f\n", static_cast<double>(p[i99]) / 1e6);
    std::fprintf(f, "period_max_ms %.3f\n", static_cast<double>(p[n - 1]) / 1e6);
    std::fprintf(f, "records_per_s %.1f\n", static_cast<double>(records - records_at_warm) / seconds);
    // Up to the last cycle's sleep: what exit-time code (and fopen above)
    // allocates is no cycle's.
    std::fprintf(f, "allocs_per_cycle %.4f\n",
                 static_cast<double>(allocs_at_last_cycle - allocs_at_warm) / static_cast<double>(n));
    std::fprintf(f, "allocs_before_steady_state %llu\n", static_cast<unsigned long long>(allocs_at_warm));
    std::fprintf(f, "max_allocs_in_a_cycle %llu\n", static_cast<unsigned long long>(max_cycle_allocs));
    std::fclose(f);
}

struct Reporter {
    ~Reporter() { report(); }
} reporter;

} // namespace

extern "C" void *malloc(size_t n)
{
    ++allocs;
    return __libc_malloc(n);
}

extern "C" void *calloc(size_t a, size_t b)
{
    ++allocs;
    return __libc_calloc(a, b);
}

extern "C" void *realloc(void *p, size_t n)
{
    ++allocs;
    return __libc_realloc(p, n);
}

extern "C" int usleep(useconds_t us)
{
    static auto real = reinterpret_cast<int (*)(useconds_t)>(dlsym(RTLD_NEXT, "usleep"));
    const std::int64_t t = now_ns();
    if (last_ns >= 0 && cycles < kMaxCycles)
        period_ns[cycles] = t - last_ns;
    if (cycles > kWarmUp) {
        max_cycle_allocs = std::max(max_cycle_allocs, allocs - allocs_at_last_cycle);
    } else if (cycles == kWarmUp) {
        allocs_at_warm = allocs;
        records_at_warm = records;
        warm_ns = t;
    }
    allocs_at_last_cycle = allocs;
    last_ns = t;
    ++cycles;
    return real(us);
}

struct usb_dev_handle;

extern "C" int usb_control_msg(usb_dev_handle *dev, int requesttype, int request, int value, int index, char *bytes,
                               int size, int timeout)
{
    using fn = int (*)(usb_dev_handle *, int, int, int, int, char *, int, int);
    static auto real = reinterpret_cast<fn>(dlsym(RTLD_NEXT, "usb_control_msg"));
    const int r = real(dev, requesttype, request, value, index, bytes, size, timeout);
    if (requesttype == 0xA0 && request == 1 && r == 4 && (static_cast<unsigned char>(bytes[0]) & 0xE0) == 0x80)
        ++records;
    return r;
}
