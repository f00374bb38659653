#include "config_descriptor.h"

namespace norvask::core {

u32 ConfigTotalLength(const u8* descriptor, u32 available) {
    if (!descriptor || available < 4) {
        return 0;
    }
    return static_cast<u32>(descriptor[2] | (descriptor[3] << 8));
}

ConfigReadStep NextConfigReadStep(const u8* buffer, u32 bufferSize, u32 bytesMoved,
                                  u32 previousTotal) {
    if (bytesMoved == 0) {
        return ConfigReadStep::Done;
    }
    const u32 total = ConfigTotalLength(buffer, MinU32(bytesMoved, bufferSize));
    if (total < kConfigDescriptorLength) {
        return ConfigReadStep::Invalid;
    }
    if (total <= bufferSize) {
        return ConfigReadStep::Done;
    }
    if (previousTotal != 0) {
        return ConfigReadStep::Invalid;
    }
    return ConfigReadStep::ReadAgain;
}

bool ValidateConfigDescriptor(const u8* descriptor, u32 bufferSize) {
    if (!descriptor || bufferSize < kConfigDescriptorLength) {
        return false;
    }
    const u32 total = ConfigTotalLength(descriptor, bufferSize);
    if (total < kConfigDescriptorLength || total > bufferSize) {
        return false;
    }
    if (descriptor[0] < kConfigDescriptorLength || descriptor[0] > total) {
        return false;
    }
    u32 pos = descriptor[0];
    u32 endpointsOwed = 0;
    while (pos < total) {
        if (total - pos < 2) {
            return false;
        }
        const u32 length = descriptor[pos];
        const u8 type = descriptor[pos + 1];
        if (length < 2 || length > total - pos) {
            return false;
        }
        if (type == kInterfaceType) {
            if (length < kInterfaceDescriptorLength || endpointsOwed != 0) {
                return false;
            }
            endpointsOwed = descriptor[pos + 4]; // bNumEndpoints
        } else if (type == kEndpointType) {
            if (length < kEndpointDescriptorLength) {
                return false;
            }
            if (endpointsOwed != 0) {
                --endpointsOwed;
            }
        }
        pos += length;
    }
    return endpointsOwed == 0;
}

} // namespace norvask::core
