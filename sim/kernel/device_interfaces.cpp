// Device interfaces (registration, state, the paths that user mode opens) and shutdown
// registration.
#include "sim/kernel/device_state.h"

#include <algorithm>
#include <cstdint>
#include <mutex>
#include <type_traits>

namespace sim::kernel {

using namespace sim::wdm;
using namespace detail;

namespace {

struct InterfaceRecord {
    std::u16string linkName;
    GUID guid;
    PDEVICE_OBJECT pdo;
    bool enabled;
};

std::vector<InterfaceRecord> g_interfaces;
// Counts every change to g_interfaces (a record added, enabled, disabled or left by its device,
// the list emptied), so that a lookup remembered from before a change is never used after it.
uint64_t g_interfaceChanges = 0;
// The last narrow path found, as it was given: an open on every device cycle names the same one.
struct LastLookup {
    std::string path;
    uint64_t changes = ~uint64_t{0};
    size_t index = 0;
    size_t length = 0;
};
LastLookup g_lastLookup;
std::vector<PDEVICE_OBJECT> g_shutdown;

std::u16string GuidText(const GUID& guid) {
    char text[64];
    std::snprintf(text, sizeof text, "{%08x-%04x-%04x-%02x%02x-%02x%02x%02x%02x%02x%02x}",
                  guid.Data1, guid.Data2, guid.Data3, guid.Data4[0], guid.Data4[1], guid.Data4[2],
                  guid.Data4[3], guid.Data4[4], guid.Data4[5], guid.Data4[6], guid.Data4[7]);
    return ToU16(text);
}

std::u16string FromUnicode(PCUNICODE_STRING text) {
    if (text == nullptr || text->Buffer == nullptr)
        return {};
    return std::u16string(text->Buffer, text->Length / sizeof(WCHAR));
}

char16_t FoldU16(char16_t c) {
    return c >= u'A' && c <= u'Z' ? static_cast<char16_t>(c - u'A' + u'a') : c;
}

// A narrow path's bytes stand for the characters of the same number, as ToU16 widens them.
char16_t Widen(char c) {
    return static_cast<char16_t>(static_cast<unsigned char>(c));
}
char16_t Widen(char16_t c) {
    return c;
}

// Compares in place: a lookup on every open makes no lower-case copies.
template <class Char>
bool StartsWithNoCase(std::basic_string_view<Char> text, std::u16string_view prefix) {
    if (text.size() < prefix.size())
        return false;
    for (size_t i = 0; i < prefix.size(); ++i) {
        const char16_t c = Widen(text[i]);
        if (c != prefix[i] && FoldU16(c) != FoldU16(prefix[i]))
            return false;
    }
    return true;
}

} // namespace

namespace detail {

void ForgetInterfacesOfLocked(PDEVICE_OBJECT device) {
    for (InterfaceRecord& r : g_interfaces) {
        if (r.pdo == device) {
            r.pdo = nullptr;
            r.enabled = false;
        }
    }
    ++g_interfaceChanges;
}

bool UnregisterShutdownLocked(PDEVICE_OBJECT device) {
    auto registered = std::find(g_shutdown.begin(), g_shutdown.end(), device);
    if (registered == g_shutdown.end())
        return false;
    g_shutdown.erase(registered);
    return true;
}

void ResetInterfacesLocked() {
    g_interfaces.clear();
    ++g_interfaceChanges;
    g_shutdown.clear();
}

} // namespace detail

std::vector<DeviceInterface> ListDeviceInterfaces() {
    std::lock_guard lock(g_deviceLock);
    std::vector<DeviceInterface> list;
    for (const InterfaceRecord& r : g_interfaces) {
        list.push_back({r.linkName, r.guid, r.pdo, r.enabled});
    }
    return list;
}

namespace {

// Resolves a path as given, narrow or wide, without converting it first.
template <class Char>
std::optional<ResolvedPath> Resolve(std::basic_string_view<Char> path, bool reference) {
    if (!StartsWithNoCase(path, u"\\\\.\\") && !StartsWithNoCase(path, u"\\\\?\\")) {
        return std::nullopt;
    }
    std::basic_string_view<Char> name = path.substr(4);
    std::lock_guard lock(g_deviceLock);
    const InterfaceRecord* best = nullptr;
    size_t bestLength = 0;
    constexpr bool narrow = std::is_same_v<Char, char>;
    bool remembered = false;
    if constexpr (narrow) {
        remembered = g_lastLookup.changes == g_interfaceChanges &&
                     std::string_view(g_lastLookup.path) == path;
    }
    if (remembered) {
        best = &g_interfaces[g_lastLookup.index];
        bestLength = g_lastLookup.length;
    } else {
        for (const InterfaceRecord& r : g_interfaces) {
            if (!r.enabled || r.pdo == nullptr)
                continue;
            std::u16string_view tail = std::u16string_view(r.linkName).substr(4); // after "\??\"
            if (!StartsWithNoCase(name, tail))
                continue;
            if (name.size() > tail.size() && Widen(name[tail.size()]) != u'\\')
                continue;
            if (best == nullptr || tail.size() > bestLength) {
                best = &r;
                bestLength = tail.size();
            }
        }
        if (best == nullptr)
            return std::nullopt;
        if constexpr (narrow) {
            g_lastLookup.path.assign(path);
            g_lastLookup.changes = g_interfaceChanges;
            g_lastLookup.index = static_cast<size_t>(best - g_interfaces.data());
            g_lastLookup.length = bestLength;
        }
    }
    PDEVICE_OBJECT top = IoGetAttachedDevice(best->pdo);
    if (reference) {
        if (!IsAliveLocked(top))
            return std::nullopt;
        ObReferenceObject(top);
    }
    ResolvedPath resolved{top, {}};
    const std::basic_string_view<Char> remainder = name.substr(bestLength);
    resolved.remainder.reserve(remainder.size());
    for (Char c : remainder)
        resolved.remainder.push_back(Widen(c));
    return resolved;
}

} // namespace

std::optional<ResolvedPath> ResolveUserPath(std::u16string_view path) {
    return Resolve(path, false);
}

std::optional<ResolvedPath> ResolveUserPath(std::string_view path) {
    return Resolve(path, false);
}

std::optional<ResolvedPath> ReferenceUserPath(std::string_view path) {
    return Resolve(path, true);
}

std::vector<PDEVICE_OBJECT> ShutdownRegistrations() {
    std::lock_guard lock(g_deviceLock);
    return g_shutdown;
}

} // namespace sim::kernel

namespace sim::wdm {

using namespace sim::kernel;
using namespace sim::kernel::detail;

NTSTATUS NTAPI IoRegisterDeviceInterface(PDEVICE_OBJECT PhysicalDeviceObject,
                                         const GUID* InterfaceClassGuid,
                                         PUNICODE_STRING ReferenceString,
                                         PUNICODE_STRING SymbolicLinkName) {
    if (InterfaceClassGuid == nullptr || SymbolicLinkName == nullptr) {
        Report(ViolationKind::BadArgument, "IoRegisterDeviceInterface with a null argument");
        return STATUS_INVALID_PARAMETER;
    }
    std::u16string link;
    {
        std::lock_guard lock(g_deviceLock);
        if (!IsAliveLocked(PhysicalDeviceObject) ||
            PhysicalDeviceObject->DeviceObjectExtension->instanceId.empty()) {
            return STATUS_INVALID_DEVICE_REQUEST; // not a Plug and Play physical device object
        }
        std::u16string id = PhysicalDeviceObject->DeviceObjectExtension->instanceId;
        std::replace(id.begin(), id.end(), u'\\', u'#');
        link = u"\\??\\" + id + u"#" + GuidText(*InterfaceClassGuid);
        std::u16string reference = FromUnicode(ReferenceString);
        if (!reference.empty())
            link += u"\\" + reference;
        bool known = false;
        for (InterfaceRecord& r : g_interfaces) {
            if (LowerU16(r.linkName) != LowerU16(link))
                continue;
            known = true;
            // The interface belongs to the instance id: a device plugged again under the same
            // id takes over the record its deleted predecessor left.
            if (r.pdo != PhysicalDeviceObject && (r.pdo == nullptr || !IsAliveLocked(r.pdo))) {
                r.pdo = PhysicalDeviceObject;
                r.enabled = false;
            }
        }
        if (!known)
            g_interfaces.push_back({link, *InterfaceClassGuid, PhysicalDeviceObject, false});
        ++g_interfaceChanges;
    }
    size_t bytes = (link.size() + 1) * sizeof(WCHAR);
    auto buffer = static_cast<PWSTR>(
        AllocatePool(PagedPool, bytes, 0x69446F49 /* "IoDi" */, CurrentDriver(), true, true));
    if (buffer == nullptr)
        return STATUS_INSUFFICIENT_RESOURCES;
    std::memcpy(buffer, link.c_str(), bytes);
    SymbolicLinkName->Buffer = buffer;
    SymbolicLinkName->Length = static_cast<USHORT>(link.size() * sizeof(WCHAR));
    SymbolicLinkName->MaximumLength = static_cast<USHORT>(bytes);
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI IoSetDeviceInterfaceState(PUNICODE_STRING SymbolicLinkName, BOOLEAN Enable) {
    std::u16string link = LowerU16(FromUnicode(SymbolicLinkName));
    std::lock_guard lock(g_deviceLock);
    for (InterfaceRecord& r : g_interfaces) {
        if (LowerU16(r.linkName) != link)
            continue;
        if (Enable && r.pdo == nullptr)
            return STATUS_NO_SUCH_DEVICE;
        r.enabled = Enable != 0;
        ++g_interfaceChanges;
        return STATUS_SUCCESS;
    }
    return STATUS_OBJECT_NAME_NOT_FOUND;
}

NTSTATUS NTAPI IoRegisterShutdownNotification(PDEVICE_OBJECT DeviceObject) {
    std::lock_guard lock(g_deviceLock);
    if (!IsAliveLocked(DeviceObject)) {
        Report(ViolationKind::BadArgument, "shutdown registration for a deleted device");
        return STATUS_INVALID_PARAMETER;
    }
    if (std::find(g_shutdown.begin(), g_shutdown.end(), DeviceObject) == g_shutdown.end()) {
        g_shutdown.push_back(DeviceObject);
    }
    return STATUS_SUCCESS;
}

VOID NTAPI IoUnregisterShutdownNotification(PDEVICE_OBJECT DeviceObject) {
    std::lock_guard lock(g_deviceLock);
    g_shutdown.erase(std::remove(g_shutdown.begin(), g_shutdown.end(), DeviceObject),
                     g_shutdown.end());
}

} // namespace sim::wdm
