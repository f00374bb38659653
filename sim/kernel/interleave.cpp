// The interleaving point that interlocked operations pass through (SetInterlockedHook).
#include "sim/kernel/internal.h"

#include <atomic>
#include <memory>
#include <mutex>

namespace sim::kernel {

namespace {

using Action = std::function<void(sim::wdm::LONG)>;

std::atomic<const volatile sim::wdm::LONG*> g_target{nullptr};
std::mutex g_mutex;
std::shared_ptr<Action> g_action;

} // namespace

void SetInterlockedHook(const volatile sim::wdm::LONG* target, Action action) {
    std::lock_guard lock(g_mutex);
    g_action = std::make_shared<Action>(std::move(action));
    g_target.store(target);
}

void ClearInterlockedHook() {
    std::lock_guard lock(g_mutex);
    g_target.store(nullptr);
    g_action.reset();
}

} // namespace sim::kernel

namespace sim::wdm {

namespace {

// The hook on `target`, if it still is there, run with the value.
[[gnu::noinline]] void RunInterlockedHook(LONG volatile* target, LONG value) {
    std::shared_ptr<sim::kernel::Action> action;
    {
        std::lock_guard lock(sim::kernel::g_mutex);
        if (sim::kernel::g_target.load() == target)
            action = sim::kernel::g_action;
    }
    if (action && *action)
        (*action)(value); // outside the lock: the action may run code that hits the hook again
}

} // namespace

void SimInterlockedChanged(LONG volatile* Target, LONG Value) {
    // Nearly every call finds no hook on its address: one atomic load, no lock.
    if (Target == nullptr || sim::kernel::g_target.load() != Target)
        return;
    RunInterlockedHook(Target, Value);
}

} // namespace sim::wdm
