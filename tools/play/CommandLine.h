#pragma once

#include "tools/play/PlayOptions.h"

#include <span>
#include <string>
#include <string_view>

namespace tolvane::play {

// Reads tolvane-play's command line: a command, its positional arguments and
// options. Commands and options are rows of two tables in CommandLine.cpp, so
// a new option is one row and one field of PlayOptions.
class CommandLine {
  public:
    struct Result {
        bool ok = false;
        std::string error; // a usage error, one line, when !ok
        PlayOptions options;
    };

    // `args` are the arguments after the program name.
    static Result parse(std::span<const char* const> args);

    // The help text: every command with its arguments and every option with
    // the commands that take it.
    static std::string usage();
};

} // namespace tolvane::play
