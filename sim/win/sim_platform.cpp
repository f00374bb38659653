#include "sim/win/sim_platform.h"

#include <cstring>

namespace sim::win {

using namespace sim::registry;

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

SimPlatform::SimPlatform(Registry& registry, DeviceIo& io) : registry_(registry), io_(io) {}

bool SimPlatform::Resolve(morlix::RegKey key, KeyPath& out) const {
    if (key == morlix::RootLocalMachine) {
        out = {RegRoot::LocalMachine, ""};
        return true;
    }
    if (key == morlix::RootCurrentUser) {
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

morlix::RegKey SimPlatform::NewKey(const KeyPath& path) {
    std::lock_guard lock(mutex_);
    const morlix::RegKey key = nextKey_;
    nextKey_ += 4;
    keys_[key] = path;
    return key;
}

morlix::Long SimPlatform::RegOpenKeyExA(morlix::RegKey key, const char* subKey, morlix::Dword,
                                        morlix::Dword, morlix::RegKey* result) {
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
        return morlix::ErrorFileNotFound;
    }
    *result = NewKey(target);
    return morlix::ErrorSuccess;
}

morlix::Long SimPlatform::RegQueryValueExA(morlix::RegKey key, const char* valueName,
                                           morlix::Dword* reserved, morlix::Dword* type,
                                           std::uint8_t* data, morlix::Dword* dataSize) {
    if (reserved != nullptr || (data != nullptr && dataSize == nullptr)) {
        return ErrorInvalidParameterCode;
    }
    KeyPath at;
    if (!Resolve(key, at)) {
        return ErrorInvalidHandleCode;
    }
    const auto value = registry_.GetValue(at.root, at.path, valueName == nullptr ? "" : valueName);
    if (!value) {
        return morlix::ErrorFileNotFound;
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
        return morlix::ErrorSuccess;
    }
    const auto needed = static_cast<morlix::Dword>(bytes.size());
    if (data == nullptr) {
        *dataSize = needed;
        return morlix::ErrorSuccess;
    }
    if (*dataSize < needed) {
        *dataSize = needed;
        return morlix::ErrorMoreData;
    }
    if (needed > 0) {
        std::memcpy(data, bytes.data(), needed);
    }
    *dataSize = needed;
    return morlix::ErrorSuccess;
}

morlix::Long SimPlatform::RegCreateKeyExA(morlix::RegKey key, const char* subKey,
                                          morlix::Dword reserved, char*, morlix::Dword,
                                          morlix::Dword, void*, morlix::RegKey* result,
                                          morlix::Dword* disposition) {
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
    return morlix::ErrorSuccess;
}

morlix::Long SimPlatform::RegSetValueExA(morlix::RegKey key, const char* valueName,
                                         morlix::Dword reserved, morlix::Dword type,
                                         const std::uint8_t* data, morlix::Dword dataSize) {
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
    return morlix::ErrorSuccess;
}

morlix::Long SimPlatform::RegCloseKey(morlix::RegKey key) {
    if (key == morlix::RootLocalMachine || key == morlix::RootCurrentUser) {
        return morlix::ErrorSuccess;
    }
    std::lock_guard lock(mutex_);
    return keys_.erase(key) == 1 ? morlix::ErrorSuccess : ErrorInvalidHandleCode;
}

std::size_t SimPlatform::OpenKeyCount() const {
    std::lock_guard lock(mutex_);
    return keys_.size();
}

morlix::Handle SimPlatform::CreateFileA(const char* fileName, morlix::Dword desiredAccess,
                                        morlix::Dword shareMode, void*,
                                        morlix::Dword creationDisposition, morlix::Dword,
                                        morlix::Handle) {
    return io_.CreateFileA(fileName, desiredAccess, shareMode, creationDisposition);
}

morlix::Bool SimPlatform::DeviceIoControl(morlix::Handle device, morlix::Dword ioControlCode,
                                          void* inBuffer, morlix::Dword inBufferSize,
                                          void* outBuffer, morlix::Dword outBufferSize,
                                          morlix::Dword* bytesReturned, void* overlapped) {
    if (overlapped != nullptr) {
        SetLastError(ErrorInvalidParameter); // the simulated handles are never overlapped
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

morlix::Bool SimPlatform::CloseHandle(morlix::Handle object) {
    return io_.CloseHandle(object) ? 1 : 0;
}

} // namespace sim::win
