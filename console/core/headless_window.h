// A window without a window system: the controls' state in memory, and the
// operator's actions (typing, pasting, keys, clicks, timer ticks) replayed
// the way a Windows edit control and form would deliver them. Tests drive
// the handlers through it; the command-line front end does the same.
#pragma once

#include "window.h"
#include "window_rules.h"

#include <array>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace morlix {

struct HeadlessOptions {
    // 1280 x 1024 pixels at 15 twips per pixel.
    float screenWidth = 19200;
    float screenHeight = 15360;
    // Outer size: the client area plus a sizing frame and a caption bar.
    float width = 7440;
    float height = 2265;
    // Where the system would have placed the window.
    float top = 1800;
    float left = 1800;
    bool prevInstance = false;
};

struct WindowPosCall {
    std::intptr_t insertAfter;
    int x, y, cx, cy;
    std::uint32_t flags;
    bool operator==(const WindowPosCall&) const = default;
};

enum class ZOrder { Normal, Topmost, Bottom };

class HeadlessWindow : public Window {
public:
    explicit HeadlessWindow(const WindowLayout& layout = MainWindowLayout(),
                            HeadlessOptions options = {});

    // The form that receives this window's events; may be changed later.
    void Attach(FormEvents* form) { rules_.Attach(form); }

    // Every visible change (texts, captions, colours, focus, check value,
    // placement) is reported here as one line, e.g. "lblAmpX.ForeColor=255".
    void SetObserver(std::function<void(std::string_view)> observer) {
        observer_ = std::move(observer);
    }

    // ---- Window ----
    std::string Text(ControlId box) const override;
    void SetText(ControlId box, std::string_view text) override;
    std::string Tag(ControlId control) const override;
    void SetTag(ControlId control, std::string_view text) override;
    std::string Caption(ControlId label) const override;
    void SetCaption(ControlId label, std::string_view text) override;
    Color ForeColor(ControlId label) const override;
    void SetForeColor(ControlId label, Color color) override;
    int CheckValue(ControlId box) const override;
    void SetCheckValue(ControlId box, int value) override;
    ControlId Focus() const override { return rules_.LastFocus(); }
    void SetFocus(ControlId control) override;
    float Top() const override { return top_; }
    float Left() const override { return left_; }
    float Width() const override { return options_.width; }
    float Height() const override { return options_.height; }
    void SetTop(float twips) override;
    void SetLeft(float twips) override;
    float ScreenWidth() const override { return options_.screenWidth; }
    float ScreenHeight() const override { return options_.screenHeight; }
    std::int32_t SetWindowPos(std::intptr_t insertAfter, int x, int y, int cx, int cy,
                              std::uint32_t flags) override;
    bool PrevInstance() const override { return options_.prevInstance; }
    void End() override;

    // ---- The window's life ----
    // Runs the form's load handling; afterwards the window is shown unless
    // the form ended the program.
    void Load();
    // Runs the form's unload handling and closes the window.
    void Unload();
    bool Ended() const { return ended_; }
    bool Shown() const { return shown_; }

    // ---- The operator ----
    // Types characters (UTF-8) into a box at its caret, one change event per
    // accepted character. A character that would pass the box's length
    // limit is refused, as an edit control refuses it. Returns how many
    // characters were accepted.
    int Type(ControlId box, std::string_view text);
    // Pastes at the caret, replacing the selection; the pasted text is cut
    // at its first line break and to what the length limit leaves room for.
    // One change event at most.
    void Paste(ControlId box, std::string_view text);
    // Deletes the selection, or the character before the caret.
    void Backspace(ControlId box);
    // Selects characters [start, start + length) of a box, clipped to its text.
    void Select(ControlId box, int start, int length);
    void SelectAll(ControlId box);
    // Empties a box the way an operator does: select all, then delete.
    void Clear(ControlId box);
    // A key goes down: the form's key preview first, then the key handler of
    // the box that had the focus, then the box's own caret movement. Alt+F4
    // closes the window as Unload does.
    void PressKey(std::int16_t keyCode, std::int16_t shift = 0);
    // A mouse click: the control takes the focus; a button runs its click
    // handling, a check box toggles.
    void Click(ControlId control);
    // Tab / Shift+Tab: the next or previous control in tab order takes the focus.
    void Tab(bool backward = false);
    // One tick of a timer control.
    void Tick(ControlId timer = ControlId::tmrSN);

    // Caret position and selection length of a box, in characters.
    int CaretOf(ControlId box) const;
    int SelectionLengthOf(ControlId box) const;
    int MaxLengthOf(ControlId box) const;
    ZOrder Stacking() const { return zOrder_; }
    const std::vector<WindowPosCall>& WindowPosCalls() const { return windowPosCalls_; }
    const WindowLayout& Layout() const { return layout_; }

private:
    // What the edit controls and the check box keep beyond the shared rules.
    struct ControlState {
        int checkValue = 0;
        std::size_t selAnchor = 0; // byte offsets on character boundaries
        std::size_t caret = 0;
    };

    ControlState& StateOf(ControlId id);
    const ControlState& StateOf(ControlId id) const;
    bool Live() const { return !ended_; }
    void Report(ControlId id, const char* property, std::string_view value);
    // Replaces the box's selection with text and raises the change event if
    // the text differs.
    void ReplaceSelection(ControlId box, std::string_view text);
    void ChangeText(ControlId box, std::string_view newText, std::size_t newCaret);

    const WindowLayout& layout_;
    HeadlessOptions options_;
    WindowRules rules_;
    std::array<ControlState, ControlCount> controls_{};
    std::function<void(std::string_view)> observer_;
    float top_;
    float left_;
    ZOrder zOrder_ = ZOrder::Normal;
    std::vector<WindowPosCall> windowPosCalls_;
    bool ended_ = false;
    bool shown_ = false;
};

// UTF-8 helpers shared with the front ends: characters are counted by their
// lead bytes, so stray bytes never split or lose anything.
int CharCount(std::string_view text);
// Byte offset of character index (clipped to the end of the text).
std::size_t ByteOffsetOfChar(std::string_view text, int charIndex);

} // namespace morlix
