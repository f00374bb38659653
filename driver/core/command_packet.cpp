#include "command_packet.h"

namespace norvask::core {

bool PlanVendorTransfer(u8* packet, u32 inputLength, u32 outputLength, bool hasSystemBuffer,
                        VendorTransferPlan* plan) {
    if (!packet || !hasSystemBuffer || inputLength < contract::PacketHeaderLength) {
        return false;
    }
    const u8 requestType = packet[contract::OffRequestType];
    const u16 extraLength = static_cast<u16>(packet[contract::OffExtraLength] |
                                             (packet[contract::OffExtraLength + 1] << 8));

    VendorTransferPlan p{};
    p.requestTypeReservedBits = requestType;
    p.request = packet[contract::OffRequestCode];
    p.value = static_cast<u16>(packet[contract::OffMajorCommand] |
                               (packet[contract::OffMinorCommand] << 8));
    p.index = static_cast<u16>(packet[contract::OffDataLow] | (packet[contract::OffDataHigh] << 8));
    p.directionIn =
        (packet[contract::OffMajorCommand] & 1) != 0 && requestType <= kMaxInRequestType;

    if (p.directionIn) {
        // The reply overwrites the packet from its first byte.
        p.transferFlags = kTransferFlagsIn;
        p.dataLength = MinU32(contract::MaxReplyLength, MinU32(inputLength, outputLength));
        p.hasData = true;
        p.dataOffset = 0;
        p.extraLength = extraLength;
    } else {
        const u16 clamped =
            extraLength > contract::MaxExtraLength ? contract::MaxExtraLength : extraLength;
        if (inputLength - contract::PacketHeaderLength < clamped) {
            return false;
        }
        if (clamped != extraLength) {
            packet[contract::OffExtraLength] = static_cast<u8>(clamped);
            packet[contract::OffExtraLength + 1] = 0;
        }
        p.transferFlags = kTransferFlagsOut;
        p.dataLength = clamped;
        p.hasData = clamped != 0;
        p.dataOffset = p.hasData ? contract::PacketHeaderLength : 0;
        p.extraLength = clamped;
    }
    *plan = p;
    return true;
}

u32 VendorReplyLength(u32 bytesMoved, u32 requestedLength, u32 outputLength) {
    return MinU32(bytesMoved, MinU32(requestedLength, outputLength));
}

} // namespace norvask::core
