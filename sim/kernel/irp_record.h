// The verifier's record of each request, shared by the files of the request code (irp.cpp and
// irp_checks.cpp). Not for use outside sim/kernel.
#pragma once

#include "sim/kernel/internal.h"

#include <bitset>
#include <cstddef>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

namespace sim::kernel::detail::irps {

constexpr int kMaxStack = 64;
constexpr size_t kQuarantine = 4096;
constexpr unsigned char kFreedFill = 0xDF;
constexpr unsigned char kGuardFill = 0xFD;

constexpr size_t kStatusAt = offsetof(IRP, IoStatus);
constexpr size_t kStatusEnd = kStatusAt + sizeof(IO_STATUS_BLOCK);

enum class IrpState { Idle, InFlight, Completed, Freed };

struct IrpRecord {
    IrpOwner owner = IrpOwner::Driver;
    IrpState state = IrpState::Idle;
    PDRIVER_OBJECT allocator = nullptr;
    size_t bytes = 0;
    std::bitset<kMaxStack + 2> markedPending;   // IoMarkIrpPending per location
    std::bitset<kMaxStack + 2> returnedPending; // dispatch at that location returned pending
    std::bitset<kMaxStack + 2> startNext;       // PoStartNextPowerIrp per location
    PDEVICE_OBJECT locationDevice[kMaxStack + 2] = {};
    std::bitset<kMaxStack + 2> routineAt; // a completion routine waits in that location
    // Locations entered through IofCallDriver. One that the allocator claimed for itself with
    // IoSetNextIrpStackLocation is not, and at its completion routine the allocator holds the
    // request again, as at the top.
    std::bitset<kMaxStack + 2> entered;
    // The next location was set up (copied to, or fetched with IoGetNextIrpStackLocation to be
    // filled) since the location above it became current.
    std::bitset<kMaxStack + 2> prepared;
    // The completion routine in each location as the driver of that location received it, to
    // tell one that a driver set in its own location after skipping it.
    PIO_COMPLETION_ROUTINE receivedRoutine[kMaxStack + 2] = {};
    PVOID receivedContext[kMaxStack + 2] = {};
    UCHAR receivedControl[kMaxStack + 2] = {};
    // The location whose driver holds the request; StackCount + 1 while its allocator (or the
    // I/O manager) does.
    int currentLocation = 0;
    unsigned completions = 0;             // completions begun, to spot one nested in a routine
    bool reportedAtEnd = false;           // already reported as left behind
    std::vector<PDRIVER_OBJECT> handlers; // drivers whose dispatch routines it reached
    UCHAR major = 0;
    UCHAR minor = 0;
    std::function<void(PIRP)> onFinal;
};

// Guards every record and the quarantine.
extern std::mutex g_mutex;
extern std::unordered_map<PIRP, IrpRecord> g_irps;
extern std::deque<PIRP> g_quarantine;

inline size_t BlockSize(CCHAR stackSize) {
    return sizeof(IRP) + static_cast<size_t>(stackSize) * sizeof(IO_STACK_LOCATION);
}

inline PIO_STACK_LOCATION StackBase(PIRP irp) {
    return reinterpret_cast<PIO_STACK_LOCATION>(irp + 1);
}

// "request <address> (<major function>)".
std::string IrpText(PIRP irp, const IrpRecord& record);
// The names of the drivers whose dispatch routines the request reached.
std::string HandlerNames(const IrpRecord& record);

// Who touched a request, as a report names it: built only when there is something to report.
using WhoText = std::function<std::string()>;

// The guard location past the last one: filled, and poisoned under AddressSanitizer.
void FillGuard(PIRP irp, const IrpRecord& record);
// Reports a write into the guard past the last stack location, and undoes it. Call with g_mutex
// held, for a request not freed.
void CheckGuardLocked(PIRP irp, IrpRecord& record, const WhoText& who);
// Fills a freed request with its pattern.
void FillFreed(PIRP irp, const IrpRecord& record);
// Reports a write into a freed request, and fills it anew. Call with g_mutex held.
bool CheckFreedLocked(PIRP irp, const IrpRecord& record, const WhoText& who);

} // namespace sim::kernel::detail::irps
