// Ctrl+C and SIGTERM as a request to stop, for the programs and commands that
// run until stopped (vx7-gateway, vx7ctl read --watch and record): the
// handlers only set a flag that the program looks at.
#ifndef VX7_STOP_SIGNALS_H
#define VX7_STOP_SIGNALS_H

#include <csignal>

namespace vx7 {

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
// just before it starts. Made before a program starts its threads, it keeps
// the signals blocked in them too, so that only the waiting thread takes
// them.
class InterruptWait {
public:
    InterruptWait();
    ~InterruptWait();
    InterruptWait(const InterruptWait &) = delete;
    InterruptWait &operator=(const InterruptWait &) = delete;

    // Waits `ms` milliseconds; false when interrupted.
    [[nodiscard]] bool wait(long ms);

private:
    InterruptFlag flag_;
    sigset_t wait_mask_{};
};

} // namespace vx7

#endif
