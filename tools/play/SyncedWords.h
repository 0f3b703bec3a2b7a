#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace tolvane::play {

// The synchronised texts (SYLT frames) of a file's ID3v2 tag, as TagLib reads
// them: what players that show words in time with the sound show.
struct SyncedText {
    std::string language;                                  // ISO 639-2
    std::string description;                               // UTF-8
    bool milliseconds = true;                              // false: the times count MPEG frames
    std::vector<std::pair<uint32_t, std::string>> entries; // time, UTF-8 text
};

// Every SYLT frame of the ID3v2 tag of `file`, in tag order; none when the file
// has no such tag or cannot be read.
std::vector<SyncedText> readSyncedTexts(const std::string& file);

} // namespace tolvane::play
