// Where every thread of this process stands, printed by the watchdogs of the test programs
// before they end a run that hangs. gdb, where it is installed, attaches from a child process;
// it runs without LD_PRELOAD (a testbed's library or a sanitizer's runtime) and without a
// testbed's UMOCKDEV_DIR, so that it sees the real /sys and /dev. Linux only.
#pragma once

#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <string_view>
#include <vector>

namespace morlix::test {

// Lets gdb, started by PrintThreadStacks, attach to this process whatever the ptrace policy
// allows a child by default. Call once, early.
inline void AllowStackDumps() {
    prctl(PR_SET_PTRACER, PR_SET_PTRACER_ANY, 0, 0, 0);
}

// Prints every thread's stack to standard error. What the child needs is made before the
// fork: another thread may hold the heap's lock at that moment.
inline void PrintThreadStacks() {
    const std::string pid = std::to_string(getpid());
    const char* const args[] = {
        "gdb", "-batch", "-nx", "-p", pid.c_str(), "-ex", "thread apply all bt", nullptr};
    std::vector<char*> environment;
    for (char** entry = environ; *entry != nullptr; ++entry) {
        const std::string_view text(*entry);
        if (!text.starts_with("LD_PRELOAD=") && !text.starts_with("UMOCKDEV_DIR="))
            environment.push_back(*entry);
    }
    environment.push_back(nullptr);
    static const char noGdb[] = "no gdb to print the threads' stacks with\n";
    const pid_t child = fork();
    if (child == 0) {
        dup2(STDERR_FILENO, STDOUT_FILENO);
        execvpe(args[0], const_cast<char* const*>(args), environment.data());
        [[maybe_unused]] const ssize_t written = write(STDERR_FILENO, noGdb, sizeof noGdb - 1);
        _exit(1);
    }
    if (child > 0) {
        int status = 0;
        waitpid(child, &status, 0);
    }
}

} // namespace morlix::test
