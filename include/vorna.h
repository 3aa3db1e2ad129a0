/* libvorna: the capture core's exported interface.
 *
 * The core is loaded into an X11 program. A caller in the same process hands it the program's
 * X events and tells it when a frame is ready; the core toggles recording on the hotkey and
 * drives the capture client. Everything here has C linkage and is usable from C and C++. */
#ifndef VORNA_H
#define VORNA_H

#include <stddef.h>
#include <stdint.h>
#include <X11/Xlib.h>

#ifdef __cplusplus
extern "C" {
#endif

#define VORNA_EXPORT __attribute__((visibility("default")))

/* Log levels: a message is printed when its level is at most `verbosity`. */
#define VORNA_LOG_PANIC 0u
#define VORNA_LOG_ERROR 1u
#define VORNA_LOG_WARN 2u
#define VORNA_LOG_INFO 3u
#define VORNA_LOG_DEBUG 4u

#define VORNA_OUTPUT_SIZE 1024

typedef struct Settings {
    uint64_t verbosity;              /* VERBOSE: highest level printed */
    KeySym hotkey;                   /* HOTKEY: starts and stops capturing */
    uint32_t insets[4];              /* INSETS: top, right, bottom, left, in pixels */
    uint32_t scale;                  /* SCALE: handed to the capture client */
    double fps;                      /* FPS: handed to the capture client */
    char output[VORNA_OUTPUT_SIZE];  /* OUTPUT: URL of the recording, NUL-terminated */
} Settings;

#ifdef __cplusplus
static_assert(sizeof(KeySym) == 8, "KeySym must be 64 bits wide");
static_assert(offsetof(Settings, verbosity) == 0, "Settings layout");
static_assert(offsetof(Settings, hotkey) == 8, "Settings layout");
static_assert(offsetof(Settings, insets) == 16, "Settings layout");
static_assert(offsetof(Settings, scale) == 32, "Settings layout");
static_assert(offsetof(Settings, fps) == 40, "Settings layout");
static_assert(offsetof(Settings, output) == 48, "Settings layout");
static_assert(sizeof(Settings) == 1072, "Settings layout");
#else
_Static_assert(sizeof(KeySym) == 8, "KeySym must be 64 bits wide");
_Static_assert(__builtin_offsetof(Settings, verbosity) == 0, "Settings layout");
_Static_assert(__builtin_offsetof(Settings, hotkey) == 8, "Settings layout");
_Static_assert(__builtin_offsetof(Settings, insets) == 16, "Settings layout");
_Static_assert(__builtin_offsetof(Settings, scale) == 32, "Settings layout");
_Static_assert(__builtin_offsetof(Settings, fps) == 40, "Settings layout");
_Static_assert(__builtin_offsetof(Settings, output) == 48, "Settings layout");
_Static_assert(sizeof(Settings) == 1072, "Settings layout");
#endif

/* The active settings; rebuilt from defaults and files by every updateConfiguration(). */
extern VORNA_EXPORT Settings vornaGlobal;

/* Feed one X event the program received (at least every key press). */
VORNA_EXPORT void vornaCoreEvent(Display *display, XEvent *event);
/* One frame of `drawable` is ready; call before it is presented. */
VORNA_EXPORT void vornaCoreCapture(Display *display, Drawable drawable);
/* Rebuild the settings from the defaults and the configuration files, log a summary. */
VORNA_EXPORT void updateConfiguration(void);
/* Write one log line "[ stamp | LEVEL ]: message" to stderr; `format` supplies the line end. */
VORNA_EXPORT void logMessage(uint64_t level, const char *format, ...)
    __attribute__((format(printf, 2, 3)));

#ifdef __cplusplus
}
#endif

#endif
