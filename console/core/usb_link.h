// The device link: one short device cycle per action (open, send, close),
// with the path the driver published in the registry.
#pragma once

#include "platform.h"

#include <array>
#include <cstdint>
#include <string>

namespace morlix {

using Packet = std::array<std::uint8_t, 8>; // CommandPacket header as the console sends it
using Reply = std::array<std::uint8_t, 8>;

inline constexpr Dword IOCTL_VENDOR_REQUEST = 0x222028;
inline constexpr const char* DeviceNameKey =
    "System\\CurrentControlSet\\Services\\Tarvik\\Norvask\\Parameters\\";
inline constexpr const char* DeviceNameValue = "DeviceName";
inline constexpr const char* DeviceNotFound = "Device Not Found!";

inline constexpr std::uint8_t MajorWritePorts = 10;
inline constexpr std::uint8_t MajorReadSerial = 11;
inline constexpr std::uint8_t MinorPorts = 10;

class UsbLink {
public:
    explicit UsbLink(Platform& platform) : platform_(platform) {}

    // Module-public state, as the rest of the console sees it.
    std::int32_t hDevice = 0;
    std::string DevicePath;

    std::string QueryRegString(RegKey root, const std::string& subKey,
                               const std::string& valueName, const std::string& defaultValue);
    bool OpenDevice();
    Reply SendPacket(Packet& packet);
    Bool CloseDevice();

    // One serial-number poll: open, send the read packet, close. Reply bytes
    // 0-3 little-endian, unsigned; 0 means no device answered.
    std::uint32_t QuerySerialNumber();

    Platform& platform() { return platform_; }

private:
    Platform& platform_;
};

} // namespace morlix
