#include "server/TimingTag.h"

#include "server/Utf8.h"

#include <taglib/id3v2tag.h>
#include <taglib/synchronizedlyricsframe.h>
#include <taglib/textidentificationframe.h>

namespace tolvane::server {

namespace {

// The byte where each character of `text` starts, and its end.
std::vector<std::size_t> characterStarts(std::string_view text) {
    std::vector<std::size_t> starts;
    char32_t cp = 0;
    for (std::size_t pos = 0; pos < text.size();) {
        starts.push_back(pos);
        const std::size_t size = decodeUtf8(text, pos, cp);
        pos += size == 0 ? 1 : size;
    }
    starts.push_back(text.size());
    return starts;
}

bool holdsHan(std::string_view text) {
    char32_t cp = 0;
    for (std::size_t pos = 0; pos < text.size();) {
        const std::size_t size = decodeUtf8(text, pos, cp);
        if (size != 0 && isHanCharacter(cp)) {
            return true;
        }
        pos += size == 0 ? 1 : size;
    }
    return false;
}

} // namespace

long long SpeechClock::ms(std::size_t sample) const {
    const long long scale = static_cast<long long>(speechRate) * outputRate;
    const long long thousandths = static_cast<long long>(sample) * 1000 * outputRate +
                                  static_cast<long long>(lag) * 1000 * speechRate;
    return (thousandths + scale / 2) / scale;
}

std::string renderTimingTag(std::string_view text, const std::vector<SpeechMark>& marks,
                            const SpeechClock& clock) {
    const std::vector<std::size_t> starts = characterStarts(text);
    const std::size_t characters = starts.size() - 1;
    TagLib::ID3v2::SynchronizedLyricsFrame::SynchedTextList words;
    std::string lines = "tolvane-timings 1";
    for (const SpeechMark& mark : marks) {
        if (mark.offset + mark.length > characters) {
            continue;
        }
        const bool word = mark.kind == SpeechMark::Kind::Word;
        const long long ms = clock.ms(mark.sample);
        lines += std::string("\n") + (word ? "w " : "s ") + std::to_string(ms) + " " +
                 std::to_string(mark.offset) + " " + std::to_string(mark.length);
        if (word) {
            const std::size_t begin = starts[mark.offset];
            const std::string spoken(text.substr(begin, starts[mark.offset + mark.length] - begin));
            words.append(
                {static_cast<unsigned int>(ms), TagLib::String(spoken, TagLib::String::UTF8)});
        }
    }
    TagLib::ID3v2::Tag tag;
    auto* lyrics = new TagLib::ID3v2::SynchronizedLyricsFrame(TagLib::String::UTF8);
    lyrics->setLanguage(holdsHan(text) ? "zho" : "eng");
    lyrics->setTimestampFormat(TagLib::ID3v2::SynchronizedLyricsFrame::AbsoluteMilliseconds);
    lyrics->setType(TagLib::ID3v2::SynchronizedLyricsFrame::Lyrics);
    lyrics->setDescription("words");
    lyrics->setSynchedText(words);
    tag.addFrame(lyrics); // the tag owns its frames
    auto* timings = new TagLib::ID3v2::UserTextIdentificationFrame(TagLib::String::UTF8);
    timings->setDescription("TOLVANE_TIMINGS");
    timings->setText(TagLib::String(lines, TagLib::String::UTF8));
    tag.addFrame(timings);
    const TagLib::ByteVector rendered = tag.render(TagLib::ID3v2::v4);
    return std::string(rendered.data(), rendered.size());
}

} // namespace tolvane::server
