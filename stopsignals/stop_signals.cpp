#include "vx7stopsignals/stop_signals.h"

#include <poll.h>
#include <time.h>

namespace vx7 {
namespace {

volatile sig_atomic_t g_interrupted = 0;

void on_interrupt(int)
{
    g_interrupted = 1;
}

} // namespace

InterruptFlag::InterruptFlag()
{
    struct sigaction sa {};
    sa.sa_handler = on_interrupt;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = 0; // no SA_RESTART: a blocking call returns at once
    sigaction(SIGINT, &sa, &old_int_);
    sigaction(SIGTERM, &sa, &old_term_);
}

InterruptFlag::~InterruptFlag()
{
    sigaction(SIGINT, &old_int_, nullptr);
    sigaction(SIGTERM, &old_term_, nullptr);
}

bool InterruptFlag::interrupted()
{
    return g_interrupted != 0;
}

InterruptWait::InterruptWait()
{
    sigset_t block;
    sigemptyset(&block);
    sigaddset(&block, SIGINT);
    sigaddset(&block, SIGTERM);
    sigprocmask(SIG_BLOCK, &block, &wait_mask_);
    sigdelset(&wait_mask_, SIGINT);
    sigdelset(&wait_mask_, SIGTERM);
}

InterruptWait::~InterruptWait()
{
    sigprocmask(SIG_SETMASK, &wait_mask_, nullptr);
}

bool InterruptWait::wait(long ms)
{
    timespec left{ms / 1000, (ms % 1000) * 1000000L};
    timespec start{};
    clock_gettime(CLOCK_MONOTONIC, &start);
    while (!g_interrupted) {
        if (ppoll(nullptr, 0, &left, &wait_mask_) == 0)
            return !g_interrupted;
        // EINTR without our flag (another signal): wait for the rest.
        timespec now{};
        clock_gettime(CLOCK_MONOTONIC, &now);
        const long long done_ms = (now.tv_sec - start.tv_sec) * 1000LL + (now.tv_nsec - start.tv_nsec) / 1000000;
        if (done_ms >= ms)
            return !g_interrupted;
        const long long rest = ms - done_ms;
        left = {static_cast<time_t>(rest / 1000), static_cast<long>((rest % 1000) * 1000000L)};
    }
    return false;
}

} // namespace vx7
