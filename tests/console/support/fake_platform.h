// A recording stand-in for the Win32 calls of the console: an in-memory
// registry, one scriptable USB I/O chip behind CreateFileA/DeviceIoControl,
// scriptable failures, and a log of every call with all its arguments.
//
// Typical use:
//   FakePlatform fake;
//   fake.InstallDevice();            // publishes DeviceName, chip answers
//   UsbLink link(fake);
//   UsbSendData(link, 853);
//   EXPECT_EQ(fake.LatchedWords(), (std::vector<CoilWord>{853}));
#pragma once

#include "coil_word.h"
#include "platform.h"

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace morlix::test {

enum class CallKind {
    RegOpenKeyExA,
    RegQueryValueExA,
    RegCreateKeyExA,
    RegSetValueExA,
    RegCloseKey,
    CreateFileA,
    DeviceIoControl,
    CloseHandle,
};

const char* CallName(CallKind kind);

// One recorded call. Only the fields that the call has are filled; the
// others keep their zero values. Pointer arguments are recorded as whether
// they were null, strings by their text, buffers by their bytes.
struct Call {
    CallKind kind{};

    RegKey key = 0;    // registry calls: the key or root passed in
    Handle handle = 0; // DeviceIoControl, CloseHandle: the handle passed in
    std::string name;  // sub-key, value name or file name (text up to NUL)
    bool nameNull = false;

    Dword options = 0;               // RegOpenKeyExA / RegCreateKeyExA options
    Dword access = 0;                // samDesired / dwDesiredAccess
    Dword reserved = 0;              // RegCreateKeyExA / RegSetValueExA reserved value
    bool reservedNull = true;        // RegQueryValueExA: reserved pointer
    bool classNull = true;           // RegCreateKeyExA: class
    bool securityNull = true;        // RegCreateKeyExA / CreateFileA
    bool resultOutNull = false;      // RegOpenKeyExA / RegCreateKeyExA key out
    bool dispositionOutNull = false; // RegCreateKeyExA
    bool typeOutNull = false;        // RegQueryValueExA
    bool dataNull = false;           // RegQueryValueExA / RegSetValueExA data
    bool sizeOutNull = false;        // RegQueryValueExA size in/out

    Dword type = 0;                 // RegSetValueExA type
    Dword sizeIn = 0;               // RegQueryValueExA size on entry; RegSetValueExA size
    std::vector<std::uint8_t> data; // RegSetValueExA data; DeviceIoControl input

    Dword shareMode = 0;           // CreateFileA
    Dword creationDisposition = 0; // CreateFileA
    Dword flagsAndAttributes = 0;  // CreateFileA
    Handle templateFile = 0;       // CreateFileA

    Dword ioControlCode = 0; // DeviceIoControl
    Dword inSize = 0;        // DeviceIoControl
    Dword outSize = 0;       // DeviceIoControl
    bool inNull = false;
    bool outNull = false;
    bool bytesReturnedNull = false;
    bool overlappedNull = true;

    std::int64_t result = 0; // what the fake returned (LONG, BOOL or HANDLE)
};

struct RegValue {
    Dword type = RegNone;
    std::vector<std::uint8_t> bytes;
};

// The two port bytes of one write-ports packet that reached the chip.
using PortWrite = PortBytes;

// Words latched by a coil driver watching the port writes: the data and
// address present when the strobe goes from 1 to 0. The strobe rests at 1
// before the first write.
std::vector<CoilWord> DecodeWords(const std::vector<PortWrite>& writes);

class FakePlatform : public Platform {
public:
    static constexpr const char* DefaultDevicePath = "\\\\.\\norvask-fake-0";

    // --- registry ---------------------------------------------------------
    // Keys are matched without regard to case, as Windows does; a trailing
    // backslash in a path is ignored. Setting a value creates its key.
    void AddKey(RegKey root, const std::string& path);
    void SetValue(RegKey root, const std::string& path, const std::string& name, Dword type,
                  std::vector<std::uint8_t> bytes);
    // REG_SZ with the text's bytes, with or without a terminating NUL.
    void SetString(RegKey root, const std::string& path, const std::string& name,
                   const std::string& text, bool withNul = true);
    void SetDword(RegKey root, const std::string& path, const std::string& name, std::uint32_t v);
    void RemoveValue(RegKey root, const std::string& path, const std::string& name);
    bool HasKey(RegKey root, const std::string& path) const;
    std::optional<RegValue> FindValue(RegKey root, const std::string& path,
                                      const std::string& name) const;

    // --- device -----------------------------------------------------------
    // Publishes path as "DeviceName" (REG_SZ with NUL) and lets CreateFileA
    // open exactly that path.
    void InstallDevice(const std::string& path = DefaultDevicePath);
    // Lets CreateFileA open path without touching the registry.
    void SetDevicePresent(const std::string& path, bool present = true);
    // Reply to read-serial-number packets: these bytes (at most 8 are
    // copied) and bytesReturned = their count.
    void SetSerialReply(std::vector<std::uint8_t> bytes);
    void SetSerialNumber(std::uint32_t serial); // four bytes, little-endian

    // --- scripted failures ------------------------------------------------
    struct Faults {
        Long openKey = ErrorSuccess;    // RegOpenKeyExA result when nonzero
        Long queryValue = ErrorSuccess; // RegQueryValueExA result when nonzero
        Long createKey = ErrorSuccess;  // RegCreateKeyExA result when nonzero
        Long setValue = ErrorSuccess;   // RegSetValueExA result when nonzero
        // CreateFileA returns this instead of opening (e.g. -1 or 0).
        std::optional<Handle> createFileResult;
        // Another process holds the device: CreateFileA fails with -1.
        bool deviceHeldElsewhere = false;
        bool ioctlFails = false;           // DeviceIoControl returns FALSE...
        bool ioctlWritesOnFailure = false; // ...after writing 0xEE into the output
        // When a value does not fit, write its first bytes into the buffer
        // anyway (Windows leaves the buffer undefined then).
        bool queryOverflowWrites = false;
        // Query succeeds but reports this size instead of the real one.
        std::optional<Dword> queryReportedSize;
        // Result DeviceIoControl returns on success (Windows returns 1).
        Bool ioctlSuccessResult = 1;
    };
    Faults faults;

    // --- what happened ----------------------------------------------------
    const std::vector<Call>& Calls() const { return calls_; }
    std::vector<Call> CallsOf(CallKind kind) const;
    std::size_t CountOf(CallKind kind) const;
    std::vector<CallKind> Kinds() const;
    void ClearCalls(); // also forgets port writes

    // Port bytes of every write-ports packet that the chip accepted, in order.
    const std::vector<PortWrite>& PortWrites() const { return portWrites_; }
    std::vector<CoilWord> LatchedWords() const { return DecodeWords(portWrites_); }
    // Every packet that the chip accepted, its 8 header bytes.
    const std::vector<std::vector<std::uint8_t>>& Packets() const { return packets_; }

    int OpenRegKeys() const { return static_cast<int>(openKeys_.size()); }
    int OpenDeviceHandles() const { return static_cast<int>(openHandles_.size()); }

    // --- Platform ---------------------------------------------------------
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

private:
    using KeyId = std::string; // "<root>:<lower-case path>"
    static KeyId MakeKeyId(RegKey root, const std::string& path);
    static std::string Lower(std::string s);
    std::optional<KeyId> ResolveKey(RegKey key, const char* subKey) const;

    std::map<KeyId, std::map<std::string, RegValue>> keys_; // value names lower-case
    std::map<RegKey, KeyId> openKeys_;
    RegKey nextKey_ = 0x1000;

    std::map<std::string, bool> devices_;
    std::map<Handle, std::string> openHandles_;
    Handle nextHandle_ = 0x100;
    std::vector<std::uint8_t> serialReply_;

    std::vector<Call> calls_;
    std::vector<PortWrite> portWrites_;
    std::vector<std::vector<std::uint8_t>> packets_;
};

} // namespace morlix::test
