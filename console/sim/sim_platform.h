// The console's platform on the simulated machine: registry calls go to the
// simulated registry, device calls to the simulated device I/O. Win32
// semantics are kept where the console can see them (ANSI conversion of
// string values, ERROR_MORE_DATA, a failed open leaving the key 0).
#pragma once

#include "platform.h"

#include "sim/registry/registry.h"
#include "sim/short_lock.h"
#include "sim/win/device_io.h"

#include <map>
#include <mutex>
#include <string>

namespace morlix {

inline constexpr Long ErrorInvalidHandleCode = 6;
inline constexpr Long ErrorInvalidParameterCode = 87;
inline constexpr Dword RegCreatedNewKey = 1;
inline constexpr Dword RegOpenedExistingKey = 2;

class SimPlatform : public Platform {
public:
    SimPlatform(sim::registry::Registry& registry, sim::win::DeviceIo& io);

    Long RegOpenKeyExA(RegKey key, const char* subKey, Dword options, Dword samDesired,
                       RegKey* result) override;
    Long RegQueryValueExA(RegKey key, const char* valueName, Dword* reserved, Dword* type,
                          std::uint8_t* data, Dword* dataSize) override;
    Long RegCreateKeyExA(RegKey key, const char* subKey, Dword reserved, char* keyClass,
                         Dword options, Dword samDesired, void* securityAttributes, RegKey* result,
                         Dword* disposition) override;
    Long RegSetValueExA(RegKey key, const char* valueName, Dword reserved, Dword type,
                        const std::uint8_t* data, Dword dataSize) override;
    Long RegCloseKey(RegKey key) override;

    Handle CreateFileA(const char* fileName, Dword desiredAccess, Dword shareMode,
                       void* securityAttributes, Dword creationDisposition,
                       Dword flagsAndAttributes, Handle templateFile) override;
    Bool DeviceIoControl(Handle device, Dword ioControlCode, void* inBuffer, Dword inBufferSize,
                         void* outBuffer, Dword outBufferSize, Dword* bytesReturned,
                         void* overlapped) override;
    Bool CloseHandle(Handle object) override;

    std::size_t OpenKeyCount() const;

private:
    struct KeyPath {
        sim::registry::RegRoot root;
        std::string path;
    };
    bool Resolve(RegKey key, KeyPath& out) const;
    // The key's place, or null for a handle that is not open. Call with mutex_ held.
    const KeyPath* FindLocked(RegKey key) const;
    RegKey NewKey(const KeyPath& path);

    sim::registry::Registry& registry_;
    sim::win::DeviceIo& io_;
    mutable sim::ShortLock mutex_;
    std::map<RegKey, KeyPath> keys_;
    // The node of the last key closed, reused by the next open, and the buffer an open builds
    // its path in.
    std::map<RegKey, KeyPath>::node_type spare_;
    std::string scratch_;
    // The last key an open found, and the registry's key generation read before it looked: while
    // the generation stays, the key is still there and the next open of it need not look again.
    bool verified_ = false;
    sim::registry::RegRoot verifiedRoot_ = sim::registry::RegRoot::LocalMachine;
    std::string verifiedPath_;
    std::uint64_t verifiedGeneration_ = 0;
    RegKey nextKey_ = 0x1000;
};

} // namespace morlix
