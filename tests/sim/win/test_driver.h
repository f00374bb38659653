// A minimal function driver for exercising the simulated platform: it
// registers a device interface, admits opens, forwards vendor packets to
// the bus as vendor request blocks (completing the caller's request from the
// bus request's completion routine) and passes Plug and Play and power
// requests down. What it saw is kept for the tests to read.
#pragma once

#include "sim/kernel/usb.h"
#include "sim/kernel/wdm.h"

#include "norvask_contract.h"

#include <atomic>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace simtest {

inline constexpr sim::wdm::ULONG IoctlVendor = contract::IOCTL_VENDOR_REQUEST;
// Echoes its input reversed and claims `input length` bytes back.
inline constexpr sim::wdm::ULONG IoctlEcho = 0x222100;

struct TestDriverLog {
    std::mutex mutex;
    std::vector<sim::wdm::UCHAR> majors;     // every request that reached the dispatch
    std::vector<std::u16string> createNames; // FileName of each create
    std::vector<sim::wdm::UCHAR> pnpMinors;
    int addDeviceCalls = 0;
    // The last vendor completion: IRQL and thread it ran in.
    std::atomic<int> completionIrql{-1};
    std::thread::id completionThread;
    std::thread::id dispatchThread;
    sim::wdm::PDEVICE_OBJECT fdo = nullptr;
    sim::wdm::PDEVICE_OBJECT lower = nullptr;
    std::u16string linkName;
    bool deleted = false;
};

TestDriverLog& Log();
void ResetLog();

sim::wdm::NTSTATUS TestDriverEntry(sim::wdm::PDRIVER_OBJECT driver,
                                   sim::wdm::PUNICODE_STRING registryPath);

// "\\.\..." path of the first enabled interface, or "".
std::string FirstInterfacePath();

} // namespace simtest
