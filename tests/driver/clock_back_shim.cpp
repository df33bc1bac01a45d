// Preloaded into a driver under test: from 50 ms after the first clock read
// on, the wall clock (gettimeofday, CLOCK_REALTIME) reads one hour earlier, as
// after an administrator set the clock back. Monotonic clocks are untouched.
#include <ctime>
#include <dlfcn.h>
#include <sys/time.h>

namespace {

using clock_gettime_fn = int (*)(clockid_t, timespec *);

clock_gettime_fn real_clock_gettime()
{
    static auto fn = reinterpret_cast<clock_gettime_fn>(dlsym(RTLD_NEXT, "clock_gettime"));
    return fn;
}

bool set_back()
{
    static long long first_ms = -1;
    timespec now{};
    real_clock_gettime()(CLOCK_MONOTONIC, &now);
    const long long ms = now.tv_sec * 1000LL + now.tv_nsec / 1000000;
    if (first_ms < 0)
        first_ms = ms;
    return ms - first_ms > 50;
}

} // namespace

extern "C" int clock_gettime(clockid_t id, timespec *ts)
{
    const int r = real_clock_gettime()(id, ts);
    if (r == 0 && (id == CLOCK_REALTIME || id == CLOCK_REALTIME_COARSE) && set_back())
        ts->tv_sec -= 3600;
    return r;
}

extern "C" int gettimeofday(timeval *tv, void *)
{
    timespec ts{};
    const int r = clock_gettime(CLOCK_REALTIME, &ts);
    if (r == 0 && tv != nullptr) {
        tv->tv_sec = ts.tv_sec;
        tv->tv_usec = ts.tv_nsec / 1000;
    }
    return r;
}
