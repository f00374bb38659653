// morlixctl on the chip through libusb (the chip simulated under the real libusb), its session
// and the program itself, and on the bench with the real driver: for the same commands the
// chip must receive the same requests at each step, and the window show the same. What a real
// chip cannot do is refused.
#include "misc_functions.h"
#include "mock_chip.h"
#include "session.h"
#include "sim_machine.h"
#include "usb_ids.h"
#include "usb_machine.h"

#include "sim/kernel/testing.h"
#include "sim/registry/registry.h"

#include <gtest/gtest.h>

#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

namespace morlix {
namespace {

using cli::Command;

// One request as the chip saw it; the vendor-defined request-type bits are left out (the
// driver hands them to the Windows bus stack, libusb sends to the device recipient).
using Request = std::tuple<bool, std::uint8_t, std::uint16_t, std::uint16_t,
                           std::vector<std::uint8_t>, std::uint32_t>;

struct Step {
    std::string name;
    std::vector<Command> commands; // none: the console's start-up
};

struct Seen {
    std::vector<std::vector<Request>> requests; // per step
    std::string out;
    std::string err;
};

std::vector<Command> Commands(std::vector<std::string> words) {
    const cli::ArgumentsResult parsed = cli::ParseArguments(words);
    EXPECT_TRUE(parsed.errors.empty());
    return parsed.commands;
}

std::vector<Request> RequestsSince(const sim::usb::IoChip& chip, std::size_t& seen) {
    const std::vector<sim::usb::VendorLogEntry> log = chip.VendorLog();
    std::vector<Request> requests;
    for (std::size_t i = seen; i < log.size(); ++i) {
        const sim::usb::VendorLogEntry& e = log[i];
        requests.emplace_back(e.setup.in, e.setup.request, e.setup.value, e.setup.index, e.dataOut,
                              e.result.bytesMoved);
    }
    seen = log.size();
    return requests;
}

Seen RunSteps(cli::Machine& machine, const sim::usb::IoChip& chip, const std::vector<Step>& steps) {
    Seen seen;
    std::ostringstream out;
    std::ostringstream err;
    std::size_t logged = chip.VendorLog().size();
    cli::Session session(machine, HeadlessOptions{}, out, err);
    for (const Step& step : steps) {
        if (step.commands.empty()) {
            EXPECT_TRUE(session.Start());
        }
        for (const Command& command : step.commands) {
            session.Run(command);
        }
        seen.requests.push_back(RequestsSince(chip, logged));
    }
    session.Finish();
    seen.out = out.str();
    seen.err = err.str();
    return seen;
}

class MorlixctlOnUsb : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(chip.Plug());
        ASSERT_TRUE(machine.usb().Ready());
    }

    test::MockChip chip; // the bench's serial number, the INF's placeholder identifiers
    sim::registry::Registry settings;
    cli::UsbMachine machine{settings, usb::UsbOptions{}};
};

TEST_F(MorlixctlOnUsb, StartUpATypedValueAPresetAndTheSerialNumberReachTheChipAsOnTheBench) {
    const std::vector<Step> steps = {
        {"start-up", {}},
        {"serial number", Commands({"tick"})},
        {"typed value", Commands({"type", "X", "1000"})},
        {"preset", Commands({"click", "Max"})},
        {"window", Commands({"show"})},
    };
    const Seen usb = RunSteps(machine, chip.chip(), steps);

    cli::SimMachine bench;
    const Seen onBench = RunSteps(bench, bench.bench().chip(), steps);
    sim::kernel::DrainDispatchWork();
    EXPECT_EQ(bench.Shutdown(), "") << "the driver's verifier";

    ASSERT_EQ(usb.requests.size(), steps.size());
    ASSERT_EQ(onBench.requests.size(), steps.size());
    for (std::size_t i = 0; i < steps.size(); ++i) {
        EXPECT_EQ(usb.requests[i], onBench.requests[i]) << steps[i].name;
    }
    // Start-up is 43 words of three writes each; the serial number one read of four bytes.
    EXPECT_EQ(usb.requests[0].size(), 43u * 3);
    ASSERT_EQ(usb.requests[1].size(), 1u);
    EXPECT_TRUE(std::get<0>(usb.requests[1][0]));
    EXPECT_EQ(std::get<5>(usb.requests[1][0]), 4u);
    EXPECT_FALSE(usb.requests[2].empty());
    EXPECT_FALSE(usb.requests[3].empty());
    EXPECT_TRUE(usb.requests[4].empty());

    EXPECT_EQ(usb.out, onBench.out);
    EXPECT_NE(usb.out.find("lblSerNum \"SN: 74565\" black"), std::string::npos) << usb.out;
    EXPECT_NE(usb.out.find("lblAmpX \"4095\" black"), std::string::npos) << usb.out;
    EXPECT_EQ(usb.err, "");
    EXPECT_EQ(onBench.err, "");
    EXPECT_TRUE(chip.coil().Anomalies().empty());
}

TEST_F(MorlixctlOnUsb, CoilUnplugAndPlugSayWhyNotAndSendNothing) {
    const std::vector<Step> steps = {{"start-up", {}},
                                     {"bench commands", Commands({"coil", "unplug", "plug"})}};
    const Seen usb = RunSteps(machine, chip.chip(), steps);
    EXPECT_TRUE(usb.requests[1].empty());
    EXPECT_EQ(usb.out, "");
    EXPECT_EQ(usb.err,
              "coil: a real chip does not report the words its coil driver latched (the bench "
              "does: --device bench)\n"
              "unplug: a real chip is pulled out by hand\n"
              "plug: a real chip is plugged in by hand\n");
    EXPECT_TRUE(chip.Plugged());
}

// The program itself, started from here: it inherits the testbed (umockdev's preload library
// and its directory are in the environment), so its libusb meets the simulated chip too.
std::string RunProgram(std::vector<std::string> arguments, int& status) {
    status = -1;
    std::string output;
    arguments.insert(arguments.begin(), MORLIXCTL_PATH);
    std::vector<char*> argv;
    for (std::string& argument : arguments) {
        argv.push_back(argument.data());
    }
    argv.push_back(nullptr);
    int fds[2];
    if (::pipe(fds) != 0) {
        return output;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, fds[1], STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&actions, fds[1], STDERR_FILENO);
    posix_spawn_file_actions_addclose(&actions, fds[0]);
    pid_t child = -1;
    const int spawned = ::posix_spawn(&child, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(fds[1]);
    if (spawned == 0) {
        char buffer[4096];
        ssize_t got = 0;
        while ((got = ::read(fds[0], buffer, sizeof buffer)) > 0) {
            output.append(buffer, static_cast<std::size_t>(got));
        }
        int ended = 0;
        if (::waitpid(child, &ended, 0) == child && WIFEXITED(ended)) {
            status = WEXITSTATUS(ended);
        }
    }
    ::close(fds[0]);
    return output;
}

TEST(MorlixctlProgramOnUsb, TheChipNamedOnTheCommandLineReceivesTheBenchsRequests) {
    test::MockChip chip(0x00012345, 0x1A2B, 0x3C4D);
    ASSERT_TRUE(chip.Plug());
    const std::vector<std::string> words = {"tick", "type", "X", "1000", "click", "Max", "show"};
    std::vector<std::string> arguments = {"--device", "usb",       "--vendor",
                                          "1a2b",     "--product", "0x3C4D"};
    arguments.insert(arguments.end(), words.begin(), words.end());
    int status = -1;
    const std::string usb = RunProgram(arguments, status);
    EXPECT_EQ(status, 0) << usb;
    std::size_t logged = 0;
    const std::vector<Request> onUsb = RequestsSince(chip.chip(), logged);

    // The same commands on the bench, the window's start and end included.
    cli::SimMachine bench;
    std::vector<Step> steps = {{"start-up", {}}, {"commands", Commands(words)}};
    const Seen onBench = RunSteps(bench, bench.bench().chip(), steps);
    sim::kernel::DrainDispatchWork();
    EXPECT_EQ(bench.Shutdown(), "") << "the driver's verifier";
    std::vector<Request> benchRequests;
    for (const std::vector<Request>& step : onBench.requests) {
        benchRequests.insert(benchRequests.end(), step.begin(), step.end());
    }

    EXPECT_GT(onUsb.size(), 43u * 3);
    EXPECT_EQ(onUsb, benchRequests);
    EXPECT_EQ(usb, onBench.out);
    EXPECT_NE(usb.find("lblSerNum \"SN: 74565\" black"), std::string::npos) << usb;

    // The identifiers kept in the settings file find it too.
    const std::string file = ::testing::TempDir() + "morlixctl_usb_ids.reg";
    sim::registry::Registry settings;
    settings.SetString(sim::registry::RegRoot::CurrentUser, SettingsKey.path, usb::SettingVendorId,
                       "1A2B");
    settings.SetString(sim::registry::RegRoot::CurrentUser, SettingsKey.path, usb::SettingProductId,
                       "3c4d");
    ASSERT_TRUE(settings.SaveToFile(file));
    const std::string kept =
        RunProgram({"--device", "usb", "--registry", file, "tick", "show"}, status);
    EXPECT_EQ(status, 0) << kept;
    EXPECT_NE(kept.find("lblSerNum \"SN: 74565\" black"), std::string::npos) << kept;
    std::remove(file.c_str());
    std::remove((file + ".lock").c_str());

    // Another chip is not this one: nothing is sent, and the label stays red.
    const std::size_t before = chip.chip().VendorLog().size();
    const std::string other =
        RunProgram({"--device", "usb", "--vendor", "1a2b", "tick", "show"}, status);
    EXPECT_EQ(chip.chip().VendorLog().size(), before);
    EXPECT_NE(other.find("lblSerNum \"Looking for USB...\" red"), std::string::npos) << other;
}

TEST(UsbIds, TheCommandLineAndTheSettingsTakeOneToFourHexDigits) {
    std::uint16_t id = 7;
    EXPECT_TRUE(usb::ParseUsbId("0x1a2B", id));
    EXPECT_EQ(id, 0x1A2B);
    EXPECT_TRUE(usb::ParseUsbId("ffff", id));
    EXPECT_EQ(id, 0xFFFF);
    for (const char* bad : {"", "0x", "12345", "0x10000", "xyz", "-1", "+1", "12 ", "0x-1"}) {
        id = 7;
        EXPECT_FALSE(usb::ParseUsbId(bad, id)) << bad;
        EXPECT_EQ(id, 7) << bad;
    }

    sim::registry::Registry settings;
    usb::UsbOptions options;
    std::string error;
    settings.SetString(sim::registry::RegRoot::CurrentUser, SettingsKey.path, usb::SettingVendorId,
                       "0x1a2b");
    ASSERT_TRUE(usb::ReadUsbIds(settings, options, error)) << error;
    EXPECT_EQ(options.vendorId, 0x1A2B);
    EXPECT_EQ(options.productId, 0xFFFF) << "no setting: as it was";

    settings.SetString(sim::registry::RegRoot::CurrentUser, SettingsKey.path, usb::SettingProductId,
                       "12G4");
    EXPECT_FALSE(usb::ReadUsbIds(settings, options, error));
    EXPECT_NE(error.find("USB Product ID"), std::string::npos) << error;
    EXPECT_EQ(options.productId, 0xFFFF);
}

} // namespace
} // namespace morlix
