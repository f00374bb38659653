// Run-time library: counted strings and registry access over the simulated registry.
//
// Registry paths relative to RTL_REGISTRY_ABSOLUTE start with "\Registry\Machine\" (the simulated
// HKEY_LOCAL_MACHINE) or "\Registry\User\" (mapped onto HKEY_CURRENT_USER). RtlWriteRegistryValue
// creates a missing key; RtlQueryRegistryValues fails with STATUS_OBJECT_NAME_NOT_FOUND when the
// key is missing, and a missing value fails the query only for an entry marked REQUIRED.
#include "sim/kernel/internal.h"
#include "sim/registry/registry.h"

namespace sim::kernel::detail {
namespace {

struct RegistryLocation {
    sim::registry::RegRoot root;
    std::string path;
};

// True if the path starts with the key path `prefix` as a whole component.
bool StartsWithNoCase(const std::u16string& text, std::u16string_view prefix) {
    return text.size() >= prefix.size() &&
           LowerU16(std::u16string_view(text).substr(0, prefix.size())) == LowerU16(prefix) &&
           (text.size() == prefix.size() || text[prefix.size()] == u'\\');
}

std::optional<RegistryLocation> Locate(ULONG relativeTo, PCWSTR path) {
    std::u16string text = path != nullptr ? std::u16string(path) : std::u16string();
    ULONG base = relativeTo & ~RTL_REGISTRY_OPTIONAL;
    using sim::registry::RegRoot;
    switch (base) {
    case RTL_REGISTRY_ABSOLUTE: {
        static constexpr std::u16string_view machine = u"\\Registry\\Machine";
        static constexpr std::u16string_view user = u"\\Registry\\User";
        if (StartsWithNoCase(text, machine)) {
            return RegistryLocation{RegRoot::LocalMachine,
                                    sim::registry::Utf16ToUtf8(text.substr(machine.size()))};
        }
        if (StartsWithNoCase(text, user)) {
            return RegistryLocation{RegRoot::CurrentUser,
                                    sim::registry::Utf16ToUtf8(text.substr(user.size()))};
        }
        return std::nullopt;
    }
    case RTL_REGISTRY_SERVICES:
        return RegistryLocation{RegRoot::LocalMachine, "System\\CurrentControlSet\\Services\\" +
                                                           sim::registry::Utf16ToUtf8(text)};
    case RTL_REGISTRY_CONTROL:
        return RegistryLocation{RegRoot::LocalMachine, "System\\CurrentControlSet\\Control\\" +
                                                           sim::registry::Utf16ToUtf8(text)};
    case RTL_REGISTRY_WINDOWS_NT:
        return RegistryLocation{RegRoot::LocalMachine,
                                "Software\\Microsoft\\Windows NT\\CurrentVersion\\" +
                                    sim::registry::Utf16ToUtf8(text)};
    case RTL_REGISTRY_DEVICEMAP:
        return RegistryLocation{RegRoot::LocalMachine,
                                "Hardware\\DeviceMap\\" + sim::registry::Utf16ToUtf8(text)};
    case RTL_REGISTRY_USER:
        return RegistryLocation{RegRoot::CurrentUser, sim::registry::Utf16ToUtf8(text)};
    default:
        return std::nullopt;
    }
}

void CheckPassive(const char* routine) {
    if (KeGetCurrentIrql() != PASSIVE_LEVEL) {
        Report(ViolationKind::IrqlMisuse, std::string(routine) + " above PASSIVE_LEVEL");
    }
}

bool IsString(ULONG type) {
    return type == REG_SZ || type == REG_EXPAND_SZ || type == REG_MULTI_SZ;
}

// Stores one value through a DIRECT entry's EntryContext.
NTSTATUS StoreDirect(ULONG type, const uint8_t* data, size_t size, PVOID entryContext) {
    if (IsString(type)) {
        auto target = static_cast<PUNICODE_STRING>(entryContext);
        size_t chars = size / sizeof(WCHAR);
        std::u16string text;
        for (size_t i = 0; i < chars; ++i) {
            char16_t c = static_cast<char16_t>(data[2 * i] | (data[2 * i + 1] << 8));
            if (c == 0 && type != REG_MULTI_SZ)
                break;
            text.push_back(c);
        }
        while (type == REG_MULTI_SZ && !text.empty() && text.back() == 0)
            text.pop_back();
        size_t needed = (text.size() + 1) * sizeof(WCHAR);
        if (needed > 0xFFFF)
            return STATUS_BUFFER_TOO_SMALL;
        if (target->Buffer == nullptr) {
            auto buffer = static_cast<PWSTR>(AllocatePool(
                PagedPool, needed, 0x20206C74 /* "tl  " */, CurrentDriver(), true, true));
            if (buffer == nullptr)
                return STATUS_NO_MEMORY;
            target->Buffer = buffer;
            target->MaximumLength = static_cast<USHORT>(needed);
        } else if (target->MaximumLength < needed) {
            return STATUS_BUFFER_TOO_SMALL;
        }
        std::memcpy(target->Buffer, text.data(), text.size() * sizeof(WCHAR));
        target->Buffer[text.size()] = 0;
        target->Length = static_cast<USHORT>(text.size() * sizeof(WCHAR));
        return STATUS_SUCCESS;
    }
    if (size <= sizeof(ULONG)) {
        ULONG value = 0;
        std::memcpy(&value, data, size);
        *static_cast<PULONG>(entryContext) = value;
        return STATUS_SUCCESS;
    }
    // Larger data: the first LONG of the target holds minus its capacity.
    LONG capacity = *static_cast<PLONG>(entryContext);
    if (capacity >= 0 || static_cast<size_t>(-static_cast<int64_t>(capacity)) < size) {
        return STATUS_BUFFER_TOO_SMALL;
    }
    std::memcpy(entryContext, data, size);
    return STATUS_SUCCESS;
}

} // namespace
} // namespace sim::kernel::detail

namespace sim::wdm {

using namespace sim::kernel;
using namespace sim::kernel::detail;

VOID NTAPI RtlInitUnicodeString(PUNICODE_STRING DestinationString, PCWSTR SourceString) {
    if (SourceString == nullptr) {
        DestinationString->Buffer = nullptr;
        DestinationString->Length = 0;
        DestinationString->MaximumLength = 0;
        return;
    }
    size_t bytes = wcslen(SourceString) * sizeof(WCHAR);
    if (bytes > 0xFFFC)
        bytes = 0xFFFC;
    DestinationString->Buffer = const_cast<PWSTR>(SourceString);
    DestinationString->Length = static_cast<USHORT>(bytes);
    DestinationString->MaximumLength = static_cast<USHORT>(bytes + sizeof(WCHAR));
}

VOID NTAPI RtlFreeUnicodeString(PUNICODE_STRING UnicodeString) {
    if (UnicodeString == nullptr || UnicodeString->Buffer == nullptr)
        return;
    ExFreePool(UnicodeString->Buffer);
    UnicodeString->Buffer = nullptr;
    UnicodeString->Length = 0;
    UnicodeString->MaximumLength = 0;
}

VOID NTAPI RtlCopyUnicodeString(PUNICODE_STRING DestinationString, PCUNICODE_STRING SourceString) {
    if (SourceString == nullptr || SourceString->Buffer == nullptr) {
        DestinationString->Length = 0;
        return;
    }
    USHORT bytes = std::min(SourceString->Length, DestinationString->MaximumLength);
    std::memmove(DestinationString->Buffer, SourceString->Buffer, bytes);
    DestinationString->Length = bytes;
    if (bytes + sizeof(WCHAR) <= DestinationString->MaximumLength) {
        DestinationString->Buffer[bytes / sizeof(WCHAR)] = 0;
    }
}

BOOLEAN NTAPI RtlEqualUnicodeString(PCUNICODE_STRING String1, PCUNICODE_STRING String2,
                                    BOOLEAN CaseInSensitive) {
    if (String1->Length != String2->Length)
        return FALSE;
    std::u16string_view a(String1->Buffer, String1->Length / sizeof(WCHAR));
    std::u16string_view b(String2->Buffer, String2->Length / sizeof(WCHAR));
    return CaseInSensitive ? LowerU16(a) == LowerU16(b) : a == b;
}

NTSTATUS NTAPI RtlWriteRegistryValue(ULONG RelativeTo, PCWSTR Path, PCWSTR ValueName,
                                     ULONG ValueType, PVOID ValueData, ULONG ValueLength) {
    CheckPassive("RtlWriteRegistryValue");
    std::optional<RegistryLocation> where = Locate(RelativeTo, Path);
    if (!where || where->path.empty())
        return STATUS_OBJECT_PATH_NOT_FOUND;
    if (ValueData == nullptr && ValueLength != 0)
        return STATUS_INVALID_PARAMETER;
    std::string name = ValueName != nullptr ? sim::registry::Utf16ToUtf8(ValueName) : std::string();
    bool ok = sim::registry::Registry::Instance().SetValue(where->root, where->path, name,
                                                           ValueType, ValueData, ValueLength);
    return ok ? STATUS_SUCCESS : STATUS_UNSUCCESSFUL;
}

NTSTATUS NTAPI RtlQueryRegistryValues(ULONG RelativeTo, PCWSTR Path,
                                      PRTL_QUERY_REGISTRY_TABLE QueryTable, PVOID Context, PVOID) {
    CheckPassive("RtlQueryRegistryValues");
    if (QueryTable == nullptr)
        return STATUS_INVALID_PARAMETER;
    std::optional<RegistryLocation> where = Locate(RelativeTo, Path);
    if (!where)
        return STATUS_OBJECT_PATH_NOT_FOUND;
    auto& registry = sim::registry::Registry::Instance();
    if (!registry.KeyExists(where->root, where->path))
        return STATUS_OBJECT_NAME_NOT_FOUND;
    std::string topKey = where->path;
    std::string key = topKey;

    for (PRTL_QUERY_REGISTRY_TABLE entry = QueryTable;
         entry->QueryRoutine != nullptr || entry->Name != nullptr; ++entry) {
        if (entry->Flags & RTL_QUERY_REGISTRY_TOPKEY)
            key = topKey;
        if (entry->Flags & RTL_QUERY_REGISTRY_SUBKEY) {
            std::string sub = entry->Name != nullptr ? sim::registry::Utf16ToUtf8(entry->Name) : "";
            key = topKey + "\\" + sub;
            if (!registry.KeyExists(where->root, key))
                return STATUS_OBJECT_NAME_NOT_FOUND;
            if (entry->QueryRoutine == nullptr)
                continue;
        }
        bool direct = (entry->Flags & RTL_QUERY_REGISTRY_DIRECT) != 0;
        if (direct && (entry->Name == nullptr || entry->EntryContext == nullptr)) {
            return STATUS_INVALID_PARAMETER;
        }
        std::vector<std::string> names;
        if (entry->Name != nullptr && !(entry->Flags & RTL_QUERY_REGISTRY_SUBKEY)) {
            names.push_back(sim::registry::Utf16ToUtf8(entry->Name));
        } else {
            names = registry.EnumerateValues(where->root, key);
        }
        for (const std::string& name : names) {
            std::optional<sim::registry::RegValue> value =
                registry.GetValue(where->root, key, name);
            ULONG type;
            std::vector<uint8_t> data;
            if (value) {
                type = value->type;
                data = value->data;
            } else if (entry->Flags & RTL_QUERY_REGISTRY_REQUIRED) {
                return STATUS_OBJECT_NAME_NOT_FOUND;
            } else if (entry->DefaultType != REG_NONE && entry->DefaultData != nullptr) {
                type = entry->DefaultType;
                size_t length = entry->DefaultLength;
                if (length == 0 && IsString(type)) {
                    length = (wcslen(static_cast<PCWSTR>(entry->DefaultData)) + 1) * sizeof(WCHAR);
                }
                auto bytes = static_cast<const uint8_t*>(entry->DefaultData);
                data.assign(bytes, bytes + length);
            } else {
                continue;
            }
            NTSTATUS status;
            if (direct) {
                status = StoreDirect(type, data.data(), data.size(), entry->EntryContext);
            } else {
                std::u16string wideName = sim::registry::Utf8ToUtf16(name);
                status = entry->QueryRoutine(wideName.data(), type, data.data(),
                                             static_cast<ULONG>(data.size()), Context,
                                             entry->EntryContext);
            }
            if (!NT_SUCCESS(status))
                return status;
            if (value && (entry->Flags & RTL_QUERY_REGISTRY_DELETE)) {
                registry.DeleteValue(where->root, key, name);
            }
        }
    }
    return STATUS_SUCCESS;
}

} // namespace sim::wdm
