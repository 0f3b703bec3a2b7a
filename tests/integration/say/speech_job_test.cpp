// The speech job against small peers that answer as each test says: the
// add/query cycle, its failure reports, the waiting limit and stop.
#include "ProtocolTestSupport.h"

#include "protocol/SpeechJobController.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

namespace tolvane::test {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;
using namespace std::chrono_literals;

// The playback side as the speech job sees it: every call recorded.
class RecordedPlayback : public PlaybackControl {
  public:
    void setNotifications(PlaybackNotifications n) override { notifications = std::move(n); }
    void setPort(DialogPort*) override {}
    void play(std::string_view url, int connectTimeOut, int timeOut) override {
        record("play " + std::string(url) + " " + std::to_string(connectTimeOut) + " " +
               std::to_string(timeOut));
    }
    void pause() override { record("pause"); }
    void resume() override { record("resume"); }
    void stop() override { record("stop"); }

    std::vector<std::string> calls() const {
        std::lock_guard lock(mutex_);
        return calls_;
    }
    PlaybackNotifications notifications;

  private:
    void record(std::string call) {
        std::lock_guard lock(mutex_);
        calls_.push_back(std::move(call));
    }
    mutable std::mutex mutex_;
    std::vector<std::string> calls_;
};

constexpr const char* kAdded =
    "item=tolvane&action=add&status=succeed&uuid=job-1&errcode=0&errmsg=null";
constexpr const char* kReady =
    "item=tolvane&action=query&status=succeed&tts_status=ttsed&"
    "http_file=http://127.0.0.1:1/audio/job-1.mp3&parameter=en-us+f2:175:100:none:22050:1070&"
    "errcode=0&errmsg=null";
constexpr const char* kWaiting = "item=tolvane&action=query&status=succeed&tts_status=wait&"
                                 "http_file=null&parameter=null&errcode=0&errmsg=null";

class SpeechJobTest : public ::testing::Test {
  protected:
    void SetUp() override {
        job_.setPort(recorder_.port());
        job_.setPlayback(&playback_);
        job_.setLanguage("en-US");
        job_.setService(peer_.url("/add"), peer_.url("/query"), 5, 7);
    }
    void TearDown() override { job_.stop(); }

    SpeechJobController::Job job(int32_t timeMax = 60) {
        SpeechJobController::Job job;
        job.text = u"Hello & good night";
        job.userId = 7;
        job.timeMax = timeMax;
        job.verifytimeid = "vt-1";
        job.useragent = "win32[test]";
        return job;
    }

    // Runs a job until its worker ends.
    void runJob(const SpeechJobController::Job& job) {
        job_.start(job);
        ASSERT_TRUE(recorder_.pumpUntil([&] { return !job_.running(); }))
            << ::testing::PrintToString(recorder_.events());
    }

    size_t queries() const {
        size_t count = 0;
        for (const Exchange& exchange : peer_.exchanges()) {
            count += exchange.path == "/query" ? 1 : 0;
        }
        return count;
    }

    RecordingPort recorder_;
    TestPeer peer_;
    RecordedPlayback playback_;
    SpeechJobController job_;
};

TEST_F(SpeechJobTest, AnAcceptedJobIsPolledUntilItsAudioIsHandedToPlayback) {
    peer_.answer("/add", 200, kAdded);
    peer_.answer("/query", 200, kReady);
    SpeechJobController::Job news = job();
    news.prefix = u"Title";
    ASSERT_NO_FATAL_FAILURE(runJob(news));

    EXPECT_THAT(recorder_.events(),
                ElementsAre("100/120 Send Add Request...", "trace Add succeed",
                            "100/130 Server accept request,waiting...",
                            "100/140 Send query,waiting...", "trace Query succeed",
                            "100/150 Succeed to query,playing..."));
    EXPECT_THAT(playback_.calls(), ElementsAre("play http://127.0.0.1:1/audio/job-1.mp3 5 7"));
    EXPECT_EQ(job_.uuid(), "job-1");
    EXPECT_EQ(job_.pollCount(), 1);
    EXPECT_THAT(job_.parameters(), ElementsAre("en-us+f2", "175", "100", "none", "22050", "1070"));
    EXPECT_EQ(SpeechJobController::name(job_.state()), "playing");

    const std::vector<Exchange> exchanges = peer_.exchanges();
    ASSERT_EQ(exchanges.size(), 2u);
    const auto& add = exchanges[0].params;
    EXPECT_THAT(exchanges[0].body,
                ::testing::StartsWith("user_id=7&language=en-US&text=Title%2CHello+%26+good+night&"
                                      "rate=50&volume=100&punctuation=0&format=6&voice=VW+Lily&"
                                      "time_max=60&verifytimeid=vt-1&useragent=win32%5Btest%5D&"
                                      "clienttype=win32C%2B%2B&clientver=tolvane23&fresh="));
    EXPECT_EQ(add.find("text")->second, "Title,Hello & good night");
    EXPECT_THAT(exchanges[1].body,
                ::testing::StartsWith("user_id=7&language=en-US&uuid=job-1&verifytimeid=vt-1&"
                                      "clienttype=win32C%2B%2B&clientver=tolvane23&fresh="));
}

TEST_F(SpeechJobTest, FailuresEndTheJobWithTheirReport) {
    struct Case {
        const char* add;
        const char* query;
        const char* report;
    };
    const Case cases[] = {
        {"<html>busy</html>", "", "100/110 Failed to send request,read again"},
        {"item=tolvane&action=add&status=failed&uuid=null&errcode=901&errmsg=queue full", "",
         "100/110 Failed to send request,read again [901, queue full]"},
        {kAdded,
         "item=tolvane&action=query&status=failed&tts_status=null&http_file=null&"
         "parameter=null&errcode=105&errmsg=unknown uuid",
         "100/110 Failed to query,read again! [105, unknown uuid]"},
        {kAdded,
         "item=tolvane&action=query&status=succeed&tts_status=failed&http_file=null&"
         "parameter=null&errcode=106&errmsg=espeak",
         "100/110 Failed to query,read again!"},
    };
    for (const Case& c : cases) {
        peer_.answer("/add", 200, c.add);
        peer_.answer("/query", 200, c.query);
        recorder_.clear();
        ASSERT_NO_FATAL_FAILURE(runJob(job()));
        EXPECT_EQ(recorder_.reports().back(), c.report);
        EXPECT_EQ(SpeechJobController::name(job_.state()), "playing") << "until the next stop";
        job_.stop();
    }
    EXPECT_THAT(playback_.calls(), ::testing::Not(::testing::Contains(HasSubstr("play "))));
}

TEST_F(SpeechJobTest, AnUnreachableServerReportsLibcurlsText) {
    job_.setService("http://127.0.0.1:" + std::to_string(closedPort()) + "/add", "", 5, 7);
    ASSERT_NO_FATAL_FAILURE(runJob(job()));
    const std::vector<std::string> reports = recorder_.reports();
    ASSERT_EQ(reports.size(), 2u);
    EXPECT_THAT(reports[1], HasSubstr("Failed to connect to 127.0.0.1 port"));
}

TEST_F(SpeechJobTest, ChineseTextsFollowTheLanguage) {
    job_.setLanguage("zh-CN");
    peer_.answer("/add", 200, kAdded);
    peer_.answer("/query", 200,
                 "item=tolvane&action=query&status=failed&tts_status=null&"
                 "http_file=null&parameter=null&errcode=105&errmsg=未知");
    ASSERT_NO_FATAL_FAILURE(runJob(job()));
    EXPECT_THAT(recorder_.reports(),
                ElementsAre("100/120 发送朗读申请中...", "100/130 服务器接受转换申请,请稍等...",
                            "100/140 查询服务器转换状态,请稍等...",
                            "100/110 查询转换状态失败,重新朗读! [105, 未知]"));
    EXPECT_EQ(peer_.exchanges()[0].params.find("language")->second, "zh-CN");
    EXPECT_EQ(job_.text(SpeechJobController::kInitError), u"初始化错误!");
    EXPECT_EQ(job_.text(SpeechJobController::kAudioReady), u"查询转换状态成功,开始朗读...");
}

TEST_F(SpeechJobTest, TimeMaxIsTheNumberOfQueriesTheServerMayAnswerWithWait) {
    peer_.answer("/add", 200, kAdded);
    peer_.answer("/query", 200, kWaiting);
    ASSERT_NO_FATAL_FAILURE(runJob(job(3)));
    EXPECT_EQ(queries(), 3u);
    EXPECT_EQ(job_.pollCount(), 3);
    EXPECT_EQ(recorder_.reports().back(), "100/110 Failed to query,read again!");
    job_.stop();

    for (int32_t timeMax : {0, -4}) {
        const size_t before = queries();
        ASSERT_NO_FATAL_FAILURE(runJob(job(timeMax)));
        EXPECT_EQ(queries(), before + 1) << timeMax;
        EXPECT_EQ(recorder_.reports().back(), "100/110 Failed to query,read again!");
        job_.stop();
    }
}

TEST_F(SpeechJobTest, AQueryReplyWithoutTheMarkerEndsPollingSilently) {
    peer_.answer("/add", 200, kAdded);
    peer_.answer("/query", 200, "<html>maintenance</html>");
    ASSERT_NO_FATAL_FAILURE(runJob(job()));
    EXPECT_THAT(recorder_.reports(), ElementsAre("100/120 Send Add Request...",
                                                 "100/130 Server accept request,waiting...",
                                                 "100/140 Send query,waiting..."));
    EXPECT_EQ(queries(), 1u);
}

TEST_F(SpeechJobTest, StopDuringTheAddRequestEndsAtOnceAndSendsNoQuery) {
    peer_.answer("/add", 200, kAdded, 30s);
    peer_.answer("/query", 200, kReady);
    job_.start(job());
    ASSERT_TRUE(recorder_.pumpUntil([&] { return !peer_.exchanges().empty(); }));
    job_.stop();
    EXPECT_FALSE(peer_.exchanges()[0].answered) << "stop waited for the reply";
    EXPECT_THAT(recorder_.reports(), ElementsAre("100/120 Send Add Request...", "100/160 0"));
    EXPECT_EQ(SpeechJobController::name(job_.state()), "stopped");
    EXPECT_EQ(SpeechJobController::name(job_.command()), "stop");
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(queries(), 0u);
}

// The server holds a query about a job it has not finished; a stop ends the
// query then, and the job as any stop does.
TEST_F(SpeechJobTest, StopDuringAHeldQueryEndsItBeforeTheServerAnswers) {
    peer_.answer("/add", 200, kAdded);
    peer_.answer("/query", 200, kReady, 30s);
    job_.start(job());
    ASSERT_TRUE(recorder_.pumpUntil([&] { return queries() == 1; }));
    recorder_.pump().pumpUntil([] { return false; }, 200ms);
    job_.stop();
    const std::vector<Exchange> exchanges = peer_.exchanges();
    ASSERT_EQ(exchanges.size(), 2u);
    EXPECT_FALSE(exchanges[1].answered) << "stop waited for the reply";
    EXPECT_THAT(recorder_.reports(), ElementsAre("100/120 Send Add Request...",
                                                 "100/130 Server accept request,waiting...",
                                                 "100/140 Send query,waiting...", "100/160 0"));
    EXPECT_EQ(SpeechJobController::name(job_.state()), "stopped");
    EXPECT_THAT(playback_.calls(), ElementsAre("stop", "stop"));
}

TEST_F(SpeechJobTest, StopWhilePollingSendsNoFurtherQuery) {
    peer_.answer("/add", 200, kAdded);
    peer_.answer("/query", 200, kWaiting);
    job_.start(job());
    ASSERT_TRUE(recorder_.pumpUntil([&] { return queries() >= 2; }));
    job_.stop();
    const size_t sent = queries();
    std::this_thread::sleep_for(1200ms);
    EXPECT_EQ(queries(), sent);
    EXPECT_EQ(recorder_.reports().back(), "100/160 0");
    EXPECT_THAT(playback_.calls(), ElementsAre("stop", "stop"));
}

TEST_F(SpeechJobTest, StartWhileAJobRunsIsIgnoredAndPauseWaitsForTheAudio) {
    peer_.answer("/add", 200, kAdded, 300ms);
    peer_.answer("/query", 200, kReady);
    job_.start(job());
    job_.start(job());
    job_.pauseToggle();
    EXPECT_EQ(SpeechJobController::name(job_.command()), "pause");
    ASSERT_TRUE(recorder_.pumpUntil([&] { return !job_.running(); }));
    EXPECT_EQ(peer_.exchanges().size(), 2u) << "one add and one query";

    // The playback reports it plays: the pause requested earlier reaches it.
    playback_.notifications.playing();
    EXPECT_EQ(SpeechJobController::name(job_.state()), "mediaplaying");
    EXPECT_THAT(playback_.calls(), ElementsAre(HasSubstr("play "), "pause"));
    playback_.notifications.paused();
    EXPECT_EQ(SpeechJobController::name(job_.state()), "mediapauseing");
    job_.pauseToggle();
    EXPECT_EQ(SpeechJobController::name(job_.command()), "playing");
    EXPECT_EQ(playback_.calls().back(), "resume");
    playback_.notifications.errorText("OpenMp3File->Can't open file");
    playback_.notifications.progress(42);
    playback_.notifications.stopped();
    EXPECT_EQ(SpeechJobController::name(job_.state()), "stopped");
    const std::vector<std::string> reports = recorder_.reports();
    EXPECT_THAT(std::vector<std::string>(reports.end() - 5, reports.end()),
                ElementsAre("100/170 0", "100/180 0", "100/110 OpenMp3File->Can't open file",
                            "100/210 42", "100/190 0"));
}

} // namespace
} // namespace tolvane::test
