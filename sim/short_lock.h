// A lock for short bookkeeping sections of the simulated platform: taking it free is one atomic
// exchange and giving it back one store, where a mutex costs a library call each way. A waiter
// yields between tries, so a holder that lost its processor on a busy machine gets it back. Not
// recursive, and not for a section that waits on anything: a waiter spins for as long as the
// holder holds it.
#pragma once

#include <atomic>
#include <thread>

namespace sim {

class ShortLock {
public:
    void lock() noexcept {
        while (held_.exchange(true, std::memory_order_acquire)) {
            do
                std::this_thread::yield();
            while (held_.load(std::memory_order_relaxed));
        }
    }
    bool try_lock() noexcept { return !held_.exchange(true, std::memory_order_acquire); }
    void unlock() noexcept { held_.store(false, std::memory_order_release); }

private:
    std::atomic<bool> held_{false};
};

} // namespace sim
