// The driver over the simulated USB bus driver and I/O chip, as it runs on the bench.
#include "norvask.h"

#include "sim/usb/coil_driver_model.h"
#include "sim/kernel/testing.h"
#include "sim/usb/io_chip.h"
#include "sim/usb/usb_bus.h"
#include "sim/registry/registry.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <thread>
#include <vector>

namespace norvask::test {
namespace {

using sim::kernel::IoResult;

class OnTheBus : public sim::kernel::KernelTest {
protected:
    void SetUp() override {
        KernelTest::SetUp();
        sim::registry::Registry::Instance().Clear();
        bus_ = std::make_unique<sim::usb::UsbBus>();
        chip_ = std::make_unique<sim::usb::IoChip>(0x00C0FFEE, &coil_);
        device_ = &bus_->Plug(*chip_);

        sim::kernel::DriverConfig cfg;
        cfg.name = "norvask";
        cfg.poolTag = kPoolTag;
        driver_ = sim::kernel::CreateDriver(
            cfg, [](PDRIVER_OBJECT d, PUNICODE_STRING r) { return norvask::DriverEntry(d, r); });
        ASSERT_EQ(sim::kernel::CallAddDevice(driver_, device_->Pdo()), STATUS_SUCCESS);
        fdo_ = device_->Pdo()->AttachedDevice;
        ASSERT_NE(fdo_, nullptr);
        ASSERT_EQ(Pnp(IRP_MN_START_DEVICE).status, STATUS_SUCCESS);
        file_ = sim::kernel::CreateFileObject(fdo_, u"");
        ASSERT_EQ(sim::kernel::SendCreate(fdo_, file_).status, STATUS_SUCCESS);
    }

    // The stack is taken apart before the kernel fixture looks at what is left.
    void TearDown() override {
        if (sim::kernel::IsDeviceAlive(fdo_)) {
            Pnp(IRP_MN_REMOVE_DEVICE);
        }
        sim::kernel::DeleteFileObject(file_);
        bus_.reset();
        KernelTest::TearDown();
    }

    IoResult Pnp(UCHAR minor) {
        sim::kernel::IrpSpec spec;
        spec.majorFunction = IRP_MJ_PNP;
        spec.minorFunction = minor;
        spec.initialStatus = STATUS_NOT_SUPPORTED;
        return sim::kernel::SendIrp(IoGetAttachedDevice(device_->Pdo()), spec);
    }

    IoResult Send(std::vector<UCHAR> packet, std::vector<UCHAR>* reply) {
        reply->assign(8, 0);
        return sim::kernel::SendDeviceControl(fdo_, file_, IOCTL_VENDOR_REQUEST, packet.data(),
                                              static_cast<ULONG>(packet.size()), reply->data(), 8);
    }

    sim::usb::CoilDriverModel coil_;
    std::unique_ptr<sim::usb::UsbBus> bus_;
    std::unique_ptr<sim::usb::IoChip> chip_;
    sim::usb::UsbDevice* device_ = nullptr;
    PDRIVER_OBJECT driver_ = nullptr;
    PDEVICE_OBJECT fdo_ = nullptr;
    PFILE_OBJECT file_ = nullptr;
};

TEST_F(OnTheBus, WritePacketSetsTheChipPorts) {
    std::vector<UCHAR> reply;
    const IoResult r = Send({8, 18, 10, 10, 0x5A, 0x03, 0, 0}, &reply);
    EXPECT_EQ(r.status, STATUS_SUCCESS);
    EXPECT_EQ(r.information, 0u);
    EXPECT_EQ(coil_.PortA(), 0x5A);
    EXPECT_EQ(coil_.PortB(), 0x03);
}

TEST_F(OnTheBus, SerialNumberReadReturnsTheChipsBytes) {
    std::vector<UCHAR> reply;
    const IoResult r = Send({8, 18, 11, 10, 0, 0, 0, 0}, &reply);
    EXPECT_EQ(r.status, STATUS_SUCCESS);
    ASSERT_EQ(r.information, 4u);
    EXPECT_EQ(reply[0], 0xEE);
    EXPECT_EQ(reply[1], 0xFF);
    EXPECT_EQ(reply[2], 0xC0);
    EXPECT_EQ(reply[3], 0x00);
}

TEST_F(OnTheBus, LateCompletionsStillFinishEveryRequest) {
    device_->SetCompletionDelay(300);
    std::vector<UCHAR> reply;
    for (int i = 0; i < 10; ++i) {
        ASSERT_EQ(Send({8, 18, 10, 10, static_cast<UCHAR>(i), 0x01, 0, 0}, &reply).status,
                  STATUS_SUCCESS);
    }
    EXPECT_EQ(coil_.PortA(), 9);
    sim::kernel::DrainDispatchWork();
    EXPECT_EQ(Extension(fdo_)->PendingIoCount, 1); // an open handle holds no count
}

TEST_F(OnTheBus, UnpluggedMidTransferTheDeviceStillGoesAwayCleanly) {
    device_->HoldRequests(true);
    std::vector<UCHAR> packet{8, 18, 10, 10, 1, 1, 0, 0};
    std::vector<UCHAR> out(8, 0);
    std::atomic<bool> done{false};
    IoResult result{};
    const sim::kernel::IrpSpec spec = sim::kernel::DeviceControlSpec(
        file_, IOCTL_VENDOR_REQUEST, packet.data(), 8, out.data(), 8);
    ASSERT_EQ(sim::kernel::SendIrpAsync(fdo_, spec,
                                        [&](IoResult r) {
                                            result = r;
                                            done = true;
                                        }),
              STATUS_PENDING);
    device_->Unplug();
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (!done && std::chrono::steady_clock::now() < until) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    ASSERT_TRUE(done.load());
    // A bus failure is not an error for the caller: nothing moved.
    EXPECT_EQ(result.status, STATUS_SUCCESS);
    EXPECT_EQ(result.information, 0u);

    PDEVICE_OBJECT fdo = fdo_;
    EXPECT_EQ(Pnp(IRP_MN_SURPRISE_REMOVAL).status, STATUS_SUCCESS);
    EXPECT_TRUE(sim::kernel::IsDeviceAlive(fdo)); // until the remove that follows
    EXPECT_EQ(Pnp(IRP_MN_REMOVE_DEVICE).status, STATUS_SUCCESS);
    EXPECT_FALSE(sim::kernel::IsDeviceAlive(fdo));
    EXPECT_TRUE(sim::kernel::OutstandingPool(driver_).empty());
}

} // namespace
} // namespace norvask::test
