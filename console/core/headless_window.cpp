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
    : layout_(layout), options_(options), focus_(layout.initialFocus), top_(options.top),
      left_(options.left) {
    for (const ControlLayout& control : layout_.controls) {
        ControlState& state = StateOf(control.id);
        state.text = control.text ? control.text : "";
        state.foreColor = control.hasForeColor ? control.foreColor : ColorBlack;
        state.checkValue = control.checkValue;
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

bool HeadlessWindow::IsTextBox(ControlId id) const {
    return id != ControlId::FormWindow && LayoutOf(id).kind == ControlKind::TextBox;
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
    return StateOf(box).text;
}

void HeadlessWindow::SetText(ControlId box, std::string_view text) {
    // An edit control puts the caret at the start after a program write.
    ChangeText(box, std::string(text), 0);
}

void HeadlessWindow::ChangeText(ControlId box, std::string newText, std::size_t newCaret) {
    ControlState& state = StateOf(box);
    if (state.text == newText) {
        return;
    }
    state.text = std::move(newText);
    state.caret = std::min(newCaret, state.text.size());
    state.selAnchor = state.caret;
    Report(box, "Text", state.text);
    if (IsTextBox(box) && form_ && Live()) {
        form_->Change(box);
    }
}

std::string HeadlessWindow::Tag(ControlId control) const {
    return StateOf(control).tag;
}

void HeadlessWindow::SetTag(ControlId control, std::string_view text) {
    StateOf(control).tag = text;
}

std::string HeadlessWindow::Caption(ControlId label) const {
    return StateOf(label).text;
}

void HeadlessWindow::SetCaption(ControlId label, std::string_view text) {
    ControlState& state = StateOf(label);
    state.text = text;
    Report(label, "Caption", text);
}

Color HeadlessWindow::ForeColor(ControlId label) const {
    return StateOf(label).foreColor;
}

void HeadlessWindow::SetForeColor(ControlId label, Color color) {
    StateOf(label).foreColor = color;
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
    if (form_ && Live()) {
        form_->Click(box);
    }
}

void HeadlessWindow::SetFocus(ControlId control) {
    if (control == ControlId::FormWindow || !TakesFocus(LayoutOf(control).kind)) {
        return;
    }
    if (focus_ != control) {
        focus_ = control;
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
    if (form_) {
        form_->Load();
    }
    shown_ = Live();
}

void HeadlessWindow::Unload() {
    if (!Live()) {
        return;
    }
    if (form_) {
        form_->Unload();
    }
    End();
}

// ---- Operator ------------------------------------------------------------

void HeadlessWindow::ReplaceSelection(ControlId box, std::string_view text) {
    const ControlState& state = StateOf(box);
    const std::size_t from = std::min(state.selAnchor, state.caret);
    const std::size_t to = std::max(state.selAnchor, state.caret);
    std::string newText = state.text.substr(0, from);
    newText += text;
    newText += state.text.substr(to);
    ChangeText(box, std::move(newText), from + text.size());
}

int HeadlessWindow::Type(ControlId box, std::string_view text) {
    if (!IsTextBox(box) || !Live()) {
        return 0;
    }
    const int limit = MaxLengthOf(box);
    int accepted = 0;
    for (std::size_t i = 0; i < text.size();) {
        const std::size_t length = CharLengthAt(text, i);
        const std::string_view character = text.substr(i, length);
        i += length;
        if (!Live()) {
            break;
        }
        const ControlState& state = StateOf(box);
        const int kept = CharCount(state.text) - SelectionLengthOf(box);
        if (limit > 0 && kept + 1 > limit) {
            continue; // refused, as the edit control beeps and drops it
        }
        ReplaceSelection(box, character);
        ++accepted;
    }
    return accepted;
}

void HeadlessWindow::Paste(ControlId box, std::string_view text) {
    if (!IsTextBox(box) || !Live()) {
        return;
    }
    const int limit = MaxLengthOf(box);
    std::string_view pasted = text;
    if (limit > 0) {
        const int room = std::max(0, limit - (CharCount(Text(box)) - SelectionLengthOf(box)));
        pasted = text.substr(0, ByteOffsetOfChar(text, room));
    }
    ReplaceSelection(box, pasted);
}

void HeadlessWindow::Backspace(ControlId box) {
    if (!IsTextBox(box) || !Live()) {
        return;
    }
    ControlState& state = StateOf(box);
    if (state.selAnchor == state.caret) {
        state.selAnchor = PreviousCharStart(state.text, state.caret);
    }
    ReplaceSelection(box, "");
}

void HeadlessWindow::Select(ControlId box, int start, int length) {
    ControlState& state = StateOf(box);
    start = std::max(0, start);
    length = std::max(0, length);
    state.selAnchor = ByteOffsetOfChar(state.text, start);
    // Characters counted from the anchor, so a huge length cannot overflow.
    state.caret = state.selAnchor +
                  ByteOffsetOfChar(std::string_view(state.text).substr(state.selAnchor), length);
}

void HeadlessWindow::SelectAll(ControlId box) {
    ControlState& state = StateOf(box);
    state.selAnchor = 0;
    state.caret = state.text.size();
}

void HeadlessWindow::Clear(ControlId box) {
    SelectAll(box);
    Backspace(box);
}

void HeadlessWindow::PressKey(std::int16_t keyCode, std::int16_t shift) {
    if (!Live()) {
        return;
    }
    // The key belongs to the control that had the focus when it went down,
    // even if the form's preview moves the focus.
    const ControlId target = focus_;
    if (form_) {
        form_->FormKeyDown(keyCode, shift);
    }
    if (!IsTextBox(target) || !Live()) {
        return;
    }
    if (form_) {
        form_->KeyDown(target, keyCode, shift);
    }
    // The handler does not consume the key: the box still moves its caret.
    ControlState& state = StateOf(target);
    const bool extend = (shift & ShiftMask) != 0;
    std::size_t caret = state.caret;
    switch (keyCode) {
    case KeyHome:
        caret = 0;
        break;
    case KeyEnd:
        caret = state.text.size();
        break;
    case KeyArrowLeft:
        caret = PreviousCharStart(state.text, state.caret);
        break;
    case KeyArrowRight:
        if (state.caret < state.text.size()) {
            caret = state.caret + CharLengthAt(state.text, state.caret);
        }
        break;
    default:
        return;
    }
    state.caret = std::min(caret, state.text.size());
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
        if (form_) {
            form_->Click(control);
        }
    } else if (kind == ControlKind::CheckBox) {
        SetCheckValue(control, CheckValue(control) == CheckChecked ? CheckUnchecked : CheckChecked);
    }
}

void HeadlessWindow::Tab(bool backward) {
    std::vector<const ControlLayout*> stops;
    for (const ControlLayout& control : layout_.controls) {
        if (TakesFocus(control.kind) && control.tabIndex >= 0) {
            stops.push_back(&control);
        }
    }
    if (stops.empty()) {
        return;
    }
    std::sort(stops.begin(), stops.end(), [](const ControlLayout* a, const ControlLayout* b) {
        return a->tabIndex < b->tabIndex;
    });
    auto here = std::find_if(stops.begin(), stops.end(),
                             [this](const ControlLayout* c) { return c->id == focus_; });
    std::size_t index = here == stops.end() ? 0 : static_cast<std::size_t>(here - stops.begin());
    const std::size_t count = stops.size();
    index = backward ? (index + count - 1) % count : (index + 1) % count;
    SetFocus(stops[index]->id);
}

void HeadlessWindow::Tick(ControlId timer) {
    if (Live() && shown_ && form_) {
        form_->Timer(timer);
    }
}

int HeadlessWindow::CaretOf(ControlId box) const {
    const ControlState& state = StateOf(box);
    return CharCount(std::string_view(state.text).substr(0, state.caret));
}

int HeadlessWindow::SelectionLengthOf(ControlId box) const {
    const ControlState& state = StateOf(box);
    const std::size_t from = std::min(state.selAnchor, state.caret);
    const std::size_t to = std::max(state.selAnchor, state.caret);
    return CharCount(std::string_view(state.text).substr(from, to - from));
}

int HeadlessWindow::MaxLengthOf(ControlId box) const {
    return box == ControlId::FormWindow ? 0 : LayoutOf(box).maxLength;
}

} // namespace morlix
