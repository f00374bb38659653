#include "x11_stacking.h"

#include <FL/Fl.H>
#include <FL/Fl_Window.H>
#include <FL/x.H>

#include <X11/Xlib.h>

#include <cstdlib>

namespace morlix {

bool ApplyStacking(Fl_Window& window, Stacking stacking) {
    if (!window.shown() || !fl_display) {
        return false;
    }
    const ::Window xid = fl_xid(&window);
    if (!xid) {
        return false;
    }
    // The extended window manager hints: a client message to the root
    // window adds or removes the "above" state.
    const Atom state = XInternAtom(fl_display, "_NET_WM_STATE", False);
    const Atom above = XInternAtom(fl_display, "_NET_WM_STATE_ABOVE", False);
    XEvent event{};
    event.xclient.type = ClientMessage;
    event.xclient.window = xid;
    event.xclient.message_type = state;
    event.xclient.format = 32;
    event.xclient.data.l[0] = stacking == Stacking::Topmost ? 1 : 0; // add : remove
    event.xclient.data.l[1] = static_cast<long>(above);
    event.xclient.data.l[2] = 0;
    event.xclient.data.l[3] = 1; // from a normal application
    XSendEvent(fl_display, RootWindow(fl_display, fl_screen), False,
               SubstructureRedirectMask | SubstructureNotifyMask, &event);
    if (stacking == Stacking::Bottom) {
        XLowerWindow(fl_display, xid);
    }
    XFlush(fl_display);
    return true;
}

FrameInsets FrameOf(Fl_Window& window) {
    FrameInsets insets;
    if (!window.shown() || !fl_display) {
        return insets;
    }
    const ::Window client = fl_xid(&window);
    if (!client) {
        return insets;
    }
    // The frame is the client's ancestor that sits on the root window.
    ::Window frame = client;
    for (;;) {
        ::Window root = 0, parent = 0;
        ::Window* children = nullptr;
        unsigned count = 0;
        if (!XQueryTree(fl_display, frame, &root, &parent, &children, &count)) {
            return insets;
        }
        if (children) {
            XFree(children);
        }
        if (!parent || parent == root) {
            break;
        }
        frame = parent;
    }
    XWindowAttributes outer{};
    XWindowAttributes inner{};
    int x = 0, y = 0;
    ::Window child = 0;
    if (frame == client || !XGetWindowAttributes(fl_display, frame, &outer) ||
        !XGetWindowAttributes(fl_display, client, &inner) ||
        !XTranslateCoordinates(fl_display, client, frame, 0, 0, &x, &y, &child)) {
        return insets;
    }
    // The frame's own border counts as frame.
    const int border = outer.border_width;
    insets.left = x + border;
    insets.top = y + border;
    insets.right = outer.width - x - inner.width + border;
    insets.bottom = outer.height - y - inner.height + border;
    return insets;
}

bool OpenDisplay() {
    if (fl_display) {
        return true;
    }
    const char* name = std::getenv("DISPLAY");
    if (!name || !name[0]) {
        return false;
    }
    Display* display = XOpenDisplay(name);
    if (!display) {
        return false;
    }
    fl_open_display(display);
    return true;
}

} // namespace morlix
