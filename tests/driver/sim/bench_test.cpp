// The driver on the whole simulated bench: the path it publishes, opened and driven through
// the user-mode device calls, with the Plug and Play and power managers around it.
#include "norvask.h"

#include "sim/win/bench.h"

#include <gtest/gtest.h>

#include <string>

namespace norvask::test {
namespace {

constexpr const char* kParameters =
    "System\\CurrentControlSet\\Services\\Tarvik\\Norvask\\Parameters";

class OnTheBench : public ::testing::Test {
protected:
    void TearDown() override { EXPECT_EQ(sim::kernel::DescribeViolations(), ""); }

    static sim::win::BenchOptions Options() {
        sim::win::BenchOptions o;
        o.serialNumber = 0x00012345;
        return o;
    }

    std::string PublishedPath(sim::win::Bench& bench) {
        auto path =
            bench.registry().GetString(sim::win::RegRoot::LocalMachine, kParameters, "DeviceName");
        return path.value_or("");
    }

    bool Send(sim::win::Bench& bench, sim::win::Handle h, std::vector<UCHAR> packet,
              std::vector<UCHAR>* reply, std::uint32_t* returned) {
        reply->assign(8, 0);
        return bench.io().DeviceIoControl(h, IOCTL_VENDOR_REQUEST, packet.data(),
                                          static_cast<std::uint32_t>(packet.size()), reply->data(),
                                          8, returned);
    }
};

TEST_F(OnTheBench, ConsoleCycleThroughThePublishedPath) {
    sim::win::Bench bench(
        [](PDRIVER_OBJECT d, PUNICODE_STRING r) { return norvask::DriverEntry(d, r); }, Options());
    ASSERT_EQ(bench.plugStatus(), STATUS_SUCCESS);
    const std::string path = PublishedPath(bench);
    ASSERT_EQ(path.rfind("\\\\.\\", 0), 0u) << path;

    const sim::win::Handle h = bench.io().CreateFileA(path.c_str());
    ASSERT_NE(h, sim::win::InvalidHandleValue);
    std::vector<UCHAR> reply;
    std::uint32_t returned = 99;
    ASSERT_TRUE(Send(bench, h, {8, 18, 10, 10, 0x12, 0x02, 0, 0}, &reply, &returned));
    EXPECT_EQ(returned, 0u);
    EXPECT_EQ(bench.coil().PortA(), 0x12);
    EXPECT_EQ(bench.coil().PortB(), 0x02);
    ASSERT_TRUE(Send(bench, h, {8, 18, 11, 10, 0, 0, 0, 0}, &reply, &returned));
    ASSERT_EQ(returned, 4u);
    EXPECT_EQ(reply[0], 0x45);
    EXPECT_EQ(reply[1], 0x23);
    EXPECT_EQ(reply[2], 0x01);
    // One handle at a time.
    EXPECT_EQ(bench.io().CreateFileA(path.c_str()), sim::win::InvalidHandleValue);
    EXPECT_TRUE(bench.io().CloseHandle(h));
}

TEST_F(OnTheBench, SleepAndWakeOfTheSystemLeaveTheDeviceWorking) {
    sim::win::Bench bench(
        [](PDRIVER_OBJECT d, PUNICODE_STRING r) { return norvask::DriverEntry(d, r); }, Options());
    ASSERT_EQ(bench.plugStatus(), STATUS_SUCCESS);
    EXPECT_EQ(bench.power().SetSystemPower(bench.pdo(), PowerSystemSleeping3), STATUS_SUCCESS);
    EXPECT_EQ(bench.power().SetSystemPower(bench.pdo(), PowerSystemWorking), STATUS_SUCCESS);
    const sim::win::Handle h = bench.io().CreateFileA(PublishedPath(bench).c_str());
    ASSERT_NE(h, sim::win::InvalidHandleValue);
    std::vector<UCHAR> reply;
    std::uint32_t returned = 0;
    EXPECT_TRUE(Send(bench, h, {8, 18, 10, 10, 0x33, 0x01, 0, 0}, &reply, &returned));
    EXPECT_EQ(bench.coil().PortA(), 0x33);
    EXPECT_TRUE(bench.io().CloseHandle(h));
}

TEST_F(OnTheBench, OrderlyRemovalFreesEverything) {
    sim::win::Bench bench(
        [](PDRIVER_OBJECT d, PUNICODE_STRING r) { return norvask::DriverEntry(d, r); }, Options());
    ASSERT_EQ(bench.plugStatus(), STATUS_SUCCESS);
    EXPECT_EQ(bench.pnp().RemoveDevice(bench.pdo()), STATUS_SUCCESS);
    EXPECT_TRUE(sim::kernel::OutstandingPool(bench.driver()).empty());
}

TEST_F(OnTheBench, UnplugWithoutAHandleOpen) {
    sim::win::Bench bench(
        [](PDRIVER_OBJECT d, PUNICODE_STRING r) { return norvask::DriverEntry(d, r); }, Options());
    ASSERT_EQ(bench.plugStatus(), STATUS_SUCCESS);
    bench.Unplug();
    EXPECT_TRUE(sim::kernel::OutstandingPool(bench.driver()).empty());
}

TEST_F(OnTheBench, UnplugWithAPipeHandleOpen) {
    sim::win::Bench bench(
        [](PDRIVER_OBJECT d, PUNICODE_STRING r) { return norvask::DriverEntry(d, r); }, Options());
    ASSERT_EQ(bench.plugStatus(), STATUS_SUCCESS);
    const std::string pipePath = PublishedPath(bench) + "\\PIPE0";
    const sim::win::Handle h = bench.io().CreateFileA(pipePath.c_str());
    ASSERT_NE(h, sim::win::InvalidHandleValue);
    bench.Unplug();
    EXPECT_TRUE(bench.io().CloseHandle(h));
    EXPECT_TRUE(sim::kernel::OutstandingPool(bench.driver()).empty());
}

} // namespace
} // namespace norvask::test
