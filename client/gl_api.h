// The GL entry points the frame path uses, resolved at run time through the process's own
// glXGetProcAddressARB, so libmivo carries no libGL or libX11 dependency of its own.
#pragma once

#include <GL/gl.h>
#include <GL/glext.h>

namespace mivo {

// GLX's handles, opaque to us: only compared, never dereferenced.
using GlxContext = void *;
using GlxDrawable = unsigned long;

// glext.h has no pointer types for the GL 1.x functions; on Linux GL uses the plain C calling
// convention, so they are spelled out here.
struct GlApi {
    GlxContext (*getCurrentContext)() = nullptr;
    GlxDrawable (*getCurrentDrawable)() = nullptr;
    // The context's X resource id (GLX_EXT_import_context); may be null. A program that destroys
    // its context and makes a new one often gets the same address back from malloc, but never
    // the same id.
    unsigned long (*getContextId)(GlxContext) = nullptr;
    // GLX_MESA_query_renderer, for asking whether the current renderer is a GPU; may be null.
    // Returns false when the question cannot be answered.
    int (*queryCurrentRendererInteger)(int attribute, unsigned int *value) = nullptr;

    const GLubyte *(*getString)(GLenum name) = nullptr;
    PFNGLGETSTRINGIPROC getStringi = nullptr;
    void (*getIntegerv)(GLenum name, GLint *value) = nullptr;
    void (*getBooleanv)(GLenum name, GLboolean *value) = nullptr;
    void (*getFloatv)(GLenum name, GLfloat *value) = nullptr;
    void (*pixelStorei)(GLenum name, GLint value) = nullptr;
    void (*pixelTransferf)(GLenum name, GLfloat value) = nullptr;  // compatibility contexts only
    void (*readBuffer)(GLenum mode) = nullptr;
    void (*readPixels)(GLint x, GLint y, GLsizei width, GLsizei height, GLenum format,
                       GLenum type, void *pixels) = nullptr;
    PFNGLBINDFRAMEBUFFERPROC bindFramebuffer = nullptr;
    PFNGLGENBUFFERSPROC genBuffers = nullptr;
    PFNGLDELETEBUFFERSPROC deleteBuffers = nullptr;
    PFNGLBINDBUFFERPROC bindBuffer = nullptr;
    PFNGLBUFFERDATAPROC bufferData = nullptr;
    PFNGLMAPBUFFERRANGEPROC mapBufferRange = nullptr;
    PFNGLUNMAPBUFFERPROC unmapBuffer = nullptr;
    PFNGLFENCESYNCPROC fenceSync = nullptr;
    PFNGLCLIENTWAITSYNCPROC clientWaitSync = nullptr;
    PFNGLDELETESYNCPROC deleteSync = nullptr;
};

// The process's GL entry points, or null while no libGL is loaded. Safe from any thread.
const GlApi *glApi();

}  // namespace mivo
