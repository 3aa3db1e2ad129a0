#include "preload_log.h"

#include <stdarg.h>
#include <stdio.h>
#include <time.h>
#include <unistd.h>

void reportOnce(std::atomic<bool> &said, const char *format, ...) {
    if (said.exchange(true)) return;
    char stamp[64] = "";
    time_t now = time(nullptr);
    struct tm local;
    if (localtime_r(&now, &local)) strftime(stamp, sizeof stamp, "%Y/%m/%d %H:%M:%S", &local);
    char line[4096];
    int length = snprintf(line, sizeof line, "[ %s | ERROR ]: ", stamp);
    if (length < 0) return;
    va_list arguments;
    va_start(arguments, format);
    vsnprintf(line + length, sizeof line - length, format, arguments);
    va_end(arguments);
    size_t total = 0;
    while (line[total]) ++total;
    for (size_t written = 0; written < total;) {
        ssize_t n = write(STDERR_FILENO, line + written, total - written);
        if (n <= 0) break;
        written += static_cast<size_t>(n);
    }
}
