// What one coil word costs in software, on the simulated bench and in the console's logic alone.
//
// Every benchmark reports, next to the time per iteration:
//   words_per_second  coil words (or serial polls) per second of CPU time
//   time_per_word     seconds of CPU time per word (or poll)
//   wire_share        software time as a share of the least time the words need on the wire
//                     (transfers x the floor per transfer; one word is three control transfers)
// The floor per transfer is --wire_floor_us=N (125 by default: one full-speed control
// transfer); every other argument goes to the benchmark library.
#include "coil_word.h"
#include "fake_platform.h"
#include "form_main.h"
#include "headless_window.h"
#include "norvask.h"
#include "norvask_contract.h"
#include "sim/bench/bench.h"
#include "sim_platform.h"
#include "usb_link.h"

#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace {

double wireFloorSeconds = 125e-6;

constexpr int TransfersPerWord = 3;
// Logs are forgotten (outside the timed part) this often, so that memory stays flat.
constexpr std::int64_t ClearEvery = 4096;

void ReportPerWord(benchmark::State& state, double wordsPerIteration, double transfersPerWord) {
    const double words = static_cast<double>(state.iterations()) * wordsPerIteration;
    state.counters["words_per_second"] = benchmark::Counter(words, benchmark::Counter::kIsRate);
    state.counters["time_per_word"] =
        benchmark::Counter(words, benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
    // time / (words x transfers x floor): the rate of the product, inverted.
    state.counters["wire_share"] =
        benchmark::Counter(words * transfersPerWord * wireFloorSeconds,
                           benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

// The whole stack: console handlers or the device link, the simulated Win32 calls, the
// registry, Norvask's dispatch, the bus, the chip and the coil driver model.
struct Stack {
    Stack()
        : bench([](sim::wdm::PDRIVER_OBJECT driver,
                   sim::wdm::PUNICODE_STRING path) { return norvask::DriverEntry(driver, path); },
                Options()),
          platform(bench.registry(), bench.io()), link(platform), form(window, link) {
        window.Attach(&form);
    }
    ~Stack() { bench.Shutdown(); }

    static sim::bench::BenchOptions Options() {
        sim::bench::BenchOptions options;
        options.poolTag = norvask::kPoolTag;
        return options;
    }

    bool Ready(benchmark::State& state) {
        if (!bench.Plugged()) {
            state.SkipWithError("the driver did not start on the chip");
            return false;
        }
        return true;
    }

    // Words latched by one call of `step`, checked before timing starts.
    template <typename Step>
    std::size_t WordsOf(Step step) {
        const std::size_t before = bench.coil().WordCount();
        step();
        return bench.coil().WordCount() - before;
    }

    sim::bench::Bench bench;
    morlix::SimPlatform platform;
    morlix::UsbLink link;
    morlix::HeadlessWindow window;
    morlix::formMain form;
};

template <typename Step>
void RunOnStack(benchmark::State& state, Stack& stack, Step step, std::size_t expectedWords) {
    const std::size_t words = stack.WordsOf(step);
    if (words != expectedWords) {
        state.SkipWithError(("one step latched " + std::to_string(words) + " words, not " +
                             std::to_string(expectedWords))
                                .c_str());
        return;
    }
    std::int64_t n = 0;
    for (auto _ : state) {
        step();
        if (++n % ClearEvery == 0) {
            state.PauseTiming();
            stack.bench.coil().ClearLogs();
            state.ResumeTiming();
        }
    }
    if (!stack.bench.coil().Anomalies().empty()) {
        state.SkipWithError(stack.bench.coil().Anomalies().front().c_str());
        return;
    }
    ReportPerWord(state, static_cast<double>(words), TransfersPerWord);
}

// One coil word (the reset word, which the coil driver takes any number of times in a row):
// registry read, open, three vendor requests, close.
void BM_CoilWord(benchmark::State& state) {
    Stack stack;
    if (!stack.Ready(state)) {
        return;
    }
    RunOnStack(
        state, stack, [&] { morlix::UsbSendData(stack.link, morlix::ResetWord); }, 1);
}
BENCHMARK(BM_CoilWord);

// One entry transaction: a new X amplitude typed in, 14 words.
void BM_EntryTransaction(benchmark::State& state) {
    Stack stack;
    if (!stack.Ready(state)) {
        return;
    }
    stack.window.Load();
    bool odd = false;
    RunOnStack(
        state, stack,
        [&] {
            odd = !odd;
            stack.window.SetText(morlix::ControlId::txtAmpX, odd ? "1001" : "1002");
        },
        14);
}
BENCHMARK(BM_EntryTransaction);

// Triple Record: reset, three record frames, execute.
void BM_TripleRecord(benchmark::State& state) {
    Stack stack;
    if (!stack.Ready(state)) {
        return;
    }
    stack.window.Load();
    RunOnStack(
        state, stack, [&] { stack.form.cmdTriple_Click(); }, 20);
}
BENCHMARK(BM_TripleRecord);

// One serial-number poll: registry read, open, one vendor request that reads, close.
void BM_SerialPoll(benchmark::State& state) {
    Stack stack;
    if (!stack.Ready(state)) {
        return;
    }
    const std::uint32_t expected = Stack::Options().serialNumber;
    for (auto _ : state) {
        if (stack.link.QuerySerialNumber() != expected) {
            state.SkipWithError("the poll did not read the chip's serial number");
            return;
        }
    }
    ReportPerWord(state, 1, 1); // per poll, one transfer each
}
BENCHMARK(BM_SerialPoll);

// Norvask's vendor-request path alone: the three requests of one word on a handle kept open,
// from DeviceIoControl through dispatch to completion; no console, no registry.
void BM_VendorRequestPath(benchmark::State& state) {
    Stack stack;
    if (!stack.Ready(state)) {
        return;
    }
    morlix::UsbLink probe(stack.platform);
    if (!probe.OpenDevice()) {
        state.SkipWithError("no device path published");
        return;
    }
    const std::string path = probe.DevicePath;
    probe.CloseDevice();
    sim::win::DeviceIo& io = stack.bench.io();
    const auto handle = io.CreateFileA(path.c_str());
    if (handle == sim::win::InvalidHandleValue) {
        state.SkipWithError("the device did not open");
        return;
    }
    const auto packets = morlix::WordPackets(853);
    morlix::Packet packet{};
    morlix::Reply reply{};
    std::int64_t n = 0;
    for (auto _ : state) {
        for (const morlix::PortBytes& ports : packets) {
            packet = {};
            packet[0] = morlix::MajorWritePorts;
            packet[1] = morlix::MinorPorts;
            packet[2] = ports.a;
            packet[3] = ports.b;
            std::uint32_t returned = 0;
            if (!io.DeviceIoControl(handle, morlix::IOCTL_VENDOR_REQUEST, packet.data(),
                                    static_cast<std::uint32_t>(packet.size()), reply.data(),
                                    static_cast<std::uint32_t>(reply.size()), &returned)) {
                state.SkipWithError("a vendor request failed");
                return;
            }
        }
        if (++n % ClearEvery == 0) {
            state.PauseTiming();
            stack.bench.coil().ClearLogs();
            state.ResumeTiming();
        }
    }
    io.CloseHandle(handle);
    ReportPerWord(state, 1, TransfersPerWord);
}
BENCHMARK(BM_VendorRequestPath);

// The console's logic alone: the entry handlers and the device link over the recording fake.
void BM_ConsoleLogicAlone(benchmark::State& state) {
    morlix::test::FakePlatform fake;
    fake.InstallDevice();
    morlix::UsbLink link(fake);
    morlix::HeadlessWindow window;
    morlix::formMain form(window, link);
    window.Attach(&form);
    window.Load();
    fake.ClearCalls();
    window.SetText(morlix::ControlId::txtAmpX, "1001");
    if (fake.LatchedWords().size() != 14) {
        state.SkipWithError("the entry did not send 14 words");
        return;
    }
    bool odd = false;
    std::int64_t n = 0;
    for (auto _ : state) {
        odd = !odd;
        window.SetText(morlix::ControlId::txtAmpX, odd ? "1002" : "1001");
        if (++n % 256 == 0) {
            state.PauseTiming();
            fake.ClearCalls();
            state.ResumeTiming();
        }
    }
    ReportPerWord(state, 14, TransfersPerWord);
}
BENCHMARK(BM_ConsoleLogicAlone);

} // namespace

int main(int argc, char** argv) {
    std::vector<char*> rest;
    constexpr const char* FloorFlag = "--wire_floor_us=";
    for (int i = 0; i < argc; ++i) {
        if (i > 0 && std::strncmp(argv[i], FloorFlag, std::strlen(FloorFlag)) == 0) {
            char* end = nullptr;
            const double us = std::strtod(argv[i] + std::strlen(FloorFlag), &end);
            if (end == argv[i] + std::strlen(FloorFlag) || *end != '\0' || !(us > 0)) {
                std::fprintf(stderr, "%s wants a positive number of microseconds\n", FloorFlag);
                return 2;
            }
            wireFloorSeconds = us * 1e-6;
            continue;
        }
        rest.push_back(argv[i]);
    }
    int restCount = static_cast<int>(rest.size());
    benchmark::Initialize(&restCount, rest.data());
    if (benchmark::ReportUnrecognizedArguments(restCount, rest.data())) {
        return 2;
    }
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
