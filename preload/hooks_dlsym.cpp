// dlsym, so programs that open libGL or libX11 themselves get our hooks too.
//
// glibc's dlsym looks at its return address to learn who is asking: RTLD_NEXT means "after the
// caller", and RTLD_DEFAULT includes the caller's own local scope when it was opened with
// RTLD_LOCAL (the capture client finds the core's logMessage that way). A call made from here
// would make us the caller, so names we do not hook leave by a tail jump to the real dlsym and
// it sees the program's return address. This file is always built with sibling-call
// optimisation (see CMakeLists.txt), and a test checks the caller's scope survives.
//
// For our own names the real pointer has to be looked at before ours is handed back, so no tail
// jump is possible: the lookup is made here, and an RTLD_DEFAULT lookup that finds nothing from
// our scope is repeated in the library the caller belongs to, whose dependencies hold what its
// local scope would have held.
//
// RTLD_DEFAULT and a dlopen(NULL) handle search the global scope, where we come first: such a
// lookup finds our own hook. Remembered as the real function, the hook would call itself; so
// the real one is then looked for after us, and without it the program gets NULL as it would
// have without us.
#include "core_calls.h"
#include "hook_export.h"
#include "real_dlsym.h"
#include "real_functions.h"

#include <GL/glx.h>
#include <X11/Xlib.h>
#include <dlfcn.h>

namespace {

void *const hooks[] = {
    reinterpret_cast<void *>(&glXSwapBuffers),
    reinterpret_cast<void *>(&glXGetProcAddress),
    reinterpret_cast<void *>(&glXGetProcAddressARB),
    reinterpret_cast<void *>(&glXCreateWindow),
    reinterpret_cast<void *>(&glXDestroyWindow),
    reinterpret_cast<void *>(&glXCreatePbuffer),
    reinterpret_cast<void *>(&glXDestroyPbuffer),
    reinterpret_cast<void *>(&glXCreatePixmap),
    reinterpret_cast<void *>(&glXDestroyPixmap),
    reinterpret_cast<void *>(&glXCreateGLXPixmap),
    reinterpret_cast<void *>(&glXDestroyGLXPixmap),
    reinterpret_cast<void *>(&XCloseDisplay),
    reinterpret_cast<void *>(&XDestroyWindow),
    reinterpret_cast<void *>(&XNextEvent),
    reinterpret_cast<void *>(&XPeekEvent),
    reinterpret_cast<void *>(&XWindowEvent),
    reinterpret_cast<void *>(&XCheckWindowEvent),
    reinterpret_cast<void *>(&XMaskEvent),
    reinterpret_cast<void *>(&XCheckMaskEvent),
    reinterpret_cast<void *>(&XCheckTypedEvent),
    reinterpret_cast<void *>(&XCheckTypedWindowEvent),
    reinterpret_cast<void *>(&XIfEvent),
    reinterpret_cast<void *>(&XCheckIfEvent),
    reinterpret_cast<void *>(&XPeekIfEvent),
};
static_assert(sizeof(hooks) / sizeof(hooks[0]) == hookedCount, "one hook per hooked name");

void *lookUpForCaller(DlsymFunction lookup, void *handle, const char *name, void *caller) {
    void *found = lookup(handle, name);
    if (found || handle != RTLD_DEFAULT) return found;
    Dl_info info;
    if (!dladdr(caller, &info) || !info.dli_fname || !info.dli_fname[0]) return nullptr;
    void *library = dlopen(info.dli_fname, RTLD_LAZY | RTLD_NOLOAD);
    if (!library) return nullptr;
    found = lookup(library, name);
    dlclose(library);
    return found;
}

__attribute__((noinline)) void *hookedLookup(Real which, void *handle, const char *name, void *caller) {
    DlsymFunction lookup = realDlsym();
    void *real = lookup ? lookUpForCaller(lookup, handle, name, caller) : nullptr;
    if (real && isOurHook(real)) real = lookup(RTLD_NEXT, name);
    if (!real) return nullptr;
    rememberReal(which, real);
    return hooks[static_cast<int>(which)];
}

}  // namespace

bool isOurHook(void *function) {
    for (void *hook : hooks)
        if (hook == function) return true;
    return false;
}

extern "C" VORNA_HOOK void *dlsym(void *handle, const char *name) noexcept {
    Real which = hookedByName(name);
    // RTLD_NEXT means "after the caller": an interposer loaded after us asks for what comes
    // after it, and our hook would send it back in front of itself. It takes the same tail jump
    // as every other name, so the real dlsym answers for the caller.
    if (which != Real::Count && !insideCore() && handle != RTLD_NEXT)
        return hookedLookup(which, handle, name, __builtin_return_address(0));
    DlsymFunction lookup = realDlsym();
    if (!lookup) return nullptr;
    return lookup(handle, name);
}
