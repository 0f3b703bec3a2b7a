#include "tools/play/Report.h"

#include "engine/Mp3Engine.h"

#include <cstdio>

namespace tolvane::play {

int engineFailure(Mp3Engine& engine) {
    std::fflush(stdout);
    std::fprintf(stderr, "%s\n", engine.GetLastErrorText());
    return kExitFailed;
}

int failure(const std::string& reason) {
    std::fflush(stdout);
    std::fprintf(stderr, "tolvane-play: %s\n", reason.c_str());
    return kExitFailed;
}

int usageError(const std::string& reason) {
    std::fprintf(stderr,
                 "tolvane-play: %s\nRun 'tolvane-play --help' for the commands and options.\n",
                 reason.c_str());
    return kExitUsage;
}

} // namespace tolvane::play
