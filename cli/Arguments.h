// h8sx's arguments: its commands, their options and the exit statuses each can end with,
// as tables; the parsing of a command line and the help made from them.
#pragma once

#include <string>
#include <vector>

#include "cli/Commands.h"

namespace h8sx::cli {

// What a command line asks for.
struct Invocation {
    enum class Action { Run, Help, Version, Refused };
    Action action = Action::Run;
    std::string command;  // empty for h8sx's own help and version
    Options options;
    std::string error;  // Refused: what is wrong, e.g. "--port needs a value"
};

// Reads argv (argv[0] the program). Options go before or after the command, with their
// value as the next argument or behind '=' (--port=COM3); "--" ends the options.
Invocation ParseArguments(const std::vector<std::string>& argv);

// The help of `command` (empty: h8sx's own), ending with the exit statuses it can give.
std::string HelpText(const std::string& command);
// What standard error says for a refused command line: the error and where help is.
std::string UsageText(const Invocation& invocation);

// The options `command` takes ("--port", "--verify", ...), as its help must name them.
std::vector<std::string> OptionsOf(const std::string& command);
// Every command, in the order the help lists them.
std::vector<std::string> CommandNames();

}  // namespace h8sx::cli
