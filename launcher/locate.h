// Where the launcher's libraries are.
#ifndef VORNA_LAUNCHER_LOCATE_H
#define VORNA_LAUNCHER_LOCATE_H

#include <string>

namespace vorna {

// The running executable, from /proc/self/exe; empty when it cannot be read.
std::string executablePath();

// The library folder that belongs to `executable`: the same relative place in the build tree
// and in an installed tree (bin/vorna next to lib/vorna/).
std::string libraryDirectory(const std::string &executable);

}  // namespace vorna

#endif
