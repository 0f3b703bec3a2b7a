#include "engine/Mp3Engine.h"
#include "tools/play/Commands.h"
#include "tools/play/Report.h"
#include "tools/play/TagJson.h"

#include <cstdio>
#include <memory>
#include <string>

namespace tolvane::play {

// One line of JSON with the song texts of the ID3v1 or ID3v2 tag; with the
// ID3v2 tag, also its synchronised texts (SYLT), read with TagLib.
int runTags(const PlayOptions& options) {
    auto engine = std::make_unique<Mp3Engine>();
    if (!engine->OpenMp3File(options.file.c_str(), 0, 0, 0)) {
        return engineFailure(*engine);
    }
    // The engine explains a missing ID3v1 tag; a missing or malformed ID3v2
    // tag fails without a text of its own.
    const std::string errorBefore = engine->GetLastErrorText();
    ID3_TAG_INFO info{};
    if (!engine->LoadID3(options.tagVersion, &info)) {
        if (errorBefore != engine->GetLastErrorText()) {
            return engineFailure(*engine);
        }
        return failure("no readable ID3v2 tag in " + options.file);
    }
    const std::vector<SyncedText> synced =
        options.tagVersion == 2 ? readSyncedTexts(options.file) : std::vector<SyncedText>();
    std::printf("%s\n", TagJson::format(info, synced).c_str());
    return std::fflush(stdout) == 0 ? kExitOk : failure("can't write standard output");
}

} // namespace tolvane::play
