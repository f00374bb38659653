// The console's platform on the simulated machine: registry calls go to the
// simulated registry, device calls to the simulated device I/O. Win32
// semantics are kept where the console can see them (ANSI conversion of
// string values, ERROR_MORE_DATA, a failed open leaving the key 0).
#pragma once

#include "console/core/platform.h"
#include "sim/win/device_io.h"
#include "sim/registry/registry.h"

#include <map>
#include <mutex>
#include <string>

namespace sim::win {

using registry::Registry;
using registry::RegRoot;

inline constexpr morlix::Long ErrorInvalidHandleCode = 6;
inline constexpr morlix::Long ErrorInvalidParameterCode = 87;
inline constexpr morlix::Dword RegCreatedNewKey = 1;
inline constexpr morlix::Dword RegOpenedExistingKey = 2;

class SimPlatform : public morlix::Platform {
public:
    SimPlatform(Registry& registry, DeviceIo& io);

    morlix::Long RegOpenKeyExA(morlix::RegKey key, const char* subKey, morlix::Dword options,
                               morlix::Dword samDesired, morlix::RegKey* result) override;
    morlix::Long RegQueryValueExA(morlix::RegKey key, const char* valueName,
                                  morlix::Dword* reserved, morlix::Dword* type, std::uint8_t* data,
                                  morlix::Dword* dataSize) override;
    morlix::Long RegCreateKeyExA(morlix::RegKey key, const char* subKey, morlix::Dword reserved,
                                 char* keyClass, morlix::Dword options, morlix::Dword samDesired,
                                 void* securityAttributes, morlix::RegKey* result,
                                 morlix::Dword* disposition) override;
    morlix::Long RegSetValueExA(morlix::RegKey key, const char* valueName, morlix::Dword reserved,
                                morlix::Dword type, const std::uint8_t* data,
                                morlix::Dword dataSize) override;
    morlix::Long RegCloseKey(morlix::RegKey key) override;

    morlix::Handle CreateFileA(const char* fileName, morlix::Dword desiredAccess,
                               morlix::Dword shareMode, void* securityAttributes,
                               morlix::Dword creationDisposition, morlix::Dword flagsAndAttributes,
                               morlix::Handle templateFile) override;
    morlix::Bool DeviceIoControl(morlix::Handle device, morlix::Dword ioControlCode, void* inBuffer,
                                 morlix::Dword inBufferSize, void* outBuffer,
                                 morlix::Dword outBufferSize, morlix::Dword* bytesReturned,
                                 void* overlapped) override;
    morlix::Bool CloseHandle(morlix::Handle object) override;

    std::size_t OpenKeyCount() const;

private:
    struct KeyPath {
        RegRoot root;
        std::string path;
    };
    bool Resolve(morlix::RegKey key, KeyPath& out) const;
    morlix::RegKey NewKey(const KeyPath& path);

    Registry& registry_;
    DeviceIo& io_;
    mutable std::mutex mutex_;
    std::map<morlix::RegKey, KeyPath> keys_;
    morlix::RegKey nextKey_ = 0x1000;
};

} // namespace sim::win
