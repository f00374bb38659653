// Test harness: the driver loaded on the simulated kernel over the scripted bus, with helpers
// that send the requests an application, the Plug and Play manager and the power manager send.
#pragma once

#include "fake_bus.h"
#include "norvask.h"
#include "sim/kernel/control.h"
#include "sim/kernel/testing.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

namespace norvask::test {

// Configuration descriptor with one interface of `endpoints` endpoints, padded with a vendor
// descriptor to `total` bytes when asked.
std::vector<UCHAR> ConfigDescriptor(UCHAR endpoints, USHORT total = 0);

// The console's packets.
std::vector<UCHAR> WritePacket(UCHAR portA, UCHAR portB);
std::vector<UCHAR> ReadPacket();

// The kernel fixture with the driver loaded over the scripted bus.
class DriverTest : public sim::kernel::KernelTest {
protected:
    void SetUp() override;
    void TearDown() override;

    // Loads the driver (DriverEntry).
    void LoadDriver();
    // Loads the driver if needed and adds the device; returns AddDevice's status.
    NTSTATUS AddDevice();
    // AddDevice and a successful start.
    void AddAndStart();
    sim::kernel::IoResult Pnp(UCHAR minor);
    NTSTATUS Start() { return Pnp(IRP_MN_START_DEVICE).status; }

    DeviceExtension* Ext() const { return Extension(fdo_); }
    PDEVICE_OBJECT Fdo() const { return fdo_; }

    // Opens a handle by file name ("" = the published path alone). The file object stays
    // until the test ends.
    PFILE_OBJECT NewFile(std::u16string_view name);
    NTSTATUS Open(PFILE_OBJECT file) { return sim::kernel::SendCreate(fdo_, file).status; }
    NTSTATUS Close(PFILE_OBJECT file) { return sim::kernel::SendClose(fdo_, file).status; }

    sim::kernel::IoResult Ioctl(ULONG code, const std::vector<UCHAR>& input,
                                std::vector<UCHAR>* output, PFILE_OBJECT file = nullptr);
    sim::kernel::IoResult Vendor(const std::vector<UCHAR>& packet, std::vector<UCHAR>* reply,
                                 ULONG outputLength = 8);

    // A set-power request for the state given, to send now or later.
    static sim::kernel::IrpSpec SetPowerSpec(POWER_STATE_TYPE type, POWER_STATE state);
    sim::kernel::IoResult SetPower(POWER_STATE_TYPE type, POWER_STATE state) {
        return sim::kernel::SendIrp(fdo_, SetPowerSpec(type, state));
    }

    std::unique_ptr<FakeBus> bus_;
    PDRIVER_OBJECT driver_ = nullptr;
    PDEVICE_OBJECT fdo_ = nullptr;
    std::vector<PFILE_OBJECT> files_;
};

} // namespace norvask::test
