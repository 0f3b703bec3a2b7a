// The user verify against small loopback peers: the reply grammar's edge cases,
// the failure reports and the exact request body.
#include "ProtocolTestSupport.h"

#include "protocol/RequestBody.h"
#include "protocol/UserVerifyController.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

namespace tolvane::test {
namespace {

using ::testing::ElementsAre;
using ::testing::MatchesRegex;

constexpr const char* kPath = "/tolvane/userverify";

std::string head(const std::string& status = "succeed", const std::string& timeWaitMax = "60",
                 const std::string& verifytimeid = "tok123") {
    return "item=tolvane&action=userverify&status=" + status + "&time_wait_max=" + timeWaitMax +
           "&max_text_number=1000&domain_limit=localhost&usertype=demo&userid=7&errcode=0&"
           "errmsg=null&verifytimeid=" +
           verifytimeid + "&";
}

std::string feed(int i, int id, const std::string& title) {
    const std::string n = std::to_string(i);
    return "rssid" + n + "=" + std::to_string(id) + "&title" + n + "=" + title + "&priority" + n +
           "=" + std::to_string(i + 1) + "&time" + n + "=2010-05-0" + std::to_string(i % 10) + "&";
}

class UserVerifyTest : public ::testing::Test {
  protected:
    void SetUp() override { controller_.setPort(recorder_.port()); }

    void verify(const std::string& reply, const std::string& email = "demo@tolvane.local",
                const std::string& password = "demo") {
        peer_.answer(kPath, 200, reply);
        verifyAt(peer_.url(kPath), email, password);
    }
    void verifyAt(const std::string& url, const std::string& email = "demo@tolvane.local",
                  const std::string& password = "demo") {
        controller_.start(url, email, password, language_, 10, 30);
        ASSERT_TRUE(recorder_.pumpUntil([&] { return !controller_.running(); }));
    }

    std::string language_ = "en-US";
    RecordingPort recorder_;
    TestPeer peer_;
    UserVerifyController controller_;
};

TEST_F(UserVerifyTest, SuccessKeepsTheUserValuesAndTheFeedList) {
    verify(head() + feed(0, 4, "World News") + feed(1, 9, "科技新闻") + "rss_total=2&end=end");
    EXPECT_THAT(recorder_.events(), ElementsAre("300/320 Verifying ...", "trace Inital succeed",
                                                "300/330 Succeed to Verify"));
    EXPECT_EQ(controller_.userId(), 7);
    EXPECT_EQ(controller_.timeWaitMax(), 60);
    EXPECT_EQ(controller_.maxTextNumber(), 1000);
    EXPECT_EQ(controller_.verifytimeid(), "tok123");
    EXPECT_EQ(controller_.usertype(), "demo");
    ASSERT_EQ(controller_.rssTotal(), 2);
    const std::vector<FeedEntry> feeds = controller_.feeds();
    ASSERT_EQ(feeds.size(), 2u);
    EXPECT_EQ(feeds[0].rssid, 4);
    EXPECT_EQ(feeds[0].title, u"World News");
    EXPECT_EQ(feeds[0].priority, 1);
    EXPECT_EQ(feeds[0].time, u"2010-05-00");
    EXPECT_EQ(feeds[1].rssid, 9);
    EXPECT_EQ(feeds[1].title, u"科技新闻");
    EXPECT_EQ(feeds[1].priority, 2);
}

TEST_F(UserVerifyTest, BodyIsEncodedFieldByFieldInOrder) {
    // Raw, the e-mail would end the field and smuggle in a user_id.
    const std::string email = "a+b c&user_id=7%41@x.test";
    const std::string password = "p%w=rd&";
    const int64_t before = std::time(nullptr);
    verify(head() + "rss_total=0&end=end", email, password);
    const int64_t after = std::time(nullptr);
    const std::vector<Exchange> exchanges = peer_.exchanges();
    ASSERT_EQ(exchanges.size(), 1u);
    const std::string& body = exchanges[0].body;
    const std::string expected =
        "user_email=a%2Bb+c%26user_id%3D7%2541%40x.test&pass_md5=8a9b084b91336acf51c5b0b16eb58d40"
        "&language=en-US&clienttype=win32C%2B%2B&clientver=tolvane23&fresh=";
    ASSERT_EQ(body.substr(0, expected.size()), expected);
    const int fresh = std::stoi(body.substr(expected.size()));
    EXPECT_TRUE(fresh == RequestBody::freshFor(before) || fresh == RequestBody::freshFor(after));
    EXPECT_EQ(body, expected + std::to_string(fresh));
    EXPECT_FALSE(exchanges[0].headers.count("User-Agent"));
    EXPECT_EQ(exchanges[0].headers.find("Content-Type")->second,
              "application/x-www-form-urlencoded");
    // A form-decoding peer sees exactly the values that were meant.
    EXPECT_THAT(
        exchanges[0].params,
        ElementsAre(std::pair<const std::string, std::string>("clienttype", "win32C++"),
                    std::pair<const std::string, std::string>("clientver", "tolvane23"),
                    std::pair<const std::string, std::string>("fresh", std::to_string(fresh)),
                    std::pair<const std::string, std::string>("language", "en-US"),
                    std::pair<const std::string, std::string>("pass_md5",
                                                              "8a9b084b91336acf51c5b0b16eb58d40"),
                    std::pair<const std::string, std::string>("user_email", email)));
}

TEST_F(UserVerifyTest, EmptyPasswordStillSendsAFullDigest) {
    verify(head() + "rss_total=0&end=end", "demo@tolvane.local", "");
    ASSERT_EQ(peer_.exchanges().size(), 1u);
    EXPECT_THAT(peer_.exchanges()[0].body,
                MatchesRegex(".*&pass_md5=d41d8cd98f00b204e9800998ecf8427e&.*"));
}

TEST_F(UserVerifyTest, FailedStatusCarriesCodeAndMessageInEitherLanguage) {
    const std::string failed = "item=tolvane&action=userverify&status=failed&time_wait_max=0&"
                               "max_text_number=0&domain_limit=null&usertype=null&userid=0&"
                               "errcode=302&errmsg=";
    verify(failed + "Wrong password&verifytimeid=null&rss_total=0&end=end");
    controller_.setLanguage("zh-CN");
    language_ = "zh-CN";
    verify(failed + "密码错误&verifytimeid=null&rss_total=0&end=end");
    EXPECT_THAT(recorder_.reports(),
                ElementsAre("300/320 Verifying ...",
                            "300/310 Failed to Verify [302, Wrong password]",
                            "300/320 网络验证中 ...", "300/310 网络验证失败 [302, 密码错误]"));
}

TEST_F(UserVerifyTest, EmptyValueInTheMiddleEndsTheHeadScan) {
    verify(head("succeed", "") + feed(0, 4, "World") + "rss_total=1&end=end");
    EXPECT_EQ(recorder_.reports().back(), "300/330 Succeed to Verify");
    EXPECT_EQ(controller_.timeWaitMax(), 0);
    EXPECT_EQ(controller_.maxTextNumber(), 0);
    EXPECT_EQ(controller_.userId(), 0);
    EXPECT_EQ(controller_.verifytimeid(), "");
    ASSERT_EQ(controller_.feeds().size(), 1u);
    EXPECT_EQ(controller_.feeds()[0].title, u"World");
}

TEST_F(UserVerifyTest, BlankLineBeforeTheMarkerAndStatusInCapitals) {
    verify("\r\n" + head("SUCCEED") + "rss_total=0&end=end");
    EXPECT_THAT(recorder_.reports(),
                ElementsAre("300/320 Verifying ...", "300/330 Succeed to Verify"));
    EXPECT_EQ(controller_.userId(), 7);
    EXPECT_EQ(controller_.rssTotal(), 0);
    EXPECT_TRUE(controller_.feeds().empty());
}

TEST_F(UserVerifyTest, OtherStatusReportsNothing) {
    verify(head("pending") + "rss_total=0&end=end");
    EXPECT_THAT(recorder_.events(), ElementsAre("300/320 Verifying ...", "trace Inital succeed"));
}

TEST_F(UserVerifyTest, ReplyWithoutMarkerOrCountKeepsThePreviousValues) {
    verify(head() + "rss_total=0&end=end");
    verify("<html>Service Unavailable</html>");
    verify(head("succeed", "60", "other") + "end=end");
    EXPECT_THAT(recorder_.reports(),
                ElementsAre("300/320 Verifying ...", "300/330 Succeed to Verify",
                            "300/320 Verifying ...", "300/310 Failed to Verify Parse",
                            "300/320 Verifying ...", "300/310 Failed to Verify Parse"));
    EXPECT_EQ(controller_.userId(), 7);
    EXPECT_EQ(controller_.verifytimeid(), "tok123");
}

TEST_F(UserVerifyTest, OverlongValueIsKeptTo255Bytes) {
    const std::string token(300, 'k');
    verify(head("succeed", "60", token) + feed(0, 4, "World") + "rss_total=1&end=end");
    EXPECT_EQ(controller_.verifytimeid(), token.substr(0, 255));
    ASSERT_EQ(controller_.feeds().size(), 1u);
    EXPECT_EQ(controller_.feeds()[0].rssid, 4);
}

TEST_F(UserVerifyTest, ElevenFeedsAreFoundByCumulativeKeySearch) {
    std::string reply = head();
    for (int i = 0; i < 11; ++i) {
        reply += feed(i, 100 + i, "Feed" + std::string(1, static_cast<char>('A' + i)));
    }
    verify(reply + "rss_total=11&end=end");
    const std::vector<FeedEntry> feeds = controller_.feeds();
    ASSERT_EQ(feeds.size(), 11u);
    for (int i = 0; i < 11; ++i) {
        EXPECT_EQ(feeds[i].rssid, 100 + i);
        EXPECT_EQ(feeds[i].priority, i + 1);
        EXPECT_EQ(feeds[i].title, u"Feed" + std::u16string(1, static_cast<char16_t>(u'A' + i)));
    }
}

TEST_F(UserVerifyTest, CountBeyondTheEntriesLeavesTheRestEmpty) {
    verify(head() + feed(0, 4, "World") + "rss_total=3&end=end");
    const std::vector<FeedEntry> feeds = controller_.feeds();
    ASSERT_EQ(feeds.size(), 3u);
    EXPECT_EQ(feeds[0].rssid, 4);
    EXPECT_EQ(feeds[1].rssid, 0);
    EXPECT_EQ(feeds[1].title, u"");
    EXPECT_EQ(feeds[2].title, u"");
    verify(head() + "rss_total=2147483647&end=end");
    EXPECT_EQ(controller_.rssTotal(), UserVerifyController::kMaxFeeds);
    verify(head() + "rss_total=-4&end=end");
    EXPECT_EQ(controller_.rssTotal(), 0);
}

TEST_F(UserVerifyTest, TransferFailureAndWaitOutFreesTheList) {
    verify(head() + feed(0, 4, "World") + "rss_total=1&end=end");
    EXPECT_EQ(controller_.rssTotal(), 1);
    controller_.waitOut();
    EXPECT_EQ(controller_.rssTotal(), 0);
    EXPECT_TRUE(controller_.feeds().empty());
    recorder_.clear();
    verifyAt("http://127.0.0.1:" + std::to_string(closedPort()) + kPath);
    EXPECT_THAT(recorder_.events(),
                ElementsAre("300/320 Verifying ...",
                            MatchesRegex("300/310 Failed to Verify\\[Failed to connect to "
                                         "127\\.0\\.0\\.1 port [0-9]+ after [0-9]+ ms: "
                                         "Couldn't connect to server\\]")));
}

} // namespace
} // namespace tolvane::test
