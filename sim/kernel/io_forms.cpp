// The I/O manager's convenience forms of SendIrp: file objects, opens, closes, device control
// and shutdown notifications.
#include "sim/kernel/internal.h"

#include <cstdlib>
#include <cstring>
#include <mutex>

namespace sim::kernel {

using namespace sim::wdm;
using namespace detail;

namespace {

// File objects let go of, kept for new opens with their name buffers, so that a device cycle's
// open and close cost no heap call. Not under AddressSanitizer, which must see every free to stop
// a use after it.
constexpr size_t kSpareFiles = SIM_ASAN ? 0 : 4;
ShortLock g_spareFileLock;
PFILE_OBJECT g_spareFiles[kSpareFiles + 1];
size_t g_spareFileCount = 0;

PFILE_OBJECT TakeSpareFile() {
    std::lock_guard lock(g_spareFileLock);
    return g_spareFileCount != 0 ? g_spareFiles[--g_spareFileCount] : nullptr;
}

void FreeFileObject(PFILE_OBJECT file) {
    std::free(file->FileName.Buffer);
    std::free(file);
}

} // namespace

PFILE_OBJECT CreateFileObject(PDEVICE_OBJECT device, std::u16string_view fileName) {
    const size_t bytes = fileName.size() * sizeof(WCHAR);
    PWSTR buffer = nullptr;
    size_t capacity = 0;
    auto file = TakeSpareFile();
    if (file != nullptr) {
        buffer = file->FileName.Buffer; // kept: its size is the name's room
        capacity = file->FileName.MaximumLength;
        std::memset(static_cast<void*>(file), 0, sizeof(FILE_OBJECT));
    } else {
        file = static_cast<PFILE_OBJECT>(std::calloc(1, sizeof(FILE_OBJECT)));
        if (file == nullptr)
            return nullptr;
    }
    file->Type = 5; // IO_TYPE_FILE
    file->Size = sizeof(FILE_OBJECT);
    file->DeviceObject = device;
    file->ReadAccess = TRUE;
    file->WriteAccess = TRUE;
    if (!fileName.empty()) {
        if (capacity < bytes + sizeof(WCHAR)) {
            std::free(buffer);
            buffer = static_cast<PWSTR>(std::malloc(bytes + sizeof(WCHAR)));
            capacity = bytes + sizeof(WCHAR);
            if (buffer == nullptr) {
                std::free(file);
                return nullptr;
            }
        }
        std::memcpy(buffer, fileName.data(), bytes);
        buffer[fileName.size()] = 0;
        file->FileName.Buffer = buffer;
        file->FileName.Length = static_cast<USHORT>(bytes);
        file->FileName.MaximumLength = static_cast<USHORT>(capacity);
    } else {
        std::free(buffer);
    }
    return file;
}

void DeleteFileObject(PFILE_OBJECT fileObject) {
    if (fileObject == nullptr)
        return;
    ReleaseFileReference(fileObject); // may free a device deleted meanwhile
    {
        std::lock_guard lock(g_spareFileLock);
        if (g_spareFileCount < kSpareFiles) {
            g_spareFiles[g_spareFileCount++] = fileObject;
            return;
        }
    }
    FreeFileObject(fileObject);
}

namespace detail {

void ResetFileObjects() {
    std::lock_guard lock(g_spareFileLock);
    while (g_spareFileCount != 0)
        FreeFileObject(g_spareFiles[--g_spareFileCount]);
}

} // namespace detail

IoResult SendCreate(PDEVICE_OBJECT target, PFILE_OBJECT fileObject) {
    IrpSpec spec;
    spec.majorFunction = IRP_MJ_CREATE;
    spec.fileObject = fileObject;
    return SendIrp(target, spec);
}

IoResult SendCleanup(PDEVICE_OBJECT target, PFILE_OBJECT fileObject) {
    IrpSpec spec;
    spec.majorFunction = IRP_MJ_CLEANUP;
    spec.fileObject = fileObject;
    return SendIrp(target, spec);
}

IoResult SendClose(PDEVICE_OBJECT target, PFILE_OBJECT fileObject) {
    IrpSpec spec;
    spec.majorFunction = IRP_MJ_CLOSE;
    spec.fileObject = fileObject;
    return SendIrp(target, spec);
}

IrpSpec DeviceControlSpec(PFILE_OBJECT fileObject, ULONG ioControlCode, const void* input,
                          ULONG inputLength, void* output, ULONG outputLength) {
    IrpSpec spec;
    spec.majorFunction = IRP_MJ_DEVICE_CONTROL;
    spec.fileObject = fileObject;
    spec.input = input;
    spec.inputLength = inputLength;
    spec.output = output;
    spec.outputLength = outputLength;
    spec.buffered = METHOD_FROM_CTL_CODE(ioControlCode) != METHOD_NEITHER;
    spec.deviceControl = true;
    spec.ioControlCode = ioControlCode;
    return spec;
}

IoResult SendDeviceControl(PDEVICE_OBJECT target, PFILE_OBJECT fileObject, ULONG ioControlCode,
                           const void* input, ULONG inputLength, void* output, ULONG outputLength) {
    return SendIrp(target, DeviceControlSpec(fileObject, ioControlCode, input, inputLength, output,
                                             outputLength));
}

void SendShutdownNotifications() {
    for (PDEVICE_OBJECT device : ShutdownRegistrations()) {
        if (!IsDeviceAlive(device))
            continue;
        IrpSpec spec;
        spec.majorFunction = IRP_MJ_SHUTDOWN;
        SendIrp(device, spec);
    }
}

} // namespace sim::kernel
