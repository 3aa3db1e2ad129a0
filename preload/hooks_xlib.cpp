// Xlib's calls that hand an event to the program. Each forwards to the real call and passes
// the event it returned, if any, to the core. The blocking calls always return an event; when
// the real call is missing the event is zeroed (type 0 is no event) so the program reads no
// garbage.
#include "core_calls.h"
#include "hook_export.h"
#include "preload_log.h"
#include "real_functions.h"

#include <X11/Xlib.h>
#include <string.h>

namespace {

std::atomic<bool> missingSaid{false};

using Predicate = Bool (*)(Display *, XEvent *, XPointer);

template <typename Function>
Function real(Real which, XEvent *event) {
    auto function = reinterpret_cast<Function>(realFunction(which));
    if (!function) {
        memset(event, 0, sizeof *event);
        reportOnce(missingSaid, "%s(): couldn't find Xlib's own; the program gets no events\n", realName(which));
    }
    return function;
}

int passed(int result, Display *display, XEvent *event) {
    if (!insideCore()) passEvent(display, event);
    return result;
}

Bool passedIf(Bool found, Display *display, XEvent *event) {
    if (found && !insideCore()) passEvent(display, event);
    return found;
}

}  // namespace

extern "C" {

VORNA_HOOK int XNextEvent(Display *display, XEvent *event) {
    auto next = real<int (*)(Display *, XEvent *)>(Real::NextEvent, event);
    return next ? passed(next(display, event), display, event) : 0;
}

VORNA_HOOK int XPeekEvent(Display *display, XEvent *event) {
    auto peek = real<int (*)(Display *, XEvent *)>(Real::PeekEvent, event);
    return peek ? passed(peek(display, event), display, event) : 0;
}

VORNA_HOOK int XWindowEvent(Display *display, Window window, long mask, XEvent *event) {
    auto take = real<int (*)(Display *, Window, long, XEvent *)>(Real::WindowEvent, event);
    return take ? passed(take(display, window, mask, event), display, event) : 0;
}

VORNA_HOOK Bool XCheckWindowEvent(Display *display, Window window, long mask, XEvent *event) {
    auto check = real<Bool (*)(Display *, Window, long, XEvent *)>(Real::CheckWindowEvent, event);
    return check ? passedIf(check(display, window, mask, event), display, event) : False;
}

VORNA_HOOK int XMaskEvent(Display *display, long mask, XEvent *event) {
    auto take = real<int (*)(Display *, long, XEvent *)>(Real::MaskEvent, event);
    return take ? passed(take(display, mask, event), display, event) : 0;
}

VORNA_HOOK Bool XCheckMaskEvent(Display *display, long mask, XEvent *event) {
    auto check = real<Bool (*)(Display *, long, XEvent *)>(Real::CheckMaskEvent, event);
    return check ? passedIf(check(display, mask, event), display, event) : False;
}

VORNA_HOOK Bool XCheckTypedEvent(Display *display, int type, XEvent *event) {
    auto check = real<Bool (*)(Display *, int, XEvent *)>(Real::CheckTypedEvent, event);
    return check ? passedIf(check(display, type, event), display, event) : False;
}

VORNA_HOOK Bool XCheckTypedWindowEvent(Display *display, Window window, int type, XEvent *event) {
    auto check = real<Bool (*)(Display *, Window, int, XEvent *)>(Real::CheckTypedWindowEvent, event);
    return check ? passedIf(check(display, window, type, event), display, event) : False;
}

VORNA_HOOK int XIfEvent(Display *display, XEvent *event, Predicate predicate, XPointer argument) {
    auto take = real<int (*)(Display *, XEvent *, Predicate, XPointer)>(Real::IfEvent, event);
    return take ? passed(take(display, event, predicate, argument), display, event) : 0;
}

VORNA_HOOK Bool XCheckIfEvent(Display *display, XEvent *event, Predicate predicate, XPointer argument) {
    auto check = real<Bool (*)(Display *, XEvent *, Predicate, XPointer)>(Real::CheckIfEvent, event);
    return check ? passedIf(check(display, event, predicate, argument), display, event) : False;
}

VORNA_HOOK int XPeekIfEvent(Display *display, XEvent *event, Predicate predicate, XPointer argument) {
    auto peek = real<int (*)(Display *, XEvent *, Predicate, XPointer)>(Real::PeekIfEvent, event);
    return peek ? passed(peek(display, event, predicate, argument), display, event) : 0;
}

}
