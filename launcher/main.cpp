// vorna: runs a program with the recorder loaded into it.
#include "commands.h"

#include <stdarg.h>
#include <stdio.h>
#include <string.h>

namespace vorna {

void complain(const char *format, ...) {
    fputs("vorna: ", stderr);
    va_list arguments;
    va_start(arguments, format);
    vfprintf(stderr, format, arguments);
    va_end(arguments);
    fputc('\n', stderr);
}

}  // namespace vorna

namespace {

void printHelp() {
    fputs("Usage: vorna COMMAND [ARGS...]\n"
          "Records X11 OpenGL programs: start one through 'vorna run', press F8 to start\n"
          "recording and F8 again to stop.\n"
          "\n"
          "Commands:\n"
          "  run [--record] [--profile NAME] [--] PROGRAM [ARGS...]\n"
          "                    run PROGRAM with Vorna loaded into it\n"
          "  config [--profile NAME] [PROGRAM]\n"
          "                    show the configuration files PROGRAM would read and the\n"
          "                    settings that result\n"
          "  help [COMMAND]    show this help, or the help of COMMAND\n"
          "\n"
          "Options:\n"
          "  -h, --help        show this help\n"
          "  -V, --version     show the version\n"
          "\n"
          "Recordings go to file:///tmp/vorna.mivo unless OUTPUT in ~/.vorna/conf says otherwise.\n",
          stdout);
}

int help(const char *command) {
    if (!command) {
        printHelp();
        return 0;
    }
    if (strcmp(command, "run") == 0) {
        vorna::printRunHelp();
        return 0;
    }
    if (strcmp(command, "config") == 0) {
        vorna::printConfigHelp();
        return 0;
    }
    if (strcmp(command, "help") == 0) {
        printHelp();
        return 0;
    }
    vorna::complain("no such command '%s'; try 'vorna --help'", command);
    return vorna::exitUsage;
}

}  // namespace

int main(int argc, char **argv) {
    if (argc < 2) {
        vorna::complain("missing command; try 'vorna --help'");
        return vorna::exitUsage;
    }
    const char *command = argv[1];
    if (strcmp(command, "-h") == 0 || strcmp(command, "--help") == 0) return help(nullptr);
    if (strcmp(command, "-V") == 0 || strcmp(command, "--version") == 0) {
        puts("vorna " VORNA_VERSION);
        return 0;
    }
    if (strcmp(command, "help") == 0) {
        if (argc > 3) {
            vorna::complain("help takes at most one command; try 'vorna --help'");
            return vorna::exitUsage;
        }
        return help(argc == 3 ? argv[2] : nullptr);
    }
    if (strcmp(command, "run") == 0) return vorna::runCommand(argc - 2, argv + 2);
    if (strcmp(command, "config") == 0) return vorna::configCommand(argc - 2, argv + 2);
    if (command[0] == '-')
        vorna::complain("unknown option '%s'; try 'vorna --help'", command);
    else
        vorna::complain("no such command '%s'; try 'vorna --help'", command);
    return vorna::exitUsage;
}
