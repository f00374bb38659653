// Device and configuration descriptors of any content, reported by the chip on the simulated bus
// while the driver starts on it. Whatever the chip reports, the start ends with a status, the
// device (when it started) answers a serial-number read or refuses it, and taking the machine
// apart leaves the verifier with nothing to report.
#include "core/config_descriptor.h"
#include "norvask.h"

#include "sim/bench/bench.h"

#include "fuzz_check.h"

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace {

void CheckWalker(const std::vector<std::uint8_t>& config) {
    using namespace norvask::core;
    const u32 size = static_cast<u32>(config.size());
    const u8* bytes = config.empty() ? nullptr : config.data();
    const u32 total = ConfigTotalLength(bytes, size);
    FUZZ_CHECK(size >= 4 || total == 0);
    if (ValidateConfigDescriptor(bytes, size)) {
        FUZZ_CHECK(total >= kConfigDescriptorLength && total <= size);
    }
    const ConfigReadStep step = NextConfigReadStep(bytes, size, size, 0);
    // Done after a read that moved bytes: the descriptor's own length fits what was read.
    if (step == ConfigReadStep::Done && size > 0) {
        FUZZ_CHECK(total >= kConfigDescriptorLength && total <= size);
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 1 || size > 4096) {
        return 0;
    }
    // Byte 0: how many of the bytes that follow are the device descriptor; the rest is the
    // configuration descriptor.
    const std::size_t deviceLength = data[0] < size - 1 ? data[0] : size - 1;
    std::vector<std::uint8_t> device(data + 1, data + 1 + deviceLength);
    std::vector<std::uint8_t> config(data + 1 + deviceLength, data + size);
    CheckWalker(config);

    sim::bench::BenchOptions options;
    options.plug = false;
    options.poolTag = norvask::kPoolTag;
    sim::bench::Bench bench([](sim::wdm::PDRIVER_OBJECT d,
                               sim::wdm::PUNICODE_STRING r) { return norvask::DriverEntry(d, r); },
                            options);
    bench.chip().SetDeviceDescriptor(device);
    bench.chip().SetConfigurationDescriptor(config);
    const sim::wdm::NTSTATUS status = bench.Plug();
    if (sim::wdm::NT_SUCCESS(status)) {
        const auto path = bench.registry().GetString(sim::registry::RegRoot::LocalMachine,
                                                     contract::ParametersKey, "DeviceName");
        FUZZ_CHECK(path.has_value());
        const sim::win::Handle h = bench.io().CreateFileA(path->c_str());
        if (h != sim::win::InvalidHandleValue) {
            std::uint8_t packet[8] = {8, 18, 11, 10, 0, 0, 0, 0};
            std::uint8_t reply[8] = {};
            std::uint32_t returned = 0;
            bench.io().DeviceIoControl(h, norvask::IOCTL_VENDOR_REQUEST, packet, 8, reply, 8,
                                       &returned);
            FUZZ_CHECK(returned <= 8);
            bench.io().CloseHandle(h);
        }
    }
    const std::string found = bench.Shutdown();
    if (!found.empty()) {
        std::fprintf(stderr, "start status 0x%08X; the verifier found:\n%s\n",
                     static_cast<unsigned>(status), found.c_str());
        std::abort();
    }
    return 0;
}
