#include "session.h"

#include <charconv>
#include <sstream>

namespace morlix::cli {

namespace {

std::string Twips(float value) {
    char buffer[32];
    auto [end, error] = std::to_chars(buffer, buffer + sizeof buffer, value);
    return error == std::errc{} ? std::string(buffer, end) : std::string("?");
}

std::string Quoted(const std::string& text) {
    return "\"" + text + "\"";
}

const char* ZOrderName(ZOrder order) {
    switch (order) {
    case ZOrder::Topmost:
        return "topmost";
    case ZOrder::Bottom:
        return "bottom";
    case ZOrder::Normal:
        break;
    }
    return "normal";
}

} // namespace

std::string ColorName(Color color) {
    if (color == ColorBlack) {
        return "black";
    }
    if (color == ColorRed) {
        return "red";
    }
    return "rgb(" + std::to_string(color & 0xFF) + "," + std::to_string((color >> 8) & 0xFF) + "," +
           std::to_string((color >> 16) & 0xFF) + ")";
}

Session::Session(Machine& machine, HeadlessOptions windowOptions, std::ostream& out,
                 std::ostream& err, std::ostream* trace)
    : machine_(machine), window_(MainWindowLayout(), windowOptions), link_(machine.platform()),
      form_(window_, link_), out_(out), err_(err) {
    window_.Attach(&form_);
    if (trace != nullptr) {
        window_.SetObserver([trace](std::string_view line) { *trace << "  " << line << '\n'; });
    }
}

bool Session::Start() {
    window_.Load();
    return window_.Shown();
}

void Session::Finish() {
    if (window_.Shown()) {
        window_.Unload();
    }
}

bool Session::Run(const Command& command) {
    if (!window_.Shown()) {
        return false;
    }
    switch (command.verb) {
    case Verb::Type:
        // Tabbing into an edit box selects its text, so typing replaces it.
        window_.SetFocus(command.control);
        window_.SelectAll(command.control);
        window_.Type(command.control, command.text);
        break;
    case Verb::Append:
        window_.SetFocus(command.control);
        window_.Select(command.control, CharCount(window_.Text(command.control)), 0);
        window_.Type(command.control, command.text);
        break;
    case Verb::Paste:
        window_.SetFocus(command.control);
        window_.SelectAll(command.control);
        window_.Paste(command.control, command.text);
        break;
    case Verb::Clear:
        window_.SetFocus(command.control);
        window_.Clear(command.control);
        break;
    case Verb::Backspace:
        window_.SetFocus(command.control);
        window_.Backspace(command.control);
        break;
    case Verb::Key:
        if (command.control != ControlId::FormWindow) {
            window_.SetFocus(command.control);
        }
        window_.PressKey(command.keyCode, command.shift);
        break;
    case Verb::Click:
        window_.Click(command.control);
        break;
    case Verb::Focus:
        window_.SetFocus(command.control);
        break;
    case Verb::Tick:
        for (int i = 0; i < command.count; ++i) {
            window_.Tick(ControlId::tmrSN);
        }
        break;
    case Verb::Show:
        out_ << DescribeWindow();
        break;
    case Verb::Coil: {
        std::string text;
        std::string reason;
        if (machine_.DescribeCoil(text, reason)) {
            out_ << text;
        } else {
            err_ << "coil: " << reason << "\n";
        }
        break;
    }
    case Verb::Unplug:
    case Verb::Plug: {
        std::string reason;
        const bool unplug = command.verb == Verb::Unplug;
        if (!(unplug ? machine_.UnplugChip(reason) : machine_.PlugChip(reason))) {
            err_ << (unplug ? "unplug: " : "plug: ") << reason << "\n";
        }
        break;
    }
    case Verb::Help:
        out_ << HelpText();
        break;
    case Verb::Quit:
        return false;
    }
    out_.flush();
    return window_.Shown();
}

std::string Session::DescribeWindow() const {
    std::ostringstream text;
    const WindowLayout& layout = window_.Layout();
    text << "window " << Quoted(layout.caption) << " top=" << Twips(window_.Top())
         << " left=" << Twips(window_.Left()) << " z-order=" << ZOrderName(window_.Stacking())
         << " focus=" << ControlName(window_.Focus()) << "\n";
    const struct {
        ControlId box;
        ControlId label;
    } rows[] = {{ControlId::txtAmpX, ControlId::lblAmpX},
                {ControlId::txtAmpY, ControlId::lblAmpY},
                {ControlId::TxtPhase, ControlId::lblPhase}};
    for (const auto& row : rows) {
        text << ControlName(row.box) << " " << Quoted(window_.Text(row.box)) << "  "
             << ControlName(row.label) << " " << Quoted(window_.Caption(row.label)) << " "
             << ColorName(window_.ForeColor(row.label)) << "\n";
    }
    text << "lblSerNum " << Quoted(window_.Caption(ControlId::lblSerNum)) << " "
         << ColorName(window_.ForeColor(ControlId::lblSerNum)) << "\n";
    text << "chkOnTop " << window_.CheckValue(ControlId::chkOnTop) << "\n";
    return text.str();
}

} // namespace morlix::cli
