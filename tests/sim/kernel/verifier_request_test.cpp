// Faulty drivers that touch a request after it was completed and freed, or write past its last
// stack location. A freed request does not read as a live one, a write to it is reported, and
// under AddressSanitizer any touch of it but its status block stops the program where it
// happens.
#include "verifier_fixture.h"

#include <cstdio>
#include <vector>

namespace simtest {
namespace {

class TouchedRequestTest : public VerifierTest {
protected:
    // The bus driver completes every request at once: passed down, it is freed by the time
    // IoCallDriver returns.
    void SetUp() override {
        VerifierTest::SetUp();
        bus->Serve([](PDEVICE_OBJECT, PIRP irp) { return CompleteWith(irp, STATUS_SUCCESS, 8); });
    }
};

TEST_F(TouchedRequestTest, StatusBlockWrittenAfterTheLowerDriverCompletedIt) {
    device->Serve([this](PDEVICE_OBJECT, PIRP irp) {
        NTSTATUS status = PassDown(device->Lower(), irp);
        irp->IoStatus.Information = 0; // freed already
        return status;
    });
    EXPECT_EQ(sim::kernel::SendIrp(device->Device(), Request()).information, 8u);
    EXPECT_TRUE(Caught(ViolationKind::UseAfterFree, "driver 'faulty'"));
}

TEST_F(TouchedRequestTest, StatusBlockOfACompletedRequestDoesNotReadAsLive) {
    static NTSTATUS seen;
    seen = STATUS_PENDING;
    device->Serve([this](PDEVICE_OBJECT, PIRP irp) {
        PassDown(device->Lower(), irp);
        seen = irp->IoStatus.Status; // the bus driver's STATUS_SUCCESS is gone
        return STATUS_SUCCESS;
    });
    sim::kernel::SendIrp(device->Device(), Request());
    EXPECT_NE(seen, STATUS_SUCCESS);
    EXPECT_NE(seen, STATUS_PENDING);
}

#if !defined(__SANITIZE_ADDRESS__)
TEST_F(TouchedRequestTest, StackLocationWrittenAfterCompletion) {
    device->Serve([this](PDEVICE_OBJECT, PIRP irp) {
        IoCopyCurrentIrpStackLocationToNext(irp);
        NTSTATUS status = IoCallDriver(device->Lower(), irp);
        IoGetCurrentIrpStackLocation(irp)->Parameters.Others.Argument1 = irp;
        return status;
    });
    sim::kernel::SendIrp(device->Device(), Request());
    auto found = TakeViolations();
    ASSERT_TRUE(OnlyViolationsOf(found, {ViolationKind::UseAfterFree}));
    EXPECT_NE(found[0].message.find("stack location"), std::string::npos) << found[0].message;
    EXPECT_EQ(found[0].message.rfind("driver 'faulty'", 0), 0u) << found[0].message;
}
#else
TEST_F(TouchedRequestTest, StackLocationOfAFreedRequestIsPoisoned) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    device->Serve([this](PDEVICE_OBJECT, PIRP irp) {
        NTSTATUS status = PassDown(device->Lower(), irp);
        std::printf("%d\n", IoGetCurrentIrpStackLocation(irp)->MajorFunction);
        return status;
    });
    EXPECT_DEATH(sim::kernel::SendIrp(device->Device(), Request()), "use-after-poison");
}
#endif

TEST_F(TouchedRequestTest, WrittenFromAnotherThreadAfterItWasFreed) {
    device->Serve([](PDEVICE_OBJECT, PIRP irp) {
        IoMarkIrpPending(irp);
        sim::kernel::QueueDispatchWork(
            [irp] {
                CompleteWith(irp, STATUS_SUCCESS);
                irp->IoStatus.Status = STATUS_UNSUCCESSFUL; // after the I/O manager freed it
            },
            20000); // well after the dispatch routine has returned
        return STATUS_PENDING;
    });
    EXPECT_EQ(sim::kernel::SendIrp(device->Device(), Request()).status, STATUS_SUCCESS);
    device->Remove();
    bus->Remove();
    sim::kernel::CheckEndOfRun("the check"); // as the fixture does at the end of the test
    auto found = TakeViolations();
    ASSERT_TRUE(OnlyViolationsOf(found, {ViolationKind::UseAfterFree}));
    ASSERT_EQ(found.size(), 1u);
    EXPECT_NE(found[0].message.find("driver 'faulty'"), std::string::npos) << found[0].message;
    EXPECT_NE(found[0].message.find("status block"), std::string::npos) << found[0].message;
}

// Freed requests leave the quarantine after 4096 others, and their memory serves new ones.
TEST_F(TouchedRequestTest, RequestsOutOfTheQuarantineAreCheckedAndTheirMemoryServesNewOnes) {
    constexpr int kQuarantined = 4096;
    sim::kernel::RunInDriverContext(faultyDriver, [] {
        PIRP written = IoAllocateIrp(2, FALSE);
        ASSERT_NE(written, nullptr);
        IoFreeIrp(written);
        written->IoStatus.Information = 1; // after the free
        for (int i = 0; i < kQuarantined; ++i)
            IoFreeIrp(IoAllocateIrp(2, FALSE)); // the last one pushes `written` out
    });
    auto found = TakeViolations();
    ASSERT_TRUE(OnlyViolationsOf(found, {ViolationKind::UseAfterFree}));
    ASSERT_EQ(found.size(), 1u);
    EXPECT_NE(found[0].message.find("status block"), std::string::npos) << found[0].message;

    // Many at once, freed out of order: each is told apart, and freed twice, each is caught.
    std::vector<PIRP> live;
    sim::kernel::RunInDriverContext(faultyDriver, [&] {
        for (int i = 0; i < 3000; ++i)
            live.push_back(IoAllocateIrp(static_cast<CCHAR>(1 + i % 3), FALSE));
        for (size_t i = 0; i < live.size(); i += 2)
            IoFreeIrp(live[i]);
        for (size_t i = 1; i < live.size(); i += 2)
            IoFreeIrp(live[i]);
    });
    EXPECT_TRUE(sim::kernel::Violations().empty());
    sim::kernel::RunInDriverContext(faultyDriver, [&] {
        for (PIRP irp : live)
            IoFreeIrp(irp);
    });
    found = TakeViolations();
    EXPECT_TRUE(OnlyViolationsOf(found, {ViolationKind::UseAfterFree}));
    EXPECT_EQ(found.size(), live.size());
}

// The allocator's own completion routine runs with the current location past the last one.
class PastTheLastLocationTest : public TouchedRequestTest {
protected:
    void SendOwnRequest(Completion* routine) {
        sim::kernel::RunInDriverContext(faultyDriver, [&] {
            PIRP irp = IoAllocateIrp(bus->Device()->StackSize, FALSE);
            ASSERT_NE(irp, nullptr);
            IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
            IoSetCompletionRoutine(irp, ScriptedCompletion, routine, TRUE, TRUE, TRUE);
            IoCallDriver(bus->Device(), irp);
            IoFreeIrp(irp);
        });
    }
};

TEST_F(PastTheLastLocationTest, MarkedPendingInTheAllocatorsOwnCompletionRoutine) {
    static Completion routine = [](PDEVICE_OBJECT, PIRP irp) {
        IoMarkIrpPending(irp); // as if it were a request passed on
        return STATUS_MORE_PROCESSING_REQUIRED;
    };
    SendOwnRequest(&routine);
    EXPECT_TRUE(Caught(ViolationKind::NoMoreStackLocations, "driver 'faulty'"));
}

TEST_F(PastTheLastLocationTest, SentOnWithItsLocationPastTheGuard) {
    sim::kernel::RunInDriverContext(faultyDriver, [&] {
        PIRP irp = IoAllocateIrp(bus->Device()->StackSize, FALSE);
        ASSERT_NE(irp, nullptr);
        IoSkipCurrentIrpStackLocation(irp);
        IoSkipCurrentIrpStackLocation(irp); // the location it would be sent with lies outside it
        EXPECT_EQ(IoCallDriver(bus->Device(), irp), STATUS_INVALID_PARAMETER);
        IoFreeIrp(irp);
    });
    auto found = TakeViolations();
    EXPECT_TRUE(OnlyViolationsOf(
        found, {ViolationKind::NoMoreStackLocations, ViolationKind::StackLocationNotSetUp}));
    bool pastTheGuard = false;
    for (const auto& v : found) {
        pastTheGuard = pastTheGuard || (v.kind == ViolationKind::NoMoreStackLocations &&
                                        v.message.rfind("driver 'faulty'", 0) == 0);
    }
    EXPECT_TRUE(pastTheGuard);
}

#if !defined(__SANITIZE_ADDRESS__)
TEST_F(PastTheLastLocationTest, WrittenThereByTheAllocatorsOwnCompletionRoutine) {
    static Completion routine = [](PDEVICE_OBJECT, PIRP irp) {
        IoGetCurrentIrpStackLocation(irp)->Parameters.Others.Argument4 = irp;
        return STATUS_MORE_PROCESSING_REQUIRED;
    };
    SendOwnRequest(&routine);
    EXPECT_TRUE(Caught(ViolationKind::NoMoreStackLocations, "driver 'faulty'"));
}
#else
TEST_F(PastTheLastLocationTest, PastTheLastLocationIsPoisoned) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    static Completion routine = [](PDEVICE_OBJECT, PIRP irp) {
        IoGetCurrentIrpStackLocation(irp)->Parameters.Others.Argument4 = irp;
        return STATUS_MORE_PROCESSING_REQUIRED;
    };
    EXPECT_DEATH(SendOwnRequest(&routine), "use-after-poison");
}
#endif

} // namespace
} // namespace simtest
