// chipctl: drives the chip on the virtual bus as the console does, through the real Win32
// calls: the console's own handlers and device link behind a window kept in memory, with
// morlixctl's command words, and the words the coil driver latched read back from the bus.
//
//   chipctl run COMMAND...     commands as arguments (type X 1000 click Max coil)
//   chipctl script             commands from standard input, one per line
//   chipctl probe              bad and good requests straight to the driver, with its statuses
//   chipctl hold-unplug        the chip is pulled out while a handle is open, then comes back
//   chipctl hold-remove        holds a handle open until the bus is removed
//   chipctl unplug | plug      pull the chip out or plug it in, and wait until that is done
//   chipctl words FIRST        the latched words from index FIRST on
//   chipctl state              the bus's state
//   chipctl time N             N presets of 8 words each, timed
//
// Every run starts without stored console settings and leaves none, as morlixctl does
// without --registry.
#include "commands.h"
#include "form_main.h"
#include "headless_window.h"
#include "layout.h"
#include "usb_link.h"
#include "win32_platform.h"

#define WIN32_LEAN_AND_MEAN
#include <windows.h>
#include <winternl.h>

#include "vbus_control.h"

#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

using morlix::ControlId;
using morlix::cli::Command;
using morlix::cli::Verb;

constexpr DWORD kPnpTimeoutMs = 30000;
const char kSettingsKey[] = "SOFTWARE\\Veltrane\\Morlix";

// ---- The bus's control device ----------------------------------------------------------------

class Bus {
public:
    Bus() {
        handle_ =
            CreateFileA(VBUS_CONTROL_PATH, GENERIC_READ | GENERIC_WRITE,
                        FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
    }
    ~Bus() {
        if (Open()) {
            CloseHandle(handle_);
        }
    }
    Bus(const Bus&) = delete;
    Bus& operator=(const Bus&) = delete;

    bool Open() const { return handle_ != INVALID_HANDLE_VALUE; }

    bool State(vbus::BusState& state) const {
        DWORD returned = 0;
        return DeviceIoControl(handle_, vbus::IOCTL_VBUS_GET_STATE, nullptr, 0, &state,
                               sizeof state, &returned, nullptr) &&
               returned >= sizeof state;
    }

    std::vector<unsigned short> Words(unsigned int first) const {
        std::vector<unsigned short> words;
        std::vector<unsigned short> chunk(4096);
        for (;;) {
            const unsigned int at = first + static_cast<unsigned int>(words.size());
            DWORD returned = 0;
            if (!DeviceIoControl(handle_, vbus::IOCTL_VBUS_READ_WORDS, const_cast<unsigned*>(&at),
                                 sizeof at, chunk.data(),
                                 static_cast<DWORD>(chunk.size() * sizeof chunk[0]), &returned,
                                 nullptr) ||
                returned == 0) {
                return words;
            }
            words.insert(words.end(), chunk.begin(), chunk.begin() + returned / sizeof chunk[0]);
        }
    }

    std::vector<vbus::TransferRecord> Transfers(unsigned int first) const {
        std::vector<vbus::TransferRecord> records(vbus::kTransferLogCapacity);
        DWORD returned = 0;
        if (!DeviceIoControl(handle_, vbus::IOCTL_VBUS_READ_TRANSFERS,
                             const_cast<unsigned*>(&first), sizeof first, records.data(),
                             static_cast<DWORD>(records.size() * sizeof records[0]), &returned,
                             nullptr)) {
            returned = 0;
        }
        records.resize(returned / sizeof records[0]);
        return records;
    }

    // Both wait until Plug and Play has finished with the chip's device.
    bool Unplug(std::string& error) const {
        if (!Plugged()) {
            error = "the chip is not plugged";
            return false;
        }
        if (!Call(vbus::IOCTL_VBUS_UNPLUG)) {
            error = "the bus refused (error " + std::to_string(GetLastError()) + ")";
            return false;
        }
        return WaitFor([](const vbus::BusState& s) { return !s.childPresent; },
                       "the chip's device was not removed", error);
    }

    bool Plug(std::string& error) const {
        if (!Call(vbus::IOCTL_VBUS_PLUG)) {
            error = "the chip is already plugged";
            return false;
        }
        return WaitFor([](const vbus::BusState& s) { return s.configured != 0; },
                       "the driver did not start on the chip", error);
    }

    bool Plugged() const {
        vbus::BusState state{};
        return State(state) && state.plugged;
    }

    template <typename Done>
    bool WaitFor(Done done, const char* timeoutText, std::string& error) const {
        const DWORD start = GetTickCount();
        vbus::BusState state{};
        while (State(state) && !done(state)) {
            if (GetTickCount() - start > kPnpTimeoutMs) {
                error = timeoutText;
                return false;
            }
            Sleep(20);
        }
        return done(state);
    }

private:
    bool Call(DWORD code) const {
        DWORD returned = 0;
        return DeviceIoControl(handle_, code, nullptr, 0, nullptr, 0, &returned, nullptr) != 0;
    }

    HANDLE handle_;
};

std::string WordsLine(const std::vector<unsigned short>& words) {
    std::string text =
        "latched " + std::to_string(words.size()) + (words.size() == 1 ? " word" : " words") + ":";
    for (unsigned short w : words) {
        text += ' ';
        text += std::to_string(w);
    }
    return text + "\n";
}

void ForgetSettings() {
    RegDeleteKeyA(HKEY_CURRENT_USER, kSettingsKey);
}

// ---- The console ---------------------------------------------------------------------------

std::string Quoted(const std::string& text) {
    return "\"" + text + "\"";
}

std::string ColorText(morlix::Color color) {
    if (color == morlix::ColorBlack) {
        return "black";
    }
    if (color == morlix::ColorRed) {
        return "red";
    }
    return "rgb(" + std::to_string(color & 0xFF) + "," + std::to_string((color >> 8) & 0xFF) + "," +
           std::to_string((color >> 16) & 0xFF) + ")";
}

std::string Twips(float value) {
    char buffer[32];
    auto [end, error] = std::to_chars(buffer, buffer + sizeof buffer, value);
    return error == std::errc{} ? std::string(buffer, end) : std::string("?");
}

const char* ZOrderText(morlix::ZOrder order) {
    switch (order) {
    case morlix::ZOrder::Topmost:
        return "topmost";
    case morlix::ZOrder::Bottom:
        return "bottom";
    case morlix::ZOrder::Normal:
        break;
    }
    return "normal";
}

class Console {
public:
    explicit Console(const Bus& bus) : bus_(bus), link_(platform_), form_(window_, link_) {
        window_.Attach(&form_);
        vbus::BusState state{};
        bus_.State(state);
        wordsShown_ = state.words;
    }

    bool Start() {
        window_.Load();
        return window_.Shown();
    }

    void Finish() {
        if (window_.Shown()) {
            window_.Unload();
        }
    }

    morlix::HeadlessWindow& window() { return window_; }

    // As morlixctl runs them; false once quit.
    bool Run(const Command& command) {
        if (!window_.Shown()) {
            return false;
        }
        std::string error;
        switch (command.verb) {
        case Verb::Type:
            window_.SetFocus(command.control);
            window_.SelectAll(command.control);
            window_.Type(command.control, command.text);
            break;
        case Verb::Append:
            window_.SetFocus(command.control);
            window_.Select(command.control, morlix::CharCount(window_.Text(command.control)), 0);
            window_.Type(command.control, command.text);
            break;
        case Verb::Paste:
            window_.SetFocus(command.control);
            window_.SelectAll(command.control);
            window_.Paste(command.control, command.text);
            break;
        case Verb::Clear:
            window_.SetFocus(command.control);
            window_.Clear(command.control);
            break;
        case Verb::Backspace:
            window_.SetFocus(command.control);
            window_.Backspace(command.control);
            break;
        case Verb::Key:
            if (command.control != ControlId::FormWindow) {
                window_.SetFocus(command.control);
            }
            window_.PressKey(command.keyCode, command.shift);
            break;
        case Verb::Click:
            window_.Click(command.control);
            break;
        case Verb::Focus:
            window_.SetFocus(command.control);
            break;
        case Verb::Tick:
            for (int i = 0; i < command.count; ++i) {
                window_.Tick(ControlId::tmrSN);
            }
            break;
        case Verb::Show:
            std::fputs(DescribeWindow().c_str(), stdout);
            break;
        case Verb::Coil: {
            vbus::BusState state{};
            bus_.State(state);
            const std::vector<unsigned short> words = bus_.Words(wordsShown_);
            wordsShown_ += static_cast<unsigned int>(words.size());
            std::fputs(WordsLine(words).c_str(), stdout);
            std::printf("chip: %s\n", state.plugged ? "plugged" : "not plugged");
            break;
        }
        case Verb::Unplug:
            if (!bus_.Unplug(error)) {
                std::fprintf(stderr, "unplug: %s\n", error.c_str());
            }
            break;
        case Verb::Plug:
            if (bus_.Plugged()) {
                std::fprintf(stderr, "plug: the chip is already plugged\n");
            } else if (!bus_.Plug(error)) {
                std::fprintf(stderr, "plug: %s\n", error.c_str());
            }
            break;
        case Verb::Help:
            std::fputs(morlix::cli::HelpText(), stdout);
            break;
        case Verb::Quit:
            return false;
        }
        std::fflush(stdout);
        return window_.Shown();
    }

    std::string DescribeWindow() const {
        std::string text = "window " + Quoted(window_.Layout().caption) +
                           " top=" + Twips(window_.Top()) + " left=" + Twips(window_.Left()) +
                           " z-order=" + ZOrderText(window_.Stacking()) +
                           " focus=" + morlix::ControlName(window_.Focus()) + "\n";
        const struct {
            ControlId box;
            ControlId label;
        } rows[] = {{ControlId::txtAmpX, ControlId::lblAmpX},
                    {ControlId::txtAmpY, ControlId::lblAmpY},
                    {ControlId::TxtPhase, ControlId::lblPhase}};
        for (const auto& row : rows) {
            text += std::string(morlix::ControlName(row.box)) + " " +
                    Quoted(window_.Text(row.box)) + "  " + morlix::ControlName(row.label) + " " +
                    Quoted(window_.Caption(row.label)) + " " +
                    ColorText(window_.ForeColor(row.label)) + "\n";
        }
        text += "lblSerNum " + Quoted(window_.Caption(ControlId::lblSerNum)) + " " +
                ColorText(window_.ForeColor(ControlId::lblSerNum)) + "\n";
        text += "chkOnTop " + std::to_string(window_.CheckValue(ControlId::chkOnTop)) + "\n";
        return text;
    }

private:
    const Bus& bus_;
    morlix::Win32Platform platform_;
    morlix::HeadlessWindow window_;
    morlix::UsbLink link_;
    morlix::formMain form_;
    unsigned int wordsShown_ = 0;
};

int RunCommands(const Bus& bus, const std::vector<Command>& commands, bool fromInput) {
    ForgetSettings();
    Console console(bus);
    if (!console.Start()) {
        std::fprintf(stderr, "chipctl: the console ended at start\n");
        return 1;
    }
    if (!fromInput) {
        for (const Command& command : commands) {
            if (!console.Run(command)) {
                break;
            }
        }
    } else {
        char line[4096];
        for (long number = 1; std::fgets(line, sizeof line, stdin); ++number) {
            std::string text(line);
            while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) {
                text.pop_back();
            }
            const morlix::cli::LineResult parsed = morlix::cli::ParseLine(text);
            if (!parsed.error.empty()) {
                std::fprintf(stderr, "chipctl: line %ld: %s\n", number, parsed.error.c_str());
                continue;
            }
            if (parsed.command && !console.Run(*parsed.command)) {
                break;
            }
        }
    }
    console.Finish();
    ForgetSettings();
    return 0;
}

// ---- Requests straight to the driver ----------------------------------------------------------

using NtDeviceIoControlFileFn = NTSTATUS(NTAPI*)(HANDLE, HANDLE, PIO_APC_ROUTINE, PVOID,
                                                 PIO_STATUS_BLOCK, ULONG, PVOID, ULONG, PVOID,
                                                 ULONG);
using NtReadWriteFileFn = NTSTATUS(NTAPI*)(HANDLE, HANDLE, PIO_APC_ROUTINE, PVOID, PIO_STATUS_BLOCK,
                                           PVOID, ULONG, PLARGE_INTEGER, PULONG);

constexpr LONG kSuccess = 0;
constexpr LONG kInvalidParameter = static_cast<LONG>(0xC000000D);
constexpr LONG kBufferTooSmall = static_cast<LONG>(0xC0000023);
constexpr LONG kNotImplemented = static_cast<LONG>(0xC0000002);

constexpr ULONG kVendorRequest = 0x222028;
constexpr ULONG kGetConfigDescriptor = 0x220000;
constexpr ULONG kResetPortIfDisabled = 0x220004;
constexpr ULONG kResetPipe = 0x220008;

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

struct Answer {
    LONG status;
    ULONG_PTR information;
};

class Prober {
public:
    Prober(const Bus& bus, HANDLE chip) : bus_(bus), chip_(chip) {
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
    const Bus& bus_;
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

int Probe(const Bus& bus) {
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

// One serial-number read on an open handle; the reply's serial number, or nothing.
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

int HoldUnplug(const Bus& bus) {
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

int HoldRemove(const Bus& bus) {
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

int Time(const Bus& bus, int presets) {
    ForgetSettings();
    Console console(bus);
    if (!console.Start()) {
        return 1;
    }
    vbus::BusState before{};
    bus.State(before);
    LARGE_INTEGER frequency, start, end;
    QueryPerformanceFrequency(&frequency);
    QueryPerformanceCounter(&start);
    for (int i = 0; i < presets; ++i) {
        console.window().Click(ControlId::cmdMax);
    }
    QueryPerformanceCounter(&end);
    vbus::BusState after{};
    bus.State(after);
    console.Finish();
    ForgetSettings();
    const double ms = 1000.0 * static_cast<double>(end.QuadPart - start.QuadPart) /
                      static_cast<double>(frequency.QuadPart);
    const unsigned words = after.words - before.words;
    if (words == 0) {
        std::fprintf(stderr, "chipctl: no word latched\n");
        return 1;
    }
    std::printf("%u coil words in %.1f ms: %.3f ms per word (open, 3 requests, close)\n", words, ms,
                ms / words);
    return 0;
}

void PrintState(const vbus::BusState& s) {
    std::printf("bus started %u; chip plugged %u, device %u, started %u, configured %u; serial "
                "number %u; words %u; transfers %u; descriptor reads %u; pipe resets %u, aborts "
                "%u; port status queries %u, resets %u; devices created %u, removed %u\n",
                s.busStarted, s.plugged, s.childPresent, s.childStarted, s.configured,
                s.serialNumber, s.words, s.transfers, s.descriptorReads, s.pipeResets, s.pipeAborts,
                s.portStatusQueries, s.portResets, s.childrenCreated, s.childrenRemoved);
}

int Usage() {
    std::fprintf(stderr, "usage: chipctl run COMMAND... | script | probe | hold-unplug | "
                         "hold-remove | unplug | plug | words FIRST | state | time N\n");
    return 2;
}

bool ParseCount(const char* text, unsigned long long limit, unsigned long long& value) {
    char* end = nullptr;
    value = std::strtoull(text, &end, 10);
    return *text && !*end && text[0] != '-' && value <= limit;
}

} // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        return Usage();
    }
    const std::string command = argv[1];
    unsigned long long number = 0;
    const bool known =
        command == "run" ||
        (argc == 2 && (command == "script" || command == "probe" || command == "hold-unplug" ||
                       command == "hold-remove" || command == "unplug" || command == "plug" ||
                       command == "state")) ||
        (argc == 3 && command == "words" && ParseCount(argv[2], 0xFFFFFFFF, number)) ||
        (argc == 3 && command == "time" && ParseCount(argv[2], 10000, number) && number > 0);
    if (!known) {
        return Usage();
    }
    std::vector<Command> commands;
    if (command == "run") {
        std::vector<std::string> words(argv + 2, argv + argc);
        const morlix::cli::ArgumentsResult parsed = morlix::cli::ParseArguments(words);
        if (!parsed.errors.empty()) {
            for (const std::string& error : parsed.errors) {
                std::fprintf(stderr, "chipctl: %s\n", error.c_str());
            }
            return 2;
        }
        commands = parsed.commands;
    }

    Bus bus;
    if (!bus.Open()) {
        std::fprintf(stderr, "chipctl: the virtual bus is not loaded (%s)\n", VBUS_CONTROL_PATH);
        return 1;
    }
    std::string error;
    if (command == "run" || command == "script") {
        return RunCommands(bus, commands, command == "script");
    }
    if (command == "probe") {
        return Probe(bus);
    }
    if (command == "hold-unplug") {
        return HoldUnplug(bus);
    }
    if (command == "hold-remove") {
        return HoldRemove(bus);
    }
    if (command == "unplug" || command == "plug") {
        const bool ok = command == "unplug" ? bus.Unplug(error) : bus.Plug(error);
        if (!ok) {
            std::fprintf(stderr, "chipctl: %s: %s\n", command.c_str(), error.c_str());
            return 1;
        }
        return 0;
    }
    if (command == "words") {
        std::fputs(WordsLine(bus.Words(static_cast<unsigned>(number))).c_str(), stdout);
        return 0;
    }
    if (command == "time") {
        return Time(bus, static_cast<int>(number));
    }
    vbus::BusState state{};
    if (!bus.State(state)) {
        std::fprintf(stderr, "chipctl: the bus does not answer\n");
        return 1;
    }
    PrintState(state);
    return 0;
}
