#include "locate.h"

#include <limits.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

namespace vorna {

std::string executablePath() {
    char path[PATH_MAX];
    ssize_t length = readlink("/proc/self/exe", path, sizeof path - 1);
    if (length <= 0) return std::string();
    return std::string(path, static_cast<size_t>(length));
}

std::string libraryDirectory(const std::string &executable) {
    std::string::size_type slash = executable.rfind('/');
    std::string directory = slash == std::string::npos ? std::string(".") : executable.substr(0, slash);
    const char *relative = VORNA_LIBDIR_FROM_BINDIR;
    while (strncmp(relative, "../", 3) == 0 && directory.rfind('/') != std::string::npos) {
        directory.erase(directory.rfind('/'));
        relative += 3;
    }
    directory += '/';
    directory += relative;
    char resolved[PATH_MAX];
    if (realpath(directory.c_str(), resolved)) return resolved;
    return directory;
}

}  // namespace vorna
