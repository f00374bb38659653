// What a test leaves behind is a fault of its drivers: the kernel fixture reports, before it
// resets the kernel stand-in, requests still in flight or held, pool still charged to a driver,
// requests a driver allocated and never freed, and device objects not deleted, each once.
#include "verifier_fixture.h"

#include <gtest/gtest-spi.h>

namespace simtest {
namespace {

using sim::kernel::Violation;

// The message of the one violation of `kind` in the list, or "".
std::string MessageOf(const std::vector<Violation>& list, ViolationKind kind) {
    std::string text;
    for (const Violation& v : list) {
        if (v.kind == kind) {
            EXPECT_TRUE(text.empty()) << "twice: " << v.message;
            text = v.message;
        }
    }
    return text;
}

TEST_F(VerifierTest, EndOfTheRunReportsWhatTheDriversLeft) {
    bus->Serve([](PDEVICE_OBJECT, PIRP irp) {
        IoMarkIrpPending(irp);
        return STATUS_PENDING; // and held for ever
    });
    device->Serve([this](PDEVICE_OBJECT, PIRP irp) { return PassDown(device->Lower(), irp); });
    sim::kernel::SendIrpAsync(device->Device(), Request(), nullptr);
    sim::kernel::RunInDriverContext(faultyDriver, [] {
        ExAllocatePoolWithTag(NonPagedPool, 24, kTag);
        IoAllocateIrp(1, FALSE);
    });
    EXPECT_TRUE(sim::kernel::Violations().empty());

    sim::kernel::CheckEndOfRun("the end of the test");
    auto found = TakeViolations();
    EXPECT_TRUE(OnlyViolationsOf(found, {ViolationKind::NeverCompleted, ViolationKind::PoolLeak,
                                         ViolationKind::RequestLeak, ViolationKind::LeftAtEnd}));
    std::string held = MessageOf(found, ViolationKind::NeverCompleted);
    EXPECT_NE(held.find("IRP_MJ_DEVICE_CONTROL) still in flight at the end of the test"),
              std::string::npos)
        << held;
    EXPECT_NE(held.find("of driver 'bus'"), std::string::npos) << held;
    EXPECT_NE(MessageOf(found, ViolationKind::PoolLeak)
                  .find("driver 'faulty' leaked pool at the end of the test: tag 'Wdm ': 1 "
                        "allocation(s), 24 bytes"),
              std::string::npos);
    EXPECT_EQ(MessageOf(found, ViolationKind::RequestLeak).rfind("driver 'faulty' allocated", 0),
              0u);
    size_t devices = 0;
    for (const Violation& v : found)
        devices += v.kind == ViolationKind::LeftAtEnd ? 1 : 0;
    EXPECT_EQ(devices, 2u); // the bus's device and the faulty driver's

    // Each once.
    sim::kernel::CheckEndOfRun("the end of the test");
    EXPECT_TRUE(sim::kernel::Violations().empty());
}

TEST_F(VerifierTest, TheFixtureFailsATestThatLeavesADevice) {
    device->Remove(); // the bus driver's device stays
    EXPECT_NONFATAL_FAILURE(KernelTest::TearDown(), "was not deleted by the end of the test");
}

TEST_F(VerifierTest, ADeviceDeletedButStillHeldByAnOpenFile) {
    PFILE_OBJECT file = sim::kernel::CreateFileObject(device->Device(), u"");
    ASSERT_EQ(sim::kernel::SendCreate(device->Device(), file).status, STATUS_SUCCESS);
    device->Remove();
    bus->Remove();
    sim::kernel::CheckEndOfRun("the end of the test");
    auto found = TakeViolations();
    ASSERT_TRUE(OnlyViolationsOf(found, {ViolationKind::LeftAtEnd}));
    EXPECT_NE(found[0].message.find("1 open file object(s) still held it"), std::string::npos)
        << found[0].message;
    sim::kernel::DeleteFileObject(file);
}

} // namespace
} // namespace simtest
