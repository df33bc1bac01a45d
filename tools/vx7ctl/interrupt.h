// Ctrl+C and SIGTERM for the commands that run until stopped (read --watch,
// record): the handlers only set a flag that the command looks at.
#ifndef VX7CTL_INTERRUPT_H
#define VX7CTL_INTERRUPT_H

#include <csignal>

namespace vx7ctl {

// While an object lives, SIGINT and SIGTERM set the flag that interrupted()
// reads (and interrupt a blocking call with EINTR) instead of ending the
// process; the previous handlers come back with its destruction.
class InterruptFlag {
public:
    InterruptFlag();
    ~InterruptFlag();
    InterruptFlag(const InterruptFlag &) = delete;
    InterruptFlag &operator=(const InterruptFlag &) = delete;

    [[nodiscard]] static bool interrupted();

private:
    struct sigaction old_int_ {};
    struct sigaction old_term_ {};
};

// An InterruptFlag whose signals stay blocked except while waiting, so that
// one arriving at any moment ends the next wait at once instead of being lost
// just before it starts.
class InterruptWait {
public:
    InterruptWait();
    ~InterruptWait();
    InterruptWait(const InterruptWait &) = delete;
    InterruptWait &operator=(const InterruptWait &) = delete;

    // Waits `ms` milliseconds; false when interrupted.
    bool wait(long ms);

private:
    InterruptFlag flag_;
    sigset_t wait_mask_{};
};

} // namespace vx7ctl

#endif
