// For each fault the verifier knows, a deliberately faulty driver, and the violation it earns.
// The sound counterparts run in the other test files under the same fixture, which fails any
// test that leaves a violation behind.
#include "verifier_fixture.h"

#include <gtest/gtest-spi.h>

#include <atomic>
#include <cstdio>

namespace simtest {
namespace {

TEST_F(VerifierTest, RequestCompletedTwice) {
    device->Serve([](PDEVICE_OBJECT, PIRP irp) {
        CompleteWith(irp, STATUS_SUCCESS);
        return CompleteWith(irp, STATUS_SUCCESS);
    });
    sim::kernel::SendIrp(device->Device(), Request());
    EXPECT_TRUE(Caught(ViolationKind::CompletedTwice));
}

TEST_F(VerifierTest, RequestCompletedInsideARoutineThatLetsCompletionGoOn) {
    Completion routine = [](PDEVICE_OBJECT, PIRP irp) {
        CompleteWith(irp, STATUS_SUCCESS); // the lower completion is still under way
        return STATUS_SUCCESS;
    };
    device->Serve(
        [&](PDEVICE_OBJECT, PIRP irp) { return PassDownWatched(device->Lower(), irp, &routine); });
    sim::kernel::SendIrp(device->Device(), Request());
    EXPECT_TRUE(Caught(ViolationKind::CompletedTwice));
}

TEST_F(VerifierTest, RequestOwedACompletionRoutineWhenItsDeviceIsDeleted) {
    static Completion routine;
    routine = [](PDEVICE_OBJECT, PIRP) { return STATUS_SUCCESS; };
    bus->Serve([](PDEVICE_OBJECT, PIRP irp) {
        IoMarkIrpPending(irp);
        return STATUS_PENDING;
    });
    device->Serve(
        [&](PDEVICE_OBJECT, PIRP irp) { return PassDownWatched(device->Lower(), irp, &routine); });
    sim::kernel::SendIrpAsync(device->Device(), Request(), nullptr);
    device->Remove(); // its routine would run with a deleted device
    EXPECT_TRUE(Caught(ViolationKind::NeverCompleted));
    bus->Remove(); // reported once, though the bus driver holds it too
    EXPECT_TRUE(sim::kernel::Violations().empty());
}

TEST_F(VerifierTest, RequestPassedOnWithoutRoutineDoesNotHoldTheDevice) {
    PIRP held = nullptr;
    bus->Serve([&](PDEVICE_OBJECT, PIRP irp) {
        held = irp;
        IoMarkIrpPending(irp);
        return STATUS_PENDING;
    });
    device->Serve([&](PDEVICE_OBJECT, PIRP irp) {
        IoCopyCurrentIrpStackLocationToNext(irp);
        return IoCallDriver(device->Lower(), irp);
    });
    sim::kernel::SendIrpAsync(device->Device(), Request(IRP_MJ_PNP, IRP_MN_REMOVE_DEVICE), nullptr);
    device->Remove();
    EXPECT_TRUE(sim::kernel::Violations().empty());
    sim::kernel::RunInDriverContext(busDriver, [&] { CompleteWith(held, STATUS_SUCCESS); });
}

TEST_F(VerifierTest, RequestNeverCompletedBeforeItsDeviceIsDeleted) {
    device->Serve([](PDEVICE_OBJECT, PIRP irp) {
        IoMarkIrpPending(irp);
        return STATUS_PENDING; // and forgotten
    });
    bool done = false;
    EXPECT_EQ(
        sim::kernel::SendIrpAsync(device->Device(), Request(), [&](IoResult) { done = true; }),
        STATUS_PENDING);
    EXPECT_TRUE(sim::kernel::Violations().empty());
    device->Remove();
    EXPECT_FALSE(done);
    EXPECT_TRUE(Caught(ViolationKind::NeverCompleted));
}

TEST_F(VerifierTest, PendingReturnedWithoutMarkingTheRequest) {
    device->Serve([](PDEVICE_OBJECT, PIRP irp) {
        sim::kernel::QueueDispatchWork([irp] { CompleteWith(irp, STATUS_SUCCESS); }, 500);
        return STATUS_PENDING;
    });
    IoResult result = sim::kernel::SendIrp(device->Device(), Request());
    EXPECT_TRUE(result.completed);
    EXPECT_TRUE(Caught(ViolationKind::PendingNotMarked));
}

TEST_F(VerifierTest, MarkedPendingButAnsweredSynchronously) {
    device->Serve([](PDEVICE_OBJECT, PIRP irp) {
        IoMarkIrpPending(irp);
        return CompleteWith(irp, STATUS_SUCCESS);
    });
    sim::kernel::SendIrp(device->Device(), Request());
    EXPECT_TRUE(Caught(ViolationKind::MarkedPendingReturnedOther));
}

TEST_F(VerifierTest, CompletionRoutineThatDoesNotPropagatePending) {
    Completion routine = [](PDEVICE_OBJECT, PIRP) {
        return STATUS_SUCCESS; // should mark the request pending when PendingReturned is set
    };
    device->Serve(
        [&](PDEVICE_OBJECT, PIRP irp) { return PassDownWatched(device->Lower(), irp, &routine); });
    bus->Serve([](PDEVICE_OBJECT, PIRP irp) {
        IoMarkIrpPending(irp);
        sim::kernel::QueueDispatchWork([irp] { CompleteWith(irp, STATUS_SUCCESS); }, 500);
        return STATUS_PENDING;
    });
    sim::kernel::SendIrp(device->Device(), Request());
    sim::kernel::DrainDispatchWork();
    EXPECT_TRUE(Caught(ViolationKind::PendingNotPropagated));
}

TEST_F(VerifierTest, DispatchReturnsSuccessWithoutCompleting) {
    PIRP kept = nullptr;
    device->Serve([&](PDEVICE_OBJECT, PIRP irp) {
        kept = irp;
        return STATUS_SUCCESS;
    });
    sim::kernel::SetCompletionWaitLimit(50);
    IoResult result = sim::kernel::SendIrp(device->Device(), Request());
    EXPECT_FALSE(result.completed);
    auto found = TakeViolations();
    EXPECT_TRUE(OnlyViolationsOf(
        found, {ViolationKind::ReturnedWithoutCompleting, ViolationKind::NeverCompleted}));
    CompleteWith(kept, STATUS_SUCCESS); // late, after the caller gave up: harmless
}

TEST_F(VerifierTest, WaitWithTimeoutAtDispatchLevel) {
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, TRUE);
    sim::kernel::RunInDriverContext(faultyDriver, [&] {
        KIRQL old;
        KeRaiseIrql(DISPATCH_LEVEL, &old);
        LARGE_INTEGER zero;
        zero.QuadPart = 0;
        KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &zero); // allowed
        EXPECT_TRUE(sim::kernel::Violations().empty());
        LARGE_INTEGER twoMs;
        twoMs.QuadPart = -20000;
        KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &twoMs);
        KeLowerIrql(old);
    });
    EXPECT_TRUE(Caught(ViolationKind::WaitAtDispatchLevel));
}

TEST_F(VerifierTest, PagedPoolAtDispatchLevel) {
    sim::kernel::RunInDriverContext(faultyDriver, [&] {
        KIRQL old;
        KeRaiseIrql(DISPATCH_LEVEL, &old);
        void* nonPaged = ExAllocatePoolWithTag(NonPagedPool, 16, kTag);
        ExFreePool(nonPaged);
        EXPECT_TRUE(sim::kernel::Violations().empty());
        void* paged = ExAllocatePoolWithTag(PagedPool, 16, kTag);
        KeLowerIrql(old);
        ExFreePool(paged);
    });
    EXPECT_TRUE(Caught(ViolationKind::PagedPoolAtDispatchLevel));
}

TEST_F(VerifierTest, PowerRequestPassedDownWithoutStartNext) {
    device->Serve([&](PDEVICE_OBJECT, PIRP irp) {
        IoCopyCurrentIrpStackLocationToNext(irp);
        return PoCallDriver(device->Lower(), irp);
    });
    bus->Serve([](PDEVICE_OBJECT, PIRP irp) {
        PoStartNextPowerIrp(irp);
        return CompleteWith(irp, STATUS_SUCCESS);
    });
    sim::kernel::SendIrp(device->Device(), Request(IRP_MJ_POWER, IRP_MN_SET_POWER));
    EXPECT_TRUE(Caught(ViolationKind::PowerIrpWithoutStartNext));

    // The sound order raises nothing.
    device->Serve([&](PDEVICE_OBJECT, PIRP irp) {
        PoStartNextPowerIrp(irp);
        IoCopyCurrentIrpStackLocationToNext(irp);
        return PoCallDriver(device->Lower(), irp);
    });
    sim::kernel::SendIrp(device->Device(), Request(IRP_MJ_POWER, IRP_MN_SET_POWER));
    EXPECT_TRUE(sim::kernel::Violations().empty());
}

TEST_F(VerifierTest, PowerRequestCompletedWithoutStartNext) {
    device->Serve([](PDEVICE_OBJECT, PIRP irp) { return CompleteWith(irp, STATUS_SUCCESS); });
    sim::kernel::SendIrp(device->Device(), Request(IRP_MJ_POWER, IRP_MN_QUERY_POWER));
    EXPECT_TRUE(Caught(ViolationKind::PowerIrpWithoutStartNext));
}

TEST_F(VerifierTest, RequestFreedWhileALowerDriverHoldsIt) {
    PIRP held = nullptr;
    bus->Serve([&](PDEVICE_OBJECT, PIRP irp) {
        held = irp;
        IoMarkIrpPending(irp);
        return STATUS_PENDING;
    });
    sim::kernel::RunInDriverContext(faultyDriver, [&] {
        PIRP irp = IoAllocateIrp(bus->Device()->StackSize, FALSE);
        IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
        EXPECT_EQ(IoCallDriver(bus->Device(), irp), STATUS_PENDING);
        IoFreeIrp(irp); // the bus driver still holds it
    });
    EXPECT_TRUE(Caught(ViolationKind::FreedWhileInUse));
    // The request stayed valid for its holder; finishing it properly raises nothing more.
    sim::kernel::RunInDriverContext(busDriver, [&] { CompleteWith(held, STATUS_SUCCESS); });
    sim::kernel::RunInDriverContext(faultyDriver, [&] { IoFreeIrp(held); });
    EXPECT_TRUE(sim::kernel::Violations().empty());
}

TEST_F(VerifierTest, RequestFreedTwiceOrCompletedAfterFree) {
    sim::kernel::RunInDriverContext(faultyDriver, [&] {
        PIRP irp = IoAllocateIrp(1, FALSE);
        IoFreeIrp(irp);
        IoFreeIrp(irp);
        IoCompleteRequest(irp, IO_NO_INCREMENT);
    });
    auto found = TakeViolations();
    EXPECT_EQ(found.size(), 2u);
    EXPECT_TRUE(OnlyViolationsOf(found, {ViolationKind::UseAfterFree}));
}

TEST_F(VerifierTest, PoolLeakedWhenTheLastDeviceIsDeletedListedByTag) {
    sim::kernel::RunInDriverContext(faultyDriver, [&] {
        ExAllocatePoolWithTag(NonPagedPool, 80, kTag);
        ExAllocatePoolWithTag(NonPagedPool, 24, kTag);
        ExFreePool(ExAllocatePoolWithTag(NonPagedPool, 10, kTag)); // freed: not a leak
    });
    EXPECT_EQ(sim::kernel::OutstandingPool(faultyDriver).size(), 2u);
    device->Remove();
    auto found = TakeViolations();
    ASSERT_TRUE(OnlyViolationsOf(found, {ViolationKind::PoolLeak}));
    ASSERT_EQ(found.size(), 1u);
    EXPECT_NE(found[0].message.find("'Wdm ': 2 allocation(s), 104 bytes"), std::string::npos)
        << found[0].message;
    EXPECT_NE(found[0].message.find("faulty"), std::string::npos);
}

TEST_F(VerifierTest, PoolLeakOfADeletePendingDeviceIsReportedWhenItIsFreed) {
    device->Serve([](PDEVICE_OBJECT, PIRP irp) {
        if (IoGetCurrentIrpStackLocation(irp)->MajorFunction == IRP_MJ_CREATE)
            ExAllocatePoolWithTag(NonPagedPool, 40, kTag); // never given back
        return CompleteWith(irp, STATUS_SUCCESS);
    });
    PFILE_OBJECT file = sim::kernel::CreateFileObject(device->Device(), u"");
    ASSERT_EQ(sim::kernel::SendCreate(device->Device(), file).status, STATUS_SUCCESS);
    device->Remove();
    EXPECT_TRUE(sim::kernel::Violations().empty()); // the open handle may still give it back
    sim::kernel::SendCleanup(device->Device(), file);
    sim::kernel::SendClose(device->Device(), file);
    EXPECT_TRUE(sim::kernel::Violations().empty());
    sim::kernel::DeleteFileObject(file); // the last reference: the device is freed
    auto found = TakeViolations();
    ASSERT_TRUE(OnlyViolationsOf(found, {ViolationKind::PoolLeak}));
    EXPECT_NE(found[0].message.find("'Wdm ': 1 allocation(s), 40 bytes"), std::string::npos)
        << found[0].message;
}

#if defined(__SANITIZE_ADDRESS__)
TEST_F(VerifierTest, ExtensionOfAFreedDeviceIsPoisoned) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    PFILE_OBJECT file = sim::kernel::CreateFileObject(device->Device(), u"");
    ASSERT_EQ(sim::kernel::SendCreate(device->Device(), file).status, STATUS_SUCCESS);
    PDEVICE_OBJECT gone = device->Device();
    device->Remove();
    // Still valid while the file holds it...
    EXPECT_NE(static_cast<ScriptedExtension*>(gone->DeviceExtension)->handler, nullptr);
    sim::kernel::DeleteFileObject(file);
    // ...and caught once freed.
    EXPECT_DEATH(
        {
            volatile auto ext = static_cast<ScriptedExtension*>(gone->DeviceExtension);
            std::printf("%p\n", static_cast<void*>(ext->handler));
        },
        "use-after-poison");
}
#endif

TEST_F(VerifierTest, PoolOfOtherDriversIsNotCharged) {
    sim::kernel::RunInDriverContext(busDriver, [&] {
        void* p = ExAllocatePoolWithTag(NonPagedPool, 8, 0x20737542);
        sim::kernel::RunInDriverContext(faultyDriver, [&] { device->Remove(); });
        ExFreePool(p);
    });
    EXPECT_TRUE(sim::kernel::Violations().empty());
}

TEST_F(VerifierTest, PoolTagOtherThanTheDriversTag) {
    sim::kernel::RunInDriverContext(faultyDriver, [&] {
        ExFreePool(ExAllocatePoolWithTag(NonPagedPool, 8, 0x656E6F4E));
        ExFreePool(ExAllocatePool(NonPagedPool, 8));
    });
    auto found = TakeViolations();
    EXPECT_EQ(found.size(), 2u);
    EXPECT_TRUE(OnlyViolationsOf(found, {ViolationKind::WrongPoolTag}));
}

TEST_F(VerifierTest, PoolFreedTwice) {
    sim::kernel::RunInDriverContext(faultyDriver, [&] {
        void* p = ExAllocatePoolWithTag(NonPagedPool, 8, kTag);
        ExFreePool(p);
        ExFreePool(p);
    });
    EXPECT_TRUE(Caught(ViolationKind::BadPoolFree));
}

TEST_F(VerifierTest, InformationLargerThanTheOutputBuffer) {
    device->Serve([](PDEVICE_OBJECT, PIRP irp) {
        return CompleteWith(irp, STATUS_SUCCESS, 16); // the caller gave 8 bytes
    });
    uint8_t input[8] = {};
    uint8_t output[8] = {};
    IoResult result = sim::kernel::SendDeviceControl(
        device->Device(), nullptr,
        CTL_CODE(FILE_DEVICE_UNKNOWN, 0x80A, METHOD_BUFFERED, FILE_ANY_ACCESS), input, 8, output,
        8);
    EXPECT_EQ(result.information, 16u);
    EXPECT_TRUE(Caught(ViolationKind::InformationTooLarge));
}

TEST_F(VerifierTest, DeleteWhileStillAttached) {
    IoDeleteDevice(device->Device()); // no IoDetachDevice first
    EXPECT_TRUE(Caught(ViolationKind::DeleteWhileAttached));
}

TEST_F(VerifierTest, DeleteWithADeviceStillAttachedAbove) {
    IoDeleteDevice(bus->Device()); // outside its remove: the device above is left dangling
    EXPECT_TRUE(Caught(ViolationKind::DeleteWhileAttached));
}

// A bus driver deletes the device of a chip that has left in that device's own remove, while
// the function device above still has to detach, as the usual removal order has it.
TEST_F(VerifierTest, ABusMayDeleteItsDeviceInItsRemoveBeforeTheDeviceAboveDetaches) {
    PDEVICE_OBJECT pdo = bus->Device();
    bus->Serve([](PDEVICE_OBJECT self, PIRP irp) {
        CompleteWith(irp, STATUS_SUCCESS);
        IoDeleteDevice(self);
        return STATUS_SUCCESS;
    });
    bool validUntilDetached = false;
    device->Serve([&](PDEVICE_OBJECT self, PIRP irp) {
        PDEVICE_OBJECT lower = device->Lower();
        const NTSTATUS status = PassDown(lower, irp);
        validUntilDetached = sim::kernel::IsDeviceObjectValid(lower);
        IoDetachDevice(lower);
        IoDeleteDevice(self);
        return status;
    });
    EXPECT_EQ(
        sim::kernel::SendIrp(device->Device(), Request(IRP_MJ_PNP, IRP_MN_REMOVE_DEVICE)).status,
        STATUS_SUCCESS);
    EXPECT_TRUE(validUntilDetached);
    EXPECT_FALSE(sim::kernel::IsDeviceObjectValid(pdo));
    EXPECT_TRUE(TakeViolations().empty());
}

TEST_F(VerifierTest, DeleteWhileRegisteredForShutdown) {
    EXPECT_EQ(IoRegisterShutdownNotification(device->Device()), STATUS_SUCCESS);
    device->Remove();
    EXPECT_TRUE(Caught(ViolationKind::DeleteWhileShutdownRegistered));
    EXPECT_TRUE(sim::kernel::ShutdownRegistrations().empty());
}

TEST_F(VerifierTest, RequestLeakedByItsAllocator) {
    sim::kernel::RunInDriverContext(faultyDriver, [&] { IoAllocateIrp(2, FALSE); });
    device->Remove();
    EXPECT_TRUE(Caught(ViolationKind::RequestLeak));
}

TEST_F(VerifierTest, DriverFreesARequestThatTheIoManagerOwns) {
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    IO_STATUS_BLOCK iosb{};
    sim::kernel::RunInDriverContext(faultyDriver, [&] {
        PIRP irp = IoBuildDeviceIoControlRequest(0x220013, bus->Device(), nullptr, 0, nullptr, 0,
                                                 TRUE, &event, &iosb);
        ASSERT_NE(irp, nullptr);
        IoFreeIrp(irp);
        // Still usable: the I/O manager finishes and frees it at completion.
        EXPECT_EQ(IoCallDriver(bus->Device(), irp), STATUS_SUCCESS);
    });
    EXPECT_EQ(KeReadStateEvent(&event), 1);
    EXPECT_TRUE(Caught(ViolationKind::BadArgument));
}

TEST_F(VerifierTest, FixtureFailsATestThatLeavesAViolation) {
    sim::kernel::ReportViolation(ViolationKind::CompletedTwice, "provoked");
    EXPECT_NONFATAL_FAILURE(sim::kernel::ExpectNoViolations(), "completed twice: provoked");
    sim::kernel::ClearViolations();
}

} // namespace
} // namespace simtest
