// The controllers against the reference server, run as its own process with
// its demo configuration, chained the way the main dialog chains them.
#include "ProtocolTestSupport.h"

#include "protocol/NetworkVerifyController.h"
#include "protocol/NewsItemController.h"
#include "protocol/UserVerifyController.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

namespace tolvane::test {
namespace {

using ::testing::ElementsAre;
using ::testing::MatchesRegex;

class RealServerTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        if (ServerProcess::available()) {
            server_ = new ServerProcess;
        }
    }
    static void TearDownTestSuite() {
        delete server_;
        server_ = nullptr;
    }

    void SetUp() override {
        if (server_ == nullptr) {
            GTEST_SKIP() << "tolvane-server is not built";
        }
        ASSERT_FALSE(server_->baseUrl().empty()) << server_->output();
        door_.setPort(recorder_.port());
        verify_.setPort(recorder_.port());
        news_.setPort(recorder_.port());
        // What the main dialog does on 220: log in and hand out the addresses.
        recorder_.onReport([this](uint32_t message, uint32_t code) {
            if (message == dialog::number(dialog::Message::NetworkVerify) &&
                code == dialog::number(dialog::NetworkVerifyCode::Succeeded)) {
                verify_.start(door_.doorNetverify(), email_, password_, language_, 10, 30);
                news_.setService(door_.doorRss(), 10, 30);
            }
        });
    }

    void setLanguage(const std::string& language) {
        language_ = language;
        door_.setLanguage(language);
        verify_.setLanguage(language);
        news_.setLanguage(language);
    }

    void logIn() {
        door_.start(server_->baseUrl(), 10, 30);
        ASSERT_TRUE(recorder_.pumpUntil([&] {
            return !door_.running() && !verify_.running() && recorder_.reports().size() >= 4;
        })) << ::testing::PrintToString(recorder_.events());
    }

    void readBatch(int32_t feedId) {
        news_.start(feedId, language_, verify_.verifytimeid(), "win32C++", "tolvane23",
                    news_.batchStartOffset());
        ASSERT_TRUE(recorder_.pumpUntil([&] { return !news_.running(); }));
    }

    static ServerProcess* server_;
    std::string email_ = "demo@tolvane.local";
    std::string password_ = "demo";
    std::string language_ = "en-US";
    RecordingPort recorder_;
    NetworkVerifyController door_;
    UserVerifyController verify_;
    NewsItemController news_;
};

ServerProcess* RealServerTest::server_ = nullptr;

TEST_F(RealServerTest, DoorLoginAndAFeedReadBatchByBatch) {
    ASSERT_NO_FATAL_FAILURE(logIn());
    EXPECT_THAT(recorder_.events(),
                ElementsAre("200/210 0", "trace Network verify succeed", "200/220 200",
                            "300/320 Verifying ...", "trace Inital succeed",
                            "300/330 Succeed to Verify"));
    EXPECT_THAT(door_.doorAdd(), MatchesRegex("http://127\\.0\\.0\\.1:[0-9]+/.+"));
    EXPECT_THAT(door_.doorQuery(), MatchesRegex("http://127\\.0\\.0\\.1:[0-9]+/.+"));
    EXPECT_EQ(door_.project(), "tolvane-server");
    EXPECT_FALSE(door_.version().empty());

    EXPECT_EQ(verify_.userId(), 1);
    EXPECT_EQ(verify_.timeWaitMax(), 60);
    EXPECT_EQ(verify_.maxTextNumber(), 1000);
    EXPECT_EQ(verify_.usertype(), "demo");
    EXPECT_FALSE(verify_.verifytimeid().empty());
    const std::vector<FeedEntry> feeds = verify_.feeds();
    ASSERT_EQ(feeds.size(), 2u);
    EXPECT_EQ(feeds[0].rssid, 1);
    EXPECT_EQ(feeds[0].title, u"Tolvane Notes");
    EXPECT_EQ(feeds[0].priority, 1);
    EXPECT_EQ(feeds[1].rssid, 2);
    EXPECT_EQ(feeds[1].title, u"托尔瓦内简讯");

    recorder_.clear();
    std::vector<std::u16string> titles;
    news_.setBatchStartOffset(0);
    for (int batch = 0; batch < 5; ++batch) {
        ASSERT_NO_FATAL_FAILURE(readBatch(feeds[0].rssid));
        if (recorder_.reports().back() != "400/440 Succeed to news item") {
            break;
        }
        const std::vector<NewsItem> items = news_.items();
        ASSERT_EQ(static_cast<int32_t>(items.size()), news_.totalitems());
        EXPECT_EQ(news_.maxrss(), 8);
        for (const NewsItem& item : items) {
            EXPECT_FALSE(item.description.empty());
            titles.push_back(item.title);
        }
        news_.waitOut();
        news_.setBatchStartOffset(news_.batchStartOffset() + news_.totalitems());
    }
    EXPECT_THAT(recorder_.reports(),
                ElementsAre("400/420 Getting news item ...", "400/440 Succeed to news item",
                            "400/420 Getting news item ...", "400/440 Succeed to news item",
                            "400/420 Getting news item ...", "400/430 Succeed to news item"));
    ASSERT_EQ(titles.size(), 8u);
    EXPECT_EQ(titles[0], u"Welcome to Tolvane");
    EXPECT_EQ(titles[1], u"Reading a feed");
    EXPECT_EQ(news_.batchStartOffset(), 8);
}

TEST_F(RealServerTest, WrongPasswordAndUnknownFeedInChinese) {
    setLanguage("zh-CN");
    password_ = "wrong";
    ASSERT_NO_FATAL_FAILURE(logIn());
    EXPECT_THAT(recorder_.reports(),
                ElementsAre("200/210 0", "200/220 200", "300/320 网络验证中 ...",
                            "300/310 网络验证失败 [302, 密码错误]"));
    recorder_.clear();
    password_ = "demo";
    ASSERT_NO_FATAL_FAILURE(logIn());
    ASSERT_EQ(recorder_.reports().back(), "300/330 网络验证成功");
    recorder_.clear();
    ASSERT_NO_FATAL_FAILURE(readBatch(99));
    EXPECT_THAT(recorder_.reports(), ElementsAre("400/420 获取新闻列表...",
                                                 "400/410 获取新闻列表失败 [401, 新闻源不存在]"));
}

} // namespace
} // namespace tolvane::test
