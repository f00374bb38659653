#include "core/power_policy.h"

#include <gtest/gtest.h>

#include <array>

namespace norvask::core {
namespace {

// Indexed by system state: unspecified, working, S1, S2, S3, hibernate, shutdown.
using States = std::array<i32, 7>;

i32 Idle(i32 s1, i32 s2, i32 s3) {
    States s{0, kDeviceD0, s1, s2, s3, kDeviceD3, kDeviceD3};
    return ChooseIdleDeviceState(s.data(), static_cast<u32>(s.size()));
}

TEST(IdleDeviceStateChoice, LastSleepStateBelowD3Wins) {
    EXPECT_EQ(Idle(kDeviceD2, kDeviceD3, kDeviceD3), kDeviceD2);
    EXPECT_EQ(Idle(kDeviceD1, kDeviceD2, kDeviceD2), kDeviceD2);
    EXPECT_EQ(Idle(kDeviceD3, kDeviceD3, kDeviceD3), kDeviceUnspecified);
    EXPECT_EQ(Idle(kDeviceD2, kDeviceD2, kDeviceUnspecified), kDeviceUnspecified);
    EXPECT_EQ(Idle(kDeviceD3, kDeviceD1, kDeviceD3), kDeviceD1);
}

TEST(IdleDeviceStateChoice, ShortTableReadsNothingBeyondIt) {
    States s{0, kDeviceD0, kDeviceD2, kDeviceD1, kDeviceD1, 0, 0};
    EXPECT_EQ(ChooseIdleDeviceState(s.data(), 3), kDeviceD2);
}

TEST(SystemPowerTarget, WorkingIsD0SleepIsD3UnlessWakeIsArmed) {
    States s{0, kDeviceD0, kDeviceD1, kDeviceD2, kDeviceD2, kDeviceD3, kDeviceD3};
    const u32 n = static_cast<u32>(s.size());
    EXPECT_EQ(ChooseSystemPowerTarget(kSystemWorking, false, s.data(), n), kDeviceD0);
    EXPECT_EQ(ChooseSystemPowerTarget(kSystemWorking, true, s.data(), n), kDeviceD0);
    EXPECT_EQ(ChooseSystemPowerTarget(kSystemSleeping1, false, s.data(), n), kDeviceD3);
    EXPECT_EQ(ChooseSystemPowerTarget(kSystemSleeping1, true, s.data(), n), kDeviceD1);
    EXPECT_EQ(ChooseSystemPowerTarget(kSystemSleeping3, true, s.data(), n), kDeviceD2);
    // A system state outside the table cannot be looked up: the device goes to D3.
    EXPECT_EQ(ChooseSystemPowerTarget(40, true, s.data(), n), kDeviceD3);
    EXPECT_EQ(ChooseSystemPowerTarget(-1, true, s.data(), n), kDeviceD3);
}

TEST(WaitWakeRefusal, InD0OrWhenWakeIsDeeperThanTheCurrentState) {
    EXPECT_TRUE(RefuseWaitWake(kDeviceD0, kDeviceD2));
    EXPECT_TRUE(RefuseWaitWake(kDeviceD2, kDeviceD3));
    EXPECT_FALSE(RefuseWaitWake(kDeviceD2, kDeviceD2));
    EXPECT_FALSE(RefuseWaitWake(kDeviceD3, kDeviceD2));
    // Never powered yet: state 0, any wake state is deeper.
    EXPECT_TRUE(RefuseWaitWake(kDeviceUnspecified, kDeviceD1));
}

IdleInputs Ready(bool suspend, i32 pipes, i32 idle = kDeviceD2) {
    return {true, false, false, suspend, pipes, idle};
}

TEST(IdlePolicy, SuspendsWhenNoPipeIsOpenAndResumesWhenOneIs) {
    IdleDecision d = DecideIdlePolicy(Ready(true, 0));
    EXPECT_EQ(d.action, IdleAction::Request);
    EXPECT_EQ(d.target, kDeviceD2);
    d = DecideIdlePolicy(Ready(false, 1));
    EXPECT_EQ(d.action, IdleAction::Request);
    EXPECT_EQ(d.target, kDeviceD0);
    EXPECT_EQ(DecideIdlePolicy(Ready(true, 1)).action, IdleAction::Nothing);
    EXPECT_EQ(DecideIdlePolicy(Ready(false, 0)).action, IdleAction::Nothing);
}

TEST(IdlePolicy, DoesNothingWithoutALowPowerIdleState) {
    for (i32 idle : {kDeviceUnspecified, kDeviceD0, 5, -1}) {
        EXPECT_EQ(DecideIdlePolicy(Ready(true, 0, idle)).action, IdleAction::Nothing) << idle;
        EXPECT_EQ(DecideIdlePolicy(Ready(false, 1, idle)).action, IdleAction::Nothing) << idle;
    }
}

TEST(IdlePolicy, RefusesWhenClosedForRequestsAndWaitsOutOtherPowerWork) {
    IdleInputs in = Ready(true, 0);
    in.canAcceptRequests = false;
    EXPECT_EQ(DecideIdlePolicy(in).action, IdleAction::Refuse);
    in = Ready(true, 0);
    in.systemRequestHeld = true;
    EXPECT_EQ(DecideIdlePolicy(in).action, IdleAction::Nothing);
    in = Ready(false, 1);
    in.idlePowerBusy = true;
    EXPECT_EQ(DecideIdlePolicy(in).action, IdleAction::Nothing);
}

} // namespace
} // namespace norvask::core
