// vbus-install: installs the virtual USB bus and, through it, the chip's driver package, as an
// installer would; and removes them again.
//
//   vbus-install install <norvask.inf> <vbus.inf> [--serial N]
//   vbus-install remove <norvask.inf> <vbus.inf>
//   vbus-install status
//
// The chip's INF is staged first: the bus reports the chip as soon as it starts, and Plug and
// Play then looks for a driver among the staged packages.
#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include <cfgmgr32.h>
#include <devguid.h>
#include <newdev.h>
#include <setupapi.h>
#include <winioctl.h>

#include "norvask_contract.h"
#include "vbus_control.h"

#include <cstdio>
#include <cstdlib>
#include <cwchar>
#include <string>

namespace {

const wchar_t kBusHardwareId[] = L"Root\\NorvaskVbus";
const wchar_t kBusInstanceId[] = L"ROOT\\NORVASKVBUS\\0000";
const char kBusParametersKey[] = "System\\CurrentControlSet\\Services\\NorvaskVbus\\Parameters";
const char* const kDeviceNameKey = contract::ParametersKey;

constexpr DWORD kStartTimeoutMs = 60000;

int Usage() {
    std::fprintf(stderr, "usage: vbus-install install <norvask.inf> <vbus.inf> [--serial N]\n"
                         "       vbus-install remove <norvask.inf> <vbus.inf>\n"
                         "       vbus-install status\n");
    return 2;
}

std::wstring Wide(const char* text) {
    std::wstring out;
    const int n = MultiByteToWideChar(CP_ACP, 0, text, -1, nullptr, 0);
    if (n > 0) {
        out.resize(static_cast<size_t>(n));
        MultiByteToWideChar(CP_ACP, 0, text, -1, out.data(), n);
        out.resize(static_cast<size_t>(n - 1));
    }
    return out;
}

std::wstring FullPath(const char* path) {
    const std::wstring wide = Wide(path);
    wchar_t full[MAX_PATH];
    const DWORD n = GetFullPathNameW(wide.c_str(), MAX_PATH, full, nullptr);
    return n > 0 && n < MAX_PATH ? std::wstring(full) : wide;
}

std::string Narrow(const wchar_t* text) {
    std::string out;
    const int n = WideCharToMultiByte(CP_ACP, 0, text, -1, nullptr, 0, nullptr, nullptr);
    if (n > 0) {
        out.resize(static_cast<size_t>(n));
        WideCharToMultiByte(CP_ACP, 0, text, -1, out.data(), n, nullptr, nullptr);
        out.resize(static_cast<size_t>(n - 1));
    }
    return out;
}

bool Fail(const char* what) {
    std::fprintf(stderr, "vbus-install: %s failed: error %lu\n", what, GetLastError());
    return false;
}

// The bus's control device, or INVALID_HANDLE_VALUE while the bus driver is not loaded.
HANDLE OpenControl() {
    return CreateFileA(VBUS_CONTROL_PATH, GENERIC_READ | GENERIC_WRITE,
                       FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
}

bool ReadState(HANDLE control, vbus::BusState& state) {
    DWORD returned = 0;
    return DeviceIoControl(control, vbus::IOCTL_VBUS_GET_STATE, nullptr, 0, &state, sizeof state,
                           &returned, nullptr) &&
           returned >= sizeof state;
}

bool StageInf(const std::wstring& inf, DWORD style, const char* label) {
    wchar_t staged[MAX_PATH] = L"";
    if (!SetupCopyOEMInfW(inf.c_str(), nullptr, SPOST_PATH, style, staged, MAX_PATH, nullptr,
                          nullptr)) {
        if (GetLastError() == ERROR_FILE_EXISTS && (style & SP_COPY_NOOVERWRITE)) {
            std::printf("%s is staged as %s\n", label, Narrow(staged).c_str());
            return true;
        }
        return Fail("staging the INF (SetupCopyOEMInfW)");
    }
    std::printf("staged %s as %s\n", label, Narrow(staged).c_str());
    return true;
}

// Registers the root device the bus driver is installed on; an existing one is kept.
bool CreateRootDevice() {
    HDEVINFO set = SetupDiCreateDeviceInfoList(&GUID_DEVCLASS_SYSTEM, nullptr);
    if (set == INVALID_HANDLE_VALUE) {
        return Fail("SetupDiCreateDeviceInfoList");
    }
    SP_DEVINFO_DATA device{};
    device.cbSize = sizeof device;
    bool ok = true;
    if (!SetupDiCreateDeviceInfoW(set, kBusInstanceId, &GUID_DEVCLASS_SYSTEM, nullptr, nullptr, 0,
                                  &device)) {
        if (GetLastError() == ERROR_DEVINST_ALREADY_EXISTS) {
            std::printf("root device %s exists\n", Narrow(kBusInstanceId).c_str());
        } else {
            ok = Fail("SetupDiCreateDeviceInfoW");
        }
    } else {
        // REG_MULTI_SZ: the identifier and an empty string.
        wchar_t ids[sizeof kBusHardwareId / sizeof(wchar_t) + 1] = {};
        std::wmemcpy(ids, kBusHardwareId, sizeof kBusHardwareId / sizeof(wchar_t));
        if (!SetupDiSetDeviceRegistryPropertyW(set, &device, SPDRP_HARDWAREID,
                                               reinterpret_cast<const BYTE*>(ids), sizeof ids)) {
            ok = Fail("SetupDiSetDeviceRegistryPropertyW");
        } else if (!SetupDiCallClassInstaller(DIF_REGISTERDEVICE, set, &device)) {
            ok = Fail("registering the root device (DIF_REGISTERDEVICE)");
        } else {
            std::printf("created root device %s (%s)\n", Narrow(kBusInstanceId).c_str(),
                        Narrow(kBusHardwareId).c_str());
        }
    }
    SetupDiDestroyDeviceInfoList(set);
    return ok;
}

// Waits for the bus's control device and then for the chip's driver to configure the chip.
bool WaitForChip(DWORD serial, bool setSerial) {
    const DWORD start = GetTickCount();
    HANDLE control = INVALID_HANDLE_VALUE;
    while ((control = OpenControl()) == INVALID_HANDLE_VALUE) {
        if (GetTickCount() - start > kStartTimeoutMs) {
            std::fprintf(stderr, "vbus-install: the bus driver did not come up\n");
            return false;
        }
        Sleep(100);
    }
    std::printf("bus driver loaded after %lu ms\n", GetTickCount() - start);
    if (setSerial) {
        DWORD returned = 0;
        if (!DeviceIoControl(control, vbus::IOCTL_VBUS_SET_SERIAL, &serial, sizeof serial, nullptr,
                             0, &returned, nullptr)) {
            CloseHandle(control);
            return Fail("setting the chip's serial number");
        }
    }
    vbus::BusState state{};
    bool configured = false;
    while (!(configured = ReadState(control, state) && state.configured)) {
        if (GetTickCount() - start > kStartTimeoutMs) {
            break;
        }
        Sleep(100);
    }
    CloseHandle(control);
    if (!configured) {
        std::fprintf(stderr,
                     "vbus-install: the chip's driver did not configure the chip (bus started "
                     "%u, chip device %u, started %u)\n",
                     state.busStarted, state.childPresent, state.childStarted);
        return false;
    }
    std::printf("chip configured by its driver after %lu ms (serial number %u)\n",
                GetTickCount() - start, state.serialNumber);
    return true;
}

// The bus reads the chip's serial number from its service's Parameters key when it loads.
bool StoreSerial(DWORD serial) {
    HKEY key = nullptr;
    if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, kBusParametersKey, 0, nullptr, 0, KEY_SET_VALUE,
                        nullptr, &key, nullptr) != ERROR_SUCCESS) {
        return Fail("creating the bus's Parameters key");
    }
    const LONG rc = RegSetValueExA(key, "SerialNumber", 0, REG_DWORD,
                                   reinterpret_cast<const BYTE*>(&serial), sizeof serial);
    RegCloseKey(key);
    if (rc != ERROR_SUCCESS) {
        SetLastError(static_cast<DWORD>(rc));
        return Fail("storing the chip's serial number");
    }
    return true;
}

int Install(const char* norvaskInf, const char* vbusInf, bool setSerial, DWORD serial) {
    const std::wstring chipInf = FullPath(norvaskInf);
    const std::wstring busInf = FullPath(vbusInf);
    if (GetFileAttributesW(chipInf.c_str()) == INVALID_FILE_ATTRIBUTES ||
        GetFileAttributesW(busInf.c_str()) == INVALID_FILE_ATTRIBUTES) {
        std::fprintf(stderr, "vbus-install: no such INF: %s\n",
                     GetFileAttributesW(chipInf.c_str()) == INVALID_FILE_ATTRIBUTES ? norvaskInf
                                                                                    : vbusInf);
        return 2;
    }
    if (setSerial && !StoreSerial(serial)) {
        return 1;
    }
    if (!StageInf(chipInf, 0, "norvask.inf")) {
        return 1;
    }
    if (!CreateRootDevice()) {
        return 1;
    }
    BOOL reboot = FALSE;
    if (!UpdateDriverForPlugAndPlayDevicesW(nullptr, kBusHardwareId, busInf.c_str(),
                                            INSTALLFLAG_FORCE, &reboot)) {
        Fail("installing the bus driver (UpdateDriverForPlugAndPlayDevicesW)");
        return 1;
    }
    std::printf("installed the bus driver from %s\n", Narrow(busInf.c_str()).c_str());
    return WaitForChip(serial, setSerial) ? 0 : 1;
}

bool HasBusHardwareId(HDEVINFO set, SP_DEVINFO_DATA& device) {
    wchar_t ids[512] = {};
    if (!SetupDiGetDeviceRegistryPropertyW(set, &device, SPDRP_HARDWAREID, nullptr,
                                           reinterpret_cast<BYTE*>(ids), sizeof ids - 4, nullptr)) {
        return false;
    }
    for (const wchar_t* id = ids; *id; id += std::wcslen(id) + 1) {
        if (_wcsicmp(id, kBusHardwareId) == 0) {
            return true;
        }
    }
    return false;
}

bool UninstallInf(const std::wstring& inf, const char* label) {
    wchar_t staged[MAX_PATH] = L"";
    // With SP_COPY_NOOVERWRITE an INF already staged is not copied again; its name comes back.
    if (SetupCopyOEMInfW(inf.c_str(), nullptr, SPOST_PATH, SP_COPY_NOOVERWRITE, staged, MAX_PATH,
                         nullptr, nullptr) ||
        GetLastError() == ERROR_FILE_EXISTS) {
        const wchar_t* name = std::wcsrchr(staged, L'\\');
        name = name ? name + 1 : staged;
        if (!SetupUninstallOEMInfW(name, SUOI_FORCEDELETE, nullptr)) {
            return Fail("SetupUninstallOEMInfW");
        }
        std::printf("removed the staged %s (%s)\n", label, Narrow(name).c_str());
        return true;
    }
    return Fail("finding the staged INF");
}

int Remove(const char* norvaskInf, const char* vbusInf) {
    HDEVINFO set = SetupDiGetClassDevsW(nullptr, L"ROOT", nullptr, DIGCF_ALLCLASSES);
    if (set == INVALID_HANDLE_VALUE) {
        Fail("SetupDiGetClassDevsW");
        return 1;
    }
    int removed = 0;
    bool ok = true;
    SP_DEVINFO_DATA device{};
    device.cbSize = sizeof device;
    for (DWORD i = 0; SetupDiEnumDeviceInfo(set, i, &device); ++i) {
        if (!HasBusHardwareId(set, device)) {
            continue;
        }
        if (!SetupDiCallClassInstaller(DIF_REMOVE, set, &device)) {
            ok = Fail("removing the root device (DIF_REMOVE)");
            continue;
        }
        ++removed;
    }
    SetupDiDestroyDeviceInfoList(set);
    std::printf("removed %d root device%s\n", removed, removed == 1 ? "" : "s");

    // The bus stays loaded with its control device; its own device and the chip's go.
    HANDLE control = OpenControl();
    if (control != INVALID_HANDLE_VALUE) {
        vbus::BusState state{};
        const DWORD start = GetTickCount();
        while (ReadState(control, state) && (state.busStarted || state.childPresent) &&
               GetTickCount() - start < kStartTimeoutMs) {
            Sleep(100);
        }
        std::printf("bus started %u, chip device present %u after %lu ms\n", state.busStarted,
                    state.childPresent, GetTickCount() - start);
        ok = ok && !state.busStarted && !state.childPresent;
        CloseHandle(control);
    }
    ok = UninstallInf(FullPath(norvaskInf), "norvask.inf") && ok;
    ok = UninstallInf(FullPath(vbusInf), "vbus.inf") && ok;
    return ok && removed > 0 ? 0 : 1;
}

const char* ServiceState(const wchar_t* name) {
    SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
    if (!manager) {
        return "unknown";
    }
    const char* text = "not installed";
    if (SC_HANDLE service = OpenServiceW(manager, name, SERVICE_QUERY_STATUS)) {
        SERVICE_STATUS status{};
        text = "unknown";
        if (QueryServiceStatus(service, &status)) {
            text = status.dwCurrentState == SERVICE_RUNNING   ? "running"
                   : status.dwCurrentState == SERVICE_STOPPED ? "stopped"
                                                              : "pending";
        }
        CloseServiceHandle(service);
    }
    CloseServiceHandle(manager);
    return text;
}

int Status() {
    std::printf("service NorvaskVbus: %s\n", ServiceState(L"NorvaskVbus"));
    std::printf("service Norvask: %s\n", ServiceState(L"Norvask"));
    char value[256] = "";
    DWORD size = sizeof value - 1;
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kDeviceNameKey, 0, KEY_QUERY_VALUE, &key) ==
            ERROR_SUCCESS &&
        RegQueryValueExA(key, "DeviceName", nullptr, nullptr, reinterpret_cast<BYTE*>(value),
                         &size) == ERROR_SUCCESS) {
        std::printf("DeviceName: %s\n", value);
    } else {
        std::printf("DeviceName: (none)\n");
    }
    if (key) {
        RegCloseKey(key);
    }
    HANDLE control = OpenControl();
    vbus::BusState state{};
    if (control == INVALID_HANDLE_VALUE || !ReadState(control, state)) {
        std::printf("bus: not loaded\n");
    } else {
        std::printf("bus: started %u, chip plugged %u, device %u, started %u, configured %u, "
                    "serial %u, words %u, transfers %u\n",
                    state.busStarted, state.plugged, state.childPresent, state.childStarted,
                    state.configured, state.serialNumber, state.words, state.transfers);
    }
    if (control != INVALID_HANDLE_VALUE) {
        CloseHandle(control);
    }
    return 0;
}

bool ParseSerial(const char* text, DWORD& serial) {
    char* end = nullptr;
    const unsigned long long value = std::strtoull(text, &end, 0);
    if (!*text || *end || value > 0xFFFFFFFFull || text[0] == '-') {
        return false;
    }
    serial = static_cast<DWORD>(value);
    return true;
}

} // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        return Usage();
    }
    const std::string command = argv[1];
    if (command == "install" && (argc == 4 || argc == 6)) {
        DWORD serial = 0;
        bool setSerial = false;
        if (argc == 6) {
            if (std::string(argv[4]) != "--serial" || !ParseSerial(argv[5], serial)) {
                std::fprintf(stderr, "vbus-install: --serial takes a number from 0 to "
                                     "4294967295\n");
                return 2;
            }
            setSerial = true;
        }
        return Install(argv[2], argv[3], setSerial, serial);
    }
    if (command == "remove" && argc == 4) {
        return Remove(argv[2], argv[3]);
    }
    if (command == "status" && argc == 2) {
        return Status();
    }
    return Usage();
}
