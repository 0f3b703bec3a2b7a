#include "server/Reply.h"
#include "server/Utf8.h"

#include <gtest/gtest.h>

namespace tolvane::server {
namespace {

TEST(ReplyTest, JoinsPairsBehindTheItemMarker) {
    Reply reply("tolvanedoor");
    reply.text("door_add", "http://h/add").number("errcode", 0).text("errmsg", "").separator();
    EXPECT_EQ(reply.str(), "item=tolvanedoor&door_add=http://h/add&errcode=0&errmsg=null&");
}

TEST(ReplyTest, ValuesCannotBreakTheClientsScanner) {
    EXPECT_EQ(Reply::clean("", 255), "null");
    EXPECT_EQ(Reply::clean(" \t\r\n ", 255), "null");
    EXPECT_EQ(Reply::clean("AT&T", 255), "AT and T");
    EXPECT_EQ(Reply::clean("Tom & Jerry", 255), "Tom and Jerry");
    EXPECT_EQ(Reply::clean("status=ok&errcode=0", 255), "status =ok and errcode =0");
    EXPECT_EQ(Reply::clean("a = b, x==y", 255), "a = b, x ==y");
    EXPECT_EQ(Reply::clean("title3 rssid10 subtitle2 title", 255),
              "title 3 rssid 10 subtitle 2 title");
    EXPECT_EQ(Reply::clean("line\none\ttwo\x7F", 255), "line one two");
    EXPECT_EQ(Reply::clean(std::string("nul\0byte", 8), 255), "nul byte");
    EXPECT_EQ(Reply::clean("bad\xFF\xC0utf8", 255), "bad\xEF\xBF\xBD\xEF\xBF\xBDutf8");
}

TEST(ReplyTest, CutsOnACharacterBoundary) {
    std::string han;
    for (int i = 0; i < 100; ++i) {
        han += "长";
    }
    const std::string cut = Reply::clean(han, 255);
    EXPECT_EQ(cut.size(), 255u);
    EXPECT_TRUE(isValidUtf8(cut));
    EXPECT_EQ(Reply::clean(han, 256).size(), 255u);
    EXPECT_EQ(Reply::clean("ab" + han, 4), "ab");
    EXPECT_EQ(Reply::clean("word   ", 5), "word");
}

TEST(Utf8Test, ValidatesAndCounts) {
    EXPECT_TRUE(isValidUtf8("plain, 中文, \xF0\x9F\x98\x80"));
    for (const char* bad : {"\xC0\x80", "\xED\xA0\x80", "\xF4\x90\x80\x80", "\xE4\xBD", "\x80"}) {
        EXPECT_FALSE(isValidUtf8(bad)) << bad;
    }
    EXPECT_EQ(utf16Length("abc"), 3u);
    EXPECT_EQ(utf16Length("中文"), 2u);
    EXPECT_EQ(utf16Length("\xF0\x9F\x98\x80"), 2u) << "a surrogate pair in the client's text box";
    EXPECT_EQ(repairUtf8("a\xE4\xBD"), "a\xEF\xBF\xBD\xEF\xBF\xBD");
}

} // namespace
} // namespace tolvane::server
