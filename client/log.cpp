#include "log.h"

#include <dlfcn.h>
#include <locale.h>
#include <stdarg.h>
#include <stdio.h>
#include <time.h>

#include <mutex>

namespace mivo {
namespace {

using LogMessageFn = void (*)(uint64_t, const char *, ...);

LogMessageFn findCoreLog() {
    // With RTLD_DEFAULT glibc searches the calling object's scope, which holds the core when the
    // core loaded us (also when the core itself was opened privately). The NOLOAD open covers a
    // core that sits outside that scope but is already in the process; it never loads one.
    if (auto fn = reinterpret_cast<LogMessageFn>(dlsym(RTLD_DEFAULT, "logMessage"))) return fn;
    if (void *core = dlopen("libvorna.so", RTLD_LAZY | RTLD_NOLOAD)) {
        auto fn = reinterpret_cast<LogMessageFn>(dlsym(core, "logMessage"));
        // The handle only pins a library that is loaded anyway; keep it, so `fn` stays valid.
        if (fn) return fn;
        dlclose(core);
    }
    return nullptr;
}

LogMessageFn coreLog() {
    static std::once_flag once;
    static LogMessageFn fn = nullptr;
    std::call_once(once, [] { fn = findCoreLog(); });
    return fn;
}

// Host programs may set LC_NUMERIC (a German game prints "29,97"); our numbers are always
// formatted in the C locale, switched for this thread only.
class CLocaleScope {
public:
    CLocaleScope() {
        static locale_t c = newlocale(LC_ALL_MASK, "C", static_cast<locale_t>(0));
        if (c) previous_ = uselocale(c);
    }
    ~CLocaleScope() {
        if (previous_) uselocale(previous_);
    }
    CLocaleScope(const CLocaleScope &) = delete;
    CLocaleScope &operator=(const CLocaleScope &) = delete;

private:
    locale_t previous_ = static_cast<locale_t>(0);
};

const char *levelName(uint64_t level) {
    static const char *const names[] = {"PANIC", "ERROR", "WARN ", "INFO ", "DEBUG"};
    return level < sizeof names / sizeof names[0] ? names[level] : "DEBUG";
}

}  // namespace

void clientLog(uint64_t level, const char *format, ...) {
    char text[8192];
    {
        CLocaleScope cLocale;
        va_list args;
        va_start(args, format);
        int length = vsnprintf(text, sizeof text, format, args);
        va_end(args);
        // A cut line still ends its line.
        if (length >= static_cast<int>(sizeof text)) text[sizeof text - 2] = '\n';
    }

    if (LogMessageFn core = coreLog()) {
        core(level, "%s", text);
        return;
    }
    // No core in the process (a test, or a caller of our own): same line format on stderr.
    // The core decides verbosity itself; here DEBUG stays quiet.
    if (level > LogInfo) return;
    time_t now = time(nullptr);
    struct tm local {};
    localtime_r(&now, &local);
    fprintf(stderr, "[ %04d/%02d/%02d %02d:%02d:%02d | %s ]: %s", local.tm_year + 1900,
            local.tm_mon + 1, local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec,
            levelName(level), text);
}

}  // namespace mivo
