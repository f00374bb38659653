// The driver on the whole simulated bench: the path it publishes, opened and driven through
// the user-mode device calls, with the Plug and Play and power managers around it.
#include "norvask.h"

#include "sim/bench/bench.h"
#include "sim/kernel/testing.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

namespace norvask::test {
namespace {

constexpr const char* kParameters = contract::ParametersKey;

class OnTheBench : public sim::kernel::KernelTest {
protected:
    static sim::bench::BenchOptions Options() {
        sim::bench::BenchOptions o;
        o.serialNumber = 0x00012345;
        return o;
    }

    std::string PublishedPath(sim::bench::Bench& bench) {
        auto path = bench.registry().GetString(sim::registry::RegRoot::LocalMachine, kParameters,
                                               "DeviceName");
        return path.value_or("");
    }

    bool Send(sim::bench::Bench& bench, sim::win::Handle h, std::vector<UCHAR> packet,
              std::vector<UCHAR>* reply, std::uint32_t* returned) {
        reply->assign(8, 0);
        return bench.io().DeviceIoControl(h, IOCTL_VENDOR_REQUEST, packet.data(),
                                          static_cast<std::uint32_t>(packet.size()), reply->data(),
                                          8, returned);
    }
};

TEST_F(OnTheBench, ConsoleCycleThroughThePublishedPath) {
    sim::bench::Bench bench(
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
    sim::bench::Bench bench(
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
    sim::bench::Bench bench(
        [](PDRIVER_OBJECT d, PUNICODE_STRING r) { return norvask::DriverEntry(d, r); }, Options());
    ASSERT_EQ(bench.plugStatus(), STATUS_SUCCESS);
    EXPECT_EQ(bench.pnp().RemoveDevice(bench.pdo()), STATUS_SUCCESS);
    EXPECT_TRUE(sim::kernel::OutstandingPool(bench.driver()).empty());
}

TEST_F(OnTheBench, UnplugWithoutAHandleOpen) {
    sim::bench::Bench bench(
        [](PDRIVER_OBJECT d, PUNICODE_STRING r) { return norvask::DriverEntry(d, r); }, Options());
    ASSERT_EQ(bench.plugStatus(), STATUS_SUCCESS);
    bench.Unplug();
    EXPECT_TRUE(sim::kernel::OutstandingPool(bench.driver()).empty());
}

TEST_F(OnTheBench, UnplugWithAPipeHandleOpen) {
    sim::bench::Bench bench(
        [](PDRIVER_OBJECT d, PUNICODE_STRING r) { return norvask::DriverEntry(d, r); }, Options());
    ASSERT_EQ(bench.plugStatus(), STATUS_SUCCESS);
    const std::string pipePath = PublishedPath(bench) + "\\PIPE0";
    const sim::win::Handle h = bench.io().CreateFileA(pipePath.c_str());
    ASSERT_NE(h, sim::win::InvalidHandleValue);
    bench.Unplug();
    EXPECT_TRUE(bench.io().CloseHandle(h));
    EXPECT_TRUE(sim::kernel::OutstandingPool(bench.driver()).empty());
}

// Stands in front of the driver's close routine to see the closes that reach it.
PDRIVER_DISPATCH realClose = nullptr;
std::vector<NTSTATUS> closeStatuses;

NTSTATUS NTAPI RecordingClose(PDEVICE_OBJECT deviceObject, PIRP irp) {
    const NTSTATUS status = realClose(deviceObject, irp);
    closeStatuses.push_back(status);
    return status;
}

class HandleOutlivesTheRemoval : public OnTheBench,
                                 public ::testing::WithParamInterface<const char*> {};

TEST_P(HandleOutlivesTheRemoval, CloseAfterTheRemoveReachesTheDriverAndFreesEverything) {
    sim::bench::Bench bench(
        [](PDRIVER_OBJECT d, PUNICODE_STRING r) { return norvask::DriverEntry(d, r); }, Options());
    ASSERT_EQ(bench.plugStatus(), STATUS_SUCCESS);
    realClose = bench.driver()->MajorFunction[IRP_MJ_CLOSE];
    bench.driver()->MajorFunction[IRP_MJ_CLOSE] = RecordingClose;
    closeStatuses.clear();

    const std::string path = PublishedPath(bench);
    const sim::win::Handle h = bench.io().CreateFileA((path + GetParam()).c_str());
    ASSERT_NE(h, sim::win::InvalidHandleValue);
    PDEVICE_OBJECT fdo = IoGetAttachedDevice(bench.pdo());
    ASSERT_NE(fdo, bench.pdo());

    bench.Unplug();
    EXPECT_EQ(bench.pnp().State(bench.pdo()), sim::win::DeviceNodeState::SurpriseRemoved);
    EXPECT_EQ(bench.pnp().Remove(bench.pdo()), STATUS_SUCCESS);
    // The driver deleted its device; the open handle keeps the object until it closes.
    EXPECT_TRUE(sim::kernel::IsDeviceDeletePending(fdo));
    EXPECT_EQ(bench.io().CreateFileA(path.c_str()), sim::win::InvalidHandleValue);
    // A request on the handle still reaches the driver, which refuses it.
    std::vector<UCHAR> reply;
    std::uint32_t returned = 99;
    EXPECT_FALSE(Send(bench, h, {8, 18, 10, 10, 0x12, 0x02, 0, 0}, &reply, &returned));
    EXPECT_EQ(returned, 0u);
    EXPECT_EQ(sim::kernel::DescribeViolations(), "");

    EXPECT_TRUE(bench.io().CloseHandle(h));
    EXPECT_EQ(closeStatuses, std::vector<NTSTATUS>{STATUS_SUCCESS});
    EXPECT_FALSE(sim::kernel::IsDeviceObjectValid(fdo)); // freed with its last handle
    EXPECT_EQ(sim::kernel::DescribeViolations(), "");
    EXPECT_TRUE(sim::kernel::OutstandingPool(bench.driver()).empty());
}

INSTANTIATE_TEST_SUITE_P(PipeOrPlain, HandleOutlivesTheRemoval, ::testing::Values("\\PIPE0", ""),
                         [](const ::testing::TestParamInfo<const char*>& info) {
                             return std::string(info.param[0] == '\0' ? "Plain" : "Pipe");
                         });

// Waits up to two seconds for `done`.
template <typename Done>
bool WaitFor(Done done) {
    for (int i = 0; i < 2000 && !done(); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return done();
}

// Lets the device fall idle (a pipe opened and closed) and arms a wait-wake, which the bus
// then holds.
std::shared_ptr<sim::win::WakeRequest> ArmWakeWhileIdle(sim::bench::Bench& bench) {
    const std::string pipe =
        bench.registry()
            .GetString(sim::registry::RegRoot::LocalMachine, contract::ParametersKey, "DeviceName")
            .value_or("") +
        "\\PIPE0";
    bench.io().CloseHandle(bench.io().CreateFileA(pipe.c_str()));
    DeviceExtension* ext = Extension(IoGetAttachedDevice(bench.pdo()));
    EXPECT_TRUE(WaitFor([&] { return ext->DevicePowerState == PowerDeviceD2; }));
    return bench.power().ArmWake(bench.pdo(), PowerSystemSleeping3);
}

// The close of a handle arrives while the remove deletes the device: the remove has given up
// its last hold, so the close takes none and leaves the pipes, which the remove frees, alone. The
// handle's file object keeps the device, so the close is owed nothing yet; it completes, and the
// device goes with the handle.
TEST_F(OnTheBench, CloseInsideTheDriverWhileTheRemoveDeletesTheDevice) {
    sim::bench::Bench bench(
        [](PDRIVER_OBJECT d, PUNICODE_STRING r) { return norvask::DriverEntry(d, r); }, Options());
    ASSERT_EQ(bench.plugStatus(), STATUS_SUCCESS);
    const sim::win::Handle h = bench.io().CreateFileA(PublishedPath(bench).c_str());
    ASSERT_NE(h, sim::win::InvalidHandleValue);
    PDEVICE_OBJECT fdo = IoGetAttachedDevice(bench.pdo());
    DeviceExtension* ext = Extension(fdo);
    bench.Unplug(); // the node waits for the handle; the remove comes below
    ASSERT_EQ(ext->PendingIoCount, 1);

    std::atomic<int> stage{0}; // 1: the close is on its way; 2: it has returned
    std::atomic<bool> closed{false};
    std::thread closer;
    sim::kernel::SetInterlockedHook(&ext->PendingIoCount, [&](LONG value) {
        if (value == 0 && stage.load() == 0) {
            stage = 1; // the remove gave up the device's hold: the close comes now
            closer = std::thread([&] {
                closed = bench.io().CloseHandle(h);
                stage = 2;
            });
            WaitFor([&] { return stage.load() == 2; });
        }
    });
    EXPECT_EQ(bench.pnp().Remove(bench.pdo()), STATUS_SUCCESS);
    if (closer.joinable()) {
        closer.join();
    }
    sim::kernel::ClearInterlockedHook();
    EXPECT_EQ(stage.load(), 2);
    EXPECT_TRUE(closed.load());
    EXPECT_FALSE(sim::kernel::IsDeviceObjectValid(fdo)); // freed with its handle
    EXPECT_EQ(sim::kernel::DescribeViolations(), "");
    EXPECT_TRUE(sim::kernel::OutstandingPool(bench.driver()).empty());
}

// A wake that the device signals just before it leaves: the remove waits until the driver is
// done with its wait-wake request (held here in the idle policy that the wake resumes) before
// it passes down to the bus, which deletes its device object with nothing of the driver's on it.
TEST_F(OnTheBench, RemoveWaitsForTheWaitWakeSignalledJustBefore) {
    sim::bench::Bench bench(
        [](PDRIVER_OBJECT d, PUNICODE_STRING r) { return norvask::DriverEntry(d, r); }, Options());
    ASSERT_EQ(bench.plugStatus(), STATUS_SUCCESS);
    const auto wake = ArmWakeWhileIdle(bench);
    ASSERT_TRUE(WaitFor([&] { return bench.device()->WaitWakePending(); }));
    DeviceExtension* ext = Extension(IoGetAttachedDevice(bench.pdo()));

    KeWaitForSingleObject(&ext->IdlePolicyLock, Executive, KernelMode, FALSE, nullptr);
    ASSERT_TRUE(bench.device()->SignalWake());
    std::atomic<bool> removed{false};
    std::thread removal([&] {
        bench.Unplug();
        removed = true;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_FALSE(removed.load());
    EXPECT_FALSE(bench.device()->PdoDeleted()); // the remove has not gone down yet
    KeSetEvent(&ext->IdlePolicyLock, IO_NO_INCREMENT, FALSE);
    removal.join();
    EXPECT_TRUE(wake->WaitDone(2000));
    EXPECT_EQ(wake->Status(), STATUS_SUCCESS);
    EXPECT_TRUE(bench.device()->PdoDeleted());
    EXPECT_EQ(sim::kernel::DescribeViolations(), "");
    EXPECT_TRUE(sim::kernel::OutstandingPool(bench.driver()).empty());
}

// An armed wait-wake at an orderly removal (the device stays on the bus, which would hold the
// request on): the remove cancels it and waits for the driver's wait-wake dispatch to finish
// before it passes down.
TEST_F(OnTheBench, RemoveCancelsAnArmedWaitWake) {
    sim::bench::Bench bench(
        [](PDRIVER_OBJECT d, PUNICODE_STRING r) { return norvask::DriverEntry(d, r); }, Options());
    ASSERT_EQ(bench.plugStatus(), STATUS_SUCCESS);
    const auto wake = ArmWakeWhileIdle(bench);
    ASSERT_TRUE(WaitFor([&] { return bench.device()->WaitWakePending(); }));
    EXPECT_EQ(bench.pnp().RemoveDevice(bench.pdo()), STATUS_SUCCESS);
    EXPECT_TRUE(wake->WaitDone(2000));
    EXPECT_EQ(wake->Status(), STATUS_CANCELLED);
    EXPECT_FALSE(bench.device()->WaitWakePending());
    EXPECT_EQ(sim::kernel::DescribeViolations(), "");
    EXPECT_TRUE(sim::kernel::OutstandingPool(bench.driver()).empty());
}

// A second wait-wake while the first is still inside the driver is refused, so that the one the
// remove cancels is the one on the bus.
TEST_F(OnTheBench, SecondWaitWakeIsRefusedAndTheRemoveCancelsTheFirst) {
    sim::bench::Bench bench(
        [](PDRIVER_OBJECT d, PUNICODE_STRING r) { return norvask::DriverEntry(d, r); }, Options());
    ASSERT_EQ(bench.plugStatus(), STATUS_SUCCESS);
    const auto first = ArmWakeWhileIdle(bench);
    ASSERT_TRUE(WaitFor([&] { return bench.device()->WaitWakePending(); }));
    const auto second = bench.power().ArmWake(bench.pdo(), PowerSystemSleeping3);
    EXPECT_TRUE(second->WaitDone(2000));
    EXPECT_EQ(second->Status(), STATUS_DEVICE_BUSY);

    std::atomic<bool> removed{false};
    std::thread removal([&] {
        bench.pnp().RemoveDevice(bench.pdo());
        removed = true;
    });
    EXPECT_TRUE(WaitFor([&] { return removed.load(); }));
    if (!removed.load()) {
        bench.device()->SignalWake(); // the remove waits for a request it cannot cancel
    }
    removal.join();
    EXPECT_TRUE(first->WaitDone(2000));
    EXPECT_EQ(first->Status(), STATUS_CANCELLED);
    EXPECT_EQ(sim::kernel::DescribeViolations(), "");
}

TEST_F(OnTheBench, ChipPluggedAgainUnderTheSameInstanceIdStartsAndOpensAgain) {
    sim::bench::Bench bench(
        [](PDRIVER_OBJECT d, PUNICODE_STRING r) { return norvask::DriverEntry(d, r); }, Options());
    ASSERT_EQ(bench.plugStatus(), STATUS_SUCCESS);
    const std::string path = PublishedPath(bench);
    bench.Unplug();
    EXPECT_EQ(bench.pnp().State(bench.pdo()), sim::win::DeviceNodeState::Removed);
    EXPECT_EQ(bench.io().CreateFileA(path.c_str()), sim::win::InvalidHandleValue);

    sim::usb::UsbDevice& again = bench.bus().Plug(bench.chip(), Options().pdo);
    ASSERT_NE(again.Pdo(), nullptr);
    ASSERT_EQ(bench.pnp().Plug(again.Pdo(), bench.driver()), STATUS_SUCCESS);
    EXPECT_EQ(bench.pnp().State(again.Pdo()), sim::win::DeviceNodeState::Started);
    EXPECT_EQ(PublishedPath(bench), path); // same instance id, same name

    const sim::win::Handle h = bench.io().CreateFileA(path.c_str());
    ASSERT_NE(h, sim::win::InvalidHandleValue);
    std::vector<UCHAR> reply;
    std::uint32_t returned = 99;
    EXPECT_TRUE(Send(bench, h, {8, 18, 10, 10, 0x5A, 0x01, 0, 0}, &reply, &returned));
    EXPECT_EQ(bench.coil().PortA(), 0x5A);
    EXPECT_TRUE(bench.io().CloseHandle(h));
    EXPECT_EQ(bench.pnp().RemoveDevice(again.Pdo()), STATUS_SUCCESS);
    EXPECT_TRUE(sim::kernel::OutstandingPool(bench.driver()).empty());
}

} // namespace
} // namespace norvask::test
