// The console's platform over libusb: the chip itself on Linux, no kernel
// driver. Each Win32 call the console makes is answered the way Norvask and
// the system would answer it on Windows:
//
//   RegQueryValueExA "DeviceName"  the chip's usbfs path while one with our
//                                  vendor and product id is attached, else
//                                  no such value
//   CreateFileA                    opens that chip and claims interface 0;
//                                  one handle at a time
//   DeviceIoControl                IOCTL_VENDOR_REQUEST only: the packet is
//                                  mapped by the driver's own code onto one
//                                  vendor control transfer
//   CloseHandle                    releases the interface and closes
//
// The console's settings (every other registry call) live in a registry
// store that the front end loads from and saves to its settings file.
#pragma once

#include "platform.h"

#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <string>

struct libusb_context;
struct libusb_device_handle;

namespace sim::registry {
class Registry;
}

namespace morlix::usb {

// Win32 error codes this platform reports through LastError().
inline constexpr Dword ErrorAccessDenied = 5;
inline constexpr Dword ErrorInvalidHandle = 6;
inline constexpr Dword ErrorInvalidParameter = 87;
inline constexpr Dword ErrorPipeBusy = 231;
inline constexpr Dword ErrorNoAccess = 998;

struct UsbOptions {
    // The INF's placeholder identifiers until the chip's real ones are known.
    std::uint16_t vendorId = 0xFFFF;
    std::uint16_t productId = 0xFFFF;
    // A control transfer that takes longer fails like any bus error.
    unsigned timeoutMilliseconds = 1000;
};

class UsbPlatform : public Platform {
public:
    explicit UsbPlatform(sim::registry::Registry& settings, const UsbOptions& options = {});
    ~UsbPlatform() override;
    UsbPlatform(const UsbPlatform&) = delete;
    UsbPlatform& operator=(const UsbPlatform&) = delete;

    // False when libusb could not start: no chip is ever found then.
    bool Ready() const { return context_ != nullptr; }
    // The error of the last call that failed, as GetLastError would give it.
    Dword LastError() const;
    // The path "DeviceName" gives now; empty while no chip is attached.
    std::string AttachedPath();

    Long RegOpenKeyExA(RegKey key, const char* subKey, Dword options, Dword samDesired,
                       RegKey* result) override;
    Long RegQueryValueExA(RegKey key, const char* valueName, Dword* reserved, Dword* type,
                          std::uint8_t* data, Dword* dataSize) override;
    Long RegCreateKeyExA(RegKey key, const char* subKey, Dword reserved, char* keyClass,
                         Dword options, Dword samDesired, void* securityAttributes, RegKey* result,
                         Dword* disposition) override;
    Long RegSetValueExA(RegKey key, const char* valueName, Dword reserved, Dword type,
                        const std::uint8_t* data, Dword dataSize) override;
    Long RegCloseKey(RegKey key) override;

    Handle CreateFileA(const char* fileName, Dword desiredAccess, Dword shareMode,
                       void* securityAttributes, Dword creationDisposition,
                       Dword flagsAndAttributes, Handle templateFile) override;
    Bool DeviceIoControl(Handle device, Dword ioControlCode, void* inBuffer, Dword inBufferSize,
                         void* outBuffer, Dword outBufferSize, Dword* bytesReturned,
                         void* overlapped) override;
    Bool CloseHandle(Handle object) override;

private:
    // An open registry key: the device's Parameters key, or a settings key.
    struct OpenKey {
        bool deviceKey;
        std::string path; // under HKEY_CURRENT_USER, for settings keys
    };
    std::optional<OpenKey> Resolve(RegKey key, const char* subKey) const;
    RegKey NewKey(OpenKey key);
    Bool VendorRequest(void* inBuffer, Dword inBufferSize, void* outBuffer, Dword outBufferSize,
                       Dword* bytesReturned);
    Bool Fail(Dword error);

    sim::registry::Registry& settings_;
    const UsbOptions options_;
    libusb_context* context_ = nullptr;

    mutable std::mutex mutex_;
    Dword lastError_ = 0;
    std::map<RegKey, OpenKey> keys_;
    RegKey nextKey_ = 0x2000;
    // The one open handle, if any.
    libusb_device_handle* device_ = nullptr;
    Handle handle_ = 0;
    Handle nextHandle_ = 0x100;
};

} // namespace morlix::usb
