// The dynamic loader splits LD_PRELOAD at colons and blanks alike. A second copy of our layer
// (another build, another install) would hook every call twice and run two cores, so an entry
// with our file name that is not our file is dropped rather than kept next to ours.
#include "preload_list.h"

#include <sys/stat.h>

#include <vector>

namespace vorna {
namespace {

std::string fileName(const std::string &path) {
    std::string::size_type slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

bool sameFile(const std::string &a, const std::string &b) {
    if (a == b) return true;
    struct stat sa, sb;
    return stat(a.c_str(), &sa) == 0 && stat(b.c_str(), &sb) == 0 && sa.st_dev == sb.st_dev &&
           sa.st_ino == sb.st_ino;
}

std::vector<std::string> entries(const std::string &list) {
    std::vector<std::string> result;
    std::string::size_type start = 0;
    while (start <= list.size()) {
        std::string::size_type end = list.find_first_of(": ", start);
        if (end == std::string::npos) end = list.size();
        if (end > start) result.push_back(list.substr(start, end - start));
        start = end + 1;
    }
    return result;
}

}  // namespace

std::string withPreload(const char *current, const std::string &preload) {
    if (!current || !*current) return preload;
    std::string value = current;
    const std::string name = fileName(preload);
    bool present = false;
    bool otherCopy = false;
    for (const std::string &entry : entries(value)) {
        if (sameFile(entry, preload))
            present = true;
        else if (fileName(entry) == name)
            otherCopy = true;
    }
    if (!otherCopy) {
        if (present) return value;
        std::string::size_type last = value.find_last_not_of(": ");
        if (last == std::string::npos) return preload;
        return value.substr(0, last + 1) + ':' + preload;
    }

    std::string kept;
    for (const std::string &entry : entries(value)) {
        if (fileName(entry) == name) continue;
        if (!kept.empty()) kept += ':';
        kept += entry;
    }
    if (kept.empty()) return preload;
    return kept + ':' + preload;
}

}  // namespace vorna
