// The word timings of a speech MP3's tag as the client reads them: the agreed
// lines, tags written by TagLib in every form a writer may choose, and
// malformed or hostile tags, which give no timings and no crash.
#include "TimedSpeech.h"

#include "playback/SpeechTimingsTag.h"
#include "tests/support/TempDir.h"

#include <taglib/id3v2tag.h>
#include <taglib/textidentificationframe.h>

#include <gtest/gtest.h>

#include <fstream>

namespace tolvane {
namespace {

using test::timingsTag;

std::string marks(const std::vector<SpeechMark>& list) {
    std::string text;
    for (const SpeechMark& m : list) {
        text += std::to_string(m.startMs) + "@" + std::to_string(m.offset) + "+" +
                std::to_string(m.length) + " ";
    }
    return text;
}

TEST(SpeechTimingsText, ReadsMarksInTimeOrderAndSkipsLinesItDoesNotKnow) {
    SpeechTimings t;
    std::string error;
    ASSERT_TRUE(SpeechTimingsTag::parse("tolvane-timings 1\r\ns 0 0 9\nw 500 5 4\nw 120 0 4\n"
                                        "v 1 2 3 extra\n\nword 1 2\nw 900 10 1",
                                        t, error))
        << error;
    EXPECT_EQ(marks(t.words), "120@0+4 500@5+4 900@10+1 ");
    EXPECT_EQ(marks(t.sentences), "0@0+9 ");
    ASSERT_TRUE(SpeechTimingsTag::parse("tolvane-timings 1", t, error)) << error;
    EXPECT_TRUE(t.empty());
}

TEST(SpeechTimingsText, RefusesTheWholeFrameForAnotherVersionOrAMalformedMark) {
    for (const std::string text :
         {"", "tolvane-timings 2\nw 0 0 1", " tolvane-timings 1\nw 0 0 1",
          "tolvane-timings 1\nw 0 0", "tolvane-timings 1\nw 0 0 1 1", "tolvane-timings 1\nw",
          "tolvane-timings 1\nw -5 0 1", "tolvane-timings 1\ns 0  0 1",
          "tolvane-timings 1\nw 0 x 1", "tolvane-timings 1\nw 0 0 99999999999999999999",
          "tolvane-timings 1\nw 0 0 2147483649", "tolvane-timings 1\nw 1 0 1\ns 1 0 +1"}) {
        SpeechTimings t;
        t.words.push_back({});
        std::string error;
        EXPECT_FALSE(SpeechTimingsTag::parse(text, t, error)) << text;
        EXPECT_FALSE(error.empty()) << text;
        EXPECT_TRUE(t.empty()) << text;
    }
}

TEST(SpeechTimingsTagTest, ReadsTheTagsTxxxInFrontOfTheAudioInEveryEncodingAndVersion) {
    const SpeechTimings written = test::evenTimings("One two. Three.", 100, 400);
    ASSERT_EQ(marks(written.words), "100@0+3 500@4+4 900@9+6 ");
    ASSERT_EQ(marks(written.sentences), "100@0+8 900@9+6 ");
    const auto check = [&](const std::string& bytes, const char* what) {
        SpeechTimings read;
        std::string error;
        ASSERT_TRUE(SpeechTimingsTag::read(bytes, read, error)) << what << ": " << error;
        EXPECT_EQ(marks(read.words), marks(written.words)) << what;
        EXPECT_EQ(marks(read.sentences), marks(written.sentences)) << what;
    };
    const std::string tag = timingsTag("One two. Three.", written);
    EXPECT_EQ(SpeechTimingsTag::tagSize(tag), tag.size());
    check(tag + "\xff\xfb\x90\x64 audio", "ID3v2.4 UTF-8 before audio");

    for (const auto& [encoding, version] : {std::pair{TagLib::String::UTF16, TagLib::ID3v2::v4},
                                            std::pair{TagLib::String::Latin1, TagLib::ID3v2::v3}}) {
        TagLib::ID3v2::Tag other;
        other.addFrame(new TagLib::ID3v2::UserTextIdentificationFrame(
            "TOLVANE_TIMINGS", TagLib::StringList(test::timingsText(written)), encoding));
        const TagLib::ByteVector bytes = other.render(version);
        check(std::string(bytes.data(), bytes.size()), "UTF-16 or ID3v2.3");
    }
}

TEST(SpeechTimingsTagTest, MalformedAndHostileTagsGiveNoTimings) {
    const SpeechTimings written = test::evenTimings("One two.", 0, 300);
    const std::string tag = timingsTag("One two.", written);
    std::string notSynchsafe = tag;
    notSynchsafe[6] = '\x80';
    std::string huge = tag;
    huge.replace(6, 4, "\x7f\x7f\x7f\x7f");
    std::string brokenFrame = tag;
    // The first frame's size (bytes 14 to 17) far past the tag's end.
    brokenFrame.replace(14, 4, "\x7f\x7f\x7f\x7f");
    const std::vector<std::pair<std::string, std::string>> cases{
        {"", "no tag"},
        {"ID3", "a header cut short"},
        {tag.substr(0, tag.size() - 5), "a tag cut short"},
        {notSynchsafe, "a size that is not synchsafe"},
        {huge, "a tag larger than the bytes"},
        {brokenFrame, "a frame larger than its tag"},
        {timingsTag("One two.", written, "tolvane-timings 1\nw 1 2"), "a malformed mark"},
        {std::string("ID3\x04\x00\x00\x00\x00\x00\x00", 10), "an empty tag"},
        {"\xff\xfb\x90\x64 audio without a tag", "audio alone"},
    };
    for (const auto& [bytes, what] : cases) {
        SpeechTimings read;
        std::string error;
        EXPECT_FALSE(SpeechTimingsTag::read(bytes, read, error)) << what;
        EXPECT_TRUE(read.empty()) << what;
        EXPECT_FALSE(error.empty()) << what;
    }
    EXPECT_EQ(SpeechTimingsTag::tagSize(huge), 10u + 0x0FFFFFFFu);
    // A footer counts.
    std::string footer = tag;
    footer[5] = '\x10';
    EXPECT_EQ(SpeechTimingsTag::tagSize(footer), tag.size() + 10);
}

TEST(SpeechTimingsTagTest, ReadsAFilesHeadOnlyUpToItsBound) {
    const test::TempDir dir("timings");
    const SpeechTimings written = test::evenTimings("One.", 0, 300);
    const auto write = [&](const std::string& name, const std::string& bytes) {
        std::ofstream(dir.path() / name, std::ios::binary) << bytes;
        return dir.path() / name;
    };
    SpeechTimings read;
    std::string error;
    ASSERT_TRUE(SpeechTimingsTag::readFile(
        write("timed.mp3", timingsTag("One.", written) + "\xff\xfb audio"), read, error))
        << error;
    EXPECT_EQ(marks(read.words), "0@0+4 ");
    // A head that claims more than the bound is not read.
    std::string big = timingsTag("One.", written);
    big.replace(6, 4, "\x00\x40\x00\x00", 4); // 1 MiB of body
    big.resize(SpeechTimingsTag::kMaxTagBytes + 20, '\0');
    EXPECT_FALSE(SpeechTimingsTag::readFile(write("big.mp3", big), read, error));
    EXPECT_FALSE(SpeechTimingsTag::readFile(write("short.mp3", "ID3"), read, error));
    EXPECT_FALSE(SpeechTimingsTag::readFile(dir.path() / "missing.mp3", read, error));
}

} // namespace
} // namespace tolvane
