// Messages of the layer itself, in the core's line format, for when the core is not there to
// write them.
#ifndef VORNA_PRELOAD_LOG_H
#define VORNA_PRELOAD_LOG_H

#include <atomic>

// Writes one ERROR line to stderr the first time `said` is false; later calls write nothing.
void reportOnce(std::atomic<bool> &said, const char *format, ...) __attribute__((format(printf, 2, 3)));

#endif
