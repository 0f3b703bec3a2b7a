// The user's pronunciations applied to the text a reading sends: whole Latin
// words, letter case, Chinese words anywhere, longest first in one pass, the
// room the server's limit leaves, and the follow-along light mapped back to
// the words as typed.
#include "platform/Text.h"
#include "ui/core/FollowAlong.h"
#include "ui/core/Pronouncer.h"

#include <gtest/gtest.h>

#include <limits>

namespace tolvane {
namespace {

using Language = Pronunciation::Language;

constexpr int64_t kAnyRoom = std::numeric_limits<int32_t>::max();

std::string said(const Pronouncer& pronouncer, std::string_view text, int64_t room = kAnyRoom) {
    return platform::utf16ToUtf8(pronouncer.apply(platform::utf8ToUtf16(text), room).text);
}

TEST(PronouncerTest, LatinWordsMatchWholeIgnoringCaseAndAreSaidAsWritten) {
    const Pronouncer english({{Language::kEnglish, "Tolvane", "Toll vane"},
                              {Language::kEnglish, "US", "U S", true},
                              {Language::kEnglish, "New York", "Noo York"},
                              {Language::kChinese, "read", "reed"}},
                             Language::kEnglish);
    EXPECT_EQ(said(english, "tolvane, TOLVANE's (Tolvane)."),
              "Toll vane, Toll vane's (Toll vane).");
    // Letters, digits and combining marks go on with a word; a Han character
    // does not, as Chinese has no spaces between words.
    EXPECT_EQ(said(english, "Tolvanes xTolvane 3Tolvane Tolvane2 Tolvane\u0301 Tolvané"),
              "Tolvanes xTolvane 3Tolvane Tolvane2 Tolvane\u0301 Tolvané");
    EXPECT_EQ(said(english, "用Tolvane朗读"), "用Toll vane朗读");
    EXPECT_EQ(said(english, "US us Us USA"), "U S us Us USA") << "a rule of its own case";
    EXPECT_EQ(said(english, "NEW YORK, new york, NewYork"), "Noo York, Noo York, NewYork");
    EXPECT_EQ(said(english, "read"), "read") << "a Chinese rule in an English reading";
}

TEST(PronouncerTest, ChineseWordsMatchAnywhereLongestFirstInOnePass) {
    const Pronouncer chinese({{Language::kChinese, "行", "形"},
                              {Language::kChinese, "银行", "银航"},
                              {Language::kChinese, "长", "常"},
                              {Language::kChinese, "长城", "场城"},
                              {Language::kChinese, "北京", "背景"},
                              {Language::kChinese, "京城", "经城"},
                              {Language::kChinese, "Tolvane", "托尔万"}},
                             Language::kChinese);
    // "银航" holds 航 and 行 is not looked at again; 长城 wins over 长.
    EXPECT_EQ(said(chinese, "我在银行工作,长城很长,行。"), "我在银航工作,场城很常,形。");
    // Overlapping rules: the one that starts first wins.
    EXPECT_EQ(said(chinese, "北京城"), "背景城");
    EXPECT_EQ(said(chinese, "这是Tolvane的声音"), "这是托尔万的声音");

    // Swapped words are each replaced once.
    const Pronouncer swap({{Language::kEnglish, "a", "b"}, {Language::kEnglish, "b", "a"}},
                          Language::kEnglish);
    EXPECT_EQ(said(swap, "a b ab"), "b a ab");
}

TEST(PronouncerTest, OddInputAndWhereEachReplacementLies) {
    const Pronouncer pronouncer({{Language::kEnglish, "\U0001F600", "smile"},
                                 {Language::kEnglish, "x", "ex"},
                                 {Language::kEnglish, "  ", "blank"}},
                                Language::kEnglish);
    int64_t room = kAnyRoom;
    EXPECT_TRUE(pronouncer.apply(u"", room).replaced.empty());
    // A character outside the basic plane, a lone surrogate kept as it is.
    const Pronouncer::Result result = pronouncer.apply(u"\xD800x\U0001F600x", room);
    EXPECT_EQ(result.text, u"\xD800"
                           u"ex"
                           u"smile"
                           u"ex");
    ASSERT_EQ(result.replaced.size(), 3U);
    EXPECT_EQ(result.replaced[1].at, 2);
    EXPECT_EQ(result.replaced[1].length, 2);
    EXPECT_EQ(result.replaced[1].spokenAt, 3);
    EXPECT_EQ(result.replaced[1].spokenLength, 5);
    EXPECT_EQ(said(pronouncer, "   "), "   ") << "a rule of blanks only is no rule";
    EXPECT_EQ(said(Pronouncer(), "x"), "x");
}

TEST(PronouncerTest, AReplacementThatWouldPassTheLimitIsNotMade) {
    const Pronouncer pronouncer(
        {{Language::kEnglish, "Tolvane", "Toll vane"}, {Language::kEnglish, "information", "info"}},
        Language::kEnglish);
    int64_t room = 3;
    EXPECT_EQ(said(pronouncer, "Tolvane Tolvane information Tolvane", room),
              "Toll vane Tolvane info Toll vane")
        << "the second would pass the limit; the shorter word makes room for the third";
    room = 0;
    EXPECT_EQ(said(pronouncer, "Tolvane", room), "Tolvane");
}

TEST(PronouncerTest, FollowAlongLightsTheTypedWordForTheMarksOfItsReplacement) {
    const std::u16string box = u"I use Tolvane daily.";
    const Pronouncer pronouncer({{Language::kEnglish, "Tolvane", "Toll vane"}}, Language::kEnglish);
    int64_t room = kAnyRoom;
    const Pronouncer::Result sent = pronouncer.apply(box, room);
    ASSERT_EQ(sent.text, u"I use Toll vane daily.");
    FollowAlong follow;
    follow.start(sent.text, 0, int(box.size()), sent.replaced);
    EXPECT_EQ(follow.toBox(6, 4), (TextRange{6, 13})) << "Toll";
    EXPECT_EQ(follow.toBox(11, 4), (TextRange{6, 13})) << "vane";
    EXPECT_EQ(follow.toBox(16, 5), (TextRange{14, 19})) << "daily";
    EXPECT_EQ(follow.toBox(0, 22), (TextRange{0, 20})) << "the sentence";
    EXPECT_EQ(follow.toBox(2, 3), (TextRange{2, 5})) << "use";
}

} // namespace
} // namespace tolvane
