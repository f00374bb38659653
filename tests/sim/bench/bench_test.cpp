// The bench itself: the chip plugged again after it was pulled out, and a shutdown that tells
// what the verifier found.
#include "sim/bench/bench.h"
#include "sim/kernel/testing.h"
#include "test_driver.h"

#include <gtest/gtest.h>

namespace simtest {
namespace {

using namespace sim::wdm;
using sim::bench::Bench;
using sim::bench::BenchOptions;
using sim::kernel::KernelTest;

using BenchItself = KernelTest;

BenchOptions TestDriverOptions() {
    BenchOptions options;
    options.poolTag = 0; // the test driver tags its pool its own way
    return options;
}

TEST_F(BenchItself, AChipPulledOutCanBePluggedAgainAsANewNode) {
    ResetLog();
    Bench bench(TestDriverEntry, TestDriverOptions());
    ASSERT_TRUE(bench.Plugged());
    sim::usb::UsbDevice* first = bench.device();
    EXPECT_EQ(bench.Plug(), STATUS_INVALID_DEVICE_STATE); // it is in already
    EXPECT_FALSE(FirstInterfacePath().empty());

    EXPECT_TRUE(bench.Unplug());
    EXPECT_FALSE(bench.Unplug());
    EXPECT_FALSE(bench.Plugged());
    EXPECT_EQ(FirstInterfacePath(), "");

    EXPECT_EQ(bench.Plug(), STATUS_SUCCESS);
    EXPECT_TRUE(bench.Plugged());
    ASSERT_NE(bench.device(), first);
    EXPECT_NE(sim::kernel::GetDeviceInstanceId(bench.pdo()),
              TestDriverOptions().pdo.instanceId); // a node of its own
    EXPECT_FALSE(FirstInterfacePath().empty());
    EXPECT_EQ(bench.Shutdown(), "");
}

TEST_F(BenchItself, ShutdownTellsWhatTheVerifierFound) {
    const auto leakingEntry = [](PDRIVER_OBJECT, PUNICODE_STRING) {
        ExAllocatePoolWithTag(NonPagedPool, 16, 0x206D6457); // never freed
        return STATUS_SUCCESS;
    };
    {
        Bench bench(leakingEntry, TestDriverOptions());
        const std::string found = bench.Shutdown();
        EXPECT_NE(found.find("leak"), std::string::npos) << found;
        EXPECT_EQ(bench.Shutdown(), ""); // once
    }
    EXPECT_TRUE(sim::kernel::Violations().empty()); // the report went to the caller

    // A bench that just goes away leaves what the verifier found for the fixture to read.
    { Bench bench(leakingEntry, TestDriverOptions()); }
    const auto left = sim::kernel::TakeViolations();
    ASSERT_EQ(left.size(), 1u);
    EXPECT_EQ(left[0].kind, sim::kernel::ViolationKind::PoolLeak);
}

// What the machine still holds once it is taken apart is reported too: here a device object
// that the driver made at entry and never deleted.
TEST_F(BenchItself, ShutdownTellsWhatADriverLeftBehind) {
    const auto keepingEntry = [](PDRIVER_OBJECT driver, PUNICODE_STRING) {
        PDEVICE_OBJECT kept = nullptr;
        return IoCreateDevice(driver, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &kept);
    };
    BenchOptions options = TestDriverOptions();
    options.plug = false;
    Bench bench(keepingEntry, options);
    const std::string found = bench.Shutdown();
    EXPECT_NE(found.find("verifier: left at the end: device object"), std::string::npos) << found;
    EXPECT_NE(found.find("was not deleted by the end of the bench's run"), std::string::npos)
        << found;
}

} // namespace
} // namespace simtest
