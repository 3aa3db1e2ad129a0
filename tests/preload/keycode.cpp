// Xlib's headers define None and Bool, which GoogleTest's headers also use, so the one Xlib
// call the hook test needs lives apart from them.
#include <X11/Xlib.h>

unsigned keycodeOf(const char *keysymName) {
    Display *display = XOpenDisplay(nullptr);
    if (!display) return 0;
    unsigned keycode = XKeysymToKeycode(display, XStringToKeysym(keysymName));
    XCloseDisplay(display);
    return keycode;
}
