// The blocks that requests live in: the table that finds a request's record, new blocks and
// spare ones, the quarantine of freed requests, and the reset of them all.
//
// A freed request stays in the quarantine, its memory still valid, for 4096 more frees, so that a
// late completion or free of it is reported instead of corrupting memory; when it leaves, its
// pattern is checked (a write after the free is reported) and its block is kept, record and all,
// for a new request of the same stack size. Outside AddressSanitizer blocks are cut from slabs
// that go back to the heap at reset, so that neither a new block nor the reset costs a heap call
// per request.
#include "sim/kernel/irp_record.h"

#include <cstdlib>
#include <new>
#include <utility>

namespace sim::kernel::detail {

namespace irps {

ShortLock g_mutex;
IrpTable g_irps;
Quarantine g_quarantine;

// Blocks gone from the quarantine, by stack size, kept for new requests. Heap blocks (under
// AddressSanitizer) are kept up to kSpareBlocks in all, and the rest given back; blocks of a slab
// are all kept, as their memory goes back only with the slab.
std::vector<IrpRecord*> g_spareBlocks[kMaxStack + 1];
size_t g_spareCount = 0;

namespace {

constexpr size_t kSpareBlocks = 256;

// Slabs that blocks are cut from, each 16-byte aligned: the current one is cut from its end.
constexpr size_t kSlabBytes = size_t{1} << 20;
std::vector<void*> g_slabs;
unsigned char* g_slabFree = nullptr;
size_t g_slabLeft = 0;

size_t TotalBytes(const IrpRecord& record) {
    return record.bytes + sizeof(IO_STACK_LOCATION);
}

// Memory for a block of `bytes` (a multiple of 16), or null when the heap has none.
void* CutBlockLocked(size_t bytes) {
    if (SIM_ASAN)
        return std::malloc(bytes);
    if (g_slabLeft < bytes) {
        void* slab = std::malloc(kSlabBytes);
        if (slab == nullptr)
            return nullptr;
        g_slabs.push_back(slab);
        g_slabFree = static_cast<unsigned char*>(slab);
        g_slabLeft = kSlabBytes;
    }
    void* block = g_slabFree;
    g_slabFree += bytes;
    g_slabLeft -= bytes;
    return block;
}

void DestroyBlock(IrpRecord* record) {
    record->~IrpRecord();
    if (SIM_ASAN)
        std::free(record);
}

void ReleaseSlabs() {
    for (void* slab : g_slabs)
        std::free(slab);
    g_slabs.clear();
    g_slabFree = nullptr;
    g_slabLeft = 0;
}

} // namespace

IrpRecord* CutNewBlockLocked(CCHAR stackSize) {
    const size_t bytes = BlockSize(stackSize);
    const size_t marksAt = kRecordBytes + bytes + sizeof(IO_STACK_LOCATION);
    static_assert(sizeof(IO_STACK_LOCATION) % alignof(LocationMarks) == 0 &&
                  sizeof(IRP) % alignof(LocationMarks) == 0);
    const size_t locations = static_cast<size_t>(stackSize) + 2; // 0 to stackSize + 1
    void* block = CutBlockLocked((marksAt + locations * sizeof(LocationMarks) + 15) & ~size_t{15});
    if (block == nullptr)
        return nullptr;
    auto record = new (block) IrpRecord;
    record->stackSize = stackSize;
    record->at = new (static_cast<unsigned char*>(block) + marksAt) LocationMarks[locations];
    g_irps.Insert(IrpOfRecord(record), record);
    return record;
}

// Moves a freed request into the quarantine; evicts the oldest. Call with g_mutex held.
void QuarantineLocked(PIRP irp, IrpRecord& record) {
    CheckGuardLocked(irp, record, [] { return std::string("a driver that had it"); });
    record.state = IrpState::Freed;
    record.finalRoutine = nullptr;
    record.finalContext = nullptr;
    record.finalDiscard = nullptr;
    if (record.onFinal)
        record.onFinal = nullptr;
    const size_t total = TotalBytes(record);
    SIM_UNPOISON(irp, total);
    FillFreed(irp, record);
    SIM_POISON(irp, kStatusAt);
    SIM_POISON(reinterpret_cast<unsigned char*>(irp) + kStatusEnd, total - kStatusEnd);
    if (PIRP oldest = g_quarantine.Push(irp)) {
        IrpRecord* old = g_irps.Find(oldest);
        if (old != nullptr) {
            CheckFreedLocked(oldest, *old,
                             [&] { return "a driver that had it (" + HandlerNames(*old) + ")"; });
            if (!SIM_ASAN || g_spareCount < kSpareBlocks) {
                SIM_POISON(oldest, TotalBytes(*old)); // untouched until it is handed out again
                old->state = IrpState::Spare;
                g_spareBlocks[old->stackSize].push_back(old);
                ++g_spareCount;
            } else {
                SIM_UNPOISON(oldest, TotalBytes(*old));
                g_irps.Erase(oldest);
                DestroyBlock(old);
            }
        }
    }
}

} // namespace irps

using namespace irps;

void ResetIrps() {
    std::vector<std::pair<IrpDiscard, void*>> discarded;
    std::lock_guard lock(g_mutex);
    std::vector<IrpRecord*> blocks;
    g_irps.ForEach([&](PIRP irp, IrpRecord& record) {
        SIM_UNPOISON(irp, TotalBytes(record));
        blocks.push_back(&record);
        if (record.finalRoutine != nullptr && record.finalDiscard != nullptr)
            discarded.emplace_back(record.finalDiscard, record.finalContext);
    });
    for (const auto& [discard, context] : discarded)
        discard(context);
    for (IrpRecord* record : blocks)
        DestroyBlock(record);
    g_irps.Clear();
    g_quarantine.Clear();
    for (std::vector<IrpRecord*>& spares : g_spareBlocks) {
        for (IrpRecord* record : spares) {
            SIM_UNPOISON(IrpOfRecord(record), TotalBytes(*record));
            DestroyBlock(record);
        }
        spares.clear();
    }
    g_spareCount = 0;
    ReleaseSlabs();
}

} // namespace sim::kernel::detail
