#include "doubles.h"

#include <sys/stat.h>

#include <X11/keysym.h>

// The core is built with hidden visibility like everything here; these must reach the
// executable's dynamic symbol table to win the lookup.
#define TEST_EXPORT extern "C" __attribute__((visibility("default")))

Doubles doubles;

static char handles[64];

TEST_EXPORT KeyCode XKeysymToKeycode(Display *, KeySym keysym)
{
    switch (keysym) {
    case XK_F8:
        return kF8Code;
    case XK_F12:
        return kF12Code;
    default:
        return 0;
    }
}

TEST_EXPORT Status XGetGeometry(Display *, Drawable, Window *root, int *x, int *y, unsigned int *width,
                                unsigned int *height, unsigned int *border, unsigned int *depth)
{
    // Like Xlib, a failed request leaves every output untouched.
    if (doubles.geometryStatus == 0)
        return 0;
    *root = 1;
    *x = 0;
    *y = 0;
    *width = doubles.width;
    *height = doubles.height;
    *border = 0;
    *depth = 24;
    return doubles.geometryStatus;
}

TEST_EXPORT MivoClient *mivoClientCreate(const CaptureParams *params)
{
    ClientCall call{};
    call.kind = ClientCall::Create;
    call.params = *params;
    call.output = params->output;
    if (!doubles.createFails) {
        call.client = reinterpret_cast<MivoClient *>(&handles[doubles.calls.size() % sizeof handles]);
        ++doubles.liveClients;
    }
    doubles.calls.push_back(call);
    return call.client;
}

TEST_EXPORT int mivoClientCapture(MivoClient *client, uint32_t x, uint32_t y)
{
    ClientCall call{};
    call.kind = ClientCall::Capture;
    call.client = client;
    call.x = x;
    call.y = y;
    doubles.calls.push_back(call);
    return 0;
}

TEST_EXPORT void mivoClientDestroy(MivoClient *client)
{
    ClientCall call{};
    call.kind = ClientCall::Destroy;
    call.client = client;
    struct stat st;
    call.stderrBytes = fstat(2, &st) == 0 ? static_cast<long>(st.st_size) : -1;
    --doubles.liveClients;
    doubles.calls.push_back(call);
}
