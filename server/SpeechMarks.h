#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

namespace tolvane::server {

// What espeak-ng reports while it speaks, moved into the whole text and the
// whole speech: the start of a word or of a sentence. Offsets and lengths
// count characters (code points) of the text, samples the joined speech.
struct SpeechEvent {
    enum class Kind { Word, Sentence };
    Kind kind = Kind::Word;
    std::size_t offset = 0;
    std::size_t length = 0; // 0 for a sentence: espeak-ng gives only its start
    std::size_t sample = 0;
    bool runStart = false; // the first event of a script run after the first
};

// A word or sentence of the text and the sample where its speech starts.
struct SpeechMark {
    enum class Kind { Word, Sentence };
    Kind kind = Kind::Word;
    std::size_t sample = 0;
    std::size_t offset = 0; // code points into the text
    std::size_t length = 0;
};

// The words and sentences of `text` (UTF-8) from espeak-ng's events, in order
// of start, a sentence before its first word. A word is a stretch of text
// between blanks, without the punctuation around it, except that every Han
// character is a word of its own; the events that fall into one word (the
// pieces espeak-ng makes of "$1,234.56" or of an emoji sequence) give it the
// first one's start, events on blanks, past the text or back in it are
// dropped. A sentence
// runs from its first word to the punctuation closing it; a script run that
// starts where no sentence closed goes on with the sentence before.
std::vector<SpeechMark> placeMarks(std::string_view text, const std::vector<SpeechEvent>& events);

// Moves each word's start (and its sentence's) from where espeak-ng starts its
// phonemes to where its sound starts in `pcm`: a word after a pause or
// opening with a stop consonant begins with tens of milliseconds of silence
// that nobody hears. A start moves at most `maxShift` samples and never past
// the next word's.
void startAtSound(std::vector<SpeechMark>& marks, const std::vector<int16_t>& pcm,
                  std::size_t maxShift);

// Whether `cp` is a Han character: an ideograph (or radical, or ideographic
// iteration or number mark), read as one syllable and taken as one word.
bool isHanCharacter(char32_t cp);

} // namespace tolvane::server
