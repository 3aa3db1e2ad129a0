// Which drawable is current.
//
// glXSwapBuffers may name any window of the display, not only the one current on the calling
// thread, and the capture client reads the current context's default framebuffer. A frame is
// only passed on when the swapped drawable is the current one, so the pixels read belong to the
// window being presented. When glXGetCurrentDrawable cannot be found the program's word is taken.
// For a GLXWindow it returns the GLXWindow's own id, so the id is compared as it was swapped.
#include "current_drawable.h"

#include "real_functions.h"

bool isCurrentDrawable(GLXDrawable drawable) {
    auto current = reinterpret_cast<GLXDrawable (*)()>(realFunction(Real::GetCurrentDrawable));
    return !current || current() == drawable;
}
