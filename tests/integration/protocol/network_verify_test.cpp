// The network verify against small loopback peers that answer well and badly,
// and against peers that do not answer at all.
#include "ProtocolTestSupport.h"

#include "config/ConfigStore.h"
#include "protocol/NetworkVerifyController.h"
#include "protocol/RequestBody.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <fstream>

namespace tolvane::test {
namespace {

using ::testing::ElementsAre;
using ::testing::MatchesRegex;

constexpr const char* kDoorPath = "/tolvane/tolvanedoor.php";

std::string doorReply(const std::string& doorAdd = "http://peer/add") {
    return "item=tolvanedoor&door_netverify=http://peer/verify&door_add=" + doorAdd +
           "&door_query=http://peer/query&door_rss=http://peer/news&errcode=0&errmsg=null&"
           "project=peer&version=9.1&";
}

class NetworkVerifyTest : public ::testing::Test {
  protected:
    void SetUp() override { controller_.setPort(recorder_.port()); }

    void run(const std::string& url, int connectTimeOut = 10, int timeOut = 30) {
        controller_.start(url, connectTimeOut, timeOut);
        ASSERT_TRUE(recorder_.pumpUntil([&] { return !controller_.running(); }));
    }

    RecordingPort recorder_;
    TestPeer peer_;
    NetworkVerifyController controller_;
};

TEST_F(NetworkVerifyTest, DoorReplyGivesTheServiceAddresses) {
    peer_.answer(kDoorPath, 200, doorReply());
    run(peer_.url(kDoorPath));
    EXPECT_THAT(recorder_.events(),
                ElementsAre("200/210 0", "trace Network verify succeed", "200/220 200"));
    EXPECT_EQ(controller_.doorNetverify(), "http://peer/verify");
    EXPECT_EQ(controller_.doorAdd(), "http://peer/add");
    EXPECT_EQ(controller_.doorQuery(), "http://peer/query");
    EXPECT_EQ(controller_.doorRss(), "http://peer/news");
    EXPECT_EQ(controller_.project(), "peer");
    EXPECT_EQ(controller_.version(), "9.1");
}

// The voice list after the door fields is optional; the next reply without
// one leaves none.
TEST_F(NetworkVerifyTest, VoicesFollowTheDoorFieldsWhenTheServerNamesThem) {
    peer_.answer(kDoorPath, 200, doorReply() + "voices= VW Lily,,小林 , null&");
    run(peer_.url(kDoorPath));
    EXPECT_EQ(recorder_.events().back(), "200/220 200");
    EXPECT_EQ(controller_.version(), "9.1");
    EXPECT_THAT(controller_.voices(), ElementsAre("VW Lily", "小林"));
    peer_.answer(kDoorPath, 200, doorReply());
    run(peer_.url(kDoorPath));
    EXPECT_THAT(controller_.voices(), ElementsAre());
}

TEST_F(NetworkVerifyTest, RequestIsOnlyFreshWithLibraryDefaultHeaders) {
    peer_.answer(kDoorPath, 200, doorReply());
    const int64_t before = std::time(nullptr);
    run(peer_.url(kDoorPath));
    const int64_t after = std::time(nullptr);
    const std::vector<Exchange> exchanges = peer_.exchanges();
    ASSERT_EQ(exchanges.size(), 1u);
    const Exchange& request = exchanges[0];
    EXPECT_EQ(request.path, kDoorPath);
    ASSERT_THAT(request.body, MatchesRegex("fresh=[0-9]+"));
    const int fresh = std::stoi(request.body.substr(6));
    EXPECT_GE(fresh, 0);
    EXPECT_LE(fresh, 10000);
    EXPECT_TRUE(fresh == RequestBody::freshFor(before) || fresh == RequestBody::freshFor(after))
        << fresh;
    EXPECT_FALSE(request.headers.count("User-Agent"));
    ASSERT_EQ(request.headers.count("Content-Type"), 1u);
    EXPECT_EQ(request.headers.find("Content-Type")->second, "application/x-www-form-urlencoded");
}

TEST_F(NetworkVerifyTest, NoServerReportsTheLibraryText) {
    run("http://127.0.0.1:" + std::to_string(closedPort()) + kDoorPath);
    EXPECT_THAT(recorder_.events(),
                ElementsAre("200/210 0",
                            MatchesRegex("200/240 Failed to Network Status\\[Failed to connect to "
                                         "127\\.0\\.0\\.1 port [0-9]+ after [0-9]+ ms: "
                                         "Couldn't connect to server\\]")));
}

TEST_F(NetworkVerifyTest, OptionLibcurlRefusesIsReportedWithItsText) {
    peer_.answer(kDoorPath, 200, doorReply());
    run(peer_.url(kDoorPath), 10, -1);
    EXPECT_THAT(recorder_.events(),
                ElementsAre("200/210 0", "200/240 Failed to Network Status[A libcurl function "
                                         "was given a bad argument]"));
    EXPECT_TRUE(peer_.exchanges().empty());
}

TEST_F(NetworkVerifyTest, NotFoundPageWithTheMarkerIsOffline) {
    peer_.answer(kDoorPath, 404, "<html>" + doorReply() + "</html>");
    run(peer_.url(kDoorPath));
    EXPECT_THAT(recorder_.events(),
                ElementsAre("200/210 0", "trace Network verify succeed", "200/230 404"));
}

TEST_F(NetworkVerifyTest, ReplyWithoutTheMarkerIsAFailureInEitherLanguage) {
    peer_.answer(kDoorPath, 200, "<html>It works!</html>");
    run(peer_.url(kDoorPath));
    controller_.setLanguage("zh-CN");
    run(peer_.url(kDoorPath));
    EXPECT_THAT(recorder_.events(),
                ElementsAre("200/210 0", "trace Network verify succeed",
                            "200/240 Failed to Network Status", "200/210 0",
                            "trace Network verify succeed", "200/240 获得网络状态失败"));
}

TEST_F(NetworkVerifyTest, EmptyDoorValueEndsTheScanButStillSucceeds) {
    peer_.answer(kDoorPath, 200, doorReply());
    run(peer_.url(kDoorPath));
    peer_.answer(kDoorPath, 200, doorReply(""));
    run(peer_.url(kDoorPath));
    EXPECT_EQ(recorder_.reports().back(), "200/220 200");
    EXPECT_EQ(controller_.doorNetverify(), "http://peer/verify");
    EXPECT_EQ(controller_.doorAdd(), "");
    EXPECT_EQ(controller_.doorQuery(), "");
    EXPECT_EQ(controller_.doorRss(), "");
    EXPECT_EQ(controller_.version(), "");
}

TEST_F(NetworkVerifyTest, BlankLineBeforeTheMarkerAndOverlongValue) {
    const std::string longAddress = "http://peer/" + std::string(288, 'a');
    peer_.answer(kDoorPath, 200, "\r\n" + doorReply(longAddress));
    run(peer_.url(kDoorPath));
    EXPECT_EQ(recorder_.reports().back(), "200/220 200");
    EXPECT_EQ(controller_.doorAdd(), longAddress.substr(0, 255));
    EXPECT_EQ(controller_.doorQuery(), "http://peer/query");
    EXPECT_EQ(controller_.version(), "9.1");
}

class ConfiguredTimeOutTest : public NetworkVerifyTest {
  protected:
    void readConfig(ConfigStore& store, const std::string& keys) {
        const std::filesystem::path file = dir_.path() / "config.ini";
        std::ofstream(file) << "[TolvaneWin32]\n" << keys;
        store.read(file, dir_.path());
    }

    TempDir dir_;
};

TEST_F(ConfiguredTimeOutTest, TransferTimeOutComesFromTheConfiguration) {
    SilentListener silent(false);
    ASSERT_TRUE(silent.ok());
    ConfigStore config;
    readConfig(config, "TimeOut = 1\n");
    ASSERT_EQ(config.timeOut(), 1);
    run("http://127.0.0.1:" + std::to_string(silent.port()) + kDoorPath, config.connectTimeOut(),
        config.timeOut());
    EXPECT_THAT(recorder_.events(),
                ElementsAre("200/210 0", MatchesRegex("200/240 Failed to Network Status\\["
                                                      "Operation timed out after 1[0-9]{3} "
                                                      "milliseconds with 0 bytes received\\]")));
}

TEST_F(ConfiguredTimeOutTest, ConnectTimeOutComesFromTheConfiguration) {
    SilentListener full(true);
    ASSERT_TRUE(full.ok());
    ConfigStore config;
    readConfig(config, "Connect_TimeOut = 1\n");
    ASSERT_EQ(config.connectTimeOut(), 1);
    ASSERT_EQ(config.timeOut(), 30);
    run("http://127.0.0.1:" + std::to_string(full.port()) + kDoorPath, config.connectTimeOut(),
        config.timeOut());
    EXPECT_THAT(recorder_.events(),
                ElementsAre("200/210 0", MatchesRegex("200/240 Failed to Network Status\\["
                                                      "Failed to connect to 127\\.0\\.0\\.1 "
                                                      "port [0-9]+ after 1[0-9]{3} ms: "
                                                      "Timeout was reached\\]")));
}

} // namespace
} // namespace tolvane::test
