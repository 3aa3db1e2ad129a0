#include <stdint.h>

#include <X11/Xlib.h>

#include "vorna.h"
#include "capture/mivo.h"

// Idle: no client, no request. Pending: a request waits for the next frame. Capturing: a client.
static MivoClient *captureClient;
static int captureRequested;
static Time lastHotkeyTime;

extern "C" void vornaCoreEvent(Display *display, XEvent *event)
{
    if (event == nullptr || event->type != KeyPress)
        return;
    // Looked up at every press, so a reload that changes HOTKEY takes effect at once. Modifiers
    // are not looked at: the hotkey works with any of them held.
    KeyCode hotkeyCode = XKeysymToKeycode(display, vornaGlobal.hotkey);
    if (event->xkey.keycode != hotkeyCode)
        return;
    // A press that reaches us twice (through two event calls of the program) toggles once.
    if (event->xkey.time == lastHotkeyTime)
        return;
    lastHotkeyTime = event->xkey.time;

    captureRequested = captureClient == nullptr;
    if (captureClient != nullptr) {
        mivoClientDestroy(captureClient);
        logMessage(VORNA_LOG_INFO, "Vorna stopped capturing\n");
        captureClient = nullptr;
    } else {
        logMessage(VORNA_LOG_INFO, "Vorna is starting to capture\n");
    }
}

// Insets fit when the cut-off margins leave a non-negative area; sums are taken in 64 bits so
// that huge values cannot wrap into a small sum that passes.
static bool insetsFit(unsigned int width, unsigned int height)
{
    const uint32_t *insets = vornaGlobal.insets;
    return (uint64_t)insets[0] + insets[2] <= height && (uint64_t)insets[1] + insets[3] <= width;
}

static void startCapture(Display *display, Drawable drawable)
{
    captureRequested = 0;
    updateConfiguration();

    Window root;
    int x = 0, y = 0;
    unsigned int width = 0, height = 0, border = 0, depth = 0;
    // With Xlib's default error handler a bad drawable ends the program before this returns; a
    // host that installed its own handler gets a zero status here instead.
    Status measured = XGetGeometry(display, drawable, &root, &x, &y, &width, &height, &border, &depth);
    if (measured == 0 || !insetsFit(width, height)) {
        logMessage(VORNA_LOG_WARN, "%s(): insets too big, fix it!\n", "vornaCoreCapture");
        return;
    }

    const uint32_t *insets = vornaGlobal.insets;
    CaptureParams params = {};
    params.width = width - (insets[1] + insets[3]);
    params.height = height - (insets[0] + insets[2]);
    params.scale = vornaGlobal.scale;
    params.fps = vornaGlobal.fps;
    params.output = vornaGlobal.output;
    captureClient = mivoClientCreate(&params);
    if (captureClient == nullptr)
        logMessage(VORNA_LOG_ERROR, "%s(): couldn't create mivo client\n", "vornaCoreCapture");
}

extern "C" void vornaCoreCapture(Display *display, Drawable drawable)
{
    if (captureClient == nullptr && captureRequested)
        startCapture(display, drawable);
    if (captureClient != nullptr)
        mivoClientCapture(captureClient, vornaGlobal.insets[3], vornaGlobal.insets[2]);
}
