#include "TimedSpeech.h"

#include "SayTestSupport.h"

#include <taglib/id3v2tag.h>
#include <taglib/synchronizedlyricsframe.h>
#include <taglib/textidentificationframe.h>

#include <vector>

namespace tolvane::test {

namespace {

// The code points of UTF-8 `text`, each with its bytes.
std::vector<std::string> codePoints(std::string_view text) {
    std::vector<std::string> points;
    for (size_t i = 0; i < text.size();) {
        const auto lead = uint8_t(text[i]);
        const size_t length = lead < 0x80 ? 1 : lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : 4;
        points.emplace_back(text.substr(i, length));
        i += length;
    }
    return points;
}

bool isHan(const std::string& point) {
    // U+3400 to U+9FFF in UTF-8: lead bytes E3 (from 0x8D) to E9.
    return point.size() == 3 && ((uint8_t(point[0]) == 0xE3 && uint8_t(point[1]) >= 0x90) ||
                                 (uint8_t(point[0]) >= 0xE4 && uint8_t(point[0]) <= 0xE9));
}

} // namespace

SpeechTimings evenTimings(std::string_view text, int64_t leadMs, int64_t wordMs) {
    SpeechTimings timings;
    const std::vector<std::string> points = codePoints(text);
    int64_t sentenceStart = -1;
    int64_t sentenceMs = 0;
    size_t i = 0;
    while (i < points.size()) {
        if (points[i] == " ") {
            ++i;
            continue;
        }
        size_t end = i + 1;
        while (!isHan(points[i]) && end < points.size() && points[end] != " " &&
               !isHan(points[end])) {
            ++end;
        }
        const int64_t start = leadMs + int64_t(timings.words.size()) * wordMs;
        if (sentenceStart < 0) {
            sentenceStart = int64_t(i);
            sentenceMs = start;
        }
        size_t wordEnd = end;
        // A full stop after a Han character closes it.
        if (end < points.size() && points[end] == "。") {
            ++end;
        }
        timings.words.push_back({start, int64_t(i), int64_t(wordEnd - i)});
        if (points[end - 1] == "." || points[end - 1] == "。" || end == points.size()) {
            timings.sentences.push_back({sentenceMs, sentenceStart, int64_t(end) - sentenceStart});
            sentenceStart = -1;
        }
        i = end;
    }
    return timings;
}

std::string markText(std::string_view text, const SpeechMark& mark) {
    const std::vector<std::string> points = codePoints(text);
    std::string covered;
    for (int64_t i = mark.offset; i < mark.offset + mark.length && size_t(i) < points.size(); ++i) {
        covered += points[size_t(i)];
    }
    return covered;
}

std::string timingsText(const SpeechTimings& timings) {
    std::string text = "tolvane-timings 1";
    std::vector<std::pair<const char*, SpeechMark>> marks;
    for (const SpeechMark& mark : timings.sentences) {
        marks.emplace_back("s", mark);
    }
    for (const SpeechMark& mark : timings.words) {
        marks.emplace_back("w", mark);
    }
    for (const auto& [kind, mark] : marks) {
        text += std::string("\n") + kind + " " + std::to_string(mark.startMs) + " " +
                std::to_string(mark.offset) + " " + std::to_string(mark.length);
    }
    return text;
}

std::string timingsTag(std::string_view text, const SpeechTimings& timings,
                       const std::string& lines) {
    using namespace TagLib::ID3v2;
    const std::vector<std::string> points = codePoints(text);
    Tag tag;
    auto* sylt = new SynchronizedLyricsFrame(TagLib::String::UTF8);
    bool han = false;
    for (const std::string& point : points) {
        han = han || isHan(point);
    }
    sylt->setLanguage(han ? "zho" : "eng");
    sylt->setTimestampFormat(SynchronizedLyricsFrame::AbsoluteMilliseconds);
    sylt->setType(SynchronizedLyricsFrame::Lyrics);
    sylt->setDescription("words");
    SynchronizedLyricsFrame::SynchedTextList words;
    for (const SpeechMark& mark : timings.words) {
        words.append(
            {unsigned(mark.startMs), TagLib::String(markText(text, mark), TagLib::String::UTF8)});
    }
    sylt->setSynchedText(words);
    tag.addFrame(sylt);
    const std::string value = lines.empty() ? timingsText(timings) : lines;
    tag.addFrame(new UserTextIdentificationFrame(
        "TOLVANE_TIMINGS", TagLib::StringList(TagLib::String(value, TagLib::String::UTF8))));
    const TagLib::ByteVector rendered = tag.render(TagLib::ID3v2::v4);
    return std::string(rendered.data(), rendered.size());
}

std::string timedToneMp3(double seconds, std::string_view text, const SpeechTimings& timings,
                         std::string& error) {
    const std::string tone = makeToneMp3(seconds, 440, error);
    return tone.empty() ? tone : timingsTag(text, timings) + tone;
}

} // namespace tolvane::test
