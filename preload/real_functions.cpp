// Where the real functions come from.
//
// A program linked against libGL and libX11 has them in the global scope, after us: RTLD_NEXT
// finds them. A program that opens libGL or libX11 itself with RTLD_LOCAL (SDL2 does) keeps
// them out of the global scope; it can only reach them through dlsym or glXGetProcAddress, so
// our hooks of those remember what the program's own lookup found before handing back ours.
//
// glXGetCurrentDrawable and XKeysymToKeycode are not hooked, but with a private libGL/libX11
// they are as hidden as the rest. They are taken from the library that holds a real function
// we already have: dladdr names it, and dlopen with RTLD_NOLOAD hands out a handle to it
// without loading anything. Xlib is also asked for by its soname, for a key look-up before the
// program took any event.
#include "real_functions.h"

#include "preload_log.h"
#include "real_dlsym.h"

#include <dlfcn.h>
#include <string.h>

#include <atomic>

namespace {

const char *const realNames[] = {
    "glXSwapBuffers",
    "glXGetProcAddress",
    "glXGetProcAddressARB",
    "glXCreateWindow",
    "glXDestroyWindow",
    "glXCreatePbuffer",
    "glXDestroyPbuffer",
    "glXCreatePixmap",
    "glXDestroyPixmap",
    "glXCreateGLXPixmap",
    "glXDestroyGLXPixmap",
    "XCloseDisplay",
    "XDestroyWindow",
    "XNextEvent",
    "XPeekEvent",
    "XWindowEvent",
    "XCheckWindowEvent",
    "XMaskEvent",
    "XCheckMaskEvent",
    "XCheckTypedEvent",
    "XCheckTypedWindowEvent",
    "XIfEvent",
    "XCheckIfEvent",
    "XPeekIfEvent",
    "glXGetCurrentDrawable",
    "XKeysymToKeycode",
};
static_assert(sizeof(realNames) / sizeof(realNames[0]) == static_cast<int>(Real::Count),
              "one name per real function");

// Marks a name that was looked for and not found, so a missing function costs one search.
char missingMark;
void *const missing = &missingMark;

std::atomic<void *> slots[static_cast<int>(Real::Count)];
std::atomic<bool> missingSaid[static_cast<int>(Real::Count)];

void *fromLibraryOf(void *known, const char *name) {
    Dl_info info;
    if (!known || !dladdr(known, &info) || !info.dli_fname) return nullptr;
    void *library = dlopen(info.dli_fname[0] ? info.dli_fname : nullptr, RTLD_LAZY | RTLD_NOLOAD);
    if (!library) return nullptr;
    DlsymFunction lookup = realDlsym();
    void *found = lookup ? lookup(library, name) : nullptr;
    dlclose(library);
    return found;
}

void *search(Real which) {
    DlsymFunction lookup = realDlsym();
    if (!lookup) return nullptr;
    void *found = lookup(RTLD_NEXT, realName(which));
    if (found) return found;
    if (which == Real::GetCurrentDrawable) return fromLibraryOf(realFunction(Real::SwapBuffers), realName(which));
    if (which == Real::KeysymToKeycode) {
        for (int i = static_cast<int>(Real::NextEvent); i <= static_cast<int>(Real::PeekIfEvent) && !found; ++i) {
            void *known = slots[i].load(std::memory_order_acquire);
            if (known != missing) found = fromLibraryOf(known, realName(which));
        }
        if (!found) {
            if (void *xlib = dlopen("libX11.so.6", RTLD_LAZY | RTLD_NOLOAD)) {
                found = lookup(xlib, realName(which));
                dlclose(xlib);
            }
        }
    }
    return found;
}

}  // namespace

const char *realName(Real which) { return realNames[static_cast<int>(which)]; }

Real hookedByName(const char *name) {
    if (!name || (name[0] != 'X' && name[0] != 'g')) return Real::Count;
    for (int i = 0; i < hookedCount; ++i)
        if (strcmp(name, realNames[i]) == 0) return static_cast<Real>(i);
    return Real::Count;
}

void *realFunction(Real which) {
    std::atomic<void *> &slot = slots[static_cast<int>(which)];
    void *function = slot.load(std::memory_order_acquire);
    if (function) return function == missing ? nullptr : function;
    function = search(which);
    void *expected = nullptr;
    if (slot.compare_exchange_strong(expected, function ? function : missing, std::memory_order_acq_rel))
        return function;
    return expected == missing ? nullptr : expected;
}

void *realFunctionOrSay(Real which, const char *consequence) {
    void *function = realFunction(which);
    if (!function)
        reportOnce(missingSaid[static_cast<int>(which)], "%s(): couldn't find the real one; %s\n", realName(which), consequence);
    return function;
}

void rememberReal(Real which, void *function) {
    if (!function || isOurHook(function)) return;
    std::atomic<void *> &slot = slots[static_cast<int>(which)];
    void *expected = slot.load(std::memory_order_acquire);
    while ((expected == nullptr || expected == missing) &&
           !slot.compare_exchange_weak(expected, function, std::memory_order_acq_rel)) {
    }
}
