// The simulated registry: one process-wide tree of keys under HKEY_LOCAL_MACHINE and
// HKEY_CURRENT_USER, shared by the kernel stand-in (RtlWriteRegistryValue and friends) and the
// user-mode registry calls.
//
// Key paths use backslashes; empty components are ignored, so "A\\B", "\\A\\B\\" and "a\\b" name
// the same key (names compare case-insensitively, and keep the spelling they were created with).
// A value is a type (REG_SZ, REG_DWORD, ...) and raw bytes. As on Windows, string values are stored
// as UTF-16LE bytes; the helpers below convert. All members are thread-safe.
#pragma once

#include "sim/short_lock.h"

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace sim::registry {

enum class RegRoot { LocalMachine, CurrentUser };

// Value types, with their Windows numbers.
constexpr uint32_t kRegNone = 0;
constexpr uint32_t kRegSz = 1;
constexpr uint32_t kRegExpandSz = 2;
constexpr uint32_t kRegBinary = 3;
constexpr uint32_t kRegDword = 4;
constexpr uint32_t kRegMultiSz = 7;
constexpr uint32_t kRegQword = 11;

struct RegValue {
    uint32_t type = kRegNone;
    std::vector<uint8_t> data;
};

class Registry {
public:
    Registry();
    ~Registry();
    Registry(const Registry&) = delete;
    Registry& operator=(const Registry&) = delete;

    // The registry of the simulated machine.
    static Registry& Instance();

    // Creates the key and any missing parents. False for an empty path.
    bool CreateKey(RegRoot root, std::string_view path);
    bool KeyExists(RegRoot root, std::string_view path) const;
    // A number that moves whenever a key is created or deleted, or the tree is cleared or
    // loaded: a caller that found a key, with this number read before it looked, may take the
    // key to exist for as long as the number stays the same.
    uint64_t KeyTreeGeneration() const { return keyGeneration_.load(std::memory_order_acquire); }
    // Deletes a key with everything under it. False if it does not exist or is a root.
    bool DeleteKey(RegRoot root, std::string_view path);

    // Creates the key if needed. The value name "" is the key's default value.
    bool SetValue(RegRoot root, std::string_view path, std::string_view name, uint32_t type,
                  const void* data, size_t size);
    std::optional<RegValue> GetValue(RegRoot root, std::string_view path,
                                     std::string_view name) const;
    // Calls read(value) with the stored value, under the registry's lock and without a copy.
    // False, and no call, if the key or the value does not exist. read must not call back into
    // the registry.
    template <class Read>
    bool ReadValue(RegRoot root, std::string_view path, std::string_view name, Read&& read) const {
        std::lock_guard lock(mutex_);
        const RegValue* value = FindValueLocked(root, path, name);
        if (value == nullptr)
            return false;
        std::forward<Read>(read)(*value);
        return true;
    }
    bool DeleteValue(RegRoot root, std::string_view path, std::string_view name);

    // Names as created, in case-insensitive order. Empty if the key does not exist.
    std::vector<std::string> EnumerateSubKeys(RegRoot root, std::string_view path) const;
    std::vector<std::string> EnumerateValues(RegRoot root, std::string_view path) const;

    // String helpers: REG_SZ holding the UTF-16LE form of a UTF-8 text, terminator included.
    bool SetString(RegRoot root, std::string_view path, std::string_view name,
                   std::string_view utf8);
    // The text of a REG_SZ or REG_EXPAND_SZ value, up to its first terminator.
    std::optional<std::string> GetString(RegRoot root, std::string_view path,
                                         std::string_view name) const;
    bool SetDword(RegRoot root, std::string_view path, std::string_view name, uint32_t value);
    std::optional<uint32_t> GetDword(RegRoot root, std::string_view path,
                                     std::string_view name) const;

    // Removes every key and value (the two roots stay).
    void Clear();

    // Writes the whole tree to a file (through a temporary file and a rename).
    bool SaveToFile(const std::string& fileName) const;
    // Replaces the tree with the file's content. A missing, truncated or corrupt file leaves the
    // registry as it was and returns false.
    bool LoadFromFile(const std::string& fileName);

    struct Key;

private:
    mutable sim::ShortLock mutex_;
    std::unique_ptr<Key> machine_;
    std::unique_ptr<Key> user_;

    // The last keys found, by the root and the exact path they were asked for, so that a caller
    // that reads the same key again and again walks the tree once. Every change to the tree of
    // keys (a key created or deleted, the tree cleared or loaded) forgets them all.
    struct FoundKey {
        RegRoot root = RegRoot::LocalMachine;
        std::string path;
        Key* key = nullptr;
    };
    mutable std::array<FoundKey, 4> found_;
    mutable size_t nextFound_ = 0;
    std::atomic<uint64_t> keyGeneration_{0};
    void ForgetFoundKeys();

    Key* RootKey(RegRoot root) const;
    Key* FindKey(RegRoot root, std::string_view path) const;
    const RegValue* FindValueLocked(RegRoot root, std::string_view path,
                                    std::string_view name) const;
    Key* CreateKeyLocked(RegRoot root, std::string_view path);
};

// UTF-8 <-> UTF-16 conversions used for names and string data (invalid input is replaced, never
// rejected).
std::u16string Utf8ToUtf16(std::string_view utf8);
std::string Utf16ToUtf8(std::u16string_view utf16);
// UTF-16LE bytes of a string, with a terminating zero.
std::vector<uint8_t> Utf16Bytes(std::u16string_view text);

} // namespace sim::registry
