#include "sim/usb/coil_driver_model.h"
#include "sim/kernel/testing.h"
#include "sim/usb/io_chip.h"
#include "sim/usb/usb_bus.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <thread>
#include <vector>

namespace sim::usb {
namespace {

using namespace sim::wdm;

class BusTest : public kernel::KernelTest {
protected:
    void SetUp() override {
        KernelTest::SetUp();
        bus = std::make_unique<UsbBus>();
        chip = std::make_unique<IoChip>(0x12345678, &coil);
        device = &bus->Plug(*chip);
        ASSERT_NE(device->Pdo(), nullptr);
    }
    void TearDown() override {
        bus.reset();
        KernelTest::TearDown();
    }

    // One request to the PDO, the way a driver above sends it.
    kernel::IoResult Internal(ULONG code, PVOID argument) {
        kernel::IrpSpec spec;
        spec.majorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
        spec.setup = [&](IO_STACK_LOCATION& s) {
            s.Parameters.DeviceIoControl.IoControlCode = code;
            s.Parameters.Others.Argument1 = argument;
        };
        return kernel::SendIrp(device->Pdo(), spec);
    }
    kernel::IoResult Submit(URB& urb) { return Internal(IOCTL_INTERNAL_USB_SUBMIT_URB, &urb); }
    kernel::IoResult Pnp(UCHAR minor, PDEVICE_CAPABILITIES caps = nullptr) {
        kernel::IrpSpec spec;
        spec.majorFunction = IRP_MJ_PNP;
        spec.minorFunction = minor;
        spec.initialStatus = STATUS_NOT_SUPPORTED;
        spec.setup = [&](IO_STACK_LOCATION& s) {
            s.Parameters.DeviceCapabilities.Capabilities = caps;
        };
        return kernel::SendIrp(device->Pdo(), spec);
    }

    static URB Vendor(bool in, std::uint16_t value, std::uint16_t index, void* buffer, ULONG length,
                      ULONG flags) {
        URB urb{};
        UsbBuildVendorRequest(&urb, URB_FUNCTION_VENDOR_DEVICE,
                              sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST),
                              flags | (in ? USBD_TRANSFER_DIRECTION_IN : 0), 8, 18, value, index,
                              buffer, nullptr, length, nullptr);
        return urb;
    }

    CoilDriverModel coil;
    std::unique_ptr<UsbBus> bus;
    std::unique_ptr<IoChip> chip;
    UsbDevice* device = nullptr;
};

// A select-configuration block for interface 0 of the chip, built by hand.
struct SelectBlock {
    static constexpr std::size_t RequestSize = GET_SELECT_CONFIGURATION_REQUEST_SIZE(1, 2);
    // Room for a whole URB too, so that no access through the union passes the storage.
    alignas(8) std::array<UCHAR, std::max(RequestSize, sizeof(URB))> bytes{};
    PURB Urb() { return reinterpret_cast<PURB>(bytes.data()); }
    explicit SelectBlock(PUSB_CONFIGURATION_DESCRIPTOR config,
                         USHORT interfaceLength = GET_USBD_INTERFACE_SIZE(2)) {
        UsbBuildSelectConfigurationRequest(Urb(), static_cast<USHORT>(RequestSize), config);
        Urb()->UrbSelectConfiguration.Interface.Length = interfaceLength;
    }
};

TEST_F(BusTest, DescriptorReadsHonourTheBufferLength) {
    std::array<UCHAR, 600> buffer{};
    URB urb{};
    UsbBuildGetDescriptorRequest(&urb, sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST),
                                 USB_DEVICE_DESCRIPTOR_TYPE, 0, 0, buffer.data(), nullptr, 64,
                                 nullptr);
    auto r = Submit(urb);
    EXPECT_EQ(r.status, STATUS_SUCCESS);
    EXPECT_EQ(urb.UrbControlDescriptorRequest.TransferBufferLength, 18u);
    EXPECT_EQ(buffer[0], 18);
    EXPECT_EQ(buffer[1], USB_DEVICE_DESCRIPTOR_TYPE);

    // A 9-byte read of the configuration gets only its head, which tells
    // the whole length.
    buffer.fill(0xEE);
    UsbBuildGetDescriptorRequest(&urb, sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST),
                                 USB_CONFIGURATION_DESCRIPTOR_TYPE, 0, 0, buffer.data(), nullptr, 9,
                                 nullptr);
    EXPECT_EQ(Submit(urb).status, STATUS_SUCCESS);
    EXPECT_EQ(urb.UrbControlDescriptorRequest.TransferBufferLength, 9u);
    EXPECT_EQ(buffer[2], 32);
    EXPECT_EQ(buffer[9], 0xEE);

    UsbBuildGetDescriptorRequest(&urb, sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST),
                                 USB_CONFIGURATION_DESCRIPTOR_TYPE, 0, 0, buffer.data(), nullptr,
                                 521, nullptr);
    EXPECT_EQ(Submit(urb).status, STATUS_SUCCESS);
    EXPECT_EQ(urb.UrbControlDescriptorRequest.TransferBufferLength, 32u);
    EXPECT_EQ(std::memcmp(buffer.data(), DefaultConfigurationDescriptor().data(), 32), 0);

    // A string the chip does not have is stalled.
    UsbBuildGetDescriptorRequest(&urb, sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST),
                                 USB_STRING_DESCRIPTOR_TYPE, 1, 0x409, buffer.data(), nullptr, 64,
                                 nullptr);
    EXPECT_EQ(Submit(urb).status, STATUS_UNSUCCESSFUL);
    EXPECT_EQ(urb.UrbHeader.Status, USBD_STATUS_STALL_PID);
    EXPECT_EQ(urb.UrbControlDescriptorRequest.TransferBufferLength, 0u);
}

TEST_F(BusTest, SelectConfigurationFillsHandlesAndUnconfigures) {
    std::vector<UCHAR> config = DefaultConfigurationDescriptor();
    auto* desc = reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(config.data());
    SelectBlock block(desc);
    block.Urb()->UrbSelectConfiguration.Interface.Pipes[0].MaximumTransferSize = 8;
    ASSERT_EQ(Submit(*block.Urb()).status, STATUS_SUCCESS);
    const auto& s = block.Urb()->UrbSelectConfiguration;
    EXPECT_NE(s.ConfigurationHandle, nullptr);
    EXPECT_NE(s.Interface.InterfaceHandle, nullptr);
    EXPECT_EQ(s.Interface.Class, 0xFF);
    ASSERT_EQ(s.Interface.NumberOfPipes, 2u);
    EXPECT_EQ(s.Interface.Pipes[0].EndpointAddress, 0x81);
    EXPECT_EQ(s.Interface.Pipes[1].EndpointAddress, 0x02);
    EXPECT_EQ(s.Interface.Pipes[0].PipeType, UsbdPipeTypeBulk);
    EXPECT_EQ(s.Interface.Pipes[0].MaximumPacketSize, 8);
    EXPECT_EQ(s.Interface.Pipes[0].MaximumTransferSize, 8u); // the driver's choice stays
    EXPECT_NE(s.Interface.Pipes[0].PipeHandle, s.Interface.Pipes[1].PipeHandle);
    EXPECT_TRUE(device->Configured());

    URB pipe{};
    pipe.UrbHeader.Function = URB_FUNCTION_RESET_PIPE;
    pipe.UrbHeader.Length = sizeof(struct _URB_PIPE_REQUEST);
    pipe.UrbPipeRequest.PipeHandle = s.Interface.Pipes[1].PipeHandle;
    EXPECT_EQ(Submit(pipe).status, STATUS_SUCCESS);
    pipe.UrbHeader.Function = URB_FUNCTION_ABORT_PIPE;
    EXPECT_EQ(Submit(pipe).status, STATUS_SUCCESS);
    EXPECT_EQ(device->PipeResets(), 1u);
    EXPECT_EQ(device->PipeAborts(), 1u);

    SelectBlock off(nullptr);
    EXPECT_EQ(Submit(*off.Urb()).status, STATUS_SUCCESS);
    EXPECT_FALSE(device->Configured());
    // The old handles died with the configuration.
    pipe.UrbHeader.Function = URB_FUNCTION_RESET_PIPE;
    EXPECT_EQ(Submit(pipe).status, STATUS_INVALID_PARAMETER);
    EXPECT_EQ(pipe.UrbHeader.Status, USBD_STATUS_INVALID_PIPE_HANDLE);
}

TEST_F(BusTest, MalformedConfigurationsAreRefusedNotFollowed) {
    // An endpoint descriptor of length 0 would never advance a parser.
    std::vector<UCHAR> config = DefaultConfigurationDescriptor();
    config[18] = 0;
    SelectBlock zero(reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(config.data()));
    EXPECT_EQ(Submit(*zero.Urb()).status, STATUS_INVALID_PARAMETER);

    // A total length that cuts the second endpoint off.
    config = DefaultConfigurationDescriptor();
    config[2] = 28;
    SelectBlock cut(reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(config.data()));
    EXPECT_EQ(Submit(*cut.Urb()).status, STATUS_INVALID_PARAMETER);

    // Interface information with no room for the pipes.
    config = DefaultConfigurationDescriptor();
    SelectBlock small(reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(config.data()),
                      GET_USBD_INTERFACE_SIZE(1));
    EXPECT_EQ(Submit(*small.Urb()).status, STATUS_BUFFER_TOO_SMALL);

    // More interfaces claimed than the block has records for.
    config[4] = 3;
    SelectBlock many(reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(config.data()));
    EXPECT_EQ(Submit(*many.Urb()).status, STATUS_INVALID_PARAMETER);
    EXPECT_FALSE(device->Configured());

    // Whatever the chip reports is what a reader gets, malformed or not.
    chip->SetConfigurationDescriptor({9, 2, 0xFF, 0xFF});
    std::array<UCHAR, 16> buffer{};
    URB urb{};
    UsbBuildGetDescriptorRequest(&urb, sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST),
                                 USB_CONFIGURATION_DESCRIPTOR_TYPE, 0, 0, buffer.data(), nullptr,
                                 16, nullptr);
    EXPECT_EQ(Submit(urb).status, STATUS_SUCCESS);
    EXPECT_EQ(urb.UrbControlDescriptorRequest.TransferBufferLength, 4u);
}

TEST_F(BusTest, VendorTransfersReachTheChip) {
    for (std::uint16_t index : {0x0755, 0x0355, 0x0755}) {
        URB out = Vendor(false, 0x0A0A, index, nullptr, 0, 0);
        auto r = Submit(out);
        EXPECT_EQ(r.status, STATUS_SUCCESS);
        EXPECT_EQ(out.UrbControlVendorClassRequest.TransferBufferLength, 0u);
    }
    const std::vector<LatchedWord> expected{{3, 0x55}};
    EXPECT_EQ(coil.LatchedWords(), expected);

    std::array<UCHAR, 8> reply{};
    URB in = Vendor(true, 0x0A0B, 0, reply.data(), 8, USBD_SHORT_TRANSFER_OK);
    EXPECT_EQ(Submit(in).status, STATUS_SUCCESS);
    EXPECT_EQ(in.UrbControlVendorClassRequest.TransferBufferLength, 4u);
    EXPECT_EQ(reply, (std::array<UCHAR, 8>{0x78, 0x56, 0x34, 0x12, 0, 0, 0, 0}));

    // Without leave to finish short, the same answer is an error; the
    // bytes that did arrive are still counted.
    in = Vendor(true, 0x0A0B, 0, reply.data(), 8, 0);
    EXPECT_EQ(Submit(in).status, STATUS_UNSUCCESSFUL);
    EXPECT_EQ(in.UrbHeader.Status, USBD_STATUS_ERROR_SHORT_TRANSFER);
    EXPECT_EQ(in.UrbControlVendorClassRequest.TransferBufferLength, 4u);

    reply.fill(0);
    device->ShortenInTransfers(2);
    in = Vendor(true, 0x0A0B, 0, reply.data(), 8, USBD_SHORT_TRANSFER_OK);
    EXPECT_EQ(Submit(in).status, STATUS_SUCCESS);
    EXPECT_EQ(in.UrbControlVendorClassRequest.TransferBufferLength, 2u);
    EXPECT_EQ(reply, (std::array<UCHAR, 8>{0x78, 0x56, 0, 0, 0, 0, 0, 0}));

    URB odd = Vendor(false, 0x0C0C, 0, nullptr, 0, 0);
    EXPECT_EQ(Submit(odd).status, STATUS_UNSUCCESSFUL);
    EXPECT_EQ(odd.UrbHeader.Status, USBD_STATUS_STALL_PID);

    URB noBuffer = Vendor(true, 0x0A0B, 0, nullptr, 8, USBD_SHORT_TRANSFER_OK);
    EXPECT_EQ(Submit(noBuffer).status, STATUS_INVALID_PARAMETER);
}

TEST_F(BusTest, InjectedFaultFailsOneBlockWithoutTouchingTheChip) {
    device->InjectUrbFault(
        {URB_FUNCTION_VENDOR_DEVICE, STATUS_IO_DEVICE_ERROR, USBD_STATUS_DEV_NOT_RESPONDING});
    std::array<UCHAR, 8> reply{};
    URB in = Vendor(true, 0x0A0B, 0, reply.data(), 8, USBD_SHORT_TRANSFER_OK);
    EXPECT_EQ(Submit(in).status, STATUS_IO_DEVICE_ERROR);
    EXPECT_EQ(in.UrbHeader.Status, USBD_STATUS_DEV_NOT_RESPONDING);
    EXPECT_EQ(in.UrbControlVendorClassRequest.TransferBufferLength, 0u);
    EXPECT_TRUE(chip->VendorLog().empty());
    in = Vendor(true, 0x0A0B, 0, reply.data(), 8, USBD_SHORT_TRANSFER_OK);
    EXPECT_EQ(Submit(in).status, STATUS_SUCCESS); // only one was asked for
}

// Transfers from several threads at once: the bus's record of them is in the order the chip saw
// them, every one recorded once.
TEST_F(BusTest, TransfersFromSeveralThreadsAreRecordedInTheOrderTheChipSawThem) {
    constexpr int Threads = 3;
    constexpr int PerThread = 60;
    std::vector<std::thread> senders;
    for (int t = 0; t < Threads; ++t) {
        senders.emplace_back([this, t] {
            for (int i = 0; i < PerThread; ++i) {
                URB out = Vendor(false, 0x0A0A, static_cast<std::uint16_t>(t << 8 | i), nullptr,
                                 0, 0);
                EXPECT_EQ(Submit(out).status, STATUS_SUCCESS);
            }
        });
    }
    for (std::thread& sender : senders) {
        sender.join();
    }
    const std::vector<UrbRecord> urbs = device->Urbs();
    const std::vector<VendorLogEntry> log = chip->VendorLog();
    ASSERT_EQ(urbs.size(), static_cast<std::size_t>(Threads * PerThread));
    ASSERT_EQ(log.size(), urbs.size());
    std::vector<int> seen(Threads * PerThread, 0);
    for (std::size_t k = 0; k < urbs.size(); ++k) {
        EXPECT_EQ(urbs[k].index, log[k].setup.index) << k;
        EXPECT_EQ(urbs[k].status, STATUS_SUCCESS);
        const int t = urbs[k].index >> 8;
        const int i = urbs[k].index & 0xFF;
        ASSERT_LT(t, Threads);
        ASSERT_LT(i, PerThread);
        ++seen[t * PerThread + i];
    }
    EXPECT_EQ(std::count(seen.begin(), seen.end(), 1), Threads * PerThread);
}

// A bus request sent the way a driver sends one, with a completion routine
// that notes where and when it ran.
struct Watched {
    std::mutex mutex;
    std::condition_variable done;
    bool finished = false;
    KIRQL irql = 0xFF;
    std::thread::id thread;
    NTSTATUS status = 0;
    bool pendingReturned = false;
    std::chrono::steady_clock::time_point at;

    static NTSTATUS NTAPI Complete(PDEVICE_OBJECT, PIRP irp, PVOID context) {
        auto* w = static_cast<Watched*>(context);
        std::lock_guard lock(w->mutex);
        w->irql = KeGetCurrentIrql();
        w->thread = std::this_thread::get_id();
        w->status = irp->IoStatus.Status;
        w->pendingReturned = irp->PendingReturned != 0;
        w->at = std::chrono::steady_clock::now();
        w->finished = true;
        w->done.notify_all();
        return STATUS_MORE_PROCESSING_REQUIRED;
    }
    bool Wait() {
        std::unique_lock lock(mutex);
        return done.wait_for(lock, std::chrono::seconds(5), [&] { return finished; });
    }
};

NTSTATUS SendWatched(PDEVICE_OBJECT pdo, PURB urb, Watched& w, PIRP* sent) {
    PIRP irp = IoAllocateIrp(pdo->StackSize, FALSE);
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    next->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
    next->Parameters.Others.Argument1 = urb;
    IoSetCompletionRoutine(irp, Watched::Complete, &w, TRUE, TRUE, TRUE);
    *sent = irp;
    return IoCallDriver(pdo, irp);
}

TEST_F(BusTest, LateCompletionIsLateAndOnAnotherThreadAtDispatchLevel) {
    device->SetCompletionDelay(5000);
    URB out = Vendor(false, 0x0A0A, 0x0412, nullptr, 0, 0);
    Watched w;
    PIRP irp = nullptr;
    const auto start = std::chrono::steady_clock::now();
    const NTSTATUS sent = SendWatched(device->Pdo(), &out, w, &irp);
    EXPECT_EQ(sent, STATUS_PENDING);
    ASSERT_TRUE(w.Wait());
    EXPECT_GE(w.at - start, std::chrono::milliseconds(5));
    EXPECT_EQ(w.irql, DISPATCH_LEVEL);
    EXPECT_NE(w.thread, std::this_thread::get_id());
    EXPECT_EQ(w.status, STATUS_SUCCESS);
    EXPECT_TRUE(w.pendingReturned);
    EXPECT_TRUE(device->Urbs().back().late);
    EXPECT_EQ(chip->PortB(), 0x04);
    IoFreeIrp(irp);

    // With no delay the same request finishes inside the call.
    device->SetCompletionDelay(0);
    Watched now;
    EXPECT_EQ(SendWatched(device->Pdo(), &out, now, &irp), STATUS_SUCCESS);
    EXPECT_TRUE(now.finished);
    EXPECT_EQ(now.thread, std::this_thread::get_id());
    EXPECT_FALSE(now.pendingReturned);
    IoFreeIrp(irp);
}

TEST_F(BusTest, SurpriseRemovalFailsTheTransferOnTheWire) {
    device->HoldRequests(true);
    URB out = Vendor(false, 0x0A0A, 0x0412, nullptr, 0, 0);
    Watched w;
    PIRP irp = nullptr;
    EXPECT_EQ(SendWatched(device->Pdo(), &out, w, &irp), STATUS_PENDING);
    EXPECT_EQ(device->HeldRequestCount(), 1u);
    EXPECT_FALSE(w.finished);
    device->Unplug();
    ASSERT_TRUE(w.Wait());
    EXPECT_EQ(w.status, STATUS_DEVICE_NOT_CONNECTED);
    EXPECT_EQ(out.UrbHeader.Status, USBD_STATUS_DEVICE_GONE);
    EXPECT_TRUE(chip->VendorLog().empty());
    IoFreeIrp(irp);

    ULONG port = 0xFFFFFFFF;
    EXPECT_EQ(Internal(IOCTL_INTERNAL_USB_GET_PORT_STATUS, &port).status, STATUS_SUCCESS);
    EXPECT_EQ(port, 0u);

    // The PDO of a device that left goes with its remove.
    EXPECT_EQ(Pnp(IRP_MN_SURPRISE_REMOVAL).status, STATUS_SUCCESS);
    EXPECT_EQ(Pnp(IRP_MN_REMOVE_DEVICE).status, STATUS_SUCCESS);
    EXPECT_TRUE(device->PdoDeleted());
}

TEST_F(BusTest, PortStatusAndReset) {
    ULONG port = 0;
    EXPECT_EQ(Internal(IOCTL_INTERNAL_USB_GET_PORT_STATUS, &port).status, STATUS_SUCCESS);
    EXPECT_EQ(port, USBD_PORT_ENABLED | USBD_PORT_CONNECTED);
    device->SetPortStatus(USBD_PORT_CONNECTED);
    EXPECT_EQ(Internal(IOCTL_INTERNAL_USB_GET_PORT_STATUS, &port).status, STATUS_SUCCESS);
    EXPECT_EQ(port, USBD_PORT_CONNECTED);
    EXPECT_EQ(Internal(IOCTL_INTERNAL_USB_RESET_PORT, nullptr).status, STATUS_SUCCESS);
    EXPECT_EQ(device->PortResets(), 1u);
    EXPECT_EQ(Internal(IOCTL_INTERNAL_USB_GET_PORT_STATUS, &port).status, STATUS_SUCCESS);
    EXPECT_EQ(port, USBD_PORT_ENABLED | USBD_PORT_CONNECTED);
    EXPECT_EQ(Internal(IOCTL_INTERNAL_USB_GET_PORT_STATUS, nullptr).status,
              STATUS_INVALID_PARAMETER);
}

TEST_F(BusTest, PlugAndPlayAnsweredAsABusDriverDoes) {
    for (UCHAR minor : {IRP_MN_START_DEVICE, IRP_MN_QUERY_STOP_DEVICE, IRP_MN_CANCEL_STOP_DEVICE,
                        IRP_MN_QUERY_REMOVE_DEVICE, IRP_MN_CANCEL_REMOVE_DEVICE}) {
        EXPECT_EQ(Pnp(minor).status, STATUS_SUCCESS) << int(minor);
    }
    EXPECT_TRUE(device->Started());
    // Requests the bus does not answer keep the status they came with.
    EXPECT_EQ(Pnp(IRP_MN_QUERY_ID).status, STATUS_NOT_SUPPORTED);

    PdoOptions options;
    options.deviceState[PowerSystemSleeping1] = PowerDeviceD1;
    options.deviceState[PowerSystemSleeping3] = PowerDeviceD3;
    options.deviceWake = PowerDeviceD1;
    device->SetOptions(options);
    DEVICE_CAPABILITIES caps{};
    caps.Size = sizeof caps;
    caps.Version = 1;
    EXPECT_EQ(Pnp(IRP_MN_QUERY_CAPABILITIES, &caps).status, STATUS_SUCCESS);
    EXPECT_EQ(caps.DeviceState[PowerSystemWorking], PowerDeviceD0);
    EXPECT_EQ(caps.DeviceState[PowerSystemSleeping1], PowerDeviceD1);
    EXPECT_EQ(caps.DeviceState[PowerSystemSleeping3], PowerDeviceD3);
    EXPECT_EQ(caps.DeviceWake, PowerDeviceD1);
    EXPECT_EQ(caps.Removable, 0u);
    EXPECT_EQ(caps.SurpriseRemovalOK, 0u);
    EXPECT_EQ(Pnp(IRP_MN_QUERY_CAPABILITIES, nullptr).status, STATUS_INVALID_PARAMETER);

    EXPECT_EQ(Pnp(IRP_MN_STOP_DEVICE).status, STATUS_SUCCESS);
    EXPECT_FALSE(device->Started());
    // A device still on the bus keeps its PDO through a remove.
    EXPECT_EQ(Pnp(IRP_MN_REMOVE_DEVICE).status, STATUS_SUCCESS);
    EXPECT_FALSE(device->PdoDeleted());
    EXPECT_TRUE(kernel::IsDeviceAlive(device->Pdo()));
}

// A power request sent by hand, so that the test holds the request itself.
NTSTATUS SendPower(PDEVICE_OBJECT pdo, UCHAR minor, Watched& w, PIRP* sent,
                   DEVICE_POWER_STATE state = PowerDeviceD0) {
    PIRP irp = IoAllocateIrp(pdo->StackSize, FALSE);
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = IRP_MJ_POWER;
    next->MinorFunction = minor;
    next->Parameters.Power.Type = DevicePowerState;
    next->Parameters.Power.State.DeviceState = state;
    if (minor == IRP_MN_WAIT_WAKE) {
        next->Parameters.WaitWake.PowerState = PowerSystemSleeping3;
    }
    IoSetCompletionRoutine(irp, Watched::Complete, &w, TRUE, TRUE, TRUE);
    *sent = irp;
    return PoCallDriver(pdo, irp);
}

TEST_F(BusTest, PowerRequestsAndWaitWake) {
    Watched set;
    PIRP irp = nullptr;
    EXPECT_EQ(SendPower(device->Pdo(), IRP_MN_SET_POWER, set, &irp, PowerDeviceD2), STATUS_SUCCESS);
    EXPECT_EQ(device->PowerState(), PowerDeviceD2);
    IoFreeIrp(irp);

    Watched wake;
    PIRP wakeIrp = nullptr;
    EXPECT_EQ(SendPower(device->Pdo(), IRP_MN_WAIT_WAKE, wake, &wakeIrp), STATUS_PENDING);
    EXPECT_TRUE(device->WaitWakePending());
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_FALSE(wake.finished); // nothing but a wake or a cancel ends it

    Watched second;
    PIRP secondIrp = nullptr;
    EXPECT_EQ(SendPower(device->Pdo(), IRP_MN_WAIT_WAKE, second, &secondIrp), STATUS_DEVICE_BUSY);
    IoFreeIrp(secondIrp);

    EXPECT_TRUE(device->SignalWake());
    ASSERT_TRUE(wake.Wait());
    EXPECT_EQ(wake.status, STATUS_SUCCESS);
    EXPECT_FALSE(device->WaitWakePending());
    IoFreeIrp(wakeIrp);

    Watched cancelled;
    EXPECT_EQ(SendPower(device->Pdo(), IRP_MN_WAIT_WAKE, cancelled, &wakeIrp), STATUS_PENDING);
    EXPECT_TRUE(IoCancelIrp(wakeIrp));
    ASSERT_TRUE(cancelled.Wait());
    EXPECT_EQ(cancelled.status, STATUS_CANCELLED);
    EXPECT_FALSE(device->SignalWake());
    IoFreeIrp(wakeIrp);
}

} // namespace
} // namespace sim::usb
