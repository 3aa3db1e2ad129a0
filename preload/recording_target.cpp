// The core captures the current GL context at every frame call, whatever drawable it names, so a
// program with two GL windows would interleave both in one recording. Only the target's frames
// are passed on. A press starts or stops a recording in the core; either way the next recording
// begins at a press, and the target is chosen afresh at the swap that follows it.
//
// The press rule is the core's own: the key code of the hotkey as Xlib maps it now (a reload can
// change HOTKEY), any modifiers, and a time stamp different from the last accepted one, because
// a program that peeks an event and then takes it hands us the same press twice. The stored
// time starts at 0, as the core's does.
#include "recording_target.h"

#include <atomic>

namespace {

// Written under the core lock, except by forgetTarget, which only ever clears it.
std::atomic<Drawable> target{0};
Time lastPress = 0;

}  // namespace

void noteEvent(Display *display, const XEvent *event, KeySym hotkey, KeysymToKeycodeFunction toKeycode) {
    if (event->type != KeyPress || !toKeycode) return;
    if (event->xkey.keycode != toKeycode(display, hotkey)) return;
    if (event->xkey.time == lastPress) return;
    lastPress = event->xkey.time;
    target = 0;
}

bool isTarget(Drawable drawable) {
    // A plain load on every frame; the exchange only when a target is to be chosen.
    Drawable now = target.load(std::memory_order_relaxed);
    if (now == 0 && target.compare_exchange_strong(now, drawable, std::memory_order_relaxed)) return true;
    return now == drawable;
}

void forgetTarget(Drawable window) {
    Drawable expected = window;
    if (window != 0) target.compare_exchange_strong(expected, 0);
}
