#include "harness.h"

namespace norvask::test {
namespace {

class Handles : public DriverTest {
protected:
    void SetUp() override {
        DriverTest::SetUp();
        AddAndStart();
    }
};

TEST_F(Handles, ConsoleOpenHasNoPipe) {
    PFILE_OBJECT f = NewFile(u"");
    EXPECT_EQ(Open(f), STATUS_SUCCESS);
    EXPECT_TRUE(Ext()->DeviceOpen);
    EXPECT_EQ(f->FsContext, nullptr);
    EXPECT_EQ(Ext()->OpenPipeCount, 0);
    EXPECT_EQ(Close(f), STATUS_SUCCESS);
    EXPECT_FALSE(Ext()->DeviceOpen);
}

TEST_F(Handles, OnlyOneHandleAtATime) {
    PFILE_OBJECT first = NewFile(u"");
    ASSERT_EQ(Open(first), STATUS_SUCCESS);
    EXPECT_EQ(Open(NewFile(u"")), STATUS_INSTANCE_NOT_AVAILABLE);
    EXPECT_EQ(Open(NewFile(u"\\PIPE1")), STATUS_INSTANCE_NOT_AVAILABLE);
    ASSERT_EQ(Close(first), STATUS_SUCCESS);
    EXPECT_EQ(Open(NewFile(u"")), STATUS_SUCCESS);
}

TEST_F(Handles, CloseOfARefusedHandleLeavesTheOpenOneItsClaim) {
    PFILE_OBJECT first = NewFile(u"\\PIPE1");
    ASSERT_EQ(Open(first), STATUS_SUCCESS);
    PFILE_OBJECT refused = NewFile(u"");
    ASSERT_EQ(Open(refused), STATUS_INSTANCE_NOT_AVAILABLE);
    EXPECT_EQ(Close(refused), STATUS_SUCCESS);
    // The first handle still holds the device and its pipe.
    EXPECT_EQ(Open(NewFile(u"")), STATUS_INSTANCE_NOT_AVAILABLE);
    EXPECT_EQ(Ext()->OpenPipeCount, 1);
    EXPECT_EQ(Ext()->InterfaceInfo->Pipes[1].PipeFlags, 1u);
    ASSERT_EQ(Close(first), STATUS_SUCCESS);
    EXPECT_EQ(Ext()->OpenPipeCount, 0);
    EXPECT_EQ(Open(NewFile(u"")), STATUS_SUCCESS);
}

TEST_F(Handles, TrailingNumberSelectsAPipe) {
    PFILE_OBJECT f = NewFile(u"\\PIPE1");
    ASSERT_EQ(Open(f), STATUS_SUCCESS);
    EXPECT_EQ(f->FsContext, &Ext()->InterfaceInfo->Pipes[1]);
    EXPECT_EQ(Ext()->InterfaceInfo->Pipes[1].PipeFlags, 1u);
    EXPECT_EQ(Ext()->OpenPipeCount, 1);
    ASSERT_EQ(Close(f), STATUS_SUCCESS);
    EXPECT_EQ(Ext()->InterfaceInfo->Pipes[1].PipeFlags, 0u);
    EXPECT_EQ(Ext()->OpenPipeCount, 0);
}

TEST_F(Handles, PipeOutOfRangeFailsAndLeavesTheDeviceFree) {
    EXPECT_EQ(Open(NewFile(u"\\PIPE2")), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_FALSE(Ext()->DeviceOpen);
    EXPECT_EQ(Open(NewFile(u"\\4294967297")), STATUS_SUCCESS); // wraps to pipe 1
}

TEST_F(Handles, InvalidNameLeavesTheDeviceFree) {
    EXPECT_EQ(Open(NewFile(u"\\PIPE")), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(Open(NewFile(u"5")), STATUS_INVALID_PARAMETER);
    EXPECT_FALSE(Ext()->DeviceOpen);
    EXPECT_EQ(Open(NewFile(u"")), STATUS_SUCCESS);
}

TEST_F(Handles, ReadAndWriteAreNotImplemented) {
    for (UCHAR major : {IRP_MJ_READ, IRP_MJ_WRITE}) {
        sim::kernel::IrpSpec spec;
        spec.majorFunction = major;
        const auto r = sim::kernel::SendIrp(Fdo(), spec);
        EXPECT_EQ(r.status, STATUS_NOT_IMPLEMENTED);
        EXPECT_EQ(r.information, 0u);
    }
    EXPECT_EQ(Ext()->PendingIoCount, 1);
}

TEST_F(Handles, CloseSucceedsInEveryDeviceState) {
    PFILE_OBJECT f = NewFile(u"");
    ASSERT_EQ(Open(f), STATUS_SUCCESS);
    ASSERT_EQ(Pnp(IRP_MN_QUERY_STOP_DEVICE).status, STATUS_SUCCESS);
    EXPECT_EQ(Close(f), STATUS_SUCCESS);
    EXPECT_FALSE(Ext()->DeviceOpen);
}

TEST_F(Handles, AbortReleasesOpenPipesAndAFailedAbortKeepsThem) {
    EXPECT_EQ(AbortOpenPipes(Fdo()), STATUS_SUCCESS); // nothing open: nothing sent
    EXPECT_TRUE(bus_->PipeCalls().empty());

    PFILE_OBJECT pipe = NewFile(u"\\PIPE1");
    ASSERT_EQ(Open(pipe), STATUS_SUCCESS);
    bus_->pipeStatus = STATUS_UNSUCCESSFUL;
    EXPECT_EQ(AbortOpenPipes(Fdo()), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(Ext()->InterfaceInfo->Pipes[1].PipeFlags, 1u);
    EXPECT_EQ(Ext()->OpenPipeCount, 1);
    EXPECT_TRUE(Ext()->DeviceOpen);

    bus_->pipeStatus = STATUS_SUCCESS;
    EXPECT_EQ(AbortOpenPipes(Fdo()), STATUS_SUCCESS);
    EXPECT_EQ(Ext()->InterfaceInfo->Pipes[1].PipeFlags, 0u);
    EXPECT_EQ(Ext()->OpenPipeCount, 0);
    EXPECT_FALSE(Ext()->DeviceOpen);
    const auto calls = bus_->PipeCalls();
    ASSERT_EQ(calls.size(), 2u);
    EXPECT_EQ(calls[1].function, URB_FUNCTION_ABORT_PIPE);
    EXPECT_EQ(calls[1].pipeHandle, Ext()->InterfaceInfo->Pipes[1].PipeHandle);

    // The handle's later close finds its pipe already released.
    EXPECT_EQ(Close(pipe), STATUS_SUCCESS);
    EXPECT_EQ(Ext()->OpenPipeCount, 0);
    EXPECT_EQ(Ext()->PendingIoCount, 1);
}

} // namespace
} // namespace norvask::test
