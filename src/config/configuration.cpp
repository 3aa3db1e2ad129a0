#include <fcntl.h>
#include <inttypes.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include <X11/Xlib.h>

#include "vorna.h"
#include "config/settings.h"
#include "log/c_locale.h"

static char processName[4096];
static char configPath[4096];
static char configLine[4096];

static bool isUsableValue(const char *value)
{
    return value != nullptr && value[0] != '\0' && value[0] != '\n';
}

// One line of a configuration file: KEY = value. The key is at most nine characters, so a longer
// word never matches one of the six keys.
static void mergeConfigurationLine(const char *line)
{
    const char *equals = strchr(line, '=');
    if (equals == nullptr)
        return;
    char key[10];
    if (sscanf(line, " %9[^=\f\n\r\t\v ]", key) != 1)
        return;
    const char *value = equals + 1;
    if (isUsableValue(value))
        applySetting(key, value);
}

__attribute__((format(printf, 1, 2))) static void mergeConfigurationFile(const char *pathFormat, ...)
{
    va_list args;
    va_start(args, pathFormat);
    vsnprintf(configPath, sizeof configPath, pathFormat, args);
    va_end(args);

    logMessage(VORNA_LOG_DEBUG, "Merging configuration from '%s'\n", configPath);

    // "e": the descriptor must not leak into a program the host's other threads start meanwhile.
    FILE *file = fopen(configPath, "re");
    if (file == nullptr)
        return;
    // A line longer than the buffer arrives in pieces, each handled as a line of its own.
    while (fgets(configLine, sizeof configLine, file) != nullptr)
        mergeConfigurationLine(configLine);
    fclose(file);
}

// A directory output ("file://.../") gets a file name: the process name, the local time, ".mivo".
static void completeOutputName()
{
    char *output = vornaGlobal.output;
    size_t length = strlen(output);
    if (strncmp(output, "file://", 7) != 0 || length == 0 || output[length - 1] != '/')
        return;
    size_t room = sizeof vornaGlobal.output - length;
    if (room <= strlen(processName) + 27)
        return;

    char stamp[64];
    time_t now = time(nullptr);
    struct tm local;
    if (localtime_r(&now, &local) == nullptr || strftime(stamp, sizeof stamp, "-%F-%T", &local) == 0)
        stamp[0] = '\0';
    snprintf(output + length, room, "%s%s.mivo", processName, stamp);
}

static void logSummary()
{
    const char *hotkeyName = XKeysymToString(vornaGlobal.hotkey);
    if (hotkeyName == nullptr)
        hotkeyName = "NoSymbol";
    logMessage(VORNA_LOG_INFO, "Active configuration (log-level: %" PRIu64 "):\n", vornaGlobal.verbosity);
    logMessage(VORNA_LOG_INFO, "   HOTKEY: %s, FPS: %.1f, INSETS: %" PRIu32 "/%" PRIu32 "/%" PRIu32 "/%" PRIu32 "\n",
               hotkeyName, vornaGlobal.fps, vornaGlobal.insets[0], vornaGlobal.insets[1], vornaGlobal.insets[2],
               vornaGlobal.insets[3]);
    logMessage(VORNA_LOG_INFO, "   OUTPUT: %s, SCALE: %" PRIu32 "\n", vornaGlobal.output, vornaGlobal.scale);
}

extern "C" void updateConfiguration(void)
{
    resetSettings();

    mergeConfigurationFile("%s", "/usr/local/etc/vorna/conf");
    // HOME is read afresh for every path; without it there is no home directory to look in.
    const char *home = getenv("HOME");
    if (home != nullptr)
        mergeConfigurationFile("%s/.vorna/conf", home);
    home = getenv("HOME");
    if (home != nullptr)
        mergeConfigurationFile("%s/.vorna/programs/%s", home, processName);
    const char *profile = getenv("VORNA");
    home = getenv("HOME");
    if (profile != nullptr && home != nullptr)
        mergeConfigurationFile("%s/.vorna/profiles/%s", home, profile);

    completeOutputName();
    logSummary();
}

// The short program name: the last path element of argv[0], cut at its last dot.
static void readProcessName()
{
    int fd = open("/proc/self/cmdline", O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return;
    size_t filled = 0;
    while (filled < sizeof processName - 1) {
        ssize_t got = read(fd, processName + filled, sizeof processName - 1 - filled);
        if (got <= 0)
            break;
        filled += (size_t)got;
    }
    close(fd);
    processName[filled] = '\0';

    char *slash = strrchr(processName, '/');
    if (slash != nullptr)
        memmove(processName, slash + 1, strlen(slash + 1) + 1);
    char *dot = strrchr(processName, '.');
    if (dot != nullptr)
        *dot = '\0';
}

__attribute__((constructor)) static void onLibraryLoad()
{
    readProcessName();
    updateConfiguration();
}
