// The options `run` and `config` share; they end at the first operand or at "--".
#ifndef VORNA_LAUNCHER_OPTIONS_H
#define VORNA_LAUNCHER_OPTIONS_H

namespace vorna {

struct CommandOptions {
    const char *profile = nullptr;  // --profile NAME: the VORNA profile to use
    bool record = false;            // --record: start recording at the first frame (run only)
    bool help = false;
    int operands = 0;               // index of the first operand in argv
    bool valid = true;              // false after a usage error, already reported
};

// `record` tells whether --record is accepted.
CommandOptions parseOptions(const char *command, int argc, char **argv, bool record = false);

}  // namespace vorna

#endif
