#pragma once

#include "protocol/SpeechTimings.h"

#include <cstddef>
#include <filesystem>
#include <functional>
#include <string>
#include <string_view>

namespace TagLib::ID3v2 {
class Tag;
}

namespace tolvane {

// The word and sentence timings the speech server puts in the ID3v2 tag at the
// head of its MP3: a TXXX frame described "TOLVANE_TIMINGS" whose text is the
// line "tolvane-timings 1" and then one line per mark, "w START OFFSET LENGTH"
// for a word or "s START OFFSET LENGTH" for a sentence (decimal; START in ms of
// the decoded audio, OFFSET and LENGTH in code points of the spoken text).
// Lines of other kinds are skipped; a malformed mark line or another first
// line refuses the whole frame. The tag is parsed with TagLib.
class SpeechTimingsTag {
  public:
    // The largest tag read for its timings; a bigger one is not waited for.
    static constexpr size_t kMaxTagBytes = size_t(1) << 20;
    static constexpr size_t kHeaderBytes = 10;
    static constexpr std::string_view kDescription = "TOLVANE_TIMINGS";
    static constexpr std::string_view kFirstLine = "tolvane-timings 1";

    // The size of the ID3v2 tag that `head` begins with (header, body and
    // footer), from its first kHeaderBytes; 0 when it begins with none.
    static size_t tagSize(std::string_view head);

    // Reads the timings from `tag`, a whole ID3v2 tag (or a stream that
    // begins with one). False with the reason when it holds none or they are
    // malformed; `timings` is then left empty.
    static bool read(std::string_view tag, SpeechTimings& timings, std::string& error);
    // The same from the head of `file`, reading at most kMaxTagBytes of it.
    static bool readFile(const std::filesystem::path& file, SpeechTimings& timings,
                         std::string& error);

    // Calls `use` with the ID3v2 tag that `tag` begins with, as TagLib reads
    // it; false with the reason when there is none that reads whole.
    static bool withTag(std::string_view tag, const std::function<void(TagLib::ID3v2::Tag&)>& use,
                        std::string& error);

    // The TXXX frame's text; marks sorted by start time.
    static bool parse(std::string_view text, SpeechTimings& timings, std::string& error);
};

} // namespace tolvane
