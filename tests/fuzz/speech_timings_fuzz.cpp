// Feeds arbitrary bytes to the reader of a speech MP3's word timings, as the
// ID3v2 tag at the head of the audio and as the timings frame's text. What it
// reads must be in time order with no negative number, and, placed in a text
// box as the dialog places it, light only ranges inside the box.
#include "playback/SpeechTimingsTag.h"
#include "ui/core/FollowAlong.h"

#include <algorithm>
#include <cstdint>
#include <string>
#include <string_view>

namespace {

using tolvane::SpeechMark;

void checkOrder(const std::vector<SpeechMark>& marks) {
    for (size_t i = 0; i < marks.size(); ++i) {
        if (marks[i].startMs < 0 || marks[i].offset < 0 || marks[i].length < 0 ||
            (i > 0 && marks[i - 1].startMs > marks[i].startMs)) {
            __builtin_trap();
        }
    }
}

void checkInside(tolvane::TextRange range, int boxLength) {
    if (!range.empty() && (range.begin < 0 || range.end > boxLength)) {
        __builtin_trap();
    }
}

// The first bytes as a box's text, one unit each (surrogates among them), a
// title of three units spoken before it.
void place(const tolvane::SpeechTimings& timings, std::string_view bytes) {
    const std::string_view shown = bytes.substr(0, 64);
    const std::u16string box(shown.begin(), shown.end());
    std::u16string spoken = u"T\xD800,";
    for (const char c : shown) {
        const auto unit = uint8_t(c);
        spoken += char16_t(unit >= 0xF0 ? 0xDC00 + unit : unit >= 0xD8 ? 0xD800 + unit : unit);
    }
    tolvane::FollowAlong follow;
    follow.start(spoken, -3, int(box.size()));
    follow.setTimings(timings);
    for (const auto* marks : {&timings.words, &timings.sentences}) {
        for (const SpeechMark& mark : *marks) {
            checkInside(follow.toBox(mark.offset, mark.length), int(box.size()));
            follow.hear(mark.startMs);
            checkInside(follow.word(), int(box.size()));
            checkInside(follow.sentence(), int(box.size()));
            follow.sentenceStart(-1, mark.startMs);
            follow.sentenceStart(1, mark.startMs);
        }
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    std::string error;
    for (const bool asTag : {true, false}) {
        tolvane::SpeechTimings timings;
        const bool read = asTag ? tolvane::SpeechTimingsTag::read(bytes, timings, error)
                                : tolvane::SpeechTimingsTag::parse(bytes, timings, error);
        if (!read && !timings.empty()) {
            __builtin_trap(); // a refused frame gives no marks
        }
        checkOrder(timings.words);
        checkOrder(timings.sentences);
        place(timings, bytes);
    }
    return 0;
}
