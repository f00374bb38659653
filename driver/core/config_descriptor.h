// Checks on a configuration descriptor read from the device, made before any descriptor
// walker of the bus interface touches it, so that a device reporting nonsense cannot make the
// driver loop or read past the buffer.
#pragma once

#include "core_types.h"

namespace norvask::core {

constexpr u32 kConfigDescriptorLength = 9;
constexpr u32 kInterfaceDescriptorLength = 9;
constexpr u32 kEndpointDescriptorLength = 7;
constexpr u8 kConfigurationType = 2;
constexpr u8 kInterfaceType = 4;
constexpr u8 kEndpointType = 5;

// wTotalLength of a descriptor, or 0 when fewer than 4 bytes are at hand.
u32 ConfigTotalLength(const u8* descriptor, u32 available);

// What to do after a read of the configuration descriptor into a buffer of `bufferSize`
// bytes, of which the bus moved `bytesMoved`.
enum class ConfigReadStep {
    Done,      // the buffer holds the whole descriptor
    ReadAgain, // read again into a buffer of `TotalLength` bytes
    Invalid,   // the device reports a descriptor that cannot be used
};

// `previousTotal` is the wTotalLength that sized this buffer, 0 on the first read: a descriptor
// that is still larger on the re-read keeps growing and is refused.
ConfigReadStep NextConfigReadStep(const u8* buffer, u32 bufferSize, u32 bytesMoved,
                                  u32 previousTotal);

// True when the descriptor's wTotalLength is at least 9 and fits `bufferSize`, and every
// descriptor inside it lies within wTotalLength, is long enough for its type, and each
// interface's endpoints are all there.
bool ValidateConfigDescriptor(const u8* descriptor, u32 bufferSize);

} // namespace norvask::core
