#include "win32_platform.h"

#define WIN32_LEAN_AND_MEAN
#include <windows.h>

// The interface holds handles as pointer-sized integers and the predefined
// roots sign-extended, exactly as HKEY_CURRENT_USER and HKEY_LOCAL_MACHINE
// are defined, so the conversions below keep every bit.
static_assert(sizeof(morlix::RegKey) == sizeof(HKEY));
static_assert(sizeof(morlix::Handle) == sizeof(HANDLE));
static_assert(sizeof(morlix::Dword) == sizeof(DWORD));
static_assert(sizeof(morlix::Long) == sizeof(LONG));

namespace morlix {

namespace {

HKEY ToHkey(RegKey key) {
    return reinterpret_cast<HKEY>(key);
}
RegKey FromHkey(HKEY key) {
    return reinterpret_cast<RegKey>(key);
}
HANDLE ToHandle(Handle h) {
    return reinterpret_cast<HANDLE>(h);
}
Handle FromHandle(HANDLE h) {
    return reinterpret_cast<Handle>(h);
}

// DWORD is unsigned long and Dword unsigned int: same size, distinct types.
// The value goes in and comes back through a local of the real type.
class DwordInOut {
public:
    explicit DwordInOut(Dword* p) : p_(p), v_(p ? *p : 0) {}
    ~DwordInOut() {
        if (p_) {
            *p_ = static_cast<Dword>(v_);
        }
    }
    DwordInOut(const DwordInOut&) = delete;
    DwordInOut& operator=(const DwordInOut&) = delete;
    DWORD* get() { return p_ ? &v_ : nullptr; }

private:
    Dword* p_;
    DWORD v_;
};

} // namespace

Long Win32Platform::RegOpenKeyExA(RegKey key, const char* subKey, Dword options, Dword samDesired,
                                  RegKey* result) {
    HKEY opened = nullptr;
    const LONG rc =
        ::RegOpenKeyExA(ToHkey(key), subKey, options, samDesired, result ? &opened : nullptr);
    if (result) {
        *result = FromHkey(opened);
    }
    return rc;
}

Long Win32Platform::RegQueryValueExA(RegKey key, const char* valueName, Dword* reserved,
                                     Dword* type, std::uint8_t* data, Dword* dataSize) {
    DwordInOut reservedArg(reserved);
    DwordInOut typeArg(type);
    DwordInOut sizeArg(dataSize);
    return ::RegQueryValueExA(ToHkey(key), valueName, reservedArg.get(), typeArg.get(), data,
                              sizeArg.get());
}

Long Win32Platform::RegCreateKeyExA(RegKey key, const char* subKey, Dword reserved, char* keyClass,
                                    Dword options, Dword samDesired, void* securityAttributes,
                                    RegKey* result, Dword* disposition) {
    HKEY created = nullptr;
    DwordInOut dispositionArg(disposition);
    const LONG rc = ::RegCreateKeyExA(ToHkey(key), subKey, reserved, keyClass, options, samDesired,
                                      static_cast<LPSECURITY_ATTRIBUTES>(securityAttributes),
                                      result ? &created : nullptr, dispositionArg.get());
    if (result) {
        *result = FromHkey(created);
    }
    return rc;
}

Long Win32Platform::RegSetValueExA(RegKey key, const char* valueName, Dword reserved, Dword type,
                                   const std::uint8_t* data, Dword dataSize) {
    return ::RegSetValueExA(ToHkey(key), valueName, reserved, type, data, dataSize);
}

Long Win32Platform::RegCloseKey(RegKey key) {
    return ::RegCloseKey(ToHkey(key));
}

Handle Win32Platform::CreateFileA(const char* fileName, Dword desiredAccess, Dword shareMode,
                                  void* securityAttributes, Dword creationDisposition,
                                  Dword flagsAndAttributes, Handle templateFile) {
    return FromHandle(::CreateFileA(
        fileName, desiredAccess, shareMode, static_cast<LPSECURITY_ATTRIBUTES>(securityAttributes),
        creationDisposition, flagsAndAttributes, ToHandle(templateFile)));
}

Bool Win32Platform::DeviceIoControl(Handle device, Dword ioControlCode, void* inBuffer,
                                    Dword inBufferSize, void* outBuffer, Dword outBufferSize,
                                    Dword* bytesReturned, void* overlapped) {
    DwordInOut returnedArg(bytesReturned);
    return ::DeviceIoControl(ToHandle(device), ioControlCode, inBuffer, inBufferSize, outBuffer,
                             outBufferSize, returnedArg.get(),
                             static_cast<LPOVERLAPPED>(overlapped));
}

Bool Win32Platform::CloseHandle(Handle object) {
    return ::CloseHandle(ToHandle(object));
}

} // namespace morlix
