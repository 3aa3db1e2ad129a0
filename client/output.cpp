#include "output.h"

#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <string_view>

namespace mivo {
namespace {

constexpr const char *kWho = "mivoClientCreate(): ";
constexpr const char *kExample = "file:///tmp/vorna.mivo";
// Beyond this many numbered names in one directory something else is wrong.
constexpr int kMaxNumberedName = 100000;

std::string refuse(const char *url, const std::string &why) {
    return std::string(kWho) + "cannot record to '" + url + "': " + why + "\n";
}

int hexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// The scheme as RFC 3986 spells it: a letter, then letters, digits, '+', '-', '.', then ':'.
std::string_view schemeOf(std::string_view url) {
    if (url.empty() || !isalpha(static_cast<unsigned char>(url[0]))) return {};
    for (size_t i = 1; i < url.size(); ++i) {
        unsigned char c = static_cast<unsigned char>(url[i]);
        if (c == ':') return url.substr(0, i);
        if (!isalnum(c) && c != '+' && c != '-' && c != '.') return {};
    }
    return {};
}

bool equalsNoCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (tolower(static_cast<unsigned char>(a[i])) != tolower(static_cast<unsigned char>(b[i])))
            return false;
    return true;
}

// "dir/name.ext" -> where the number goes: before the last dot of the last component, unless
// that dot starts the name (".hidden" has no extension).
size_t numberPosition(const std::string &path) {
    size_t slash = path.rfind('/');
    size_t nameStart = slash == std::string::npos ? 0 : slash + 1;
    size_t dot = path.rfind('.');
    if (dot == std::string::npos || dot <= nameStart) return path.size();
    return dot;
}

bool makeParents(const char *url, const std::string &path, std::string *error) {
    for (size_t slash = path.find('/', 1); slash != std::string::npos;
         slash = path.find('/', slash + 1)) {
        std::string dir = path.substr(0, slash);
        if (mkdir(dir.c_str(), 0755) == 0 || errno == EEXIST) {
            struct stat st {};
            if (stat(dir.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) continue;
            *error = refuse(url, "'" + dir + "' exists and is not a directory; choose another OUTPUT");
            return false;
        }
        *error = refuse(url, "cannot create the directory '" + dir + "': " + strerror(errno) +
                                 "; create it or choose another OUTPUT");
        return false;
    }
    return true;
}

}  // namespace

bool decodeFileUrl(const char *url, std::string *path, std::string *error) {
    if (!url || !*url) {
        *error = std::string(kWho) + "no OUTPUT was given; set it to a file:// URL such as " +
                 kExample + "\n";
        return false;
    }
    std::string_view rest(url);
    std::string_view scheme = schemeOf(rest);
    if (scheme.empty()) {
        std::string hint = rest[0] == '/' ? std::string("file://") + url : std::string(kExample);
        *error = refuse(url, std::string("OUTPUT must be a file:// URL with an absolute path, such as ") +
                                 hint);
        return false;
    }
    if (!equalsNoCase(scheme, "file")) {
        *error = refuse(url, "the scheme '" + std::string(scheme) +
                                 "' is not supported; use a file:// URL such as " + kExample);
        return false;
    }
    rest.remove_prefix(scheme.size() + 1);
    if (rest.substr(0, 2) != "//") {
        *error = refuse(url, std::string("a file URL starts with file:// and an absolute path, such as ") +
                                 kExample);
        return false;
    }
    rest.remove_prefix(2);
    size_t slash = rest.find('/');
    std::string_view host = rest.substr(0, slash);
    if (!host.empty() && !equalsNoCase(host, "localhost")) {
        *error = refuse(url, "the file URL names the host '" + std::string(host) +
                                 "'; only local files are written, such as " + kExample);
        return false;
    }
    if (slash == std::string_view::npos) {
        *error = refuse(url, std::string("the URL has no path; give an absolute file path, such as ") +
                                 kExample);
        return false;
    }
    rest.remove_prefix(slash);

    std::string decoded;
    decoded.reserve(rest.size());
    for (size_t i = 0; i < rest.size(); ++i) {
        if (rest[i] != '%') {
            decoded += rest[i];
            continue;
        }
        int high = i + 2 < rest.size() ? hexValue(rest[i + 1]) : -1;
        int low = high >= 0 ? hexValue(rest[i + 2]) : -1;
        if (low < 0) {
            *error = refuse(url, "'" + std::string(rest.substr(i, 3)) +
                                     "' is not a percent escape; write a '%' as %25");
            return false;
        }
        if (high == 0 && low == 0) {
            *error = refuse(url, "%00 cannot be part of a file name");
            return false;
        }
        decoded += static_cast<char>(high * 16 + low);
        i += 2;
    }
    if (decoded.back() == '/') {
        *error = refuse(url, "the URL names a directory; add a file name, such as " +
                                 std::string(url) + "vorna.mivo");
        return false;
    }
    *path = std::move(decoded);
    return true;
}

void releaseOutput(const std::string &path) {
    struct stat st {};
    if (stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && st.st_size == 0) unlink(path.c_str());
}

Container containerForPath(const std::string &path) {
    size_t at = numberPosition(path);
    if (at < path.size() && equalsNoCase(std::string_view(path).substr(at), ".mp4"))
        return Container::FragmentedMp4;
    return Container::Matroska;
}

bool resolveOutput(const char *url, OutputTarget *target, std::string *error) {
    std::string path;
    if (!decodeFileUrl(url, &path, error)) return false;

    struct stat st {};
    if (stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
        *error = refuse(url, "'" + path + "' is a directory; add a file name, such as " + path +
                                 "/vorna.mivo");
        return false;
    }
    if (!makeParents(url, path, error)) return false;

    // O_EXCL makes taking the name and creating the file one step, so two programs recording
    // into the same directory at once never write the same file.
    size_t at = numberPosition(path);
    std::string candidate = path;
    for (int number = 2;; ++number) {
        int fd = open(candidate.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
        if (fd >= 0) {
            close(fd);
            break;
        }
        if (errno != EEXIST) {
            *error = refuse(url, "cannot create '" + candidate + "': " + strerror(errno) +
                                     "; choose another OUTPUT");
            return false;
        }
        if (number > kMaxNumberedName) {
            *error = refuse(url, "every name from '" + path + "' up to number " +
                                     std::to_string(kMaxNumberedName) +
                                     " is taken; choose another OUTPUT");
            return false;
        }
        candidate = path.substr(0, at) + "-" + std::to_string(number) + path.substr(at);
    }
    target->path = std::move(candidate);
    target->container = containerForPath(target->path);
    return true;
}

}  // namespace mivo
