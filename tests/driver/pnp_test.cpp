#include "harness.h"
#include "upper_filter.h"

#include <atomic>
#include <chrono>
#include <thread>

namespace norvask::test {
namespace {

using sim::kernel::IoResult;

using PlugAndPlay = DriverTest;

TEST_F(PlugAndPlay, SmallConfigurationIsReadOnceAndKeptInTheFirstBuffer) {
    bus_->config = ConfigDescriptor(2);
    ASSERT_EQ(bus_->config.size(), 32u);
    AddAndStart();
    EXPECT_EQ(bus_->ConfigReadLengths(), std::vector<ULONG>{521});
    ASSERT_NE(Ext()->ConfigurationDescriptor, nullptr);
    EXPECT_EQ(Ext()->ConfigurationDescriptor->wTotalLength, 32);
    EXPECT_TRUE(Ext()->DeviceStarted);
    ASSERT_NE(Ext()->DeviceDescriptor, nullptr);
    EXPECT_EQ(Ext()->DeviceDescriptor->bLength, 18);
    EXPECT_EQ(Ext()->PendingIoCount, 1);
}

TEST_F(PlugAndPlay, LargeConfigurationIsReadAgainAtItsFullLength) {
    bus_->config = ConfigDescriptor(2, 600);
    AddAndStart();
    EXPECT_EQ(bus_->ConfigReadLengths(), (std::vector<ULONG>{521, 600}));
    std::vector<UCHAR> out(600, 0);
    const IoResult r = Ioctl(IOCTL_GET_CONFIG_DESCRIPTOR, {}, &out);
    EXPECT_EQ(r.status, STATUS_SUCCESS);
    EXPECT_EQ(r.information, 600u);
    EXPECT_EQ(out, bus_->config);
}

TEST_F(PlugAndPlay, EveryPipeIsConfiguredForEightBytesAndStartsFree) {
    bus_->config = ConfigDescriptor(3);
    AddAndStart();
    EXPECT_EQ(bus_->SelectedMaximumTransferSizes(), (std::vector<ULONG>{8, 8, 8}));
    ASSERT_NE(Ext()->InterfaceInfo, nullptr);
    ASSERT_EQ(Ext()->InterfaceInfo->NumberOfPipes, 3u);
    for (ULONG i = 0; i < 3; ++i) {
        EXPECT_EQ(Ext()->InterfaceInfo->Pipes[i].MaximumTransferSize, 8u);
        EXPECT_EQ(Ext()->InterfaceInfo->Pipes[i].PipeFlags, 0u);
    }
    EXPECT_NE(Ext()->ConfigurationHandle, nullptr);
}

TEST_F(PlugAndPlay, BadConfigurationDescriptorsFailTheStart) {
    struct Case {
        const char* what;
        std::function<std::vector<UCHAR>(int)> config;
    };
    const std::vector<Case> cases = {
        {"total below 9",
         [](int) {
             auto d = ConfigDescriptor(2);
             d[2] = 4;
             return d;
         }},
        {"grows on every read",
         [](int n) { return ConfigDescriptor(2, static_cast<USHORT>(600 + 100 * n)); }},
        {"endpoints past the total",
         [](int) {
             auto d = ConfigDescriptor(2);
             d[2] = 28;
             return d;
         }},
        {"zero descriptor length",
         [](int) {
             auto d = ConfigDescriptor(2);
             d[18] = 0;
             return d;
         }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        TearDown();
        SetUp();
        bus_->configForRead = c.config;
        ASSERT_EQ(AddDevice(), STATUS_SUCCESS);
        EXPECT_EQ(Start(), STATUS_DEVICE_DATA_ERROR);
        EXPECT_FALSE(Ext()->DeviceStarted);
        EXPECT_LE(bus_->ConfigReadLengths().size(), 2u);
        // The device refuses requests but still goes away cleanly.
        EXPECT_EQ(Open(NewFile(u"")), STATUS_DELETE_PENDING);
        EXPECT_EQ(Pnp(IRP_MN_REMOVE_DEVICE).status, STATUS_SUCCESS);
        EXPECT_FALSE(sim::kernel::IsDeviceAlive(Fdo()));
    }
}

TEST_F(PlugAndPlay, FailedDescriptorReadFailsTheStartWithItsStatus) {
    bus_->descriptorStatus = STATUS_IO_DEVICE_ERROR;
    ASSERT_EQ(AddDevice(), STATUS_SUCCESS);
    EXPECT_EQ(Start(), STATUS_IO_DEVICE_ERROR);
    EXPECT_FALSE(Ext()->DeviceStarted);
}

TEST_F(PlugAndPlay, QueryStopRefusesEveryRequestUntilCancelled) {
    AddAndStart();
    EXPECT_EQ(Pnp(IRP_MN_QUERY_STOP_DEVICE).status, STATUS_SUCCESS);
    EXPECT_TRUE(Ext()->StopPending);
    EXPECT_EQ(Vendor(WritePacket(1, 1), nullptr).status, STATUS_DELETE_PENDING);
    EXPECT_EQ(Ioctl(IOCTL_GET_CONFIG_DESCRIPTOR, {}, nullptr).status, STATUS_DELETE_PENDING);
    EXPECT_EQ(Open(NewFile(u"")), STATUS_DELETE_PENDING);
    EXPECT_TRUE(bus_->VendorCalls().empty());
    // The gate was left as it was: signalled.
    EXPECT_NE(KeReadStateEvent(&Ext()->VendorGate), 0);

    EXPECT_EQ(Pnp(IRP_MN_CANCEL_STOP_DEVICE).status, STATUS_SUCCESS);
    EXPECT_EQ(Vendor(WritePacket(1, 1), nullptr).status, STATUS_SUCCESS);
}

TEST_F(PlugAndPlay, QueryRemoveRefusesRequestsUntilCancelled) {
    AddAndStart();
    EXPECT_EQ(Pnp(IRP_MN_QUERY_REMOVE_DEVICE).status, STATUS_SUCCESS);
    EXPECT_TRUE(Ext()->RemovePending);
    EXPECT_EQ(Vendor(WritePacket(1, 1), nullptr).status, STATUS_DELETE_PENDING);
    EXPECT_EQ(Pnp(IRP_MN_CANCEL_REMOVE_DEVICE).status, STATUS_SUCCESS);
    EXPECT_FALSE(Ext()->RemovePending);
    EXPECT_EQ(Vendor(WritePacket(1, 1), nullptr).status, STATUS_SUCCESS);
}

// A request inside the driver since before the start keeps the count from ever having dropped
// to 1: the query-remove must still return once that request leaves, its own hold aside.
TEST_F(PlugAndPlay, QueryRemoveWaitsOutARequestHeldSinceBeforeTheStart) {
    ASSERT_EQ(AddDevice(), STATUS_SUCCESS);
    bus_->holdDevicePower = true;
    POWER_STATE d0{};
    d0.DeviceState = PowerDeviceD0;
    const sim::kernel::IrpSpec power = SetPowerSpec(DevicePowerState, d0);
    std::atomic<bool> powered{false};
    ASSERT_EQ(sim::kernel::SendIrpAsync(Fdo(), power, [&](IoResult) { powered = true; }),
              STATUS_PENDING);
    ASSERT_EQ(Start(), STATUS_SUCCESS);
    EXPECT_EQ(Ext()->PendingIoCount, 2);

    std::atomic<bool> queried{false};
    IoResult query{};
    std::thread pnp([&] {
        query = Pnp(IRP_MN_QUERY_REMOVE_DEVICE);
        queried = true;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_FALSE(queried.load());               // waits for the power request
    EXPECT_TRUE(PnpFlag(Ext()->RemovePending)); // written by the dispatch on its thread
    bus_->ReleaseDevicePower();
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (!queried && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    const bool returned = queried.load();
    EXPECT_TRUE(returned) << "the query-remove still waits with PendingIoCount "
                          << Ext()->PendingIoCount;
    if (!returned) {
        KeSetEvent(&Ext()->NoRequestsEvent, 1, FALSE); // let the stuck dispatch go
    }
    pnp.join();
    EXPECT_TRUE(powered.load());
    EXPECT_EQ(query.status, STATUS_SUCCESS);
    EXPECT_EQ(Ext()->PendingIoCount, 1);
    EXPECT_EQ(Pnp(IRP_MN_CANCEL_REMOVE_DEVICE).status, STATUS_SUCCESS);
    EXPECT_EQ(Vendor(WritePacket(1, 1), nullptr).status, STATUS_SUCCESS);
}

// A wait-wake waits below with its hold until the device wakes. Had the count not dropped to 1
// before it came, the query-remove would wait for that drop, and so for a wake, for good: a count
// of 2 with the wait-wake armed ends its wait as well.
TEST_F(PlugAndPlay, QueryRemoveDoesNotWaitForAnArmedWaitWake) {
    ASSERT_EQ(AddDevice(), STATUS_SUCCESS);
    bus_->holdDevicePower = true;
    bus_->holdWaitWake = true;
    POWER_STATE d0{};
    d0.DeviceState = PowerDeviceD0;
    POWER_STATE d2{};
    d2.DeviceState = PowerDeviceD2;
    sim::kernel::IrpSpec wake;
    wake.majorFunction = IRP_MJ_POWER;
    wake.minorFunction = IRP_MN_WAIT_WAKE;
    wake.setup = [](IO_STACK_LOCATION& s) {
        s.Parameters.WaitWake.PowerState = PowerSystemSleeping3;
    };
    std::atomic<int> finished{0};
    const auto done = [&](IoResult) { ++finished; };
    // A power-up held since before the start keeps every release above 1; a power-down lets the
    // wait-wake in, which then waits below; the power-up comes back last.
    ASSERT_EQ(sim::kernel::SendIrpAsync(Fdo(), SetPowerSpec(DevicePowerState, d0), done),
              STATUS_PENDING);
    ASSERT_EQ(Start(), STATUS_SUCCESS);
    ASSERT_EQ(sim::kernel::SendIrpAsync(Fdo(), SetPowerSpec(DevicePowerState, d2), done),
              STATUS_PENDING);
    // The wait-wake's dispatch waits with it, on a thread of its own as the power manager's.
    std::thread waker([&] { done(sim::kernel::SendIrp(Fdo(), wake)); });
    const auto armedBy = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (!PnpFlag(Ext()->WaitWakeArmed) && std::chrono::steady_clock::now() < armedBy) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    ASSERT_TRUE(PnpFlag(Ext()->WaitWakeArmed));
    bus_->ReleaseDevicePower();
    ASSERT_EQ(Ext()->PendingIoCount, 2);
    ASSERT_EQ(KeReadStateEvent(&Ext()->NoRequestsEvent), 0);

    std::atomic<bool> queried{false};
    IoResult query{};
    std::thread pnp([&] {
        query = Pnp(IRP_MN_QUERY_REMOVE_DEVICE);
        queried = true;
    });
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (!queried && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    const bool returned = queried.load();
    EXPECT_TRUE(returned) << "the query-remove still waits, with the wait-wake armed";
    if (!returned) {
        KeSetEvent(&Ext()->NoRequestsEvent, 1, FALSE); // let the stuck dispatch go
    }
    pnp.join();
    EXPECT_EQ(query.status, STATUS_SUCCESS);
    EXPECT_TRUE(PnpFlag(Ext()->RemovePending));
    EXPECT_EQ(Pnp(IRP_MN_CANCEL_REMOVE_DEVICE).status, STATUS_SUCCESS);
    bus_->ReleaseAll(); // the power-down, then the wake
    waker.join();
    sim::kernel::DrainDispatchWork();
    EXPECT_EQ(finished.load(), 3);
    EXPECT_EQ(Ext()->PendingIoCount, 1);
}

// A power request can reach the driver while its remove runs (the power manager holds the
// device, not the driver's count). Once the remove has waited out every request it takes no
// new one: the request is refused and never passed down behind the remove's back.
TEST_F(PlugAndPlay, PowerRequestAfterTheRemoveWaitedOutEveryRequestIsRefused) {
    AddAndStart();
    const size_t powerBefore = bus_->DevicePowerRequests().size();
    std::atomic<bool> sent{false};
    IoResult late{};
    sim::kernel::SetInterlockedHook(&Ext()->PendingIoCount, [&](LONG value) {
        if (value == 0 && !sent.exchange(true)) {
            std::thread power([&] {
                POWER_STATE d0;
                d0.DeviceState = PowerDeviceD0;
                late = SetPower(DevicePowerState, d0);
            });
            power.join();
        }
    });
    EXPECT_EQ(Pnp(IRP_MN_REMOVE_DEVICE).status, STATUS_SUCCESS);
    sim::kernel::ClearInterlockedHook();
    ASSERT_TRUE(sent.load());
    EXPECT_EQ(late.status, STATUS_DELETE_PENDING);
    EXPECT_EQ(bus_->DevicePowerRequests().size(), powerBefore);
    EXPECT_EQ(sim::kernel::DescribeViolations(), "");
}

TEST_F(PlugAndPlay, QueriesOnANeverStartedDeviceChangeNothing) {
    ASSERT_EQ(AddDevice(), STATUS_SUCCESS);
    EXPECT_EQ(Pnp(IRP_MN_QUERY_REMOVE_DEVICE).status, STATUS_SUCCESS);
    EXPECT_EQ(Pnp(IRP_MN_QUERY_STOP_DEVICE).status, STATUS_SUCCESS);
    EXPECT_FALSE(Ext()->RemovePending);
    EXPECT_FALSE(Ext()->StopPending);
    const auto minors = bus_->PnpMinors();
    EXPECT_EQ(std::count(minors.begin(), minors.end(), IRP_MN_QUERY_REMOVE_DEVICE), 1);
}

TEST_F(PlugAndPlay, StopDeconfiguresAndARestartReconfigures) {
    AddAndStart();
    EXPECT_EQ(Pnp(IRP_MN_QUERY_STOP_DEVICE).status, STATUS_SUCCESS);
    EXPECT_EQ(Pnp(IRP_MN_STOP_DEVICE).status, STATUS_SUCCESS);
    EXPECT_EQ(bus_->Deconfigures(), 1);
    EXPECT_FALSE(Ext()->DeviceStarted);
    EXPECT_FALSE(Ext()->StopPending);
    EXPECT_EQ(Start(), STATUS_SUCCESS);
    EXPECT_TRUE(Ext()->DeviceStarted);
    EXPECT_EQ(Vendor(WritePacket(1, 1), nullptr).status, STATUS_SUCCESS);
    EXPECT_EQ(Pnp(IRP_MN_REMOVE_DEVICE).status, STATUS_SUCCESS); // pool of both starts freed
}

TEST_F(PlugAndPlay, FailedStopLeavesTheDeviceStarted) {
    AddAndStart();
    bus_->selectStatus = STATUS_UNSUCCESSFUL;
    EXPECT_EQ(Pnp(IRP_MN_STOP_DEVICE).status, STATUS_UNSUCCESSFUL);
    EXPECT_TRUE(Ext()->DeviceStarted);
    const auto minors = bus_->PnpMinors();
    EXPECT_EQ(std::count(minors.begin(), minors.end(), IRP_MN_STOP_DEVICE), 0);
}

TEST_F(PlugAndPlay, CapabilitiesPassedUpAreRemovableAndSurpriseRemovable) {
    AddAndStart();
    DEVICE_CAPABILITIES caps{};
    caps.Size = sizeof(caps);
    caps.Version = 1;
    sim::kernel::IrpSpec spec;
    spec.majorFunction = IRP_MJ_PNP;
    spec.minorFunction = IRP_MN_QUERY_CAPABILITIES;
    spec.initialStatus = STATUS_NOT_SUPPORTED;
    spec.setup = [&caps](IO_STACK_LOCATION& s) {
        s.Parameters.DeviceCapabilities.Capabilities = &caps;
    };
    EXPECT_EQ(sim::kernel::SendIrp(Fdo(), spec).status, STATUS_SUCCESS);
    EXPECT_TRUE(caps.Removable);
    EXPECT_TRUE(caps.SurpriseRemovalOK);
    EXPECT_EQ(caps.DeviceWake, bus_->deviceWake);

    DEVICE_CAPABILITIES failed{};
    bus_->capabilitiesStatus = STATUS_UNSUCCESSFUL;
    spec.setup = [&failed](IO_STACK_LOCATION& s) {
        s.Parameters.DeviceCapabilities.Capabilities = &failed;
    };
    EXPECT_EQ(sim::kernel::SendIrp(Fdo(), spec).status, STATUS_UNSUCCESSFUL);
    EXPECT_FALSE(failed.Removable);
}

TEST_F(PlugAndPlay, RemoveDisablesTheInterfaceFreesAllAndDeletesTheDevice) {
    AddAndStart();
    PDEVICE_OBJECT fdo = Fdo();
    EXPECT_EQ(Pnp(IRP_MN_REMOVE_DEVICE).status, STATUS_SUCCESS);
    EXPECT_FALSE(sim::kernel::IsDeviceAlive(fdo));
    EXPECT_FALSE(sim::kernel::ListDeviceInterfaces().at(0).enabled);
    EXPECT_TRUE(sim::kernel::ShutdownRegistrations().empty());
    EXPECT_TRUE(sim::kernel::OutstandingPool(driver_).empty());
}

TEST_F(PlugAndPlay, RemoveWaitsForTheVendorTransferInFlight) {
    AddAndStart();
    bus_->holdVendor = true;
    std::vector<UCHAR> packet = WritePacket(1, 1);
    std::vector<UCHAR> out(8, 0);
    std::atomic<bool> vendorDone{false};
    const sim::kernel::IrpSpec spec = sim::kernel::DeviceControlSpec(
        nullptr, IOCTL_VENDOR_REQUEST, packet.data(), 8, out.data(), 8);
    IoResult vendorResult{};
    ASSERT_EQ(sim::kernel::SendIrpAsync(Fdo(), spec,
                                        [&](IoResult r) {
                                            vendorResult = r;
                                            vendorDone = true;
                                        }),
              STATUS_PENDING);

    PDEVICE_OBJECT fdo = Fdo();
    std::atomic<bool> removed{false};
    std::thread remover([&] {
        Pnp(IRP_MN_REMOVE_DEVICE);
        removed = true;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_FALSE(removed.load());
    EXPECT_TRUE(sim::kernel::IsDeviceAlive(fdo));

    bus_->ReleaseVendor();
    remover.join();
    // The caller hears of its completion after the completing work item, as from an APC,
    // so the remove may end first; wait for that work before reading what the caller heard.
    sim::kernel::DrainDispatchWork();
    EXPECT_TRUE(removed.load());
    EXPECT_TRUE(vendorDone.load());
    EXPECT_EQ(vendorResult.status, STATUS_SUCCESS);
    EXPECT_FALSE(sim::kernel::IsDeviceAlive(fdo));
}

TEST_F(PlugAndPlay, ReleaseLeavingOnlyTheDevicesHoldTouchesNothingTheRemoveMayFree) {
    AddAndStart();
    bus_->holdVendor = true;
    std::vector<UCHAR> packet = WritePacket(1, 1);
    std::vector<UCHAR> out(8, 0);
    IoResult vendorResult{};
    // No file object: nothing but the driver keeps its device object once it is deleted.
    ASSERT_EQ(
        sim::kernel::SendIrpAsync(Fdo(),
                                  sim::kernel::DeviceControlSpec(nullptr, IOCTL_VENDOR_REQUEST,
                                                                 packet.data(), 8, out.data(), 8),
                                  [&](IoResult r) { vendorResult = r; }),
        STATUS_PENDING);
    ASSERT_EQ(Ext()->PendingIoCount, 2);

    // The transfer's completion runs on one processor. Right after its release leaves the
    // count at 1, hold it there while a remove runs to the end on another.
    PDEVICE_OBJECT fdo = Fdo();
    std::atomic<bool> removedInTheWindow{false};
    sim::kernel::SetInterlockedHook(&Ext()->PendingIoCount, [&](LONG count) {
        if (count != 1 || removedInTheWindow.exchange(true)) {
            return;
        }
        std::thread remover([&] { Pnp(IRP_MN_REMOVE_DEVICE); });
        remover.join();
    });
    bus_->ReleaseVendor();
    sim::kernel::DrainDispatchWork();
    sim::kernel::ClearInterlockedHook();

    ASSERT_TRUE(removedInTheWindow.load());
    EXPECT_FALSE(sim::kernel::IsDeviceObjectValid(fdo)); // freed while the completion still ran
    EXPECT_EQ(vendorResult.status, STATUS_SUCCESS);
    // What the completion did after its release (a touch of the freed device would be one) the
    // verifier reports at the end of the test.
}

TEST_F(PlugAndPlay, SurpriseRemovalTakesTheDeviceOutOfServiceAndTheRemoveDeletesIt) {
    AddAndStart();
    PDEVICE_OBJECT fdo = Fdo();
    UpperFilter filter(fdo); // a class filter above the driver forwards both requests
    auto sendToTop = [&](UCHAR minor) {
        sim::kernel::IrpSpec spec;
        spec.majorFunction = IRP_MJ_PNP;
        spec.minorFunction = minor;
        spec.initialStatus = STATUS_NOT_SUPPORTED;
        return sim::kernel::SendIrp(filter.Device(), spec).status;
    };
    PFILE_OBJECT pipe = NewFile(u"\\PIPE0");
    ASSERT_EQ(Open(pipe), STATUS_SUCCESS);

    EXPECT_EQ(sendToTop(IRP_MN_SURPRISE_REMOVAL), STATUS_SUCCESS);
    // Out of service, but still there for the filter above.
    EXPECT_TRUE(sim::kernel::IsDeviceAlive(fdo));
    EXPECT_EQ(sim::kernel::GetLowerDevice(filter.Device()), fdo);
    const auto calls = bus_->PipeCalls();
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].function, URB_FUNCTION_ABORT_PIPE);
    EXPECT_FALSE(sim::kernel::ListDeviceInterfaces().at(0).enabled);
    EXPECT_EQ(Vendor(WritePacket(1, 1), nullptr).status, STATUS_DELETE_PENDING);
    EXPECT_EQ(Open(NewFile(u"")), STATUS_DELETE_PENDING);
    EXPECT_TRUE(bus_->VendorCalls().empty());

    // The last handle closes, and the remove that follows frees and deletes.
    EXPECT_EQ(Close(pipe), STATUS_SUCCESS);
    EXPECT_EQ(sendToTop(IRP_MN_REMOVE_DEVICE), STATUS_SUCCESS);
    EXPECT_FALSE(sim::kernel::IsDeviceAlive(fdo));
    EXPECT_TRUE(sim::kernel::ShutdownRegistrations().empty());
    EXPECT_TRUE(sim::kernel::OutstandingPool(driver_).empty());
    const auto minors = bus_->PnpMinors();
    EXPECT_EQ(std::count(minors.begin(), minors.end(), IRP_MN_SURPRISE_REMOVAL), 1);
    EXPECT_EQ(std::count(minors.begin(), minors.end(), IRP_MN_REMOVE_DEVICE), 1);
}

TEST_F(PlugAndPlay, CloseOfAPipeHandleWhoseEntryWasReplacedTouchesNothingFreed) {
    AddAndStart();
    PFILE_OBJECT pipe = NewFile(u"\\PIPE1");
    ASSERT_EQ(Open(pipe), STATUS_SUCCESS);
    ASSERT_EQ(Pnp(IRP_MN_QUERY_STOP_DEVICE).status, STATUS_SUCCESS);
    ASSERT_EQ(Pnp(IRP_MN_STOP_DEVICE).status, STATUS_SUCCESS);
    // The restart frees the interface copy the handle's pipe pointed into.
    ASSERT_EQ(Start(), STATUS_SUCCESS);
    EXPECT_EQ(Close(pipe), STATUS_SUCCESS);
    EXPECT_FALSE(Ext()->DeviceOpen);
    for (ULONG i = 0; i < Ext()->InterfaceInfo->NumberOfPipes; ++i) {
        EXPECT_EQ(Ext()->InterfaceInfo->Pipes[i].PipeFlags, 0u);
    }
}

TEST_F(PlugAndPlay, PipeHandleKeptAcrossARestartNoLongerHoldsAPipe) {
    AddAndStart();
    ASSERT_EQ(Ext()->IdleDeviceState, PowerDeviceD2);
    PFILE_OBJECT pipe = NewFile(u"\\PIPE1");
    ASSERT_EQ(Open(pipe), STATUS_SUCCESS);
    ASSERT_EQ(Ext()->OpenPipeCount, 1);
    ASSERT_EQ(Ext()->DevicePowerState, PowerDeviceD0);
    ASSERT_EQ(Pnp(IRP_MN_QUERY_STOP_DEVICE).status, STATUS_SUCCESS);
    ASSERT_EQ(Pnp(IRP_MN_STOP_DEVICE).status, STATUS_SUCCESS);
    ASSERT_EQ(Start(), STATUS_SUCCESS);

    // Every pipe of the new configuration is free, and the count says so.
    EXPECT_EQ(Ext()->OpenPipeCount, 0);
    // The handle's pipe went with the old configuration: there is nothing to reset.
    EXPECT_EQ(Ioctl(IOCTL_RESET_PIPE, {}, nullptr, pipe).status, STATUS_INVALID_PARAMETER);
    EXPECT_TRUE(bus_->PipeCalls().empty());
    // Its close leaves no pipe counted, so the device may idle again.
    ASSERT_EQ(Close(pipe), STATUS_SUCCESS);
    EXPECT_EQ(Ext()->OpenPipeCount, 0);
    EXPECT_EQ(Ext()->DevicePowerState, PowerDeviceD2);

    PFILE_OBJECT again = NewFile(u"\\PIPE1");
    ASSERT_EQ(Open(again), STATUS_SUCCESS);
    EXPECT_EQ(Ext()->OpenPipeCount, 1);
    EXPECT_EQ(Ext()->DevicePowerState, PowerDeviceD0);
    ASSERT_EQ(Close(again), STATUS_SUCCESS);
    EXPECT_EQ(Ext()->OpenPipeCount, 0);
    EXPECT_EQ(Ext()->DevicePowerState, PowerDeviceD2);
}

TEST_F(PlugAndPlay, ShutdownStopsRequestsAndLeavesTheDeviceToPlugAndPlay) {
    AddAndStart();
    PDEVICE_OBJECT fdo = Fdo();
    ASSERT_EQ(Open(NewFile(u"\\PIPE0")), STATUS_SUCCESS);
    sim::kernel::SendShutdownNotifications();
    EXPECT_TRUE(sim::kernel::IsDeviceAlive(fdo));
    ASSERT_EQ(bus_->PipeCalls().size(), 1u);
    EXPECT_EQ(bus_->PipeCalls()[0].function, URB_FUNCTION_ABORT_PIPE);
    EXPECT_EQ(Vendor(WritePacket(1, 1), nullptr).status, STATUS_DELETE_PENDING);

    EXPECT_EQ(Pnp(IRP_MN_REMOVE_DEVICE).status, STATUS_SUCCESS);
    EXPECT_FALSE(sim::kernel::IsDeviceAlive(fdo));
    EXPECT_TRUE(sim::kernel::ShutdownRegistrations().empty());
    EXPECT_TRUE(sim::kernel::OutstandingPool(driver_).empty());
}

} // namespace
} // namespace norvask::test
