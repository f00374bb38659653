#include "headless_window.h"

#include <algorithm>
#include <charconv>

namespace morlix {

namespace {

bool IsContinuationByte(char c) {
    return (static_cast<unsigned char>(c) & 0xC0) == 0x80;
}

// Byte length of the character that starts at offset.
std::size_t CharLengthAt(std::string_view text, std::size_t offset) {
    std::size_t end = offset + 1;
    while (end < text.size() && IsContinuationByte(text[end])) {
        ++end;
    }
    return end - offset;
}

std::size_t PreviousCharStart(std::string_view text, std::size_t offset) {
    if (offset == 0) {
        return 0;
    }
    std::size_t start = offset - 1;
    while (start > 0 && IsContinuationByte(text[start])) {
        --start;
    }
    return start;
}

std::string NumberText(double value) {
    char buffer[64];
    auto [end, error] = std::to_chars(buffer, buffer + sizeof buffer, value);
    return error == std::errc{} ? std::string(buffer, end) : std::string("?");
}

} // namespace

int CharCount(std::string_view text) {
    int count = 0;
    for (std::size_t i = 0; i < text.size(); i += CharLengthAt(text, i)) {
        ++count;
    }
    return count;
}

std::size_t ByteOffsetOfChar(std::string_view text, int charIndex) {
    std::size_t offset = 0;
    for (int i = 0; i < charIndex && offset < text.size(); ++i) {
        offset += CharLengthAt(text, offset);
    }
    return offset;
}

HeadlessWindow::HeadlessWindow(const WindowLayout& layout, HeadlessOptions options)
    : layout_(layout), options_(options), rules_(layout, [this] { return Live(); }),
      top_(options.top), left_(options.left) {
    for (const ControlLayout& control : layout_.controls) {
        StateOf(control.id).checkValue = control.checkValue;
    }
}

HeadlessWindow::ControlState& HeadlessWindow::StateOf(ControlId id) {
    int index = static_cast<int>(id);
    // Unknown ids land on a spare slot rather than outside the array.
    return controls_[index >= 0 && index < ControlCount ? index : 0];
}

const HeadlessWindow::ControlState& HeadlessWindow::StateOf(ControlId id) const {
    int index = static_cast<int>(id);
    return controls_[index >= 0 && index < ControlCount ? index : 0];
}

void HeadlessWindow::Report(ControlId id, const char* property, std::string_view value) {
    if (!observer_) {
        return;
    }
    std::string line = ControlName(id);
    line += '.';
    line += property;
    line += '=';
    line += value;
    observer_(line);
}

// ---- Window --------------------------------------------------------------

std::string HeadlessWindow::Text(ControlId box) const {
    return rules_.Text(box);
}

void HeadlessWindow::SetText(ControlId box, std::string_view text) {
    // An edit control puts the caret at the start after a program write.
    ChangeText(box, text, 0);
}

void HeadlessWindow::ChangeText(ControlId box, std::string_view newText, std::size_t newCaret) {
    if (!rules_.Record(box, newText)) {
        return;
    }
    const std::string& text = rules_.Text(box);
    ControlState& state = StateOf(box);
    state.caret = std::min(newCaret, text.size());
    state.selAnchor = state.caret;
    Report(box, "Text", text);
    rules_.Changed(box);
}

std::string HeadlessWindow::Tag(ControlId control) const {
    return rules_.Tag(control);
}

void HeadlessWindow::SetTag(ControlId control, std::string_view text) {
    rules_.SetTag(control, text);
}

std::string HeadlessWindow::Caption(ControlId label) const {
    return rules_.Caption(label);
}

void HeadlessWindow::SetCaption(ControlId label, std::string_view text) {
    rules_.SetCaption(label, text);
    Report(label, "Caption", text);
}

Color HeadlessWindow::ForeColor(ControlId label) const {
    return rules_.ForeColor(label);
}

void HeadlessWindow::SetForeColor(ControlId label, Color color) {
    rules_.SetForeColor(label, color);
    Report(label, "ForeColor", std::to_string(color));
}

int HeadlessWindow::CheckValue(ControlId box) const {
    return StateOf(box).checkValue;
}

void HeadlessWindow::SetCheckValue(ControlId box, int value) {
    ControlState& state = StateOf(box);
    if (state.checkValue == value) {
        return;
    }
    state.checkValue = value;
    Report(box, "Value", std::to_string(value));
    rules_.Clicked(box);
}

void HeadlessWindow::SetFocus(ControlId control) {
    if (rules_.LastFocus() != control && rules_.RememberFocus(control)) {
        Report(ControlId::FormWindow, "Focus", ControlName(control));
    }
}

void HeadlessWindow::SetTop(float twips) {
    top_ = twips;
    Report(ControlId::FormWindow, "Top", NumberText(twips));
}

void HeadlessWindow::SetLeft(float twips) {
    left_ = twips;
    Report(ControlId::FormWindow, "Left", NumberText(twips));
}

std::int32_t HeadlessWindow::SetWindowPos(std::intptr_t insertAfter, int x, int y, int cx, int cy,
                                          std::uint32_t flags) {
    windowPosCalls_.push_back({insertAfter, x, y, cx, cy, flags});
    if (insertAfter == HwndTopmost) {
        zOrder_ = ZOrder::Topmost;
    } else if (insertAfter == HwndBottom) {
        zOrder_ = ZOrder::Bottom;
    } else {
        zOrder_ = ZOrder::Normal;
    }
    if ((flags & SwpNoMove) == 0) {
        left_ = static_cast<float>(x);
        top_ = static_cast<float>(y);
    }
    Report(ControlId::FormWindow, "ZOrder", std::to_string(insertAfter));
    return 1;
}

void HeadlessWindow::End() {
    ended_ = true;
    shown_ = false;
}

// ---- Life ----------------------------------------------------------------

void HeadlessWindow::Load() {
    if (!Live()) {
        return;
    }
    if (FormEvents* form = rules_.Form()) {
        form->Load();
    }
    shown_ = Live();
}

void HeadlessWindow::Unload() {
    if (!Live()) {
        return;
    }
    if (FormEvents* form = rules_.Form()) {
        form->Unload();
    }
    End();
}

// ---- Operator ------------------------------------------------------------

void HeadlessWindow::ReplaceSelection(ControlId box, std::string_view text) {
    const ControlState& state = StateOf(box);
    const std::string& old = rules_.Text(box);
    const std::size_t from = std::min({state.selAnchor, state.caret, old.size()});
    const std::size_t to = std::min(std::max(state.selAnchor, state.caret), old.size());
    std::string newText = old.substr(0, from);
    newText += text;
    newText += old.substr(to);
    ChangeText(box, newText, from + text.size());
}

int HeadlessWindow::Type(ControlId box, std::string_view text) {
    if (!WindowRules::IsTextBox(box) || !Live()) {
        return 0;
    }
    int accepted = 0;
    for (std::size_t i = 0; i < text.size();) {
        const std::size_t length = CharLengthAt(text, i);
        const std::string_view character = text.substr(i, length);
        i += length;
        if (!Live()) {
            break;
        }
        const int kept = CharCount(rules_.Text(box)) - SelectionLengthOf(box);
        if (WindowRules::OperatorRoom(box, kept) < 1) {
            continue; // refused, as the edit control beeps and drops it
        }
        ReplaceSelection(box, character);
        ++accepted;
    }
    return accepted;
}

void HeadlessWindow::Paste(ControlId box, std::string_view text) {
    if (!WindowRules::IsTextBox(box) || !Live()) {
        return;
    }
    text = WindowRules::PastedLine(text);
    const int kept = CharCount(rules_.Text(box)) - SelectionLengthOf(box);
    const int room = WindowRules::OperatorRoom(box, kept);
    ReplaceSelection(box, text.substr(0, ByteOffsetOfChar(text, room)));
}

void HeadlessWindow::Backspace(ControlId box) {
    if (!WindowRules::IsTextBox(box) || !Live()) {
        return;
    }
    ControlState& state = StateOf(box);
    if (state.selAnchor == state.caret) {
        state.selAnchor = PreviousCharStart(rules_.Text(box), state.caret);
    }
    ReplaceSelection(box, "");
}

void HeadlessWindow::Select(ControlId box, int start, int length) {
    ControlState& state = StateOf(box);
    const std::string_view text = rules_.Text(box);
    start = std::max(0, start);
    length = std::max(0, length);
    state.selAnchor = ByteOffsetOfChar(text, start);
    // Characters counted from the anchor, so a huge length cannot overflow.
    state.caret = state.selAnchor + ByteOffsetOfChar(text.substr(state.selAnchor), length);
}

void HeadlessWindow::SelectAll(ControlId box) {
    ControlState& state = StateOf(box);
    state.selAnchor = 0;
    state.caret = rules_.Text(box).size();
}

void HeadlessWindow::Clear(ControlId box) {
    SelectAll(box);
    Backspace(box);
}

void HeadlessWindow::PressKey(std::int16_t keyCode, std::int16_t shift) {
    if (!Live()) {
        return;
    }
    if (WindowRules::ClosesWindow(keyCode, shift)) {
        Unload();
        return;
    }
    // The key belongs to the control that had the focus when it went down,
    // even if the form's preview moves the focus.
    const ControlId target = rules_.LastFocus();
    if (!rules_.KeyDown(target, keyCode, shift) || !WindowRules::IsTextBox(target)) {
        return;
    }
    // The handler does not consume the key: the box still moves its caret.
    ControlState& state = StateOf(target);
    const std::string_view text = rules_.Text(target);
    const bool extend = (shift & ShiftMask) != 0;
    std::size_t caret = state.caret;
    switch (keyCode) {
    case KeyHome:
        caret = 0;
        break;
    case KeyEnd:
        caret = text.size();
        break;
    case KeyArrowLeft:
        caret = PreviousCharStart(text, std::min(state.caret, text.size()));
        break;
    case KeyArrowRight:
        if (state.caret < text.size()) {
            caret = state.caret + CharLengthAt(text, state.caret);
        }
        break;
    default:
        return;
    }
    state.caret = std::min(caret, text.size());
    if (!extend) {
        state.selAnchor = state.caret;
    }
}

void HeadlessWindow::Click(ControlId control) {
    if (!Live() || control == ControlId::FormWindow) {
        return;
    }
    const ControlKind kind = LayoutOf(control).kind;
    SetFocus(control);
    if (kind == ControlKind::CommandButton) {
        rules_.Clicked(control);
    } else if (kind == ControlKind::CheckBox) {
        SetCheckValue(control, CheckValue(control) == CheckChecked ? CheckUnchecked : CheckChecked);
    }
}

void HeadlessWindow::Tab(bool backward) {
    SetFocus(rules_.NextInTabOrder(rules_.LastFocus(), backward));
}

void HeadlessWindow::Tick(ControlId timer) {
    rules_.Ticked(timer, shown_);
}

int HeadlessWindow::CaretOf(ControlId box) const {
    const std::string_view text = rules_.Text(box);
    return CharCount(text.substr(0, std::min(StateOf(box).caret, text.size())));
}

int HeadlessWindow::SelectionLengthOf(ControlId box) const {
    const ControlState& state = StateOf(box);
    const std::string_view text = rules_.Text(box);
    const std::size_t from = std::min({state.selAnchor, state.caret, text.size()});
    const std::size_t to = std::min(std::max(state.selAnchor, state.caret), text.size());
    return CharCount(text.substr(from, to - from));
}

int HeadlessWindow::MaxLengthOf(ControlId box) const {
    return WindowRules::OperatorLimit(box);
}

} // namespace morlix
