// The console's view of the operating system: the registry and device calls
// it makes, one method per Win32 function, argument for argument. The
// Windows build forwards each call to the real function; tests record them;
// the Linux build routes them to the simulated bench.
#pragma once

#include <cstdint>

namespace morlix {

using Long = std::int32_t;     // LONG: registry results, 0 = ERROR_SUCCESS
using Dword = std::uint32_t;   // DWORD
using Bool = std::int32_t;     // BOOL: nonzero = success
using RegKey = std::intptr_t;  // HKEY held as an integer
using Handle = std::intptr_t;  // HANDLE held as an integer

// The predefined roots are sign-extended 32-bit values, as Windows defines them.
inline constexpr RegKey RootCurrentUser = static_cast<std::int32_t>(0x80000001u);
inline constexpr RegKey RootLocalMachine = static_cast<std::int32_t>(0x80000002u);

inline constexpr Long ErrorSuccess = 0;
inline constexpr Long ErrorFileNotFound = 2;
inline constexpr Long ErrorMoreData = 234;

inline constexpr Dword RegNone = 0;
inline constexpr Dword RegSz = 1;
inline constexpr Dword RegExpandSz = 2;
inline constexpr Dword RegBinary = 3;
inline constexpr Dword RegDword = 4;
inline constexpr Dword RegMultiSz = 7;

inline constexpr Dword KeyQueryValue = 0x0001;
inline constexpr Dword KeyRead = 0x20019;
inline constexpr Dword KeyReadAll = 0x2003F; // READ_CONTROL with the six key-specific rights
inline constexpr Dword KeyAllAccess = 0xF003F;
inline constexpr Dword RegOptionNonVolatile = 0;

inline constexpr Dword GenericRead = 0x80000000u;
inline constexpr Dword GenericWrite = 0x40000000u;
inline constexpr Dword FileShareRead = 1;
inline constexpr Dword FileShareWrite = 2;
inline constexpr Dword OpenExisting = 3;
inline constexpr Handle InvalidHandleValue = -1;

class Platform {
public:
    virtual ~Platform() = default;

    virtual Long RegOpenKeyExA(RegKey key, const char* subKey, Dword options, Dword samDesired,
                               RegKey* result) = 0;
    virtual Long RegQueryValueExA(RegKey key, const char* valueName, Dword* reserved, Dword* type,
                                  std::uint8_t* data, Dword* dataSize) = 0;
    virtual Long RegCreateKeyExA(RegKey key, const char* subKey, Dword reserved, char* keyClass,
                                 Dword options, Dword samDesired, void* securityAttributes,
                                 RegKey* result, Dword* disposition) = 0;
    virtual Long RegSetValueExA(RegKey key, const char* valueName, Dword reserved, Dword type,
                                const std::uint8_t* data, Dword dataSize) = 0;
    virtual Long RegCloseKey(RegKey key) = 0;

    virtual Handle CreateFileA(const char* fileName, Dword desiredAccess, Dword shareMode,
                               void* securityAttributes, Dword creationDisposition,
                               Dword flagsAndAttributes, Handle templateFile) = 0;
    virtual Bool DeviceIoControl(Handle device, Dword ioControlCode, void* inBuffer,
                                 Dword inBufferSize, void* outBuffer, Dword outBufferSize,
                                 Dword* bytesReturned, void* overlapped) = 0;
    virtual Bool CloseHandle(Handle object) = 0;
};

} // namespace morlix
