// Xlib's calls that end windows and connections: the layer lets go of what it knew of them
// first. Their ids may come back: the server hands out a freed id again, and a later connection
// may even get the same Display address.
#include "glx_drawables.h"
#include "hook_export.h"
#include "real_functions.h"
#include "recording_target.h"

#include <X11/Xlib.h>

extern "C" {

// XCloseDisplay ends every drawable the connection made, GLX drawables among them.
VORNA_HOOK int XCloseDisplay(Display *display) {
    auto real = reinterpret_cast<int (*)(Display *)>(
        realFunctionOrSay(Real::CloseDisplay, "the connection to the X server stays open"));
    forgetGlxDrawables(display);
    return real ? real(display) : 0;
}

VORNA_HOOK int XDestroyWindow(Display *display, Window window) {
    auto real = reinterpret_cast<int (*)(Display *, Window)>(
        realFunctionOrSay(Real::DestroyXWindow, "the window is not destroyed"));
    forgetTarget(window);
    return real ? real(display, window) : 0;
}

}
