// The cross-process lock of the state file (see lock.h).
#include "lock.h"

#include <chrono>

#include "state_map.h"

namespace vx7sim::detail {

namespace {

using Clock = std::chrono::steady_clock;

// The lock is only ever held for a few microseconds, so a waiter that has
// seen it taken for this long takes it over.
constexpr auto kLockBreak = std::chrono::milliseconds(2000);

} // namespace

Lock::Lock(State &s) : s_(s)
{
    std::uint32_t expected = 0;
    if (s_.lock.compare_exchange_strong(expected, 1, std::memory_order_acquire))
        return;
    const auto start = Clock::now();
    for (int spins = 0;; ++spins) {
        expected = 0;
        if (s_.lock.compare_exchange_weak(expected, 1, std::memory_order_acquire))
            return;
        if (spins > 64)
            pause_for_lock();
        if (Clock::now() - start > kLockBreak) {
            s_.lock.exchange(1, std::memory_order_acquire);
            return;
        }
    }
}

Lock::~Lock()
{
    s_.lock.store(0, std::memory_order_release);
}

} // namespace vx7sim::detail
