#include "power_policy.h"

namespace norvask::core {

bool IsLowPowerState(i32 deviceState) {
    return deviceState == kDeviceD1 || deviceState == kDeviceD2 || deviceState == kDeviceD3;
}

i32 ChooseIdleDeviceState(const i32* deviceStateBySystemState, u32 count) {
    i32 chosen = kDeviceUnspecified;
    for (i32 s = kSystemSleeping1; s <= kSystemSleeping3; ++s) {
        if (static_cast<u32>(s) < count && deviceStateBySystemState[s] < kDeviceD3) {
            chosen = deviceStateBySystemState[s];
        }
    }
    return chosen;
}

i32 ChooseSystemPowerTarget(i32 systemState, bool waitWakeArmed,
                            const i32* deviceStateBySystemState, u32 count) {
    if (systemState == kSystemWorking) {
        return kDeviceD0;
    }
    if (waitWakeArmed && systemState >= 0 && static_cast<u32>(systemState) < count) {
        return deviceStateBySystemState[systemState];
    }
    return kDeviceD3;
}

bool RefuseWaitWake(i32 devicePowerState, i32 deviceWake) {
    return devicePowerState == kDeviceD0 || deviceWake > devicePowerState;
}

IdleDecision DecideIdlePolicy(const IdleInputs& in) {
    if (!in.canAcceptRequests) {
        return {IdleAction::Refuse, 0};
    }
    if (in.systemRequestHeld || in.idlePowerBusy) {
        return {IdleAction::Nothing, 0};
    }
    if (in.suspend ? in.openPipeCount != 0 : in.openPipeCount == 0) {
        return {IdleAction::Nothing, 0};
    }
    if (!IsLowPowerState(in.idleDeviceState)) {
        return {IdleAction::Nothing, 0};
    }
    return {IdleAction::Request, in.suspend ? in.idleDeviceState : kDeviceD0};
}

} // namespace norvask::core
