#include "file_sink.h"

#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

extern "C" {
#include <libavformat/avio.h>
}

namespace mivo {

FileSink::~FileSink() {
    if (fd_ >= 0) close(fd_);
}

bool FileSink::open(const std::string &path, std::string *error) {
    path_ = path;
    // The name was taken with O_EXCL a moment ago; if it is a symbolic link now, someone put it
    // there since, and writing through it would create or fill a file of their choosing.
    fd_ = ::open(path.c_str(), O_WRONLY | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (fd_ < 0) {
        *error = strerror(errno);
        return false;
    }
    struct stat st {};
    if (fstat(fd_, &st) != 0 || !S_ISREG(st.st_mode) || st.st_size != 0) {
        *error = "the file is not a new empty file, and is never overwritten";
        close(fd_);
        fd_ = -1;
        return false;
    }
    return true;
}

bool FileSink::write(const uint8_t *data, size_t size) {
    while (size > 0) {
        ssize_t n = ::write(fd_, data, size);
        if (n < 0) {
            if (errno == EINTR) continue;
            lastErrno_ = errno;
            return false;
        }
        data += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

int64_t FileSink::seek(int64_t offset, int whence) {
    if (whence & AVSEEK_SIZE) {
        struct stat st {};
        if (fstat(fd_, &st) != 0) {
            lastErrno_ = errno;
            return -1;
        }
        return st.st_size;
    }
    off_t at = lseek(fd_, static_cast<off_t>(offset), whence & ~AVSEEK_FORCE);
    if (at < 0) lastErrno_ = errno;
    return at;
}

bool FileSink::removed() {
    struct stat st {};
    return fd_ >= 0 && fstat(fd_, &st) == 0 && st.st_nlink == 0;
}

}  // namespace mivo
