#pragma once

#include <filesystem>
#include <string>
#include <string_view>

namespace tolvane {

// A reading saved as an MP3 file: an ID3v2.4 tag made with TagLib, then the
// downloaded audio exactly as it came, byte for byte, but for the ID3v2 tag
// the server put at its head: that one's SYLT and TXXX frames (the reading's
// word timings) are carried over into the new tag, which replaces it.
class SpeechFile {
  public:
    // The tag's texts, UTF-8; an empty one is left out of the tag.
    struct Tags {
        std::string title;                   // TIT2
        std::string artist;                  // TPE1: the voice
        std::string album;                   // TALB: the feed
        std::string date;                    // TDRC: "YYYY-MM-DD"
        std::string comment;                 // COMM with an empty description: the text read
        std::string commentLanguage = "eng"; // ISO 639-2
    };

    // The ID3v2.4 tag, every text in UTF-8, with the SYLT and TXXX frames of
    // the tag `carried` begins with (none when it begins with no tag).
    static std::string renderTag(const Tags& tags, std::string_view carried = {});

    // Writes the tag and `audio` (after its own tag) to `target` (created
    // with the usual permissions, or replaced); false with the reason, and no
    // partial file left, when it cannot.
    static bool save(const std::filesystem::path& target, std::string_view audio, const Tags& tags,
                     std::string& error);
};

} // namespace tolvane
