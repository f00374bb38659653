// The command packet that callers send with the vendor I/O control, and its mapping onto one
// USB vendor control transfer. Pure byte arithmetic: no kernel calls.
#pragma once

#include "core_types.h"

#include "norvask_contract.h"

namespace norvask::core {

// Direction IN with short transfers accepted, as the bus interface numbers them.
constexpr u32 kTransferFlagsIn = 3;
constexpr u32 kTransferFlagsOut = 0;

// A request type above this cannot ask for data from the device.
constexpr u8 kMaxInRequestType = 11;

struct VendorTransferPlan {
    bool directionIn;
    u32 transferFlags;
    u8 requestTypeReservedBits;
    u8 request;
    u16 value;
    u16 index;
    u32 dataLength;
    bool hasData;    // false: no data buffer is handed to the bus
    u32 dataOffset;  // where the data lies in the request's buffer, when hasData
    u16 extraLength; // ExtraLength as it stands in the packet afterwards
};

// Maps the packet at the start of a request's system buffer onto a vendor transfer.
// `packet` may be null when the request has no system buffer. The mapping reads only the
// first `inputLength` bytes and the transfer it describes never reaches past the input (OUT)
// nor past `outputLength` (IN). It fails, changing nothing, when the input cannot hold the
// header, or the header plus the (clamped) data of an OUT transfer. On success an ExtraLength
// above 8 has been written back into the packet as 8.
bool PlanVendorTransfer(u8* packet, u32 inputLength, u32 outputLength, bool hasSystemBuffer,
                        VendorTransferPlan* plan);

// The byte count a finished transfer reports to its caller: what the bus moved, but never more
// than was asked for nor more than the caller's output buffer holds.
u32 VendorReplyLength(u32 bytesMoved, u32 requestedLength, u32 outputLength);

} // namespace norvask::core
