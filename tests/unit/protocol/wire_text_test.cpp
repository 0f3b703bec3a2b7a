// What goes on the wire and what the dialog is shown: body encoding, the fresh
// value, the password digest and the report texts.
#include "protocol/Md5Digest.h"
#include "protocol/ReportText.h"
#include "protocol/RequestBody.h"

#include <gtest/gtest.h>

namespace tolvane {
namespace {

TEST(RequestBody, FieldsKeepTheirOrderAndValuesAreFormEncoded) {
    const std::string body = RequestBody()
                                 .text("user_email", "a&user_id=7")
                                 .text("text", "50% + ½ ok")
                                 .number("rate", -5)
                                 .text("pass_md5", "0123456789abcdef")
                                 .text("empty", "")
                                 .str();
    EXPECT_EQ(body, "user_email=a%26user_id%3D7&text=50%25+%2B+%C2%BD+ok&rate=-5&"
                    "pass_md5=0123456789abcdef&empty=");
}

TEST(RequestBody, UnreservedBytesPassAndTheRestIsEscaped) {
    EXPECT_EQ(RequestBody::encode("AZaz09*-._"), "AZaz09*-._");
    EXPECT_EQ(RequestBody::encode("win32C++"), "win32C%2B%2B");
    EXPECT_EQ(RequestBody::encode(std::string("\0\x7f\xff~/", 5)), "%00%7F%FF%7E%2F");
}

TEST(RequestBody, FreshIsTheSecondDesktopRandScaled) {
    // srand(1) gives the well-known sequence 41, 18467, ...; srand(0) 38, 7719, ...
    EXPECT_EQ(RequestBody::freshFor(1), 18467 * 10000 / 32767);
    EXPECT_EQ(RequestBody::freshFor(0), 7719 * 10000 / 32767);
    int lowest = 10000;
    int highest = 0;
    for (int64_t second = 1'700'000'000; second < 1'700'020'000; ++second) {
        const int fresh = RequestBody::freshFor(second);
        ASSERT_GE(fresh, 0);
        ASSERT_LE(fresh, 10000);
        lowest = std::min(lowest, fresh);
        highest = std::max(highest, fresh);
    }
    EXPECT_LT(lowest, 100);
    EXPECT_GT(highest, 9900);
    const std::string body = RequestBody().text("a", "b").fresh().str();
    EXPECT_EQ(body.rfind("a=b&fresh=", 0), 0u);
}

TEST(Md5Digest, MatchesTheRfcVectors) {
    const std::pair<std::string, std::string> vectors[] = {
        {"", "d41d8cd98f00b204e9800998ecf8427e"},
        {"a", "0cc175b9c0f1b6a831c399e269772661"},
        {"abc", "900150983cd24fb0d6963f7d28e17f72"},
        {"message digest", "f96b697d7cb7938d525a2f31aaf161d0"},
        {"12345678901234567890123456789012345678901234567890123456789012345678901234567890",
         "57edf4a22be3c955ac49da2e2107b67a"},
    };
    for (const auto& [input, expected] : vectors) {
        std::string digest;
        std::string error;
        ASSERT_TRUE(Md5Digest::hex(input, digest, error)) << error;
        EXPECT_EQ(digest, expected) << input;
    }
}

TEST(ReportText, FailureFormats) {
    EXPECT_EQ(ReportText::withTransferError(u"Failed to Verify", "Couldn't connect"),
              u"Failed to Verify[Couldn't connect]");
    EXPECT_EQ(ReportText::withServerError(u"网络验证失败", "302", "密码错误"),
              u"网络验证失败 [302, 密码错误]");
    EXPECT_EQ(ReportText::withServerError(u"F", "", ""), u"F [, ]");
}

TEST(ReportText, TextsAreCutToTheirSlot) {
    const std::u16string long16 =
        ReportText::withServerError(u"Failed", std::string(200, 'c'), std::string(200, 'm'));
    EXPECT_EQ(long16.size(), 255u);
    EXPECT_EQ(long16.substr(0, 8), u"Failed [");
    EXPECT_EQ(ReportText::fromUtf8(std::string(600, 'd'), 512).size(), 511u);
    // A character outside the basic plane is dropped whole rather than split.
    std::string text(254, 'x');
    text += "\xF0\x9F\x98\x80"; // U+1F600, two UTF-16 units
    const std::u16string cut = ReportText::fromUtf8(text);
    EXPECT_EQ(cut, std::u16string(254, u'x'));
    EXPECT_EQ(ReportText::fromUtf8("ab\xFF"), u"ab\uFFFD");
    EXPECT_EQ(ReportText::field(std::string(300, 'e')).size(), 255u);
}

} // namespace
} // namespace tolvane
