// One run of the console on the simulated machine: the headless window with
// formMain attached, its device link on the machine's platform, and the
// commands of morlixctl carried out on them.
#pragma once

#include "commands.h"
#include "form_main.h"
#include "headless_window.h"
#include "sim_machine.h"
#include "usb_link.h"

#include <cstddef>
#include <ostream>
#include <string>

namespace morlix::cli {

class Session {
public:
    // Every visible change of the window goes to `trace` as it happens when
    // it is given.
    Session(SimMachine& machine, HeadlessOptions windowOptions, std::ostream& out,
            std::ostream& err, std::ostream* trace = nullptr);

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
    // The coil driver's words since the last call, and its setting, as
    // `coil` prints them.
    std::string DescribeCoil();

private:
    SimMachine& machine_;
    HeadlessWindow window_;
    UsbLink link_;
    formMain form_;
    std::ostream& out_;
    std::ostream& err_;
    std::size_t wordsShown_ = 0;
    std::size_t transactionsShown_ = 0;
    std::size_t anomaliesShown_ = 0;
};

// A colour as "black", "red" or "rgb(r,g,b)".
std::string ColorName(Color color);

} // namespace morlix::cli
