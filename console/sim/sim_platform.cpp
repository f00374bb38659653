#include "sim_platform.h"

#include <cstring>

namespace morlix {

using sim::registry::kRegExpandSz;
using sim::registry::kRegMultiSz;
using sim::registry::kRegSz;
using sim::registry::Registry;
using sim::registry::RegRoot;
using sim::registry::Utf16ToUtf8;
using sim::registry::Utf8ToUtf16;

namespace {

bool IsStringType(std::uint32_t type) {
    return type == kRegSz || type == kRegExpandSz || type == kRegMultiSz;
}

std::string Join(const std::string& base, const char* subKey) {
    if (subKey == nullptr || *subKey == '\0') {
        return base;
    }
    return base.empty() ? std::string(subKey) : base + "\\" + subKey;
}

} // namespace

SimPlatform::SimPlatform(Registry& registry, sim::win::DeviceIo& io)
    : registry_(registry), io_(io) {}

bool SimPlatform::Resolve(RegKey key, KeyPath& out) const {
    if (key == RootLocalMachine) {
        out = {RegRoot::LocalMachine, ""};
        return true;
    }
    if (key == RootCurrentUser) {
        out = {RegRoot::CurrentUser, ""};
        return true;
    }
    std::lock_guard lock(mutex_);
    auto it = keys_.find(key);
    if (it == keys_.end()) {
        return false;
    }
    out = it->second;
    return true;
}

RegKey SimPlatform::NewKey(const KeyPath& path) {
    std::lock_guard lock(mutex_);
    const RegKey key = nextKey_;
    nextKey_ += 4;
    keys_[key] = path;
    return key;
}

Long SimPlatform::RegOpenKeyExA(RegKey key, const char* subKey, Dword, Dword, RegKey* result) {
    if (result == nullptr) {
        return ErrorInvalidParameterCode;
    }
    *result = 0;
    KeyPath base;
    if (!Resolve(key, base)) {
        return ErrorInvalidHandleCode;
    }
    KeyPath target{base.root, Join(base.path, subKey)};
    if (!target.path.empty() && !registry_.KeyExists(target.root, target.path)) {
        return ErrorFileNotFound;
    }
    *result = NewKey(target);
    return ErrorSuccess;
}

Long SimPlatform::RegQueryValueExA(RegKey key, const char* valueName, Dword* reserved, Dword* type,
                                   std::uint8_t* data, Dword* dataSize) {
    if (reserved != nullptr || (data != nullptr && dataSize == nullptr)) {
        return ErrorInvalidParameterCode;
    }
    KeyPath at;
    if (!Resolve(key, at)) {
        return ErrorInvalidHandleCode;
    }
    const auto value = registry_.GetValue(at.root, at.path, valueName == nullptr ? "" : valueName);
    if (!value) {
        return ErrorFileNotFound;
    }
    std::vector<std::uint8_t> bytes = value->data;
    if (IsStringType(value->type)) {
        // The ANSI call converts the stored UTF-16 text, terminators as stored:
        // a value written without one is returned without one.
        std::u16string wide(bytes.size() / 2, u'\0');
        for (std::size_t i = 0; i < wide.size(); ++i) {
            wide[i] = static_cast<char16_t>(bytes[2 * i] | bytes[2 * i + 1] << 8);
        }
        const std::string ansi = Utf16ToUtf8(wide);
        bytes.assign(ansi.begin(), ansi.end());
    }
    if (type != nullptr) {
        *type = value->type;
    }
    if (dataSize == nullptr) {
        return ErrorSuccess;
    }
    const auto needed = static_cast<Dword>(bytes.size());
    if (data == nullptr) {
        *dataSize = needed;
        return ErrorSuccess;
    }
    if (*dataSize < needed) {
        *dataSize = needed;
        return ErrorMoreData;
    }
    if (needed > 0) {
        std::memcpy(data, bytes.data(), needed);
    }
    *dataSize = needed;
    return ErrorSuccess;
}

Long SimPlatform::RegCreateKeyExA(RegKey key, const char* subKey, Dword reserved, char*, Dword,
                                  Dword, void*, RegKey* result, Dword* disposition) {
    if (result == nullptr || reserved != 0) {
        return ErrorInvalidParameterCode;
    }
    *result = 0;
    KeyPath base;
    if (!Resolve(key, base)) {
        return ErrorInvalidHandleCode;
    }
    KeyPath target{base.root, Join(base.path, subKey)};
    bool existed = true;
    if (!target.path.empty()) {
        existed = registry_.KeyExists(target.root, target.path);
        if (!existed && !registry_.CreateKey(target.root, target.path)) {
            return ErrorInvalidParameterCode;
        }
    }
    if (disposition != nullptr) {
        *disposition = existed ? RegOpenedExistingKey : RegCreatedNewKey;
    }
    *result = NewKey(target);
    return ErrorSuccess;
}

Long SimPlatform::RegSetValueExA(RegKey key, const char* valueName, Dword reserved, Dword type,
                                 const std::uint8_t* data, Dword dataSize) {
    if (reserved != 0 || (data == nullptr && dataSize != 0)) {
        return ErrorInvalidParameterCode;
    }
    KeyPath at;
    if (!Resolve(key, at) || at.path.empty()) {
        return ErrorInvalidHandleCode; // values on the roots themselves are not ours to write
    }
    std::vector<std::uint8_t> bytes;
    if (IsStringType(type)) {
        // Stored as UTF-16, as the system stores every string value.
        const std::u16string wide =
            Utf8ToUtf16(std::string_view(reinterpret_cast<const char*>(data), dataSize));
        for (char16_t c : wide) {
            bytes.push_back(static_cast<std::uint8_t>(c & 0xFF));
            bytes.push_back(static_cast<std::uint8_t>(c >> 8));
        }
    } else if (dataSize > 0) {
        bytes.assign(data, data + dataSize);
    }
    if (!registry_.SetValue(at.root, at.path, valueName == nullptr ? "" : valueName, type,
                            bytes.data(), bytes.size())) {
        return ErrorInvalidParameterCode;
    }
    return ErrorSuccess;
}

Long SimPlatform::RegCloseKey(RegKey key) {
    if (key == RootLocalMachine || key == RootCurrentUser) {
        return ErrorSuccess;
    }
    std::lock_guard lock(mutex_);
    return keys_.erase(key) == 1 ? ErrorSuccess : ErrorInvalidHandleCode;
}

std::size_t SimPlatform::OpenKeyCount() const {
    std::lock_guard lock(mutex_);
    return keys_.size();
}

Handle SimPlatform::CreateFileA(const char* fileName, Dword desiredAccess, Dword shareMode, void*,
                                Dword creationDisposition, Dword, Handle) {
    return io_.CreateFileA(fileName, desiredAccess, shareMode, creationDisposition);
}

Bool SimPlatform::DeviceIoControl(Handle device, Dword ioControlCode, void* inBuffer,
                                  Dword inBufferSize, void* outBuffer, Dword outBufferSize,
                                  Dword* bytesReturned, void* overlapped) {
    if (overlapped != nullptr) {
        sim::win::SetLastError(
            sim::win::ErrorInvalidParameter); // the simulated handles are never overlapped
        return 0;
    }
    std::uint32_t returned = 0;
    const bool ok = io_.DeviceIoControl(device, ioControlCode, inBuffer, inBufferSize, outBuffer,
                                        outBufferSize, &returned);
    if (bytesReturned != nullptr) {
        *bytesReturned = returned;
    }
    return ok ? 1 : 0;
}

Bool SimPlatform::CloseHandle(Handle object) {
    return io_.CloseHandle(object) ? 1 : 0;
}

} // namespace morlix
