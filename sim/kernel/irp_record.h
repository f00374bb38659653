// The verifier's record of each request, shared by the files of the request code (irp.cpp and
// irp_checks.cpp). Not for use outside sim/kernel.
#pragma once

#include "sim/address_table.h"
#include "sim/kernel/internal.h"

#include <algorithm>
#include <bitset>
#include <cstdint>
#include <cstddef>
#include <cstring>
#include <mutex>
#include <string>
#include <type_traits>
#include <vector>

namespace sim::kernel::detail::irps {

constexpr int kMaxStack = 64;
constexpr size_t kQuarantine = 4096;
constexpr unsigned char kFreedFill = 0xDF;
constexpr unsigned char kGuardFill = 0xFD;

constexpr size_t kStatusAt = offsetof(IRP, IoStatus);
constexpr size_t kStatusEnd = kStatusAt + sizeof(IO_STATUS_BLOCK);

// Spare: the block of a request gone from the quarantine, kept for a new one. It stays in the
// table, so that a new request in it costs no table change, but it is no request: the table's
// lookups and visits pass over it.
enum class IrpState { Idle, InFlight, Completed, Freed, Spare };

// What the verifier marks of a request, plain data that renews with one store of zeros.
struct IrpMarks {
    IrpOwner owner = IrpOwner::Driver;
    IrpState state = IrpState::Idle;
    PDRIVER_OBJECT allocator = nullptr;
    size_t bytes = 0;
    std::bitset<kMaxStack + 2> markedPending;   // IoMarkIrpPending per location
    std::bitset<kMaxStack + 2> returnedPending; // dispatch at that location returned pending
    std::bitset<kMaxStack + 2> startNext;       // PoStartNextPowerIrp per location
    std::bitset<kMaxStack + 2> routineAt;       // a completion routine waits in that location
    // Locations entered through IofCallDriver. One that the allocator claimed for itself with
    // IoSetNextIrpStackLocation is not, and at its completion routine the allocator holds the
    // request again, as at the top.
    std::bitset<kMaxStack + 2> entered;
    // The next location was set up (copied to, or fetched with IoGetNextIrpStackLocation to be
    // filled) since the location above it became current.
    std::bitset<kMaxStack + 2> prepared;
    // The location whose driver holds the request; StackCount + 1 while its allocator (or the
    // I/O manager) does.
    int currentLocation = 0;
    unsigned completions = 0;   // completions begun, to spot one nested in a routine
    bool reportedAtEnd = false; // already reported as left behind
    UCHAR major = 0;
    UCHAR minor = 0;
};

// The drivers whose dispatch routines a request reached, in the order it reached them. The first
// few are held in the record itself, so that a new record costs no allocation.
class DriverList {
public:
    void Add(PDRIVER_OBJECT driver) {
        // Inline for a request's first driver, and the same driver again: nearly every call.
        if (count_ == 0) {
            held_[0] = driver;
            count_ = 1;
        } else if (count_ != 1 || held_[0] != driver) {
            AddAnother(driver);
        }
    }
    void Clear() {
        count_ = 0;
        more_.clear();
    }
    bool Empty() const { return count_ == 0; }
    template <class F>
    void ForEach(F&& visit) const {
        for (size_t i = 0; i < std::min(count_, kHeld); ++i)
            visit(held_[i]);
        for (PDRIVER_OBJECT driver : more_)
            visit(driver);
    }

private:
    [[gnu::noinline]] void AddAnother(PDRIVER_OBJECT driver) {
        for (size_t i = 0; i < count_ && i < kHeld; ++i) {
            if (held_[i] == driver)
                return;
        }
        if (count_ > kHeld && std::find(more_.begin(), more_.end(), driver) != more_.end())
            return;
        if (count_ < kHeld)
            held_[count_] = driver;
        else
            more_.push_back(driver);
        ++count_;
    }

    static constexpr size_t kHeld = 4;
    PDRIVER_OBJECT held_[kHeld] = {};
    size_t count_ = 0;
    std::vector<PDRIVER_OBJECT> more_;
};

// What the verifier keeps of one stack location: the device that holds it, and the completion
// routine in it as that device's driver received it, to tell one that a driver set in its own
// location after skipping it.
struct LocationMarks {
    PDEVICE_OBJECT device = nullptr;
    PIO_COMPLETION_ROUTINE receivedRoutine = nullptr;
    PVOID receivedContext = nullptr;
    UCHAR receivedControl = 0;
};

struct IrpRecord : IrpMarks {
    // Per location, indexed by location number, 0 to stackSize + 1: in the block, past the
    // guard, as many as the request has. Only locations 1 to stackSize + 1 are ever written
    // (IofCallDriver refuses a request whose current location lies past its guard).
    LocationMarks* at = nullptr;
    int stackSize = 0;   // as allocated: the block holds this many locations and the guard
    DriverList handlers; // drivers whose dispatch routines it reached
    // Run at the final completion of a system request: the routine with its context, or else
    // the function (for the rarer requesters that need more than a context).
    IrpFinal finalRoutine = nullptr;
    void* finalContext = nullptr;
    IrpDiscard finalDiscard = nullptr; // given the context of a final completion that never came
    std::function<void(PIRP)> onFinal;

    // The locations' marks, 0 to stackSize + 1.
    size_t Locations() const { return static_cast<size_t>(stackSize) + 2; }

    // As a new record; keeps the storage of `handlers` for the next request.
    void Renew() {
        static_cast<IrpMarks&>(*this) = IrpMarks{};
        static_assert(std::is_trivially_copyable_v<LocationMarks>);
        std::memset(static_cast<void*>(at), 0, Locations() * sizeof(LocationMarks)); // all null
        handlers.Clear();
        finalRoutine = nullptr;
        finalContext = nullptr;
        finalDiscard = nullptr;
        if (onFinal)
            onFinal = nullptr;
    }
};

// Where the record of each request is, by the request's address (see sim/address_table.h): a
// pointer that is no request is told apart without touching the memory it points to.
class IrpTable {
public:
    IrpRecord* Find(PIRP irp) const {
        IrpRecord* const* found = table_.Find(irp);
        return found == nullptr || (*found)->state == IrpState::Spare ? nullptr : *found;
    }
    void Insert(PIRP irp, IrpRecord* record) { table_.Insert(irp, record); }
    void Erase(PIRP irp) { table_.Erase(irp); }
    void Clear() { table_.Clear(); }
    template <class F>
    void ForEach(F&& visit) const {
        table_.ForEach([&visit](const void* irp, IrpRecord* record) {
            if (record->state != IrpState::Spare)
                visit(static_cast<PIRP>(const_cast<void*>(irp)), *record);
        });
    }

private:
    // From the start large enough, at half full, for a full quarantine and as many live
    // requests again: a run never waits for the table to grow on the way there.
    AddressTable<IrpRecord*> table_{4 * kQuarantine};
};

// Each request lives in one block: its record, then the request with its stack locations, then
// the guard location, then the record's marks of each location. A block leaving the quarantine is
// kept for a new request of the same stack size, record and all. Outside AddressSanitizer blocks
// are cut from large slabs, given back to the heap only at reset; under it each block is a heap
// block of its own, so that the heap's own checks see its edges.
constexpr size_t kRecordBytes = (sizeof(IrpRecord) + 15) & ~size_t{15};

inline PIRP IrpOfRecord(IrpRecord* record) {
    return reinterpret_cast<PIRP>(reinterpret_cast<unsigned char*>(record) + kRecordBytes);
}

// Freed requests, oldest first, up to kQuarantine of them: a ring, so that a free costs no
// allocation.
class Quarantine {
public:
    // Adds `irp`; returns the oldest, which leaves, once the quarantine is full (else null).
    PIRP Push(PIRP irp) {
        if (count_ < kQuarantine) {
            ring_[(first_ + count_++) % kQuarantine] = irp;
            return nullptr;
        }
        PIRP oldest = ring_[first_];
        ring_[first_] = irp;
        first_ = (first_ + 1) % kQuarantine;
        return oldest;
    }
    void Clear() {
        first_ = 0;
        count_ = 0;
    }

private:
    PIRP ring_[kQuarantine] = {};
    size_t first_ = 0;
    size_t count_ = 0;
};

// Guards every record, the table and the quarantine.
extern ShortLock g_mutex;
extern IrpTable g_irps;
extern Quarantine g_quarantine;

inline size_t BlockSize(CCHAR stackSize) {
    return sizeof(IRP) + static_cast<size_t>(stackSize) * sizeof(IO_STACK_LOCATION);
}

inline PIO_STACK_LOCATION StackBase(PIRP irp) {
    return reinterpret_cast<PIO_STACK_LOCATION>(irp + 1);
}

// The record of `irp` again, `before` being the one found for it earlier and the lock let go of
// since: the block of a request stays where it is (outside AddressSanitizer blocks go back to the
// heap only at reset), so `before` is what a lookup would find, unless the block has become a
// spare one since. Under AddressSanitizer a block that leaves the quarantine may go back to the
// heap, and the record is looked up anew. Call with g_mutex held.
inline IrpRecord* RecordAgainLocked(PIRP irp, IrpRecord* before) {
    if (SIM_ASAN || before == nullptr)
        return g_irps.Find(irp);
    return before->state == IrpState::Spare ? nullptr : before;
}

// Blocks gone from the quarantine, by stack size, kept for new requests, and their number.
extern std::vector<IrpRecord*> g_spareBlocks[kMaxStack + 1];
extern size_t g_spareCount;
// A new block, cut from a slab (or the heap), its record in the table; null when the heap has
// none. Out of line: once the quarantine is full, every block is a spare one.
[[gnu::noinline]] IrpRecord* CutNewBlockLocked(CCHAR stackSize);

// A block for a request of `stackSize` locations (1 to kMaxStack), its record renewed and in the
// table: a spare one, or a new one (null when the heap has none). Call with g_mutex held.
inline IrpRecord* NewBlockLocked(CCHAR stackSize) {
    std::vector<IrpRecord*>& spares = g_spareBlocks[stackSize];
    if (spares.empty())
        return CutNewBlockLocked(stackSize);
    IrpRecord* record = spares.back();
    spares.pop_back();
    --g_spareCount;
    SIM_UNPOISON(IrpOfRecord(record), BlockSize(stackSize) + sizeof(IO_STACK_LOCATION));
    record->Renew();
    return record;
}

// A completion routine set after the skip: reported, and the request made to go on as if the
// sender had copied its location, with its routine in the copy. Out of line, as the next.
[[gnu::noinline]] void RepairRoutineAfterSkipLocked(PDEVICE_OBJECT target, PIRP irp,
                                                    IrpRecord& record, int held);
// A next location never set up: reported, and copied from the sender's when it has one.
[[gnu::noinline]] void RepairUnpreparedLocked(PDEVICE_OBJECT target, PIRP irp, IrpRecord& record,
                                              int sent);

// Moves a freed request into the quarantine; the oldest leaves it, checked, and its block is
// kept for a new request. Call with g_mutex held.
void QuarantineLocked(PIRP irp, IrpRecord& record);

// Checks, before IofCallDriver moves on, that the sender set up the lower driver's location:
// copied its own to it, filled it, or skipped its own so that the lower driver reuses that one. A
// completion routine set after skipping lands in the location of the driver above; the request
// then goes on as if the sender had copied its location, with its routine in the copy, so that
// both routines run. A location never set up is copied from the sender's (when it has one) so
// that the lower driver is not misled into faults of its own. Call with g_mutex held.
inline void SetUpNextLocationLocked(PDEVICE_OBJECT target, PIRP irp, IrpRecord& record) {
    const int sent = irp->CurrentLocation;
    const int held = record.currentLocation;
    if (sent < 2 || sent > kMaxStack + 1 || held < 1 || held > record.stackSize + 1)
        return; // no location left: IofCallDriver reports it
    if (sent == held + 1 && held <= irp->StackCount) {
        PIO_STACK_LOCATION own = StackBase(irp) + (held - 1);
        if (own->CompletionRoutine != record.at[held].receivedRoutine ||
            own->Context != record.at[held].receivedContext) {
            RepairRoutineAfterSkipLocked(target, irp, record, held);
        }
        return; // a sound skip, or one repaired
    }
    if (sent <= irp->StackCount + 1 && sent > held + 1)
        return; // not one the verifier can follow
    if (!record.prepared.test(sent - 1))
        RepairUnpreparedLocked(target, irp, record, sent);
}

// "request <address> (<major function>)".
std::string IrpText(PIRP irp, const IrpRecord& record);
// The names of the drivers whose dispatch routines the request reached.
std::string HandlerNames(const IrpRecord& record);

// The guard location past the last one.
inline unsigned char* Guard(PIRP irp, const IrpRecord& record) {
    return reinterpret_cast<unsigned char*>(irp) + record.bytes;
}
// A block of each pattern, as large as the largest request with its guard.
constexpr size_t kLargestBlock = sizeof(IRP) + (kMaxStack + 1) * sizeof(IO_STACK_LOCATION);
struct PatternBlock {
    explicit PatternBlock(unsigned char fill) { std::memset(bytes, fill, sizeof bytes); }
    unsigned char bytes[kLargestBlock];
};
inline const PatternBlock g_freedPattern(kFreedFill);
inline const PatternBlock g_guardPattern(kGuardFill);
// Fills the guard location past the last one, and poisons it under AddressSanitizer.
inline void FillGuard(PIRP irp, const IrpRecord& record) {
    std::memset(Guard(irp, record), kGuardFill, sizeof(IO_STACK_LOCATION));
    SIM_POISON(Guard(irp, record), sizeof(IO_STACK_LOCATION));
}
// Whether the guard past the last stack location still holds its pattern (always under
// AddressSanitizer, which stops a write there itself).
inline bool GuardIntact(PIRP irp, const IrpRecord& record) {
    if (SIM_ASAN)
        return true; // poisoned: AddressSanitizer stops the write itself
    return std::memcmp(Guard(irp, record), g_guardPattern.bytes, sizeof(IO_STACK_LOCATION)) == 0;
}
// Reports a write into the guard, and undoes it.
void ReportGuardWrite(PIRP irp, const IrpRecord& record, const std::string& who);
// Reports a write into the guard past the last stack location, and undoes it. Call with g_mutex
// held, for a request not freed. `who()` names the writer; it is only called for a report.
template <class Who>
void CheckGuardLocked(PIRP irp, IrpRecord& record, Who&& who) {
    if (!GuardIntact(irp, record))
        ReportGuardWrite(irp, record, who());
}
// Fills a freed request with its pattern. Under AddressSanitizer the rest is poisoned and only
// the status block is filled: a late completion writes it before it reaches the kernel, which
// reports it then. Elsewhere the pointer to the current location is kept, so that a driver that
// writes to its location after the free is caught by the pattern instead of crashing.
inline void FillFreed(PIRP irp, const IrpRecord& record) {
    const auto bytes = reinterpret_cast<unsigned char*>(irp);
    if (SIM_ASAN) {
        std::memset(bytes + kStatusAt, kFreedFill, kStatusEnd - kStatusAt);
        return;
    }
    PIO_STACK_LOCATION current = irp->Tail.Overlay.CurrentStackLocation;
    std::memset(bytes, kFreedFill, record.bytes + sizeof(IO_STACK_LOCATION));
    irp->Tail.Overlay.CurrentStackLocation = current;
}
constexpr size_t kPointerAt = offsetof(IRP, Tail.Overlay.CurrentStackLocation);
constexpr size_t kPointerEnd = kPointerAt + sizeof(PIO_STACK_LOCATION);
// Whether a freed request (outside AddressSanitizer) still holds its pattern throughout. The
// common case, nothing written, is one comparison of the whole: the pointer FillFreed kept is
// covered with the pattern for it, and put back.
inline bool FreedUntouched(PIRP irp, const IrpRecord& record) {
    const size_t total = record.bytes + sizeof(IO_STACK_LOCATION);
    const auto bytes = reinterpret_cast<unsigned char*>(irp);
    unsigned char kept[kPointerEnd - kPointerAt];
    std::memcpy(kept, bytes + kPointerAt, sizeof kept);
    std::memset(bytes + kPointerAt, kFreedFill, sizeof kept);
    const bool untouched = total <= sizeof g_freedPattern.bytes &&
                           std::memcmp(bytes, g_freedPattern.bytes, total) == 0;
    std::memcpy(bytes + kPointerAt, kept, sizeof kept);
    return untouched;
}
// The offset of the first byte of a freed request that no longer holds its pattern, or its
// whole size (with the guard) when none was written.
size_t FreedWriteAt(PIRP irp, const IrpRecord& record);
// Reports a write at `at` into a freed request, and fills it anew.
void ReportFreedWrite(PIRP irp, const IrpRecord& record, size_t at, const std::string& who);
// Reports a write into a freed request, and fills it anew. Call with g_mutex held. `who()` names
// the writer; it is only called for a report.
template <class Who>
bool CheckFreedLocked(PIRP irp, const IrpRecord& record, Who&& who) {
    if (!SIM_ASAN && FreedUntouched(irp, record))
        return false;
    const size_t at = FreedWriteAt(irp, record);
    if (at == record.bytes + sizeof(IO_STACK_LOCATION))
        return false;
    ReportFreedWrite(irp, record, at, who());
    return true;
}

} // namespace sim::kernel::detail::irps
