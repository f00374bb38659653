// One run of the console on a machine: the headless window with formMain
// attached, its device link on the machine's platform, and the commands of
// morlixctl carried out on them.
#pragma once

#include "commands.h"
#include "form_main.h"
#include "headless_window.h"
#include "machine.h"
#include "usb_link.h"

#include <ostream>
#include <string>

namespace morlix::cli {

class Session {
public:
    // Every visible change of the window goes to `trace` as it happens when
    // it is given.
    Session(Machine& machine, HeadlessOptions windowOptions, std::ostream& out, std::ostream& err,
            std::ostream* trace = nullptr);

    // Form_Load. False if the window ended at once (another instance runs).
    bool Start();
    // Runs one command; false once it was quit.
    bool Run(const Command& command);
    // Form_Unload, once, if the window is still up.
    void Finish();

    HeadlessWindow& window() { return window_; }
    formMain& form() { return form_; }
    UsbLink& link() { return link_; }

    // The window as `show` prints it.
    std::string DescribeWindow() const;

private:
    Machine& machine_;
    HeadlessWindow window_;
    UsbLink link_;
    formMain form_;
    std::ostream& out_;
    std::ostream& err_;
};

// A colour as "black", "red" or "rgb(r,g,b)".
std::string ColorName(Color color);

} // namespace morlix::cli
