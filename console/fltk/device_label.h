// Tells on the console's window which device it runs on without touching its
// caption, which is the console's own: the serial-number label, the one sign
// of the device's presence, carries it as its tooltip.
#pragma once

#include <string>

namespace morlix {

class FltkWindow;

// After Create; the text is copied.
void ShowDevice(FltkWindow& window, const std::string& description);

} // namespace morlix
