// A handle held open on the chip while it is pulled out, or while the bus goes away.
#include "chipctl.h"

#include "usb_link.h"
#include "win32_platform.h"

#include <cstdio>

namespace chipctl {

// The path the driver published, read as the console reads it.
std::string PublishedPath() {
    morlix::Win32Platform platform;
    morlix::UsbLink link(platform);
    const std::string value = link.QueryRegString(morlix::RootLocalMachine, morlix::DeviceNameKey,
                                                  morlix::DeviceNameValue, "");
    return value.substr(0, value.find('\0'));
}

HANDLE OpenChip() {
    const std::string path = PublishedPath();
    if (path.empty()) {
        return INVALID_HANDLE_VALUE;
    }
    return CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE,
                       FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
}

bool ReadSerial(HANDLE chip, unsigned& serial, DWORD& error) {
    unsigned char packet[8] = {8, 18, 11, 10, 0, 0, 0, 0};
    DWORD returned = 0;
    if (!DeviceIoControl(chip, kVendorRequest, packet, 8, packet, 8, &returned, nullptr)) {
        error = GetLastError();
        return false;
    }
    serial = packet[0] | packet[1] << 8 | packet[2] << 16 | static_cast<unsigned>(packet[3]) << 24;
    return true;
}

int HoldUnplug(const vbus::BusClient& bus) {
    HANDLE chip = OpenChip();
    unsigned serial = 0;
    DWORD error = 0;
    if (chip == INVALID_HANDLE_VALUE || !ReadSerial(chip, serial, error)) {
        std::fprintf(stderr, "chipctl: the chip does not answer on an open handle\n");
        return 1;
    }
    std::printf("handle open, serial number %u\n", serial);
    std::string text;
    if (!bus.Unplug(text)) {
        std::fprintf(stderr, "chipctl: unplug: %s\n", text.c_str());
        return 1;
    }
    std::printf("chip pulled out; its device is removed\n");
    const bool stale = !ReadSerial(chip, serial, error);
    std::printf("%s request on the stale handle: %s (error %lu)\n", stale ? "ok  " : "FAIL",
                stale ? "fails" : "succeeds", stale ? error : 0ul);
    const BOOL closed = CloseHandle(chip);
    std::printf("stale handle closed: %s\n", closed ? "yes" : "no");
    if (!bus.Plug(text)) {
        std::fprintf(stderr, "chipctl: plug: %s\n", text.c_str());
        return 1;
    }
    morlix::Win32Platform platform;
    morlix::UsbLink link(platform);
    const unsigned again = link.QuerySerialNumber();
    vbus::BusState state{};
    bus.State(state);
    const bool back = again == state.serialNumber && again != 0;
    std::printf("%s chip plugged again; the console's poll reads serial number %u\n",
                back ? "ok  " : "FAIL", again);
    return stale && back ? 0 : 1;
}

int HoldRemove(const vbus::BusClient& bus) {
    HANDLE chip = OpenChip();
    unsigned serial = 0;
    DWORD error = 0;
    if (chip == INVALID_HANDLE_VALUE || !ReadSerial(chip, serial, error)) {
        std::fprintf(stderr, "chipctl: the chip does not answer on an open handle\n");
        return 1;
    }
    std::printf("holding an open handle, serial number %u\n", serial);
    std::fflush(stdout);
    std::string text;
    if (!bus.WaitFor([](const vbus::BusState& s) { return !s.busStarted && !s.childPresent; },
                     "the bus was not removed", text)) {
        std::fprintf(stderr, "chipctl: %s\n", text.c_str());
        CloseHandle(chip);
        return 1;
    }
    const bool stale = !ReadSerial(chip, serial, error);
    std::printf("%s request on the handle after the removal: %s (error %lu)\n",
                stale ? "ok  " : "FAIL", stale ? "fails" : "succeeds", stale ? error : 0ul);
    const BOOL closed = CloseHandle(chip);
    vbus::BusState state{};
    const bool alive = bus.State(state);
    std::printf("handle closed: %s; bus driver %s\n", closed ? "yes" : "no",
                alive ? "still answers" : "GONE");
    return stale && alive ? 0 : 1;
}

} // namespace chipctl
