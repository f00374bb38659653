#include "mock_chip.h"

#include <umockdev.h>

#include <linux/ioctl.h>
#include <linux/usbdevice_fs.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <stdexcept>

namespace morlix::test {

namespace {

// Where the chip sits: port 1 of bus 1, whatever address it gets.
constexpr const char* SysfsPath = "/sys/devices/pci0000:00/usb1/1-1";
constexpr std::size_t SetupSize = 8;

std::string Hex(const std::vector<std::uint8_t>& bytes) {
    std::string text;
    char digits[3];
    for (std::uint8_t b : bytes) {
        std::snprintf(digits, sizeof digits, "%02x", b);
        text += digits;
    }
    return text;
}

} // namespace

MockChip::MockChip(std::uint32_t serialNumber, std::uint16_t vendorId, std::uint16_t productId)
    : chip_(serialNumber, &coil_), vendorId_(vendorId), productId_(productId) {
    testbed_ = umockdev_testbed_new();
    handler_ = umockdev_ioctl_base_new();
    if (testbed_ == nullptr || handler_ == nullptr) {
        throw std::runtime_error("umockdev: no testbed");
    }
    g_signal_connect(handler_, "handle-ioctl", G_CALLBACK(&MockChip::HandleIoctl), this);
    g_signal_connect(handler_, "client-vanished", G_CALLBACK(&MockChip::ClientVanished), this);
}

MockChip::~MockChip() {
    g_object_unref(testbed_); // stops the handler's thread and removes the testbed
    g_object_unref(handler_);
    for (UMockdevIoctlData* urb : reapable_) {
        g_object_unref(urb);
    }
}

bool MockChip::Plug() {
    std::string node;
    {
        std::lock_guard lock(mutex_);
        if (plugged_) {
            return false;
        }
        ++address_;
        plugged_ = true;
    }
    node = Path();
    // The handler goes on the node first, so that libusb can open it as
    // soon as it hears of the device.
    GError* error = nullptr;
    if (!umockdev_testbed_attach_ioctl(testbed_, node.c_str(), handler_, &error)) {
        std::string message = error != nullptr ? error->message : "attach failed";
        g_clear_error(&error);
        throw std::runtime_error("umockdev: " + message);
    }
    std::vector<std::uint8_t> descriptors = sim::usb::DefaultDeviceDescriptor();
    descriptors[8] = static_cast<std::uint8_t>(vendorId_);
    descriptors[9] = static_cast<std::uint8_t>(vendorId_ >> 8);
    descriptors[10] = static_cast<std::uint8_t>(productId_);
    descriptors[11] = static_cast<std::uint8_t>(productId_ >> 8);
    const std::vector<std::uint8_t> configuration = sim::usb::DefaultConfigurationDescriptor();
    descriptors.insert(descriptors.end(), configuration.begin(), configuration.end());

    char ids[64];
    std::snprintf(ids, sizeof ids, "A: idVendor=%04x\\n\nA: idProduct=%04x\\n\n", vendorId_,
                  productId_);
    const std::string number = node.substr(node.size() - 3);
    const std::string record = std::string("P: ") + (SysfsPath + 4) + "\n" +
                               "N: " + node.substr(5) + "\n" +
                               "E: SUBSYSTEM=usb\n"
                               "E: DEVTYPE=usb_device\n"
                               "E: BUSNUM=001\n"
                               "E: DEVNUM=" +
                               number + "\nE: DEVNAME=" + node +
                               "\n"
                               "A: busnum=1\\n\n"
                               "A: devnum=" +
                               std::to_string(address_) +
                               "\\n\n"
                               "A: bConfigurationValue=1\\n\n"
                               "A: speed=12\\n\n" +
                               ids + "H: descriptors=" + Hex(descriptors) + "\n";
    if (!umockdev_testbed_add_from_string(testbed_, record.c_str(), &error)) {
        std::string message = error != nullptr ? error->message : "add failed";
        g_clear_error(&error);
        throw std::runtime_error("umockdev: " + message);
    }
    return true;
}

void MockChip::Unplug() {
    const std::string node = Path();
    {
        std::lock_guard lock(mutex_);
        if (!plugged_) {
            return;
        }
        plugged_ = false;
    }
    umockdev_testbed_uevent(testbed_, SysfsPath, "remove");
    umockdev_testbed_remove_device(testbed_, SysfsPath);
    umockdev_testbed_detach_ioctl(testbed_, node.c_str(), nullptr);
}

bool MockChip::Plugged() const {
    std::lock_guard lock(mutex_);
    return plugged_;
}

std::string MockChip::Path() const {
    std::lock_guard lock(mutex_);
    char path[32];
    std::snprintf(path, sizeof path, "/dev/bus/usb/001/%03d", address_);
    return path;
}

void MockChip::SetStall(bool stall) {
    std::lock_guard lock(mutex_);
    stall_ = stall;
}

std::vector<SetupPacket> MockChip::Setups() const {
    std::lock_guard lock(mutex_);
    return setups_;
}

int MockChip::HandleIoctl(UMockdevIoctlBase*, UMockdevIoctlClient* client, void* self) {
    return static_cast<MockChip*>(self)->Ioctl(client);
}

// usbfs releases what a file claimed when the file is closed.
void MockChip::ClientVanished(UMockdevIoctlBase*, UMockdevIoctlClient* client, void* self) {
    auto* chip = static_cast<MockChip*>(self);
    std::lock_guard lock(chip->mutex_);
    if (chip->claimant_ == client) {
        chip->claimant_ = nullptr;
    }
}

// Runs on the testbed's thread, once per usbfs ioctl of the client.
int MockChip::Ioctl(UMockdevIoctlClient* client) {
    std::lock_guard lock(mutex_);
    UMockdevIoctlData* arg = umockdev_ioctl_client_get_arg(client);
    const gulong request = umockdev_ioctl_client_get_request(client);
    // usbfs answers every request on a node whose device is gone with ENODEV.
    if (!plugged_ && request != USBDEVFS_REAPURBNDELAY && request != USBDEVFS_REAPURB) {
        umockdev_ioctl_client_complete(client, -1, ENODEV);
        return TRUE;
    }
    switch (request) {
    case USBDEVFS_GET_CAPABILITIES: {
        UMockdevIoctlData* caps = umockdev_ioctl_data_resolve(arg, 0, sizeof(guint32), nullptr);
        *reinterpret_cast<guint32*>(caps->data) = USBDEVFS_CAP_REAP_AFTER_DISCONNECT;
        g_object_unref(caps);
        umockdev_ioctl_client_complete(client, 0, 0);
        return TRUE;
    }
    case USBDEVFS_CLAIMINTERFACE:
    case USBDEVFS_RELEASEINTERFACE: {
        // The chip has one interface, number 0, and one file at a time holds it.
        UMockdevIoctlData* number = umockdev_ioctl_data_resolve(arg, 0, sizeof(guint32), nullptr);
        const bool known = *reinterpret_cast<guint32*>(number->data) == 0;
        g_object_unref(number);
        int error = known ? 0 : EINVAL;
        if (known && request == USBDEVFS_CLAIMINTERFACE) {
            if (claimant_ != nullptr && claimant_ != client) {
                error = EBUSY;
            } else {
                claimant_ = client;
            }
        } else if (known) {
            if (claimant_ == client) {
                claimant_ = nullptr;
            } else {
                error = EINVAL;
            }
        }
        umockdev_ioctl_client_complete(client, error != 0 ? -1 : 0, error);
        return TRUE;
    }
    case USBDEVFS_SUBMITURB: {
        UMockdevIoctlData* urb =
            umockdev_ioctl_data_resolve(arg, 0, sizeof(struct usbdevfs_urb), nullptr);
        Complete(client, urb);
        return TRUE;
    }
    case USBDEVFS_REAPURB:
    case USBDEVFS_REAPURBNDELAY: {
        if (reapable_.empty()) {
            umockdev_ioctl_client_complete(client, -1, plugged_ ? EAGAIN : ENODEV);
            return TRUE;
        }
        UMockdevIoctlData* urb = reapable_.front();
        reapable_.erase(reapable_.begin());
        UMockdevIoctlData* pointer = umockdev_ioctl_data_resolve(arg, 0, sizeof(void*), nullptr);
        umockdev_ioctl_data_set_ptr(pointer, 0, urb);
        g_object_unref(pointer);
        g_object_unref(urb);
        umockdev_ioctl_client_complete(client, 0, 0);
        return TRUE;
    }
    default:
        umockdev_ioctl_client_complete(client, -1, ENOTTY);
        return TRUE;
    }
}

// A control URB is carried out at once by the chip model; it waits to be
// reaped. Anything but a control transfer is refused, as the chip has no
// use for its bulk endpoints.
void MockChip::Complete(UMockdevIoctlClient* client, UMockdevIoctlData* urbData) {
    auto* urb = reinterpret_cast<struct usbdevfs_urb*>(urbData->data);
    if (urb->type != USBDEVFS_URB_TYPE_CONTROL ||
        urb->buffer_length < static_cast<int>(SetupSize)) {
        g_object_unref(urbData);
        umockdev_ioctl_client_complete(client, -1, EINVAL);
        return;
    }
    UMockdevIoctlData* bufferData = umockdev_ioctl_data_resolve(
        urbData, G_STRUCT_OFFSET(struct usbdevfs_urb, buffer), urb->buffer_length, nullptr);
    std::uint8_t* buffer = bufferData->data;

    SetupPacket setup;
    setup.requestType = buffer[0];
    setup.request = buffer[1];
    setup.value = static_cast<std::uint16_t>(buffer[2] | buffer[3] << 8);
    setup.index = static_cast<std::uint16_t>(buffer[4] | buffer[5] << 8);
    setup.length = static_cast<std::uint16_t>(buffer[6] | buffer[7] << 8);
    const std::uint32_t room = static_cast<std::uint32_t>(urb->buffer_length) - SetupSize;
    const std::uint32_t length = std::min<std::uint32_t>(setup.length, room);
    std::uint8_t* data = buffer + SetupSize;
    const bool in = (setup.requestType & 0x80) != 0;
    if (!in) {
        setup.dataOut.assign(data, data + length);
    }
    setups_.push_back(setup);

    urb->status = 0;
    urb->actual_length = 0;
    if (stall_) {
        urb->status = -EPIPE;
    } else {
        sim::usb::VendorSetup vendor;
        vendor.requestTypeBits = static_cast<std::uint8_t>(setup.requestType & 0x1F);
        vendor.request = setup.request;
        vendor.value = setup.value;
        vendor.index = setup.index;
        vendor.in = in;
        const sim::usb::VendorResult result = chip_.VendorRequest(vendor, data, length);
        if (result.stalled) {
            urb->status = -EPIPE;
        } else {
            urb->actual_length = static_cast<int>(result.bytesMoved);
        }
    }
    g_object_unref(bufferData);
    reapable_.push_back(urbData);
    umockdev_ioctl_client_complete(client, 0, 0);
}

} // namespace morlix::test
