// tolvane-play: the command-line player over the engine, for people and scripts.
// Exit status: 0 on success, 1 when an engine operation fails (its error text is
// the last line on stderr) or a file cannot be written, 2 on a usage error.
#include "platform/StreamIdentity.h"
#include "tools/play/CommandLine.h"
#include "tools/play/Commands.h"
#include "tools/play/Report.h"

#include <cstdio>
#include <span>

using namespace tolvane::play;

int main(int argc, char** argv) {
    // Before any sound device opens: what this player plays is music to the desktop.
    tolvane::platform::announceStreamIdentity({"Tolvane Play", "tolvane", "music"});
    const std::span<const char* const> args(argv + 1, size_t(argc > 0 ? argc - 1 : 0));
    const CommandLine::Result line = CommandLine::parse(args);
    if (!line.ok) {
        return usageError(line.error);
    }
    const PlayOptions& options = line.options;
    switch (options.command) {
    case Command::Help:
        std::fputs(CommandLine::usage().c_str(), stdout);
        return kExitOk;
    case Command::Info:
        return runInfo(options);
    case Command::Decode:
        return runDecode(options);
    case Command::Play:
        return runPlay(options);
    case Command::Devices:
        return runDevices();
    case Command::Tags:
        return runTags(options);
    case Command::Spectrum:
        return runSpectrum(options);
    }
    return kExitUsage;
}
