// The I/O manager's requests: SendIrp and SendIrpAsync, with the system buffer of a buffered
// request, the copy back to the caller, and the wait for a pending request.
#include "sim/kernel/internal.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>
#include <thread>
#include <vector>

namespace sim::kernel {

using namespace sim::wdm;
using namespace detail;

namespace {

std::atomic<unsigned> g_waitLimitMs{10000};

std::string StatusText(NTSTATUS status) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%08X", static_cast<unsigned>(status));
    return text;
}

} // namespace

// ---- The I/O manager's requests ----

void SetCompletionWaitLimit(unsigned milliseconds) {
    g_waitLimitMs = milliseconds;
}

namespace {

// Buffers up to this size live in the request's shared state itself: the system buffer of a
// buffered request (a separate buffer still, as the I/O manager allocates one) and the output
// that SendIrp's caller reads. Under AddressSanitizer the system buffer is always a heap block
// of its own, so that a driver that overruns it is stopped there.
constexpr size_t kInlineBuffer = 64;

// What a request sent by the I/O manager needs at its final completion, shared by the sender and
// the completion (which may come first, or later in another thread), and by SendIrp's wait. One
// allocation a request, freed by whichever of its holders lets go of it last.
struct PendingIo {
    std::atomic<unsigned> holders{2}; // the sender and the request
    std::atomic<NTSTATUS> dispatchStatus{STATUS_PENDING};
    std::atomic<bool> finished{false};
    UCHAR majorFunction = 0;
    UCHAR minorFunction = 0;
    bool buffered = false;
    bool create = false;
    bool systemOnHeap = false;
    PFILE_OBJECT fileObject = nullptr;
    void* output = nullptr;
    ULONG outputLength = 0;
    void* systemBuffer = nullptr;
    std::thread::id requester;
    std::function<void(IoResult)> done;

    // SendIrp's wait: the final result, and whether it has come.
    bool waited = false;
    bool sent = false; // reached IofCallDriver: a completion may come
    std::atomic<bool> woken{false};
    std::mutex mutex;
    std::condition_variable wake;
    IoResult result{};
    std::vector<uint8_t> largeOutput;
    alignas(std::max_align_t) unsigned char inlineOutput[kInlineBuffer];
    alignas(std::max_align_t) unsigned char inlineSystem[kInlineBuffer]; // as aligned as the heap

    PendingIo() = default;
    PendingIo(const PendingIo&) = delete;
    PendingIo& operator=(const PendingIo&) = delete;
    ~PendingIo() { FreeSystemBuffer(); } // a request never completed

    void FreeSystemBuffer() {
        if (systemOnHeap)
            std::free(systemBuffer);
        systemBuffer = nullptr;
        systemOnHeap = false;
    }

    // As a new state, for the next request; what it held is let go of now. The lock and the
    // condition stay as they are: no holder is left to use them.
    void Renew() {
        FreeSystemBuffer();
        holders.store(2, std::memory_order_relaxed);
        dispatchStatus.store(STATUS_PENDING, std::memory_order_relaxed);
        finished.store(false, std::memory_order_relaxed);
        majorFunction = 0;
        minorFunction = 0;
        buffered = false;
        create = false;
        fileObject = nullptr;
        output = nullptr;
        outputLength = 0;
        requester = std::thread::id();
        if (done)
            done = nullptr;
        waited = false;
        sent = false;
        woken.store(false, std::memory_order_relaxed);
        result = IoResult{};
    }
};

// States let go of, kept for new requests: renewed instead of allocated. A plain array, which
// outlives the static destructors, so that the states in it stay reachable to the end.
constexpr size_t kSparePendingIo = 16;
ShortLock g_spareIoLock;
PendingIo* g_spareIo[kSparePendingIo];
size_t g_spareIoCount = 0;

[[gnu::always_inline]] inline PendingIo* NewPendingIo() {
    {
        std::lock_guard lock(g_spareIoLock);
        if (g_spareIoCount != 0)
            return g_spareIo[--g_spareIoCount];
    }
    return new PendingIo;
}

[[gnu::always_inline]] inline void ReleasePendingIo(PendingIo* io) {
    if (io->holders.fetch_sub(1, std::memory_order_acq_rel) != 1)
        return;
    if (!io->largeOutput.empty()) {
        delete io; // its large output goes with it
        return;
    }
    io->Renew();
    {
        std::lock_guard lock(g_spareIoLock);
        if (g_spareIoCount < kSparePendingIo) {
            g_spareIo[g_spareIoCount++] = io;
            return;
        }
    }
    delete io;
}

// Hands the final result to SendIrp's wait.
void WakeWaiter(PendingIo& io, const IoResult& result) {
    {
        std::lock_guard lock(io.mutex);
        io.result = result;
        io.woken.store(true, std::memory_order_release);
    }
    io.wake.notify_all();
}

// A buffered request completed with more output than its buffer holds. Out of line: the common
// path of FinishPendingIo then keeps a small frame.
[[gnu::cold, gnu::noinline]] void ReportInformationTooLarge(const PendingIo& io,
                                                            ULONG_PTR information) {
    Report(ViolationKind::InformationTooLarge,
           IrpName(io.majorFunction, io.minorFunction) + " completed with Information " +
               std::to_string(information) + " for an output buffer of " +
               std::to_string(io.outputLength) + " bytes");
}

void FinishPendingIo(PIRP irp, void* context) {
    PendingIo& io = *static_cast<PendingIo*>(context);
    IoResult result{io.dispatchStatus.load(), irp->IoStatus.Status, irp->IoStatus.Information,
                    true};
    if (io.create && !NT_SUCCESS(result.status))
        ReleaseFileReference(io.fileObject); // a failed open holds nothing
    if (io.buffered) {
        if (result.information > io.outputLength)
            ReportInformationTooLarge(io, result.information);
        ULONG_PTR count = std::min<ULONG_PTR>(result.information, io.outputLength);
        if (io.output != nullptr && count != 0 && !NT_ERROR(result.status)) {
            std::memcpy(io.output, io.systemBuffer, count);
        }
    }
    io.FreeSystemBuffer();
    ReleaseSystemIrp(irp);
    io.finished.store(true);
    const bool elsewhere = std::this_thread::get_id() != io.requester;
    if (io.waited) {
        if (!elsewhere) {
            // The requester runs this itself, so it is not waiting yet: no wake is needed.
            io.result = result;
            io.woken.store(true, std::memory_order_release);
        } else if (t_afterDispatchItem != nullptr) {
            io.holders.fetch_add(1, std::memory_order_relaxed);
            PendingIo* held = &io;
            t_afterDispatchItem->push_back([held, result] {
                WakeWaiter(*held, result);
                ReleasePendingIo(held);
            });
        } else {
            WakeWaiter(io, result);
        }
    } else if (io.done) {
        if (t_afterDispatchItem != nullptr && elsewhere)
            t_afterDispatchItem->push_back([done = io.done, result] { done(result); });
        else
            io.done(result);
    }
    ReleasePendingIo(&io);
}

// A request never completed lets go of its state when the kernel is reset.
void DiscardPendingIo(void* context) {
    ReleasePendingIo(static_cast<PendingIo*>(context));
}

// Sends the request that `io` (held twice: by the caller, and for the request) describes, with
// the output buffer that the request writes to. Lets go of the request's hold if it never starts.
[[gnu::always_inline]] inline NTSTATUS StartIo(PDEVICE_OBJECT target, const IrpSpec& spec,
                                               PendingIo* io) {
    if (!KnownValidDevice(target)) {
        Report(ViolationKind::BadArgument, "request sent to a deleted or unknown device");
        ReleasePendingIo(io);
        return STATUS_NO_SUCH_DEVICE;
    }
    const bool create = spec.majorFunction == IRP_MJ_CREATE && spec.fileObject != nullptr;
    if (spec.majorFunction == IRP_MJ_CREATE && IsDeviceDeletePending(target)) {
        // The I/O manager refuses new opens of a device being deleted; its driver never sees them.
        const IoResult refused{STATUS_DELETE_PENDING, STATUS_DELETE_PENDING, 0, true};
        if (io->waited) {
            io->result = refused;
            io->woken.store(true, std::memory_order_release);
        } else if (io->done) {
            io->done(refused);
        }
        ReleasePendingIo(io);
        return STATUS_DELETE_PENDING;
    }
    if (create) {
        // The file object holds the device from its open until the file object goes.
        ReferenceDeviceForFile(spec.fileObject, target);
    }
    io->majorFunction = spec.majorFunction;
    io->minorFunction = spec.minorFunction;
    io->buffered = spec.buffered;
    io->create = create;
    io->fileObject = spec.fileObject;
    io->outputLength = spec.outputLength;
    io->requester = std::this_thread::get_id();
    const ULONG systemLength = std::max(spec.inputLength, spec.outputLength);
    if (spec.buffered && systemLength != 0) {
        if (!SIM_ASAN && systemLength <= kInlineBuffer) {
            io->systemBuffer = io->inlineSystem;
            std::memset(io->inlineSystem, 0, kInlineBuffer); // the whole: a few wide stores
        } else {
            io->systemBuffer = std::calloc(1, systemLength);
            io->systemOnHeap = io->systemBuffer != nullptr;
        }
        if (io->systemBuffer != nullptr && spec.input != nullptr)
            std::memcpy(io->systemBuffer, spec.input, spec.inputLength);
    }
    PIRP irp = nullptr;
    if (!spec.buffered || systemLength == 0 || io->systemBuffer != nullptr)
        irp = AllocateIrp(target->StackSize, IrpOwner::System, nullptr, &FinishPendingIo, io,
                          &DiscardPendingIo);
    if (irp == nullptr) {
        io->FreeSystemBuffer();
        if (create)
            ReleaseFileReference(spec.fileObject);
        ReleasePendingIo(io);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    irp->IoStatus.Status = spec.initialStatus;
    irp->AssociatedIrp.SystemBuffer = io->systemBuffer;
    irp->UserBuffer = spec.buffered ? nullptr : io->output;
    irp->RequestorMode = UserMode;
    irp->Tail.Overlay.OriginalFileObject = spec.fileObject;
    // The first location, which a system request has set up from its allocation.
    PIO_STACK_LOCATION next = IoGetCurrentIrpStackLocation(irp) - 1;
    next->MajorFunction = spec.majorFunction;
    next->MinorFunction = spec.minorFunction;
    next->FileObject = spec.fileObject;
    if (spec.deviceControl) {
        next->Parameters.DeviceIoControl.IoControlCode = spec.ioControlCode;
        next->Parameters.DeviceIoControl.InputBufferLength = spec.inputLength;
        next->Parameters.DeviceIoControl.OutputBufferLength = spec.outputLength;
        if (METHOD_FROM_CTL_CODE(spec.ioControlCode) == METHOD_NEITHER) {
            next->Parameters.DeviceIoControl.Type3InputBuffer = const_cast<void*>(spec.input);
        }
    }
    if (spec.setup)
        spec.setup(*next);

    io->sent = true;
    NTSTATUS status = IofCallDriver(target, irp);
    io->dispatchStatus.store(status);
    if (status != STATUS_PENDING && !io->finished.load()) {
        Report(ViolationKind::ReturnedWithoutCompleting,
               DriverName(target->DriverObject) + " returned " + StatusText(status) + " for " +
                   IrpName(spec.majorFunction, spec.minorFunction) +
                   " without completing the request");
    }
    return status;
}

} // namespace

NTSTATUS SendIrpAsync(PDEVICE_OBJECT target, const IrpSpec& spec,
                      std::function<void(IoResult)> done) {
    PendingIo* io = NewPendingIo();
    io->output = spec.output;
    io->done = std::move(done);
    const NTSTATUS status = StartIo(target, spec, io);
    ReleasePendingIo(io);
    return status;
}

IoResult SendIrp(PDEVICE_OBJECT target, const IrpSpec& spec) {
    // Output goes to a buffer held in the shared state, so a late completion never writes to
    // the caller. Small outputs (a vendor request's) fit in the shared state itself.
    PendingIo* io = NewPendingIo();
    io->waited = true;
    unsigned char* jointOutput = io->inlineOutput;
    if (spec.outputLength > kInlineBuffer) {
        io->largeOutput.resize(spec.outputLength);
        jointOutput = io->largeOutput.data();
    } else if (spec.outputLength != 0) {
        std::memset(jointOutput, 0, kInlineBuffer); // the whole: a few wide stores
    }
    io->output = spec.output != nullptr ? jointOutput : nullptr;
    if (!spec.buffered && spec.output != nullptr)
        io->output = spec.output;
    const NTSTATUS dispatch = StartIo(target, spec, io);
    ReleaseDispatchWorkOfThisThread(); // the requester waits from here on
    bool finished = io->woken.load(std::memory_order_acquire);
    if (!finished && io->sent) { // one never sent is never completed
        std::unique_lock lock(io->mutex);
        finished = io->wake.wait_for(lock, std::chrono::milliseconds(g_waitLimitMs.load()),
                                     [io] { return io->woken.load(std::memory_order_acquire); });
    }
    if (!finished) {
        if (dispatch != STATUS_NO_SUCH_DEVICE && dispatch != STATUS_INSUFFICIENT_RESOURCES) {
            Report(ViolationKind::NeverCompleted, IrpName(spec.majorFunction, spec.minorFunction) +
                                                      " was not completed within " +
                                                      std::to_string(g_waitLimitMs.load()) + " ms");
        }
        ReleasePendingIo(io);
        return IoResult{dispatch, dispatch, 0, false};
    }
    IoResult result = io->result;
    result.dispatchStatus = dispatch;
    if (spec.buffered && spec.output != nullptr) {
        size_t count = std::min<size_t>(result.information, spec.outputLength);
        if (!NT_ERROR(result.status) && count != 0)
            std::memcpy(spec.output, jointOutput, count);
    }
    ReleasePendingIo(io);
    return result;
}

} // namespace sim::kernel
