#include "platform/Text.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <optional>

namespace tolvane::platform {
namespace {

// Sets the locale variables for one test and restores them afterwards.
class LocaleEnvironment {
  public:
    explicit LocaleEnvironment(const char* lcAll, const char* lang = nullptr) {
        for (const char* name : kNames) {
            const char* value = std::getenv(name);
            saved_.push_back(value ? std::optional<std::string>(value) : std::nullopt);
            unsetenv(name);
        }
        if (lcAll != nullptr) {
            setenv("LC_ALL", lcAll, 1);
        }
        if (lang != nullptr) {
            setenv("LANG", lang, 1);
        }
    }
    ~LocaleEnvironment() {
        for (size_t i = 0; i < std::size(kNames); ++i) {
            if (saved_[i]) {
                setenv(kNames[i], saved_[i]->c_str(), 1);
            } else {
                unsetenv(kNames[i]);
            }
        }
    }

  private:
    static constexpr const char* kNames[] = {"LC_ALL", "LC_CTYPE", "LANG"};
    std::vector<std::optional<std::string>> saved_;
};

const std::string kChineseUtf8 = "\xE4\xB8\xAD\xE6\x96\x87"; // 中文
const std::string kChineseGb18030 = "\xD6\xD0\xCE\xC4";

TEST(Text, Utf8AndUtf16RoundTripEveryPlane) {
    const std::string utf8 = "A\xC3\xA9" + kChineseUtf8 + "\xF0\x9F\x8E\xB5"; // Aé中文🎵
    const std::u16string utf16 = utf8ToUtf16(utf8);
    EXPECT_EQ(utf16, u"A\u00E9\u4E2D\u6587\U0001F3B5");
    EXPECT_EQ(utf16.size(), 6u); // the last character is a surrogate pair
    EXPECT_EQ(utf16ToUtf8(utf16), utf8);
    EXPECT_EQ(utf8ToUtf16(""), u"");
    EXPECT_EQ(utf16ToUtf8(std::u16string(3, u'\0')), std::string(3, '\0'));
}

TEST(Text, InvalidUtf8BecomesReplacementCharacters) {
    EXPECT_EQ(utf8ToUtf16("a\xFF"
                          "b"),
              u"a\uFFFDb");
    EXPECT_EQ(utf8ToUtf16("\xC0\xAF"), u"\uFFFD\uFFFD"); // overlong '/'
    EXPECT_EQ(utf8ToUtf16("x\xE4\xB8"), u"x\uFFFD");     // cut off at the end
    EXPECT_EQ(utf8ToUtf16("\xED\xA0\x80"
                          "z")
                  .back(),
              u'z'); // encoded surrogate
    EXPECT_EQ(utf8ToUtf16("\xED\xA0\x80"
                          "z")
                  .find(u'\xD800'),
              std::u16string::npos);
}

TEST(Text, LoneSurrogatesBecomeReplacementCharacters) {
    const std::u16string lone = {u'a', char16_t(0xD800), u'b', char16_t(0xDC00)};
    EXPECT_EQ(utf16ToUtf8(lone), "a\xEF\xBF\xBD"
                                 "b\xEF\xBF\xBD");
}

TEST(Text, AnsiCharsetComesFromTheLocaleVariables) {
    {
        LocaleEnvironment env("zh_CN.GB18030");
        EXPECT_EQ(ansiCharset(), "GB18030");
    }
    {
        LocaleEnvironment env(nullptr, "de_DE.utf8");
        EXPECT_EQ(ansiCharset(), "UTF-8");
    }
    {
        LocaleEnvironment env("", "ru_RU.KOI8-R"); // an empty LC_ALL counts as unset
        EXPECT_EQ(ansiCharset(), "KOI8-R");
    }
    for (const char* plain : {"C", "POSIX", "en_US.ANSI_X3.4-1968", "xx_YY.NO-SUCH-CHARSET"}) {
        LocaleEnvironment env(plain);
        EXPECT_EQ(ansiCharset(), "UTF-8") << plain;
    }
    LocaleEnvironment none(nullptr);
    EXPECT_EQ(ansiCharset(), "UTF-8");
}

TEST(Text, Gb18030LocaleHoldsChineseInItsOwnBytes) {
    LocaleEnvironment env("zh_CN.GB18030");
    EXPECT_EQ(utf8ToAnsi(kChineseUtf8), kChineseGb18030);
    EXPECT_EQ(ansiToUtf8(kChineseGb18030), kChineseUtf8);
    EXPECT_EQ(utf16ToAnsi(u"\u4E2D\u6587"), kChineseGb18030);
    EXPECT_EQ(ansiToUtf16(kChineseGb18030), u"\u4E2D\u6587");
    // GB18030 reaches every plane: a four-byte sequence round-trips.
    const std::string note = utf8ToAnsi("\xF0\x9F\x8E\xB5");
    EXPECT_EQ(note.size(), 4u);
    EXPECT_EQ(ansiToUtf8(note), "\xF0\x9F\x8E\xB5");
    EXPECT_EQ(latin1ToAnsi("caf\xE9"), "caf\xA8\xA6");
}

TEST(Text, EightBitLocaleReplacesWhatItCannotHold) {
    LocaleEnvironment env("fr_FR.ISO-8859-1");
    EXPECT_EQ(utf8ToAnsi("caf\xC3\xA9 " + kChineseUtf8), "caf\xE9 ??");
    EXPECT_EQ(utf16ToAnsi(u"\u00E9\U0001F3B5"), "\xE9?");
    EXPECT_EQ(ansiToUtf8("\xE9t\xE9"), "\xC3\xA9t\xC3\xA9");
    EXPECT_EQ(utf8ToAnsi("a\xFF"
                         "b"),
              "a?b"); // invalid input, then unrepresentable U+FFFD
}

TEST(Text, Utf8LocaleKeepsValidTextAndMendsInvalid) {
    LocaleEnvironment env("C.UTF-8");
    EXPECT_EQ(utf8ToAnsi(kChineseUtf8), kChineseUtf8);
    EXPECT_EQ(ansiToUtf8("a\x80"), "a\xEF\xBF\xBD");
    EXPECT_EQ(latin1ToAnsi("\xE9\xFF"), "\xC3\xA9\xC3\xBF");
}

TEST(Text, BrokenGb18030IsReplacedNotDropped) {
    LocaleEnvironment env("zh_CN.GB18030");
    // 0xD6 needs a second byte; 0x81 0x30 needs two more.
    EXPECT_EQ(ansiToUtf16("\xD6"), u"\uFFFD");
    EXPECT_EQ(ansiToUtf16("a\x81\x30"), u"a\uFFFD");
}

TEST(Text, ConvertCharsetRefusesUnknownNames) {
    std::string out = "unchanged";
    EXPECT_FALSE(convertCharset("abc", "NO-SUCH-CHARSET", "UTF-8", out));
    EXPECT_EQ(out, "unchanged");
    ASSERT_TRUE(convertCharset("\xE9", "ISO-8859-1", "UTF-8", out));
    EXPECT_EQ(out, "\xC3\xA9");
}

} // namespace
} // namespace tolvane::platform
