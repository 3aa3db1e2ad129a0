// glXSwapBuffers, the GLXWindow calls, and the two calls that hand them out by name.
#include "core_calls.h"
#include "hook_export.h"
#include "current_drawable.h"
#include "glx_windows.h"
#include "preload_log.h"
#include "real_functions.h"

#include <GL/glx.h>

namespace {

std::atomic<bool> swapMissingSaid{false};
std::atomic<bool> procAddressMissingSaid{false};
std::atomic<bool> createMissingSaid{false};
std::atomic<bool> destroyMissingSaid{false};
std::atomic<bool> tableFullSaid{false};

using GetProcAddressFunction = __GLXextFuncPtr (*)(const GLubyte *name);

void *glxHook(Real which) {
    switch (which) {
    case Real::SwapBuffers: return reinterpret_cast<void *>(&glXSwapBuffers);
    case Real::CreateWindow: return reinterpret_cast<void *>(&glXCreateWindow);
    case Real::DestroyWindow: return reinterpret_cast<void *>(&glXDestroyWindow);
    default: return nullptr;
    }
}

// Hands out our GLX hooks in place of the real functions, which are kept for our own use.
// Other names, and every lookup made from inside the core, pass unchanged: our Xlib hooks are
// not GL entry points.
__GLXextFuncPtr procAddress(Real which, const GLubyte *name) {
    auto real = reinterpret_cast<GetProcAddressFunction>(realFunction(which));
    if (!real) {
        Real other = which == Real::GetProcAddress ? Real::GetProcAddressARB : Real::GetProcAddress;
        real = reinterpret_cast<GetProcAddressFunction>(realFunction(other));
    }
    if (!real) {
        reportOnce(procAddressMissingSaid, "%s(): couldn't find the real one; OpenGL entry points can't be looked up\n",
                   realName(which));
        return nullptr;
    }
    __GLXextFuncPtr function = real(name);
    if (!function || insideCore()) return function;
    Real hooked = hookedByName(reinterpret_cast<const char *>(name));
    void *hook = glxHook(hooked);
    if (!hook) return function;
    rememberReal(hooked, reinterpret_cast<void *>(function));
    return reinterpret_cast<__GLXextFuncPtr>(hook);
}

}  // namespace

extern "C" {

VORNA_HOOK void glXSwapBuffers(Display *display, GLXDrawable drawable) {
    auto real = reinterpret_cast<void (*)(Display *, GLXDrawable)>(realFunction(Real::SwapBuffers));
    if (!insideCore() && coreReady() && isCurrentDrawable(drawable)) passFrame(display, drawable);
    if (real)
        real(display, drawable);
    else
        reportOnce(swapMissingSaid, "%s(): couldn't find the real one; frames are not presented\n", "glXSwapBuffers");
}

VORNA_HOOK GLXWindow glXCreateWindow(Display *display, GLXFBConfig config, Window window, const int *attributes) {
    auto real = reinterpret_cast<GLXWindow (*)(Display *, GLXFBConfig, Window, const int *)>(
        realFunction(Real::CreateWindow));
    if (!real) {
        reportOnce(createMissingSaid, "%s(): couldn't find the real one; the program gets no GLXWindow\n",
                   "glXCreateWindow");
        return None;
    }
    GLXWindow made = real(display, config, window, attributes);
    if (made != None && !rememberGlxWindow(display, made, window))
        reportOnce(tableFullSaid,
                   "%s(): more than %d GLXWindows at once; until some are destroyed, frames of windows Vorna "
                   "does not know are not recorded\n",
                   "glXCreateWindow", glxWindowCapacity);
    return made;
}

VORNA_HOOK void glXDestroyWindow(Display *display, GLXWindow window) {
    auto real = reinterpret_cast<void (*)(Display *, GLXWindow)>(realFunction(Real::DestroyWindow));
    forgetGlxWindow(display, window);
    if (real)
        real(display, window);
    else
        reportOnce(destroyMissingSaid, "%s(): couldn't find the real one; GLXWindows are not destroyed\n",
                   "glXDestroyWindow");
}

VORNA_HOOK __GLXextFuncPtr glXGetProcAddressARB(const GLubyte *name) { return procAddress(Real::GetProcAddressARB, name); }

VORNA_HOOK void (*glXGetProcAddress(const GLubyte *name))() { return procAddress(Real::GetProcAddress, name); }

}
