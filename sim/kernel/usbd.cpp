// USBD library routines: descriptor parsing and select-configuration requests.
//
// Descriptors come from a device and may be malformed: every walk stays inside the
// configuration's wTotalLength, stops at a descriptor shorter than 2 bytes, and skips an interface
// descriptor shorter than its 9 bytes.
#include "sim/kernel/internal.h"

#include <algorithm>

namespace sim::wdm {

using namespace sim::kernel;
using namespace sim::kernel::detail;

namespace {

constexpr ULONG kUsbdTag = 0x44425355; // "USBD"

bool ValidConfigurationHeader(PUSB_CONFIGURATION_DESCRIPTOR descriptor) {
    return descriptor != nullptr && descriptor->bLength >= sizeof(USB_CONFIGURATION_DESCRIPTOR) &&
           descriptor->bDescriptorType == USB_CONFIGURATION_DESCRIPTOR_TYPE &&
           descriptor->wTotalLength >= sizeof(USB_CONFIGURATION_DESCRIPTOR);
}

bool Matches(LONG wanted, UCHAR actual) {
    return wanted == -1 || wanted == actual;
}

} // namespace

PUSB_COMMON_DESCRIPTOR NTAPI USBD_ParseDescriptors(PVOID DescriptorBuffer, ULONG TotalLength,
                                                   PVOID StartPosition, LONG DescriptorType) {
    auto begin = static_cast<PUCHAR>(DescriptorBuffer);
    auto end = begin + TotalLength;
    auto position = static_cast<PUCHAR>(StartPosition);
    if (begin == nullptr || position < begin || position >= end)
        return nullptr;
    while (end - position >= 2) {
        UCHAR length = position[0];
        if (length < 2 || length > end - position)
            return nullptr;
        if (position[1] == DescriptorType)
            return reinterpret_cast<PUSB_COMMON_DESCRIPTOR>(position);
        position += length;
    }
    return nullptr;
}

PUSB_INTERFACE_DESCRIPTOR NTAPI USBD_ParseConfigurationDescriptorEx(
    PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor, PVOID StartPosition,
    LONG InterfaceNumber, LONG AlternateSetting, LONG InterfaceClass, LONG InterfaceSubClass,
    LONG InterfaceProtocol) {
    if (ConfigurationDescriptor == nullptr)
        return nullptr;
    ULONG total = ConfigurationDescriptor->wTotalLength;
    PVOID position = StartPosition;
    while (true) {
        auto found = USBD_ParseDescriptors(ConfigurationDescriptor, total, position,
                                           USB_INTERFACE_DESCRIPTOR_TYPE);
        if (found == nullptr)
            return nullptr;
        auto descriptor = reinterpret_cast<PUSB_INTERFACE_DESCRIPTOR>(found);
        if (found->bLength >= sizeof(USB_INTERFACE_DESCRIPTOR) &&
            Matches(InterfaceNumber, descriptor->bInterfaceNumber) &&
            Matches(AlternateSetting, descriptor->bAlternateSetting) &&
            Matches(InterfaceClass, descriptor->bInterfaceClass) &&
            Matches(InterfaceSubClass, descriptor->bInterfaceSubClass) &&
            Matches(InterfaceProtocol, descriptor->bInterfaceProtocol)) {
            return descriptor;
        }
        position = reinterpret_cast<PUCHAR>(found) + found->bLength;
    }
}

PUSB_INTERFACE_DESCRIPTOR NTAPI
USBD_ParseConfigurationDescriptor(PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor,
                                  UCHAR InterfaceNumber, UCHAR AlternateSetting) {
    return USBD_ParseConfigurationDescriptorEx(ConfigurationDescriptor, ConfigurationDescriptor,
                                               InterfaceNumber, AlternateSetting, -1, -1, -1);
}

PURB NTAPI USBD_CreateConfigurationRequestEx(PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor,
                                             PUSBD_INTERFACE_LIST_ENTRY InterfaceList) {
    if (!ValidConfigurationHeader(ConfigurationDescriptor) || InterfaceList == nullptr) {
        return nullptr;
    }
    size_t size = offsetof(struct _URB_SELECT_CONFIGURATION, Interface);
    size_t count = 0;
    for (PUSBD_INTERFACE_LIST_ENTRY entry = InterfaceList; entry->InterfaceDescriptor != nullptr;
         ++entry) {
        size += GET_USBD_INTERFACE_SIZE(entry->InterfaceDescriptor->bNumEndpoints);
        ++count;
    }
    size = std::max(size, sizeof(struct _URB_SELECT_CONFIGURATION));
    if (size > 0xFFFF)
        return nullptr;
    auto urb = static_cast<PURB>(AllocatePool(NonPagedPool, std::max(size, sizeof(URB)), kUsbdTag,
                                              CurrentDriver(), true, true));
    if (urb == nullptr)
        return nullptr;
    urb->UrbHeader.Length = static_cast<USHORT>(size);
    urb->UrbHeader.Function = URB_FUNCTION_SELECT_CONFIGURATION;
    urb->UrbSelectConfiguration.ConfigurationDescriptor = ConfigurationDescriptor;
    auto info = &urb->UrbSelectConfiguration.Interface;
    for (size_t i = 0; i < count; ++i) {
        PUSB_INTERFACE_DESCRIPTOR descriptor = InterfaceList[i].InterfaceDescriptor;
        info->Length = static_cast<USHORT>(GET_USBD_INTERFACE_SIZE(descriptor->bNumEndpoints));
        info->InterfaceNumber = descriptor->bInterfaceNumber;
        info->AlternateSetting = descriptor->bAlternateSetting;
        info->NumberOfPipes = descriptor->bNumEndpoints;
        for (ULONG pipe = 0; pipe < info->NumberOfPipes; ++pipe) {
            info->Pipes[pipe].MaximumTransferSize = USBD_DEFAULT_MAXIMUM_TRANSFER_SIZE;
            info->Pipes[pipe].PipeFlags = 0;
        }
        InterfaceList[i].Interface = info;
        info = reinterpret_cast<PUSBD_INTERFACE_INFORMATION>(reinterpret_cast<PUCHAR>(info) +
                                                             info->Length);
    }
    return urb;
}

PURB NTAPI USBD_CreateConfigurationRequest(PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor,
                                           PUSHORT Siz) {
    if (Siz != nullptr)
        *Siz = 0;
    if (!ValidConfigurationHeader(ConfigurationDescriptor))
        return nullptr;
    // Alternate setting 0 of each interface the descriptor announces and holds.
    std::vector<USBD_INTERFACE_LIST_ENTRY> list;
    for (LONG number = 0; number < ConfigurationDescriptor->bNumInterfaces; ++number) {
        PUSB_INTERFACE_DESCRIPTOR descriptor = USBD_ParseConfigurationDescriptorEx(
            ConfigurationDescriptor, ConfigurationDescriptor, number, 0, -1, -1, -1);
        if (descriptor != nullptr)
            list.push_back({descriptor, nullptr});
    }
    list.push_back({nullptr, nullptr});
    PURB urb = USBD_CreateConfigurationRequestEx(ConfigurationDescriptor, list.data());
    if (urb != nullptr && Siz != nullptr)
        *Siz = urb->UrbHeader.Length;
    return urb;
}

} // namespace sim::wdm
