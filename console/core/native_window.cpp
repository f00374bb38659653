#include "native_window.h"

namespace morlix {

NativeWindow::NativeWindow(bool prevInstance)
    : rules_(MainWindowLayout(), [this] { return Live(); }), prevInstance_(prevInstance) {}

void NativeWindow::SetForeColor(ControlId label, Color color) {
    if (!Valid(label)) {
        return;
    }
    rules_.SetForeColor(label, color);
    if (HasControl(label)) {
        ShowForeColor(label, color);
    }
}

void NativeWindow::SetCheckValue(ControlId box, int value) {
    if (!Valid(box) || !HasControl(box) || LayoutOf(box).kind != ControlKind::CheckBox) {
        return;
    }
    const int wanted = value == CheckChecked ? CheckChecked : CheckUnchecked;
    if (CheckValue(box) == wanted) {
        return;
    }
    ShowCheckValue(box, wanted);
    // As a click by the operator would.
    rules_.Clicked(box);
}

void NativeWindow::SetFocus(ControlId control) {
    if (rules_.RememberFocus(control) && shown_ && HasControl(control)) {
        TakeFocus(control);
    }
}

bool NativeWindow::RunLoad() {
    if (!Live()) {
        return false;
    }
    if (FormEvents* form = rules_.Form()) {
        form->Load();
    }
    return Live();
}

void NativeWindow::RunUnload() {
    if (unloaded_ || ended_ || !Exists()) {
        return;
    }
    unloaded_ = true;
    if (FormEvents* form = rules_.Form()) {
        form->Unload();
    }
}

void NativeWindow::TextEdited(ControlId box) {
    if (WindowRules::IsTextBox(box) && HasControl(box)) {
        rules_.TextShown(box, Text(box));
    }
}

bool NativeWindow::TabKey(std::int16_t shift) {
    if ((shift & (CtrlMask | AltMask)) != 0) {
        return false;
    }
    SetFocus(rules_.NextInTabOrder(Focus(), (shift & ShiftMask) != 0));
    return true;
}

bool NativeWindow::GiveFocusBack() {
    const ControlId last = rules_.LastFocus();
    if (!Valid(last) || !HasControl(last)) {
        return false;
    }
    TakeFocus(last);
    return true;
}

} // namespace morlix
