// The console's window icon, drawn in code: two interlocking coil rings
// (green for the X axis, cyan for the Y axis) over a dark disc.
#pragma once

#include <cstdint>
#include <vector>

namespace morlix {

// RGBA pixels, rows from the top, size x size; empty for a size below 1 or
// above 256.
std::vector<std::uint8_t> IconPixels(int size);

} // namespace morlix
