// One drawable per recording: the first one swapped after a hotkey press.
#ifndef VORNA_PRELOAD_RECORDING_TARGET_H
#define VORNA_PRELOAD_RECORDING_TARGET_H

#include <X11/Xlib.h>

using KeysymToKeycodeFunction = KeyCode (*)(Display *display, KeySym keysym);

// Both run under the core lock, next to the core's own calls.

// A press of `hotkey` with a time stamp not seen before makes the next swapped drawable the
// target. `toKeycode` is null when Xlib's look-up could not be found; then nothing is noted.
void noteEvent(Display *display, const XEvent *event, KeySym hotkey, KeysymToKeycodeFunction toKeycode);

// Whether a frame of `drawable` may reach the core; the first drawable asked about after a
// press becomes the target.
bool isTarget(Drawable drawable);

// Before `window` is destroyed; safe without the core lock. When it is the target, the next
// drawable asked about takes its place: a program that makes its window anew (many do to change
// the video mode) goes on being recorded.
void forgetTarget(Drawable window);

#endif
