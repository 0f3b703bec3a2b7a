// Following a reading in the text box: the server's marks count code points of
// what it spoke, the box UTF-16 units of what it shows (Chinese, characters
// outside the basic plane, a news item's title spoken but not shown, a piece
// read from the cursor); the word and sentence that hold a heard position;
// where the previous and next sentence start; where the cursor's sentence
// starts.
#include "ui/core/FollowAlong.h"
#include "ui/core/SentenceStart.h"

#include <gtest/gtest.h>

namespace tolvane {
namespace {

std::string shown(const std::u16string& box, TextRange range) {
    std::string out;
    for (const char16_t c : box.substr(size_t(range.begin), size_t(range.end - range.begin))) {
        out += c < 0x80 ? char(c) : '*';
    }
    return out;
}

TEST(FollowAlongTest, MapsCodePointsToTheBoxThroughSurrogatePairsAndHanText) {
    // "A𠀀字 b😀c." : the two characters outside the basic plane take two
    // units each, one code point each.
    const std::u16string box = u"A\U00020000\u5B57 b\U0001F600c.";
    FollowAlong follow;
    follow.start(box, 0, int(box.size()));
    EXPECT_EQ(follow.toBox(0, 1), (TextRange{0, 1}));
    EXPECT_EQ(follow.toBox(1, 1), (TextRange{1, 3}));  // 𠀀
    EXPECT_EQ(follow.toBox(2, 1), (TextRange{3, 4}));  // 字
    EXPECT_EQ(follow.toBox(4, 4), (TextRange{5, 10})); // b😀c.
    EXPECT_EQ(follow.toBox(4, 100), (TextRange{5, 10})) << "cut at the end";
    for (const auto& [offset, length] : std::vector<std::pair<int64_t, int64_t>>{
             {8, 1}, {-1, 2}, {2, 0}, {2, -3}, {int64_t(1) << 40, 1}}) {
        EXPECT_TRUE(follow.toBox(offset, length).empty()) << offset << "+" << length;
    }

    // Han text, one word per character, and a lone surrogate counted as one.
    const std::u16string han = u"春眠不觉晓\xD800。";
    follow.start(han, 0, int(han.size()));
    EXPECT_EQ(follow.toBox(4, 1), (TextRange{4, 5}));
    EXPECT_EQ(follow.toBox(5, 2), (TextRange{5, 7}));
}

TEST(FollowAlongTest, OnlyWhatTheBoxShowsIsLit) {
    // A news item: the server spoke "Title,Body text."; the box shows the body.
    const std::u16string body = u"Body text.";
    FollowAlong follow;
    follow.start(u"T\U0001F600tle," + body, -7, int(body.size()));
    SpeechTimings t;
    t.words = {{0, 0, 5}, {400, 6, 4}, {800, 11, 5}};
    t.sentences = {{0, 0, 5}, {400, 3, 13}};
    follow.setTimings(t);
    EXPECT_FALSE(follow.hear(100)) << "the title is not in the box";
    EXPECT_TRUE(follow.word().empty());
    EXPECT_TRUE(follow.sentence().empty());
    EXPECT_TRUE(follow.hear(450));
    EXPECT_EQ(shown(body, follow.word()), "Body");
    EXPECT_EQ(shown(body, follow.sentence()), "Body text.") << "cut to the box";
    EXPECT_EQ(follow.wordStartMs(), 400);
    EXPECT_FALSE(follow.hear(700)) << "the same word";
    EXPECT_TRUE(follow.hear(5000));
    EXPECT_EQ(shown(body, follow.word()), "text.");

    // Read from the cursor: the piece spoken starts at unit 5 of the box.
    const std::u16string box = u"One. Two three.";
    follow.start(u"Two three.", 5, int(box.size()));
    t.words = {{200, 0, 3}, {600, 4, 6}};
    t.sentences = {{200, 0, 10}};
    follow.setTimings(t);
    EXPECT_FALSE(follow.hear(100)) << "nothing lit before the first word";
    EXPECT_TRUE(follow.word().empty());
    follow.hear(650);
    EXPECT_EQ(shown(box, follow.word()), "three.");
    EXPECT_EQ(shown(box, follow.sentence()), "Two three.");
    follow.clear();
    EXPECT_FALSE(follow.hasMarks());
    EXPECT_TRUE(follow.word().empty());
}

TEST(FollowAlongTest, PreviousAndNextSentenceStarts) {
    FollowAlong follow;
    follow.start(u"One. Two. Three.", 0, 16);
    SpeechTimings t;
    t.sentences = {{5000, 10, 6}, {0, 0, 4}, {2000, 5, 4}}; // out of order
    follow.setTimings(t);
    EXPECT_EQ(follow.sentenceStart(1, 0), 2000);
    EXPECT_EQ(follow.sentenceStart(1, 2500), 5000);
    EXPECT_EQ(follow.sentenceStart(1, 5000), std::nullopt) << "past the last";
    EXPECT_EQ(follow.sentenceStart(-1, 2500), 0) << "just into a sentence: the one before";
    EXPECT_EQ(follow.sentenceStart(-1, 3500), 2000) << "well into it: its own start";
    EXPECT_EQ(follow.sentenceStart(-1, 200), 0) << "the first has none before it";
    follow.clear();
    EXPECT_EQ(follow.sentenceStart(-1, 200), std::nullopt);
}

TEST(SentenceStartTest, FindsTheStartOfTheCursorsSentenceInLatinAndHanText) {
    const std::u16string text = u"One. Two, too! Three?\n四是四。十是十。end";
    const auto start = [&](std::u16string_view at) {
        return sentenceStartAt(text, int(text.find(at)));
    };
    EXPECT_EQ(start(u"One"), 0);
    EXPECT_EQ(start(u"ne."), 0);
    EXPECT_EQ(start(u"too"), int(text.find(u"Two")));
    EXPECT_EQ(start(u"Two"), int(text.find(u"Two")));
    EXPECT_EQ(start(u"ree"), int(text.find(u"Three")));
    EXPECT_EQ(start(u"是四"), int(text.find(u"四是")));
    EXPECT_EQ(start(u"十是十"), int(text.find(u"十是十")));
    EXPECT_EQ(sentenceStartAt(text, int(text.size())), int(text.find(u"end")));
    EXPECT_EQ(sentenceStartAt(text, 1000), int(text.find(u"end")));
    EXPECT_EQ(sentenceStartAt(u"", 3), 0);
}

} // namespace
} // namespace tolvane
