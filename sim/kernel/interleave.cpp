// The interleaving point that interlocked operations pass through (SetInterlockedHook).
#include "sim/kernel/internal.h"

#include <atomic>
#include <memory>
#include <mutex>

namespace sim::kernel {

namespace {

using Action = std::function<void(sim::wdm::LONG)>;

std::mutex g_mutex;
std::shared_ptr<Action> g_action;

} // namespace

void SetInterlockedHook(const volatile sim::wdm::LONG* target, Action action) {
    std::lock_guard lock(g_mutex);
    g_action = std::make_shared<Action>(std::move(action));
    sim::wdm::g_simInterlockedHookTarget.store(target);
}

void ClearInterlockedHook() {
    std::lock_guard lock(g_mutex);
    sim::wdm::g_simInterlockedHookTarget.store(nullptr);
    g_action.reset();
}

} // namespace sim::kernel

namespace sim::wdm {

// The hook on `target`, if it still is there, run with the value.
void SimRunInterlockedHook(LONG volatile* target, LONG value) {
    std::shared_ptr<sim::kernel::Action> action;
    {
        std::lock_guard lock(sim::kernel::g_mutex);
        if (g_simInterlockedHookTarget.load() == target)
            action = sim::kernel::g_action;
    }
    if (action && *action)
        (*action)(value); // outside the lock: the action may run code that hits the hook again
}

} // namespace sim::wdm
