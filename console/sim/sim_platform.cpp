#include "sim_platform.h"

#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace morlix {

using sim::registry::kRegExpandSz;
using sim::registry::kRegMultiSz;
using sim::registry::kRegSz;
using sim::registry::Registry;
using sim::registry::RegRoot;
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

const SimPlatform::KeyPath* SimPlatform::FindLocked(RegKey key) const {
    static const KeyPath machine{RegRoot::LocalMachine, ""};
    static const KeyPath user{RegRoot::CurrentUser, ""};
    if (key == RootLocalMachine) {
        return &machine;
    }
    if (key == RootCurrentUser) {
        return &user;
    }
    auto it = keys_.find(key);
    return it == keys_.end() ? nullptr : &it->second;
}

bool SimPlatform::Resolve(RegKey key, KeyPath& out) const {
    std::lock_guard lock(mutex_);
    const KeyPath* found = FindLocked(key);
    if (found == nullptr) {
        return false;
    }
    out = *found;
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
    std::lock_guard lock(mutex_);
    const KeyPath* base = FindLocked(key);
    if (base == nullptr) {
        return ErrorInvalidHandleCode;
    }
    // The path is built in a buffer kept from call to call, and the handle goes into the node of
    // the last key closed: a device cycle's open and close allocate nothing.
    scratch_.assign(base->path);
    if (subKey != nullptr && *subKey != '\0') {
        if (!scratch_.empty()) {
            scratch_ += '\\';
        }
        scratch_ += subKey;
    }
    if (!scratch_.empty()) {
        const std::uint64_t generation = registry_.KeyTreeGeneration();
        if (!verified_ || generation != verifiedGeneration_ || base->root != verifiedRoot_ ||
            scratch_ != verifiedPath_) {
            if (!registry_.KeyExists(base->root, scratch_)) {
                return ErrorFileNotFound;
            }
            verified_ = true;
            verifiedGeneration_ = generation;
            verifiedRoot_ = base->root;
            verifiedPath_.assign(scratch_);
        }
    }
    const RegKey opened = nextKey_;
    nextKey_ += 4;
    if (spare_) {
        spare_.key() = opened;
        spare_.mapped().root = base->root;
        spare_.mapped().path.assign(scratch_);
        keys_.insert(std::move(spare_));
    } else {
        keys_.emplace(opened, KeyPath{base->root, scratch_});
    }
    *result = opened;
    return ErrorSuccess;
}

namespace {

// Whether every one of the UTF-16LE units is below 0x80: sixteen units at a time where the
// processor has 128-bit registers, then four at a time.
bool IsAsciiUtf16(const std::uint8_t* bytes, std::size_t units) {
    std::size_t i = 0;
#if defined(__SSE2__)
    const __m128i high = _mm_set1_epi16(static_cast<short>(0xFF80));
    for (; i + 16 <= units; i += 16) {
        const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(bytes + 2 * i));
        const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(bytes + 2 * i + 16));
        // Every lane's masked bits must be zero; a mask of the sign bits alone would miss a
        // high byte below 0x80.
        const __m128i masked = _mm_and_si128(_mm_or_si128(a, b), high);
        if (_mm_movemask_epi8(_mm_cmpeq_epi16(masked, _mm_setzero_si128())) != 0xFFFF) {
            return false;
        }
    }
#endif
    for (; i + 4 <= units; i += 4) {
        std::uint64_t word = 0;
        std::memcpy(&word, bytes + 2 * i, 8);
        if ((word & 0xFF80FF80FF80FF80ull) != 0) {
            return false;
        }
    }
    for (; i < units; ++i) {
        if (bytes[2 * i] >= 0x80 || bytes[2 * i + 1] != 0) {
            return false;
        }
    }
    return true;
}

// The UTF-8 form of UTF-16LE units as Utf16ToUtf8 makes it (a surrogate without its pair becomes
// U+FFFD), written to out unless out is null; returns its length. No copy of the value is made.
std::size_t Utf16LeToUtf8(const std::uint8_t* bytes, std::size_t units, std::uint8_t* out) {
    auto unit = [bytes](std::size_t k) {
        return static_cast<std::uint32_t>(bytes[2 * k] | bytes[2 * k + 1] << 8);
    };
    std::size_t n = 0;
    for (std::size_t i = 0; i < units; ++i) {
        std::uint32_t c = unit(i);
        if (c >= 0xD800 && c <= 0xDBFF && i + 1 < units && unit(i + 1) >= 0xDC00 &&
            unit(i + 1) <= 0xDFFF) {
            c = 0x10000 + ((c - 0xD800) << 10) + (unit(i + 1) - 0xDC00);
            ++i;
        } else if (c >= 0xD800 && c <= 0xDFFF) {
            c = 0xFFFD;
        }
        std::uint8_t encoded[4];
        std::size_t length = 0;
        if (c < 0x80) {
            encoded[length++] = static_cast<std::uint8_t>(c);
        } else if (c < 0x800) {
            encoded[length++] = static_cast<std::uint8_t>(0xC0 | (c >> 6));
            encoded[length++] = static_cast<std::uint8_t>(0x80 | (c & 0x3F));
        } else if (c < 0x10000) {
            encoded[length++] = static_cast<std::uint8_t>(0xE0 | (c >> 12));
            encoded[length++] = static_cast<std::uint8_t>(0x80 | ((c >> 6) & 0x3F));
            encoded[length++] = static_cast<std::uint8_t>(0x80 | (c & 0x3F));
        } else {
            encoded[length++] = static_cast<std::uint8_t>(0xF0 | (c >> 18));
            encoded[length++] = static_cast<std::uint8_t>(0x80 | ((c >> 12) & 0x3F));
            encoded[length++] = static_cast<std::uint8_t>(0x80 | ((c >> 6) & 0x3F));
            encoded[length++] = static_cast<std::uint8_t>(0x80 | (c & 0x3F));
        }
        if (out != nullptr) {
            std::memcpy(out + n, encoded, length);
        }
        n += length;
    }
    return n;
}

// What the ANSI query call gives back for a stored value: string values convert from their
// stored UTF-16, terminators as stored (a value written without one is returned without one),
// other types are their bytes. Plain ASCII text, the common case, copies byte for byte.
class AnsiValue {
public:
    explicit AnsiValue(const sim::registry::RegValue& value) : value_(value) {
        if (!IsStringType(value.type)) {
            size_ = value.data.size();
            return;
        }
        units_ = value.data.size() / 2;
        ascii_ = IsAsciiUtf16(value.data.data(), units_);
        size_ = ascii_ ? units_ : Utf16LeToUtf8(value.data.data(), units_, nullptr);
    }
    std::size_t size() const { return size_; }
    void CopyTo(std::uint8_t* out) const {
        if (!IsStringType(value_.type)) {
            if (size_ > 0) {
                std::memcpy(out, value_.data.data(), size_);
            }
        } else if (ascii_) {
            // Every unit's high byte is zero: four units pack into four bytes at a time.
            const std::uint8_t* in = value_.data.data();
            std::size_t i = 0;
#if defined(__SSE2__)
            for (; i + 16 <= size_; i += 16) {
                const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in + 2 * i));
                const __m128i b =
                    _mm_loadu_si128(reinterpret_cast<const __m128i*>(in + 2 * i + 16));
                _mm_storeu_si128(reinterpret_cast<__m128i*>(out + i), _mm_packus_epi16(a, b));
            }
#endif
            for (; i + 4 <= size_; i += 4) {
                std::uint64_t units = 0;
                std::memcpy(&units, in + 2 * i, 8);
                const std::uint64_t pairs = units | units >> 8;
                const auto bytes = static_cast<std::uint32_t>((pairs & 0xFFFF) |
                                                              (pairs >> 16 & 0xFFFF0000));
                std::memcpy(out + i, &bytes, 4);
            }
            for (; i < size_; ++i) {
                out[i] = in[2 * i];
            }
        } else {
            Utf16LeToUtf8(value_.data.data(), units_, out);
        }
    }

private:
    const sim::registry::RegValue& value_;
    bool ascii_ = false;
    std::size_t units_ = 0;
    std::size_t size_ = 0;
};

} // namespace

Long SimPlatform::RegQueryValueExA(RegKey key, const char* valueName, Dword* reserved, Dword* type,
                                   std::uint8_t* data, Dword* dataSize) {
    if (reserved != nullptr || (data != nullptr && dataSize == nullptr)) {
        return ErrorInvalidParameterCode;
    }
    std::lock_guard lock(mutex_);
    const KeyPath* at = FindLocked(key);
    if (at == nullptr) {
        return ErrorInvalidHandleCode;
    }
    Long rc = ErrorSuccess;
    const bool found =
        registry_.ReadValue(at->root, at->path, valueName == nullptr ? "" : valueName,
                            [&](const sim::registry::RegValue& value) {
                                if (type != nullptr) {
                                    *type = value.type;
                                }
                                if (dataSize == nullptr) {
                                    return;
                                }
                                const AnsiValue ansi(value);
                                const auto needed = static_cast<Dword>(ansi.size());
                                if (data == nullptr) {
                                    *dataSize = needed;
                                    return;
                                }
                                if (*dataSize < needed) {
                                    *dataSize = needed;
                                    rc = ErrorMoreData;
                                    return;
                                }
                                ansi.CopyTo(data);
                                *dataSize = needed;
                            });
    return found ? rc : ErrorFileNotFound;
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
    auto node = keys_.extract(key);
    if (!node) {
        return ErrorInvalidHandleCode;
    }
    spare_ = std::move(node);
    return ErrorSuccess;
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
