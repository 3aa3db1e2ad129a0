/* The capture client's calls, as both sides agree on them: the core (caller) and libmivo.so.0
 * (implementation) include this one header. CaptureParams crosses the library boundary, so its
 * layout is pinned below. */
#ifndef VORNA_MIVO_H
#define VORNA_MIVO_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#define MIVO_EXPORT __attribute__((visibility("default")))

typedef struct CaptureParams {
    uint32_t width;      /* captured area, in pixels */
    uint32_t height;
    uint32_t scale;      /* 0 and 1: full size; N >= 2: each dimension divided by N */
    double fps;          /* at most this many frames a second are taken */
    const char *output;  /* URL of the recording; valid only during mivoClientCreate */
} CaptureParams;

#ifdef __cplusplus
static_assert(offsetof(CaptureParams, width) == 0, "CaptureParams layout");
static_assert(offsetof(CaptureParams, height) == 4, "CaptureParams layout");
static_assert(offsetof(CaptureParams, scale) == 8, "CaptureParams layout");
static_assert(offsetof(CaptureParams, fps) == 16, "CaptureParams layout");
static_assert(offsetof(CaptureParams, output) == 24, "CaptureParams layout");
static_assert(sizeof(CaptureParams) == 32, "CaptureParams layout");
#else
_Static_assert(__builtin_offsetof(CaptureParams, width) == 0, "CaptureParams layout");
_Static_assert(__builtin_offsetof(CaptureParams, height) == 4, "CaptureParams layout");
_Static_assert(__builtin_offsetof(CaptureParams, scale) == 8, "CaptureParams layout");
_Static_assert(__builtin_offsetof(CaptureParams, fps) == 16, "CaptureParams layout");
_Static_assert(__builtin_offsetof(CaptureParams, output) == 24, "CaptureParams layout");
_Static_assert(sizeof(CaptureParams) == 32, "CaptureParams layout");
#endif

typedef struct MivoClient MivoClient;

/* Sets up one recording of a width x height area; null (after one message) when it cannot. */
MIVO_EXPORT MivoClient *mivoClientCreate(const CaptureParams *params);
/* Takes one frame of the area whose lower-left corner is at (x, y) in the current GL context's
 * default framebuffer. Returns 0 when the frame was taken or was not due, nonzero otherwise. */
MIVO_EXPORT int mivoClientCapture(MivoClient *client, uint32_t x, uint32_t y);
/* Finishes the recording and releases the handle. */
MIVO_EXPORT void mivoClientDestroy(MivoClient *client);

#ifdef __cplusplus
}
#endif

#endif
