// Power-policy decisions of the driver, as plain functions of a few device fields. Device
// power states are numbered as the platform numbers them: 0 unspecified, 1 D0 .. 4 D3.
#pragma once

#include "core_types.h"

namespace norvask::core {

constexpr i32 kDeviceUnspecified = 0;
constexpr i32 kDeviceD0 = 1;
constexpr i32 kDeviceD1 = 2;
constexpr i32 kDeviceD2 = 3;
constexpr i32 kDeviceD3 = 4;

constexpr i32 kSystemWorking = 1;
constexpr i32 kSystemSleeping1 = 2;
constexpr i32 kSystemSleeping3 = 4;

// The state the device takes while idle, from its capabilities' device state for each system
// state (indexed by system state, `count` entries). The last of S1..S3 below D3 wins; 0 when
// none is.
i32 ChooseIdleDeviceState(const i32* deviceStateBySystemState, u32 count);

// The device state that follows a system set-power to `systemState`.
i32 ChooseSystemPowerTarget(i32 systemState, bool waitWakeArmed,
                            const i32* deviceStateBySystemState, u32 count);

// Whether a wait-wake request must be refused in the device's current state.
bool RefuseWaitWake(i32 devicePowerState, i32 deviceWake);

enum class IdleAction { Refuse, Nothing, Request };

struct IdleDecision {
    IdleAction action;
    i32 target; // for Request
};

struct IdleInputs {
    bool canAcceptRequests;
    bool systemRequestHeld;
    bool idlePowerBusy;
    bool suspend;
    i32 openPipeCount;
    i32 idleDeviceState;
};

IdleDecision DecideIdlePolicy(const IdleInputs& in);

bool IsLowPowerState(i32 deviceState);

} // namespace norvask::core
