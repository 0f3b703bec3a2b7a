#pragma once

#include <string>

namespace tolvane {
class Mp3Engine;
}

namespace tolvane::play {

constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;

// Prints the engine's error text as the last line on standard error and
// returns kExitFailed.
int engineFailure(Mp3Engine& engine);
// Prints "tolvane-play: REASON" (a file or system failure) and returns kExitFailed.
int failure(const std::string& reason);
// Prints a usage error with a pointer to the help and returns kExitUsage.
int usageError(const std::string& reason);

} // namespace tolvane::play
