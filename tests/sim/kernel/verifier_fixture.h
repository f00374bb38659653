// The fixture of the verifier's tests: a faulty driver's device over a bus driver's, and a
// check that exactly the expected kind of fault was recorded.
#pragma once

#include "scripted_driver.h"

#include <memory>
#include <string>

namespace simtest {

using sim::kernel::IoResult;
using sim::kernel::IrpSpec;
using sim::kernel::KernelTest;
using sim::kernel::OnlyViolationsOf;
using sim::kernel::TakeViolations;
using sim::kernel::ViolationKind;

constexpr ULONG kTag = 0x206D6457; // "Wdm "

class VerifierTest : public KernelTest {
protected:
    void SetUp() override {
        KernelTest::SetUp();
        busDriver = MakeDriver("bus");
        faultyDriver = MakeDriver("faulty", kTag);
        bus = std::make_unique<ScriptedDevice>(busDriver);
        device = std::make_unique<ScriptedDevice>(faultyDriver, bus->Device());
    }
    void TearDown() override {
        device->RemoveIfAlive();
        bus->RemoveIfAlive();
        KernelTest::TearDown();
    }

    IrpSpec Request(UCHAR major = IRP_MJ_DEVICE_CONTROL, UCHAR minor = 0) {
        IrpSpec spec;
        spec.majorFunction = major;
        spec.minorFunction = minor;
        return spec;
    }

    // True if the violations recorded so far are exactly of this kind; clears them.
    bool Caught(ViolationKind kind) {
        auto found = TakeViolations();
        for (const auto& v : found) {
            EXPECT_FALSE(v.message.empty());
        }
        return OnlyViolationsOf(found, {kind});
    }

    // The same, and every message begins with `driver`: the driver at fault ("driver 'x'").
    bool Caught(ViolationKind kind, const std::string& driver) {
        auto found = TakeViolations();
        bool named = true;
        for (const auto& v : found) {
            EXPECT_EQ(v.message.rfind(driver, 0), 0u) << v.message;
            named = named && v.message.rfind(driver, 0) == 0;
        }
        return named && OnlyViolationsOf(found, {kind});
    }

    PDRIVER_OBJECT busDriver{}, faultyDriver{};
    std::unique_ptr<ScriptedDevice> bus, device;
};

} // namespace simtest
