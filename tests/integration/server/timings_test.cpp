// The word and sentence timings in the tag at the head of the server's MP3s:
// read back with TagLib, their ranges against the words of the text sent and
// their times against the speech heard in the engine's own decoding.
#include "ServerTestSupport.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/SignalAnalysis.h"
#include "tests/support/TestPaths.h"
#include "tests/support/WavFile.h"

#include <curl/curl.h>
#include <gtest/gtest.h>
#include <taglib/id3v2tag.h>
#include <taglib/mpegfile.h>
#include <taglib/synchronizedlyricsframe.h>
#include <taglib/textidentificationframe.h>

#include <cstdio>
#include <sstream>

namespace tolvane::server::test {
namespace {

namespace fs = std::filesystem;

struct Mark {
    char kind = 0; // 'w' or 's'
    long start = 0;
    std::size_t offset = 0;
    std::size_t length = 0;
};

struct Timings {
    std::vector<Mark> marks;
    std::vector<std::pair<long, std::string>> lyrics; // SYLT: start, text
    std::string language;                             // SYLT's
    std::string error;                                // empty when both frames are right
};

// The tag of `file` as a player reads it: TagLib's SYLT and TXXX frames.
Timings readTimings(const fs::path& file) {
    Timings timings;
    TagLib::MPEG::File mpeg(file.c_str());
    TagLib::ID3v2::Tag* tag = mpeg.isValid() ? mpeg.ID3v2Tag() : nullptr;
    if (tag == nullptr || tag->header()->majorVersion() != 4) {
        timings.error = "no ID3v2.4 tag";
        return timings;
    }
    const TagLib::ID3v2::FrameList sylt = tag->frameListMap()["SYLT"];
    using Lyrics = TagLib::ID3v2::SynchronizedLyricsFrame;
    const auto* lyrics = sylt.size() == 1 ? dynamic_cast<const Lyrics*>(sylt.front()) : nullptr;
    if (lyrics == nullptr || lyrics->textEncoding() != TagLib::String::UTF8 ||
        lyrics->timestampFormat() != Lyrics::AbsoluteMilliseconds ||
        lyrics->type() != Lyrics::Lyrics || lyrics->description() != "words") {
        timings.error = "no single UTF-8 SYLT of words in milliseconds";
        return timings;
    }
    timings.language = std::string(lyrics->language().data(), lyrics->language().size());
    for (const Lyrics::SynchedText& entry : lyrics->synchedText()) {
        timings.lyrics.emplace_back(entry.time, entry.text.to8Bit(true));
    }
    const auto* txxx = TagLib::ID3v2::UserTextIdentificationFrame::find(tag, "TOLVANE_TIMINGS");
    if (txxx == nullptr || txxx->fieldList().size() != 2) {
        timings.error = "no TXXX TOLVANE_TIMINGS with one text";
        return timings;
    }
    std::istringstream lines(txxx->fieldList()[1].to8Bit(true));
    std::string line;
    if (!std::getline(lines, line) || line != "tolvane-timings 1") {
        timings.error = "TXXX starts with '" + line + "'";
    }
    while (std::getline(lines, line)) {
        Mark mark;
        char end = 0;
        if (std::sscanf(line.c_str(), "%c %ld %zu %zu%c", &mark.kind, &mark.start, &mark.offset,
                        &mark.length, &end) != 4 ||
            (mark.kind != 'w' && mark.kind != 's')) {
            timings.error = "malformed line '" + line + "'";
        }
        timings.marks.push_back(mark);
    }
    return timings;
}

// The byte where each character of the UTF-8 `text` starts, and its end.
std::vector<std::size_t> characterStarts(const std::string& text) {
    std::vector<std::size_t> starts;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if ((static_cast<unsigned char>(text[i]) & 0xC0) != 0x80) {
            starts.push_back(i);
        }
    }
    starts.push_back(text.size());
    return starts;
}

std::string percentEncoded(const std::string& text) {
    char* escaped = curl_easy_escape(nullptr, text.c_str(), static_cast<int>(text.size()));
    const std::string out = escaped != nullptr ? escaped : "";
    curl_free(escaped);
    return out;
}

class TimingsTest : public ::testing::Test {
  protected:
    void start(const std::string& extra = {}) {
        server_ = std::make_unique<RunningServer>(dir_.path(), testConfig(extra));
        ASSERT_TRUE(server_->ok()) << server_->error();
        session_ = logIn(server_->door());
        ASSERT_FALSE(session_.token.empty());
    }

    // Speaks `text` through the server; the MP3's path, empty on failure.
    fs::path speak(const std::string& text, const std::string& name) {
        const std::vector<std::string> added = parseAdd(
            httpPost(session_.addUrl, addBody(session_, percentEncoded(text), "zh-CN")).body);
        if (added.size() != 5 || added[1] != "succeed") {
            ADD_FAILURE() << text << ": add failed";
            return {};
        }
        const std::vector<std::string> done = waitForJob(session_, added[2]);
        const HttpResult audio =
            done.size() == 7 && done[2] == "ttsed" ? httpGet(done[3]) : HttpResult{};
        if (audio.status != 200) {
            ADD_FAILURE() << text << ": no audio";
            return {};
        }
        const fs::path path = dir_.path() / (name + ".mp3");
        writeFile(path, audio.body);
        return path;
    }

    TempDir dir_;
    std::unique_ptr<RunningServer> server_;
    Session session_;
};

// The engine's decoding of `mp3` (the tag skipped, the encoder's padding
// kept), left channel.
std::vector<double> decoded(const fs::path& mp3, double& rate) {
    const fs::path wav = mp3.string() + ".wav";
    const ::tolvane::test::RunResult result =
        ::tolvane::test::run(::tolvane::test::binaryDir() + "/tools/tolvane-play",
                             {"decode", mp3.string(), wav.string()});
    ::tolvane::test::WavAudio audio;
    std::string error;
    EXPECT_EQ(result.exitCode, 0) << result.err;
    EXPECT_TRUE(::tolvane::test::readWav(wav, audio, error)) << error;
    rate = audio.sampleRate;
    return audio.channel(0);
}

// The words' starts against the stretches of speech in `audio` (pauses under
// 90 ms, as inside a word, bridged): the first word in each stretch, or in
// the pause before it, against the sound's onset (mark minus onset, ms); the
// others must lie inside the stretch. `fault` names a stretch without a word
// or a word out of place.
struct Onsets {
    std::vector<double> errors;
    std::string fault;
};
Onsets measureOnsets(const Timings& timings, const std::vector<double>& audio, double rate) {
    Onsets onsets;
    std::vector<double> starts;
    for (const Mark& mark : timings.marks) {
        if (mark.kind == 'w') {
            starts.push_back(static_cast<double>(mark.start));
        }
    }
    std::size_t next = 0;
    for (const auto& stretch : ::tolvane::test::findSegments(audio, rate, -40.0, 5.0, 90.0)) {
        const double begin = stretch.begin * 1000 / rate;
        const double end = stretch.end * 1000 / rate;
        if (next == starts.size() || starts[next] >= end) {
            onsets.fault += "no word starts the speech at " + std::to_string(begin) + " ms; ";
            continue;
        }
        onsets.errors.push_back(starts[next] - begin);
        for (++next; next < starts.size() && starts[next] < end; ++next) {
            if (starts[next] < begin) {
                onsets.fault += "word at " + std::to_string(starts[next]) + " ms in a pause; ";
            }
        }
    }
    if (next < starts.size()) {
        onsets.fault += "word at " + std::to_string(starts[next]) + " ms after the speech; ";
    }
    return onsets;
}

// Speech onsets are checked in MP3s at two rates: the encoder's and decoder's
// delay is 50 ms at 22050 Hz and 69 ms at 16000 Hz (from speech made at
// 22050 Hz), so a delay left out, or counted at the speech's rate, shows.
class TimingsAccuracyTest : public TimingsTest, public ::testing::WithParamInterface<int> {};

TEST_P(TimingsAccuracyTest, EveryWordStartsWithinFiftyMillisecondsOfItsSoundInTheDecoding) {
    start("[audio]\nsample_rate = " + std::to_string(GetParam()) + "\n");
    struct Case {
        std::string text;
        bool everyWord; // each word follows a pause, so each is measured
    };
    const Case cases[] = {
        {"One. Two. Three. Four. Five. Six.", true},
        {"一。二。三。四。五。六。", true},
        {"今天的新闻: Apple 发布了新的 iPhone 手机。价格是 999 美元, 比去年便宜。很多人在 "
         "Twitter 上讨论这个消息。",
         false},
    };
    double sum = 0;
    std::size_t count = 0;
    for (const Case& c : cases) {
        const fs::path mp3 = speak(c.text, "speech");
        const Timings timings = readTimings(mp3);
        ASSERT_EQ(timings.error, "") << c.text;
        double rate = 0;
        const std::vector<double> audio = decoded(mp3, rate);
        const Onsets onsets = measureOnsets(timings, audio, rate);
        EXPECT_EQ(onsets.fault, "") << c.text;
        if (c.everyWord) {
            EXPECT_EQ(onsets.errors.size(), 6u) << c.text;
        }
        EXPECT_GE(onsets.errors.size(), 6u) << c.text;
        for (const double error : onsets.errors) {
            EXPECT_LE(std::abs(error), 50.0) << c.text;
            sum += error;
        }
        count += onsets.errors.size();
        const auto [least, most] = std::minmax_element(onsets.errors.begin(), onsets.errors.end());
        std::printf("%d Hz, %zu onsets, mark minus onset %.1f to %.1f ms: %s\n", GetParam(),
                    onsets.errors.size(), least == onsets.errors.end() ? 0.0 : *least,
                    most == onsets.errors.end() ? 0.0 : *most, c.text.c_str());
    }
    // The times carry no common shift, as a wrong delay would give them.
    ASSERT_GT(count, 0u);
    EXPECT_LE(std::abs(sum / static_cast<double>(count)), 10.0);
}

INSTANTIATE_TEST_SUITE_P(Rates, TimingsAccuracyTest, ::testing::Values(22050, 16000));

// `text` with its words and sentences as the tag must place them.
struct Placed {
    std::string text;
    std::vector<std::string> words;
    std::vector<std::string> sentences;
    std::string language;
};

// The ranges of `pieces` found in `text` one after the other, in characters.
std::vector<std::pair<std::size_t, std::size_t>> rangesOf(const std::string& text,
                                                          const std::vector<std::string>& pieces) {
    const std::vector<std::size_t> starts = characterStarts(text);
    const auto character = [&](std::size_t byte) {
        return static_cast<std::size_t>(std::lower_bound(starts.begin(), starts.end(), byte) -
                                        starts.begin());
    };
    std::vector<std::pair<std::size_t, std::size_t>> ranges;
    std::size_t from = 0;
    for (const std::string& piece : pieces) {
        from = text.find(piece, from);
        ranges.emplace_back(character(from), character(from + piece.size()) - character(from));
    }
    return ranges;
}

TEST_F(TimingsTest, MarksSelectTheWordsAndSentencesOfTheTextSentAndTheLyricsAreTheWords) {
    start();
    const Placed cases[] = {
        {"Héllo, wörld! Naïve café costs $1,234.56 today 😀 ok? “Quoted” words… end.",
         {"Héllo", "wörld", "Naïve", "café", "costs", "$1,234.56", "today", "😀", "ok", "Quoted",
          "words", "end"},
         {"Héllo, wörld!", "Naïve café costs $1,234.56 today 😀 ok?", "Quoted” words… end."},
         "eng"},
        // Full-width digits are spoken, an astral ideograph is one character.
        {"你好，世界！今天是２０２４年。𠀀字很少见。",
         {"你", "好", "世", "界", "今", "天", "是", "２０２４", "年", "𠀀", "字", "很", "少", "见"},
         {"你好，世界！", "今天是２０２４年。", "𠀀字很少见。"},
         "zho"},
        // espeak-ng speaks "in the" as one word and reports "in" only: "the"
        // is still marked, between "in" and "morning".
        {"Copper kettles whistle softly in the morning.",
         {"Copper", "kettles", "whistle", "softly", "in", "the", "morning"},
         {"Copper kettles whistle softly in the morning."},
         "eng"},
        // Sentences that go on across script runs, and one that starts a run.
        {"今天的新闻: Apple released iOS 20 in California. 苹果发布了 iPhone 15。",
         {"今", "天", "的", "新", "闻", "Apple", "released", "iOS", "20", "in", "California", "苹",
          "果", "发", "布", "了", "iPhone", "15"},
         {"今天的新闻: Apple released iOS 20 in California.", "苹果发布了 iPhone 15。"},
         "zho"},
    };
    for (const Placed& c : cases) {
        const fs::path mp3 = speak(c.text, "placed");
        const Timings timings = readTimings(mp3);
        ASSERT_EQ(timings.error, "") << c.text;
        std::vector<std::pair<std::size_t, std::size_t>> words, sentences;
        std::vector<std::pair<long, std::string>> lyrics; // the words expected at their starts
        for (std::size_t i = 0; i < timings.marks.size(); ++i) {
            const Mark& mark = timings.marks[i];
            EXPECT_GE(mark.start, i > 0 ? timings.marks[i - 1].start : 0) << c.text << ": order";
            (mark.kind == 'w' ? words : sentences).emplace_back(mark.offset, mark.length);
            if (mark.kind == 'w') {
                lyrics.emplace_back(mark.start, words.size() <= c.words.size()
                                                    ? c.words[words.size() - 1]
                                                    : std::string());
            } else {
                const Mark* first = i + 1 < timings.marks.size() ? &timings.marks[i + 1] : nullptr;
                EXPECT_TRUE(first && first->kind == 'w' && first->start == mark.start &&
                            first->offset == mark.offset)
                    << c.text << ": a sentence starts with its first word";
            }
        }
        EXPECT_EQ(words, rangesOf(c.text, c.words)) << c.text;
        EXPECT_EQ(sentences, rangesOf(c.text, c.sentences)) << c.text;
        EXPECT_EQ(timings.lyrics, lyrics) << c.text;
        EXPECT_EQ(timings.language, c.language) << c.text;
    }
    // The player's tag reader still reads the tag (it has no song texts).
    const fs::path mp3 = dir_.path() / "placed.mp3";
    const ::tolvane::test::RunResult tags = ::tolvane::test::run(
        ::tolvane::test::binaryDir() + "/tools/tolvane-play", {"tags", mp3.string(), "--v2"});
    EXPECT_EQ(tags.exitCode, 0) << tags.err;
    EXPECT_EQ(tags.out.rfind("{\"title\":\"\",", 0), 0u) << tags.out;
}

} // namespace
} // namespace tolvane::server::test
