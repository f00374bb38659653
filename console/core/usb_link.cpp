#include "usb_link.h"

#include "ansi_text.h"

#include <algorithm>
#include <vector>

namespace morlix {

namespace {

constexpr Dword RegBufferSize = 255;

// The console's own names are plain ASCII: they go out as they are, unscanned.
constexpr bool IsAsciiLiteral(const char* text) {
    for (; *text != '\0'; ++text) {
        if (static_cast<unsigned char>(*text) >= 0x80) {
            return false;
        }
    }
    return true;
}
static_assert(IsAsciiLiteral(DeviceNameKey) && IsAsciiLiteral(DeviceNameValue));

} // namespace

bool UsbLink::ReadRegText(RegKey root, const char* subKey, const char* valueName, std::string& out,
                          bool& ascii) {
    out.assign(RegBufferSize, ' ');
    Dword size = RegBufferSize;
    Dword type = 0;
    RegKey key = 0;
    platform_.RegOpenKeyExA(root, subKey, 0, KeyQueryValue, &key);
    const Long rc = platform_.RegQueryValueExA(key, valueName, nullptr, &type,
                                               reinterpret_cast<std::uint8_t*>(out.data()), &size);
    platform_.RegCloseKey(key);

    if (rc != ErrorSuccess || size > RegBufferSize) {
        return false;
    }
    // A text that fills the whole buffer has no room for its NUL: it is
    // longer than any path the buffer can carry.
    if (size == RegBufferSize && out.back() != '\0') {
        return false;
    }
    // The whole buffer goes back: text, NUL, then the untouched spaces (which need no look).
    ascii = IsAscii(std::string_view(out).substr(0, size));
    if (!ascii) {
        out = AnsiToUtf8(out);
    }
    return true;
}

std::string UsbLink::QueryRegString(RegKey root, const std::string& subKey,
                                    const std::string& valueName, const std::string& defaultValue) {
    // Plain ASCII names, as the console's own are, go out as they are.
    std::string ansiKey, ansiName;
    const char* keyText = subKey.c_str();
    const char* nameText = valueName.c_str();
    if (!IsAscii(subKey)) {
        ansiKey = Utf8ToAnsi(subKey);
        keyText = ansiKey.c_str();
    }
    if (!IsAscii(valueName)) {
        ansiName = Utf8ToAnsi(valueName);
        nameText = ansiName.c_str();
    }
    std::string value;
    bool ascii = true;
    if (!ReadRegText(root, keyText, nameText, value, ascii)) {
        return defaultValue;
    }
    return value;
}

bool UsbLink::OpenDevice() {
    // Read straight into the path, whose buffer one cycle leaves for the next; the default is "".
    bool ascii = true;
    if (!ReadRegText(RootLocalMachine, DeviceNameKey, DeviceNameValue, DevicePath, ascii)) {
        DevicePath.clear();
    }
    if (DevicePath.empty()) {
        DevicePath = DeviceNotFound;
        return false;
    }
    // The path goes out as a NUL-terminated ANSI string: only the text
    // before the first NUL counts.
    std::string ansiPath;
    const char* pathText = DevicePath.c_str();
    if (!ascii) {
        ansiPath = Utf8ToAnsi(DevicePath);
        pathText = ansiPath.c_str();
    }
    const Handle h =
        platform_.CreateFileA(pathText, GenericRead | GenericWrite, FileShareRead | FileShareWrite,
                              nullptr, OpenExisting, 0, 0);
    hDevice = static_cast<std::int32_t>(h);
    if (hDevice < 1) {
        DevicePath = DeviceNotFound;
        return false;
    }
    return true;
}

Reply UsbLink::SendPacket(Packet& packet) {
    Reply reply{};
    if (hDevice <= 0) {
        return reply;
    }
    packet[contract::OffRequestType] = contract::ConsoleRequestType;
    packet[contract::OffRequestCode] = contract::ConsoleRequestCode;
    const Dword extraLength = static_cast<Dword>(packet[contract::OffExtraLength] |
                                                 packet[contract::OffExtraLength + 1] << 8);
    const Dword inLength = contract::PacketHeaderLength + extraLength;

    // The console's packet is the bare header. Should a caller ever announce
    // data bytes, they follow as zeros so that the call never reads past the
    // packet.
    std::vector<std::uint8_t> padded;
    void* in = packet.data();
    if (extraLength != 0) {
        padded.assign(inLength, 0);
        std::copy(packet.begin(), packet.end(), padded.begin());
        in = padded.data();
    }

    Reply buffer{};
    Dword returned = 0;
    const Bool ok = platform_.DeviceIoControl(
        static_cast<Handle>(hDevice), IOCTL_VENDOR_REQUEST, in, inLength, buffer.data(),
        static_cast<Dword>(buffer.size()), &returned, nullptr);
    // Success is judged on the low 16 bits of the result, as it always was.
    if ((ok & 0xFFFF) != 0) {
        reply = buffer;
    }
    return reply;
}

Bool UsbLink::CloseDevice() {
    const Bool rc = platform_.CloseHandle(static_cast<Handle>(hDevice));
    hDevice = 0;
    return rc;
}

std::uint32_t UsbLink::QuerySerialNumber() {
    OpenDevice();
    Packet packet{0, 0, MajorReadSerial, MinorPorts, 0, 0, 0, 0};
    const Reply reply = SendPacket(packet);
    CloseDevice();
    // Unsigned: a serial of 2^31 or more is the number it is, and only 0
    // means that no chip answered.
    return static_cast<std::uint32_t>(reply[0]) | static_cast<std::uint32_t>(reply[1]) << 8 |
           static_cast<std::uint32_t>(reply[2]) << 16 | static_cast<std::uint32_t>(reply[3]) << 24;
}

} // namespace morlix
