#include "vbus_client.h"

namespace vbus {

BusClient::BusClient()
    : handle_(CreateFileA(VBUS_CONTROL_PATH, GENERIC_READ | GENERIC_WRITE,
                          FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr)) {
}

BusClient::~BusClient() {
    if (Open()) {
        CloseHandle(handle_);
    }
}

bool BusClient::State(BusState& state) const {
    DWORD returned = 0;
    return Open() &&
           DeviceIoControl(handle_, IOCTL_VBUS_GET_STATE, nullptr, 0, &state, sizeof state,
                           &returned, nullptr) &&
           returned >= sizeof state;
}

bool BusClient::Plugged() const {
    BusState state{};
    return State(state) && state.plugged;
}

std::vector<unsigned short> BusClient::Words(unsigned int first) const {
    std::vector<unsigned short> words;
    std::vector<unsigned short> chunk(4096);
    while (Open()) {
        const unsigned int at = first + static_cast<unsigned int>(words.size());
        DWORD returned = 0;
        if (!DeviceIoControl(handle_, IOCTL_VBUS_READ_WORDS, const_cast<unsigned*>(&at), sizeof at,
                             chunk.data(), static_cast<DWORD>(chunk.size() * sizeof chunk[0]),
                             &returned, nullptr) ||
            returned == 0) {
            break;
        }
        words.insert(words.end(), chunk.begin(), chunk.begin() + returned / sizeof chunk[0]);
    }
    return words;
}

std::vector<TransferRecord> BusClient::Transfers(unsigned int first) const {
    std::vector<TransferRecord> records(kTransferLogCapacity);
    DWORD returned = 0;
    if (!Open() || !DeviceIoControl(handle_, IOCTL_VBUS_READ_TRANSFERS,
                                    const_cast<unsigned*>(&first), sizeof first, records.data(),
                                    static_cast<DWORD>(records.size() * sizeof records[0]),
                                    &returned, nullptr)) {
        returned = 0;
    }
    records.resize(returned / sizeof records[0]);
    return records;
}

bool BusClient::Unplug(std::string& error) const {
    if (!Plugged()) {
        error = "the chip is not plugged";
        return false;
    }
    if (!Call(IOCTL_VBUS_UNPLUG)) {
        error = "the bus refused (error " + std::to_string(GetLastError()) + ")";
        return false;
    }
    return WaitFor([](const BusState& s) { return !s.childPresent; },
                   "the chip's device was not removed", error);
}

bool BusClient::Plug(std::string& error) const {
    if (Plugged()) {
        error = "the chip is already plugged";
        return false;
    }
    if (!Call(IOCTL_VBUS_PLUG)) {
        error = "the bus refused (error " + std::to_string(GetLastError()) + ")";
        return false;
    }
    return WaitFor([](const BusState& s) { return s.configured != 0; },
                   "the driver did not start on the chip", error);
}

bool BusClient::WaitFor(const std::function<bool(const BusState&)>& done, const char* timeoutText,
                        std::string& error) const {
    const DWORD start = GetTickCount();
    BusState state{};
    for (;;) {
        if (!State(state)) {
            error = "the bus does not answer";
            return false;
        }
        if (done(state)) {
            return true;
        }
        if (GetTickCount() - start > kPnpTimeoutMs) {
            error = timeoutText;
            return false;
        }
        Sleep(20);
    }
}

bool BusClient::Call(DWORD code) const {
    DWORD returned = 0;
    return Open() && DeviceIoControl(handle_, code, nullptr, 0, nullptr, 0, &returned, nullptr);
}

std::string WordsLine(const std::vector<unsigned short>& words) {
    std::string text =
        "latched " + std::to_string(words.size()) + (words.size() == 1 ? " word" : " words") + ":";
    for (unsigned short w : words) {
        text += ' ';
        text += std::to_string(w);
    }
    return text + "\n";
}

} // namespace vbus
