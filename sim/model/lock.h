// The cross-process lock of the state file: a word in the shared mapping,
// taken for the few microseconds a call needs, never while a transfer is
// delayed.
#ifndef VX7SIM_LOCK_H
#define VX7SIM_LOCK_H

#include "layout.h"

namespace vx7sim::detail {

class Lock {
public:
    // Takes the lock, waiting while another process holds it. A holder that
    // died with it (SIGKILL, a crash) would block every other process for
    // good; a waiter that has seen it taken for 2 s takes it over.
    explicit Lock(State &s);
    ~Lock();
    Lock(const Lock &) = delete;
    Lock &operator=(const Lock &) = delete;

private:
    State &s_;
};

} // namespace vx7sim::detail

#endif
