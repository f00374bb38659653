#include "bench_fixture.h"

#include <chrono>
#include <thread>

namespace simtest {
namespace {

using namespace sim::win;
using namespace sim::wdm;
using sim::bench::Bench;
using sim::bench::BenchOptions;
using sim::usb::PdoRequestRecord;

using PnpPowerTest = BenchTest;

std::vector<UCHAR> PnpMinorsAtPdo(const sim::usb::UsbDevice& device) {
    std::vector<UCHAR> minors;
    for (const PdoRequestRecord& r : device.PdoRequests()) {
        if (r.major == IRP_MJ_PNP) {
            minors.push_back(r.minor);
        }
    }
    return minors;
}

template <typename Pred>
bool Eventually(Pred pred) {
    for (int i = 0; i < 500; ++i) {
        if (pred()) {
            return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return pred();
}

TEST_F(PnpPowerTest, PlugAddsTheDriverAndStartsTheStack) {
    EXPECT_EQ(bench->plugStatus(), STATUS_SUCCESS);
    EXPECT_EQ(Log().addDeviceCalls, 1);
    EXPECT_EQ(Log().lower, bench->pdo());
    EXPECT_EQ(bench->pnp().State(bench->pdo()), DeviceNodeState::Started);
    EXPECT_EQ(PnpMinorsAtPdo(*bench->device()), std::vector<UCHAR>{IRP_MN_START_DEVICE});
    EXPECT_TRUE(bench->device()->Started());
    EXPECT_FALSE(path.empty());
    EXPECT_EQ(sim::kernel::GetDeviceInstanceId(bench->pdo()), sim::usb::PdoOptions{}.instanceId);

    DEVICE_CAPABILITIES caps{};
    EXPECT_EQ(bench->pnp().QueryCapabilities(bench->pdo(), caps), STATUS_SUCCESS);
    EXPECT_EQ(caps.DeviceWake, PowerDeviceD2);
}

TEST_F(PnpPowerTest, RebalanceStopsAndRestarts) {
    EXPECT_EQ(bench->pnp().Rebalance(bench->pdo()), STATUS_SUCCESS);
    EXPECT_EQ(PnpMinorsAtPdo(*bench->device()),
              (std::vector<UCHAR>{IRP_MN_START_DEVICE, IRP_MN_QUERY_STOP_DEVICE, IRP_MN_STOP_DEVICE,
                                  IRP_MN_START_DEVICE}));
    EXPECT_EQ(bench->pnp().State(bench->pdo()), DeviceNodeState::Started);

    EXPECT_EQ(bench->pnp().QueryStop(bench->pdo()), STATUS_SUCCESS);
    EXPECT_EQ(bench->pnp().State(bench->pdo()), DeviceNodeState::StopPending);
    EXPECT_EQ(bench->pnp().CancelStop(bench->pdo()), STATUS_SUCCESS);
    EXPECT_EQ(bench->pnp().State(bench->pdo()), DeviceNodeState::Started);
}

TEST_F(PnpPowerTest, OrderlyRemovalTakesTheStackButLeavesThePdo) {
    PDEVICE_OBJECT pdo = bench->pdo();
    EXPECT_EQ(bench->pnp().QueryRemove(pdo), STATUS_SUCCESS);
    EXPECT_EQ(bench->pnp().CancelRemove(pdo), STATUS_SUCCESS);
    EXPECT_EQ(bench->pnp().RemoveDevice(pdo), STATUS_SUCCESS);
    EXPECT_EQ(PnpMinorsAtPdo(*bench->device()),
              (std::vector<UCHAR>{IRP_MN_START_DEVICE, IRP_MN_QUERY_REMOVE_DEVICE,
                                  IRP_MN_CANCEL_REMOVE_DEVICE, IRP_MN_QUERY_REMOVE_DEVICE,
                                  IRP_MN_REMOVE_DEVICE}));
    EXPECT_TRUE(Log().deleted);
    EXPECT_TRUE(sim::kernel::IsDeviceAlive(pdo)); // still on the bus
    EXPECT_EQ(pdo->AttachedDevice, nullptr);
    EXPECT_EQ(bench->io().CreateFileA(path.c_str()), InvalidHandleValue); // interface disabled
    EXPECT_EQ(bench->pnp().State(pdo), DeviceNodeState::Removed);
}

TEST_F(PnpPowerTest, SurpriseRemovalRemovesWhenTheLastHandleCloses) {
    const Handle h = bench->io().CreateFileA(path.c_str());
    ASSERT_GT(h, 0);
    bench->Unplug();
    EXPECT_EQ(bench->pnp().State(bench->pdo()), DeviceNodeState::SurpriseRemoved);
    EXPECT_EQ(PnpMinorsAtPdo(*bench->device()),
              (std::vector<UCHAR>{IRP_MN_START_DEVICE, IRP_MN_SURPRISE_REMOVAL}));
    EXPECT_FALSE(Log().deleted);

    // The handle still reaches the driver, whose bus requests now fail.
    EXPECT_FALSE(Send(h, Ports(1, 5)));
    EXPECT_EQ(GetLastError(), ErrorDeviceNotConnected);

    EXPECT_TRUE(bench->io().CloseHandle(h));
    EXPECT_EQ(
        PnpMinorsAtPdo(*bench->device()),
        (std::vector<UCHAR>{IRP_MN_START_DEVICE, IRP_MN_SURPRISE_REMOVAL, IRP_MN_REMOVE_DEVICE}));
    EXPECT_TRUE(Log().deleted);
    EXPECT_TRUE(bench->device()->PdoDeleted());
    EXPECT_EQ(bench->pnp().State(bench->device()->Pdo()), DeviceNodeState::Removed);
}

TEST_F(PnpPowerTest, SurpriseRemovalWithNoHandleRemovesAtOnce) {
    bench->Unplug();
    EXPECT_TRUE(Log().deleted);
    EXPECT_TRUE(bench->device()->PdoDeleted());
}

TEST_F(PnpPowerTest, HandleOpenAcrossTheRemoveStillClosesAtTheDriver) {
    const Handle h = bench->io().CreateFileA(path.c_str());
    ASSERT_GT(h, 0);
    bench->Unplug();
    EXPECT_EQ(bench->pnp().Remove(bench->pdo()), STATUS_SUCCESS);
    ASSERT_TRUE(Log().deleted);
    PDEVICE_OBJECT fdo = Log().fdo;
    EXPECT_TRUE(sim::kernel::IsDeviceDeletePending(fdo));
    EXPECT_EQ(bench->io().CreateFileA(path.c_str()), InvalidHandleValue);

    EXPECT_TRUE(bench->io().CloseHandle(h));
    std::vector<UCHAR> handleRequests;
    {
        std::lock_guard lock(Log().mutex);
        for (auto m : Log().majors) {
            if (m != IRP_MJ_PNP && m != IRP_MJ_POWER) {
                handleRequests.push_back(m);
            }
        }
    }
    EXPECT_EQ(handleRequests, (std::vector<UCHAR>{IRP_MJ_CREATE, IRP_MJ_CLEANUP, IRP_MJ_CLOSE}));
    EXPECT_FALSE(sim::kernel::IsDeviceObjectValid(fdo));
    // The remove already went: closing the last handle does not send another.
    EXPECT_EQ(
        PnpMinorsAtPdo(*bench->device()),
        (std::vector<UCHAR>{IRP_MN_START_DEVICE, IRP_MN_SURPRISE_REMOVAL, IRP_MN_REMOVE_DEVICE}));
}

TEST_F(PnpPowerTest, SameInstanceIdPluggedAgainGetsItsInterfaceBack) {
    bench->Unplug();
    ASSERT_TRUE(bench->device()->PdoDeleted());
    EXPECT_EQ(FirstInterfacePath(), "");

    sim::usb::UsbDevice& again = bench->bus().Plug(bench->chip(), sim::usb::PdoOptions{});
    ASSERT_NE(again.Pdo(), nullptr);
    EXPECT_EQ(bench->pnp().Plug(again.Pdo(), bench->driver()), STATUS_SUCCESS);
    EXPECT_EQ(FirstInterfacePath(), path);
    const Handle h = bench->io().CreateFileA(path.c_str());
    ASSERT_GT(h, 0);
    EXPECT_TRUE(Send(h, Ports(0x21, 0x05)));
    EXPECT_EQ(bench->chip().PortA(), 0x21);
    EXPECT_TRUE(bench->io().CloseHandle(h));
    EXPECT_EQ(bench->pnp().RemoveDevice(again.Pdo()), STATUS_SUCCESS);
}

TEST_F(PnpPowerTest, SystemSleepAndWakeGoDownTheStack) {
    EXPECT_EQ(bench->power().Sleep({bench->pdo()}, PowerSystemSleeping3), STATUS_SUCCESS);
    EXPECT_EQ(bench->power().SystemState(), PowerSystemSleeping3);
    EXPECT_EQ(bench->power().Wake({bench->pdo()}), STATUS_SUCCESS);
    std::vector<std::pair<UCHAR, int>> seen;
    for (const PdoRequestRecord& r : bench->device()->PdoRequests()) {
        if (r.major == IRP_MJ_POWER && r.powerType == SystemPowerState) {
            seen.emplace_back(r.minor, r.powerState);
        }
    }
    EXPECT_EQ(seen, (std::vector<std::pair<UCHAR, int>>{{IRP_MN_QUERY_POWER, PowerSystemSleeping3},
                                                        {IRP_MN_SET_POWER, PowerSystemSleeping3},
                                                        {IRP_MN_SET_POWER, PowerSystemWorking}}));
}

TEST_F(PnpPowerTest, DevicePowerRequestRunsItsCompletionFunction) {
    const DevicePowerRequest r = bench->power().RequestDevicePower(bench->pdo(), PowerDeviceD2);
    EXPECT_EQ(r.issueStatus, STATUS_PENDING);
    EXPECT_TRUE(r.completed);
    EXPECT_EQ(r.status, STATUS_SUCCESS);
    EXPECT_EQ(r.reached.DeviceState, PowerDeviceD2);
    EXPECT_EQ(bench->device()->PowerState(), PowerDeviceD2);
    EXPECT_EQ(bench->power().RequestDevicePower(bench->pdo(), PowerDeviceD0).reached.DeviceState,
              PowerDeviceD0);
    EXPECT_EQ(bench->device()->PowerState(), PowerDeviceD0);
}

TEST_F(PnpPowerTest, WaitWakeWaitsForTheDevice) {
    auto wake = bench->power().ArmWake(bench->pdo(), PowerSystemSleeping3);
    ASSERT_TRUE(Eventually([&] { return bench->device()->WaitWakePending(); }));
    EXPECT_FALSE(wake->WaitDone(20));
    EXPECT_EQ(wake->Status(), STATUS_PENDING);
    EXPECT_TRUE(bench->device()->SignalWake());
    ASSERT_TRUE(wake->WaitDone(2000));
    EXPECT_EQ(wake->Status(), STATUS_SUCCESS);

    // One still waiting when the device is removed fails with it.
    auto orphan = bench->power().ArmWake(bench->pdo(), PowerSystemSleeping3);
    ASSERT_TRUE(Eventually([&] { return bench->device()->WaitWakePending(); }));
    EXPECT_EQ(bench->pnp().RemoveDevice(bench->pdo()), STATUS_SUCCESS);
    ASSERT_TRUE(orphan->WaitDone(2000));
    EXPECT_EQ(orphan->Status(), STATUS_NO_SUCH_DEVICE);
}

TEST_F(PnpPowerTest, BenchWithoutPlugAndWithAFailingEntry) {
    BenchOptions options;
    options.plug = false;
    Build(options);
    EXPECT_EQ(bench->device(), nullptr);
    EXPECT_EQ(bench->entryStatus(), STATUS_SUCCESS);
    EXPECT_EQ(bench->Plug(), STATUS_SUCCESS);
    EXPECT_NE(bench->device(), nullptr);
    EXPECT_EQ(bench->Plug(), STATUS_INVALID_DEVICE_STATE); // one chip per bench

    bench.reset();
    Bench failing([](PDRIVER_OBJECT, PUNICODE_STRING) { return STATUS_INSUFFICIENT_RESOURCES; });
    EXPECT_EQ(failing.entryStatus(), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(failing.device(), nullptr);
}

} // namespace
} // namespace simtest
