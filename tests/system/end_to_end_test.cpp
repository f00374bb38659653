// The console's real handlers (formMain over the headless window) on the
// simulated machine with the real driver: what the operator does must reach
// the coil driver word for word, through the driver, the bus and the chip.
#include "coil_word.h"
#include "form_main.h"
#include "headless_window.h"
#include "sim_machine.h"
#include "usb_link.h"

#include "sim/kernel/testing.h"
#include "sim/kernel/wdm.h"

#include <gtest/gtest.h>

#include <array>
#include <memory>
#include <string>
#include <vector>

namespace {

using morlix::Axis;
using morlix::ControlId;
using sim::usb::FrameKind;

// Passes every call on to the machine's platform and keeps what the console
// asked of it, so the console's side of each action can be set against what
// reached the coil driver.
class TeePlatform : public morlix::Platform {
public:
    explicit TeePlatform(morlix::Platform& inner) : inner_(inner) {}

    struct Ioctl {
        morlix::Dword code;
        std::array<std::uint8_t, 8> packet;
        morlix::Bool result;
    };
    std::vector<morlix::Handle> opens;
    std::vector<Ioctl> ioctls;

    morlix::Long RegOpenKeyExA(morlix::RegKey key, const char* subKey, morlix::Dword options,
                               morlix::Dword sam, morlix::RegKey* result) override {
        return inner_.RegOpenKeyExA(key, subKey, options, sam, result);
    }
    morlix::Long RegQueryValueExA(morlix::RegKey key, const char* name, morlix::Dword* reserved,
                                  morlix::Dword* type, std::uint8_t* data,
                                  morlix::Dword* size) override {
        return inner_.RegQueryValueExA(key, name, reserved, type, data, size);
    }
    morlix::Long RegCreateKeyExA(morlix::RegKey key, const char* subKey, morlix::Dword reserved,
                                 char* keyClass, morlix::Dword options, morlix::Dword sam,
                                 void* security, morlix::RegKey* result,
                                 morlix::Dword* disposition) override {
        return inner_.RegCreateKeyExA(key, subKey, reserved, keyClass, options, sam, security,
                                      result, disposition);
    }
    morlix::Long RegSetValueExA(morlix::RegKey key, const char* name, morlix::Dword reserved,
                                morlix::Dword type, const std::uint8_t* data,
                                morlix::Dword size) override {
        return inner_.RegSetValueExA(key, name, reserved, type, data, size);
    }
    morlix::Long RegCloseKey(morlix::RegKey key) override { return inner_.RegCloseKey(key); }
    morlix::Handle CreateFileA(const char* fileName, morlix::Dword access, morlix::Dword share,
                               void* security, morlix::Dword disposition, morlix::Dword flags,
                               morlix::Handle templateFile) override {
        const morlix::Handle h =
            inner_.CreateFileA(fileName, access, share, security, disposition, flags, templateFile);
        opens.push_back(h);
        return h;
    }
    morlix::Bool DeviceIoControl(morlix::Handle device, morlix::Dword code, void* in,
                                 morlix::Dword inSize, void* out, morlix::Dword outSize,
                                 morlix::Dword* returned, void* overlapped) override {
        Ioctl call{code, {}, 0};
        if (in != nullptr && inSize >= 8) {
            std::copy_n(static_cast<const std::uint8_t*>(in), 8, call.packet.begin());
        }
        call.result =
            inner_.DeviceIoControl(device, code, in, inSize, out, outSize, returned, overlapped);
        ioctls.push_back(call);
        return call.result;
    }
    morlix::Bool CloseHandle(morlix::Handle object) override { return inner_.CloseHandle(object); }

private:
    morlix::Platform& inner_;
};

std::vector<int> Ints(const std::vector<morlix::CoilWord>& words) {
    return {words.begin(), words.end()};
}

std::vector<int> Concat(std::initializer_list<std::vector<int>> parts) {
    std::vector<int> all;
    for (const auto& part : parts) {
        all.insert(all.end(), part.begin(), part.end());
    }
    return all;
}

// The console's own words for an entry transaction, changed axis first.
std::vector<int> EntryWords(Axis first, int x, int y, int phase) {
    const morlix::CoilFrame fx = morlix::AxisFrame(Axis::X, x, phase);
    const morlix::CoilFrame fy = morlix::AxisFrame(Axis::Y, y, phase);
    return Ints(first == Axis::X ? morlix::Transaction({fx, fy}) : morlix::Transaction({fy, fx}));
}

constexpr std::uint32_t Serial = 0x00012345; // 74565

class EndToEnd : public sim::kernel::KernelTest {
protected:
    void SetUp() override {
        KernelTest::SetUp();
        Build({});
    }

    void TearDown() override {
        form_.reset();
        window_.reset();
        link_.reset();
        tee_.reset();
        if (machine_) {
            // Nothing went wrong in the driver while the test ran...
            sim::kernel::DrainDispatchWork();
            sim::kernel::ExpectNoViolations();
            // ...nor while every chip is removed and the driver unloaded: the verifier must
            // have found nothing, leaked pool included.
            EXPECT_EQ(machine_->Shutdown(), "");
            machine_.reset();
        }
        KernelTest::TearDown();
    }

    void Build(morlix::cli::MachineOptions options) {
        form_.reset();
        window_.reset();
        link_.reset();
        tee_.reset();
        if (machine_) {
            EXPECT_EQ(machine_->Shutdown(), "");
        }
        options.serialNumber = Serial;
        machine_ = std::make_unique<morlix::cli::SimMachine>(options);
        tee_ = std::make_unique<TeePlatform>(machine_->platform());
        link_ = std::make_unique<morlix::UsbLink>(*tee_);
        window_ = std::make_unique<morlix::HeadlessWindow>();
        form_ = std::make_unique<morlix::formMain>(*window_, *link_);
        window_->Attach(form_.get());
    }

    void Start() {
        window_->Load();
        ASSERT_TRUE(window_->Shown());
    }

    std::vector<int> Latched() const {
        std::vector<int> words;
        for (const sim::usb::LatchedWord& w : machine_->coil().LatchedWords()) {
            words.push_back(w.Word());
        }
        return words;
    }
    // Latched words from position `from` on.
    std::vector<int> LatchedSince(std::size_t from) const {
        std::vector<int> all = Latched();
        return {all.begin() + static_cast<std::ptrdiff_t>(std::min(from, all.size())), all.end()};
    }

    // The operator tabs into the box (its text selected) and types.
    void TypeInto(ControlId box, std::string_view text) {
        window_->SetFocus(box);
        window_->SelectAll(box);
        window_->Type(box, text);
    }

    std::string DevicePath() const {
        return machine_->registry()
            .GetString(sim::registry::RegRoot::LocalMachine, morlix::DeviceNameKey,
                       morlix::DeviceNameValue)
            .value_or("");
    }

    std::unique_ptr<morlix::cli::SimMachine> machine_;
    std::unique_ptr<TeePlatform> tee_;
    std::unique_ptr<morlix::UsbLink> link_;
    std::unique_ptr<morlix::HeadlessWindow> window_;
    std::unique_ptr<morlix::formMain> form_;
};

TEST_F(EndToEnd, StartUpSendsTheThreeEntryTransactionsAndResetToTheCoil) {
    Start();
    const std::vector<int> expected = Concat({EntryWords(Axis::X, 0, 0, 128),
                                              EntryWords(Axis::Y, 0, 0, 128),
                                              EntryWords(Axis::X, 0, 0, 128),
                                              {morlix::ResetWord}});
    EXPECT_EQ(Latched(), expected);
    EXPECT_EQ(LatchedSince(0).size(), 43u);
    const std::vector<int> first(expected.begin(), expected.begin() + 14);
    EXPECT_EQ(first, (std::vector<int>{0, 256, 256, 256, 301, 272, 384, 256, 256, 256, 301, 288,
                                       384, 853}));

    // Each word crossed the console's platform as its three packets, all
    // accepted by the driver.
    ASSERT_EQ(tee_->ioctls.size(), 3 * expected.size());
    for (std::size_t i = 0; i < expected.size(); ++i) {
        const auto ports = morlix::WordPackets(static_cast<morlix::CoilWord>(expected[i]));
        for (std::size_t k = 0; k < 3; ++k) {
            const TeePlatform::Ioctl& call = tee_->ioctls[3 * i + k];
            EXPECT_EQ(call.code, morlix::IOCTL_VENDOR_REQUEST);
            EXPECT_EQ(call.packet[4], ports[k].a);
            EXPECT_EQ(call.packet[5], ports[k].b);
            EXPECT_NE(call.result, 0);
        }
    }
    // One device cycle per word, every open admitted.
    EXPECT_EQ(tee_->opens.size(), expected.size());
    for (morlix::Handle h : tee_->opens) {
        EXPECT_GT(h, 0);
    }

    EXPECT_EQ(window_->Caption(ControlId::lblAmpX), "0");
    EXPECT_EQ(window_->ForeColor(ControlId::lblAmpX), morlix::ColorBlack);
    EXPECT_EQ(window_->Caption(ControlId::lblPhase), "90.4°");
    // The coil driver executed the three entry transactions (X first, then
    // Y first, then X first), each with both axes at 0 and the phase 128.
    const auto transactions = machine_->coil().Transactions();
    ASSERT_EQ(transactions.size(), 3u);
    const FrameKind firstKinds[] = {FrameKind::AxisX, FrameKind::AxisY, FrameKind::AxisX};
    for (std::size_t i = 0; i < 3; ++i) {
        ASSERT_EQ(transactions[i].frames.size(), 2u);
        EXPECT_EQ(transactions[i].frames[0].kind, firstKinds[i]);
        for (const sim::usb::DecodedFrame& frame : transactions[i].frames) {
            EXPECT_EQ(frame.amplitude, 0);
            EXPECT_EQ(frame.phase, 128);
        }
    }
    EXPECT_EQ(machine_->coil().PendingFrameBytes(), 0u);
    EXPECT_TRUE(machine_->coil().Anomalies().empty());
}

TEST_F(EndToEnd, TypedSettingsReachTheCoilAsTheConsoleEncodesThem) {
    Start();
    std::size_t mark = Latched().size();
    TypeInto(ControlId::txtAmpX, "1000");
    // One transaction per keystroke, the last one the worked example.
    EXPECT_EQ(LatchedSince(mark),
              Concat({EntryWords(Axis::X, 1, 0, 128), EntryWords(Axis::X, 10, 0, 128),
                      EntryWords(Axis::X, 100, 0, 128), EntryWords(Axis::X, 1000, 0, 128)}));
    const std::vector<int> all = Latched();
    EXPECT_EQ(
        std::vector<int>(all.end() - 14, all.end()),
        (std::vector<int>{0, 488, 259, 256, 301, 272, 384, 256, 256, 256, 301, 288, 384, 853}));
    EXPECT_EQ(machine_->coil().Setting().amplitudeX, 1000);

    // A Y change sends the Y frame first.
    mark = Latched().size();
    window_->SetFocus(ControlId::txtAmpY);
    window_->SelectAll(ControlId::txtAmpY);
    window_->Paste(ControlId::txtAmpY, "12.7");
    EXPECT_EQ(window_->Text(ControlId::txtAmpY), "12");
    EXPECT_EQ(LatchedSince(mark), EntryWords(Axis::Y, 1000, 12, 128));

    // A corrected phase goes out twice, in full.
    TypeInto(ControlId::TxtPhase, "250");
    mark = Latched().size();
    window_->PressKey(morlix::KeyPageUp);
    EXPECT_EQ(window_->Text(ControlId::TxtPhase), "255");
    EXPECT_EQ(LatchedSince(mark),
              Concat({EntryWords(Axis::X, 1000, 12, 255), EntryWords(Axis::X, 1000, 12, 255)}));
    const sim::usb::CoilSetting setting = machine_->coil().Setting();
    EXPECT_EQ(setting.amplitudeX, 1000);
    EXPECT_EQ(setting.amplitudeY, 12);
    EXPECT_EQ(setting.phase, 255);
    EXPECT_TRUE(machine_->coil().Anomalies().empty());
}

// A point typed before any digit starts no number: the box keeps what the
// operator typed and the coil gets amplitude 0 for it, once per keystroke.
TEST_F(EndToEnd, TextWithoutALeadingDigitSendsZeroAndStaysAsTyped) {
    Start();
    TypeInto(ControlId::txtAmpX, "1000");
    std::size_t mark = Latched().size();
    TypeInto(ControlId::txtAmpX, ".5");
    EXPECT_EQ(window_->Text(ControlId::txtAmpX), ".5");
    EXPECT_EQ(window_->Caption(ControlId::lblAmpX), "0");
    EXPECT_EQ(LatchedSince(mark),
              Concat({EntryWords(Axis::X, 0, 0, 128), EntryWords(Axis::X, 0, 0, 128)}));
    EXPECT_EQ(machine_->coil().Setting().amplitudeX, 0);

    // A point with no digit behind it ends the number: "7." is 7 and stays.
    mark = Latched().size();
    TypeInto(ControlId::txtAmpY, "7.");
    EXPECT_EQ(window_->Text(ControlId::txtAmpY), "7.");
    EXPECT_EQ(LatchedSince(mark),
              Concat({EntryWords(Axis::Y, 0, 7, 128), EntryWords(Axis::Y, 0, 7, 128)}));
    EXPECT_EQ(machine_->coil().Setting().amplitudeY, 7);
    EXPECT_TRUE(machine_->coil().Anomalies().empty());
}

TEST_F(EndToEnd, PresetsReachTheCoilAsTheFramesItDecodes) {
    Start();
    struct Case {
        ControlId button;
        std::vector<int> words;
        FrameKind kind;
        int amplitude;
        int control2;
    };
    const Case cases[] = {
        {ControlId::cmdMax, Ints(morlix::Transaction({morlix::BothFrame(4095, 0)})),
         FrameKind::Both, 4095, 0x00},
        {ControlId::cmdMedium, Ints(morlix::Transaction({morlix::BothFrame(1000, 0)})),
         FrameKind::Both, 1000, 0x00},
        {ControlId::cmdMin, Ints(morlix::Transaction({morlix::BothFrame(0, 1)})), FrameKind::Both,
         0, 0x01},
        {ControlId::cmdStandby, Ints(morlix::Transaction({morlix::StandbyFrame()})),
         FrameKind::Standby, 0, 0x01},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(morlix::ControlName(c.button));
        const std::size_t words = Latched().size();
        const std::size_t executed = machine_->coil().Transactions().size();
        window_->Click(c.button);
        EXPECT_EQ(LatchedSince(words), c.words);
        const auto transactions = machine_->coil().Transactions();
        ASSERT_EQ(transactions.size(), executed + 1);
        ASSERT_EQ(transactions.back().frames.size(), 1u);
        const sim::usb::DecodedFrame& frame = transactions.back().frames[0];
        EXPECT_EQ(frame.kind, c.kind);
        EXPECT_EQ(frame.amplitude, c.amplitude);
        EXPECT_EQ(frame.control2, c.control2);
        EXPECT_EQ(frame.axisMask, 0x30);
        EXPECT_EQ(frame.phase, 0x7F);
    }
    EXPECT_TRUE(machine_->coil().Setting().standby);

    // Both Max from its key lands both axes at full scale.
    window_->PressKey(morlix::KeyF4, morlix::ShiftMask);
    EXPECT_EQ(machine_->coil().Setting().amplitudeX, 4095);
    EXPECT_EQ(machine_->coil().Setting().amplitudeY, 4095);
    EXPECT_FALSE(machine_->coil().Setting().standby);
    EXPECT_EQ(window_->Focus(), ControlId::cmdMax);

    // Reset is the reset word alone: nothing is executed.
    const std::size_t words = Latched().size();
    const std::size_t executed = machine_->coil().Transactions().size();
    window_->PressKey(morlix::KeyEscape);
    EXPECT_EQ(LatchedSince(words), (std::vector<int>{0}));
    EXPECT_EQ(machine_->coil().Transactions().size(), executed);
    EXPECT_EQ(machine_->coil().PendingFrameBytes(), 0u);
    EXPECT_TRUE(machine_->coil().Anomalies().empty());
}

TEST_F(EndToEnd, TripleRecordSendsItsThreeRecordFrames) {
    Start();
    const std::size_t words = Latched().size();
    window_->Click(ControlId::cmdTriple);
    const std::vector<int> expected =
        Ints(morlix::Transaction({morlix::RecordFrame(1, 1000), morlix::RecordFrame(2, 3000),
                                  morlix::RecordFrame(3, 4095)}));
    EXPECT_EQ(LatchedSince(words), expected);
    EXPECT_EQ(expected.size(), 20u);
    const sim::usb::ExecutedTransaction last = machine_->coil().Transactions().back();
    ASSERT_EQ(last.frames.size(), 3u);
    const int amplitudes[] = {1000, 3000, 4095};
    const int phases[] = {0x20, 0x80, 0xD0};
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(last.frames[i].kind, FrameKind::Record);
        EXPECT_EQ(last.frames[i].amplitude, amplitudes[i]);
        EXPECT_EQ(last.frames[i].phase, phases[i]);
        EXPECT_EQ(last.frames[i].ampFlags, 0x0F);
    }
    EXPECT_EQ(machine_->coil().Setting().record,
              (std::vector<sim::usb::RecordPoint>{{1000, 0x20}, {3000, 0x80}, {4095, 0xD0}}));
    EXPECT_EQ(window_->Caption(ControlId::lblAmpX), "4095");
    EXPECT_EQ(window_->ForeColor(ControlId::lblAmpX), morlix::ColorRed);
    EXPECT_EQ(window_->Caption(ControlId::lblAmpY), "4095");
    EXPECT_EQ(window_->ForeColor(ControlId::lblAmpY), morlix::ColorRed);
}

TEST_F(EndToEnd, SerialLabelFollowsTheChipOutAndBackIn) {
    Start();
    EXPECT_EQ(window_->Caption(ControlId::lblSerNum), "Looking for USB...");
    EXPECT_EQ(window_->ForeColor(ControlId::lblSerNum), morlix::ColorRed);
    window_->Tick();
    EXPECT_EQ(window_->Caption(ControlId::lblSerNum), "SN: 74565");
    EXPECT_EQ(window_->ForeColor(ControlId::lblSerNum), morlix::ColorBlack);

    sim::wdm::PDRIVER_OBJECT driver = machine_->bench().driver();
    ASSERT_TRUE(machine_->Unplug());
    // The removed device gave back all its pool.
    EXPECT_TRUE(sim::kernel::OutstandingPool(driver).empty());

    window_->Tick();
    EXPECT_EQ(window_->Caption(ControlId::lblSerNum), "SN: 74565");
    EXPECT_EQ(window_->ForeColor(ControlId::lblSerNum), morlix::ColorRed);

    // Every other action still runs; nothing reaches the coil, and the
    // console does not even get to send.
    const std::size_t words = Latched().size();
    const std::size_t ioctls = tee_->ioctls.size();
    const std::size_t opens = tee_->opens.size();
    window_->Click(ControlId::cmdMax);
    TypeInto(ControlId::txtAmpX, "77");
    window_->PressKey(morlix::KeyF5);
    EXPECT_EQ(window_->Caption(ControlId::lblAmpX), "4095");
    EXPECT_EQ(window_->Text(ControlId::txtAmpX), "77");
    EXPECT_EQ(Latched().size(), words);
    EXPECT_EQ(tee_->ioctls.size(), ioctls);
    ASSERT_GT(tee_->opens.size(), opens);
    for (std::size_t i = opens; i < tee_->opens.size(); ++i) {
        EXPECT_EQ(tee_->opens[i], morlix::InvalidHandleValue);
    }
    EXPECT_EQ(link_->DevicePath, morlix::DeviceNotFound);
    EXPECT_EQ(link_->hDevice, 0);

    // Plugged in again: the next action uses it.
    ASSERT_TRUE(machine_->Plug());
    window_->Click(ControlId::cmdMin);
    EXPECT_EQ(LatchedSince(words), Ints(morlix::Transaction({morlix::BothFrame(0, 1)})));
    window_->Tick();
    EXPECT_EQ(window_->Caption(ControlId::lblSerNum), "SN: 74565");
    EXPECT_EQ(window_->ForeColor(ControlId::lblSerNum), morlix::ColorBlack);

    // And out and in once more.
    ASSERT_TRUE(machine_->Unplug());
    window_->Tick();
    EXPECT_EQ(window_->ForeColor(ControlId::lblSerNum), morlix::ColorRed);
    ASSERT_TRUE(machine_->Plug());
    window_->Tick();
    EXPECT_EQ(window_->ForeColor(ControlId::lblSerNum), morlix::ColorBlack);
}

TEST_F(EndToEnd, WithoutAChipAtStartNothingIsSentUntilOneIsPlugged) {
    morlix::cli::MachineOptions options;
    options.plugged = false;
    Build(options);
    Start();
    EXPECT_TRUE(Latched().empty());
    EXPECT_TRUE(tee_->ioctls.empty());
    EXPECT_EQ(window_->Caption(ControlId::lblAmpX), "0");
    window_->Tick();
    EXPECT_EQ(window_->Caption(ControlId::lblSerNum), "Looking for USB...");
    EXPECT_EQ(window_->ForeColor(ControlId::lblSerNum), morlix::ColorRed);

    ASSERT_TRUE(machine_->Plug());
    window_->Tick();
    EXPECT_EQ(window_->Caption(ControlId::lblSerNum), "SN: 74565");
    TypeInto(ControlId::txtAmpY, "7");
    EXPECT_EQ(Latched(), EntryWords(Axis::Y, 0, 7, 128));
}

TEST_F(EndToEnd, TheDriverAdmitsOneHandleAtATime) {
    Start();
    const std::string path = DevicePath();
    ASSERT_FALSE(path.empty());
    // Another program holds the chip open.
    sim::win::DeviceIo& io = machine_->bench().io();
    const sim::win::Handle other = io.CreateFileA(path.c_str());
    ASSERT_NE(other, sim::win::InvalidHandleValue);
    EXPECT_EQ(io.CreateFileA(path.c_str()), sim::win::InvalidHandleValue);

    const std::size_t words = Latched().size();
    const std::size_t ioctls = tee_->ioctls.size();
    window_->Click(ControlId::cmdMax);
    window_->Tick();
    EXPECT_EQ(Latched().size(), words);
    EXPECT_EQ(tee_->ioctls.size(), ioctls);
    EXPECT_EQ(tee_->opens.back(), morlix::InvalidHandleValue);
    EXPECT_EQ(window_->ForeColor(ControlId::lblSerNum), morlix::ColorRed);
    EXPECT_EQ(window_->Caption(ControlId::lblAmpX), "4095");

    // Once it lets go, the console's next action gets through.
    EXPECT_TRUE(io.CloseHandle(other));
    window_->Click(ControlId::cmdMax);
    EXPECT_EQ(LatchedSince(words), Ints(morlix::Transaction({morlix::BothFrame(4095, 0)})));
    window_->Tick();
    EXPECT_EQ(window_->Caption(ControlId::lblSerNum), "SN: 74565");
}

TEST_F(EndToEnd, LateCompletionsStillCarryEveryWord) {
    morlix::cli::MachineOptions options;
    options.completionDelayMicroseconds = 3000; // past the driver's 2 ms gate
    Build(options);
    Start();
    window_->Click(ControlId::cmdTriple);
    window_->Tick();
    EXPECT_EQ(Latched(), Concat({EntryWords(Axis::X, 0, 0, 128),
                                 EntryWords(Axis::Y, 0, 0, 128),
                                 EntryWords(Axis::X, 0, 0, 128),
                                 {0},
                                 Ints(morlix::Transaction({morlix::RecordFrame(1, 1000),
                                                           morlix::RecordFrame(2, 3000),
                                                           morlix::RecordFrame(3, 4095)}))}));
    EXPECT_EQ(window_->Caption(ControlId::lblSerNum), "SN: 74565");
    for (const TeePlatform::Ioctl& call : tee_->ioctls) {
        EXPECT_NE(call.result, 0);
    }
    // They really were late: completed outside the driver's call.
    ASSERT_NE(machine_->Device(), nullptr);
    std::size_t late = 0;
    std::size_t vendor = 0;
    for (const sim::usb::UrbRecord& urb : machine_->Device()->Urbs()) {
        if (urb.request == 18) {
            ++vendor;
            late += urb.late ? 1 : 0;
        }
    }
    EXPECT_EQ(vendor, tee_->ioctls.size());
    EXPECT_EQ(late, vendor);
}

} // namespace
