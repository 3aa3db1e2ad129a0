// vorna config: the core itself answers. The probe links libvorna.so, so loading it runs the
// core's own configuration loading with the user's environment; it is started under PROGRAM's
// name, which is where the core takes the program name from.
#include "commands.h"
#include "locate.h"
#include "options.h"

#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <string>

namespace vorna {

void printConfigHelp() {
    fputs("Usage: vorna config [--profile NAME] [PROGRAM]\n"
          "Shows the configuration files PROGRAM would read, in order, and the settings that\n"
          "result. Without PROGRAM, only the files that apply to every program count.\n"
          "Vorna's own log lines (one per file it tries, then its summary) go to stderr, at the\n"
          "verbosity the files set; the listing goes to stdout.\n"
          "\n"
          "Options:\n"
          "  --profile NAME  also read ~/.vorna/profiles/NAME (the same as VORNA=NAME)\n"
          "  -h, --help      show this help\n",
          stdout);
}

int configCommand(int argc, char **argv) {
    CommandOptions options = parseOptions("config", argc, argv);
    if (!options.valid) return exitUsage;
    if (options.help) {
        printConfigHelp();
        return 0;
    }
    if (argc - options.operands > 1) {
        complain("config: takes at most one program; try 'vorna config --help'");
        return exitUsage;
    }
    const char *program = options.operands < argc ? argv[options.operands] : "";

    const std::string self = executablePath();
    const std::string libraries = libraryDirectory(self);
    const std::string probe = libraries + "/vorna-config-probe";
    if (access(probe.c_str(), X_OK) != 0) {
        complain("vorna-config-probe not found next to %s (looked in %s)", self.c_str(), libraries.c_str());
        return 1;
    }
    if (options.profile && setenv("VORNA", options.profile, 1) != 0) {
        complain("couldn't set the environment: %s", strerror(errno));
        return 1;
    }
    char *probeArguments[] = {const_cast<char *>(program), nullptr};
    execv(probe.c_str(), probeArguments);
    complain("%s: %s", probe.c_str(), strerror(errno));
    return exitCannotRun;
}

}  // namespace vorna
