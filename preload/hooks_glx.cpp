// glXSwapBuffers, the calls that make and destroy GLX drawables, and the two calls that hand
// them out by name.
#include "core_calls.h"
#include "hook_export.h"
#include "current_drawable.h"
#include "glx_drawables.h"
#include "preload_log.h"
#include "real_functions.h"

#include <GL/glx.h>

namespace {

std::atomic<bool> swapMissingSaid{false};
std::atomic<bool> procAddressMissingSaid{false};
std::atomic<bool> tableFullSaid{false};

using GetProcAddressFunction = __GLXextFuncPtr (*)(const GLubyte *name);

void *glxHook(Real which) {
    switch (which) {
    case Real::SwapBuffers: return reinterpret_cast<void *>(&glXSwapBuffers);
    case Real::CreateWindow: return reinterpret_cast<void *>(&glXCreateWindow);
    case Real::DestroyWindow: return reinterpret_cast<void *>(&glXDestroyWindow);
    case Real::CreatePbuffer: return reinterpret_cast<void *>(&glXCreatePbuffer);
    case Real::DestroyPbuffer: return reinterpret_cast<void *>(&glXDestroyPbuffer);
    case Real::CreatePixmap: return reinterpret_cast<void *>(&glXCreatePixmap);
    case Real::DestroyPixmap: return reinterpret_cast<void *>(&glXDestroyPixmap);
    case Real::CreateGLXPixmap: return reinterpret_cast<void *>(&glXCreateGLXPixmap);
    case Real::DestroyGLXPixmap: return reinterpret_cast<void *>(&glXDestroyGLXPixmap);
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

template <typename Function>
Function realOrSay(Real which, const char *consequence) {
    return reinterpret_cast<Function>(realFunctionOrSay(which, consequence));
}

// A GLX drawable made by the real call and noted with the window it shows (None for a pbuffer
// or pixmap).
template <typename Made, typename... Arguments>
Made make(Real which, const char *consequence, Window shows, Display *display, Arguments... arguments) {
    auto real = realOrSay<Made (*)(Display *, Arguments...)>(which, consequence);
    if (!real) return None;
    Made made = real(display, arguments...);
    if (made != None && !rememberGlxDrawable(display, made, shows))
        reportOnce(tableFullSaid,
                   "%s(): more than %d GLX windows, pbuffers and pixmaps at once; until some are destroyed, frames "
                   "of windows Vorna does not know are not recorded\n",
                   realName(which), glxDrawableCapacity);
    return made;
}

void destroy(Real which, const char *consequence, Display *display, GLXDrawable drawable) {
    auto real = realOrSay<void (*)(Display *, GLXDrawable)>(which, consequence);
    forgetGlxDrawable(display, drawable);
    if (real) real(display, drawable);
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
    return make<GLXWindow>(Real::CreateWindow, "the program gets no GLXWindow", window, display, config, window,
                           attributes);
}

VORNA_HOOK void glXDestroyWindow(Display *display, GLXWindow window) {
    destroy(Real::DestroyWindow, "GLXWindows are not destroyed", display, window);
}

VORNA_HOOK GLXPbuffer glXCreatePbuffer(Display *display, GLXFBConfig config, const int *attributes) {
    return make<GLXPbuffer>(Real::CreatePbuffer, "the program gets no GLXPbuffer", None, display, config, attributes);
}

VORNA_HOOK void glXDestroyPbuffer(Display *display, GLXPbuffer pbuffer) {
    destroy(Real::DestroyPbuffer, "GLXPbuffers are not destroyed", display, pbuffer);
}

VORNA_HOOK GLXPixmap glXCreatePixmap(Display *display, GLXFBConfig config, Pixmap pixmap, const int *attributes) {
    return make<GLXPixmap>(Real::CreatePixmap, "the program gets no GLXPixmap", None, display, config, pixmap,
                           attributes);
}

VORNA_HOOK void glXDestroyPixmap(Display *display, GLXPixmap pixmap) {
    destroy(Real::DestroyPixmap, "GLXPixmaps are not destroyed", display, pixmap);
}

VORNA_HOOK GLXPixmap glXCreateGLXPixmap(Display *display, XVisualInfo *visual, Pixmap pixmap) {
    return make<GLXPixmap>(Real::CreateGLXPixmap, "the program gets no GLXPixmap", None, display, visual, pixmap);
}

VORNA_HOOK void glXDestroyGLXPixmap(Display *display, GLXPixmap pixmap) {
    destroy(Real::DestroyGLXPixmap, "GLXPixmaps are not destroyed", display, pixmap);
}

VORNA_HOOK __GLXextFuncPtr glXGetProcAddressARB(const GLubyte *name) { return procAddress(Real::GetProcAddressARB, name); }

VORNA_HOOK void (*glXGetProcAddress(const GLubyte *name))() { return procAddress(Real::GetProcAddress, name); }

}
