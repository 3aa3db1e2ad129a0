// The client's messages: through the core's logMessage when the process has it, else to
// stderr in the same line format.
#pragma once

#include <cstdint>

namespace mivo {

enum LogLevel : uint64_t { LogPanic = 0, LogError = 1, LogWarn = 2, LogInfo = 3, LogDebug = 4 };

void clientLog(uint64_t level, const char *format, ...) __attribute__((format(printf, 2, 3)));

}  // namespace mivo
