// The launcher's subcommands. Each takes the arguments after its own name and returns the exit
// status, or does not return when it replaced the process with the program.
#ifndef VORNA_LAUNCHER_COMMANDS_H
#define VORNA_LAUNCHER_COMMANDS_H

namespace vorna {

int runCommand(int argc, char **argv);
int configCommand(int argc, char **argv);

void printRunHelp();
void printConfigHelp();

// Exit statuses, as shells use them.
constexpr int exitUsage = 2;
constexpr int exitCannotRun = 126;
constexpr int exitNotFound = 127;

// "vorna: " + message + "\n" on stderr.
void complain(const char *format, ...) __attribute__((format(printf, 1, 2)));

}  // namespace vorna

#endif
