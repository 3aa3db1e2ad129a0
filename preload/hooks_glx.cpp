// glXSwapBuffers and the two calls that hand it out by name.
#include "core_calls.h"
#include "hook_export.h"
#include "current_drawable.h"
#include "preload_log.h"
#include "real_functions.h"

#include <GL/glx.h>
#include <string.h>

namespace {

std::atomic<bool> swapMissingSaid{false};
std::atomic<bool> procAddressMissingSaid{false};

using GetProcAddressFunction = __GLXextFuncPtr (*)(const GLubyte *name);

// Hands out our glXSwapBuffers in place of the real one, which is kept for our own use. Other
// names, and every lookup made from inside the core, pass unchanged: our Xlib hooks are not GL
// entry points.
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
    if (!function || insideCore() || !name || strcmp(reinterpret_cast<const char *>(name), "glXSwapBuffers") != 0)
        return function;
    rememberReal(Real::SwapBuffers, reinterpret_cast<void *>(function));
    return reinterpret_cast<__GLXextFuncPtr>(&glXSwapBuffers);
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

VORNA_HOOK __GLXextFuncPtr glXGetProcAddressARB(const GLubyte *name) { return procAddress(Real::GetProcAddressARB, name); }

VORNA_HOOK void (*glXGetProcAddress(const GLubyte *name))() { return procAddress(Real::GetProcAddress, name); }

}
