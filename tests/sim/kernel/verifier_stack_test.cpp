// Faulty drivers of stack locations: a request sent down with the next location never set up,
// and a completion routine set after the driver skipped its own location. Each is reported for
// the driver that did it, and the request goes on as the driver meant, so that the drivers
// around it are neither misled nor blamed.
#include "verifier_fixture.h"

namespace simtest {
namespace {

class StackLocationTest : public VerifierTest {
protected:
    // The major function the bus driver saw, and its answer.
    void Watch() {
        bus->Serve([this](PDEVICE_OBJECT, PIRP irp) {
            seenMajor = IoGetCurrentIrpStackLocation(irp)->MajorFunction;
            return CompleteWith(irp, STATUS_SUCCESS);
        });
    }
    UCHAR seenMajor = 0xFF;
};

TEST_F(StackLocationTest, SentDownWithTheNextLocationNeitherCopiedNorSkipped) {
    Watch();
    device->Serve([this](PDEVICE_OBJECT, PIRP irp) {
        return IoCallDriver(device->Lower(), irp); // the bus would see a location never set up
    });
    EXPECT_EQ(sim::kernel::SendIrp(device->Device(), Request(IRP_MJ_DEVICE_CONTROL)).status,
              STATUS_SUCCESS);
    EXPECT_TRUE(Caught(ViolationKind::StackLocationNotSetUp, "driver 'faulty'"));
    EXPECT_EQ(seenMajor, IRP_MJ_DEVICE_CONTROL); // went on as if copied

    // A completion routine alone sets up nothing.
    static Completion routine = [](PDEVICE_OBJECT, PIRP) { return STATUS_SUCCESS; };
    device->Serve([this](PDEVICE_OBJECT, PIRP irp) {
        IoSetCompletionRoutine(irp, ScriptedCompletion, &routine, TRUE, TRUE, TRUE);
        return IoCallDriver(device->Lower(), irp);
    });
    sim::kernel::SendIrp(device->Device(), Request(IRP_MJ_DEVICE_CONTROL));
    EXPECT_TRUE(Caught(ViolationKind::StackLocationNotSetUp, "driver 'faulty'"));

    // Copied, skipped or filled by hand, it is sound.
    device->Serve([this](PDEVICE_OBJECT, PIRP irp) {
        IoCopyCurrentIrpStackLocationToNext(irp);
        return IoCallDriver(device->Lower(), irp);
    });
    sim::kernel::SendIrp(device->Device(), Request(IRP_MJ_DEVICE_CONTROL));
    device->Serve([this](PDEVICE_OBJECT, PIRP irp) { return PassDown(device->Lower(), irp); });
    sim::kernel::SendIrp(device->Device(), Request(IRP_MJ_DEVICE_CONTROL));
    device->Serve([this](PDEVICE_OBJECT, PIRP irp) {
        PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
        next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
        return IoCallDriver(device->Lower(), irp);
    });
    sim::kernel::SendIrp(device->Device(), Request(IRP_MJ_DEVICE_CONTROL));
    EXPECT_EQ(seenMajor, IRP_MJ_INTERNAL_DEVICE_CONTROL);
    EXPECT_TRUE(sim::kernel::Violations().empty());
}

TEST_F(StackLocationTest, OwnRequestSentWithItsFirstLocationEmpty) {
    Watch();
    sim::kernel::RunInDriverContext(faultyDriver, [&] {
        PIRP irp = IoAllocateIrp(bus->Device()->StackSize, FALSE);
        ASSERT_NE(irp, nullptr);
        irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
        IoCallDriver(bus->Device(), irp);
        IoFreeIrp(irp);
    });
    EXPECT_TRUE(Caught(ViolationKind::StackLocationNotSetUp, "driver 'faulty'"));
}

TEST_F(StackLocationTest, ResentFromItsCompletionRoutineWithoutSettingUpAgain) {
    Watch();
    static int sends;
    sends = 0;
    static Completion again;
    again = [this](PDEVICE_OBJECT, PIRP irp) {
        if (++sends == 2)
            return STATUS_SUCCESS;
        // The location below was used up by the first send: a routine alone does not set it up.
        IoSetCompletionRoutine(irp, ScriptedCompletion, &again, TRUE, TRUE, TRUE);
        IoCallDriver(device->Lower(), irp);
        return STATUS_MORE_PROCESSING_REQUIRED;
    };
    device->Serve(
        [this](PDEVICE_OBJECT, PIRP irp) { return PassDownWatched(device->Lower(), irp, &again); });
    sim::kernel::SendIrp(device->Device(), Request(IRP_MJ_DEVICE_CONTROL));
    EXPECT_EQ(sends, 2);
    EXPECT_TRUE(Caught(ViolationKind::StackLocationNotSetUp, "driver 'faulty'"));
}

TEST_F(StackLocationTest, CompletionRoutineSetAfterSkippingAtTheTop) {
    Watch();
    static PDEVICE_OBJECT ranWith;
    ranWith = reinterpret_cast<PDEVICE_OBJECT>(1);
    static Completion routine = [](PDEVICE_OBJECT self, PIRP) {
        ranWith = self;
        return STATUS_SUCCESS;
    };
    device->Serve([this](PDEVICE_OBJECT, PIRP irp) {
        IoSkipCurrentIrpStackLocation(irp);
        IoSetCompletionRoutine(irp, ScriptedCompletion, &routine, TRUE, TRUE, TRUE);
        return IoCallDriver(device->Lower(), irp);
    });
    EXPECT_EQ(sim::kernel::SendIrp(device->Device(), Request()).status, STATUS_SUCCESS);
    EXPECT_TRUE(Caught(ViolationKind::RoutineAfterSkip, "driver 'faulty'"));
    EXPECT_EQ(ranWith, device->Device()); // not a null device object
}

TEST_F(StackLocationTest, CompletionRoutineSetAfterSkippingInTheMiddle) {
    Watch();
    PDRIVER_OBJECT soundDriver = MakeDriver("sound");
    ScriptedDevice top(soundDriver, device->Device());
    static bool topRan, middleRan;
    topRan = middleRan = false;
    static Completion topRoutine = [](PDEVICE_OBJECT, PIRP irp) {
        topRan = true;
        if (irp->PendingReturned)
            IoMarkIrpPending(irp);
        return STATUS_SUCCESS;
    };
    static Completion middleRoutine = [](PDEVICE_OBJECT, PIRP) {
        middleRan = true;
        return STATUS_SUCCESS;
    };
    top.Serve(
        [&](PDEVICE_OBJECT, PIRP irp) { return PassDownWatched(top.Lower(), irp, &topRoutine); });
    device->Serve([this](PDEVICE_OBJECT, PIRP irp) {
        IoSkipCurrentIrpStackLocation(irp);
        IoSetCompletionRoutine(irp, ScriptedCompletion, &middleRoutine, TRUE, TRUE, TRUE);
        return IoCallDriver(device->Lower(), irp);
    });
    EXPECT_EQ(sim::kernel::SendIrp(top.Device(), Request()).status, STATUS_SUCCESS);
    EXPECT_TRUE(Caught(ViolationKind::RoutineAfterSkip, "driver 'faulty'"));
    EXPECT_TRUE(topRan); // the sound driver's routine was not lost
    EXPECT_TRUE(middleRan);

    // Skipping without a routine keeps the one of the driver above, unreported.
    topRan = false;
    device->Serve([this](PDEVICE_OBJECT, PIRP irp) { return PassDown(device->Lower(), irp); });
    sim::kernel::SendIrp(top.Device(), Request());
    EXPECT_TRUE(topRan);
    EXPECT_TRUE(sim::kernel::Violations().empty());
    top.Remove();
}

} // namespace
} // namespace simtest
