#include <inttypes.h>
#include <stdio.h>
#include <string.h>

#include <X11/Xlib.h>

#include "vorna.h"
#include "config/settings.h"
#include "log/c_locale.h"

Settings vornaGlobal;

// Every setter parses the value text as a whole: leading whitespace is skipped, whatever follows
// the parsed part (the line end included) is ignored, and a conversion that matches nothing
// leaves its field as it was.

static void setOutput(const char *value)
{
    static_assert(sizeof vornaGlobal.output == 1024, "the width below is the buffer less its terminator");
    sscanf(value, "%1023s", vornaGlobal.output);
}

static void setHotkey(const char *value)
{
    char name[33];
    if (sscanf(value, "%32s", name) == 1)
        vornaGlobal.hotkey = XStringToKeysym(name);
}

static void setFps(const char *value)
{
    locale_t previous = enterCLocale();
    sscanf(value, "%lf", &vornaGlobal.fps);
    leaveCLocale(previous);
}

static void setVerbose(const char *value)
{
    sscanf(value, "%" SCNu64, &vornaGlobal.verbosity);
}

// Stops at the first number that does not convert, keeping the elements after it.
static void setInsets(const char *value)
{
    sscanf(value, "%" SCNu32 " %" SCNu32 " %" SCNu32 " %" SCNu32, &vornaGlobal.insets[0], &vornaGlobal.insets[1],
           &vornaGlobal.insets[2], &vornaGlobal.insets[3]);
}

static void setScale(const char *value)
{
    sscanf(value, "%" SCNu32, &vornaGlobal.scale);
}

struct SettingKey {
    const char *name;
    void (*set)(const char *value);
    const char *defaultText;  // null: the field stays zero after a reset
};

// The reset applies the defaults in this order.
static const SettingKey settingKeys[] = {
    {"OUTPUT", setOutput, "file:///tmp/vorna.mivo"},
    {"HOTKEY", setHotkey, "F8"},
    {"FPS", setFps, "30.0"},
    {"VERBOSE", setVerbose, "5"},
    {"INSETS", setInsets, nullptr},
    {"SCALE", setScale, nullptr},
};

void resetSettings()
{
    memset(&vornaGlobal, 0, sizeof vornaGlobal);
    for (const SettingKey &key : settingKeys)
        if (key.defaultText != nullptr)
            key.set(key.defaultText);
}

bool applySetting(const char *key, const char *value)
{
    for (const SettingKey &candidate : settingKeys) {
        if (strcmp(candidate.name, key) == 0) {
            candidate.set(value);
            return true;
        }
    }
    return false;
}
