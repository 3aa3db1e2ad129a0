#include <stdarg.h>
#include <stdio.h>
#include <string.h>
#include <time.h>

#include "vorna.h"
#include "log/c_locale.h"

static const char levelNames[5][6] = {"PANIC", "ERROR", "WARN ", "INFO ", "DEBUG"};
// Levels above DEBUG get through the filter with the default verbosity of 5.
static const char beyondDebugName[6] = "TRACE";

static char logTimestamp[64];
static char logLine[4096];

extern "C" void logMessage(uint64_t level, const char *format, ...)
{
    if (level > vornaGlobal.verbosity)
        return;

    locale_t previous = enterCLocale();

    time_t now = time(nullptr);
    struct tm local;
    if (localtime_r(&now, &local) == nullptr || strftime(logTimestamp, sizeof logTimestamp, "%Y/%m/%d %H:%M:%S", &local) == 0)
        logTimestamp[0] = '\0';

    const char *name = level < sizeof levelNames / sizeof levelNames[0] ? levelNames[level] : beyondDebugName;
    int prefix = snprintf(logLine, sizeof logLine, "[ %s | %s ]: ", logTimestamp, name);
    if (prefix < 0)
        prefix = 0;
    if ((size_t)prefix < sizeof logLine - 1) {
        va_list args;
        va_start(args, format);
        vsnprintf(logLine + prefix, sizeof logLine - (size_t)prefix, format, args);
        va_end(args);
    }

    leaveCLocale(previous);

    fputs(logLine, stderr);
}
