#ifndef VORNA_PRELOAD_CURRENT_DRAWABLE_H
#define VORNA_PRELOAD_CURRENT_DRAWABLE_H

#include <GL/glx.h>

// Whether `drawable` is the calling thread's current GLX drawable.
bool isCurrentDrawable(GLXDrawable drawable);

#endif
