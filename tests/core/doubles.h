// Stand-ins the test executable defines for what the core takes from its process: Xlib's
// XKeysymToKeycode and XGetGeometry, and the capture client's three calls. Definitions in the
// executable come first in the dynamic linker's search order, so the core binds to these rather
// than to libX11's or libmivo.so.0's.
#ifndef VORNA_TESTS_CORE_DOUBLES_H
#define VORNA_TESTS_CORE_DOUBLES_H

#include <X11/Xlib.h>

#include <cstdint>
#include <string>
#include <vector>

#include "mivo.h"

struct ClientCall {
    enum Kind { Create, Capture, Destroy } kind;
    MivoClient *client;         // the handle returned (Create) or passed in
    CaptureParams params;       // Create only
    std::string output;         // Create only: the text params.output pointed at
    uint32_t x, y;              // Capture only
    long stderrBytes;           // Destroy only: how much had been logged when it was called
};

struct Doubles {
    std::vector<ClientCall> calls;
    bool createFails = false;
    Status geometryStatus = 1;
    unsigned int width = 640;
    unsigned int height = 480;
    int liveClients = 0;
};

extern Doubles doubles;

// Key codes the stand-in XKeysymToKeycode reports.
constexpr unsigned int kF8Code = 74;
constexpr unsigned int kF12Code = 96;
constexpr unsigned int kOtherCode = 38;

#endif
