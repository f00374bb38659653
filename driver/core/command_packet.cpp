#include "command_packet.h"

namespace norvask::core {

bool PlanVendorTransfer(u8* packet, u32 inputLength, u32 outputLength, bool hasSystemBuffer,
                        VendorTransferPlan* plan) {
    if (!packet || !hasSystemBuffer || inputLength < kPacketHeaderLength) {
        return false;
    }
    const u8 requestType = packet[kOffRequestType];
    const u16 extraLength =
        static_cast<u16>(packet[kOffExtraLength] | (packet[kOffExtraLength + 1] << 8));

    VendorTransferPlan p{};
    p.requestTypeReservedBits = requestType;
    p.request = packet[kOffRequestCode];
    p.value = static_cast<u16>(packet[kOffMajorCommand] | (packet[kOffMinorCommand] << 8));
    p.index = static_cast<u16>(packet[kOffDataLow] | (packet[kOffDataHigh] << 8));
    p.directionIn = (packet[kOffMajorCommand] & 1) != 0 && requestType <= kMaxInRequestType;

    if (p.directionIn) {
        // The reply overwrites the packet from its first byte.
        p.transferFlags = kTransferFlagsIn;
        p.dataLength = MinU32(kMaxInLength, MinU32(inputLength, outputLength));
        p.hasData = true;
        p.dataOffset = 0;
        p.extraLength = extraLength;
    } else {
        const u16 clamped = extraLength > kMaxExtraLength ? kMaxExtraLength : extraLength;
        if (inputLength - kPacketHeaderLength < clamped) {
            return false;
        }
        if (clamped != extraLength) {
            packet[kOffExtraLength] = static_cast<u8>(clamped);
            packet[kOffExtraLength + 1] = 0;
        }
        p.transferFlags = kTransferFlagsOut;
        p.dataLength = clamped;
        p.hasData = clamped != 0;
        p.dataOffset = p.hasData ? kPacketHeaderLength : 0;
        p.extraLength = clamped;
    }
    *plan = p;
    return true;
}

u32 VendorReplyLength(u32 bytesMoved, u32 requestedLength, u32 outputLength) {
    return MinU32(bytesMoved, MinU32(requestedLength, outputLength));
}

} // namespace norvask::core
