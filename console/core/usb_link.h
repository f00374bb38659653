// The device link: one short device cycle per action (open, send, close),
// with the path the driver published in the registry.
#pragma once

#include "platform.h"

#include "norvask_contract.h"

#include <array>
#include <cstdint>
#include <string>

namespace morlix {

// The CommandPacket header as the console sends it, and the reply it reads back.
using Packet = std::array<std::uint8_t, contract::PacketHeaderLength>;
using Reply = std::array<std::uint8_t, contract::MaxReplyLength>;

using contract::IOCTL_VENDOR_REQUEST;
// Written with the trailing backslash, as the console always has.
inline constexpr const char* DeviceNameKey = NORVASK_PARAMETERS_KEY "\\";
inline constexpr const char* DeviceNameValue = contract::DeviceNameValue;
inline constexpr const char* DeviceNotFound = "Device Not Found!";

using contract::MajorReadSerial;
using contract::MajorWritePorts;
using contract::MinorPorts;

class UsbLink {
public:
    explicit UsbLink(Platform& platform) : platform_(platform) {}

    // Module-public state, as the rest of the console sees it.
    std::int32_t hDevice = 0;
    std::string DevicePath;

    // The whole 255-byte read buffer (value bytes, then the spaces it was
    // filled with), as UTF-8; the default when the value cannot be read or
    // its text leaves no room for a NUL in the buffer.
    std::string QueryRegString(RegKey root, const std::string& subKey, const std::string& valueName,
                               const std::string& defaultValue);
    // Sets DevicePath and hDevice; false (path "Device Not Found!") unless
    // a handle above 0 was obtained.
    bool OpenDevice();
    // Sends only while hDevice > 0, stamping bytes 0-1 of the caller's
    // packet; the reply is all zero unless the call succeeded.
    Reply SendPacket(Packet& packet);
    // Closes whatever hDevice holds (also 0 or -1) and sets it to 0.
    Bool CloseDevice();

    // One serial-number poll: open, send the read packet, close. Reply bytes
    // 0-3 little-endian, unsigned; 0 means no device answered.
    std::uint32_t QuerySerialNumber();

    Platform& platform() { return platform_; }

private:
    // The value as QueryRegString returns it, read into `out` (whose storage is reused); false
    // when the default applies. `ascii` tells whether `out` is plain ASCII. Both names are ANSI.
    bool ReadRegText(RegKey root, const char* subKey, const char* valueName, std::string& out,
                     bool& ascii);

    Platform& platform_;
};

} // namespace morlix
