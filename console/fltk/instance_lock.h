// The previous-instance test on Linux: an exclusive flock on a per-user
// lock file, held for the life of the program. The kernel drops the lock
// when the process ends, however it ends, so a crash leaves no stale lock.
#pragma once

#include <string>

namespace morlix {

// $XDG_RUNTIME_DIR/morlix.lock, or /tmp/morlix-<uid>.lock without it.
std::string DefaultLockPath();

class InstanceLock {
public:
    explicit InstanceLock(const std::string& path = DefaultLockPath());
    ~InstanceLock();
    InstanceLock(const InstanceLock&) = delete;
    InstanceLock& operator=(const InstanceLock&) = delete;

    // Whether another living process held the lock when this one was made.
    // A lock file that cannot be opened at all counts as no other instance:
    // the console must still start on a machine with an odd /tmp.
    bool OtherInstanceRunning() const { return otherRunning_; }

private:
    int fd_ = -1;
    bool otherRunning_ = false;
};

} // namespace morlix
