// Open and close of the device, pipe selection by the name opened, and refusal of read and
// write: all data moves through the vendor request.
#include "norvask.h"

#include "core/names.h"

namespace norvask {

namespace {

// The free pipe entry with index `number`, or none. PASSIVE_LEVEL.
PUSBD_PIPE_INFORMATION FindFreePipe(DeviceExtension* ext, ULONG number) {
    PUSBD_INTERFACE_INFORMATION info = ext->InterfaceInfo;
    if (!info) {
        return nullptr;
    }
    for (ULONG i = 0; i < info->NumberOfPipes; ++i) {
        if (i == number && PipeMark(info->Pipes[i]) == kPipeFree) {
            return &info->Pipes[i];
        }
    }
    return nullptr;
}

// Sets the handle that holds the claim (none: no handle does). Any IRQL.
void SetOpenFileObject(DeviceExtension* ext, PFILE_OBJECT fileObject) {
    InterlockedExchangePointer(reinterpret_cast<PVOID volatile*>(&ext->OpenFileObject), fileObject);
}

} // namespace

// The pipe a handle's FsContext names, if it lies in the current interface copy. A handle
// that outlived the copy (freed at removal or replaced by a restart) names none, and its
// stale pointer is never followed.
PUSBD_PIPE_INFORMATION PipeOfHandle(DeviceExtension* ext, PVOID fsContext) {
    PUSBD_INTERFACE_INFORMATION info = ext->InterfaceInfo;
    if (!info || !fsContext) {
        return nullptr;
    }
    const ULONG_PTR first = reinterpret_cast<ULONG_PTR>(&info->Pipes[0]);
    const ULONG_PTR at = reinterpret_cast<ULONG_PTR>(fsContext);
    if (at < first) {
        return nullptr;
    }
    const ULONG_PTR offset = at - first;
    if (offset % sizeof(USBD_PIPE_INFORMATION) != 0 ||
        offset / sizeof(USBD_PIPE_INFORMATION) >= info->NumberOfPipes) {
        return nullptr;
    }
    return &info->Pipes[offset / sizeof(USBD_PIPE_INFORMATION)];
}

// Opens the device, one handle at a time, optionally marking a pipe open. PASSIVE_LEVEL,
// caller's thread. Returns and completes with the open's status.
NTSTATUS NTAPI DispatchCreate(PDEVICE_OBJECT deviceObject, PIRP irp) {
    if (IncrementIoCount(deviceObject) == 0) {
        return CompleteRequest(irp, STATUS_DELETE_PENDING, 0);
    }
    DeviceExtension* ext = Extension(deviceObject);
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    PFILE_OBJECT fileObject = stack->FileObject;
    NTSTATUS status = STATUS_SUCCESS;

    if (InterlockedExchange(&ext->OpenClaim, 1) == 1) {
        status = STATUS_INSTANCE_NOT_AVAILABLE;
    } else if (!CanAcceptRequests(deviceObject)) {
        InterlockedExchange(&ext->OpenClaim, 0);
        status = STATUS_DELETE_PENDING;
    } else {
        SetOpenFileObject(ext, fileObject);
        ext->DeviceOpen = TRUE;
        if (fileObject) {
            fileObject->FsContext = nullptr;
        }
        const core::PipeName name =
            fileObject ? core::ParsePipeName(fileObject->FileName.Buffer,
                                             fileObject->FileName.Length / sizeof(WCHAR))
                       : core::PipeName{core::PipeNameKind::NoName, 0};
        if (name.kind == core::PipeNameKind::Invalid) {
            status = STATUS_INVALID_PARAMETER;
        } else if (name.kind == core::PipeNameKind::Pipe) {
            LockIdlePolicy(ext);
            PUSBD_PIPE_INFORMATION pipe = FindFreePipe(ext, name.pipe);
            if (pipe) {
                fileObject->FsContext = pipe;
                SetPipeMark(*pipe, kPipeOpen);
                ++ext->OpenPipeCount;
            }
            UnlockIdlePolicy(ext);
            if (pipe) {
                ApplyIdlePolicy(deviceObject, FALSE);
            } else {
                status = STATUS_INSUFFICIENT_RESOURCES;
            }
        }
        if (!NT_SUCCESS(status)) {
            ext->DeviceOpen = FALSE;
            SetOpenFileObject(ext, nullptr);
            InterlockedExchange(&ext->OpenClaim, 0);
        }
    }
    CompleteRequest(irp, status, 0);
    DecrementIoCount(deviceObject);
    return status;
}

// Closes the handle and lets the device idle. PASSIVE_LEVEL, caller's thread. Always
// STATUS_SUCCESS.
NTSTATUS NTAPI DispatchClose(PDEVICE_OBJECT deviceObject, PIRP irp) {
    if (IncrementIoCount(deviceObject) == 0) {
        // The remove has released the pipes and frees their copy: nothing is left to give back.
        CompleteRequest(irp, STATUS_SUCCESS, 0);
        return STATUS_SUCCESS;
    }
    DeviceExtension* ext = Extension(deviceObject);
    PFILE_OBJECT fileObject = IoGetCurrentIrpStackLocation(irp)->FileObject;
    // Only the handle that create admitted holds the claim and its pipe. The close of one that
    // create refused (a second open while the first is open) leaves both to the first.
    const bool admitted =
        InterlockedCompareExchangePointer(reinterpret_cast<PVOID volatile*>(&ext->OpenFileObject),
                                          nullptr, fileObject) == fileObject;
    if (admitted) {
        // Under the idle policy's lock, as the create counts: a removal aborting the same pipe
        // on another thread then frees and uncounts it once, and a restart replacing the
        // interface copy waits.
        LockIdlePolicy(ext);
        PUSBD_PIPE_INFORMATION pipe =
            PipeOfHandle(ext, fileObject ? fileObject->FsContext : nullptr);
        if (pipe && PipeMark(*pipe) == kPipeOpen) {
            --ext->OpenPipeCount;
            SetPipeMark(*pipe, kPipeFree);
        }
        UnlockIdlePolicy(ext);
        ext->DeviceOpen = FALSE;
        InterlockedExchange(&ext->OpenClaim, 0);
    }
    if (fileObject) {
        fileObject->FsContext = nullptr;
    }
    CompleteRequest(irp, STATUS_SUCCESS, 0);
    ApplyIdlePolicy(deviceObject, TRUE);
    DecrementIoCount(deviceObject);
    return STATUS_SUCCESS;
}

// Read and write are not served. Any IRQL a dispatch runs at. Returns STATUS_NOT_IMPLEMENTED.
NTSTATUS NTAPI DispatchReadWrite(PDEVICE_OBJECT deviceObject, PIRP irp) {
    if (IncrementIoCount(deviceObject) == 0) {
        return CompleteRequest(irp, STATUS_NOT_IMPLEMENTED, 0);
    }
    CompleteRequest(irp, STATUS_NOT_IMPLEMENTED, 0);
    DecrementIoCount(deviceObject);
    return STATUS_NOT_IMPLEMENTED;
}

// Aborts the transfers of every pipe a handle opened, releasing the pipes. PASSIVE_LEVEL.
// Returns the first failure, else STATUS_SUCCESS.
NTSTATUS AbortOpenPipes(PDEVICE_OBJECT deviceObject) {
    DeviceExtension* ext = Extension(deviceObject);
    PUSBD_INTERFACE_INFORMATION info = ext->InterfaceInfo;
    NTSTATUS status = STATUS_SUCCESS;
    if (!info) {
        return status;
    }
    for (ULONG i = 0; i < info->NumberOfPipes; ++i) {
        PUSBD_PIPE_INFORMATION pipe = &info->Pipes[i];
        if (PipeMark(*pipe) != kPipeOpen) {
            continue;
        }
        status = SubmitPipeRequest(deviceObject, URB_FUNCTION_ABORT_PIPE, pipe->PipeHandle);
        if (!NT_SUCCESS(status)) {
            return status;
        }
        // A close of the handle may have freed the pipe meanwhile: it is freed and uncounted once.
        LockIdlePolicy(ext);
        const bool stillOpen = PipeMark(*pipe) == kPipeOpen;
        if (stillOpen) {
            SetPipeMark(*pipe, kPipeFree);
            --ext->OpenPipeCount; // before the claim goes: the next create counts after it
        }
        UnlockIdlePolicy(ext);
        if (!stillOpen) {
            continue;
        }
        ext->DeviceOpen = FALSE;
        SetOpenFileObject(ext, nullptr);
        InterlockedExchange(&ext->OpenClaim, 0);
    }
    return status;
}

} // namespace norvask
