// A table from addresses to values: open addressing with linear probing, so that a lookup is a
// multiply and a compare or two, an insert or an erase costs no heap call once the table has
// grown, and an address that is in no entry is told apart without touching the memory it points
// to. Not locked: its owner guards it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

namespace sim {

template <class Value>
class AddressTable {
public:
    // `firstSize` (a power of two) is the number of slots at the first insert; the table doubles
    // whenever it would be more than half full.
    explicit AddressTable(size_t firstSize = 64) : firstSize_(firstSize) {}

    Value* Find(const void* key) {
        if (count_ == 0 || key == nullptr)
            return nullptr;
        for (size_t i = Home(key);; i = (i + 1) & mask_) {
            Slot& slot = slots_[i];
            if (slot.key == key)
                return &slot.value;
            if (slot.key == nullptr)
                return nullptr;
        }
    }
    const Value* Find(const void* key) const { return const_cast<AddressTable*>(this)->Find(key); }

    // Sets the value of `key` (not null), adding it if it is new.
    void Insert(const void* key, Value value) {
        if ((count_ + 1) * 2 > slots_.size())
            Grow();
        size_t i = Home(key);
        while (slots_[i].key != nullptr && slots_[i].key != key)
            i = (i + 1) & mask_;
        if (slots_[i].key == nullptr)
            ++count_;
        slots_[i].key = key;
        slots_[i].value = std::move(value);
    }

    // Removes `key`; false when it is in no entry.
    bool Erase(const void* key) {
        if (count_ == 0 || key == nullptr)
            return false;
        size_t hole = Home(key);
        while (slots_[hole].key != key) {
            if (slots_[hole].key == nullptr)
                return false;
            hole = (hole + 1) & mask_;
        }
        // Backward shift: every entry after the hole, up to the next empty slot, whose home does
        // not lie cyclically in (hole, its slot] moves into the hole.
        for (size_t j = (hole + 1) & mask_; slots_[j].key != nullptr; j = (j + 1) & mask_) {
            const size_t home = Home(slots_[j].key);
            const bool stays = hole <= j ? (hole < home && home <= j) : (hole < home || home <= j);
            if (stays)
                continue;
            slots_[hole] = std::move(slots_[j]);
            hole = j;
        }
        slots_[hole] = Slot{};
        --count_;
        return true;
    }

    void Clear() {
        slots_.clear();
        mask_ = 0;
        shift_ = 64;
        count_ = 0;
    }

    size_t Size() const { return count_; }

    // Visits every entry as (key, value&); the visit must not insert or erase.
    template <class F>
    void ForEach(F&& visit) {
        for (Slot& slot : slots_) {
            if (slot.key != nullptr)
                visit(slot.key, slot.value);
        }
    }
    template <class F>
    void ForEach(F&& visit) const {
        for (const Slot& slot : slots_) {
            if (slot.key != nullptr)
                visit(slot.key, slot.value);
        }
    }

private:
    struct Slot {
        const void* key = nullptr;
        Value value{};
    };

    size_t Home(const void* key) const {
        const auto bits = static_cast<uint64_t>(reinterpret_cast<uintptr_t>(key));
        return static_cast<size_t>((bits * 0x9E3779B97F4A7C15ull) >> shift_);
    }

    void Grow() {
        std::vector<Slot> old = std::move(slots_);
        const size_t size = old.empty() ? firstSize_ : old.size() * 2;
        slots_.assign(size, Slot{});
        mask_ = size - 1;
        shift_ = 64;
        for (size_t n = size; n > 1; n >>= 1)
            --shift_;
        count_ = 0;
        for (Slot& slot : old) {
            if (slot.key != nullptr)
                Insert(slot.key, std::move(slot.value));
        }
    }

    std::vector<Slot> slots_;
    size_t firstSize_;
    size_t mask_ = 0;
    unsigned shift_ = 64;
    size_t count_ = 0;
};

} // namespace sim
