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

std::string SettingText(const sim::usb::CoilSetting& setting) {
    std::ostringstream text;
    text << "setting: X=" << setting.amplitudeX << " Y=" << setting.amplitudeY
         << " phase=" << static_cast<int>(setting.phase)
         << " standby=" << (setting.standby ? "yes" : "no") << " record=[";
    for (std::size_t i = 0; i < setting.record.size(); ++i) {
        text << (i ? " " : "") << setting.record[i].amplitude << "@"
             << static_cast<int>(setting.record[i].phase);
    }
    text << "]";
    return text.str();
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

Session::Session(SimMachine& machine, HeadlessOptions windowOptions, std::ostream& out,
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
    case Verb::Coil:
        out_ << DescribeCoil();
        break;
    case Verb::Unplug:
        if (!machine_.Unplug()) {
            err_ << "unplug: the chip is not plugged\n";
        }
        break;
    case Verb::Plug:
        if (machine_.Plugged()) {
            err_ << "plug: the chip is already plugged\n";
        } else if (!machine_.Plug()) {
            err_ << "plug: the driver did not start on the chip\n";
        }
        break;
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

std::string Session::DescribeCoil() {
    sim::usb::CoilDriverModel& coil = machine_.coil();
    const std::vector<sim::usb::LatchedWord> words = coil.LatchedWords();
    const std::vector<sim::usb::ExecutedTransaction> transactions = coil.Transactions();
    const std::vector<std::string> anomalies = coil.Anomalies();
    std::ostringstream text;
    const std::size_t newWords = words.size() - std::min(wordsShown_, words.size());
    text << "latched " << newWords << (newWords == 1 ? " word" : " words") << ":";
    for (std::size_t i = words.size() - newWords; i < words.size(); ++i) {
        text << " " << words[i].Word();
    }
    text << "\n";
    for (std::size_t i = std::min(transactionsShown_, transactions.size()); i < transactions.size();
         ++i) {
        text << "executed:";
        for (const sim::usb::DecodedFrame& frame : transactions[i].frames) {
            text << " " << sim::usb::FrameKindName(frame.kind) << "(A=" << frame.amplitude
                 << " phase=" << static_cast<int>(frame.phase) << ")";
        }
        text << "\n";
    }
    for (std::size_t i = std::min(anomaliesShown_, anomalies.size()); i < anomalies.size(); ++i) {
        text << "anomaly: " << anomalies[i] << "\n";
    }
    text << SettingText(coil.Setting()) << "\n";
    text << "chip: " << (machine_.Plugged() ? "plugged" : "not plugged") << "\n";
    wordsShown_ = words.size();
    transactionsShown_ = transactions.size();
    anomaliesShown_ = anomalies.size();
    return text.str();
}

} // namespace morlix::cli
