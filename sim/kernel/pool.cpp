// Executive pool with per-allocation records: tag, size, type and the driver whose code made it.
//
// Leak accounting is by driver: when a driver's last device object is deleted (or the driver is
// unloaded), every allocation still charged to it is reported, grouped by tag. An allocation is
// charged to the driver whose code was running when it was made (dispatch routine, completion
// routine, AddDevice, DriverEntry, deferred work queued by it), so the check is exact for a
// driver that frees all it allocated before deleting its last device.
#include "sim/address_table.h"
#include "sim/kernel/internal.h"

#include <algorithm>
#include <cstdlib>
#include <map>
#include <mutex>

namespace sim::kernel {

using namespace sim::wdm;

namespace {

struct PoolRecord {
    size_t size;
    ULONG tag;
    POOL_TYPE type;
    PDRIVER_OBJECT owner;
};

detail::ShortLock g_mutex;
AddressTable<PoolRecord> g_pool;
std::vector<void*> g_leaked; // reported leaks: given back to the heap at reset

// Freed allocations, kept by size for new ones of the same size, so that the pool's steady
// traffic (a request's buffers, over and over) costs no heap call. Not under AddressSanitizer,
// which must see every free to stop a use after it.
struct SpareBlock {
    size_t size;
    void* address;
};
constexpr size_t kSpareBlocks = SIM_ASAN ? 0 : 32;
SpareBlock g_spareBlocks[kSpareBlocks + 1];
size_t g_spareBlockCount = 0;

// A kept block of `size` bytes, or null. Call with g_mutex held.
void* TakeSpareLocked(size_t size) {
    for (size_t i = g_spareBlockCount; i-- > 0;) {
        if (g_spareBlocks[i].size == size) {
            void* address = g_spareBlocks[i].address;
            g_spareBlocks[i] = g_spareBlocks[--g_spareBlockCount];
            return address;
        }
    }
    return nullptr;
}

bool IsPaged(POOL_TYPE type) {
    return (static_cast<int>(type) & 1) != 0 && type != NonPagedPoolNx;
}

} // namespace

std::string TagText(ULONG tag) {
    std::string text;
    for (int i = 0; i < 4; ++i) {
        char c = static_cast<char>((tag >> (8 * i)) & 0xFF);
        text.push_back(c >= 0x20 && c < 0x7F ? c : '?');
    }
    return text;
}

std::vector<PoolAllocation> OutstandingPool(PDRIVER_OBJECT owner) {
    std::lock_guard lock(g_mutex);
    std::vector<PoolAllocation> list;
    g_pool.ForEach([&](const void* address, const PoolRecord& record) {
        if (record.owner == owner)
            list.push_back({const_cast<void*>(address), record.size, record.tag, owner});
    });
    return list;
}

namespace {

using namespace detail;

// AllocatePool and FreePool, inline in the executive's own calls, which drivers make for every
// transfer.
[[gnu::always_inline]] inline void* Allocate(POOL_TYPE type, size_t size, ULONG tag,
                                             PDRIVER_OBJECT owner, bool injectable, bool zeroed) {
    KIRQL irql = KeGetCurrentIrql();
    if (IsPaged(type) && irql > APC_LEVEL) {
        Report(ViolationKind::PagedPoolAtDispatchLevel,
               DriverName(owner) + " allocated paged pool (tag '" + TagText(tag) + "') at IRQL " +
                   std::to_string(irql));
    } else if (irql > DISPATCH_LEVEL) {
        Report(ViolationKind::IrqlMisuse, "pool allocated above DISPATCH_LEVEL");
    }
    if (injectable && CurrentDriver() != nullptr && ShouldFailPool())
        return nullptr;
    const size_t bytes = size == 0 ? 1 : size;
    std::lock_guard lock(g_mutex);
    void* address = TakeSpareLocked(bytes);
    if (address == nullptr)
        address = std::malloc(bytes);
    if (address == nullptr)
        return nullptr;
    // Fresh pool is not zero on the real system; a recognisable filler exposes reliance on it.
    std::memset(address, zeroed ? 0 : 0xCD, bytes);
    g_pool.Insert(address, PoolRecord{size, tag, type, owner});
    return address;
}

[[gnu::always_inline]] inline void Free(void* address, const ULONG* expectedTag) {
    if (address == nullptr) {
        Report(ViolationKind::BadPoolFree, DriverName(CurrentDriver()) + " freed a null pointer");
        return;
    }
    PoolRecord record;
    {
        std::lock_guard lock(g_mutex);
        const PoolRecord* found = g_pool.Find(address);
        if (found == nullptr) {
            char text[32];
            std::snprintf(text, sizeof text, "%p", address);
            Report(ViolationKind::BadPoolFree, DriverName(CurrentDriver()) +
                                                   " freed pool it does not hold (" + text +
                                                   "): freed twice or never allocated");
            return;
        }
        record = *found;
        if (expectedTag != nullptr && *expectedTag != record.tag) {
            Report(ViolationKind::BadPoolFree,
                   "ExFreePoolWithTag with tag '" + TagText(*expectedTag) +
                       "' on an allocation tagged '" + TagText(record.tag) + "'");
        }
        g_pool.Erase(address);
    }
    if (IsPaged(record.type) && KeGetCurrentIrql() > APC_LEVEL) {
        Report(ViolationKind::PagedPoolAtDispatchLevel, "paged pool (tag '" + TagText(record.tag) +
                                                            "') freed at IRQL " +
                                                            std::to_string(KeGetCurrentIrql()));
    }
    const size_t bytes = record.size == 0 ? 1 : record.size;
    std::memset(address, 0xDD, bytes);
    {
        std::lock_guard lock(g_mutex);
        if (g_spareBlockCount < kSpareBlocks) {
            g_spareBlocks[g_spareBlockCount++] = {bytes, address};
            return;
        }
    }
    std::free(address);
}

} // namespace

namespace detail {

void* AllocatePool(POOL_TYPE type, size_t size, ULONG tag, PDRIVER_OBJECT owner, bool injectable,
                   bool zeroed) {
    return Allocate(type, size, tag, owner, injectable, zeroed);
}

void FreePool(void* address, const ULONG* expectedTag) {
    Free(address, expectedTag);
}

void ReportPoolLeftAtEnd(const std::string& when) {
    std::vector<PDRIVER_OBJECT> owners;
    {
        std::lock_guard lock(g_mutex);
        g_pool.ForEach([&owners](const void*, const PoolRecord& record) {
            if (record.owner != nullptr &&
                std::find(owners.begin(), owners.end(), record.owner) == owners.end()) {
                owners.push_back(record.owner);
            }
        });
    }
    for (PDRIVER_OBJECT owner : owners)
        ReportPoolLeaks(owner, "at " + when);
}

size_t ReportPoolLeaks(PDRIVER_OBJECT owner, const std::string& when) {
    std::map<ULONG, std::pair<size_t, size_t>> byTag; // tag -> (count, bytes)
    {
        std::lock_guard lock(g_mutex);
        const size_t before = g_leaked.size();
        g_pool.ForEach([&](const void* address, const PoolRecord& record) {
            if (record.owner == owner) {
                auto& entry = byTag[record.tag];
                ++entry.first;
                entry.second += record.size;
                // Report once; the memory stays valid, the driver may still point at it.
                g_leaked.push_back(const_cast<void*>(address));
            }
        });
        for (size_t i = before; i < g_leaked.size(); ++i)
            g_pool.Erase(g_leaked[i]);
    }
    size_t total = 0;
    std::string text;
    for (const auto& [tag, entry] : byTag) {
        if (!text.empty())
            text += ", ";
        text += "tag '" + TagText(tag) + "': " + std::to_string(entry.first) + " allocation(s), " +
                std::to_string(entry.second) + " bytes";
        total += entry.first;
    }
    if (total != 0) {
        Report(ViolationKind::PoolLeak, DriverName(owner) + " leaked pool " + when + ": " + text);
    }
    return total;
}

void ResetPool() {
    std::lock_guard lock(g_mutex);
    g_pool.ForEach(
        [](const void* address, const PoolRecord&) { std::free(const_cast<void*>(address)); });
    g_pool.Clear();
    for (void* address : g_leaked)
        std::free(address);
    g_leaked.clear();
    for (size_t i = 0; i < g_spareBlockCount; ++i)
        std::free(g_spareBlocks[i].address);
    g_spareBlockCount = 0;
}

} // namespace detail

} // namespace sim::kernel

namespace sim::wdm {

using namespace sim::kernel;

PVOID NTAPI ExAllocatePoolWithTag(POOL_TYPE PoolType, SIZE_T NumberOfBytes, ULONG Tag) {
    PDRIVER_OBJECT driver = detail::CurrentDriver();
    ULONG expected = detail::DriverPoolTag(driver);
    if (expected != 0 && Tag != expected) {
        detail::Report(ViolationKind::WrongPoolTag,
                       detail::DriverName(driver) + " allocated pool with tag '" + TagText(Tag) +
                           "', expected '" + TagText(expected) + "'");
    }
    return Allocate(PoolType, NumberOfBytes, Tag, driver, true, false);
}

PVOID NTAPI ExAllocatePool(POOL_TYPE PoolType, SIZE_T NumberOfBytes) {
    return ExAllocatePoolWithTag(PoolType, NumberOfBytes, 0x656E6F4E); // "None"
}

VOID NTAPI ExFreePool(PVOID P) {
    Free(P, nullptr);
}

VOID NTAPI ExFreePoolWithTag(PVOID P, ULONG Tag) {
    Free(P, &Tag);
}

} // namespace sim::wdm
