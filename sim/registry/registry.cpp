#include "sim/registry/registry.h"

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <map>
#include <sstream>

namespace sim::registry {

namespace {

char Fold(char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

std::string Lower(std::string_view text) {
    std::string out(text);
    for (char& c : out)
        c = Fold(c);
    return out;
}

// Orders names as their lower-case forms order (byte by byte, then by length), without making
// the lower-case copies: a lookup can pass the caller's spelling as it is.
struct NoCaseLess {
    using is_transparent = void;
    bool operator()(std::string_view a, std::string_view b) const {
        const size_t n = std::min(a.size(), b.size());
        for (size_t i = 0; i < n; ++i) {
            if (a[i] == b[i])
                continue;
            const auto x = static_cast<unsigned char>(Fold(a[i]));
            const auto y = static_cast<unsigned char>(Fold(b[i]));
            if (x != y)
                return x < y;
        }
        return a.size() < b.size();
    }
};

// The next non-empty component of a backslash-separated path at or after pos, and pos moved past
// it; empty at the end.
std::string_view NextPart(std::string_view path, size_t& pos) {
    while (pos < path.size() && path[pos] == '\\')
        ++pos;
    const size_t start = pos;
    while (pos < path.size() && path[pos] != '\\')
        ++pos;
    return path.substr(start, pos - start);
}

bool HasParts(std::string_view path) {
    return path.find_first_not_of('\\') != std::string_view::npos;
}

std::string Hex(const void* data, size_t size) {
    static const char digits[] = "0123456789abcdef";
    auto bytes = static_cast<const uint8_t*>(data);
    std::string out;
    out.reserve(size * 2 + 1);
    out.push_back('x'); // keeps empty fields visible as a token
    for (size_t i = 0; i < size; ++i) {
        out.push_back(digits[bytes[i] >> 4]);
        out.push_back(digits[bytes[i] & 15]);
    }
    return out;
}

bool Unhex(const std::string& text, std::vector<uint8_t>& out) {
    if (text.empty() || text[0] != 'x' || (text.size() - 1) % 2 != 0)
        return false;
    auto nibble = [](char c) -> int {
        if (c >= '0' && c <= '9')
            return c - '0';
        if (c >= 'a' && c <= 'f')
            return c - 'a' + 10;
        return -1;
    };
    out.clear();
    for (size_t i = 1; i < text.size(); i += 2) {
        int hi = nibble(text[i]);
        int lo = nibble(text[i + 1]);
        if (hi < 0 || lo < 0)
            return false;
        out.push_back(static_cast<uint8_t>(hi * 16 + lo));
    }
    return true;
}

} // namespace

struct Registry::Key {
    std::string name;
    // Both by lower-case name, found by any spelling.
    std::map<std::string, std::unique_ptr<Key>, NoCaseLess> subkeys;
    struct NamedValue {
        std::string name;
        RegValue value;
    };
    std::map<std::string, NamedValue, NoCaseLess> values;
    // The value last found here, looked at first when it is asked for by the same spelling: a
    // reader asks for the same value over and over. Cleared when a value leaves.
    mutable const NamedValue* lastFound = nullptr;
};

Registry::Registry() : machine_(std::make_unique<Key>()), user_(std::make_unique<Key>()) {
    machine_->name = "HKEY_LOCAL_MACHINE";
    user_->name = "HKEY_CURRENT_USER";
}

Registry::~Registry() = default;

Registry& Registry::Instance() {
    static Registry registry;
    return registry;
}

Registry::Key* Registry::RootKey(RegRoot root) const {
    return root == RegRoot::LocalMachine ? machine_.get() : user_.get();
}

void Registry::ForgetFoundKeys() {
    for (FoundKey& found : found_)
        found.key = nullptr;
    keyGeneration_.fetch_add(1, std::memory_order_release);
}

Registry::Key* Registry::FindKey(RegRoot root, std::string_view path) const {
    for (const FoundKey& found : found_) {
        if (found.key != nullptr && found.root == root && found.path == path)
            return found.key;
    }
    Key* key = RootKey(root);
    size_t pos = 0;
    for (std::string_view part = NextPart(path, pos); !part.empty(); part = NextPart(path, pos)) {
        auto it = key->subkeys.find(part);
        if (it == key->subkeys.end())
            return nullptr;
        key = it->second.get();
    }
    FoundKey& slot = found_[nextFound_];
    nextFound_ = (nextFound_ + 1) % found_.size();
    slot.root = root;
    slot.path.assign(path);
    slot.key = key;
    return key;
}

const RegValue* Registry::FindValueLocked(RegRoot root, std::string_view path,
                                          std::string_view name) const {
    const Key* key = FindKey(root, path);
    if (key == nullptr)
        return nullptr;
    if (key->lastFound != nullptr && key->lastFound->name == name)
        return &key->lastFound->value;
    auto it = key->values.find(name);
    if (it == key->values.end())
        return nullptr;
    key->lastFound = &it->second;
    return &it->second.value;
}

Registry::Key* Registry::CreateKeyLocked(RegRoot root, std::string_view path) {
    Key* key = RootKey(root);
    size_t pos = 0;
    for (std::string_view part = NextPart(path, pos); !part.empty(); part = NextPart(path, pos)) {
        auto it = key->subkeys.find(part);
        if (it == key->subkeys.end()) {
            ForgetFoundKeys();
            auto sub = std::make_unique<Key>();
            sub->name = std::string(part);
            it = key->subkeys.emplace(Lower(part), std::move(sub)).first;
        }
        key = it->second.get();
    }
    return key;
}

bool Registry::CreateKey(RegRoot root, std::string_view path) {
    if (!HasParts(path))
        return false;
    std::lock_guard lock(mutex_);
    return CreateKeyLocked(root, path) != nullptr;
}

bool Registry::KeyExists(RegRoot root, std::string_view path) const {
    std::lock_guard lock(mutex_);
    return FindKey(root, path) != nullptr;
}

bool Registry::DeleteKey(RegRoot root, std::string_view path) {
    size_t pos = 0;
    std::string_view part = NextPart(path, pos);
    if (part.empty())
        return false;
    std::lock_guard lock(mutex_);
    Key* parent = RootKey(root);
    for (std::string_view next = NextPart(path, pos); !next.empty();
         part = next, next = NextPart(path, pos)) {
        auto it = parent->subkeys.find(part);
        if (it == parent->subkeys.end())
            return false;
        parent = it->second.get();
    }
    auto it = parent->subkeys.find(part);
    if (it == parent->subkeys.end())
        return false;
    ForgetFoundKeys(); // the key and everything under it go
    parent->subkeys.erase(it);
    return true;
}

bool Registry::SetValue(RegRoot root, std::string_view path, std::string_view name, uint32_t type,
                        const void* data, size_t size) {
    if (data == nullptr && size != 0)
        return false;
    std::lock_guard lock(mutex_);
    Key* key = CreateKeyLocked(root, path);
    auto it = key->values.find(name);
    if (it == key->values.end())
        it = key->values.try_emplace(Lower(name)).first;
    Key::NamedValue& slot = it->second;
    slot.name.assign(name);
    slot.value.type = type;
    auto bytes = static_cast<const uint8_t*>(data);
    slot.value.data.assign(bytes, bytes + size);
    return true;
}

std::optional<RegValue> Registry::GetValue(RegRoot root, std::string_view path,
                                           std::string_view name) const {
    std::lock_guard lock(mutex_);
    const RegValue* value = FindValueLocked(root, path, name);
    if (value == nullptr)
        return std::nullopt;
    return *value;
}

bool Registry::DeleteValue(RegRoot root, std::string_view path, std::string_view name) {
    std::lock_guard lock(mutex_);
    Key* key = FindKey(root, path);
    if (key == nullptr)
        return false;
    auto it = key->values.find(name);
    if (it == key->values.end())
        return false;
    key->lastFound = nullptr;
    key->values.erase(it);
    return true;
}

std::vector<std::string> Registry::EnumerateSubKeys(RegRoot root, std::string_view path) const {
    std::lock_guard lock(mutex_);
    std::vector<std::string> names;
    if (Key* key = FindKey(root, path)) {
        for (const auto& [lower, sub] : key->subkeys)
            names.push_back(sub->name);
    }
    return names;
}

std::vector<std::string> Registry::EnumerateValues(RegRoot root, std::string_view path) const {
    std::lock_guard lock(mutex_);
    std::vector<std::string> names;
    if (Key* key = FindKey(root, path)) {
        for (const auto& [lower, value] : key->values)
            names.push_back(value.name);
    }
    return names;
}

bool Registry::SetString(RegRoot root, std::string_view path, std::string_view name,
                         std::string_view utf8) {
    std::vector<uint8_t> bytes = Utf16Bytes(Utf8ToUtf16(utf8));
    return SetValue(root, path, name, kRegSz, bytes.data(), bytes.size());
}

std::optional<std::string> Registry::GetString(RegRoot root, std::string_view path,
                                               std::string_view name) const {
    std::optional<std::u16string> text;
    ReadValue(root, path, name, [&](const RegValue& value) {
        if (value.type != kRegSz && value.type != kRegExpandSz)
            return;
        text.emplace();
        for (size_t i = 0; i + 1 < value.data.size(); i += 2) {
            char16_t c = static_cast<char16_t>(value.data[i] | (value.data[i + 1] << 8));
            if (c == 0)
                break;
            text->push_back(c);
        }
    });
    if (!text)
        return std::nullopt;
    return Utf16ToUtf8(*text);
}

bool Registry::SetDword(RegRoot root, std::string_view path, std::string_view name,
                        uint32_t value) {
    uint8_t bytes[4] = {static_cast<uint8_t>(value), static_cast<uint8_t>(value >> 8),
                        static_cast<uint8_t>(value >> 16), static_cast<uint8_t>(value >> 24)};
    return SetValue(root, path, name, kRegDword, bytes, sizeof bytes);
}

std::optional<uint32_t> Registry::GetDword(RegRoot root, std::string_view path,
                                           std::string_view name) const {
    std::optional<uint32_t> result;
    ReadValue(root, path, name, [&](const RegValue& value) {
        if (value.type != kRegDword || value.data.size() < 4)
            return;
        const auto& d = value.data;
        result = static_cast<uint32_t>(d[0] | (d[1] << 8) | (d[2] << 16) |
                                       (static_cast<uint32_t>(d[3]) << 24));
    });
    return result;
}

void Registry::Clear() {
    std::lock_guard lock(mutex_);
    ForgetFoundKeys();
    machine_->subkeys.clear();
    machine_->values.clear();
    machine_->lastFound = nullptr;
    user_->subkeys.clear();
    user_->values.clear();
    user_->lastFound = nullptr;
}

// File format, one record per line, every field hex-encoded behind an 'x':
//   simreg 1
//   K <root> <path>                     a key (so that empty keys survive)
//   V <root> <path> <name> <type> <data>
//   end <record count>
// The closing line detects truncation.
namespace {
constexpr const char* kFileMagic = "simreg 1";
}

bool Registry::SaveToFile(const std::string& fileName) const {
    std::ostringstream out;
    out << kFileMagic << '\n';
    size_t records = 0;
    {
        std::lock_guard lock(mutex_);
        struct Walker {
            std::ostringstream& out;
            size_t& records;
            void Walk(const Key& key, int root, const std::string& path) {
                for (const auto& [lower, sub] : key.subkeys) {
                    std::string subPath = path.empty() ? sub->name : path + "\\" + sub->name;
                    out << "K " << root << ' ' << Hex(subPath.data(), subPath.size()) << '\n';
                    ++records;
                    Walk(*sub, root, subPath);
                }
                for (const auto& [lower, value] : key.values) {
                    out << "V " << root << ' ' << Hex(path.data(), path.size()) << ' '
                        << Hex(value.name.data(), value.name.size()) << ' ' << value.value.type
                        << ' ' << Hex(value.value.data.data(), value.value.data.size()) << '\n';
                    ++records;
                }
            }
        } walker{out, records};
        walker.Walk(*machine_, 0, "");
        walker.Walk(*user_, 1, "");
    }
    out << "end " << records << '\n';

    std::string temp = fileName + ".tmp";
    {
        std::ofstream file(temp, std::ios::binary | std::ios::trunc);
        if (!file)
            return false;
        std::string text = out.str();
        file.write(text.data(), static_cast<std::streamsize>(text.size()));
        if (!file.flush())
            return false;
    }
    return std::rename(temp.c_str(), fileName.c_str()) == 0;
}

bool Registry::LoadFromFile(const std::string& fileName) {
    std::ifstream file(fileName, std::ios::binary);
    if (!file)
        return false;
    std::string line;
    if (!std::getline(file, line) || line != kFileMagic)
        return false;

    Registry staging; // parsed completely before anything is replaced
    size_t records = 0;
    bool ended = false;
    while (std::getline(file, line)) {
        if (ended)
            return false; // nothing may follow the closing line
        std::istringstream in(line);
        std::string tag;
        in >> tag;
        if (tag == "end") {
            size_t count = 0;
            if (!(in >> count) || count != records)
                return false;
            ended = true;
            continue;
        }
        int root = -1;
        std::string pathHex;
        if (!(in >> root >> pathHex) || (root != 0 && root != 1))
            return false;
        std::vector<uint8_t> pathBytes;
        if (!Unhex(pathHex, pathBytes))
            return false;
        std::string path(pathBytes.begin(), pathBytes.end());
        RegRoot regRoot = root == 0 ? RegRoot::LocalMachine : RegRoot::CurrentUser;
        if (tag == "K") {
            if (!staging.CreateKey(regRoot, path))
                return false;
        } else if (tag == "V") {
            std::string nameHex, dataHex;
            uint32_t type = 0;
            if (!(in >> nameHex >> type >> dataHex))
                return false;
            std::vector<uint8_t> nameBytes, data;
            if (!Unhex(nameHex, nameBytes) || !Unhex(dataHex, data))
                return false;
            std::string name(nameBytes.begin(), nameBytes.end());
            staging.SetValue(regRoot, path, name, type, data.data(), data.size());
        } else {
            return false;
        }
        std::string extra;
        if (in >> extra)
            return false;
        ++records;
    }
    if (!ended)
        return false;

    std::scoped_lock lock(mutex_, staging.mutex_);
    ForgetFoundKeys();
    machine_.swap(staging.machine_);
    user_.swap(staging.user_);
    return true;
}

std::u16string Utf8ToUtf16(std::string_view utf8) {
    std::u16string out;
    size_t i = 0;
    while (i < utf8.size()) {
        auto byte = [&](size_t k) { return static_cast<uint8_t>(utf8[k]); };
        uint32_t c = byte(i);
        size_t extra = 0;
        if (c < 0x80) {
            extra = 0;
        } else if ((c & 0xE0) == 0xC0) {
            c &= 0x1F;
            extra = 1;
        } else if ((c & 0xF0) == 0xE0) {
            c &= 0x0F;
            extra = 2;
        } else if ((c & 0xF8) == 0xF0) {
            c &= 0x07;
            extra = 3;
        } else {
            out.push_back(u'\uFFFD');
            ++i;
            continue;
        }
        if (extra > 0 && i + extra >= utf8.size()) {
            out.push_back(u'\uFFFD');
            break;
        }
        bool ok = true;
        for (size_t k = 1; k <= extra; ++k) {
            if ((byte(i + k) & 0xC0) != 0x80) {
                ok = false;
                break;
            }
            c = (c << 6) | (byte(i + k) & 0x3F);
        }
        if (!ok) {
            out.push_back(u'\uFFFD');
            ++i;
            continue;
        }
        i += extra + 1;
        if (c >= 0x10000 && c <= 0x10FFFF) {
            c -= 0x10000;
            out.push_back(static_cast<char16_t>(0xD800 + (c >> 10)));
            out.push_back(static_cast<char16_t>(0xDC00 + (c & 0x3FF)));
        } else if (c > 0x10FFFF) {
            out.push_back(u'\uFFFD');
        } else {
            out.push_back(static_cast<char16_t>(c));
        }
    }
    return out;
}

std::string Utf16ToUtf8(std::u16string_view utf16) {
    std::string out;
    // Plain ASCII, the common case (registry paths and names), is the same text byte for byte.
    if (std::all_of(utf16.begin(), utf16.end(), [](char16_t c) { return c < 0x80; })) {
        out.resize(utf16.size());
        std::transform(utf16.begin(), utf16.end(), out.begin(),
                       [](char16_t c) { return static_cast<char>(c); });
        return out;
    }
    out.reserve(utf16.size());
    for (size_t i = 0; i < utf16.size(); ++i) {
        uint32_t c = utf16[i];
        if (c >= 0xD800 && c <= 0xDBFF && i + 1 < utf16.size() && utf16[i + 1] >= 0xDC00 &&
            utf16[i + 1] <= 0xDFFF) {
            c = 0x10000 + ((c - 0xD800) << 10) + (utf16[i + 1] - 0xDC00);
            ++i;
        } else if (c >= 0xD800 && c <= 0xDFFF) {
            c = 0xFFFD;
        }
        if (c < 0x80) {
            out.push_back(static_cast<char>(c));
        } else if (c < 0x800) {
            out.push_back(static_cast<char>(0xC0 | (c >> 6)));
            out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
        } else if (c < 0x10000) {
            out.push_back(static_cast<char>(0xE0 | (c >> 12)));
            out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
        } else {
            out.push_back(static_cast<char>(0xF0 | (c >> 18)));
            out.push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
        }
    }
    return out;
}

std::vector<uint8_t> Utf16Bytes(std::u16string_view text) {
    std::vector<uint8_t> bytes;
    bytes.reserve(text.size() * 2 + 2);
    for (char16_t c : text) {
        bytes.push_back(static_cast<uint8_t>(c & 0xFF));
        bytes.push_back(static_cast<uint8_t>(c >> 8));
    }
    bytes.push_back(0);
    bytes.push_back(0);
    return bytes;
}

} // namespace sim::registry
