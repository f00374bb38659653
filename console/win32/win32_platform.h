// The console's platform calls, forwarded to the real Win32 functions.
#pragma once

#include "platform.h"

namespace morlix {

class Win32Platform : public Platform {
public:
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
};

} // namespace morlix
