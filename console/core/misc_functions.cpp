#include "misc_functions.h"

#include "ansi_text.h"

#include <vector>

namespace morlix {
inline namespace MiscFunctions {

namespace {

constexpr Dword ReadBufferSize = 1024;

std::string HexFromLastByte(const std::string& bytes) {
    static constexpr char Digits[] = "0123456789ABCDEF";
    std::string text = "&h";
    for (auto it = bytes.rbegin(); it != bytes.rend(); ++it) {
        const auto b = static_cast<unsigned char>(*it);
        text += Digits[b >> 4];
        text += Digits[b & 15];
    }
    return text;
}

} // namespace

bool ReadRegValue(Platform& platform, RegKey root, const std::string& keyPath,
                  const std::string& valueName, std::string& text) {
    RegKey key = 0;
    const std::string ansiPath = Utf8ToAnsi(keyPath);
    const std::string ansiName = Utf8ToAnsi(valueName);
    if (platform.RegOpenKeyExA(root, ansiPath.c_str(), 0, KeyReadAll, &key) != ErrorSuccess) {
        text.clear();
        platform.RegCloseKey(key);
        return false;
    }

    std::vector<std::uint8_t> buffer(ReadBufferSize, 0);
    Dword size = ReadBufferSize;
    Dword type = 0;
    const Long rc =
        platform.RegQueryValueExA(key, ansiName.c_str(), nullptr, &type, buffer.data(), &size);
    // A size beyond the buffer cannot come with success; take it as a failed read.
    if (rc != ErrorSuccess || size == 0 || size > ReadBufferSize) {
        text.clear();
        platform.RegCloseKey(key);
        return false;
    }

    // Strings are stored with or without their NUL; accept both.
    std::string v(buffer.begin(), buffer.begin() + size);
    if (v.back() == '\0') {
        v.pop_back();
    }

    bool ok = true;
    if (type == RegSz) {
        text = AnsiToUtf8(v);
    } else if (type == RegDword) {
        text = HexFromLastByte(v);
    } else {
        // No other type is a setting of ours: read it as nothing, not as
        // whatever the caller's variable held before.
        text.clear();
        ok = false;
    }
    platform.RegCloseKey(key);
    return ok;
}

bool WriteRegString(Platform& platform, RegKey root, const std::string& keyPath,
                    const std::string& valueName, const std::string& text) {
    RegKey key = 0;
    Dword disposition = 0;
    const std::string ansiPath = Utf8ToAnsi(keyPath);
    if (platform.RegCreateKeyExA(root, ansiPath.c_str(), 0, nullptr, RegOptionNonVolatile,
                                 KeyAllAccess, nullptr, &key, &disposition) != ErrorSuccess) {
        return false;
    }
    const std::string ansiName = Utf8ToAnsi(valueName);
    const std::string bytes = Utf8ToAnsi(text);
    const Long rc = platform.RegSetValueExA(key, ansiName.c_str(), 0, RegSz,
                                            reinterpret_cast<const std::uint8_t*>(bytes.data()),
                                            static_cast<Dword>(bytes.size()));
    platform.RegCloseKey(key);
    return rc == ErrorSuccess;
}

} // namespace MiscFunctions
} // namespace morlix
