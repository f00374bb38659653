#include "fake_platform.h"

#include <algorithm>
#include <cctype>
#include <cstring>

namespace morlix::test {

namespace {

constexpr Long ErrorInvalidHandle = 6;
constexpr Long ErrorInvalidParameter = 87;
constexpr Dword RegCreatedNewKey = 1;
constexpr Dword RegOpenedExistingKey = 2;

bool IsPredefinedRoot(RegKey key) {
    return key >= static_cast<std::int32_t>(0x80000000u) &&
           key <= static_cast<std::int32_t>(0x80000006u);
}

Call NewCall(CallKind kind) {
    Call call;
    call.kind = kind;
    return call;
}

std::string TextOrEmpty(const char* s) {
    return s ? std::string(s) : std::string();
}

std::string TrimBackslashes(std::string path) {
    while (!path.empty() && path.back() == '\\') {
        path.pop_back();
    }
    while (!path.empty() && path.front() == '\\') {
        path.erase(path.begin());
    }
    return path;
}

} // namespace

const char* CallName(CallKind kind) {
    switch (kind) {
    case CallKind::RegOpenKeyExA:
        return "RegOpenKeyExA";
    case CallKind::RegQueryValueExA:
        return "RegQueryValueExA";
    case CallKind::RegCreateKeyExA:
        return "RegCreateKeyExA";
    case CallKind::RegSetValueExA:
        return "RegSetValueExA";
    case CallKind::RegCloseKey:
        return "RegCloseKey";
    case CallKind::CreateFileA:
        return "CreateFileA";
    case CallKind::DeviceIoControl:
        return "DeviceIoControl";
    case CallKind::CloseHandle:
        return "CloseHandle";
    }
    return "?";
}

std::vector<CoilWord> DecodeWords(const std::vector<PortWrite>& writes) {
    std::vector<CoilWord> words;
    bool strobe = true;
    for (const PortWrite& w : writes) {
        const bool next = (w.b & StrobeBit) != 0;
        if (strobe && !next) {
            words.push_back(static_cast<CoilWord>(((w.b & 3) << 8) | w.a));
        }
        strobe = next;
    }
    return words;
}

// --- registry --------------------------------------------------------------

std::string FakePlatform::Lower(std::string s) {
    for (char& c : s) {
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    return s;
}

FakePlatform::KeyId FakePlatform::MakeKeyId(RegKey root, const std::string& path) {
    return std::to_string(root) + ":" + Lower(TrimBackslashes(path));
}

std::optional<FakePlatform::KeyId> FakePlatform::ResolveKey(RegKey key, const char* subKey) const {
    const std::string sub = TrimBackslashes(TextOrEmpty(subKey));
    if (IsPredefinedRoot(key)) {
        return MakeKeyId(key, sub);
    }
    const auto open = openKeys_.find(key);
    if (open == openKeys_.end()) {
        return std::nullopt;
    }
    if (sub.empty()) {
        return open->second;
    }
    const bool atRoot = open->second.back() == ':';
    return open->second + (atRoot ? "" : "\\") + Lower(sub);
}

void FakePlatform::AddKey(RegKey root, const std::string& path) {
    keys_[MakeKeyId(root, path)];
}

void FakePlatform::SetValue(RegKey root, const std::string& path, const std::string& name,
                            Dword type, std::vector<std::uint8_t> bytes) {
    keys_[MakeKeyId(root, path)][Lower(name)] = RegValue{type, std::move(bytes)};
}

void FakePlatform::SetString(RegKey root, const std::string& path, const std::string& name,
                             const std::string& text, bool withNul) {
    std::vector<std::uint8_t> bytes(text.begin(), text.end());
    if (withNul) {
        bytes.push_back(0);
    }
    SetValue(root, path, name, RegSz, std::move(bytes));
}

void FakePlatform::SetDword(RegKey root, const std::string& path, const std::string& name,
                            std::uint32_t v) {
    SetValue(root, path, name, RegDword,
             {static_cast<std::uint8_t>(v), static_cast<std::uint8_t>(v >> 8),
              static_cast<std::uint8_t>(v >> 16), static_cast<std::uint8_t>(v >> 24)});
}

void FakePlatform::RemoveValue(RegKey root, const std::string& path, const std::string& name) {
    const auto key = keys_.find(MakeKeyId(root, path));
    if (key != keys_.end()) {
        key->second.erase(Lower(name));
    }
}

bool FakePlatform::HasKey(RegKey root, const std::string& path) const {
    return keys_.count(MakeKeyId(root, path)) != 0;
}

std::optional<RegValue> FakePlatform::FindValue(RegKey root, const std::string& path,
                                                const std::string& name) const {
    const auto key = keys_.find(MakeKeyId(root, path));
    if (key == keys_.end()) {
        return std::nullopt;
    }
    const auto value = key->second.find(Lower(name));
    if (value == key->second.end()) {
        return std::nullopt;
    }
    return value->second;
}

// --- device ----------------------------------------------------------------

void FakePlatform::InstallDevice(const std::string& path) {
    SetString(RootLocalMachine, DeviceNameKey, DeviceNameValue, path, true);
    SetDevicePresent(path, true);
}

void FakePlatform::SetDevicePresent(const std::string& path, bool present) {
    devices_[path] = present;
}

void FakePlatform::SetSerialReply(std::vector<std::uint8_t> bytes) {
    serialReply_ = std::move(bytes);
}

void FakePlatform::SetSerialNumber(std::uint32_t serial) {
    SetSerialReply({static_cast<std::uint8_t>(serial), static_cast<std::uint8_t>(serial >> 8),
                    static_cast<std::uint8_t>(serial >> 16),
                    static_cast<std::uint8_t>(serial >> 24)});
}

// --- what happened -----------------------------------------------------------

std::vector<Call> FakePlatform::CallsOf(CallKind kind) const {
    std::vector<Call> out;
    std::copy_if(calls_.begin(), calls_.end(), std::back_inserter(out),
                 [kind](const Call& c) { return c.kind == kind; });
    return out;
}

std::size_t FakePlatform::CountOf(CallKind kind) const {
    return static_cast<std::size_t>(std::count_if(
        calls_.begin(), calls_.end(), [kind](const Call& c) { return c.kind == kind; }));
}

std::vector<CallKind> FakePlatform::Kinds() const {
    std::vector<CallKind> out;
    for (const Call& c : calls_) {
        out.push_back(c.kind);
    }
    return out;
}

void FakePlatform::ClearCalls() {
    calls_.clear();
    portWrites_.clear();
    packets_.clear();
}

// --- Platform --------------------------------------------------------------

Long FakePlatform::RegOpenKeyExA(RegKey key, const char* subKey, Dword options, Dword samDesired,
                                 RegKey* result) {
    Call call = NewCall(CallKind::RegOpenKeyExA);
    call.key = key;
    call.name = TextOrEmpty(subKey);
    call.nameNull = subKey == nullptr;
    call.options = options;
    call.access = samDesired;
    call.resultOutNull = result == nullptr;

    Long rc = ErrorSuccess;
    const auto id = ResolveKey(key, subKey);
    if (!result) {
        rc = ErrorInvalidParameter;
    } else if (faults.openKey != ErrorSuccess) {
        rc = faults.openKey;
        *result = 0;
    } else if (!id) {
        rc = ErrorInvalidHandle;
        *result = 0;
    } else if (keys_.count(*id) == 0) {
        rc = ErrorFileNotFound;
        *result = 0;
    } else {
        const RegKey handle = nextKey_++;
        openKeys_[handle] = *id;
        *result = handle;
    }
    call.result = rc;
    calls_.push_back(std::move(call));
    return rc;
}

Long FakePlatform::RegQueryValueExA(RegKey key, const char* valueName, Dword* reserved, Dword* type,
                                    std::uint8_t* data, Dword* dataSize) {
    Call call = NewCall(CallKind::RegQueryValueExA);
    call.key = key;
    call.name = TextOrEmpty(valueName);
    call.nameNull = valueName == nullptr;
    call.reservedNull = reserved == nullptr;
    call.typeOutNull = type == nullptr;
    call.dataNull = data == nullptr;
    call.sizeOutNull = dataSize == nullptr;
    call.sizeIn = dataSize ? *dataSize : 0;

    Long rc = ErrorSuccess;
    const auto open = openKeys_.find(key);
    if (faults.queryValue != ErrorSuccess) {
        rc = faults.queryValue;
    } else if (open == openKeys_.end()) {
        rc = ErrorInvalidHandle;
    } else if (reserved != nullptr || (data != nullptr && dataSize == nullptr)) {
        rc = ErrorInvalidParameter;
    } else {
        const auto& values = keys_[open->second];
        const auto value = values.find(Lower(TextOrEmpty(valueName)));
        if (value == values.end()) {
            rc = ErrorFileNotFound;
        } else {
            const auto& bytes = value->second.bytes;
            const auto size = static_cast<Dword>(bytes.size());
            if (type) {
                *type = value->second.type;
            }
            if (data && *dataSize < size) {
                if (faults.queryOverflowWrites && *dataSize != 0) {
                    std::memcpy(data, bytes.data(), *dataSize);
                }
                rc = ErrorMoreData;
            } else if (data && size != 0) {
                std::memcpy(data, bytes.data(), size);
            }
            if (dataSize) {
                *dataSize = size;
                if (rc == ErrorSuccess && faults.queryReportedSize) {
                    *dataSize = *faults.queryReportedSize;
                }
            }
        }
    }
    call.result = rc;
    calls_.push_back(std::move(call));
    return rc;
}

Long FakePlatform::RegCreateKeyExA(RegKey key, const char* subKey, Dword reserved, char* keyClass,
                                   Dword options, Dword samDesired, void* securityAttributes,
                                   RegKey* result, Dword* disposition) {
    Call call = NewCall(CallKind::RegCreateKeyExA);
    call.key = key;
    call.name = TextOrEmpty(subKey);
    call.nameNull = subKey == nullptr;
    call.reserved = reserved;
    call.classNull = keyClass == nullptr;
    call.options = options;
    call.access = samDesired;
    call.securityNull = securityAttributes == nullptr;
    call.resultOutNull = result == nullptr;
    call.dispositionOutNull = disposition == nullptr;

    Long rc = ErrorSuccess;
    const auto id = ResolveKey(key, subKey);
    if (!result) {
        rc = ErrorInvalidParameter;
    } else if (faults.createKey != ErrorSuccess) {
        rc = faults.createKey;
    } else if (!id) {
        rc = ErrorInvalidHandle;
    } else {
        const bool existed = keys_.count(*id) != 0;
        keys_[*id];
        const RegKey handle = nextKey_++;
        openKeys_[handle] = *id;
        *result = handle;
        if (disposition) {
            *disposition = existed ? RegOpenedExistingKey : RegCreatedNewKey;
        }
    }
    call.result = rc;
    calls_.push_back(std::move(call));
    return rc;
}

Long FakePlatform::RegSetValueExA(RegKey key, const char* valueName, Dword reserved, Dword type,
                                  const std::uint8_t* data, Dword dataSize) {
    Call call = NewCall(CallKind::RegSetValueExA);
    call.key = key;
    call.name = TextOrEmpty(valueName);
    call.nameNull = valueName == nullptr;
    call.reserved = reserved;
    call.type = type;
    call.dataNull = data == nullptr;
    call.sizeIn = dataSize;
    if (data) {
        call.data.assign(data, data + dataSize);
    }

    Long rc = ErrorSuccess;
    const auto open = openKeys_.find(key);
    if (faults.setValue != ErrorSuccess) {
        rc = faults.setValue;
    } else if (open == openKeys_.end()) {
        rc = ErrorInvalidHandle;
    } else if (data == nullptr && dataSize != 0) {
        rc = ErrorInvalidParameter;
    } else {
        keys_[open->second][Lower(TextOrEmpty(valueName))] = RegValue{type, call.data};
    }
    call.result = rc;
    calls_.push_back(std::move(call));
    return rc;
}

Long FakePlatform::RegCloseKey(RegKey key) {
    Call call = NewCall(CallKind::RegCloseKey);
    call.key = key;
    const Long rc = openKeys_.erase(key) != 0 ? ErrorSuccess : ErrorInvalidHandle;
    call.result = rc;
    calls_.push_back(std::move(call));
    return rc;
}

Handle FakePlatform::CreateFileA(const char* fileName, Dword desiredAccess, Dword shareMode,
                                 void* securityAttributes, Dword creationDisposition,
                                 Dword flagsAndAttributes, Handle templateFile) {
    Call call = NewCall(CallKind::CreateFileA);
    call.name = TextOrEmpty(fileName);
    call.nameNull = fileName == nullptr;
    call.access = desiredAccess;
    call.shareMode = shareMode;
    call.securityNull = securityAttributes == nullptr;
    call.creationDisposition = creationDisposition;
    call.flagsAndAttributes = flagsAndAttributes;
    call.templateFile = templateFile;

    Handle h = InvalidHandleValue;
    if (faults.createFileResult) {
        h = *faults.createFileResult;
    } else if (fileName != nullptr && !faults.deviceHeldElsewhere) {
        const auto dev = devices_.find(call.name);
        // The driver admits one open handle at a time.
        if (dev != devices_.end() && dev->second && openHandles_.empty()) {
            h = nextHandle_++;
            openHandles_[h] = call.name;
        }
    }
    call.result = h;
    calls_.push_back(std::move(call));
    return h;
}

Bool FakePlatform::DeviceIoControl(Handle device, Dword ioControlCode, void* inBuffer,
                                   Dword inBufferSize, void* outBuffer, Dword outBufferSize,
                                   Dword* bytesReturned, void* overlapped) {
    Call call = NewCall(CallKind::DeviceIoControl);
    call.handle = device;
    call.ioControlCode = ioControlCode;
    call.inSize = inBufferSize;
    call.outSize = outBufferSize;
    call.inNull = inBuffer == nullptr;
    call.outNull = outBuffer == nullptr;
    call.bytesReturnedNull = bytesReturned == nullptr;
    call.overlappedNull = overlapped == nullptr;
    const auto* in = static_cast<const std::uint8_t*>(inBuffer);
    if (in) {
        // Reads exactly the length claimed: a caller that claims more than
        // its buffer holds shows up under AddressSanitizer.
        call.data.assign(in, in + inBufferSize);
    }
    auto* out = static_cast<std::uint8_t*>(outBuffer);

    Bool rc = 0;
    if (openHandles_.count(device) == 0) {
        rc = 0;
    } else if (faults.ioctlFails) {
        if (faults.ioctlWritesOnFailure && out) {
            std::memset(out, 0xEE, outBufferSize);
        }
        rc = 0;
    } else if (ioControlCode != IOCTL_VENDOR_REQUEST || !in || inBufferSize < 8) {
        rc = 0;
    } else {
        packets_.emplace_back(in, in + 8);
        Dword returned = 0;
        const bool inTransfer = (in[2] & 1) != 0 && in[0] <= 11;
        if (inTransfer) {
            if (in[2] == MajorReadSerial && out) {
                const std::size_t n = std::min<std::size_t>(
                    {serialReply_.size(), std::size_t{8}, std::size_t{outBufferSize}});
                if (n != 0) {
                    std::memcpy(out, serialReply_.data(), n);
                }
                returned = static_cast<Dword>(n);
            }
        } else if (in[2] == MajorWritePorts) {
            portWrites_.push_back(PortWrite{in[4], in[5]});
        }
        if (bytesReturned) {
            *bytesReturned = returned;
        }
        rc = faults.ioctlSuccessResult;
    }
    call.result = rc;
    calls_.push_back(std::move(call));
    return rc;
}

Bool FakePlatform::CloseHandle(Handle object) {
    Call call = NewCall(CallKind::CloseHandle);
    call.handle = object;
    const Bool rc = openHandles_.erase(object) != 0 ? 1 : 0;
    call.result = rc;
    calls_.push_back(std::move(call));
    return rc;
}

} // namespace morlix::test
