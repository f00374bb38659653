#include "device_label.h"

#include "fltk_window.h"

#include <FL/Fl_Widget.H>

namespace morlix {

void ShowDevice(FltkWindow& window, const std::string& description) {
    if (Fl_Widget* serial = window.ControlWidget(ControlId::lblSerNum)) {
        serial->copy_tooltip(description.c_str());
    }
}

} // namespace morlix
