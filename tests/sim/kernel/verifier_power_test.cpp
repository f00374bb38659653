// PoStartNextPowerIrp is judged for the driver that passes a power request down, at the
// location that driver holds, whether it copied or skipped: a faulty driver is caught above or
// below a sound one, and the sound one is never blamed.
#include "verifier_fixture.h"

namespace simtest {
namespace {

class PowerStackTest : public VerifierTest {
protected:
    void SetUp() override {
        VerifierTest::SetUp();
        soundDriver = MakeDriver("sound");
        bus->Serve([](PDEVICE_OBJECT, PIRP irp) {
            PoStartNextPowerIrp(irp);
            return CompleteWith(irp, STATUS_SUCCESS);
        });
    }

    static NTSTATUS Sound(PDEVICE_OBJECT lower, PIRP irp) {
        PoStartNextPowerIrp(irp);
        IoSkipCurrentIrpStackLocation(irp);
        return PoCallDriver(lower, irp);
    }
    static NTSTATUS WithoutStartNext(PDEVICE_OBJECT lower, PIRP irp) {
        IoSkipCurrentIrpStackLocation(irp);
        return PoCallDriver(lower, irp);
    }

    NTSTATUS SetPower(PDEVICE_OBJECT top) {
        return sim::kernel::SendIrp(top, Request(IRP_MJ_POWER, IRP_MN_SET_POWER)).status;
    }

    PDRIVER_OBJECT soundDriver{};
};

TEST_F(PowerStackTest, ATopDriverThatSkipsWithoutStartNext) {
    device->Serve(
        [this](PDEVICE_OBJECT, PIRP irp) { return WithoutStartNext(device->Lower(), irp); });
    EXPECT_EQ(SetPower(device->Device()), STATUS_SUCCESS);
    EXPECT_TRUE(Caught(ViolationKind::PowerIrpWithoutStartNext, "driver 'faulty'"));

    device->Serve([this](PDEVICE_OBJECT, PIRP irp) { return Sound(device->Lower(), irp); });
    EXPECT_EQ(SetPower(device->Device()), STATUS_SUCCESS);
    EXPECT_TRUE(sim::kernel::Violations().empty());
}

TEST_F(PowerStackTest, AFaultyDriverBelowASoundOne) {
    ScriptedDevice top(soundDriver, device->Device());
    top.Serve([&](PDEVICE_OBJECT, PIRP irp) { return Sound(top.Lower(), irp); });
    device->Serve(
        [this](PDEVICE_OBJECT, PIRP irp) { return WithoutStartNext(device->Lower(), irp); });
    EXPECT_EQ(SetPower(top.Device()), STATUS_SUCCESS);
    EXPECT_TRUE(Caught(ViolationKind::PowerIrpWithoutStartNext, "driver 'faulty'"));
    top.Remove();
}

TEST_F(PowerStackTest, AFaultyDriverAboveASoundOne) {
    // Below the faulty driver a sound one that copies its location instead of skipping.
    device->Serve([this](PDEVICE_OBJECT, PIRP irp) { return Sound(device->Lower(), irp); });
    ScriptedDevice middle(soundDriver, device->Device());
    ScriptedDevice top(faultyDriver, middle.Device());
    middle.Serve([&](PDEVICE_OBJECT, PIRP irp) {
        PoStartNextPowerIrp(irp);
        IoCopyCurrentIrpStackLocationToNext(irp);
        return PoCallDriver(middle.Lower(), irp);
    });
    top.Serve([&](PDEVICE_OBJECT, PIRP irp) { return WithoutStartNext(top.Lower(), irp); });
    EXPECT_EQ(SetPower(top.Device()), STATUS_SUCCESS);
    EXPECT_TRUE(Caught(ViolationKind::PowerIrpWithoutStartNext, "driver 'faulty'"));

    // PoStartNextPowerIrp after the skip releases the next request of the driver above, not
    // its own: the faulty driver's again.
    top.Serve([&](PDEVICE_OBJECT, PIRP irp) {
        IoSkipCurrentIrpStackLocation(irp);
        PoStartNextPowerIrp(irp);
        return PoCallDriver(top.Lower(), irp);
    });
    EXPECT_EQ(SetPower(top.Device()), STATUS_SUCCESS);
    EXPECT_TRUE(Caught(ViolationKind::PowerIrpWithoutStartNext, "driver 'faulty'"));
    top.Remove();
    middle.Remove();
}

} // namespace
} // namespace simtest
