// The previous-instance test of the front ends on the bench: an exclusive flock on a lock file,
// held for the life of the object. The kernel drops the lock when the process ends, however it
// ends, so a crash leaves no stale lock.
#pragma once

#include <string>

namespace sim::bench {

class InstanceLock {
public:
    explicit InstanceLock(const std::string& path);
    ~InstanceLock();
    InstanceLock(const InstanceLock&) = delete;
    InstanceLock& operator=(const InstanceLock&) = delete;

    // Whether the lock file could be opened (or made) at all.
    bool Opened() const { return opened_; }
    // Whether this object holds the lock.
    bool Held() const { return fd_ >= 0; }
    // Whether another holder, in this process or another living one, had the lock when this
    // one was made. A lock file that cannot be opened counts as no other instance.
    bool OtherInstanceRunning() const { return otherRunning_; }

private:
    int fd_ = -1;
    bool opened_ = false;
    bool otherRunning_ = false;
};

} // namespace sim::bench
