// A morlixctl script of any bytes, run by the session on the simulated bench with the real driver:
// the console and the driver take whatever commands parse, and the bench comes apart with the
// verifier silent.
//
// Each input runs at most 64 commands, and 50 ticks in all: one key sends up to 14 coil words
// through the whole stack, so a 4 KB script of keys would send thousands and take a second, and
// the fuzzer would spend its time repeating itself. The lines past the bound are still parsed.
// Sixty-four actions are still long sequences of typing, keys, clicks, plugs and unplugs.
#include "commands.h"
#include "session.h"
#include "sim_machine.h"

#include "sim/registry/registry.h"

#include "fuzz_check.h"

#include <cstdint>
#include <cstdio>
#include <sstream>
#include <string>
#include <string_view>

using namespace morlix::cli;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size > 4096) {
        return 0;
    }
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    std::string found;
    {
        SimMachine machine;
        std::ostringstream out;
        std::ostringstream err;
        Session session(machine, morlix::HeadlessOptions{}, out, err);
        FUZZ_CHECK(session.Start());
        std::size_t start = 0;
        int ticks = 0;
        int commands = 0;
        while (start < input.size()) {
            std::size_t end = input.find('\n', start);
            if (end == std::string_view::npos) {
                end = input.size();
            }
            const LineResult line = ParseLine(input.substr(start, end - start));
            start = end + 1;
            if (!line.command) {
                continue;
            }
            // Ticks poll the device; keep a run short.
            if (line.command->verb == Verb::Tick && (ticks += line.command->count) > 50) {
                continue;
            }
            if (++commands > 64) {
                continue;
            }
            if (!session.Run(*line.command)) {
                break;
            }
        }
        session.Finish();
        found = machine.Shutdown();
    }
    // Nothing of this input stays on the heap: libFuzzer runs an input again, and looks for a
    // leak, whenever one leaves more allocations than it freed.
    sim::registry::Registry::Instance().Clear();
    if (!found.empty()) {
        std::fprintf(stderr, "the verifier found:\n%s\n", found.c_str());
        std::abort();
    }
    return 0;
}
