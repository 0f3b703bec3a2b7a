#pragma once

#include "tools/play/PlayOptions.h"

// The commands of tolvane-play; each returns the process's exit status.
namespace tolvane::play {

int runInfo(const PlayOptions& options);
int runDevices();
int runDecode(const PlayOptions& options);
int runPlay(const PlayOptions& options);
int runTags(const PlayOptions& options);
int runSpectrum(const PlayOptions& options);

} // namespace tolvane::play
