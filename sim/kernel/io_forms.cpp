// The I/O manager's convenience forms of SendIrp: file objects, opens, closes, device control
// and shutdown notifications.
#include "sim/kernel/internal.h"

#include <cstdlib>
#include <cstring>

namespace sim::kernel {

using namespace sim::wdm;
using namespace detail;

PFILE_OBJECT CreateFileObject(PDEVICE_OBJECT device, std::u16string_view fileName) {
    auto file = static_cast<PFILE_OBJECT>(std::calloc(1, sizeof(FILE_OBJECT)));
    file->Type = 5; // IO_TYPE_FILE
    file->Size = sizeof(FILE_OBJECT);
    file->DeviceObject = device;
    file->ReadAccess = TRUE;
    file->WriteAccess = TRUE;
    if (!fileName.empty()) {
        size_t bytes = fileName.size() * sizeof(WCHAR);
        file->FileName.Buffer = static_cast<PWSTR>(std::malloc(bytes + sizeof(WCHAR)));
        std::memcpy(file->FileName.Buffer, fileName.data(), bytes);
        file->FileName.Buffer[fileName.size()] = 0;
        file->FileName.Length = static_cast<USHORT>(bytes);
        file->FileName.MaximumLength = static_cast<USHORT>(bytes + sizeof(WCHAR));
    }
    return file;
}

void DeleteFileObject(PFILE_OBJECT fileObject) {
    if (fileObject == nullptr)
        return;
    ReleaseFileReference(fileObject); // may free a device deleted meanwhile
    std::free(fileObject->FileName.Buffer);
    std::free(fileObject);
}

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
