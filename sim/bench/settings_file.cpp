#include "sim/bench/settings_file.h"

#include <filesystem>
#include <system_error>

namespace sim::bench {

namespace {

void CopyKeys(const registry::Registry& from, registry::Registry& to,
              std::span<const KeptKey> keys) {
    for (const KeptKey& key : keys) {
        for (const std::string& name : from.EnumerateValues(key.root, key.path)) {
            if (auto value = from.GetValue(key.root, key.path, name)) {
                to.SetValue(key.root, key.path, name, value->type, value->data.data(),
                            value->data.size());
            }
        }
    }
}

} // namespace

bool LoadSettings(registry::Registry& registry, const std::string& fileName,
                  std::span<const KeptKey> keys) {
    if (fileName.empty()) {
        return false;
    }
    registry::Registry stored;
    if (!stored.LoadFromFile(fileName)) {
        return false;
    }
    CopyKeys(stored, registry, keys);
    return true;
}

bool SaveSettings(const registry::Registry& registry, const std::string& fileName,
                  std::span<const KeptKey> keys) {
    if (fileName.empty()) {
        return false;
    }
    registry::Registry stored;
    CopyKeys(registry, stored, keys);
    std::error_code error;
    const std::filesystem::path parent = std::filesystem::path(fileName).parent_path();
    if (!parent.empty()) {
        std::filesystem::create_directories(parent, error);
    }
    return stored.SaveToFile(fileName);
}

} // namespace sim::bench
