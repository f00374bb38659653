// Fixed-width integer names for the driver's plain logic. The core is built both on the
// host and inside the kernel image, so it uses no library headers: these builtin types have
// the same widths on Linux (LP64) and Windows (LLP64).
#pragma once

namespace norvask::core {

using u8 = unsigned char;
using u16 = unsigned short;
using u32 = unsigned int;
using i32 = int;
using u64 = unsigned long long;

static_assert(sizeof(u8) == 1 && sizeof(u16) == 2 && sizeof(u32) == 4 && sizeof(i32) == 4 &&
              sizeof(u64) == 8);

constexpr u32 MinU32(u32 a, u32 b) {
    return a < b ? a : b;
}

} // namespace norvask::core
