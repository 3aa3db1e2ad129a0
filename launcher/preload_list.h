// Composing LD_PRELOAD.
#ifndef VORNA_LAUNCHER_PRELOAD_LIST_H
#define VORNA_LAUNCHER_PRELOAD_LIST_H

#include <string>

namespace vorna {

// The value LD_PRELOAD must have for `preload` to be loaded once: `current` (null when unset)
// unchanged if it already names `preload`, else `current` with every other copy of a library of
// the same file name dropped and `preload` appended after a colon.
std::string withPreload(const char *current, const std::string &preload);

}  // namespace vorna

#endif
