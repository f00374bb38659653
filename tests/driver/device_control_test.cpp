#include "harness.h"
#include "upper_filter.h"

#include <atomic>
#include <chrono>
#include <thread>

namespace norvask::test {
namespace {

using Clock = std::chrono::steady_clock;
using sim::kernel::IoResult;

class VendorRequest : public DriverTest {
protected:
    void SetUp() override {
        DriverTest::SetUp();
        AddAndStart();
    }

    // Sends a vendor request without waiting for its completion.
    NTSTATUS SendAsync(const std::vector<UCHAR>& packet, std::atomic<bool>* done,
                       IoResult* result) {
        asyncInput_ = packet;
        asyncOutput_.assign(8, 0);
        const sim::kernel::IrpSpec spec = sim::kernel::DeviceControlSpec(
            nullptr, IOCTL_VENDOR_REQUEST, asyncInput_.data(),
            static_cast<ULONG>(asyncInput_.size()), asyncOutput_.data(), 8);
        return sim::kernel::SendIrpAsync(Fdo(), spec, [done, result](IoResult r) {
            *result = r;
            done->store(true);
        });
    }

    static bool WaitFor(const std::atomic<bool>& flag) {
        const auto until = Clock::now() + std::chrono::seconds(5);
        while (!flag.load() && Clock::now() < until) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        return flag.load();
    }

    std::vector<UCHAR> asyncInput_;
    std::vector<UCHAR> asyncOutput_;
};

TEST_F(VendorRequest, ConsoleWriteIsOneOutTransferWithoutData) {
    const IoResult r = Vendor(WritePacket(0x5A, 0x03), nullptr);
    EXPECT_EQ(r.dispatchStatus, STATUS_SUCCESS);
    EXPECT_EQ(r.status, STATUS_SUCCESS);
    EXPECT_EQ(r.information, 0u);
    const auto calls = bus_->VendorCalls();
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].request, 18);
    EXPECT_EQ(calls[0].requestTypeReservedBits, 8);
    EXPECT_EQ(calls[0].value, 0x0A0A);
    EXPECT_EQ(calls[0].index, 0x035A);
    EXPECT_EQ(calls[0].transferFlags, 0u);
    EXPECT_EQ(calls[0].transferBufferLength, 0u);
    EXPECT_FALSE(calls[0].hasBuffer);
    EXPECT_FALSE(calls[0].hasMdlOrLink);
    EXPECT_EQ(Ext()->PendingIoCount, 1);
}

TEST_F(VendorRequest, TransferFinishingInsideTheCallKeepsTheDeviceUntilTheDispatchReturns) {
    // By the time the bus call returns, the completion has finished the caller's request and
    // released its hold; the dispatch still reads the device afterwards, so a removal waiting
    // for the count to drop must not be let through yet.
    LONG countAfterCompletion = -1;
    bool callerFinished = false;
    bus_->afterInlineVendor = [&] {
        countAfterCompletion = Ext()->PendingIoCount;
        callerFinished = Ext()->PendingVendorIrp == nullptr;
    };
    const IoResult r = Vendor(WritePacket(7, 1), nullptr);
    EXPECT_EQ(r.dispatchStatus, STATUS_SUCCESS);
    EXPECT_EQ(r.status, STATUS_SUCCESS);
    EXPECT_TRUE(callerFinished);
    EXPECT_EQ(countAfterCompletion, 2); // the device's own hold and the dispatch's
    EXPECT_EQ(Ext()->PendingIoCount, 1);
}

TEST_F(VendorRequest, SerialNumberReadReturnsTheDeviceReply) {
    bus_->inReply = {'S', 'N', '0', '0', '4', '2', 0, 0};
    std::vector<UCHAR> reply;
    const IoResult r = Vendor(ReadPacket(), &reply);
    EXPECT_EQ(r.status, STATUS_SUCCESS);
    EXPECT_EQ(r.information, 8u);
    EXPECT_EQ(reply, bus_->inReply);
    const auto calls = bus_->VendorCalls();
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].transferFlags, 3u);
    EXPECT_EQ(calls[0].value, 0x0A0B);
    EXPECT_EQ(calls[0].transferBufferLength, 8u);
}

TEST_F(VendorRequest, ShortReplyReportsTheBytesMoved) {
    bus_->inReply = {1, 2, 3};
    std::vector<UCHAR> reply;
    const IoResult r = Vendor(ReadPacket(), &reply);
    EXPECT_EQ(r.status, STATUS_SUCCESS);
    EXPECT_EQ(r.information, 3u);
    EXPECT_EQ(reply[0], 1);
    EXPECT_EQ(reply[2], 3);
}

TEST_F(VendorRequest, InTransferNeverAsksForMoreThanTheOutputHolds) {
    bus_->inReply = {1, 2, 3, 4, 5, 6, 7, 8};
    std::vector<UCHAR> reply;
    const IoResult r = Vendor(ReadPacket(), &reply, 5);
    EXPECT_EQ(r.status, STATUS_SUCCESS);
    EXPECT_EQ(r.information, 5u);
    EXPECT_EQ(bus_->VendorCalls().at(0).transferBufferLength, 5u);
}

TEST_F(VendorRequest, OutDataIsClampedToEightAndTheClampWrittenBack) {
    std::vector<UCHAR> packet = {0x40, 7, 2, 0, 0, 0, 0x2C, 0x01}; // ExtraLength 300
    for (UCHAR i = 0; i < 8; ++i) {
        packet.push_back(static_cast<UCHAR>(0xA0 + i));
    }
    std::vector<UCHAR> reply;
    const IoResult r = Vendor(packet, &reply);
    EXPECT_EQ(r.status, STATUS_SUCCESS);
    EXPECT_EQ(r.information, 8u);
    const auto calls = bus_->VendorCalls();
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].outData, std::vector<UCHAR>(packet.begin() + 8, packet.end()));
    // What comes back is the start of the request's buffer: the packet with ExtraLength 8.
    EXPECT_EQ(reply[6], 8);
    EXPECT_EQ(reply[7], 0);
}

TEST_F(VendorRequest, OddMajorWithHighRequestTypeGoesOut) {
    const std::vector<UCHAR> packet = {12, 5, 1, 0, 0, 0, 2, 0, 0x11, 0x22};
    const IoResult r = Vendor(packet, nullptr);
    EXPECT_EQ(r.status, STATUS_SUCCESS);
    const auto calls = bus_->VendorCalls();
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].transferFlags, 0u);
    EXPECT_EQ(calls[0].outData, (std::vector<UCHAR>{0x11, 0x22}));
}

TEST_F(VendorRequest, ShortPacketsFailWithoutReachingTheBus) {
    EXPECT_EQ(Vendor({8, 18, 10, 10, 0, 0, 0}, nullptr).status, STATUS_INVALID_PARAMETER);
    EXPECT_EQ(Vendor({}, nullptr).status, STATUS_INVALID_PARAMETER);
    // Header says 4 data bytes, only 2 follow.
    EXPECT_EQ(Vendor({8, 18, 10, 10, 0, 0, 4, 0, 1, 2}, nullptr).status, STATUS_INVALID_PARAMETER);
    EXPECT_TRUE(bus_->VendorCalls().empty());
    // The gate is open again: the next request goes through at once.
    EXPECT_EQ(Vendor(WritePacket(1, 2), nullptr).status, STATUS_SUCCESS);
    EXPECT_EQ(Ext()->PendingIoCount, 1);
}

TEST_F(VendorRequest, OutCountNeverExceedsTheCallersOutputBuffer) {
    const std::vector<UCHAR> packet = {0x40, 7, 2, 0, 0, 0, 8, 0, 1, 2, 3, 4, 5, 6, 7, 8};
    const IoResult r = Vendor(packet, nullptr, 4);
    EXPECT_EQ(r.status, STATUS_SUCCESS);
    EXPECT_EQ(r.information, 4u);
}

TEST_F(VendorRequest, BusErrorsStillSucceedWithTheBytesMoved) {
    bus_->outMoved = 0;
    const std::vector<UCHAR> packet = {0x40, 7, 2, 0, 0, 0, 3, 0, 1, 2, 3};
    const IoResult r = Vendor(packet, nullptr);
    EXPECT_EQ(r.status, STATUS_SUCCESS);
    EXPECT_EQ(r.information, 0u);
}

TEST_F(VendorRequest, TransferFinishingLaterReturnsPendingThenSucceeds) {
    bus_->holdVendor = true;
    std::atomic<bool> done{false};
    IoResult result{};
    EXPECT_EQ(SendAsync(WritePacket(1, 2), &done, &result), STATUS_PENDING);
    EXPECT_FALSE(done.load());
    EXPECT_EQ(Ext()->PendingIoCount, 2);
    bus_->ReleaseVendor();
    ASSERT_TRUE(WaitFor(done));
    EXPECT_EQ(result.status, STATUS_SUCCESS);
    sim::kernel::DrainDispatchWork();
    EXPECT_EQ(Ext()->PendingIoCount, 1);
    EXPECT_EQ(Ext()->PendingVendorIrp, nullptr);
}

TEST_F(VendorRequest, CallersRequestCompletesUpwardsOutsideTheSlotLock) {
    // A driver above whose completion routine called back into this driver must not find the
    // slot's lock held: on one processor it would spin on it for ever.
    UpperFilter filter(Fdo());
    std::vector<bool> lockHeld;
    filter.onDeviceControlComplete = [&] {
        lockHeld.push_back(__atomic_load_n(&Ext()->VendorLock, __ATOMIC_ACQUIRE) != 0);
    };
    std::vector<UCHAR> packet = WritePacket(1, 1);
    std::vector<UCHAR> out(8, 0);
    const sim::kernel::IrpSpec spec = sim::kernel::DeviceControlSpec(
        nullptr, IOCTL_VENDOR_REQUEST, packet.data(), 8, out.data(), 8);
    // A transfer finishing inside the bus call, then one finishing later on another thread.
    EXPECT_EQ(sim::kernel::SendIrp(filter.Device(), spec).status, STATUS_SUCCESS);
    bus_->holdVendor = true;
    std::atomic<bool> done{false};
    IoResult late{};
    ASSERT_EQ(sim::kernel::SendIrpAsync(filter.Device(), spec,
                                        [&](IoResult r) {
                                            late = r;
                                            done = true;
                                        }),
              STATUS_PENDING);
    bus_->ReleaseVendor();
    ASSERT_TRUE(WaitFor(done));
    EXPECT_EQ(late.status, STATUS_SUCCESS);
    EXPECT_EQ(lockHeld, (std::vector<bool>{false, false}));
    sim::kernel::DrainDispatchWork();
    EXPECT_EQ(Ext()->PendingIoCount, 1);
}

TEST_F(VendorRequest, BackToBackRequestsEachPassTheGate) {
    for (int i = 0; i < 20; ++i) {
        ASSERT_EQ(Vendor(WritePacket(static_cast<UCHAR>(i), 0), nullptr).status, STATUS_SUCCESS);
    }
    EXPECT_EQ(bus_->VendorCalls().size(), 20u);
}

TEST_F(VendorRequest, BusyGateTimesOutThenReportsBusyUntilTheTransferFinishes) {
    bus_->holdVendor = true;
    std::atomic<bool> done{false};
    IoResult first{};
    ASSERT_EQ(SendAsync(WritePacket(1, 1), &done, &first), STATUS_PENDING);

    const auto t0 = Clock::now();
    EXPECT_EQ(Vendor(WritePacket(2, 2), nullptr).status, STATUS_UNSUCCESSFUL);
    EXPECT_GE(Clock::now() - t0, std::chrono::milliseconds(2));
    // The timeout forced the gate open; the slot still holds the first transfer.
    EXPECT_EQ(Vendor(WritePacket(3, 3), nullptr).status, STATUS_DEVICE_BUSY);
    EXPECT_EQ(bus_->VendorCalls().size(), 1u);
    EXPECT_FALSE(done.load());

    bus_->ReleaseVendor();
    ASSERT_TRUE(WaitFor(done));
    EXPECT_EQ(first.status, STATUS_SUCCESS);
    sim::kernel::DrainDispatchWork();

    bus_->holdVendor = false;
    EXPECT_EQ(Vendor(WritePacket(4, 4), nullptr).status, STATUS_SUCCESS);
    EXPECT_EQ(bus_->VendorCalls().size(), 2u);
    EXPECT_EQ(Ext()->PendingIoCount, 1);
}

TEST_F(VendorRequest, FailedAllocationReopensTheGate) {
    sim::kernel::FailIrpAllocationNumber(1);
    EXPECT_EQ(Vendor(WritePacket(1, 1), nullptr).status, STATUS_INSUFFICIENT_RESOURCES);
    sim::kernel::FailPoolAllocationNumber(1);
    EXPECT_EQ(Vendor(WritePacket(1, 1), nullptr).status, STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_TRUE(bus_->VendorCalls().empty());
    const auto t0 = Clock::now();
    EXPECT_EQ(Vendor(WritePacket(1, 1), nullptr).status, STATUS_SUCCESS);
    EXPECT_LT(Clock::now() - t0, std::chrono::seconds(1));
    EXPECT_EQ(Ext()->PendingIoCount, 1);
}

TEST_F(VendorRequest, ConcurrentCallersNeverShareTheTransferSlot) {
    bus_->inReply = {9, 9, 9, 9, 9, 9, 9, 9};
    std::atomic<int> succeeded{0};
    std::atomic<int> refused{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < 50; ++i) {
                std::vector<UCHAR> reply;
                const IoResult r = Vendor(t % 2 ? ReadPacket() : WritePacket(1, 2), &reply);
                if (r.status == STATUS_SUCCESS) {
                    ++succeeded;
                } else if (r.status == STATUS_UNSUCCESSFUL || r.status == STATUS_DEVICE_BUSY) {
                    ++refused;
                } else {
                    ADD_FAILURE() << std::hex << r.status;
                }
            }
        });
    }
    for (auto& t : threads) {
        t.join();
    }
    sim::kernel::DrainDispatchWork();
    EXPECT_EQ(succeeded + refused, 200);
    EXPECT_EQ(static_cast<int>(bus_->VendorCalls().size()), succeeded.load());
    EXPECT_EQ(Ext()->PendingVendorIrp, nullptr);
    EXPECT_EQ(Ext()->PendingIoCount, 1);
}

using DeviceControl = VendorRequest;

TEST_F(DeviceControl, ConfigDescriptorIsReturnedWhole) {
    std::vector<UCHAR> out(64, 0);
    const IoResult r = Ioctl(IOCTL_GET_CONFIG_DESCRIPTOR, {}, &out);
    EXPECT_EQ(r.status, STATUS_SUCCESS);
    ASSERT_EQ(r.information, bus_->config.size());
    EXPECT_TRUE(std::equal(bus_->config.begin(), bus_->config.end(), out.begin()));
}

TEST_F(DeviceControl, ConfigDescriptorIntoAShortBufferReturnsNothing) {
    std::vector<UCHAR> out(bus_->config.size() - 1, 0x55);
    const IoResult r = Ioctl(IOCTL_GET_CONFIG_DESCRIPTOR, {}, &out);
    EXPECT_EQ(r.status, STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(r.information, 0u);
    EXPECT_EQ(out[0], 0x55);
}

TEST_F(DeviceControl, PortResetOnlyWhenConnectedButDisabled) {
    bus_->portStatus = USBD_PORT_ENABLED | USBD_PORT_CONNECTED;
    EXPECT_EQ(Ioctl(IOCTL_RESET_PORT_IF_DISABLED, {}, nullptr).status, STATUS_SUCCESS);
    bus_->portStatus = USBD_PORT_ENABLED;
    EXPECT_EQ(Ioctl(IOCTL_RESET_PORT_IF_DISABLED, {}, nullptr).status, STATUS_SUCCESS);
    EXPECT_EQ(bus_->PortStatusQueries(), 2);
    EXPECT_EQ(bus_->PortResets(), 0);
    bus_->portStatus = USBD_PORT_CONNECTED;
    EXPECT_EQ(Ioctl(IOCTL_RESET_PORT_IF_DISABLED, {}, nullptr).status, STATUS_SUCCESS);
    EXPECT_EQ(bus_->PortResets(), 1);
}

TEST_F(DeviceControl, PipeResetNeedsAHandleWithAPipe) {
    PFILE_OBJECT plain = NewFile(u"");
    ASSERT_EQ(Open(plain), STATUS_SUCCESS);
    EXPECT_EQ(Ioctl(IOCTL_RESET_PIPE, {}, nullptr, plain).status, STATUS_INVALID_PARAMETER);
    ASSERT_EQ(Close(plain), STATUS_SUCCESS);

    PFILE_OBJECT pipe = NewFile(u"\\PIPE1");
    ASSERT_EQ(Open(pipe), STATUS_SUCCESS);
    EXPECT_EQ(Ioctl(IOCTL_RESET_PIPE, {}, nullptr, pipe).status, STATUS_SUCCESS);
    const auto calls = bus_->PipeCalls();
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].function, URB_FUNCTION_RESET_PIPE);
    EXPECT_EQ(calls[0].pipeHandle, Ext()->InterfaceInfo->Pipes[1].PipeHandle);
    // The reset's own result is not reported.
    bus_->pipeStatus = STATUS_UNSUCCESSFUL;
    EXPECT_EQ(Ioctl(IOCTL_RESET_PIPE, {}, nullptr, pipe).status, STATUS_SUCCESS);
    ASSERT_EQ(Close(pipe), STATUS_SUCCESS);
}

TEST_F(DeviceControl, UnknownCodesAreInvalid) {
    for (ULONG code : {0x22000Cu, 0x222024u, 0x22202Cu, 0u}) {
        EXPECT_EQ(Ioctl(code, {}, nullptr).status, STATUS_INVALID_PARAMETER) << code;
    }
    EXPECT_EQ(Ext()->PendingIoCount, 1);
}

} // namespace
} // namespace norvask::test
