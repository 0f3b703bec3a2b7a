// The news items against small loopback peers: batches, "null" texts, the end
// of a feed, failure reports and the exact request body.
#include "ProtocolTestSupport.h"

#include "protocol/NewsItemController.h"
#include "protocol/RequestBody.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

namespace tolvane::test {
namespace {

using ::testing::ElementsAre;
using ::testing::MatchesRegex;

constexpr const char* kPath = "/tolvane/news";
constexpr const char* kMarker = "item=tolvane&action=simplepie&";

std::string item(int i, const std::string& title, const std::string& description = "Body") {
    const std::string n = std::to_string(i);
    return "title" + n + "=" + title + "&description" + n + "=" + description + "&time" + n +
           "=Mon, 0" + std::to_string(i) + " May 2010&";
}

std::string tail(int total, int maxrss, const std::string& status = "succeed") {
    return "status=" + status + "&errcode=0&errmsg=null&totalitems=" + std::to_string(total) +
           "&maxrss=" + std::to_string(maxrss) + "&end=end";
}

class NewsItemsTest : public ::testing::Test {
  protected:
    void SetUp() override {
        controller_.setPort(recorder_.port());
        controller_.setService(peer_.url(kPath), 10, 30);
    }

    void fetch(const std::string& reply, int32_t batchStart = 0) {
        peer_.answer(kPath, 200, reply);
        controller_.start(3, language_, "tok123", "win32C++", "tolvane23", batchStart);
        ASSERT_TRUE(recorder_.pumpUntil([&] { return !controller_.running(); }));
    }

    std::string language_ = "en-US";
    RecordingPort recorder_;
    TestPeer peer_;
    NewsItemController controller_;
};

TEST_F(NewsItemsTest, BatchWithItemsArrives) {
    fetch(kMarker + item(0, "First", "One") + item(1, "第二条", "二") + item(2, "Third") +
          tail(3, 10));
    EXPECT_THAT(recorder_.events(),
                ElementsAre("400/420 Getting news item ...", "trace RSS list succeed",
                            "400/440 Succeed to news item"));
    EXPECT_EQ(controller_.totalitems(), 3);
    EXPECT_EQ(controller_.maxrss(), 10);
    const std::vector<NewsItem> items = controller_.items();
    ASSERT_EQ(items.size(), 3u);
    EXPECT_EQ(items[0].title, u"First");
    EXPECT_EQ(items[0].description, u"One");
    EXPECT_EQ(items[0].time, u"Mon, 00 May 2010");
    EXPECT_EQ(items[1].title, u"第二条");
    EXPECT_EQ(items[1].description, u"二");
    EXPECT_EQ(items[2].title, u"Third");
}

TEST_F(NewsItemsTest, BodyIsEncodedFieldByFieldInOrder) {
    const int64_t before = std::time(nullptr);
    peer_.answer(kPath, 200, kMarker + tail(0, 0));
    controller_.start(12, "zh-CN", "a&b=c+d", "win32C++", "tolvane23", 5);
    ASSERT_TRUE(recorder_.pumpUntil([&] { return !controller_.running(); }));
    const int64_t after = std::time(nullptr);
    const std::vector<Exchange> exchanges = peer_.exchanges();
    ASSERT_EQ(exchanges.size(), 1u);
    const Exchange& request = exchanges[0];
    const std::string expected = "rss_id=12&language=zh-CN&verifytimeid=a%26b%3Dc%2Bd&"
                                 "clienttype=win32C%2B%2B&clientver=tolvane23&rssstart=5&fresh=";
    ASSERT_EQ(request.body.substr(0, expected.size()), expected);
    const int fresh = std::stoi(request.body.substr(expected.size()));
    EXPECT_TRUE(fresh == RequestBody::freshFor(before) || fresh == RequestBody::freshFor(after));
    EXPECT_EQ(request.body, expected + std::to_string(fresh));
    EXPECT_FALSE(request.headers.count("User-Agent"));
    EXPECT_EQ(request.headers.find("Content-Type")->second, "application/x-www-form-urlencoded");
    EXPECT_EQ(request.params.find("verifytimeid")->second, "a&b=c+d");
}

TEST_F(NewsItemsTest, LowerCaseNullIsAnEmptyText) {
    fetch(kMarker + item(0, "null", "null") + item(1, "NULL", "Null") + tail(2, 2));
    const std::vector<NewsItem> items = controller_.items();
    ASSERT_EQ(items.size(), 2u);
    EXPECT_EQ(items[0].title, u"");
    EXPECT_EQ(items[0].description, u"");
    EXPECT_EQ(items[1].title, u"NULL");
    EXPECT_EQ(items[1].description, u"Null");
}

TEST_F(NewsItemsTest, EmptyBatchEndsTheFeed) {
    fetch(kMarker + item(0, "First") + item(1, "Second") + tail(2, 2));
    controller_.setBatchStartOffset(controller_.batchStartOffset() + controller_.totalitems());
    fetch(kMarker + tail(0, 2), controller_.batchStartOffset());
    EXPECT_THAT(recorder_.reports(),
                ElementsAre("400/420 Getting news item ...", "400/440 Succeed to news item",
                            "400/420 Getting news item ...", "400/430 Succeed to news item"));
    EXPECT_THAT(peer_.exchanges()[1].body, MatchesRegex(".*&rssstart=2&fresh=[0-9]+"));
    EXPECT_EQ(controller_.totalitems(), 0);
    EXPECT_EQ(controller_.maxrss(), 2);
    // Starting the request waited out the previous worker, which freed its items.
    EXPECT_TRUE(controller_.items().empty());
}

TEST_F(NewsItemsTest, ReplyWithoutItemsLeavesTheItemsInMemoryUntilWaitOut) {
    fetch(kMarker + item(0, "First") + item(1, "Second") + tail(2, 2));
    recorder_.clear();
    controller_.handleReply(kMarker + tail(0, 2));
    controller_.handleReply(kMarker + tail(-1, 2));
    EXPECT_THAT(recorder_.events(),
                ElementsAre("trace RSS list succeed", "400/430 Succeed to news item",
                            "trace RSS list succeed"));
    EXPECT_EQ(controller_.items().size(), 2u);
    controller_.waitOut();
    EXPECT_TRUE(controller_.items().empty());
}

TEST_F(NewsItemsTest, WaitOutFreesTheItemsButKeepsTheCount) {
    fetch(kMarker + item(0, "First") + item(1, "Second") + tail(2, 5));
    controller_.waitOut();
    EXPECT_TRUE(controller_.items().empty());
    EXPECT_EQ(controller_.totalitems(), 2);
}

TEST_F(NewsItemsTest, FailedStatusCarriesCodeAndMessageInEitherLanguage) {
    fetch(kMarker + tail(0, 0, "failed&errcode=401&errmsg=Unknown feed&x=y"));
    controller_.setLanguage("zh-CN");
    fetch(std::string(kMarker) + "status=Failed&errcode=402&errmsg=新闻源暂不可用&totalitems=0&"
                                 "maxrss=0&end=end");
    EXPECT_THAT(recorder_.reports(), ElementsAre("400/420 Getting news item ...",
                                                 "400/410 Failed to news item [401, Unknown feed]",
                                                 "400/420 获取新闻列表...",
                                                 "400/410 获取新闻列表失败 [402, 新闻源暂不可用]"));
}

TEST_F(NewsItemsTest, MissingMarkerCountsOrStatusIsAParseFailure) {
    fetch("item=tolvane&action=userverify&" + tail(0, 0));
    fetch(kMarker + item(0, "First") + "status=succeed&errcode=0&errmsg=null&end=end");
    fetch(kMarker + item(0, "Kept") + "totalitems=1&maxrss=4&end=end");
    EXPECT_THAT(recorder_.reports(),
                ElementsAre("400/420 Getting news item ...", "400/410 Failed to rss item parse",
                            "400/420 Getting news item ...", "400/410 Failed to rss item parse",
                            "400/420 Getting news item ...", "400/410 Failed to rss item parse"));
    // The counts and items come before the status is looked for.
    EXPECT_EQ(controller_.maxrss(), 4);
}

TEST_F(NewsItemsTest, BlankLineBeforeMarkerCapitalsAndNegativeCount) {
    fetch("\n" + std::string(kMarker) + item(0, "First") + tail(1, 1, "SUCCEED"));
    ASSERT_EQ(controller_.items().size(), 1u);
    EXPECT_EQ(controller_.items()[0].title, u"First");
    fetch(kMarker + tail(-1, 1));
    EXPECT_THAT(recorder_.reports(),
                ElementsAre("400/420 Getting news item ...", "400/440 Succeed to news item",
                            "400/420 Getting news item ..."));
}

TEST_F(NewsItemsTest, OverlongValuesAreCutToTheirFields) {
    const std::string title(300, 't');
    const std::string description(600, 'd');
    fetch(kMarker + item(0, title, description) + item(1, "Next") + tail(2, 2));
    const std::vector<NewsItem> items = controller_.items();
    ASSERT_EQ(items.size(), 2u);
    EXPECT_EQ(items[0].title, std::u16string(255, u't'));
    EXPECT_EQ(items[0].description, std::u16string(511, u'd'));
    EXPECT_EQ(items[0].time, u"Mon, 00 May 2010");
    EXPECT_EQ(items[1].title, u"Next");
}

TEST_F(NewsItemsTest, TransferFailureSendsTheLibraryTextAlone) {
    controller_.setService("http://127.0.0.1:" + std::to_string(closedPort()) + kPath, 10, 30);
    controller_.start(3, "en-US", "tok", "win32C++", "tolvane23", 0);
    ASSERT_TRUE(recorder_.pumpUntil([&] { return !controller_.running(); }));
    EXPECT_THAT(recorder_.events(),
                ElementsAre("400/420 Getting news item ...",
                            MatchesRegex("400/410 Failed to connect to 127\\.0\\.0\\.1 port [0-9]+ "
                                         "after [0-9]+ ms: Couldn't connect to server")));
}

} // namespace
} // namespace tolvane::test
