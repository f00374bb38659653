// A watchdog for runs that must end: if the run has not finished within its limit, it prints what
// was running (a stress run's seed and step, a test's name) and where each thread stands, and ends
// the process, so that a hang fails the test and says where it waits instead of waiting for the
// test runner's timeout.
#pragma once

#include "thread_stacks.h"

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

namespace morlix::test {

class Watchdog {
public:
    // `what` names the run; its steps, from "start" on, are printed with it.
    Watchdog(std::chrono::milliseconds limit, std::string what)
        : Watchdog(limit, [what = std::move(what)] { return what; }) {
        Step("start");
    }
    // `what` is asked only when the run hangs, for what is running then.
    Watchdog(std::chrono::milliseconds limit, std::function<std::string()> what)
        : what_(std::move(what)) {
        AllowStackDumps();
        thread_ = std::thread([this, limit] { Watch(limit); });
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

    // What the run is doing now, printed with its name if it hangs.
    void Step(std::string step) {
        std::lock_guard lock(mutex_);
        step_ = std::move(step);
    }

private:
    void Watch(std::chrono::milliseconds limit) {
        std::unique_lock lock(mutex_);
        if (wake_.wait_for(lock, limit, [this] { return done_; }))
            return;
        const std::string step = step_.empty() ? "" : " (last step: " + step_ + ")";
        std::fprintf(stderr, "\nHANG: %s did not finish within %lld ms%s\n", what_().c_str(),
                     static_cast<long long>(limit.count()), step.c_str());
        std::fflush(stderr);
        PrintThreadStacks();
        std::_Exit(3);
    }

    std::function<std::string()> what_;
    std::string step_;
    std::mutex mutex_;
    std::condition_variable wake_;
    bool done_ = false;
    std::thread thread_;
};

} // namespace morlix::test
