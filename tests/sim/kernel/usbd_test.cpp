// USBD library: configuration requests and descriptor parsing, including malformed descriptors.
// Descriptor bytes live in vectors of exactly wTotalLength bytes, so that AddressSanitizer catches
// any read past the end.
#include "scripted_driver.h"

#include <vector>

namespace simtest {
namespace {

using sim::kernel::KernelTest;

std::vector<uint8_t> Configuration(std::vector<std::vector<uint8_t>> parts, int numInterfaces) {
    std::vector<uint8_t> bytes = {
        9, USB_CONFIGURATION_DESCRIPTOR_TYPE, 0, 0, static_cast<uint8_t>(numInterfaces), 1, 0, 0x80,
        50};
    for (const auto& part : parts)
        bytes.insert(bytes.end(), part.begin(), part.end());
    bytes[2] = static_cast<uint8_t>(bytes.size() & 0xFF);
    bytes[3] = static_cast<uint8_t>(bytes.size() >> 8);
    return bytes;
}

std::vector<uint8_t> Interface(uint8_t number, uint8_t alternate, uint8_t endpoints,
                               uint8_t cls = 0xFF) {
    return {9, USB_INTERFACE_DESCRIPTOR_TYPE, number, alternate, endpoints, cls, 0, 0, 0};
}

std::vector<uint8_t> Endpoint(uint8_t address) {
    return {7, USB_ENDPOINT_DESCRIPTOR_TYPE, address, USB_ENDPOINT_TYPE_BULK, 64, 0, 0};
}

PUSB_CONFIGURATION_DESCRIPTOR AsConfig(std::vector<uint8_t>& bytes) {
    return reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(bytes.data());
}

class UsbdTest : public KernelTest {
protected:
    void SetUp() override {
        KernelTest::SetUp();
        driver = MakeDriver("usb client", 0x206D6457);
    }
    PDRIVER_OBJECT driver{};
};

TEST_F(UsbdTest, ConfigurationRequestDescribesTheFirstInterfaceAndItsPipes) {
    auto bytes = Configuration({Interface(0, 0, 2), Endpoint(0x81), Endpoint(0x02)}, 1);
    PUSB_CONFIGURATION_DESCRIPTOR config = AsConfig(bytes);
    sim::kernel::RunInDriverContext(driver, [&] {
        USHORT size = 0;
        PURB urb = USBD_CreateConfigurationRequest(config, &size);
        ASSERT_NE(urb, nullptr);
        EXPECT_EQ(size, GET_SELECT_CONFIGURATION_REQUEST_SIZE(1, 2));
        EXPECT_EQ(urb->UrbHeader.Length, size);
        EXPECT_EQ(urb->UrbHeader.Function, URB_FUNCTION_SELECT_CONFIGURATION);
        EXPECT_EQ(urb->UrbSelectConfiguration.ConfigurationDescriptor, config);
        const USBD_INTERFACE_INFORMATION& info = urb->UrbSelectConfiguration.Interface;
        EXPECT_EQ(info.NumberOfPipes, 2u);
        EXPECT_EQ(info.Length, GET_USBD_INTERFACE_SIZE(2));
        for (ULONG i = 0; i < info.NumberOfPipes; ++i) {
            EXPECT_EQ(info.Pipes[i].MaximumTransferSize, USBD_DEFAULT_MAXIMUM_TRANSFER_SIZE);
        }
        // The block comes from pool that the caller frees.
        EXPECT_EQ(sim::kernel::OutstandingPool(driver).size(), 1u);
        ExFreePool(urb);
    });
}

TEST_F(UsbdTest, ListFormTakesTheChosenInterfacesInOrder) {
    auto bytes = Configuration({Interface(0, 0, 1), Endpoint(0x81), Interface(1, 0, 0),
                                Interface(1, 1, 2), Endpoint(0x82), Endpoint(0x03)},
                               2);
    PUSB_CONFIGURATION_DESCRIPTOR config = AsConfig(bytes);
    sim::kernel::RunInDriverContext(driver, [&] {
        USBD_INTERFACE_LIST_ENTRY list[3] = {};
        list[0].InterfaceDescriptor =
            USBD_ParseConfigurationDescriptorEx(config, config, 0, 0, -1, -1, -1);
        list[1].InterfaceDescriptor =
            USBD_ParseConfigurationDescriptorEx(config, config, 1, 1, -1, -1, -1);
        ASSERT_NE(list[0].InterfaceDescriptor, nullptr);
        ASSERT_NE(list[1].InterfaceDescriptor, nullptr);
        PURB urb = USBD_CreateConfigurationRequestEx(config, list);
        ASSERT_NE(urb, nullptr);
        ASSERT_NE(list[0].Interface, nullptr);
        ASSERT_NE(list[1].Interface, nullptr);
        EXPECT_EQ(list[0].Interface, &urb->UrbSelectConfiguration.Interface);
        EXPECT_EQ(list[0].Interface->NumberOfPipes, 1u);
        EXPECT_EQ(list[1].Interface->InterfaceNumber, 1);
        EXPECT_EQ(list[1].Interface->AlternateSetting, 1);
        EXPECT_EQ(list[1].Interface->NumberOfPipes, 2u);
        EXPECT_EQ(urb->UrbHeader.Length, GET_SELECT_CONFIGURATION_REQUEST_SIZE(2, 3));
        ExFreePool(urb);
    });
}

TEST_F(UsbdTest, ParseMatchesEveryGivenCriterionAndSkipsOthers) {
    auto bytes = Configuration({Interface(0, 0, 0, 3), Interface(1, 0, 0, 0xFF)}, 2);
    PUSB_CONFIGURATION_DESCRIPTOR config = AsConfig(bytes);
    PUSB_INTERFACE_DESCRIPTOR any =
        USBD_ParseConfigurationDescriptorEx(config, config, -1, -1, -1, -1, -1);
    ASSERT_NE(any, nullptr);
    EXPECT_EQ(any->bInterfaceNumber, 0);
    PUSB_INTERFACE_DESCRIPTOR vendor =
        USBD_ParseConfigurationDescriptorEx(config, config, -1, -1, 0xFF, -1, -1);
    ASSERT_NE(vendor, nullptr);
    EXPECT_EQ(vendor->bInterfaceNumber, 1);
    EXPECT_EQ(USBD_ParseConfigurationDescriptorEx(config, config, 2, -1, -1, -1, -1), nullptr);
    // Starting past the first interface finds the second.
    EXPECT_EQ(USBD_ParseConfigurationDescriptorEx(config, reinterpret_cast<uint8_t*>(any) + 9, -1,
                                                  -1, -1, -1, -1),
              vendor);
}

TEST_F(UsbdTest, MalformedDescriptorsAreNeverReadPastTheirTotalLength) {
    // A descriptor of length 0 would loop forever if trusted.
    auto zero = Configuration({{0, USB_INTERFACE_DESCRIPTOR_TYPE}}, 1);
    EXPECT_EQ(
        USBD_ParseConfigurationDescriptorEx(AsConfig(zero), AsConfig(zero), -1, -1, -1, -1, -1),
        nullptr);
    // An interface descriptor that claims to run past the end.
    auto overlong = Configuration({{9, USB_INTERFACE_DESCRIPTOR_TYPE, 0, 0}}, 1);
    EXPECT_EQ(USBD_ParseConfigurationDescriptorEx(AsConfig(overlong), AsConfig(overlong), -1, -1,
                                                  -1, -1, -1),
              nullptr);
    // An interface descriptor shorter than its fields.
    auto shortInterface = Configuration({{4, USB_INTERFACE_DESCRIPTOR_TYPE, 0, 0}}, 1);
    EXPECT_EQ(USBD_ParseConfigurationDescriptorEx(AsConfig(shortInterface),
                                                  AsConfig(shortInterface), -1, -1, -1, -1, -1),
              nullptr);
    // wTotalLength that stops before an interface that does lie in the buffer.
    auto cut = Configuration({Interface(0, 0, 0)}, 1);
    cut[2] = 9;
    cut[3] = 0;
    EXPECT_EQ(USBD_ParseConfigurationDescriptorEx(AsConfig(cut), AsConfig(cut), -1, -1, -1, -1, -1),
              nullptr);
    // A lone byte at the end is not a descriptor header.
    auto trailing = Configuration({Interface(0, 0, 0), {9}}, 1);
    EXPECT_NE(USBD_ParseConfigurationDescriptorEx(AsConfig(trailing), AsConfig(trailing), -1, -1,
                                                  -1, -1, -1),
              nullptr);
    EXPECT_EQ(USBD_ParseDescriptors(trailing.data(), static_cast<ULONG>(trailing.size()),
                                    trailing.data() + 18, USB_ENDPOINT_DESCRIPTOR_TYPE),
              nullptr);
}

TEST_F(UsbdTest, ConfigurationRequestRefusesABadHeaderAndCopesWithNoInterface) {
    auto bytes = Configuration({}, 0);
    bytes[1] = USB_DEVICE_DESCRIPTOR_TYPE; // not a configuration descriptor
    USHORT size = 123;
    sim::kernel::RunInDriverContext(driver, [&] {
        EXPECT_EQ(USBD_CreateConfigurationRequest(AsConfig(bytes), &size), nullptr);
        EXPECT_EQ(size, 0);
        auto empty = Configuration({}, 1); // announces an interface it does not hold
        PURB urb = USBD_CreateConfigurationRequest(AsConfig(empty), &size);
        ASSERT_NE(urb, nullptr);
        EXPECT_EQ(urb->UrbSelectConfiguration.Interface.NumberOfPipes, 0u);
        EXPECT_EQ(USBD_ParseConfigurationDescriptorEx(AsConfig(empty), AsConfig(empty), -1, -1, -1,
                                                      -1, -1),
                  nullptr);
        ExFreePool(urb);
    });
}

TEST_F(UsbdTest, ConfigurationRequestFailsWhenPoolRunsOut) {
    auto bytes = Configuration({Interface(0, 0, 1), Endpoint(0x81)}, 1);
    sim::kernel::FailPoolAllocationNumber(1);
    sim::kernel::RunInDriverContext(driver, [&] {
        USHORT size = 0;
        EXPECT_EQ(USBD_CreateConfigurationRequest(AsConfig(bytes), &size), nullptr);
    });
}

TEST(UsbLayout, RequestBlocksHaveTheirPlatformSizes) {
    // 64-bit sizes of the real structures; the driver allocates by sizeof.
    EXPECT_EQ(sizeof(_URB_HEADER), 24u);
    EXPECT_EQ(sizeof(_URB_CONTROL_VENDOR_OR_CLASS_REQUEST), 136u);
    EXPECT_EQ(sizeof(_URB_CONTROL_DESCRIPTOR_REQUEST), 136u);
    EXPECT_EQ(sizeof(_URB_PIPE_REQUEST), 40u);
    EXPECT_EQ(offsetof(_URB_CONTROL_VENDOR_OR_CLASS_REQUEST, TransferBufferLength), 36u);
    EXPECT_EQ(IOCTL_INTERNAL_USB_SUBMIT_URB, 0x220003u);
    DEVICE_CAPABILITIES caps{};
    caps.Removable = 1;
    caps.SurpriseRemovalOK = 1;
    ULONG word;
    std::memcpy(&word, reinterpret_cast<uint8_t*>(&caps) + 4, sizeof word);
    EXPECT_EQ(word, 0x210u);
}

} // namespace
} // namespace simtest
