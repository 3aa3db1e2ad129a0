// `vorna run --record`: a recording that starts at the program's first frame.
#ifndef VORNA_PRELOAD_START_PRESS_H
#define VORNA_PRELOAD_START_PRESS_H

#include <X11/Xlib.h>

#include "recording_target.h"

// Whether this process was asked to record from its first frame (VORNA_RECORD_AT_START=1).
bool recordAtStart();

// Fills `event` with a press of `hotkey`, as the core and the recording target take it.
// False when the key code cannot be looked up.
bool makeStartPress(Display *display, KeySym hotkey, KeysymToKeycodeFunction toKeycode, XEvent *event);

#endif
