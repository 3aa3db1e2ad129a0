// From the OUTPUT URL to the file a recording is written to.
#pragma once

#include <string>

namespace mivo {

enum class Container { Matroska, FragmentedMp4 };

struct OutputTarget {
    std::string path;      // absolute, free at the time it was chosen, parents created
    Container container = Container::Matroska;
};

// file:// URL -> free path. The file is created empty (O_EXCL) so that no other recording can
// take the same name; startRecorder writes into it. False and a message for the user in *error
// when the URL is refused or the directory or file cannot be made; the message is a whole line
// ("mivoClientCreate(): ...\n"), ready to log as it is.
bool resolveOutput(const char *url, OutputTarget *target, std::string *error);

// The path a file:// URL names, percent escapes decoded, nothing touched on disk. False and a
// message in *error, as above.
bool decodeFileUrl(const char *url, std::string *path, std::string *error);

// Gives back a name resolveOutput reserved and nothing was written to (the recording could
// not start): removes the file if it is still empty.
void releaseOutput(const std::string &path);

// The container a file name asks for: .mp4 gives fragmented MP4, everything else Matroska.
Container containerForPath(const std::string &path);

}  // namespace mivo
