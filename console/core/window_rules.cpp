#include "window_rules.h"

#include <algorithm>
#include <limits>
#include <vector>

namespace morlix {

namespace {

const std::string NoText;

} // namespace

WindowRules::WindowRules(const WindowLayout& layout, std::function<bool()> live)
    : layout_(layout), live_(std::move(live)), lastFocus_(layout.initialFocus) {
    for (const ControlLayout& control : layout_.controls) {
        if (!Valid(control.id)) {
            continue;
        }
        ControlState& state = controls_[static_cast<std::size_t>(control.id)];
        state.text = control.text ? control.text : "";
        state.foreColor = control.hasForeColor ? control.foreColor : ColorBlack;
    }
}

bool WindowRules::Valid(ControlId id) {
    const int index = static_cast<int>(id);
    return index >= 0 && index < ControlCount;
}

bool WindowRules::IsTextBox(ControlId id) {
    return Valid(id) && LayoutOf(id).kind == ControlKind::TextBox;
}

bool WindowRules::Focusable(ControlId id) {
    return Valid(id) && TakesFocus(LayoutOf(id).kind);
}

const std::string& WindowRules::Text(ControlId control) const {
    return Valid(control) ? controls_[static_cast<std::size_t>(control)].text : NoText;
}

bool WindowRules::Record(ControlId control, std::string_view text) {
    if (!Valid(control)) {
        return false;
    }
    std::string& known = controls_[static_cast<std::size_t>(control)].text;
    if (known == text) {
        return false;
    }
    known = text;
    return true;
}

void WindowRules::Changed(ControlId box) {
    if (IsTextBox(box) && form_ && Live()) {
        form_->Change(box);
    }
}

void WindowRules::TextShown(ControlId box, std::string_view text) {
    if (Record(box, text)) {
        Changed(box);
    }
}

int WindowRules::OperatorLimit(ControlId box) {
    return IsTextBox(box) ? LayoutOf(box).maxLength : 0;
}

int WindowRules::OperatorRoom(ControlId box, int kept) {
    const int limit = OperatorLimit(box);
    return limit > 0 ? std::max(0, limit - kept) : std::numeric_limits<int>::max();
}

const std::string& WindowRules::Tag(ControlId control) const {
    return Valid(control) ? controls_[static_cast<std::size_t>(control)].tag : NoText;
}

void WindowRules::SetTag(ControlId control, std::string_view text) {
    if (Valid(control)) {
        controls_[static_cast<std::size_t>(control)].tag = text;
    }
}

Color WindowRules::ForeColor(ControlId label) const {
    return Valid(label) ? controls_[static_cast<std::size_t>(label)].foreColor : ColorBlack;
}

void WindowRules::SetForeColor(ControlId label, Color color) {
    if (Valid(label)) {
        controls_[static_cast<std::size_t>(label)].foreColor = color;
    }
}

void WindowRules::Clicked(ControlId control) {
    if (!Valid(control) || !form_ || !Live()) {
        return;
    }
    const ControlKind kind = LayoutOf(control).kind;
    if (kind == ControlKind::CommandButton || kind == ControlKind::CheckBox) {
        form_->Click(control);
    }
}

void WindowRules::Ticked(ControlId timer, bool shown) {
    if (Valid(timer) && LayoutOf(timer).kind == ControlKind::Timer && shown && form_ && Live()) {
        form_->Timer(timer);
    }
}

bool WindowRules::KeyDown(ControlId target, std::int16_t keyCode, std::int16_t shift) {
    if (ClosesWindow(keyCode, shift)) {
        return Live();
    }
    if (form_ && Live()) {
        form_->FormKeyDown(keyCode, shift);
    }
    if (IsTextBox(target) && form_ && Live()) {
        form_->KeyDown(target, keyCode, shift);
    }
    return Live();
}

bool WindowRules::ClosesWindow(std::int16_t keyCode, std::int16_t shift) {
    return keyCode == KeyF4 && (shift & AltMask) != 0 && (shift & CtrlMask) == 0;
}

std::string_view WindowRules::PastedLine(std::string_view text) {
    std::size_t end = std::min(text.find('\n'), text.size());
    if (end < text.size() && end > 0 && text[end - 1] == '\r') {
        --end; // a CR LF pair is one break
    }
    return text.substr(0, end);
}

bool WindowRules::RememberFocus(ControlId control) {
    if (!Focusable(control)) {
        return false;
    }
    lastFocus_ = control;
    return true;
}

ControlId WindowRules::FocusOr(ControlId focused) const {
    return Focusable(focused) ? focused : lastFocus_;
}

ControlId WindowRules::NextInTabOrder(ControlId current, bool backward) const {
    std::vector<const ControlLayout*> stops;
    for (const ControlLayout& control : layout_.controls) {
        if (TakesFocus(control.kind) && control.tabIndex >= 0) {
            stops.push_back(&control);
        }
    }
    if (stops.empty()) {
        return current;
    }
    std::sort(stops.begin(), stops.end(), [](const ControlLayout* a, const ControlLayout* b) {
        return a->tabIndex < b->tabIndex;
    });
    auto here = std::find_if(stops.begin(), stops.end(),
                             [current](const ControlLayout* c) { return c->id == current; });
    std::size_t index = here == stops.end() ? 0 : static_cast<std::size_t>(here - stops.begin());
    const std::size_t count = stops.size();
    index = backward ? (index + count - 1) % count : (index + 1) % count;
    return stops[index]->id;
}

} // namespace morlix
