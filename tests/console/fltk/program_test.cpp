// The morlix program itself, started as the operator starts it: the
// previous-instance test and the settings that survive between runs.
#include "app_options.h"
#include "misc_functions.h"
#include "display_required.h"
#include "x11_stacking.h"

#include "sim/bench/instance_lock.h"
#include "sim/registry/registry.h"

#include <gtest/gtest.h>
// After GoogleTest: Xlib's macros (None, Bool) would clash with its names.
#include <X11/Xatom.h>
#include <X11/Xlib.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace morlix {
namespace {

using namespace std::chrono_literals;
using sim::bench::InstanceLock;
using sim::registry::RegRoot;

constexpr const char* Caption = "Morlix Quadrature Driver";
constexpr const char* BenchViewCaption = "Morlix bench view: coil driver model";

// The process that made a window, as it tells the window manager.
std::optional<long> WindowPid(Display* display, ::Window window) {
    const Atom pidAtom = XInternAtom(display, "_NET_WM_PID", True);
    if (pidAtom == 0) {
        return std::nullopt;
    }
    Atom type = 0;
    int format = 0;
    unsigned long count = 0, after = 0;
    unsigned char* data = nullptr;
    std::optional<long> pid;
    if (XGetWindowProperty(display, window, pidAtom, 0, 1, False, XA_CARDINAL, &type, &format,
                           &count, &after, &data) == Success &&
        data && format == 32 && count == 1) {
        pid = *reinterpret_cast<long*>(data);
    }
    if (data) {
        XFree(data);
    }
    return pid;
}

// Whether the process has a window with this caption; other tests may show
// theirs on the same display at the same time.
bool HasWindowNamed(Display* display, ::Window window, pid_t owner, const char* caption) {
    char* windowName = nullptr;
    if (XFetchName(display, window, &windowName) && windowName) {
        const bool same = std::string(windowName) == caption;
        XFree(windowName);
        if (same && WindowPid(display, window) == owner) {
            return true;
        }
    }
    ::Window root, parent;
    ::Window* children = nullptr;
    unsigned count = 0;
    bool found = false;
    if (XQueryTree(display, window, &root, &parent, &children, &count)) {
        for (unsigned i = 0; i < count && !found; ++i) {
            found = HasWindowNamed(display, children[i], owner, caption);
        }
        if (children) {
            XFree(children);
        }
    }
    return found;
}

// Other test programs show and close their windows on the same display while
// the tree is walked: a request about a window that has just gone fails with
// BadWindow, which is no fault of the program under test. Any other error
// still goes to the handler that was there.
XErrorHandler previousErrorHandler = nullptr;

int IgnoreVanishedWindows(Display* display, XErrorEvent* error) {
    if (error->error_code == BadWindow) {
        return 0;
    }
    return previousErrorHandler ? previousErrorHandler(display, error) : 0;
}

bool ConsoleWindowShown(Display* display, pid_t owner, const char* caption = Caption) {
    previousErrorHandler = XSetErrorHandler(IgnoreVanishedWindows);
    const bool found = HasWindowNamed(display, DefaultRootWindow(display), owner, caption);
    XSync(display, False); // every error of the walk arrives before the handler goes
    XSetErrorHandler(previousErrorHandler);
    return found;
}

class ProgramTest : public ::testing::Test {
protected:
    void SetUp() override {
        MORLIX_NEED_DISPLAY(OpenDisplay(), "no display");
        display = XOpenDisplay(nullptr);
        ASSERT_NE(display, nullptr);
        dir = std::filesystem::temp_directory_path() /
              ("morlix_program_" + std::to_string(getpid()) + "_" +
               ::testing::UnitTest::GetInstance()->current_test_info()->name());
        std::filesystem::remove_all(dir);
        std::filesystem::create_directories(dir / "run");
        std::filesystem::create_directories(dir / "config");
        settingsFile = SettingsFilePath((dir / "config").c_str(), nullptr);
    }
    void TearDown() override {
        if (child > 0) {
            kill(child, SIGKILL);
            waitpid(child, nullptr, 0);
        }
        if (display) {
            XCloseDisplay(display);
        }
        std::filesystem::remove_all(dir);
    }

    // The program with these arguments; its standard error goes to errorFile.
    void Start(std::vector<std::string> args = {}) {
        errorFile = (dir / "stderr").string();
        child = fork();
        if (child == 0) {
            setenv("XDG_RUNTIME_DIR", (dir / "run").c_str(), 1);
            setenv("XDG_CONFIG_HOME", (dir / "config").c_str(), 1);
            if (std::FILE* errors = std::freopen(errorFile.c_str(), "w", stderr); !errors) {
                _exit(126);
            }
            std::vector<char*> argv{const_cast<char*>(MORLIX_PROGRAM)};
            for (std::string& arg : args) {
                argv.push_back(arg.data());
            }
            argv.push_back(nullptr);
            execv(MORLIX_PROGRAM, argv.data());
            _exit(127);
        }
    }
    std::string ErrorOutput() const {
        std::ifstream in(errorFile);
        return std::string(std::istreambuf_iterator<char>(in), {});
    }
    // The exit status, or nothing if the program still runs after the wait.
    std::optional<int> WaitForExit(std::chrono::milliseconds limit) {
        const auto end = std::chrono::steady_clock::now() + limit;
        while (std::chrono::steady_clock::now() < end) {
            int status = 0;
            if (waitpid(child, &status, WNOHANG) == child) {
                child = -1;
                return WIFEXITED(status) ? WEXITSTATUS(status) : 1000 + WTERMSIG(status);
            }
            std::this_thread::sleep_for(20ms);
        }
        return std::nullopt;
    }
    bool WindowAppears(std::chrono::milliseconds limit, const char* caption = Caption) {
        const auto end = std::chrono::steady_clock::now() + limit;
        while (std::chrono::steady_clock::now() < end) {
            if (ConsoleWindowShown(display, child, caption)) {
                return true;
            }
            std::this_thread::sleep_for(50ms);
        }
        return false;
    }

    Display* display = nullptr;
    std::filesystem::path dir;
    std::string settingsFile;
    std::string errorFile;
    pid_t child = -1;
};

TEST_F(ProgramTest, ASecondStartEndsAtOnceWithoutAWindowOrSettings) {
    InstanceLock running((dir / "run" / "morlix.lock").string());
    ASSERT_FALSE(running.OtherInstanceRunning());
    Start();
    const pid_t second = child;
    EXPECT_FALSE(WindowAppears(1500ms));
    const std::optional<int> status = WaitForExit(10s);
    ASSERT_TRUE(status.has_value());
    EXPECT_EQ(*status, 0);
    EXPECT_FALSE(ConsoleWindowShown(display, second));
    EXPECT_FALSE(std::filesystem::exists(settingsFile));
}

TEST_F(ProgramTest, APlacementSavedOnCloseIsRestoredAndSavedAgain) {
    sim::registry::Registry stored;
    stored.SetString(RegRoot::CurrentUser, "SOFTWARE\\Veltrane\\Morlix", "Top", "1440");
    stored.SetString(RegRoot::CurrentUser, "SOFTWARE\\Veltrane\\Morlix", "Left", "2880");
    ASSERT_TRUE(SaveSettings(stored, settingsFile));

    Start();
    ASSERT_TRUE(WindowAppears(15s));
    kill(child, SIGTERM); // closes the window as the operator would
    const std::optional<int> status = WaitForExit(10s);
    ASSERT_TRUE(status.has_value());
    EXPECT_EQ(*status, 0);
    EXPECT_EQ(ErrorOutput().find("verifier:"), std::string::npos) << ErrorOutput();

    sim::registry::Registry saved;
    ASSERT_TRUE(LoadSettings(saved, settingsFile));
    // One and two inches from the screen's corner, whatever its dpi.
    EXPECT_EQ(saved.GetString(RegRoot::CurrentUser, "SOFTWARE\\Veltrane\\Morlix", "Top"), "1440");
    EXPECT_EQ(saved.GetString(RegRoot::CurrentUser, "SOFTWARE\\Veltrane\\Morlix", "Left"), "2880");
}

TEST_F(ProgramTest, ABadDeviceIsRefusedInOneLineAndNothingRuns) {
    Start({"--device", "serial"});
    const std::optional<int> status = WaitForExit(10s);
    ASSERT_TRUE(status.has_value());
    EXPECT_EQ(*status, 2);
    EXPECT_EQ(ErrorOutput(),
              "morlix: --device takes bench or usb (morlix --help lists the options)\n");
    EXPECT_FALSE(std::filesystem::exists(settingsFile));
    EXPECT_FALSE(std::filesystem::exists(dir / "run" / "morlix.lock"));
}

TEST_F(ProgramTest, OnTheBenchItsViewOpensBesideTheConsole) {
    Start({"--device", "bench"});
    ASSERT_TRUE(WindowAppears(15s));
    EXPECT_TRUE(WindowAppears(5s, BenchViewCaption));
    kill(child, SIGTERM); // the view goes with the console, and the program ends
    const std::optional<int> status = WaitForExit(10s);
    ASSERT_TRUE(status.has_value());
    EXPECT_EQ(*status, 0);
}

TEST_F(ProgramTest, OnUsbTheConsoleRunsAloneAndKeepsTheChipIdentifiers) {
    Start({"--device", "usb", "--vendor", "1234"});
    ASSERT_TRUE(WindowAppears(15s));
    EXPECT_FALSE(WindowAppears(1s, BenchViewCaption));
    kill(child, SIGTERM);
    const std::optional<int> status = WaitForExit(10s);
    ASSERT_TRUE(status.has_value());
    EXPECT_EQ(*status, 0);

    sim::registry::Registry saved;
    ASSERT_TRUE(LoadSettings(saved, settingsFile));
    EXPECT_EQ(saved.GetString(RegRoot::CurrentUser, morlix::SettingsKey.path, "USB Vendor ID"), "1234");
    EXPECT_FALSE(saved.GetValue(RegRoot::CurrentUser, morlix::SettingsKey.path, "USB Product ID")); // not given
    // The window's placement went to the same file.
    EXPECT_TRUE(saved.GetString(RegRoot::CurrentUser, "SOFTWARE\\Veltrane\\Morlix", "Top"));
}

} // namespace
} // namespace morlix
