#include "usb_platform.h"

#include "ansi_text.h"
#include "usb_link.h"

#include "core/command_packet.h"
#include "sim/registry/registry.h"

#include <libusb.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <memory>
#include <vector>

namespace morlix::usb {

namespace {

namespace core = norvask::core;
using sim::registry::RegRoot;

constexpr Long ErrorInvalidHandleCode = 6;
constexpr Long ErrorInvalidParameterCode = 87;
constexpr Long ErrorAccessDeniedCode = 5;
constexpr Dword ErrorFileNotFoundCode = 2;
constexpr Dword RegCreatedNewKey = 1;
constexpr Dword RegOpenedExistingKey = 2;

// Key paths compare as the registry compares them: by component, ignoring
// case and empty components ("A\\B\\" names the same key as "a\\b").
std::vector<std::string> Components(const std::string& path) {
    std::vector<std::string> parts;
    std::string part;
    for (char c : path + '\\') {
        if (c != '\\') {
            part += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        } else if (!part.empty()) {
            parts.push_back(part);
            part.clear();
        }
    }
    return parts;
}

bool IsStringType(Dword type) {
    return type == RegSz || type == RegExpandSz || type == RegMultiSz;
}

std::string Join(const std::string& base, const char* subKey) {
    if (subKey == nullptr || *subKey == '\0') {
        return base;
    }
    return base.empty() ? std::string(subKey) : base + "\\" + subKey;
}

struct DeviceUnref {
    void operator()(libusb_device* device) const { libusb_unref_device(device); }
};
using DeviceRef = std::unique_ptr<libusb_device, DeviceUnref>;

// The first attached device with our identifiers. Each call asks libusb
// afresh, so a chip that was pulled out or plugged in again is seen at once.
DeviceRef FindChip(libusb_context* context, const UsbOptions& options) {
    if (context == nullptr) {
        return nullptr;
    }
    libusb_device** list = nullptr;
    const ssize_t count = libusb_get_device_list(context, &list);
    DeviceRef chip;
    for (ssize_t i = 0; i < count && !chip; ++i) {
        libusb_device_descriptor descriptor{};
        if (libusb_get_device_descriptor(list[i], &descriptor) == LIBUSB_SUCCESS &&
            descriptor.idVendor == options.vendorId && descriptor.idProduct == options.productId) {
            chip.reset(libusb_ref_device(list[i]));
        }
    }
    if (count >= 0) {
        libusb_free_device_list(list, 1);
    }
    return chip;
}

// The chip's usbfs node names it while it stays on its port; plugged in
// again it gets a new address, and the old path names nothing.
std::string PathOf(libusb_device* device) {
    char path[32];
    std::snprintf(path, sizeof path, "/dev/bus/usb/%03u/%03u", libusb_get_bus_number(device),
                  libusb_get_device_address(device));
    return path;
}

} // namespace

UsbPlatform::UsbPlatform(sim::registry::Registry& settings, const UsbOptions& options)
    : settings_(settings), options_(options) {
    if (libusb_init(&context_) != LIBUSB_SUCCESS) {
        context_ = nullptr;
    }
}

UsbPlatform::~UsbPlatform() {
    if (device_ != nullptr) {
        libusb_release_interface(device_, 0);
        libusb_close(device_);
    }
    if (context_ != nullptr) {
        libusb_exit(context_);
    }
}

Dword UsbPlatform::LastError() const {
    std::lock_guard lock(mutex_);
    return lastError_;
}

Bool UsbPlatform::Fail(Dword error) {
    lastError_ = error;
    return 0;
}

// ---- The chip ----

std::string UsbPlatform::AttachedPath() {
    std::lock_guard lock(mutex_);
    const DeviceRef chip = FindChip(context_, options_);
    return chip ? PathOf(chip.get()) : std::string();
}

// Access, sharing and disposition are not looked at: the driver's create
// handler does not look at them either.
Handle UsbPlatform::CreateFileA(const char* fileName, Dword, Dword, void*, Dword, Dword, Handle) {
    std::lock_guard lock(mutex_);
    if (fileName == nullptr) {
        Fail(ErrorInvalidParameter);
        return InvalidHandleValue;
    }
    // As the driver admits one handle: a second open fails while one is held.
    if (device_ != nullptr) {
        Fail(ErrorPipeBusy);
        return InvalidHandleValue;
    }
    // Only the path of the chip attached now opens; a stale one names nothing.
    const DeviceRef chip = FindChip(context_, options_);
    if (!chip || PathOf(chip.get()) != fileName) {
        Fail(ErrorFileNotFoundCode);
        return InvalidHandleValue;
    }
    libusb_device_handle* device = nullptr;
    int rc = libusb_open(chip.get(), &device);
    // Claiming the interface keeps every other program off the chip, as the
    // driver's single handle does on Windows.
    if (rc == LIBUSB_SUCCESS && (rc = libusb_claim_interface(device, 0)) != LIBUSB_SUCCESS) {
        libusb_close(device);
    }
    if (rc != LIBUSB_SUCCESS) {
        Fail(rc == LIBUSB_ERROR_BUSY ? ErrorPipeBusy : ErrorAccessDenied);
        return InvalidHandleValue;
    }
    device_ = device;
    handle_ = nextHandle_;
    nextHandle_ += 4;
    return handle_;
}

Bool UsbPlatform::DeviceIoControl(Handle device, Dword ioControlCode, void* inBuffer,
                                  Dword inBufferSize, void* outBuffer, Dword outBufferSize,
                                  Dword* bytesReturned, void* overlapped) {
    std::lock_guard lock(mutex_);
    if (bytesReturned != nullptr) {
        *bytesReturned = 0;
    }
    if (device_ == nullptr || device != handle_) {
        return Fail(ErrorInvalidHandle);
    }
    if (overlapped != nullptr) {
        return Fail(ErrorInvalidParameter); // the handle is never opened for overlapped I/O
    }
    if ((inBuffer == nullptr && inBufferSize != 0) ||
        (outBuffer == nullptr && outBufferSize != 0)) {
        return Fail(ErrorNoAccess);
    }
    // Only the vendor request is carried; the driver answers any code it
    // does not serve with an invalid-parameter status.
    if (ioControlCode != IOCTL_VENDOR_REQUEST) {
        return Fail(ErrorInvalidParameter);
    }
    return VendorRequest(inBuffer, inBufferSize, outBuffer, outBufferSize, bytesReturned);
}

// One vendor control transfer, as Norvask makes it: a buffered request's
// one system buffer, the driver's own packet mapping and length checks, and
// a bus error that still succeeds with the bytes that moved.
Bool UsbPlatform::VendorRequest(void* inBuffer, Dword inBufferSize, void* outBuffer,
                                Dword outBufferSize, Dword* bytesReturned) {
    std::vector<std::uint8_t> system(std::max(inBufferSize, outBufferSize));
    if (inBufferSize != 0) {
        std::memcpy(system.data(), inBuffer, inBufferSize);
    }
    core::VendorTransferPlan plan{};
    if (!core::PlanVendorTransfer(system.data(), inBufferSize, outBufferSize, !system.empty(),
                                  &plan)) {
        return Fail(ErrorInvalidParameter);
    }
    // A vendor request to the device in the planned direction. The packet's
    // RequestType byte has done its part in choosing that direction; on
    // Windows the bus stack, not the driver, decides what else it becomes.
    const auto requestType =
        static_cast<std::uint8_t>(static_cast<unsigned>(LIBUSB_REQUEST_TYPE_VENDOR) |
                                  static_cast<unsigned>(LIBUSB_RECIPIENT_DEVICE) |
                                  (plan.directionIn ? LIBUSB_ENDPOINT_IN : LIBUSB_ENDPOINT_OUT));
    unsigned char* data = plan.hasData ? system.data() + plan.dataOffset : nullptr;
    const int rc = libusb_control_transfer(
        device_, requestType, plan.request, plan.value, plan.index, data,
        static_cast<std::uint16_t>(plan.dataLength), options_.timeoutMilliseconds);
    // A chip that is gone fails the request, as the driver fails requests
    // once its device is removed; every other bus error is still a success.
    if (rc == LIBUSB_ERROR_NO_DEVICE) {
        return Fail(ErrorAccessDenied);
    }
    const auto moved = static_cast<core::u32>(rc < 0 ? 0 : rc);
    const core::u32 returned = core::VendorReplyLength(moved, plan.dataLength, outBufferSize);
    // What the caller receives is the start of the system buffer.
    if (returned != 0) {
        std::memcpy(outBuffer, system.data(), returned);
    }
    if (bytesReturned != nullptr) {
        *bytesReturned = returned;
    }
    return 1;
}

Bool UsbPlatform::CloseHandle(Handle object) {
    std::lock_guard lock(mutex_);
    if (device_ == nullptr || object != handle_) {
        return Fail(ErrorInvalidHandle);
    }
    libusb_release_interface(device_, 0);
    libusb_close(device_);
    device_ = nullptr;
    handle_ = 0;
    return 1;
}

// ---- The registry ----

// Keys are the device's Parameters key under HKEY_LOCAL_MACHINE, which the
// installation creates and nothing here writes, and the settings keys under
// HKEY_CURRENT_USER. Nothing else of HKEY_LOCAL_MACHINE is there.
std::optional<UsbPlatform::OpenKey> UsbPlatform::Resolve(RegKey key, const char* subKey) const {
    if (key == RootLocalMachine) {
        if (subKey != nullptr && Components(subKey) == Components(DeviceNameKey)) {
            return OpenKey{true, ""};
        }
        return std::nullopt;
    }
    if (key == RootCurrentUser) {
        return OpenKey{false, Join("", subKey)};
    }
    const auto it = keys_.find(key);
    if (it == keys_.end() || (it->second.deviceKey && subKey != nullptr && *subKey != '\0')) {
        return std::nullopt;
    }
    return OpenKey{it->second.deviceKey, Join(it->second.path, subKey)};
}

RegKey UsbPlatform::NewKey(OpenKey key) {
    const RegKey handle = nextKey_;
    nextKey_ += 4;
    keys_[handle] = std::move(key);
    return handle;
}

Long UsbPlatform::RegOpenKeyExA(RegKey key, const char* subKey, Dword, Dword, RegKey* result) {
    std::lock_guard lock(mutex_);
    if (result == nullptr) {
        return ErrorInvalidParameterCode;
    }
    *result = 0;
    const bool known = key == RootLocalMachine || key == RootCurrentUser || keys_.count(key) != 0;
    if (!known) {
        return ErrorInvalidHandleCode;
    }
    std::optional<OpenKey> target = Resolve(key, subKey);
    if (!target || (!target->deviceKey && !target->path.empty() &&
                    !settings_.KeyExists(RegRoot::CurrentUser, target->path))) {
        return ErrorFileNotFound;
    }
    *result = NewKey(std::move(*target));
    return ErrorSuccess;
}

Long UsbPlatform::RegQueryValueExA(RegKey key, const char* valueName, Dword* reserved, Dword* type,
                                   std::uint8_t* data, Dword* dataSize) {
    std::lock_guard lock(mutex_);
    if (reserved != nullptr || (data != nullptr && dataSize == nullptr)) {
        return ErrorInvalidParameterCode;
    }
    const auto it = keys_.find(key);
    if (it == keys_.end()) {
        return ErrorInvalidHandleCode;
    }
    const std::string name = valueName == nullptr ? "" : valueName;

    std::string bytes;
    Dword valueType = RegSz;
    if (it->second.deviceKey) {
        // The path of the chip attached now, with its NUL, as the driver
        // publishes it; no value at all while none is attached.
        const DeviceRef chip = FindChip(context_, options_);
        if (Components(name) != Components(DeviceNameValue) || !chip) {
            return ErrorFileNotFound;
        }
        bytes = PathOf(chip.get());
        bytes += '\0';
    } else {
        const auto value = settings_.GetValue(RegRoot::CurrentUser, it->second.path, name);
        if (!value) {
            return ErrorFileNotFound;
        }
        valueType = value->type;
        bytes.assign(value->data.begin(), value->data.end());
        if (IsStringType(valueType)) {
            // Stored as UTF-16, terminators as stored; the A call gives ANSI.
            std::u16string wide(bytes.size() / 2, u'\0');
            for (std::size_t i = 0; i < wide.size(); ++i) {
                wide[i] = static_cast<char16_t>(static_cast<std::uint8_t>(bytes[2 * i]) |
                                                static_cast<std::uint8_t>(bytes[2 * i + 1]) << 8);
            }
            bytes = Utf8ToAnsi(sim::registry::Utf16ToUtf8(wide));
        }
    }
    if (type != nullptr) {
        *type = valueType;
    }
    if (dataSize == nullptr) {
        return ErrorSuccess;
    }
    const auto needed = static_cast<Dword>(bytes.size());
    if (data != nullptr && *dataSize < needed) {
        *dataSize = needed;
        return ErrorMoreData;
    }
    if (data != nullptr && needed != 0) {
        std::memcpy(data, bytes.data(), needed);
    }
    *dataSize = needed;
    return ErrorSuccess;
}

Long UsbPlatform::RegCreateKeyExA(RegKey key, const char* subKey, Dword reserved, char*, Dword,
                                  Dword, void*, RegKey* result, Dword* disposition) {
    std::lock_guard lock(mutex_);
    if (result == nullptr || reserved != 0) {
        return ErrorInvalidParameterCode;
    }
    *result = 0;
    const auto it = keys_.find(key);
    const bool localMachine =
        key == RootLocalMachine || (it != keys_.end() && it->second.deviceKey);
    if (localMachine) {
        return ErrorAccessDeniedCode; // the machine's keys are not the console's to write
    }
    if (key != RootCurrentUser && it == keys_.end()) {
        return ErrorInvalidHandleCode;
    }
    std::optional<OpenKey> target = Resolve(key, subKey);
    if (!target) {
        return ErrorInvalidHandleCode;
    }
    bool existed = true;
    if (!target->path.empty()) {
        existed = settings_.KeyExists(RegRoot::CurrentUser, target->path);
        if (!existed && !settings_.CreateKey(RegRoot::CurrentUser, target->path)) {
            return ErrorInvalidParameterCode;
        }
    }
    if (disposition != nullptr) {
        *disposition = existed ? RegOpenedExistingKey : RegCreatedNewKey;
    }
    *result = NewKey(std::move(*target));
    return ErrorSuccess;
}

Long UsbPlatform::RegSetValueExA(RegKey key, const char* valueName, Dword reserved, Dword type,
                                 const std::uint8_t* data, Dword dataSize) {
    std::lock_guard lock(mutex_);
    if (reserved != 0 || (data == nullptr && dataSize != 0)) {
        return ErrorInvalidParameterCode;
    }
    const auto it = keys_.find(key);
    if (key == RootLocalMachine || key == RootCurrentUser || it == keys_.end()) {
        return ErrorInvalidHandleCode; // values on the roots themselves are not ours to write
    }
    if (it->second.deviceKey) {
        return ErrorAccessDeniedCode;
    }
    std::vector<std::uint8_t> bytes;
    if (IsStringType(type)) {
        // The A call takes ANSI text; the store keeps UTF-16, as the system does.
        const std::string utf8 =
            AnsiToUtf8(std::string_view(reinterpret_cast<const char*>(data), dataSize));
        for (char16_t c : sim::registry::Utf8ToUtf16(utf8)) {
            bytes.push_back(static_cast<std::uint8_t>(c & 0xFF));
            bytes.push_back(static_cast<std::uint8_t>(c >> 8));
        }
    } else if (dataSize != 0) {
        bytes.assign(data, data + dataSize);
    }
    if (!settings_.SetValue(RegRoot::CurrentUser, it->second.path,
                            valueName == nullptr ? "" : valueName, type, bytes.data(),
                            bytes.size())) {
        return ErrorInvalidParameterCode;
    }
    return ErrorSuccess;
}

Long UsbPlatform::RegCloseKey(RegKey key) {
    std::lock_guard lock(mutex_);
    if (key == RootLocalMachine || key == RootCurrentUser) {
        return ErrorSuccess;
    }
    return keys_.erase(key) == 1 ? ErrorSuccess : ErrorInvalidHandleCode;
}

} // namespace morlix::usb
