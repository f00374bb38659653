#include "harness.h"

#include "sim/registry/registry.h"

#include <cstring>

namespace norvask::test {
namespace {

using sim::kernel::ListDeviceInterfaces;

constexpr const char* kParameters = contract::ParametersKey;

using DeviceSetup = DriverTest;

TEST_F(DeviceSetup, AddedDeviceHoldsOneCountAndAnEnabledInterface) {
    ASSERT_EQ(AddDevice(), STATUS_SUCCESS);
    ASSERT_NE(Fdo(), nullptr);
    EXPECT_EQ(Ext()->PendingIoCount, 1);
    EXPECT_EQ(Ext()->LowerDeviceObject, bus_->Pdo());
    EXPECT_EQ(Ext()->PhysicalDeviceObject, bus_->Pdo());
    EXPECT_EQ(Ext()->MaximumTransferSize, 8u);
    EXPECT_EQ(Ext()->GateTimeout.QuadPart, -20000);
    EXPECT_FALSE(Ext()->DeviceStarted);
    EXPECT_EQ(Fdo()->Flags & DO_DEVICE_INITIALIZING, 0u);
    EXPECT_NE(Fdo()->Flags & DO_POWER_PAGABLE, 0u);

    const auto interfaces = ListDeviceInterfaces();
    ASSERT_EQ(interfaces.size(), 1u);
    EXPECT_TRUE(interfaces[0].enabled);
    EXPECT_EQ(interfaces[0].classGuid.Data1, contract::InterfaceClass.data1);
    EXPECT_EQ(std::u16string(Ext()->InterfaceLinkName), interfaces[0].linkName);
}

TEST_F(DeviceSetup, PublishesTheInterfacePathWithTheUserPrefix) {
    ASSERT_EQ(AddDevice(), STATUS_SUCCESS);
    const std::u16string link = ListDeviceInterfaces().at(0).linkName;
    ASSERT_EQ(link.substr(0, 4), u"\\??\\");

    const auto value = sim::registry::Registry::Instance().GetValue(
        sim::registry::RegRoot::LocalMachine, kParameters, "DeviceName");
    ASSERT_TRUE(value.has_value());
    EXPECT_EQ(value->type, sim::registry::kRegSz);
    // "\\." then the link from its second backslash on; stored without a terminator.
    const std::u16string expected = u"\\\\." + link.substr(3);
    ASSERT_EQ(value->data.size(), expected.size() * 2);
    std::u16string stored(expected.size(), u'\0');
    std::memcpy(stored.data(), value->data.data(), value->data.size());
    EXPECT_EQ(stored, expected);
    // The application's path reaches this device.
    const auto resolved = sim::kernel::ResolveUserPath(stored);
    ASSERT_TRUE(resolved.has_value());
    EXPECT_EQ(resolved->device, Fdo());
}

TEST_F(DeviceSetup, CreateTakesAndReleasesAHoldAndSignalsNoRequests) {
    AddAndStart();
    EXPECT_EQ(Ext()->PendingIoCount, 1);
    EXPECT_EQ(Open(NewFile(u"")), STATUS_SUCCESS);
    EXPECT_EQ(Ext()->PendingIoCount, 1);
    EXPECT_NE(KeReadStateEvent(&Ext()->NoRequestsEvent), 0);
    EXPECT_EQ(KeReadStateEvent(&Ext()->RemoveEvent), 0);
}

TEST_F(DeviceSetup, ShutdownIsRegisteredOnlyWhenTheProductTypeIsReadable) {
    ASSERT_EQ(AddDevice(), STATUS_SUCCESS);
    EXPECT_NE(driver_->MajorFunction[IRP_MJ_SHUTDOWN], nullptr);
    const auto registered = sim::kernel::ShutdownRegistrations();
    ASSERT_EQ(registered.size(), 1u);
    EXPECT_EQ(registered[0], Fdo());
}

TEST_F(DeviceSetup, NoShutdownHandlingWithoutAProductType) {
    sim::registry::Registry::Instance().Clear();
    ASSERT_EQ(AddDevice(), STATUS_SUCCESS);
    EXPECT_TRUE(sim::kernel::ShutdownRegistrations().empty());
    // The slot keeps whatever default the I/O manager put there, not the driver's handler.
    EXPECT_NE(driver_->MajorFunction[IRP_MJ_SHUTDOWN], &norvask::DispatchShutdown);
}

TEST_F(DeviceSetup, IdleStateComesFromTheSleepStatesCapabilities) {
    bus_->deviceStates = {PowerDeviceUnspecified, PowerDeviceD0, PowerDeviceD1, PowerDeviceD2,
                          PowerDeviceD2,          PowerDeviceD3, PowerDeviceD3};
    ASSERT_EQ(AddDevice(), STATUS_SUCCESS);
    EXPECT_EQ(Ext()->IdleDeviceState, PowerDeviceD2);
    EXPECT_TRUE(Ext()->Capabilities.Removable);
    EXPECT_TRUE(Ext()->Capabilities.SurpriseRemovalOK);
}

TEST_F(DeviceSetup, CapabilitiesWithoutARequestStayZeroApartFromTheTwoFlags) {
    sim::kernel::FailIrpAllocationNumber(1);
    ASSERT_EQ(AddDevice(), STATUS_SUCCESS);
    EXPECT_EQ(Ext()->IdleDeviceState, PowerDeviceUnspecified);
    EXPECT_EQ(Ext()->Capabilities.DeviceWake, PowerDeviceUnspecified);
    EXPECT_TRUE(Ext()->Capabilities.Removable);
    EXPECT_TRUE(Ext()->Capabilities.SurpriseRemovalOK);
    EXPECT_EQ(Ext()->PendingIoCount, 1);
}

TEST_F(DeviceSetup, FailedPathBufferStillAddsTheDevice) {
    LoadDriver();
    // Pool taken by AddDevice: the interface link, the device object, then the key path buffer.
    sim::kernel::FailPoolAllocationNumber(3);
    ASSERT_EQ(sim::kernel::CallAddDevice(driver_, bus_->Pdo()), STATUS_SUCCESS);
    fdo_ = bus_->Pdo()->AttachedDevice;
    ASSERT_NE(fdo_, nullptr);
    EXPECT_EQ(sim::kernel::FailedAllocationCount(), 1u);
    EXPECT_FALSE(sim::registry::Registry::Instance()
                     .GetValue(sim::registry::RegRoot::LocalMachine, kParameters, "DeviceName")
                     .has_value());
    EXPECT_EQ(Ext()->PendingIoCount, 1);
}

TEST_F(DeviceSetup, NoDeviceObjectMeansNoDeviceAndNoEnabledInterface) {
    LoadDriver();
    sim::kernel::FailPoolAllocationNumber(2); // the device object
    EXPECT_EQ(sim::kernel::CallAddDevice(driver_, bus_->Pdo()), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(bus_->Pdo()->AttachedDevice, nullptr);
    const auto interfaces = ListDeviceInterfaces();
    ASSERT_EQ(interfaces.size(), 1u);
    EXPECT_FALSE(interfaces[0].enabled);
    EXPECT_TRUE(sim::kernel::OutstandingPool(driver_).empty());
}

TEST_F(DeviceSetup, LinkTooLongForThePublishedValueIsNotPublished) {
    // A link of about 300 characters fits the interface record but not the 256-character value.
    sim::kernel::SetDeviceInstanceId(bus_->Pdo(),
                                     u"USB\\VID_FFFF&PID_FFFF\\" + std::u16string(240, u'7'));
    ASSERT_EQ(AddDevice(), STATUS_SUCCESS);
    const std::u16string link = ListDeviceInterfaces().at(0).linkName;
    ASSERT_GT(link.size(), 256u);
    ASSERT_LT(link.size(), 512u);
    EXPECT_EQ(std::u16string(Ext()->InterfaceLinkName), link);
    EXPECT_FALSE(sim::registry::Registry::Instance()
                     .GetValue(sim::registry::RegRoot::LocalMachine, kParameters, "DeviceName")
                     .has_value());
}

TEST_F(DeviceSetup, LinkTooLongForTheInterfaceRecordIsNeitherKeptNorPublished) {
    sim::kernel::SetDeviceInstanceId(bus_->Pdo(),
                                     u"USB\\VID_FFFF&PID_FFFF\\" + std::u16string(600, u'7'));
    ASSERT_EQ(AddDevice(), STATUS_SUCCESS);
    ASSERT_GE(ListDeviceInterfaces().at(0).linkName.size(), 512u);
    EXPECT_EQ(Ext()->InterfaceLinkName[0], 0);
    EXPECT_EQ(Ext()->InterfaceLinkName[511], 0);
    EXPECT_FALSE(sim::registry::Registry::Instance()
                     .GetValue(sim::registry::RegRoot::LocalMachine, kParameters, "DeviceName")
                     .has_value());
    EXPECT_EQ(Ext()->PendingIoCount, 1);
}

TEST_F(DeviceSetup, SystemControlGoesDownWithAHoldReleased) {
    AddAndStart();
    sim::kernel::IrpSpec spec;
    spec.majorFunction = IRP_MJ_SYSTEM_CONTROL;
    spec.initialStatus = STATUS_NOT_SUPPORTED;
    const auto result = sim::kernel::SendIrp(Fdo(), spec);
    EXPECT_TRUE(result.completed);
    // The driver set success before passing it on; the bus kept that status.
    EXPECT_EQ(result.status, STATUS_SUCCESS);
    EXPECT_EQ(Ext()->PendingIoCount, 1);
}

} // namespace
} // namespace norvask::test
