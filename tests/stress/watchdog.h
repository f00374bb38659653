// A watchdog for runs that must end: if the run has not finished within its limit, it prints what
// was running (the seed, the step) and where each thread stands, and ends the process, so that a
// hang fails the test and says how to replay it instead of waiting for the test runner's timeout.
#pragma once

#include "thread_stacks.h"

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>
#include <thread>

namespace stress {

class Watchdog {
public:
    Watchdog(std::chrono::milliseconds limit, std::string what)
        : what_(std::move(what)), thread_([this, limit] { Watch(limit); }) {
        morlix::test::AllowStackDumps();
    }
    ~Watchdog() {
        {
            std::lock_guard lock(mutex_);
            done_ = true;
        }
        wake_.notify_all();
        thread_.join();
    }
    Watchdog(const Watchdog&) = delete;
    Watchdog& operator=(const Watchdog&) = delete;

    // What the run is doing now, printed with the seed if it hangs.
    void Step(std::string step) {
        std::lock_guard lock(mutex_);
        step_ = std::move(step);
    }

private:
    void Watch(std::chrono::milliseconds limit) {
        std::unique_lock lock(mutex_);
        if (!wake_.wait_for(lock, limit, [this] { return done_; })) {
            std::fprintf(stderr, "\nHANG: %s did not finish within %lld ms (last step: %s)\n",
                         what_.c_str(), static_cast<long long>(limit.count()), step_.c_str());
            std::fflush(stderr);
            morlix::test::PrintThreadStacks();
            std::_Exit(3);
        }
    }

    std::string what_;
    std::string step_ = "start";
    std::mutex mutex_;
    std::condition_variable wake_;
    bool done_ = false;
    std::thread thread_;
};

} // namespace stress
