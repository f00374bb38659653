// The libusb tests run under umockdev's preload library, which redirects
// /sys, /dev and the usbfs ioctls into the testbed. It has to be loaded
// from the start, so a program not started that way starts itself again
// with it; a sanitizer's runtime, when the program has one, goes first.
//
// A watchdog ends a program that runs far longer than its tests ever take,
// and first says which test was running and, where gdb is installed, where
// each of its threads stood: a wait that never ends, in the testbed, in
// libusb or in our own code, is then a failure that shows its place instead
// of a silent timeout.
#include "watchdog.h"

#include <gtest/gtest.h>

#include <dlfcn.h>
#include <link.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

constexpr const char* Preload = "libumockdev-preload.so.0";
constexpr const char* Restarted = "MORLIX_UMOCKDEV_RESTARTED";

bool PreloadLoaded() {
    void* library = dlopen(Preload, RTLD_NOW | RTLD_NOLOAD);
    if (library != nullptr) {
        dlclose(library);
    }
    return library != nullptr;
}

// "libasan.so.8:" and the like, for every sanitizer runtime this program uses.
std::string SanitizerRuntimes() {
    std::string list;
    dl_iterate_phdr(
        [](dl_phdr_info* info, size_t, void* out) {
            const std::string name = info->dlpi_name != nullptr ? info->dlpi_name : "";
            const std::string base = name.substr(name.find_last_of('/') + 1);
            if (base.rfind("libasan.so", 0) == 0 || base.rfind("libtsan.so", 0) == 0) {
                *static_cast<std::string*>(out) += name + ":";
            }
            return 0;
        },
        &list);
    return list;
}

// Seconds a program may run: each runs one test, which takes a few seconds
// even under a sanitizer. MORLIX_TEST_WATCHDOG_SECONDS sets another bound.
int WatchdogSeconds() {
    const char* text = std::getenv("MORLIX_TEST_WATCHDOG_SECONDS");
    const int seconds = text != nullptr ? std::atoi(text) : 0;
    return seconds > 0 ? seconds : 120;
}

// What the watchdog names when the program hangs: the test running then.
std::string RunningTest() {
    const ::testing::TestInfo* test = ::testing::UnitTest::GetInstance()->current_test_info();
    return test != nullptr ? std::string(test->test_suite_name()) + "." + test->name()
                           : std::string("the program");
}

} // namespace

// The testbed's worker thread and its callers synchronise through GLib's
// futex-based locks, which ThreadSanitizer cannot see. What it then reports
// inside umockdev, or in the worker's copies of the testbed's strings, is
// not a race of ours.
extern "C" const char* __tsan_default_suppressions() {
    return "race:libumockdev.so.0\n"
           "race:g_strdup\n";
}

int main(int argc, char** argv) {
    if (!PreloadLoaded()) {
        if (std::getenv(Restarted) != nullptr) {
            std::fprintf(stderr, "%s: %s did not load\n", argv[0], Preload);
            return 1;
        }
        std::string preload = SanitizerRuntimes() + Preload;
        if (const char* old = std::getenv("LD_PRELOAD"); old != nullptr && *old != '\0') {
            preload += std::string(":") + old;
        }
        setenv("LD_PRELOAD", preload.c_str(), 1);
        setenv(Restarted, "1", 1);
        execv("/proc/self/exe", argv);
        std::perror("umockdev: restart");
        return 1;
    }
    ::testing::InitGoogleTest(&argc, argv);
    const morlix::test::Watchdog watchdog(std::chrono::seconds(WatchdogSeconds()), RunningTest);
    return RUN_ALL_TESTS();
}
