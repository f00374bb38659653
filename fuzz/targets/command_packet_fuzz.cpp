// The packet-to-transfer mapping with any bytes and any lengths: the transfer it plans never
// reaches past what the caller gave, a refused packet is left as it was, and the reply length
// never exceeds the request nor the output buffer.
#include "core/command_packet.h"

#include "fuzz_check.h"

#include <cstdint>
#include <cstring>
#include <vector>

using namespace norvask::core;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 9) {
        return 0;
    }
    // Bytes 0..3: output length; byte 4: flags; bytes 5..8: bytes moved by the bus; the rest is
    // the system buffer, exactly as long as the input says, so that any read past it is seen.
    u32 outputLength = 0;
    u32 moved = 0;
    std::memcpy(&outputLength, data, 4);
    std::memcpy(&moved, data + 5, 4);
    const bool hasSystemBuffer = (data[4] & 1) != 0;
    const bool bigOutput = (data[4] & 2) != 0;
    outputLength = bigOutput ? outputLength : outputLength % 64;
    std::vector<u8> packet(data + 9, data + size);
    const u32 inputLength = static_cast<u32>(packet.size());
    const std::vector<u8> before = packet;

    VendorTransferPlan plan{};
    u8* buffer = hasSystemBuffer && !packet.empty() ? packet.data() : nullptr;
    const bool ok = PlanVendorTransfer(buffer, inputLength, outputLength, buffer != nullptr, &plan);
    if (!ok) {
        FUZZ_CHECK(packet == before);
        return 0;
    }
    FUZZ_CHECK(buffer != nullptr);
    FUZZ_CHECK(inputLength >= 8);
    if (plan.hasData) {
        if (plan.directionIn) {
            // The reply lands over the packet: it fits both the input and the output.
            FUZZ_CHECK(plan.dataOffset == 0);
            FUZZ_CHECK(plan.dataLength <= outputLength && plan.dataLength <= inputLength);
        } else {
            FUZZ_CHECK(plan.dataLength > 0);
            FUZZ_CHECK(plan.dataOffset <= inputLength);
            FUZZ_CHECK(plan.dataLength <= inputLength - plan.dataOffset);
        }
    }
    FUZZ_CHECK(plan.extraLength <= 8 || plan.extraLength == (before[6] | (before[7] << 8)));
    // Only ExtraLength may have been rewritten.
    FUZZ_CHECK(std::memcmp(packet.data(), before.data(), 6) == 0);
    FUZZ_CHECK(std::memcmp(packet.data() + 8, before.data() + 8, packet.size() - 8) == 0);

    const u32 reply = VendorReplyLength(moved, plan.dataLength, outputLength);
    FUZZ_CHECK(reply <= moved);
    FUZZ_CHECK(reply <= plan.dataLength);
    FUZZ_CHECK(reply <= outputLength);
    return 0;
}
