#include "sim/bench/instance_lock.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <sys/wait.h>
#include <unistd.h>

namespace sim::bench {
namespace {

std::string LockPath() {
    return (std::filesystem::temp_directory_path() /
            ("morlix_lock_test_" + std::to_string(getpid()) + ".lock"))
        .string();
}

// Whether a separate process finds another instance running.
bool ChildSeesOtherInstance(const std::string& path) {
    const pid_t child = fork();
    if (child == 0) {
        InstanceLock lock(path);
        _exit(lock.OtherInstanceRunning() ? 1 : 0);
    }
    int status = 0;
    waitpid(child, &status, 0);
    return WIFEXITED(status) && WEXITSTATUS(status) == 1;
}

TEST(InstanceLock, ASecondStartFindsTheFirstUntilItEnds) {
    const std::string path = LockPath();
    {
        InstanceLock first(path);
        EXPECT_FALSE(first.OtherInstanceRunning());
        EXPECT_TRUE(ChildSeesOtherInstance(path));
        InstanceLock second(path); // within one process too
        EXPECT_TRUE(second.OtherInstanceRunning());
    }
    // The first has ended: a new start is the only one again.
    EXPECT_FALSE(ChildSeesOtherInstance(path));
    std::filesystem::remove(path);
}

TEST(InstanceLock, ALockFileThatCannotBeMadeDoesNotStopTheConsole) {
    InstanceLock lock("/nonexistent-directory/morlix.lock");
    EXPECT_FALSE(lock.OtherInstanceRunning());
}

} // namespace
} // namespace sim::bench
