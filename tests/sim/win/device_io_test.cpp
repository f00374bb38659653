#include "bench_fixture.h"

#include <algorithm>
#include <chrono>
#include <thread>

namespace simtest {
namespace {

using namespace sim::win;
using sim::usb::LatchedWord;

using DeviceIoTest = BenchTest;

TEST_F(DeviceIoTest, CoilWordAsThreeControlCallsLatchesOnce) {
    ASSERT_FALSE(path.empty());
    const Handle h = bench->io().CreateFileA(path.c_str());
    ASSERT_GT(h, 0);
    std::array<std::uint8_t, 8> reply{};
    std::uint32_t returned = 0xFFFF;
    EXPECT_TRUE(Send(h, Ports(0x55, 0x07), &reply, &returned));
    EXPECT_EQ(returned, 0u); // a write moves no data back
    EXPECT_TRUE(bench->coil().LatchedWords().empty());
    EXPECT_TRUE(Send(h, Ports(0x55, 0x03)));
    EXPECT_TRUE(Send(h, Ports(0x55, 0x07)));
    EXPECT_TRUE(bench->io().CloseHandle(h));
    const std::vector<LatchedWord> expected{{3, 0x55}};
    EXPECT_EQ(bench->coil().LatchedWords(), expected);
    EXPECT_EQ(bench->chip().VendorLog().size(), 3u);
}

TEST_F(DeviceIoTest, SerialNumberComesBack) {
    const Handle h = bench->io().CreateFileA(path.c_str());
    ASSERT_GT(h, 0);
    std::array<std::uint8_t, 8> reply{};
    std::uint32_t returned = 0;
    EXPECT_TRUE(Send(h, {8, 18, 11, 10, 0, 0, 0, 0}, &reply, &returned));
    EXPECT_EQ(returned, 4u);
    EXPECT_EQ(reply, (std::array<std::uint8_t, 8>{0x78, 0x56, 0x34, 0x12, 0, 0, 0, 0}));
    bench->io().CloseHandle(h);
}

TEST_F(DeviceIoTest, LateCompletionIsWaitedForAndReallyLate) {
    bench->device()->SetCompletionDelay(5000);
    const Handle h = bench->io().CreateFileA(path.c_str());
    ASSERT_GT(h, 0);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_TRUE(Send(h, Ports(0x12, 0x05)));
    const auto took = std::chrono::steady_clock::now() - start;
    EXPECT_GE(took, std::chrono::milliseconds(5));
    EXPECT_GT(took, std::chrono::milliseconds(2)); // past the driver's gate time
    EXPECT_EQ(Log().completionIrql.load(), sim::wdm::DISPATCH_LEVEL);
    {
        std::lock_guard lock(Log().mutex);
        EXPECT_NE(Log().completionThread, Log().dispatchThread);
    }
    EXPECT_TRUE(bench->device()->Urbs().back().late);
    EXPECT_EQ(bench->chip().PortA(), 0x12);
    bench->io().CloseHandle(h);
}

TEST_F(DeviceIoTest, RemainderOfThePathBecomesTheFileName) {
    Handle h = bench->io().CreateFileA((path + "\\PIPE1").c_str());
    ASSERT_GT(h, 0);
    bench->io().CloseHandle(h);
    // Trailing blanks and dots go, as Win32 normalises a device path.
    h = bench->io().CreateFileA((path + "   . ").c_str());
    ASSERT_GT(h, 0);
    bench->io().CloseHandle(h);
    // Long runs, as of a path read into a blank-filled buffer; blanks inside the name stay.
    h = bench->io().CreateFileA(
        (path + "\\PIPE2" + std::string(16, ' ') + "." + std::string(13, ' ')).c_str());
    ASSERT_GT(h, 0);
    bench->io().CloseHandle(h);
    h = bench->io().CreateFileA((path + "\\PIPE3 x" + std::string(20, ' ')).c_str());
    ASSERT_GT(h, 0);
    bench->io().CloseHandle(h);
    std::lock_guard lock(Log().mutex);
    EXPECT_EQ(Log().createNames,
              (std::vector<std::u16string>{u"\\PIPE1", u"", u"\\PIPE2", u"\\PIPE3 x"}));
}

TEST_F(DeviceIoTest, FailedOpensLeaveNoHandle) {
    EXPECT_EQ(bench->io().CreateFileA("\\\\.\\NoSuchDevice"), InvalidHandleValue);
    EXPECT_EQ(GetLastError(), ErrorFileNotFound);
    EXPECT_EQ(bench->io().CreateFileA(""), InvalidHandleValue);
    EXPECT_EQ(GetLastError(), ErrorPathNotFound);
    EXPECT_EQ(bench->io().CreateFileA((path + "\\REFUSE").c_str()), InvalidHandleValue);
    EXPECT_EQ(GetLastError(), ErrorPipeBusy);
    EXPECT_EQ(bench->io().OpenHandleCount(), 0u);
}

// A removal between the lookup of the name and the create: the open on its way holds the
// device object, so the removal only marks it deleted, the open fails as one of a device being
// deleted without reaching the driver, and the object goes when the open lets go of it.
TEST_F(DeviceIoTest, RemovalBetweenLookupAndCreateFailsTheOpenAndFreesTheDevice) {
    const sim::wdm::PDEVICE_OBJECT fdo = sim::wdm::IoGetAttachedDevice(bench->pdo());
    ASSERT_NE(fdo, bench->pdo());
    int removals = 0;
    bench->io().SetBetweenLookupAndCreate([&] {
        if (removals++ == 0) {
            EXPECT_EQ(bench->pnp().RemoveDevice(bench->pdo()), sim::wdm::STATUS_SUCCESS);
            EXPECT_TRUE(sim::kernel::IsDeviceDeletePending(fdo)); // held by the open
        }
    });
    EXPECT_EQ(bench->io().CreateFileA(path.c_str()), InvalidHandleValue);
    EXPECT_EQ(GetLastError(), ErrorAccessDenied);
    bench->io().SetBetweenLookupAndCreate({});
    EXPECT_EQ(removals, 1);
    EXPECT_FALSE(sim::kernel::IsDeviceObjectValid(fdo));
    EXPECT_EQ(bench->io().OpenHandleCount(), 0u);
    std::lock_guard lock(Log().mutex);
    EXPECT_TRUE(Log().deleted);
    EXPECT_TRUE(std::find(Log().majors.begin(), Log().majors.end(), sim::wdm::IRP_MJ_CREATE) ==
                Log().majors.end());
}

TEST_F(DeviceIoTest, CloseSendsCleanupThenCloseOnce) {
    const Handle h = bench->io().CreateFileA(path.c_str());
    ASSERT_GT(h, 0);
    EXPECT_EQ(bench->io().OpenHandleCount(bench->pdo()), 1u);
    EXPECT_TRUE(bench->io().CloseHandle(h));
    EXPECT_EQ(bench->io().OpenHandleCount(bench->pdo()), 0u);
    {
        std::lock_guard lock(Log().mutex);
        const std::vector<sim::wdm::UCHAR> expected{
            sim::wdm::IRP_MJ_CREATE, sim::wdm::IRP_MJ_CLEANUP, sim::wdm::IRP_MJ_CLOSE};
        std::vector<sim::wdm::UCHAR> handleRequests;
        for (auto m : Log().majors) {
            if (m != sim::wdm::IRP_MJ_PNP && m != sim::wdm::IRP_MJ_POWER) {
                handleRequests.push_back(m);
            }
        }
        EXPECT_EQ(handleRequests, expected);
    }
    EXPECT_FALSE(bench->io().CloseHandle(h));
    EXPECT_EQ(GetLastError(), ErrorInvalidHandle);
    EXPECT_FALSE(Send(h, Ports(1, 5)));
    EXPECT_EQ(GetLastError(), ErrorInvalidHandle);
    EXPECT_FALSE(bench->io().CloseHandle(0));
    EXPECT_FALSE(bench->io().CloseHandle(InvalidHandleValue));
}

TEST_F(DeviceIoTest, BufferedCopyNeverPassesTheOutputLength) {
    const Handle h = bench->io().CreateFileA(path.c_str());
    ASSERT_GT(h, 0);
    std::array<std::uint8_t, 6> in{'a', 'b', 'c', 'd', 'e', 'f'};
    std::array<std::uint8_t, 8> out{};
    out.fill('#');
    std::uint32_t returned = 0;
    // The driver claims six bytes for a three-byte output buffer.
    EXPECT_TRUE(bench->io().DeviceIoControl(h, IoctlEcho, in.data(), 6, out.data(), 3, &returned));
    EXPECT_EQ(returned, 3u);
    EXPECT_EQ(out, (std::array<std::uint8_t, 8>{'f', 'e', 'd', '#', '#', '#', '#', '#'}));
    const auto violations = sim::kernel::Violations();
    ASSERT_EQ(violations.size(), 1u);
    EXPECT_EQ(violations[0].kind, sim::kernel::ViolationKind::InformationTooLarge);
    sim::kernel::ClearViolations();

    // A longer output buffer than input: the system buffer is the longer
    // one, and only what the driver reports comes back.
    out.fill('#');
    EXPECT_TRUE(bench->io().DeviceIoControl(h, IoctlEcho, in.data(), 2, out.data(), 8, &returned));
    EXPECT_EQ(returned, 2u);
    EXPECT_EQ(out, (std::array<std::uint8_t, 8>{'b', 'a', '#', '#', '#', '#', '#', '#'}));

    // A request the driver fails reports its status as the Win32 error.
    EXPECT_FALSE(
        bench->io().DeviceIoControl(h, IoctlVendor, in.data(), 4, out.data(), 8, &returned));
    EXPECT_EQ(GetLastError(), ErrorInvalidParameter);
    EXPECT_EQ(returned, 0u);
    bench->io().CloseHandle(h);
}

TEST_F(DeviceIoTest, HandlesFromManyThreads) {
    // Each thread runs whole open-write-close cycles; the driver admits
    // any number of handles, the chip serialises the transfers.
    std::vector<std::thread> threads;
    std::atomic<int> failures{0};
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < 20; ++i) {
                const Handle h = bench->io().CreateFileA(path.c_str());
                if (h <= 0) {
                    ++failures;
                    continue;
                }
                if (!Send(h, Ports(static_cast<std::uint8_t>(t * 20 + i), 0x00))) {
                    ++failures;
                }
                bench->io().CloseHandle(h);
            }
        });
    }
    for (auto& t : threads) {
        t.join();
    }
    EXPECT_EQ(failures.load(), 0);
    EXPECT_EQ(bench->chip().VendorLog().size(), 80u);
    EXPECT_EQ(bench->io().OpenHandleCount(), 0u);
}

} // namespace
} // namespace simtest
