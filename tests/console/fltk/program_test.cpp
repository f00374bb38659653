// The morlix program itself, started as the operator starts it: the
// previous-instance test and the settings that survive between runs.
#include "app_options.h"
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
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace morlix {
namespace {

using namespace std::chrono_literals;
using sim::bench::InstanceLock;
using sim::registry::RegRoot;

constexpr const char* Caption = "Morlix Quadrature Driver";

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

// Whether the process has a window with the console's caption; other tests
// may show theirs on the same display at the same time.
bool HasConsoleWindow(Display* display, ::Window window, pid_t owner) {
    char* windowName = nullptr;
    if (XFetchName(display, window, &windowName) && windowName) {
        const bool same = std::string(windowName) == Caption;
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
            found = HasConsoleWindow(display, children[i], owner);
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

bool ConsoleWindowShown(Display* display, pid_t owner) {
    previousErrorHandler = XSetErrorHandler(IgnoreVanishedWindows);
    const bool found = HasConsoleWindow(display, DefaultRootWindow(display), owner);
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

    void Start() {
        child = fork();
        if (child == 0) {
            setenv("XDG_RUNTIME_DIR", (dir / "run").c_str(), 1);
            setenv("XDG_CONFIG_HOME", (dir / "config").c_str(), 1);
            const int errors =
                open((dir / "stderr.txt").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            if (errors >= 0) {
                dup2(errors, 2);
            }
            execl(MORLIX_PROGRAM, MORLIX_PROGRAM, static_cast<char*>(nullptr));
            _exit(127);
        }
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
    bool WindowAppears(std::chrono::milliseconds limit) {
        const auto end = std::chrono::steady_clock::now() + limit;
        while (std::chrono::steady_clock::now() < end) {
            if (ConsoleWindowShown(display, child)) {
                return true;
            }
            std::this_thread::sleep_for(50ms);
        }
        return false;
    }
    // What the program wrote to its standard error.
    std::string Errors() const {
        std::ifstream file(dir / "stderr.txt");
        return std::string(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
    }

    Display* display = nullptr;
    std::filesystem::path dir;
    std::string settingsFile;
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
    EXPECT_EQ(Errors().find("verifier:"), std::string::npos) << Errors();

    sim::registry::Registry saved;
    ASSERT_TRUE(LoadSettings(saved, settingsFile));
    // One and two inches from the screen's corner, whatever its dpi.
    EXPECT_EQ(saved.GetString(RegRoot::CurrentUser, "SOFTWARE\\Veltrane\\Morlix", "Top"), "1440");
    EXPECT_EQ(saved.GetString(RegRoot::CurrentUser, "SOFTWARE\\Veltrane\\Morlix", "Left"), "2880");
}

} // namespace
} // namespace morlix
