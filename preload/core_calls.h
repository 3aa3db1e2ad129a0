// Every call into the core goes through here: one lock, and a guard against coming back in.
#ifndef VORNA_PRELOAD_CORE_CALLS_H
#define VORNA_PRELOAD_CORE_CALLS_H

#include <X11/Xlib.h>

// True on a thread that is inside the core (or loading it): our hooks then only forward, so
// the core, the client and FFmpeg get the real functions and never wait for a lock they hold.
bool insideCore();

// Loads the core at the first call. False when it is not loaded and never will be.
bool coreReady();

// Whether the core has been loaded; events before the first frame pass by.
bool coreLoaded();

// One event the program took from Xlib; dropped while the core is not loaded.
void passEvent(Display *display, XEvent *event);

// A frame of `drawable`, a window or a GLXWindow, is about to be presented; the core and the
// recording target see the X window.
void passFrame(Display *display, Drawable drawable);

#endif
