#include "mixed_run.h"

#include "coil_word.h"
#include "norvask.h"
#include "sim_platform.h"
#include "usb_link.h"
#include "watchdog.h"

#include "sim/bench/bench.h"

#include <atomic>
#include <memory>
#include <mutex>
#include <random>
#include <set>
#include <sstream>
#include <thread>
#include <vector>

namespace stress {
namespace {

using morlix::test::Watchdog;

using namespace sim::wdm;
using sim::bench::Bench;
using sim::win::Handle;
using sim::win::InvalidHandleValue;

enum class Actor { Console, Caller, Pipes, System };
constexpr int kActors = 4;

enum class Op {
    ConsoleWord, // a console's open-send-close cycle of one word
    CallerBurst, // open, hold the device for a few vendor requests, close
    PipeOpen,    // open a pipe by name and close it
    QueryStop,   // query-stop, then cancel
    Rebalance,   // query-stop, stop, start
    QueryRemove, // query-remove, then cancel
    Replug,      // surprise removal, then a new plug
    SleepWake,   // the system sleeps and wakes
    WaitWake,    // a wait-wake request, signalled or left to the removal
    BusTiming,   // bus completions inside the call or late
};

struct Step {
    Actor actor;
    Op op;
    std::uint32_t arg;
};

constexpr std::uint8_t kReadSerial[8] = {8, 18, 11, 10, 0, 0, 0, 0};

std::vector<Step> Plan(std::uint32_t seed, unsigned count) {
    std::mt19937 rng(seed);
    std::vector<Step> steps;
    for (unsigned i = 0; i < count; ++i) {
        const std::uint32_t pick = rng() % 100;
        const std::uint32_t arg = rng();
        if (pick < 40) {
            steps.push_back({Actor::Console, Op::ConsoleWord, arg});
        } else if (pick < 55) {
            steps.push_back({Actor::Caller, Op::CallerBurst, arg});
        } else if (pick < 65) {
            steps.push_back({Actor::Pipes, Op::PipeOpen, arg});
        } else {
            static constexpr Op SystemOps[] = {Op::QueryStop, Op::Rebalance, Op::QueryRemove,
                                               Op::Replug,    Op::SleepWake, Op::WaitWake,
                                               Op::BusTiming};
            steps.push_back({Actor::System, SystemOps[arg % 7], arg >> 3});
        }
    }
    return steps;
}

class Run {
public:
    explicit Run(const RunOptions& options)
        : options_(options),
          bench_(std::make_unique<Bench>(
              [](PDRIVER_OBJECT d, PUNICODE_STRING r) { return norvask::DriverEntry(d, r); },
              BenchOptionsFor())),
          platform_(bench_->registry(), bench_->io()) {}

    RunFigures Go() {
        Watchdog dog(std::chrono::milliseconds(options_.watchdogMilliseconds),
                     "stress run with seed " + std::to_string(options_.seed) +
                         (options_.concurrent ? " (concurrent)" : " (serial)"));
        if (!NT_SUCCESS(bench_->plugStatus())) {
            figures_.faults += "the first start failed\n";
        }
        // Allocation failures at a rate the seed chooses: none, few or many.
        static constexpr double Rates[] = {0.0, 0.01, 0.05};
        const double rate = Rates[options_.seed % 3];
        if (rate > 0) {
            sim::kernel::SetPoolFailureProbability(rate, options_.seed);
            sim::kernel::SetIrpFailureProbability(rate, options_.seed ^ 0x5EED);
        }
        const std::vector<Step> steps = Plan(options_.seed, options_.operations);
        // Serially, late bus completions follow the run's own order instead of the wall clock
        // (which decides whether a dispatch still holds its request when the completion runs).
        sim::kernel::SetOrderedDispatchWork(!options_.concurrent);
        if (options_.concurrent) {
            std::vector<std::thread> threads;
            for (int a = 0; a < kActors; ++a) {
                threads.emplace_back([this, &steps, a] {
                    for (const Step& s : steps) {
                        if (static_cast<int>(s.actor) == a) {
                            Do(s);
                        }
                    }
                });
            }
            for (std::thread& t : threads) {
                t.join();
            }
        } else {
            unsigned i = 0;
            for (const Step& s : steps) {
                dog.Step("step " + std::to_string(i++));
                Do(s);
            }
        }
        dog.Step("the checks");
        sim::kernel::SetOrderedDispatchWork(false);
        sim::kernel::DrainDispatchWork();
        figures_.faultsInjected = sim::kernel::FailedAllocationCount();
        sim::kernel::ClearFaultInjection();
        CheckAtRest();
        CheckWords();
        dog.Step("shutdown");
        const std::string verifier = bench_->Shutdown();
        if (!verifier.empty()) {
            figures_.faults += verifier;
        }
        for (const auto& wake : wakes_) {
            if (!wake->WaitDone(5000)) {
                figures_.faults += "a wait-wake request never completed\n";
            }
        }
        figures_.operations = static_cast<unsigned>(steps.size());
        return figures_;
    }

private:
    sim::bench::BenchOptions BenchOptionsFor() const {
        sim::bench::BenchOptions o;
        o.poolTag = norvask::kPoolTag;
        o.serialNumber = 0x00012345;
        o.pdo.removable = true;
        o.pdo.surpriseRemovalOk = true;
        return o;
    }

    std::string Path() {
        return bench_->registry()
            .GetString(sim::registry::RegRoot::LocalMachine, contract::ParametersKey, "DeviceName")
            .value_or("");
    }

    void Count() { ++completed_; }

    void Do(const Step& s) {
        switch (s.op) {
        case Op::ConsoleWord: {
            // Distinct words per console: register 1 (frame bytes), data from the step.
            morlix::UsbLink link(platform_);
            const morlix::CoilWord word = morlix::FrameByteWord(static_cast<std::uint8_t>(s.arg));
            {
                std::lock_guard lock(mutex_);
                sent_.insert(word);
            }
            morlix::UsbSendData(link, word);
            completed_ += 5; // the open, three packets and the close returned
            break;
        }
        case Op::CallerBurst: {
            const Handle h = bench_->io().CreateFileA(Path().c_str());
            Count();
            if (h == InvalidHandleValue) {
                break;
            }
            for (unsigned i = 0; i < 1 + s.arg % 4; ++i) {
                std::uint8_t reply[8] = {};
                std::uint32_t returned = 0;
                bench_->io().DeviceIoControl(h, norvask::IOCTL_VENDOR_REQUEST, kReadSerial, 8,
                                             reply, 8, &returned);
                Count();
                if (returned > 8) {
                    Fault("a vendor reply longer than its buffer");
                }
            }
            bench_->io().CloseHandle(h);
            Count();
            break;
        }
        case Op::PipeOpen: {
            const std::string name = Path() + "\\PIPE0" + std::to_string(s.arg % 3);
            const Handle h = bench_->io().CreateFileA(name.c_str());
            Count();
            if (h != InvalidHandleValue) {
                bench_->io().CloseHandle(h);
                Count();
            }
            break;
        }
        default:
            SystemStep(s);
            break;
        }
    }

    void SystemStep(const Step& s) {
        // The system does one thing at a time; opens, requests and closes of the other actors
        // meet every step.
        std::lock_guard lock(systemMutex_);
        // The system sends its requests only to a device node that is there and started.
        PDEVICE_OBJECT pdo = bench_->Plugged() ? bench_->pdo() : nullptr;
        if (pdo != nullptr && (!bench_->pnp().Known(pdo) ||
                               bench_->pnp().State(pdo) != sim::win::DeviceNodeState::Started)) {
            pdo = nullptr;
        }
        if (pdo == nullptr && s.op != Op::Replug && s.op != Op::BusTiming) {
            Count();
            return;
        }
        switch (s.op) {
        case Op::QueryStop:
            if (NT_SUCCESS(bench_->pnp().QueryStop(pdo))) {
                bench_->pnp().CancelStop(pdo);
            }
            break;
        case Op::Rebalance:
            bench_->pnp().Rebalance(pdo);
            break;
        case Op::QueryRemove:
            if (NT_SUCCESS(bench_->pnp().QueryRemove(pdo))) {
                bench_->pnp().CancelRemove(pdo);
            }
            break;
        case Op::Replug:
            if (bench_->Plugged()) {
                bench_->Unplug();
            }
            bench_->Plug();
            break;
        case Op::SleepWake: {
            static constexpr SYSTEM_POWER_STATE States[] = {
                PowerSystemSleeping1, PowerSystemSleeping3, PowerSystemHibernate};
            if (NT_SUCCESS(bench_->power().Sleep({pdo}, States[s.arg % 3]))) {
                bench_->power().Wake({pdo});
            }
            break;
        }
        case Op::WaitWake: {
            sim::usb::UsbDevice* device = bench_->device();
            if (device->WaitWakePending()) {
                break; // one is armed already
            }
            auto wake = bench_->power().ArmWake(pdo, PowerSystemSleeping3);
            wakes_.push_back(wake);
            // The system's sender issues it on a thread of its own: the device must still be
            // there when it does, so wait until the bus holds it or it has been answered.
            for (int i = 0; i < 2000 && !wake->Done() && !device->WaitWakePending(); ++i) {
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            }
            // Half of them the device signals at once, and the others stay armed for a removal
            // to fail. After half of the signals the system waits for the request's completion
            // (after none with overlapWake); after the others it goes on at once, so that the
            // next step (a removal among them) overlaps the driver's wait-wake dispatch.
            if (s.arg % 2 == 0) {
                device->SignalWake();
                if (s.arg % 4 == 0 && !options_.overlapWake) {
                    wake->WaitDone(2000);
                }
            }
            break;
        }
        case Op::BusTiming:
            bench_->SetCompletionDelay(s.arg % 2 == 0 ? 0 : 100 + s.arg % 1500);
            break;
        default:
            break;
        }
        Count();
    }

    // Nothing is left inside the driver of a device that is still there.
    void CheckAtRest() {
        if (!bench_->Plugged() || bench_->device()->PdoDeleted() ||
            !sim::kernel::IsDeviceObjectValid(bench_->pdo())) {
            return;
        }
        PDEVICE_OBJECT fdo = bench_->pdo()->AttachedDevice;
        if (fdo == nullptr || !sim::kernel::IsDeviceAlive(fdo)) {
            return;
        }
        // An armed wait-wake keeps its dispatch inside the driver until the device wakes.
        const auto* ext = static_cast<const norvask::DeviceExtension*>(fdo->DeviceExtension);
        const LONG rest = bench_->device()->WaitWakePending() ? 2 : 1;
        auto count = [ext] { return __atomic_load_n(&ext->PendingIoCount, __ATOMIC_ACQUIRE); };
        for (int i = 0; i < 2000 && count() != rest; ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        if (count() != rest) {
            Fault("PendingIoCount is " + std::to_string(count()) + " at rest, not " +
                  std::to_string(rest));
        }
    }

    // The coil driver latched only words that a console sent whole: the address and the data
    // of each came from one word.
    void CheckWords() {
        const auto latched = bench_->coil().LatchedWords();
        figures_.wordsLatched = static_cast<unsigned>(latched.size());
        std::uint64_t digest = 0xCBF29CE484222325ull; // FNV-1a over the words' two bytes
        for (const auto& w : latched) {
            for (const unsigned byte : {w.Word() & 0xFFu, (w.Word() >> 8) & 0xFFu}) {
                digest = (digest ^ byte) * 0x100000001B3ull;
            }
            if (sent_.count(static_cast<morlix::CoilWord>(w.Word())) == 0) {
                Fault("the coil driver latched " + std::to_string(w.Word()) +
                      ", a word no console sent");
            }
        }
        figures_.wordsDigest = digest;
    }

    void Fault(const std::string& text) {
        std::lock_guard lock(mutex_);
        figures_.faults += text + "\n";
    }

    RunOptions options_;
    std::unique_ptr<Bench> bench_;
    morlix::SimPlatform platform_;
    std::mutex mutex_;
    std::mutex systemMutex_;
    std::set<morlix::CoilWord> sent_;
    std::vector<std::shared_ptr<sim::win::WakeRequest>> wakes_;
    std::atomic<unsigned> completed_{0};
    RunFigures figures_;

public:
    unsigned Completed() const { return completed_; }
};

} // namespace

RunFigures MixedRun(const RunOptions& options) {
    Run run(options);
    RunFigures figures = run.Go();
    figures.requestsCompleted = run.Completed();
    return figures;
}

} // namespace stress
