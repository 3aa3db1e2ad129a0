#include "options.h"

#include "commands.h"

#include <string.h>

namespace vorna {

CommandOptions parseOptions(const char *command, int argc, char **argv, bool record) {
    CommandOptions options;
    int i = 0;
    for (; i < argc; ++i) {
        const char *argument = argv[i];
        if (strcmp(argument, "--") == 0) {
            ++i;
            break;
        }
        if (argument[0] != '-' || argument[1] == '\0') break;
        if (strcmp(argument, "-h") == 0 || strcmp(argument, "--help") == 0) {
            options.help = true;
        } else if (record && strcmp(argument, "--record") == 0) {
            options.record = true;
        } else if (strcmp(argument, "--profile") == 0) {
            if (i + 1 == argc) {
                complain("%s: --profile needs a name; try 'vorna %s --help'", command, command);
                options.valid = false;
                return options;
            }
            options.profile = argv[++i];
        } else if (strncmp(argument, "--profile=", 10) == 0) {
            options.profile = argument + 10;
        } else {
            complain("%s: unknown option '%s'; try 'vorna %s --help'", command, argument, command);
            options.valid = false;
            return options;
        }
        if (options.profile && (!*options.profile || strchr(options.profile, '/'))) {
            complain("%s: '%s' is no profile name (it names a file in ~/.vorna/profiles/)", command,
                     options.profile);
            options.valid = false;
            return options;
        }
    }
    options.operands = i;
    return options;
}

}  // namespace vorna
