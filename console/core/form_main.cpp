#include "form_main.h"

#include "misc_functions.h"
#include "text_value.h"

#include <cmath>
#include <limits>

namespace morlix {

namespace {

constexpr int AmpLimit = 4095;
constexpr int PhaseLimit = 255;
constexpr int FlagBusy = 1;
constexpr int FlagIdle = 0;

// A value that survives the trip through memory as a float: on x87 builds a
// float held in a register keeps excess precision, and the placement tests
// must compare true single-precision values.
float RoundToSingle(double value) {
    if (std::isnan(value)) {
        return std::numeric_limits<float>::quiet_NaN();
    }
    if (value > std::numeric_limits<float>::max()) {
        return std::numeric_limits<float>::infinity();
    }
    if (value < -std::numeric_limits<float>::max()) {
        return -std::numeric_limits<float>::infinity();
    }
    volatile float stored = static_cast<float>(value);
    return stored;
}

// The handlers have corrected the text before they convert, so the clamp
// changes nothing there; it keeps the conversion defined for any text.
int ClampToInt(double value, int low, int high) {
    if (!(value >= low)) {
        return low;
    }
    if (value >= high) {
        return high;
    }
    return static_cast<int>(value);
}

ControlId AmpBox(Axis axis) {
    return axis == Axis::X ? ControlId::txtAmpX : ControlId::txtAmpY;
}
ControlId AmpLabel(Axis axis) {
    return axis == Axis::X ? ControlId::lblAmpX : ControlId::lblAmpY;
}
Axis OtherAxis(Axis axis) {
    return axis == Axis::X ? Axis::Y : Axis::X;
}

} // namespace

// ---- Device --------------------------------------------------------------

void formMain::UsbSendData(CoilWord word) {
    morlix::UsbSendData(link_, word);
}

void formMain::SendWords(std::span<const CoilWord> words) {
    for (CoilWord word : words) {
        UsbSendData(word);
    }
}

// ---- Amplitude and phase entry -------------------------------------------

double formMain::BoxValue(ControlId box) const {
    double value = TextValue(window_.Text(box));
    return std::isnan(value) ? 0.0 : value;
}

bool formMain::AxisBusy(Axis axis) const {
    return TextValue(window_.Tag(AmpBox(axis))) == FlagBusy;
}

bool formMain::AxisIdle(Axis axis) const {
    return TextValue(window_.Tag(AmpBox(axis))) == FlagIdle;
}

void formMain::SetAxisBusy(Axis axis, bool busy) {
    window_.SetTag(AmpBox(axis), busy ? "1" : "0");
}

void formMain::AmpChange(Axis axis) {
    const ControlId box = AmpBox(axis);
    const ControlId label = AmpLabel(axis);
    const Axis other = OtherAxis(axis);

    // Our own corrections below re-enter through the text writes.
    if (AxisBusy(axis)) {
        return;
    }
    SetAxisBusy(axis, true);

    if (BoxValue(box) < 0) {
        window_.SetText(box, "0");
    }
    if (BoxValue(box) > AmpLimit) {
        window_.SetText(box, "4095");
    }
    const double v = BoxValue(box);
    if (std::floor(v) != v) {
        window_.SetText(box, DecimalText(std::floor(v)));
    }

    const int amplitude = ClampToInt(BoxValue(box), 0, AmpLimit);
    window_.SetCaption(label, std::to_string(amplitude));
    window_.SetForeColor(label, ColorRed);

    // Only the outer run of a transaction frames it with reset and execute.
    if (AxisIdle(other)) {
        UsbSendData(ResetWord);
    }
    const double phase = std::nearbyint(BoxValue(ControlId::TxtPhase));
    SendWords(AxisFrame(axis, amplitude, ClampToInt(phase, 0, PhaseLimit)).Words());
    window_.SetForeColor(label, ColorBlack);

    if (AxisIdle(other)) {
        if (axis == Axis::X) {
            txtAmpY_Change();
        } else {
            txtAmpX_Change();
        }
        UsbSendData(ExecuteWord);
    }
    SetAxisBusy(axis, false);
}

void formMain::txtAmpX_Change() {
    AmpChange(Axis::X);
}
void formMain::txtAmpY_Change() {
    AmpChange(Axis::Y);
}

void formMain::TxtPhase_Change() {
    const ControlId box = ControlId::TxtPhase;
    // No busy flag here: a correcting write runs this whole handling nested,
    // so a corrected phase goes out twice.
    if (BoxValue(box) < 0) {
        window_.SetText(box, "0");
    }
    if (BoxValue(box) > PhaseLimit) {
        window_.SetText(box, "255");
    }
    const double v = BoxValue(box);
    if (std::floor(v) != v) {
        window_.SetText(box, DecimalText(std::floor(v)));
    }
    window_.SetCaption(ControlId::lblPhase, PhaseDegreesText(BoxValue(box)));
    txtAmpX_Change();
}

// Steps are not bounded here: the write's change handling corrects them.
void formMain::StepBox(ControlId box, std::int16_t keyCode, const char* homeText,
                       const char* endText) {
    const double v = BoxValue(box);
    switch (keyCode) {
    case KeyArrowUp:
        window_.SetText(box, DecimalText(v + 1));
        break;
    case KeyArrowDown:
        window_.SetText(box, DecimalText(v - 1));
        break;
    case KeyPageUp:
        window_.SetText(box, DecimalText(v + 10));
        break;
    case KeyPageDown:
        window_.SetText(box, DecimalText(v - 10));
        break;
    case KeyHome:
        window_.SetText(box, homeText);
        break;
    case KeyEnd:
        window_.SetText(box, endText);
        break;
    default:
        break;
    }
}

void formMain::txtAmpX_KeyDown(std::int16_t keyCode, std::int16_t /*shift*/) {
    StepBox(ControlId::txtAmpX, keyCode, "4095", "0");
}

void formMain::txtAmpY_KeyDown(std::int16_t keyCode, std::int16_t /*shift*/) {
    StepBox(ControlId::txtAmpY, keyCode, "4095", "0");
}

void formMain::TxtPhase_KeyDown(std::int16_t keyCode, std::int16_t /*shift*/) {
    StepBox(ControlId::TxtPhase, keyCode, "128", "255");
}

// ---- Preset commands -----------------------------------------------------

void formMain::SetBothLabels(const std::string& caption, Color color) {
    window_.SetCaption(ControlId::lblAmpX, caption);
    window_.SetForeColor(ControlId::lblAmpX, color);
    window_.SetCaption(ControlId::lblAmpY, caption);
    window_.SetForeColor(ControlId::lblAmpY, color);
}

void formMain::cmdReset_Click() {
    UsbSendData(ResetWord);
    SetBothLabels("0", ColorBlack);
}

void formMain::cmdStandby_Click() {
    SendWords(Transaction({StandbyFrame()}));
    SetBothLabels("0", ColorBlack);
}

void formMain::cmdMin_Click() {
    SendWords(Transaction({BothFrame(AmpMin, BothMinControl2)}));
    SetBothLabels(std::to_string(AmpMin), ColorBlack);
}

void formMain::cmdMedium_Click() {
    SendWords(Transaction({BothFrame(AmpMedium, BothControl2)}));
    SetBothLabels(std::to_string(AmpMedium), ColorBlack);
}

void formMain::cmdMax_Click() {
    SendWords(Transaction({BothFrame(AmpMax, BothControl2)}));
    SetBothLabels(std::to_string(AmpMax), ColorBlack);
}

void formMain::cmdTriple_Click() {
    SendWords(Transaction({RecordFrame(1, RecordAmps[0]), RecordFrame(2, RecordAmps[1]),
                           RecordFrame(3, RecordAmps[2])}));
    SetBothLabels(std::to_string(RecordAmps[2]), ColorRed);
}

// ---- Window --------------------------------------------------------------

void formMain::RestoreEdge(const char* valueName, float limit, void (Window::*apply)(float)) {
    std::string text;
    if (!ReadRegValue(link_.platform(), SettingsKey.root, SettingsKey.path, valueName, text)) {
        return;
    }
    const float edge = RoundToSingle(TextValue(text));
    if (edge >= 0 && edge < limit) {
        (window_.*apply)(edge);
    }
}

void formMain::Form_Load() {
    if (window_.PrevInstance()) {
        window_.End();
        return;
    }

    RestoreEdge(SettingTop,
                RoundToSingle(static_cast<double>(window_.ScreenHeight()) - window_.Height()),
                &Window::SetTop);
    // Twice the screen width: a window left on a second screen to the right
    // keeps its place.
    RestoreEdge(SettingLeft,
                RoundToSingle(2.0 * window_.ScreenWidth() - static_cast<double>(window_.Width())),
                &Window::SetLeft);

    std::string onTop;
    if (ReadRegValue(link_.platform(), SettingsKey.root, SettingsKey.path, SettingOnTop, onTop) &&
        TextValue(onTop) == 1) {
        window_.SetCheckValue(ControlId::chkOnTop, CheckChecked);
    }

    txtAmpX_Change();
    txtAmpY_Change();
    TxtPhase_Change();
    cmdReset_Click();
}

void formMain::Form_Unload() {
    WriteRegString(link_.platform(), SettingsKey.root, SettingsKey.path, SettingTop,
                   DecimalText(window_.Top()));
    WriteRegString(link_.platform(), SettingsKey.root, SettingsKey.path, SettingLeft,
                   DecimalText(window_.Left()));
}

void formMain::Form_KeyDown(std::int16_t keyCode, std::int16_t /*shift*/) {
    switch (keyCode) {
    case KeyF1:
        cmdStandby_Click();
        window_.SetFocus(ControlId::cmdStandby);
        break;
    case KeyF2:
        cmdMin_Click();
        window_.SetFocus(ControlId::cmdMin);
        break;
    case KeyF3:
        cmdMedium_Click();
        window_.SetFocus(ControlId::cmdMedium);
        break;
    case KeyF4:
        cmdMax_Click();
        window_.SetFocus(ControlId::cmdMax);
        break;
    case KeyF5:
        cmdTriple_Click();
        window_.SetFocus(ControlId::cmdTriple);
        break;
    case KeyEscape:
        cmdReset_Click();
        window_.SetFocus(ControlId::cmdReset);
        break;
    default:
        break;
    }
}

void formMain::chkOnTop_Click() {
    const int value = window_.CheckValue(ControlId::chkOnTop);
    // HWND_BOTTOM rather than HWND_NOTOPMOST: unchecking also sends the
    // window behind all others.
    const std::intptr_t insertAfter = value == CheckChecked ? HwndTopmost : HwndBottom;
    window_.SetWindowPos(insertAfter, 0, 0, 0, 0, SwpNoSize | SwpNoMove);
    WriteRegString(link_.platform(), SettingsKey.root, SettingsKey.path, SettingOnTop,
                   std::to_string(value));
}

void formMain::tmrSN_Timer() {
    // Unsigned: a serial with the top bit set is still a device that answered.
    const std::uint32_t serial = link_.QuerySerialNumber();
    if (serial > 0) {
        window_.SetCaption(ControlId::lblSerNum, "SN: " + std::to_string(serial));
        window_.SetForeColor(ControlId::lblSerNum, ColorBlack);
    } else {
        window_.SetForeColor(ControlId::lblSerNum, ColorRed);
    }
}

// ---- Event routing -------------------------------------------------------

void formMain::Change(ControlId box) {
    switch (box) {
    case ControlId::txtAmpX:
        txtAmpX_Change();
        break;
    case ControlId::txtAmpY:
        txtAmpY_Change();
        break;
    case ControlId::TxtPhase:
        TxtPhase_Change();
        break;
    default:
        break;
    }
}

void formMain::Click(ControlId control) {
    switch (control) {
    case ControlId::cmdReset:
        cmdReset_Click();
        break;
    case ControlId::cmdStandby:
        cmdStandby_Click();
        break;
    case ControlId::cmdMin:
        cmdMin_Click();
        break;
    case ControlId::cmdMedium:
        cmdMedium_Click();
        break;
    case ControlId::cmdMax:
        cmdMax_Click();
        break;
    case ControlId::cmdTriple:
        cmdTriple_Click();
        break;
    case ControlId::chkOnTop:
        chkOnTop_Click();
        break;
    default:
        break;
    }
}

void formMain::KeyDown(ControlId box, std::int16_t keyCode, std::int16_t shift) {
    switch (box) {
    case ControlId::txtAmpX:
        txtAmpX_KeyDown(keyCode, shift);
        break;
    case ControlId::txtAmpY:
        txtAmpY_KeyDown(keyCode, shift);
        break;
    case ControlId::TxtPhase:
        TxtPhase_KeyDown(keyCode, shift);
        break;
    default:
        break;
    }
}

void formMain::Timer(ControlId timer) {
    if (timer == ControlId::tmrSN) {
        tmrSN_Timer();
    }
}

} // namespace morlix
