// The console's main window: amplitude and phase entry, the preset
// commands, start-up and shut-down, the function keys, "Always on top" and
// the serial-number poll. The entry boxes' texts are the only store of the
// settings; every handler reads them anew.
#pragma once

#include "coil_word.h"
#include "text_value.h"
#include "usb_link.h"
#include "window.h"

#include <cstdint>
#include <span>
#include <string>

namespace morlix {

inline constexpr int AmpMin = 0;
inline constexpr int AmpMedium = 1000;
inline constexpr int AmpMax = 4095;
inline constexpr int RecordAmps[3] = {1000, 3000, 4095};

inline constexpr const char* SettingTop = "Top";
inline constexpr const char* SettingLeft = "Left";
inline constexpr const char* SettingOnTop = "On Top";

class formMain : public FormEvents {
public:
    formMain(Window& window, UsbLink& link) : window_(window), link_(link) {}

    // Amplitude and phase entry.
    void txtAmpX_Change();
    void txtAmpY_Change();
    void TxtPhase_Change();
    void txtAmpX_KeyDown(std::int16_t keyCode, std::int16_t shift);
    void txtAmpY_KeyDown(std::int16_t keyCode, std::int16_t shift);
    void TxtPhase_KeyDown(std::int16_t keyCode, std::int16_t shift);

    // Preset commands.
    void cmdReset_Click();
    void cmdStandby_Click();
    void cmdMin_Click();
    void cmdMedium_Click();
    void cmdMax_Click();
    void cmdTriple_Click();

    // Window.
    void Form_Load();
    void Form_Unload();
    void Form_KeyDown(std::int16_t keyCode, std::int16_t shift);
    void chkOnTop_Click();
    void tmrSN_Timer();

    // FormEvents: route window events to the handlers above.
    void Load() override { Form_Load(); }
    void Unload() override { Form_Unload(); }
    void Change(ControlId box) override;
    void Click(ControlId control) override;
    void FormKeyDown(std::int16_t keyCode, std::int16_t shift) override {
        Form_KeyDown(keyCode, shift);
    }
    void KeyDown(ControlId box, std::int16_t keyCode, std::int16_t shift) override;
    void Timer(ControlId timer) override;

private:
    void UsbSendData(CoilWord word);
    void SendWords(std::span<const CoilWord> words);

    double BoxValue(ControlId box) const;
    bool AxisBusy(Axis axis) const;
    bool AxisIdle(Axis axis) const;
    void SetAxisBusy(Axis axis, bool busy);

    void AmpChange(Axis axis);
    void StepBox(ControlId box, std::int16_t keyCode, const char* homeText, const char* endText);
    void SetBothLabels(const std::string& caption, Color color);
    void RestoreEdge(const char* valueName, float limit, void (Window::*apply)(float));

    Window& window_;
    UsbLink& link_;
};

} // namespace morlix
