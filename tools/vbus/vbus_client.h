// A program's side of the virtual bus's control device: the bus's state, the log of latched
// words and carried transfers, and the chip pulled out and plugged in again, each waiting
// until Plug and Play has finished with the chip's device.
#pragma once

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include "vbus_control.h"

#include <functional>
#include <string>
#include <vector>

namespace vbus {

// How long Plug and Play may take to add or remove the chip's device.
inline constexpr DWORD kPnpTimeoutMs = 30000;

class BusClient {
public:
    BusClient();
    ~BusClient();
    BusClient(const BusClient&) = delete;
    BusClient& operator=(const BusClient&) = delete;

    // Whether the bus's control device could be opened: false where no virtual bus runs.
    bool Open() const { return handle_ != INVALID_HANDLE_VALUE; }

    bool State(BusState& state) const;
    bool Plugged() const;
    // The latched words from index `first` on, every one there is.
    std::vector<unsigned short> Words(unsigned int first) const;
    // The carried transfers from index `first` on, as many as the log still keeps.
    std::vector<TransferRecord> Transfers(unsigned int first) const;

    // False with the reason when the chip is not (or already) plugged, the bus refused, or
    // Plug and Play did not finish in time.
    bool Unplug(std::string& error) const;
    bool Plug(std::string& error) const;

    // Polls the bus's state until `done` holds; false with `timeoutText` after kPnpTimeoutMs,
    // or when the bus stops answering.
    bool WaitFor(const std::function<bool(const BusState&)>& done, const char* timeoutText,
                 std::string& error) const;

private:
    bool Call(DWORD code) const;

    HANDLE handle_;
};

// "latched 3 words: 1 2 3" and a line end, as morlixctl's `coil` prints it.
std::string WordsLine(const std::vector<unsigned short>& words);

} // namespace vbus
