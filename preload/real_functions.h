// The functions our hooks stand in front of, and the two helpers they need from the same
// libraries.
#ifndef VORNA_PRELOAD_REAL_FUNCTIONS_H
#define VORNA_PRELOAD_REAL_FUNCTIONS_H

// The first hookedCount entries are the names this layer exports; the order is the order of
// realNames in real_functions.cpp.
enum class Real : int {
    SwapBuffers,
    GetProcAddress,
    GetProcAddressARB,
    CreateWindow,
    DestroyWindow,
    CreatePbuffer,
    DestroyPbuffer,
    CreatePixmap,
    DestroyPixmap,
    CreateGLXPixmap,
    DestroyGLXPixmap,
    CloseDisplay,
    DestroyXWindow,
    NextEvent,
    PeekEvent,
    WindowEvent,
    CheckWindowEvent,
    MaskEvent,
    CheckMaskEvent,
    CheckTypedEvent,
    CheckTypedWindowEvent,
    IfEvent,
    CheckIfEvent,
    PeekIfEvent,
    GetCurrentDrawable,
    KeysymToKeycode,
    Count
};
constexpr int hookedCount = static_cast<int>(Real::PeekIfEvent) + 1;

const char *realName(Real which);

// The hooked function whose name this is, or Real::Count for every other name.
Real hookedByName(const char *name);

// The real function: the one the program looked up first through our dlsym or
// glXGetProcAddress, else the next definition after this library. Null when there is none;
// the search is made once, lock-free.
void *realFunction(Real which);

// realFunction, and when there is none an ERROR line, once for each function: "NAME(): couldn't
// find the real one; CONSEQUENCE".
void *realFunctionOrSay(Real which, const char *consequence);

// A pointer the program's own lookup produced; the first one seen for a name is kept, and
// one of our own hooks never is.
void rememberReal(Real which, void *function);

// Whether `function` is one of the hooks this layer exports.
bool isOurHook(void *function);

#endif
