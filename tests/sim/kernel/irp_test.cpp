// Requests through a device stack: stack locations, completion routines, pending, the
// synchronous request helper, driver-allocated requests and cancellation.
#include "scripted_driver.h"

#include <atomic>
#include <chrono>
#include <cstddef>
#include <string>
#include <thread>
#include <vector>

namespace simtest {
namespace {

using sim::kernel::IoResult;
using sim::kernel::IrpSpec;
using sim::kernel::KernelTest;

// A bus device at the bottom, a filter in the middle and a function device on top.
class StackTest : public KernelTest {
protected:
    void SetUp() override {
        KernelTest::SetUp();
        busDriver = MakeDriver("bus");
        filterDriver = MakeDriver("filter");
        functionDriver = MakeDriver("function");
        bus = std::make_unique<ScriptedDevice>(busDriver);
        filter = std::make_unique<ScriptedDevice>(filterDriver, bus->Device());
        top = std::make_unique<ScriptedDevice>(functionDriver, filter->Device());
    }
    void TearDown() override {
        top->RemoveIfAlive();
        filter->RemoveIfAlive();
        bus->RemoveIfAlive();
        KernelTest::TearDown();
    }

    IrpSpec Control(ULONG code) {
        IrpSpec spec;
        spec.majorFunction = IRP_MJ_DEVICE_CONTROL;
        spec.setup = [code](IO_STACK_LOCATION& s) {
            s.Parameters.DeviceIoControl.IoControlCode = code;
        };
        return spec;
    }

    PDRIVER_OBJECT busDriver{}, filterDriver{}, functionDriver{};
    std::unique_ptr<ScriptedDevice> bus, filter, top;
};

TEST_F(StackTest, EachDriverSeesItsOwnStackLocationAndSkipReusesTheCallersOne) {
    struct Seen {
        int location;
        PDEVICE_OBJECT stackDevice;
        ULONG code;
    };
    std::vector<Seen> seen;
    auto record = [&](PDEVICE_OBJECT, PIRP irp) {
        PIO_STACK_LOCATION s = IoGetCurrentIrpStackLocation(irp);
        seen.push_back(
            {irp->CurrentLocation, s->DeviceObject, s->Parameters.DeviceIoControl.IoControlCode});
    };
    top->Serve([&](PDEVICE_OBJECT d, PIRP irp) {
        record(d, irp);
        return PassDown(top->Lower(), irp);
    });
    filter->Serve([&](PDEVICE_OBJECT d, PIRP irp) {
        record(d, irp);
        IoCopyCurrentIrpStackLocationToNext(irp);
        return IoCallDriver(filter->Lower(), irp);
    });
    bus->Serve([&](PDEVICE_OBJECT d, PIRP irp) {
        record(d, irp);
        return CompleteWith(irp, STATUS_SUCCESS, 7);
    });

    EXPECT_EQ(top->Device()->StackSize, 3);
    IoResult result = sim::kernel::SendIrp(top->Device(), Control(0x1234));

    ASSERT_EQ(seen.size(), 3u);
    EXPECT_EQ(seen[0].location, 3);
    EXPECT_EQ(seen[0].stackDevice, top->Device());
    EXPECT_EQ(seen[1].location, 3); // skipped: same location, now the filter's
    EXPECT_EQ(seen[1].stackDevice, filter->Device());
    EXPECT_EQ(seen[2].location, 2); // copied into the next location
    EXPECT_EQ(seen[2].stackDevice, bus->Device());
    for (const Seen& s : seen)
        EXPECT_EQ(s.code, 0x1234u);
    EXPECT_TRUE(result.completed);
    EXPECT_EQ(result.status, STATUS_SUCCESS);
    EXPECT_EQ(result.information, 7u);
}

TEST_F(StackTest, CompletionRoutinesRunBottomUpWithTheDeviceOfTheDriverThatSetThem) {
    std::vector<std::pair<std::string, PDEVICE_OBJECT>> order;
    Completion topRoutine = [&](PDEVICE_OBJECT d, PIRP) {
        order.push_back({"top", d});
        return STATUS_SUCCESS;
    };
    Completion filterRoutine = [&](PDEVICE_OBJECT d, PIRP) {
        order.push_back({"filter", d});
        return STATUS_SUCCESS;
    };
    top->Serve(
        [&](PDEVICE_OBJECT, PIRP irp) { return PassDownWatched(top->Lower(), irp, &topRoutine); });
    filter->Serve([&](PDEVICE_OBJECT, PIRP irp) {
        return PassDownWatched(filter->Lower(), irp, &filterRoutine);
    });
    bus->Serve([](PDEVICE_OBJECT, PIRP irp) { return CompleteWith(irp, STATUS_SUCCESS); });

    sim::kernel::SendIrp(top->Device(), Control(1));

    ASSERT_EQ(order.size(), 2u);
    EXPECT_EQ(order[0].first, "filter");
    EXPECT_EQ(order[0].second, filter->Device());
    EXPECT_EQ(order[1].first, "top");
    EXPECT_EQ(order[1].second, top->Device());
}

TEST_F(StackTest, CompletionRoutineRunsOnlyForTheOutcomesItAskedFor) {
    struct Case {
        NTSTATUS status;
        bool cancel;
        bool onSuccess, onError, onCancel;
        bool invoked;
    };
    const Case cases[] = {
        {STATUS_SUCCESS, false, true, false, false, true},
        {STATUS_SUCCESS, false, false, true, true, false},
        {STATUS_UNSUCCESSFUL, false, false, true, false, true},
        {STATUS_UNSUCCESSFUL, false, true, false, true, false},
        {STATUS_SUCCESS, true, false, false, true, true},
        {STATUS_CANCELLED, true, false, false, true, true},
        {STATUS_DEVICE_BUSY, false, false, true, false, true}, // a warning is not a success
    };
    for (const Case& c : cases) {
        bool invoked = false;
        Completion routine = [&](PDEVICE_OBJECT, PIRP) {
            invoked = true;
            return STATUS_SUCCESS;
        };
        filter->Serve([&](PDEVICE_OBJECT, PIRP irp) {
            IoCopyCurrentIrpStackLocationToNext(irp);
            IoSetCompletionRoutine(irp, ScriptedCompletion, &routine, c.onSuccess, c.onError,
                                   c.onCancel);
            return IoCallDriver(filter->Lower(), irp);
        });
        bus->Serve([&](PDEVICE_OBJECT, PIRP irp) {
            irp->Cancel = c.cancel;
            return CompleteWith(irp, c.status);
        });
        IoResult result = sim::kernel::SendIrp(filter->Device(), Control(1));
        EXPECT_EQ(invoked, c.invoked)
            << "status " << std::hex << c.status << " cancel " << c.cancel;
        EXPECT_EQ(result.status, c.status);
    }
}

TEST_F(StackTest, MoreProcessingRequiredStopsCompletionUntilTheDriverCompletesAgain) {
    std::vector<std::string> events;
    Completion topRoutine = [&](PDEVICE_OBJECT, PIRP irp) {
        events.push_back("top routine, status " + std::to_string(irp->IoStatus.Status));
        return STATUS_SUCCESS;
    };
    Completion filterRoutine = [&](PDEVICE_OBJECT, PIRP) {
        events.push_back("filter routine");
        return STATUS_MORE_PROCESSING_REQUIRED;
    };
    top->Serve(
        [&](PDEVICE_OBJECT, PIRP irp) { return PassDownWatched(top->Lower(), irp, &topRoutine); });
    filter->Serve([&](PDEVICE_OBJECT, PIRP irp) {
        IoCopyCurrentIrpStackLocationToNext(irp);
        IoSetCompletionRoutine(irp, ScriptedCompletion, &filterRoutine, TRUE, TRUE, TRUE);
        IoCallDriver(filter->Lower(), irp);
        events.push_back("filter owns the request again");
        return CompleteWith(irp, STATUS_DEVICE_DATA_ERROR);
    });
    bus->Serve([](PDEVICE_OBJECT, PIRP irp) { return CompleteWith(irp, STATUS_SUCCESS); });

    IoResult result = sim::kernel::SendIrp(top->Device(), Control(1));

    std::vector<std::string> expected = {"filter routine", "filter owns the request again",
                                         "top routine, status " +
                                             std::to_string(STATUS_DEVICE_DATA_ERROR)};
    EXPECT_EQ(events, expected);
    EXPECT_EQ(result.status, STATUS_DEVICE_DATA_ERROR);
    EXPECT_EQ(result.dispatchStatus, STATUS_DEVICE_DATA_ERROR);
}

TEST_F(StackTest, PendingFromBelowReachesTheUpperRoutineAndTheCaller) {
    std::atomic<bool> pendingSeen{false};
    std::atomic<int> routineIrql{-1};
    Completion topRoutine = [&](PDEVICE_OBJECT, PIRP irp) {
        pendingSeen = irp->PendingReturned != 0;
        routineIrql = KeGetCurrentIrql();
        if (irp->PendingReturned)
            IoMarkIrpPending(irp);
        return STATUS_SUCCESS;
    };
    top->Serve(
        [&](PDEVICE_OBJECT, PIRP irp) { return PassDownWatched(top->Lower(), irp, &topRoutine); });
    // The filter copies its location without a routine: the mark must be carried up to it.
    filter->Serve([&](PDEVICE_OBJECT, PIRP irp) {
        IoCopyCurrentIrpStackLocationToNext(irp);
        return IoCallDriver(filter->Lower(), irp);
    });
    bus->Serve([](PDEVICE_OBJECT, PIRP irp) {
        IoMarkIrpPending(irp);
        sim::kernel::QueueDispatchWork([irp] { CompleteWith(irp, STATUS_SUCCESS, 3); }, 1000);
        return STATUS_PENDING;
    });

    IoResult result = sim::kernel::SendIrp(top->Device(), Control(1));

    EXPECT_EQ(result.dispatchStatus, STATUS_PENDING);
    EXPECT_EQ(result.status, STATUS_SUCCESS);
    EXPECT_EQ(result.information, 3u);
    EXPECT_TRUE(pendingSeen);
    EXPECT_EQ(routineIrql, DISPATCH_LEVEL);
}

TEST_F(StackTest, RequesterWakesOnlyAfterTheCompletingWorkReturns) {
    // A driver that gives a resource back right after completing a request (a
    // gate, say) must have done so before the requester can ask again.
    std::atomic<bool> afterCompletion{false};
    bus->Serve([&](PDEVICE_OBJECT, PIRP irp) {
        IoMarkIrpPending(irp);
        sim::kernel::QueueDispatchWork([irp, &afterCompletion] {
            CompleteWith(irp, STATUS_SUCCESS);
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
            afterCompletion = true;
        });
        return STATUS_PENDING;
    });

    IoResult result = sim::kernel::SendIrp(bus->Device(), Control(1));

    EXPECT_EQ(result.status, STATUS_SUCCESS);
    EXPECT_TRUE(afterCompletion);
}

TEST_F(StackTest, SynchronousCompletionLeavesPendingReturnedClear) {
    bool pendingSeen = true;
    Completion topRoutine = [&](PDEVICE_OBJECT, PIRP irp) {
        pendingSeen = irp->PendingReturned != 0;
        return STATUS_SUCCESS;
    };
    top->Serve(
        [&](PDEVICE_OBJECT, PIRP irp) { return PassDownWatched(top->Lower(), irp, &topRoutine); });
    filter->Serve([&](PDEVICE_OBJECT, PIRP irp) { return PassDown(filter->Lower(), irp); });

    IoResult result = sim::kernel::SendIrp(top->Device(), Control(1));
    EXPECT_EQ(result.dispatchStatus, STATUS_SUCCESS);
    EXPECT_FALSE(pendingSeen);
}

TEST_F(StackTest, RequestToAnUnservedMajorFunctionIsRefused) {
    PDRIVER_OBJECT bare = sim::kernel::CreateDriver({"bare", 0, {}}, nullptr);
    PDEVICE_OBJECT device = nullptr;
    ASSERT_EQ(IoCreateDevice(bare, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &device),
              STATUS_SUCCESS);
    IoResult result = sim::kernel::SendIrp(device, Control(1));
    EXPECT_EQ(result.status, STATUS_INVALID_DEVICE_REQUEST);
    IoDeleteDevice(device);
}

// The synchronous pattern: IoBuildDeviceIoControlRequest, send, wait for the event if pending.
class SynchronousRequestTest : public StackTest {
protected:
    struct Outcome {
        NTSTATUS callStatus;
        IO_STATUS_BLOCK iosb;
        uint32_t output;
    };

    Outcome Submit(ULONG code) {
        Outcome outcome{};
        sim::kernel::RunInDriverContext(functionDriver, [&] {
            KEVENT event;
            KeInitializeEvent(&event, NotificationEvent, FALSE);
            uint32_t input = 0x11223344;
            PIRP irp = IoBuildDeviceIoControlRequest(code, bus->Device(), &input, sizeof input,
                                                     &outcome.output, sizeof outcome.output, TRUE,
                                                     &event, &outcome.iosb);
            ASSERT_NE(irp, nullptr);
            IoGetNextIrpStackLocation(irp)->Parameters.Others.Argument1 = &input;
            outcome.callStatus = IoCallDriver(bus->Device(), irp);
            if (outcome.callStatus == STATUS_PENDING) {
                KeWaitForSingleObject(&event, Suspended, KernelMode, FALSE, nullptr);
            }
        });
        return outcome;
    }
};

TEST_F(SynchronousRequestTest, LateCompletionSignalsTheEventAndFillsTheStatusBlock) {
    bus->Serve([](PDEVICE_OBJECT, PIRP irp) {
        PIO_STACK_LOCATION s = IoGetCurrentIrpStackLocation(irp);
        EXPECT_EQ(s->MajorFunction, IRP_MJ_INTERNAL_DEVICE_CONTROL);
        EXPECT_EQ(s->Parameters.DeviceIoControl.IoControlCode, 0x220000u);
        auto buffer = static_cast<uint32_t*>(irp->AssociatedIrp.SystemBuffer);
        EXPECT_EQ(*buffer, 0x11223344u); // the input, copied in
        IoMarkIrpPending(irp);
        sim::kernel::QueueDispatchWork(
            [irp, buffer] {
                *buffer = 0xCAFEF00D;
                CompleteWith(irp, STATUS_SUCCESS, sizeof(uint32_t));
            },
            2000);
        return STATUS_PENDING;
    });
    Outcome outcome = Submit(0x220000); // METHOD_BUFFERED
    EXPECT_EQ(outcome.callStatus, STATUS_PENDING);
    EXPECT_EQ(outcome.iosb.Status, STATUS_SUCCESS);
    EXPECT_EQ(outcome.iosb.Information, sizeof(uint32_t));
    EXPECT_EQ(outcome.output, 0xCAFEF00Du);
}

TEST_F(SynchronousRequestTest, CompletionInsideTheCallNeedsNoWait) {
    bus->Serve([](PDEVICE_OBJECT, PIRP irp) {
        auto argument = IoGetCurrentIrpStackLocation(irp)->Parameters.Others.Argument1;
        EXPECT_NE(argument, nullptr);
        return CompleteWith(irp, STATUS_DEVICE_NOT_CONNECTED);
    });
    Outcome outcome = Submit(0x220003); // METHOD_NEITHER, as a request block submission
    EXPECT_EQ(outcome.callStatus, STATUS_DEVICE_NOT_CONNECTED);
    EXPECT_EQ(outcome.iosb.Status, STATUS_DEVICE_NOT_CONNECTED);
}

TEST_F(StackTest, DriverAllocatedRequestComesBackToItsOwnRoutineAndMayBeFreedThere) {
    for (bool freeInRoutine : {false, true}) {
        PIRP seenIrp = nullptr;
        PDEVICE_OBJECT routineDevice = top->Device();
        Completion routine = [&](PDEVICE_OBJECT d, PIRP irp) {
            seenIrp = irp;
            routineDevice = d;
            if (freeInRoutine)
                IoFreeIrp(irp);
            return STATUS_MORE_PROCESSING_REQUIRED;
        };
        bus->Serve([](PDEVICE_OBJECT, PIRP irp) {
            IoMarkIrpPending(irp);
            sim::kernel::QueueDispatchWork([irp] { CompleteWith(irp, STATUS_SUCCESS); });
            return STATUS_PENDING;
        });
        PIRP irp = nullptr;
        sim::kernel::RunInDriverContext(functionDriver, [&] {
            irp = IoAllocateIrp(static_cast<CCHAR>(filter->Device()->StackSize), FALSE);
            ASSERT_NE(irp, nullptr);
            PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
            next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
            IoSetCompletionRoutine(irp, ScriptedCompletion, &routine, TRUE, TRUE, TRUE);
            filter->Serve([&](PDEVICE_OBJECT, PIRP r) { return PassDown(filter->Lower(), r); });
            EXPECT_EQ(IoCallDriver(filter->Device(), irp), STATUS_PENDING);
        });
        sim::kernel::DrainDispatchWork();
        EXPECT_EQ(seenIrp, irp);
        EXPECT_EQ(routineDevice, nullptr); // the allocator's own location has no device
        if (!freeInRoutine) {
            sim::kernel::RunInDriverContext(functionDriver, [&] { IoFreeIrp(irp); });
        }
    }
}

TEST_F(StackTest, AllocatorThatClaimsItsOwnLocationMayFreeTheRequestInItsRoutine) {
    // The allocator takes a location of its own (to keep its context there) and sets its
    // routine in the one below; the routine then runs at that location, where the request is
    // the allocator's again.
    bus->Serve([](PDEVICE_OBJECT, PIRP irp) {
        IoMarkIrpPending(irp);
        sim::kernel::QueueDispatchWork([irp] { CompleteWith(irp, STATUS_SUCCESS); });
        return STATUS_PENDING;
    });
    filter->Serve([&](PDEVICE_OBJECT, PIRP r) { return PassDown(filter->Lower(), r); });
    std::atomic<int> routineRuns{0};
    PDEVICE_OBJECT routineDevice = nullptr;
    ULONG_PTR ownContext = 0;
    Completion routine = [&](PDEVICE_OBJECT d, PIRP irp) {
        routineDevice = d;
        ownContext = reinterpret_cast<ULONG_PTR>(
            IoGetCurrentIrpStackLocation(irp)->Parameters.Others.Argument1);
        IoFreeIrp(irp);
        ++routineRuns;
        return STATUS_MORE_PROCESSING_REQUIRED;
    };
    sim::kernel::RunInDriverContext(functionDriver, [&] {
        PIRP irp = IoAllocateIrp(static_cast<CCHAR>(top->Device()->StackSize), FALSE);
        ASSERT_NE(irp, nullptr);
        IoSetNextIrpStackLocation(irp);
        PIO_STACK_LOCATION own = IoGetCurrentIrpStackLocation(irp);
        own->DeviceObject = top->Device();
        own->Parameters.Others.Argument1 = reinterpret_cast<PVOID>(ULONG_PTR{0x5A5A});
        PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
        next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
        IoSetCompletionRoutine(irp, ScriptedCompletion, &routine, TRUE, TRUE, TRUE);
        EXPECT_EQ(IoCallDriver(filter->Device(), irp), STATUS_PENDING);
    });
    sim::kernel::DrainDispatchWork();
    EXPECT_EQ(routineRuns.load(), 1);
    EXPECT_EQ(routineDevice, top->Device()); // the device the allocator put in its location
    EXPECT_EQ(ownContext, 0x5A5Au);
    // The fixture fails the test on any violation: the free must not count as one, and the
    // request must not be left over as a leak.
}

TEST_F(StackTest, DeviceControlParametersOverlapTheGenericArgumentsAsOnWindows) {
    // Drivers that pass a request on read IoControlCode where another driver wrote Argument3
    // (and Type3InputBuffer is Argument4); the layout decides which words they share.
    IO_STACK_LOCATION stack{};
    static_assert(offsetof(IO_STACK_LOCATION, Parameters) % sizeof(void*) == 0);
    const auto base = reinterpret_cast<uintptr_t>(&stack.Parameters);
    auto at = [&](const void* member) { return reinterpret_cast<uintptr_t>(member) - base; };
    EXPECT_EQ(at(&stack.Parameters.DeviceIoControl.OutputBufferLength),
              at(&stack.Parameters.Others.Argument1));
    EXPECT_EQ(at(&stack.Parameters.DeviceIoControl.InputBufferLength),
              at(&stack.Parameters.Others.Argument2));
    EXPECT_EQ(at(&stack.Parameters.DeviceIoControl.IoControlCode),
              at(&stack.Parameters.Others.Argument3));
    EXPECT_EQ(at(&stack.Parameters.DeviceIoControl.Type3InputBuffer),
              at(&stack.Parameters.Others.Argument4));
    stack.Parameters.Others.Argument3 = reinterpret_cast<PVOID>(uintptr_t{0x00220003});
    EXPECT_EQ(stack.Parameters.DeviceIoControl.IoControlCode, 0x00220003u);
    // The power and create parameters keep the real alignment too.
    EXPECT_EQ(at(&stack.Parameters.Power.Type), at(&stack.Parameters.Others.Argument2));
    EXPECT_EQ(at(&stack.Parameters.Power.State), at(&stack.Parameters.Others.Argument3));
    EXPECT_EQ(at(&stack.Parameters.Power.ShutdownType), at(&stack.Parameters.Others.Argument4));
    EXPECT_EQ(at(&stack.Parameters.Create.FileAttributes), at(&stack.Parameters.Others.Argument3));
    EXPECT_EQ(at(&stack.Parameters.Create.EaLength), at(&stack.Parameters.Others.Argument4));
    EXPECT_EQ(at(&stack.Parameters.Read.Key), at(&stack.Parameters.Others.Argument2));
    EXPECT_EQ(at(&stack.Parameters.Read.ByteOffset), at(&stack.Parameters.Others.Argument3));
    EXPECT_EQ(sizeof(stack.Parameters), 4 * sizeof(void*));
}

TEST_F(StackTest, CancelCallsTheCancelRoutineOfTheHolder) {
    static std::atomic<bool> cancelled;
    cancelled = false;
    PIRP held = nullptr;
    bus->Serve([&](PDEVICE_OBJECT, PIRP irp) {
        held = irp;
        IoMarkIrpPending(irp);
        IoSetCancelRoutine(irp, [](PDEVICE_OBJECT, PIRP irp) {
            IoReleaseCancelSpinLock(irp->CancelIrql);
            cancelled = true;
            CompleteWith(irp, STATUS_CANCELLED);
        });
        return STATUS_PENDING;
    });
    std::atomic<NTSTATUS> final{0};
    IrpSpec spec = Control(1);
    EXPECT_EQ(sim::kernel::SendIrpAsync(bus->Device(), spec, [&](IoResult r) { final = r.status; }),
              STATUS_PENDING);
    ASSERT_NE(held, nullptr);
    EXPECT_TRUE(IoCancelIrp(held));
    EXPECT_TRUE(cancelled);
    EXPECT_EQ(final, STATUS_CANCELLED);
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
}

TEST_F(StackTest, BufferedRequestCopiesInputInAndOutputOut) {
    top->Serve([](PDEVICE_OBJECT, PIRP irp) {
        auto buffer = static_cast<uint8_t*>(irp->AssociatedIrp.SystemBuffer);
        PIO_STACK_LOCATION s = IoGetCurrentIrpStackLocation(irp);
        EXPECT_EQ(s->Parameters.DeviceIoControl.InputBufferLength, 3u);
        EXPECT_EQ(s->Parameters.DeviceIoControl.OutputBufferLength, 8u);
        for (int i = 0; i < 8; ++i)
            buffer[i] = static_cast<uint8_t>(buffer[i % 3] + 0x10);
        return CompleteWith(irp, STATUS_SUCCESS, 5);
    });
    uint8_t input[3] = {1, 2, 3};
    uint8_t output[8] = {0xEE, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE};
    PFILE_OBJECT file = sim::kernel::CreateFileObject(top->Device(), u"");
    IoResult result = sim::kernel::SendDeviceControl(
        top->Device(), file, CTL_CODE(FILE_DEVICE_UNKNOWN, 0x80A, METHOD_BUFFERED, FILE_ANY_ACCESS),
        input, 3, output, 8);
    sim::kernel::DeleteFileObject(file);
    EXPECT_EQ(result.information, 5u);
    const uint8_t expected[8] = {0x11, 0x12, 0x13, 0x21, 0x22, 0xEE, 0xEE, 0xEE};
    EXPECT_EQ(std::vector<uint8_t>(output, output + 8),
              std::vector<uint8_t>(expected, expected + 8));
}

TEST_F(StackTest, ManyCallersWithCompletionsOnTheWorkerThreadAllFinishOnce) {
    std::atomic<int> routines{0};
    Completion countRoutine = [&](PDEVICE_OBJECT, PIRP irp) {
        ++routines;
        if (irp->PendingReturned)
            IoMarkIrpPending(irp);
        return STATUS_SUCCESS;
    };
    filter->Serve([&](PDEVICE_OBJECT, PIRP irp) {
        return PassDownWatched(filter->Lower(), irp, &countRoutine);
    });
    bus->Serve([](PDEVICE_OBJECT, PIRP irp) {
        ULONG code = IoGetCurrentIrpStackLocation(irp)->Parameters.DeviceIoControl.IoControlCode;
        if (code % 2 == 0)
            return CompleteWith(irp, STATUS_SUCCESS, code);
        IoMarkIrpPending(irp);
        sim::kernel::QueueDispatchWork([irp, code] { CompleteWith(irp, STATUS_SUCCESS, code); });
        return STATUS_PENDING;
    });
    constexpr int kThreads = 4;
    constexpr int kRequests = 100;
    std::atomic<int> wrong{0};
    std::vector<std::thread> callers;
    for (int t = 0; t < kThreads; ++t) {
        callers.emplace_back([&, t] {
            for (int i = 0; i < kRequests; ++i) {
                ULONG code = static_cast<ULONG>(t * kRequests + i);
                IoResult result = sim::kernel::SendIrp(filter->Device(), Control(code));
                if (!result.completed || result.status != STATUS_SUCCESS ||
                    result.information != code) {
                    ++wrong;
                }
            }
        });
    }
    for (auto& caller : callers)
        caller.join();
    EXPECT_EQ(wrong, 0);
    EXPECT_EQ(routines, kThreads * kRequests);
}

} // namespace
} // namespace simtest
