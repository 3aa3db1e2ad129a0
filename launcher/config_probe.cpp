// vorna-config-probe: started by `vorna config` under the name of the program asked about.
// Linking libvorna.so makes the core load its configuration before main, exactly as it does
// inside that program (its log lines go to stderr); this prints what it read and the result.
#include <vorna.h>

#include <X11/Xlib.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include <string>

namespace {

// The core's rule: the part after the last '/', cut at the last '.'.
std::string programName(const char *invoked) {
    std::string name = invoked;
    std::string::size_type slash = name.rfind('/');
    if (slash != std::string::npos) name.erase(0, slash + 1);
    std::string::size_type dot = name.rfind('.');
    if (dot != std::string::npos) name.erase(dot);
    return name;
}

void listFile(const std::string &path) {
    printf("  %-48s %s\n", path.c_str(), access(path.c_str(), R_OK) == 0 ? "(read)" : "(not found)");
}

}  // namespace

int main(int, char **argv) {
    const std::string name = programName(argv[0] ? argv[0] : "");
    const char *home = getenv("HOME");
    const char *profile = getenv("VORNA");

    if (name.empty())
        printf("Program: none given\n");
    else
        printf("Program: %s\n", name.c_str());
    printf("Configuration files, in the order they are read (later ones win):\n");
    listFile("/usr/local/etc/vorna/conf");
    if (home) {
        const std::string base = std::string(home) + "/.vorna/";
        listFile(base + "conf");
        if (!name.empty()) listFile(base + "programs/" + name);
        if (profile)
            listFile(base + "profiles/" + profile);
        else
            printf("  (no profile: VORNA is not set)\n");
    } else {
        printf("  (HOME is not set: no files of the user's)\n");
    }

    const Settings &settings = vornaGlobal;
    const char *hotkey = XKeysymToString(settings.hotkey);
    printf("Resulting settings:\n");
    printf("  OUTPUT = %s\n", settings.output);
    printf("  HOTKEY = %s\n", hotkey ? hotkey : "NoSymbol");
    printf("  FPS = %g\n", settings.fps);
    printf("  INSETS = %u %u %u %u\n", settings.insets[0], settings.insets[1], settings.insets[2], settings.insets[3]);
    printf("  SCALE = %u\n", settings.scale);
    printf("  VERBOSE = %llu\n", static_cast<unsigned long long>(settings.verbosity));
    return 0;
}
