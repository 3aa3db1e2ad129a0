// From the OUTPUT URL to the file a recording is written to.
#pragma once

#include <string>

namespace mivo {

enum class Container { Matroska, FragmentedMp4 };

struct OutputTarget {
    std::string path;      // absolute, free at the time it was chosen, parents created
    Container container = Container::Matroska;
};

// file:// URL -> free path. False and a message for the user in *error when the URL is refused
// or the directory cannot be made.
bool resolveOutput(const char *url, OutputTarget *target, std::string *error);

}  // namespace mivo
