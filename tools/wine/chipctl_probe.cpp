// Requests straight to the driver through the native calls, good and bad, each held against
// the status the driver must give and against what the bus carried for it.
#include "chipctl.h"

#include <winternl.h>

#include <cstdio>
#include <cstring>
#include <vector>

namespace chipctl {

namespace {

using NtDeviceIoControlFileFn = NTSTATUS(NTAPI*)(HANDLE, HANDLE, PIO_APC_ROUTINE, PVOID,
                                                 PIO_STATUS_BLOCK, ULONG, PVOID, ULONG, PVOID,
                                                 ULONG);
using NtReadWriteFileFn = NTSTATUS(NTAPI*)(HANDLE, HANDLE, PIO_APC_ROUTINE, PVOID, PIO_STATUS_BLOCK,
                                           PVOID, ULONG, PLARGE_INTEGER, PULONG);

constexpr LONG kSuccess = 0;
constexpr LONG kInvalidParameter = static_cast<LONG>(0xC000000D);
constexpr LONG kBufferTooSmall = static_cast<LONG>(0xC0000023);
constexpr LONG kNotImplemented = static_cast<LONG>(0xC0000002);

constexpr ULONG kGetConfigDescriptor = 0x220000;
constexpr ULONG kResetPortIfDisabled = 0x220004;
constexpr ULONG kResetPipe = 0x220008;

struct Answer {
    LONG status;
    ULONG_PTR information;
};

class Prober {
public:
    Prober(const vbus::BusClient& bus, HANDLE chip) : bus_(bus), chip_(chip) {
        HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
        ioctl_ = reinterpret_cast<NtDeviceIoControlFileFn>(
            reinterpret_cast<void*>(GetProcAddress(ntdll, "NtDeviceIoControlFile")));
        read_ = reinterpret_cast<NtReadWriteFileFn>(
            reinterpret_cast<void*>(GetProcAddress(ntdll, "NtReadFile")));
        write_ = reinterpret_cast<NtReadWriteFileFn>(
            reinterpret_cast<void*>(GetProcAddress(ntdll, "NtWriteFile")));
    }

    bool Ready() const { return ioctl_ && read_ && write_; }

    Answer Control(ULONG code, void* in, ULONG inLength, void* out, ULONG outLength) {
        IO_STATUS_BLOCK io{};
        const NTSTATUS status =
            ioctl_(chip_, nullptr, nullptr, nullptr, &io, code, in, inLength, out, outLength);
        return {static_cast<LONG>(status), status >= 0 ? io.Information : 0};
    }

    Answer Read(bool write) {
        unsigned char buffer[8] = {};
        IO_STATUS_BLOCK io{};
        LARGE_INTEGER offset{};
        const NTSTATUS status = (write ? write_ : read_)(chip_, nullptr, nullptr, nullptr, &io,
                                                         buffer, sizeof buffer, &offset, nullptr);
        return {static_cast<LONG>(status), 0};
    }

    // One check: its answer, what was expected, and whether the bus saw what it should.
    void Check(const char* what, Answer got, LONG expected, bool busAsExpected,
               const std::string& busText) {
        const bool ok = got.status == expected && busAsExpected;
        failures_ += ok ? 0 : 1;
        std::printf("%s %s: status 0x%08lX (expected 0x%08lX), %lu bytes; %s\n",
                    ok ? "ok  " : "FAIL", what, static_cast<unsigned long>(got.status),
                    static_cast<unsigned long>(expected),
                    static_cast<unsigned long>(got.information), busText.c_str());
    }

    vbus::BusState State() const {
        vbus::BusState state{};
        bus_.State(state);
        return state;
    }

    int Failures() const { return failures_; }

private:
    const vbus::BusClient& bus_;
    HANDLE chip_;
    NtDeviceIoControlFileFn ioctl_ = nullptr;
    NtReadWriteFileFn read_ = nullptr;
    NtReadWriteFileFn write_ = nullptr;
    int failures_ = 0;
};

std::string TransferText(const vbus::TransferRecord& t) {
    char text[160];
    std::snprintf(text, sizeof text,
                  "bus carried type bits %u request %u value 0x%04X index 0x%04X flags %u length "
                  "%u%s, moved %u",
                  t.requestTypeBits, t.request, t.value, t.index, t.transferFlags, t.askedLength,
                  t.hadBuffer ? " with buffer" : "", t.bytesMoved);
    return text;
}

} // namespace

int Probe(const vbus::BusClient& bus) {
    HANDLE chip = OpenChip();
    if (chip == INVALID_HANDLE_VALUE) {
        std::fprintf(stderr, "chipctl: cannot open the published device\n");
        return 1;
    }
    Prober p(bus, chip);
    if (!p.Ready()) {
        std::fprintf(stderr, "chipctl: ntdll lacks the native I/O calls\n");
        CloseHandle(chip);
        return 1;
    }
    const vbus::BusState before = p.State();
    unsigned char buffer[64];
    auto packet = [&](unsigned char major, unsigned char a, unsigned char b, unsigned extra) {
        const unsigned char header[8] = {8,
                                         18,
                                         major,
                                         10,
                                         a,
                                         b,
                                         static_cast<unsigned char>(extra),
                                         static_cast<unsigned char>(extra >> 8)};
        std::memset(buffer, 0, sizeof buffer);
        std::memcpy(buffer, header, sizeof header);
    };
    // The newest transfer the bus carried, if one more than `count` was carried.
    auto newTransfer = [&](unsigned count, vbus::TransferRecord& record) {
        const vbus::BusState now = p.State();
        if (now.transfers != count + 1) {
            return false;
        }
        const std::vector<vbus::TransferRecord> records = bus.Transfers(count);
        if (records.size() != 1) {
            return false;
        }
        record = records[0];
        return true;
    };
    vbus::TransferRecord t{};
    unsigned count = p.State().transfers;

    // The console's write: strobe high on the lines the last word left (no word latched).
    packet(10, 0x55, 0x07, 0);
    Answer a = p.Control(kVendorRequest, buffer, 8, buffer, 8);
    bool seen = newTransfer(count, t);
    p.Check("write-ports packet", a, kSuccess,
            seen && a.information == 0 && t.requestTypeBits == 8 && t.request == 18 &&
                t.value == 0x0A0A && t.index == 0x0755 && t.transferFlags == 0 &&
                t.askedLength == 0 && !t.hadBuffer,
            seen ? TransferText(t) : "bus carried no single transfer");
    count = p.State().transfers;

    packet(11, 0, 0, 0);
    a = p.Control(kVendorRequest, buffer, 8, buffer, 8);
    seen = newTransfer(count, t);
    const unsigned serial =
        buffer[0] | buffer[1] << 8 | buffer[2] << 16 | static_cast<unsigned>(buffer[3]) << 24;
    p.Check("serial-number packet", a, kSuccess,
            seen && a.information == 4 && serial == p.State().serialNumber && t.request == 18 &&
                t.value == 0x0A0B && t.index == 0 && t.transferFlags == 3 && t.askedLength == 8,
            (seen ? TransferText(t) : std::string("bus carried no single transfer")) +
                ", reply serial " + std::to_string(serial));
    count = p.State().transfers;

    // A data stage of 20 bytes asked for is cut to 8; the packet carries 16 bytes.
    packet(10, 0x55, 0x07, 20);
    a = p.Control(kVendorRequest, buffer, 16, buffer, 8);
    seen = newTransfer(count, t);
    p.Check("write with ExtraLength 20", a, kSuccess,
            seen && t.askedLength == 8 && t.hadBuffer && t.transferFlags == 0,
            seen ? TransferText(t) : "bus carried no single transfer");
    count = p.State().transfers;

    packet(10, 0x55, 0x07, 0);
    a = p.Control(kVendorRequest, buffer, 7, buffer, 8);
    p.Check("short packet (7 bytes)", a, kInvalidParameter, p.State().transfers == count,
            "bus carried " + std::to_string(p.State().transfers - count) + " transfers");

    packet(10, 0x55, 0x07, 3);
    a = p.Control(kVendorRequest, buffer, 8, buffer, 8);
    p.Check("packet shorter than its ExtraLength", a, kInvalidParameter,
            p.State().transfers == count,
            "bus carried " + std::to_string(p.State().transfers - count) + " transfers");

    a = p.Control(0x22202C, buffer, 8, buffer, 8);
    p.Check("unknown control code 0x22202C", a, kInvalidParameter, p.State().transfers == count,
            "bus carried " + std::to_string(p.State().transfers - count) + " transfers");

    std::memset(buffer, 0, sizeof buffer);
    a = p.Control(kGetConfigDescriptor, nullptr, 0, buffer, 8);
    p.Check("configuration descriptor into 8 bytes", a, kBufferTooSmall, a.information == 0,
            "nothing copied");

    std::memset(buffer, 0, sizeof buffer);
    a = p.Control(kGetConfigDescriptor, nullptr, 0, buffer, sizeof buffer);
    const unsigned total = buffer[2] | buffer[3] << 8;
    p.Check("configuration descriptor into 64 bytes", a, kSuccess,
            a.information == total && total == 32 && buffer[0] == 9 && buffer[1] == 2,
            "descriptor of " + std::to_string(total) + " bytes");

    vbus::BusState s = p.State();
    a = p.Control(kResetPipe, nullptr, 0, nullptr, 0);
    p.Check("pipe reset on a handle without a pipe", a, kInvalidParameter,
            p.State().pipeResets == s.pipeResets,
            "bus reset " + std::to_string(p.State().pipeResets - s.pipeResets) + " pipes");

    s = p.State();
    a = p.Control(kResetPortIfDisabled, nullptr, 0, nullptr, 0);
    p.Check("port reset while the port is enabled", a, kSuccess,
            p.State().portStatusQueries == s.portStatusQueries + 1 &&
                p.State().portResets == s.portResets,
            "bus answered " + std::to_string(p.State().portStatusQueries - s.portStatusQueries) +
                " status queries, " + std::to_string(p.State().portResets - s.portResets) +
                " resets");

    a = p.Read(false);
    p.Check("read", a, kNotImplemented, true, "refused by the driver");
    a = p.Read(true);
    p.Check("write", a, kNotImplemented, true, "refused by the driver");

    const vbus::BusState after = p.State();
    const bool noWord = after.words == before.words;
    std::printf("%s no word latched by any of these: %u before, %u after\n",
                noWord ? "ok  " : "FAIL", before.words, after.words);
    CloseHandle(chip);
    const int failures = p.Failures() + (noWord ? 0 : 1);
    std::printf("probe: %d failure%s\n", failures, failures == 1 ? "" : "s");
    return failures == 0 ? 0 : 1;
}

} // namespace chipctl
