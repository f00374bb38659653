// Keys of the simulated registry kept in a file between runs of a front end. Only the keys
// named travel, so that nothing else of an earlier run (a stale device path, say) shadows what
// the drivers of this run write.
#pragma once

#include "sim/registry/registry.h"

#include <span>
#include <string>

namespace sim::bench {

struct KeptKey {
    registry::RegRoot root;
    std::string path;
};

// Copies the kept keys' values from the file into the registry. A missing or damaged file, or
// an empty name, changes nothing and returns false.
bool LoadSettings(registry::Registry& registry, const std::string& fileName,
                  std::span<const KeptKey> keys);
// Writes the kept keys' values to the file, making its directory if needed. False when the
// file cannot be written or the name is empty.
bool SaveSettings(const registry::Registry& registry, const std::string& fileName,
                  std::span<const KeptKey> keys);

} // namespace sim::bench
