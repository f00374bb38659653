#include "harness.h"

#include <atomic>

namespace norvask::test {
namespace {

using sim::kernel::IoResult;

class Power : public DriverTest {
protected:
    POWER_STATE Device(DEVICE_POWER_STATE s) {
        POWER_STATE p;
        p.DeviceState = s;
        return p;
    }
    POWER_STATE System(SYSTEM_POWER_STATE s) {
        POWER_STATE p;
        p.SystemState = s;
        return p;
    }
    IoResult WaitWake() {
        sim::kernel::IrpSpec spec;
        spec.majorFunction = IRP_MJ_POWER;
        spec.minorFunction = IRP_MN_WAIT_WAKE;
        spec.setup = [](IO_STACK_LOCATION& s) {
            s.Parameters.WaitWake.PowerState = PowerSystemSleeping3;
        };
        return sim::kernel::SendIrp(Fdo(), spec);
    }
};

TEST_F(Power, DeviceStateIsRecordedBeforePowerDownAndAfterPowerUp) {
    AddAndStart();
    EXPECT_EQ(Ext()->DevicePowerState, PowerDeviceUnspecified);
    EXPECT_EQ(SetPower(DevicePowerState, Device(PowerDeviceD2)).status, STATUS_SUCCESS);
    EXPECT_EQ(Ext()->DevicePowerState, PowerDeviceD2);
    EXPECT_EQ(SetPower(DevicePowerState, Device(PowerDeviceD0)).status, STATUS_SUCCESS);
    EXPECT_EQ(Ext()->DevicePowerState, PowerDeviceD0);
    EXPECT_EQ(bus_->DevicePowerRequests(),
              (std::vector<DEVICE_POWER_STATE>{PowerDeviceD2, PowerDeviceD0}));
    EXPECT_EQ(Ext()->PendingIoCount, 1);
}

TEST_F(Power, WorkingStateWithTheDeviceInD0GoesStraightDown) {
    AddAndStart();
    SetPower(DevicePowerState, Device(PowerDeviceD0));
    EXPECT_EQ(SetPower(SystemPowerState, System(PowerSystemWorking)).status, STATUS_SUCCESS);
    EXPECT_EQ(bus_->DevicePowerRequests().size(), 1u); // only the one this test sent
    EXPECT_EQ(bus_->SystemPowerRequests(), std::vector<SYSTEM_POWER_STATE>{PowerSystemWorking});
}

TEST_F(Power, SleepWithoutWakeAsksForD3FirstThenPassesTheSystemRequest) {
    AddAndStart();
    SetPower(DevicePowerState, Device(PowerDeviceD0));
    const IoResult r = SetPower(SystemPowerState, System(PowerSystemSleeping3));
    EXPECT_EQ(r.dispatchStatus, STATUS_PENDING);
    EXPECT_EQ(r.status, STATUS_SUCCESS);
    EXPECT_EQ(bus_->DevicePowerRequests(),
              (std::vector<DEVICE_POWER_STATE>{PowerDeviceD0, PowerDeviceD3}));
    EXPECT_EQ(bus_->SystemPowerRequests(), std::vector<SYSTEM_POWER_STATE>{PowerSystemSleeping3});
    EXPECT_EQ(Ext()->DevicePowerState, PowerDeviceD3);
    EXPECT_EQ(Ext()->HeldSystemPowerIrp, nullptr);
    EXPECT_EQ(Ext()->PendingIoCount, 1);
}

TEST_F(Power, HeldSystemRequestGoesDownAtOnceWhenNoDeviceRequestCanBeIssued) {
    AddAndStart();
    SetPower(DevicePowerState, Device(PowerDeviceD0));
    sim::kernel::FailIrpAllocationNumber(1); // the device request of PoRequestPowerIrp
    const IoResult r = SetPower(SystemPowerState, System(PowerSystemSleeping1));
    EXPECT_TRUE(r.completed);
    EXPECT_EQ(r.status, STATUS_SUCCESS);
    EXPECT_EQ(bus_->SystemPowerRequests(), std::vector<SYSTEM_POWER_STATE>{PowerSystemSleeping1});
    EXPECT_EQ(Ext()->HeldSystemPowerIrp, nullptr);
    EXPECT_EQ(Ext()->PendingIoCount, 1);
}

TEST_F(Power, NextSystemRequestArrivingAsTheHeldOneGoesOnIsHeldInTurn) {
    AddAndStart();
    SetPower(DevicePowerState, Device(PowerDeviceD0));
    // The sleep request is held for its D3 request, then goes on. While it is on its way down
    // the power manager may send the wake-up, whose D0 request stays on the bus for now.
    std::atomic<bool> wakeDone{false};
    IoResult wake{};
    const sim::kernel::IrpSpec wakeSpec =
        SetPowerSpec(SystemPowerState, System(PowerSystemWorking));
    bus_->onSystemPower = [&] {
        bus_->holdDevicePower = true;
        EXPECT_EQ(sim::kernel::SendIrpAsync(Fdo(), wakeSpec,
                                            [&](IoResult r) {
                                                wake = r;
                                                wakeDone = true;
                                            }),
                  STATUS_PENDING);
    };
    EXPECT_EQ(SetPower(SystemPowerState, System(PowerSystemSleeping3)).status, STATUS_SUCCESS);

    // The sleep request is done; the wake-up is the one held now.
    ASSERT_NE(Ext()->HeldSystemPowerIrp, nullptr);
    EXPECT_FALSE(wakeDone.load());
    bus_->ReleaseDevicePower();
    ASSERT_TRUE(wakeDone.load());
    EXPECT_EQ(wake.status, STATUS_SUCCESS);
    EXPECT_EQ(bus_->SystemPowerRequests(),
              (std::vector<SYSTEM_POWER_STATE>{PowerSystemSleeping3, PowerSystemWorking}));
    EXPECT_EQ(Ext()->DevicePowerState, PowerDeviceD0);
    EXPECT_EQ(Ext()->HeldSystemPowerIrp, nullptr);
    EXPECT_EQ(Ext()->PendingIoCount, 1);
}

TEST_F(Power, WaitWakeIsRefusedInD0AndStillSetsTheIdleState) {
    bus_->deviceStates = {PowerDeviceUnspecified, PowerDeviceD0, PowerDeviceD3, PowerDeviceD3,
                          PowerDeviceD3,          PowerDeviceD3, PowerDeviceD3};
    bus_->deviceWake = PowerDeviceD2;
    AddAndStart();
    EXPECT_EQ(Ext()->IdleDeviceState, PowerDeviceUnspecified);
    SetPower(DevicePowerState, Device(PowerDeviceD0));
    EXPECT_EQ(WaitWake().status, STATUS_INVALID_DEVICE_STATE);
    EXPECT_EQ(Ext()->IdleDeviceState, PowerDeviceD2);
    EXPECT_FALSE(Ext()->WaitWakeArmed);
    EXPECT_EQ(Ext()->PendingIoCount, 1);
}

TEST_F(Power, WaitWakeDeeperThanTheCurrentStateIsRefused) {
    bus_->deviceWake = PowerDeviceD3;
    AddAndStart();
    SetPower(DevicePowerState, Device(PowerDeviceD1));
    EXPECT_EQ(WaitWake().status, STATUS_INVALID_DEVICE_STATE);
}

TEST_F(Power, ArmedWaitWakeCompletesWithTheLowerStatusAndResumes) {
    bus_->deviceWake = PowerDeviceD2;
    AddAndStart();
    SetPower(DevicePowerState, Device(PowerDeviceD2));
    EXPECT_EQ(WaitWake().status, STATUS_SUCCESS);
    EXPECT_FALSE(Ext()->WaitWakeArmed);
    EXPECT_EQ(Ext()->PendingIoCount, 1);
}

class IdlePolicy : public Power {};

TEST_F(IdlePolicy, PipesWakeTheDeviceAndClosingTheLastLetsItSleep) {
    // S1..S3 -> D2, D3, D3: the device idles in D2.
    AddAndStart();
    ASSERT_EQ(Ext()->IdleDeviceState, PowerDeviceD2);
    SetPower(DevicePowerState, Device(PowerDeviceD2));
    const size_t before = bus_->DevicePowerRequests().size();

    PFILE_OBJECT pipe = NewFile(u"\\PIPE1");
    ASSERT_EQ(Open(pipe), STATUS_SUCCESS);
    EXPECT_EQ(Ext()->OpenPipeCount, 1);
    EXPECT_EQ(Ext()->DevicePowerState, PowerDeviceD0);
    ASSERT_EQ(Close(pipe), STATUS_SUCCESS);
    EXPECT_EQ(Ext()->OpenPipeCount, 0);
    EXPECT_EQ(Ext()->DevicePowerState, PowerDeviceD2);

    const auto requests = bus_->DevicePowerRequests();
    EXPECT_EQ(std::vector<DEVICE_POWER_STATE>(requests.begin() + before, requests.end()),
              (std::vector<DEVICE_POWER_STATE>{PowerDeviceD0, PowerDeviceD2}));
    EXPECT_EQ(Ext()->PendingIoCount, 1);
}

TEST_F(IdlePolicy, HandleWithoutAPipeNeverPowersTheDeviceUp) {
    AddAndStart();
    SetPower(DevicePowerState, Device(PowerDeviceD2));
    const size_t before = bus_->DevicePowerRequests().size();
    PFILE_OBJECT plain = NewFile(u"");
    ASSERT_EQ(Open(plain), STATUS_SUCCESS);
    EXPECT_EQ(plain->FsContext, nullptr);
    EXPECT_EQ(Ext()->OpenPipeCount, 0);
    ASSERT_EQ(Close(plain), STATUS_SUCCESS);
    EXPECT_EQ(bus_->DevicePowerRequests().size(), before); // already in D2
}

TEST_F(IdlePolicy, NoIdleStateMeansNoPowerRequests) {
    bus_->deviceStates = {PowerDeviceUnspecified, PowerDeviceD0, PowerDeviceD3, PowerDeviceD3,
                          PowerDeviceD3,          PowerDeviceD3, PowerDeviceD3};
    AddAndStart();
    ASSERT_EQ(Ext()->IdleDeviceState, PowerDeviceUnspecified);
    for (int i = 0; i < 3; ++i) {
        PFILE_OBJECT pipe = NewFile(u"\\PIPE0");
        ASSERT_EQ(Open(pipe), STATUS_SUCCESS);
        ASSERT_EQ(Close(pipe), STATUS_SUCCESS);
    }
    EXPECT_TRUE(bus_->DevicePowerRequests().empty());
}

TEST_F(IdlePolicy, NothingHappensWhileTheDeviceIsNotInService) {
    ASSERT_EQ(AddDevice(), STATUS_SUCCESS); // never started
    EXPECT_EQ(ApplyIdlePolicy(Fdo(), TRUE), STATUS_DELETE_PENDING);
    EXPECT_TRUE(bus_->DevicePowerRequests().empty());
}

} // namespace
} // namespace norvask::test
