// For programs whose key presses never pass through Xlib (XCB toolkits) or whose hotkey the
// desktop takes, a recording can start without a press: at the first frame the core is handed
// one press of its hotkey, as if the user had pressed it. Time stamp 1 is new to the core (its
// last accepted time starts at 0) and older than any real press, so a real F8 later still
// counts and stops the recording. The variable stays in the environment: in a launch chain
// (a script that starts the game) the drawing program is a child, and it must see it too.
#include "start_press.h"

#include <stdlib.h>
#include <string.h>

bool recordAtStart() {
    const char *value = getenv("VORNA_RECORD_AT_START");
    return value && strcmp(value, "1") == 0;
}

bool makeStartPress(Display *display, KeySym hotkey, KeysymToKeycodeFunction toKeycode, XEvent *event) {
    if (!toKeycode) return false;
    KeyCode keycode = toKeycode(display, hotkey);
    if (keycode == 0) return false;
    memset(event, 0, sizeof *event);
    event->xkey.type = KeyPress;
    event->xkey.display = display;
    event->xkey.keycode = keycode;
    event->xkey.time = 1;
    event->xkey.same_screen = True;
    return true;
}
