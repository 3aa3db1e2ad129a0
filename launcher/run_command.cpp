// vorna run: LD_PRELOAD gains the preload layer, then the program replaces us, so its exit
// status, its signals and its standard streams are its own.
#include "commands.h"
#include "locate.h"
#include "options.h"
#include "preload_list.h"

#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <string>

namespace vorna {

void printRunHelp() {
    fputs("Usage: vorna run [--record] [--profile NAME] [--] PROGRAM [ARGS...]\n"
          "Runs PROGRAM with Vorna loaded into it. Press F8 in its window to start recording\n"
          "and F8 again to stop. Fits a game launcher's command template: vorna run %command%\n"
          "\n"
          "Options:\n"
          "  --record        start recording at PROGRAM's first frame, without a key press; F8\n"
          "                  stops it (when PROGRAM gets key presses through Xlib) and so does\n"
          "                  PROGRAM's exit. Every OpenGL program PROGRAM starts records too.\n"
          "  --profile NAME  also read ~/.vorna/profiles/NAME (the same as VORNA=NAME)\n"
          "  -h, --help      show this help\n"
          "\n"
          "The exit status is PROGRAM's; 127 when PROGRAM is not found, 126 when it cannot be run.\n",
          stdout);
}

int runCommand(int argc, char **argv) {
    CommandOptions options = parseOptions("run", argc, argv, true);
    if (!options.valid) return exitUsage;
    if (options.help) {
        printRunHelp();
        return 0;
    }
    if (options.operands >= argc) {
        complain("missing program; try 'vorna --help'");
        return exitUsage;
    }
    char **program = argv + options.operands;

    const std::string self = executablePath();
    const std::string libraries = libraryDirectory(self);
    const std::string preload = libraries + "/libvorna-preload.so";
    if (access(preload.c_str(), R_OK) != 0) {
        complain("libvorna-preload.so not found next to %s (looked in %s)", self.c_str(), libraries.c_str());
        return 1;
    }
    // The loader splits LD_PRELOAD at blanks and colons, with no way to quote them.
    if (preload.find_first_of(": ") != std::string::npos) {
        complain("%s can't go into LD_PRELOAD: its path holds a blank or a colon; install Vorna elsewhere",
                 preload.c_str());
        return 1;
    }
    const std::string value = withPreload(getenv("LD_PRELOAD"), preload);
    // A plain run started by a program under `vorna run --record` would inherit the request to
    // record at once; it asked for no such thing.
    const int recordSet =
        options.record ? setenv("VORNA_RECORD_AT_START", "1", 1) : unsetenv("VORNA_RECORD_AT_START");
    if (setenv("LD_PRELOAD", value.c_str(), 1) != 0 || (options.profile && setenv("VORNA", options.profile, 1) != 0) ||
        recordSet != 0) {
        complain("couldn't set the environment: %s", strerror(errno));
        return 1;
    }

    execvp(program[0], program);
    int error = errno;
    if (error == ENOENT && !strchr(program[0], '/')) {
        complain("%s: command not found", program[0]);
        return exitNotFound;
    }
    complain("%s: %s", program[0], strerror(error));
    return error == ENOENT ? exitNotFound : exitCannotRun;
}

}  // namespace vorna
