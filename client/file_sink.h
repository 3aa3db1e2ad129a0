// The file a recording is written to, as FFmpeg's I/O layer sees it: plain write/seek on a
// descriptor we own, so that every failure keeps its errno and a removed file can be noticed.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>

namespace mivo {

class FileSink {
public:
    FileSink() = default;
    ~FileSink();
    FileSink(const FileSink &) = delete;
    FileSink &operator=(const FileSink &) = delete;

    // Opens `path`, which must be empty or absent (resolveOutput reserved it). False and the
    // cause in *error otherwise.
    bool open(const std::string &path, std::string *error);
    bool write(const uint8_t *data, size_t size);
    // lseek(2), plus FFmpeg's AVSEEK_SIZE; -1 on failure.
    int64_t seek(int64_t offset, int whence);
    // True once the file has lost its last name: on Linux writes to it go on succeeding, and the
    // data would vanish when we close it.
    bool removed();

    int lastErrno() const { return lastErrno_; }
    const std::string &path() const { return path_; }

private:
    int fd_ = -1;
    int lastErrno_ = 0;
    std::string path_;
};

}  // namespace mivo
