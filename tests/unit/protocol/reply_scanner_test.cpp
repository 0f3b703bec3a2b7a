#include "protocol/ReplyBuffer.h"
#include "protocol/ReplyScanner.h"

#include <gtest/gtest.h>

#include <array>

namespace tolvane {
namespace {

template <size_t N> struct Scan {
    size_t count = 0;
    std::array<std::string, N> values;
};

template <size_t N> Scan<N> scan(std::string_view text, std::string_view pattern) {
    Scan<N> out;
    out.count = ReplyScanner::scan(text, pattern, out.values);
    return out;
}

TEST(ReplyScanner, ValuesRunToTheNextSeparatorOrTheEnd) {
    const auto result =
        scan<3>("item=x&a=1 2&b=http://h/p?q=1&c=last", "item=x&a=%[^&]&b=%[^&]&c=%[^&]");
    EXPECT_EQ(result.count, 3u);
    EXPECT_EQ(result.values[0], "1 2");
    EXPECT_EQ(result.values[1], "http://h/p?q=1");
    EXPECT_EQ(result.values[2], "last");
}

TEST(ReplyScanner, EmptyValueOrKeyOutOfOrderEndsTheScan) {
    auto result = scan<3>("a=1&b=&c=3", "a=%[^&]&b=%[^&]&c=%[^&]");
    EXPECT_EQ(result.count, 1u);
    EXPECT_EQ(result.values[0], "1");
    EXPECT_EQ(result.values[1], "");
    EXPECT_EQ(result.values[2], "");

    result = scan<3>("a=1&c=3&b=2", "a=%[^&]&b=%[^&]&c=%[^&]");
    EXPECT_EQ(result.count, 1u);
    EXPECT_EQ(result.values[2], "");

    result = scan<3>(" a=1", "a=%[^&]&b=%[^&]&c=%[^&]");
    EXPECT_EQ(result.count, 0u);
    EXPECT_EQ(result.values[0], "");
}

TEST(ReplyScanner, ValuesOfEarlierScansAreCleared) {
    std::array<std::string, 2> values{"old", "old"};
    EXPECT_EQ(ReplyScanner::scan("a=new", "a=%[^&]&b=%[^&]", values), 1u);
    EXPECT_EQ(values[0], "new");
    EXPECT_EQ(values[1], "");
}

TEST(ReplyScanner, LongValueIsCutAndTheScanGoesOn) {
    const std::string text = "a=" + std::string(300, 'x') + "&b=2";
    auto result = scan<2>(text, "a=%[^&]&b=%[^&]");
    EXPECT_EQ(result.count, 2u);
    EXPECT_EQ(result.values[0], std::string(255, 'x'));
    EXPECT_EQ(result.values[1], "2");

    result = scan<2>(text, "a=%511[^&]&b=%[^&]");
    EXPECT_EQ(result.values[0], std::string(300, 'x'));
    result = scan<2>("a=" + std::string(600, 'y'), "a=%511[^&]&b=%[^&]");
    EXPECT_EQ(result.values[0], std::string(511, 'y'));
}

TEST(ReplyScanner, CutNeverSplitsAUtf8Character) {
    // 254 ASCII bytes, then a three-byte character that would straddle byte 255.
    const std::string value = std::string(254, 'x') + "中" + "tail";
    const auto result = scan<1>("a=" + value, "a=%[^&]");
    EXPECT_EQ(result.values[0], std::string(254, 'x'));
    // Bytes that are not UTF-8 are cut where the field ends.
    const std::string raw(300, '\x80');
    EXPECT_EQ(scan<1>("a=" + raw, "a=%[^&]").values[0], raw.substr(0, 255));
}

TEST(ReplyScanner, OtherDelimiterSplitsParts) {
    const auto result = scan<6>("1:2:three:4:5:6", "%[^:]:%[^:]:%[^:]:%[^:]:%[^:]:%[^:]");
    EXPECT_EQ(result.count, 6u);
    EXPECT_EQ(result.values[2], "three");
    EXPECT_EQ(result.values[5], "6");
}

TEST(ReplyScanner, MoreConversionsThanValuesStops) {
    std::array<std::string, 1> values;
    EXPECT_EQ(ReplyScanner::scan("a=1&b=2", "a=%[^&]&b=%[^&]", values), 1u);
    EXPECT_EQ(values[0], "1");
}

TEST(ReplyScanner, ListPatternAndMarkerSearch) {
    EXPECT_EQ(ReplyScanner::listPattern({"title3", "time3"}), "title3=%[^&]&time3=%[^&]&");
    size_t at = 0;
    EXPECT_EQ(ReplyScanner::from("xx&rssid1=a&rssid10=b", "rssid1", 0, &at), "rssid1=a&rssid10=b");
    EXPECT_EQ(at, 3u);
    EXPECT_EQ(ReplyScanner::from("xx&rssid1=a&rssid10=b", "rssid1", 4, &at), "rssid10=b");
    EXPECT_EQ(ReplyScanner::from("abc", "d", 0, &at), "");
    EXPECT_EQ(at, std::string_view::npos);
    EXPECT_EQ(ReplyScanner::from("abc", "a", 10, &at), "");
}

TEST(ReplyScanner, NumbersAreReadAsAtolReadsThem) {
    EXPECT_EQ(ReplyScanner::number("42"), 42);
    EXPECT_EQ(ReplyScanner::number("  -17abc"), -17);
    EXPECT_EQ(ReplyScanner::number("+8"), 8);
    EXPECT_EQ(ReplyScanner::number("null"), 0);
    EXPECT_EQ(ReplyScanner::number(""), 0);
    EXPECT_EQ(ReplyScanner::number("- 3"), 0);
    EXPECT_EQ(ReplyScanner::number("99999999999999999999"), 2147483647);
    EXPECT_EQ(ReplyScanner::number("-99999999999999999999"), -2147483647 - 1);
}

TEST(ReplyScanner, StatusIsComparedIgnoringCase) {
    EXPECT_TRUE(ReplyScanner::sameIgnoringCase("SUCCEED", "succeed"));
    EXPECT_TRUE(ReplyScanner::sameIgnoringCase("Failed", "failed"));
    EXPECT_FALSE(ReplyScanner::sameIgnoringCase("succeeded", "succeed"));
    EXPECT_FALSE(ReplyScanner::sameIgnoringCase("", "succeed"));
}

TEST(ReplyBuffer, CollectsChunksAndCutsAtTheFirstNul) {
    ReplyBuffer buffer;
    EXPECT_FALSE(buffer.started);
    char first[] = "item=tol";
    char second[] = {'v', 'a', 'n', 'e', '\0', 'x'};
    EXPECT_EQ(ReplyBuffer::append(first, 1, 8, &buffer), 8u);
    EXPECT_TRUE(buffer.started);
    EXPECT_EQ(buffer.size, 10);
    EXPECT_EQ(ReplyBuffer::append(second, 2, 3, &buffer), 6u);
    EXPECT_EQ(buffer.size, 16);
    EXPECT_EQ(buffer.data.size(), 14u);
    EXPECT_EQ(buffer.text(), "item=tolvane");
}

TEST(ReplyBuffer, RefusesAReplyBeyondItsBound) {
    ReplyBuffer buffer;
    std::string chunk(ReplyBuffer::kMaxBytes / 2, 'a');
    EXPECT_EQ(ReplyBuffer::append(chunk.data(), 1, chunk.size(), &buffer), chunk.size());
    EXPECT_EQ(ReplyBuffer::append(chunk.data(), 1, chunk.size(), &buffer), chunk.size());
    EXPECT_FALSE(buffer.overflowed);
    EXPECT_EQ(ReplyBuffer::append(chunk.data(), 1, 1, &buffer), 0u);
    EXPECT_TRUE(buffer.overflowed);
    EXPECT_EQ(ReplyBuffer::append(chunk.data(), SIZE_MAX / 2, 4, &buffer), 0u);
    EXPECT_EQ(buffer.data.size(), ReplyBuffer::kMaxBytes);
}

} // namespace
} // namespace tolvane
