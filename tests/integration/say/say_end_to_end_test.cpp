// For real: the reference server on loopback, tolvane-say (or the controllers
// in-process) reading text aloud into the PulseAudio null sink, and the
// recorded monitor compared with the server's MP3 as tolvane-play decodes it.
#include "ProtocolTestSupport.h"
#include "SayTestSupport.h"
#include "SpeechHeard.h"

#include "playback/PlaybackController.h"
#include "protocol/NetworkVerifyController.h"
#include "protocol/SpeechJobController.h"
#include "protocol/UserVerifyController.h"
#include "tests/integration/play/PlayTestSupport.h"
#include "tests/support/MonitorRecorder.h"
#include "tests/support/SignalAnalysis.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <csignal>
#include <regex>

namespace tolvane::test {
namespace {

using ::testing::ElementsAre;
using namespace std::chrono_literals;
namespace fs = std::filesystem;

constexpr const char* kEnglish = "The quick brown fox jumps over the lazy dog, twice.";
constexpr const char* kChinese = "今天天气很好，我们一起去公园散步吧。";

class SayEndToEnd : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(ServerProcess::available()) << "tolvane-server is not built";
        ASSERT_FALSE(server_.baseUrl().empty()) << server_.output();
        std::string error;
        ASSERT_TRUE(recorder_.start(error)) << error;
    }

    WavAudio stopRecording() {
        std::this_thread::sleep_for(300ms);
        WavAudio audio;
        std::string error;
        EXPECT_TRUE(recorder_.stop(audio, error)) << error;
        return audio;
    }

    void expectHeardTheSpeech(const WavAudio& heard, double seconds = 2.0) {
        ::tolvane::test::expectHeardTheSpeech(heard, server_.dataDir(), seconds);
    }

    void runSay(const std::string& mode, const std::string& language, const std::string& text,
                SayProcess& say) {
        const fs::path config = writeClientConfig(dir_.path(), server_.port(), mode);
        std::string error;
        ASSERT_TRUE(say.start({"--config", config.string(), "--lang", language, text}, error))
            << error;
        ASSERT_TRUE(say.wait(60s)) << say.out();
    }

    ServerProcess server_;
    TempDir dir_;
    MonitorRecorder recorder_;
    DownloadsWatch downloads_;
};

// The server's audio may carry word timings, reported once before it plays.
const std::regex kWholeReading("200/210 200/220 300/320 300/330 100/120 100/130 (100/140 )+100/150 "
                               "(100/210 )+(100/220 )?(100/170 100/200 )+100/190");
// A streamed download goes on while the audio plays, so its progress reports
// may fall between the playing reports; it still starts before the first. The
// word timings (220) are read from the first bytes, so they may come before
// the download's first progress report.
const std::regex kStreamedReading("200/210 200/220 300/320 300/330 100/120 100/130 (100/140 )+"
                                  "100/150 (100/(210|220) )+(100/(170|200|210|220) )+100/190");

TEST_F(SayEndToEnd, ReadsEnglishAloudInFileMode) {
    SayProcess say;
    ASSERT_NO_FATAL_FAILURE(runSay("FILE", "en-US", kEnglish, say));
    const WavAudio heard = stopRecording();
    EXPECT_EQ(say.exitCode(), 0) << say.err();
    EXPECT_TRUE(std::regex_match(codesOf(say.lines()), kWholeReading)) << say.out();
    EXPECT_THAT(say.lines(), ::testing::Contains("100/150 Succeed to query,playing..."));
    EXPECT_THAT(say.lines(), ::testing::Contains(::testing::MatchesRegex(
                                 "100/200 [0-9]+% 64 kbs 00:00:0[0-9]/00:00:0[2-6]")));
    EXPECT_THAT(downloads_.leftovers(), ElementsAre());
    expectHeardTheSpeech(heard);
}

TEST_F(SayEndToEnd, ReadsChineseAloudInMemoryMode) {
    SayProcess say;
    ASSERT_NO_FATAL_FAILURE(runSay("MEMORY", "zh-CN", kChinese, say));
    const WavAudio heard = stopRecording();
    EXPECT_EQ(say.exitCode(), 0) << say.err();
    EXPECT_TRUE(std::regex_match(codesOf(say.lines()), kStreamedReading)) << say.out();
    EXPECT_THAT(say.lines(), ::testing::Contains("100/210 100"));
    EXPECT_THAT(say.lines(), ::testing::Contains("100/150 查询转换状态成功,开始朗读..."));
    EXPECT_THAT(downloads_.leftovers(), ElementsAre());
    expectHeardTheSpeech(heard);
}

TEST_F(SayEndToEnd, InterruptStopsTheReadingThroughStop) {
    SayProcess say;
    const fs::path config = writeClientConfig(dir_.path(), server_.port(), "FILE");
    std::string error;
    ASSERT_TRUE(say.start({"--config", config.string(), "--lang", "en-US", kEnglish}, error));
    for (int i = 0; i < 1000 && say.out().find("100/170") == std::string::npos; ++i) {
        std::this_thread::sleep_for(10ms);
    }
    std::this_thread::sleep_for(800ms);
    say.signal(SIGINT);
    ASSERT_TRUE(say.wait(5s)) << "still running after Ctrl-C";
    const WavAudio heard = stopRecording();
    EXPECT_EQ(say.exitCode(), 130);
    EXPECT_EQ(say.lines().back(), "100/160");
    EXPECT_LT(soundSeconds(heard), 2.0);
    EXPECT_THAT(downloads_.leftovers(), ElementsAre());
}

// The controllers in-process, as the dialog drives them, for pause and stop.
class ControllersEndToEnd : public SayEndToEnd {
  protected:
    void SetUp() override {
        ASSERT_NO_FATAL_FAILURE(SayEndToEnd::SetUp());
        door_.setPort(port_.port());
        verify_.setPort(port_.port());
        job_.setPort(port_.port());
        job_.setPlayback(&playback_);
        door_.setLanguage("en-US");
        verify_.setLanguage("en-US");
        job_.setLanguage("en-US");
        door_.start(server_.baseUrl(), 5, 30);
        ASSERT_TRUE(port_.pumpUntil([&] { return !door_.running(); }));
        verify_.start(door_.doorNetverify(), "demo@tolvane.local", "demo", "en-US", 5, 30);
        ASSERT_TRUE(port_.pumpUntil([&] { return !verify_.running(); }));
        ASSERT_EQ(port_.reports().back(), "300/330 Succeed to Verify");
        job_.setService(door_.doorAdd(), door_.doorQuery(), 5, 30);
        port_.clear();
    }

    void start() {
        SpeechJobController::Job job;
        job.text = u"One, two, three, four, five, six, seven, eight, nine, ten.";
        job.userId = verify_.userId();
        job.timeMax = verify_.timeWaitMax();
        job.verifytimeid = verify_.verifytimeid();
        job_.start(job);
    }

    bool waitFor(const std::string& report) {
        return port_.pumpUntil([&] {
            const std::vector<std::string> reports = port_.reports();
            return std::find(reports.begin(), reports.end(), report) != reports.end();
        });
    }

    void pumpFor(std::chrono::milliseconds span) {
        port_.pump().pumpUntil([] { return false; }, span);
    }

    RecordingPort port_;
    PlaybackController playback_;
    NetworkVerifyController door_;
    UserVerifyController verify_;
    SpeechJobController job_;
};

TEST_F(ControllersEndToEnd, PauseBeforeTheAudioMakesItStartPaused) {
    start();
    job_.pauseToggle();
    ASSERT_TRUE(waitFor("100/180 0"));
    EXPECT_EQ(SpeechJobController::name(job_.state()), "mediapauseing");
    pumpFor(1500ms);
    job_.stop();
    const WavAudio heard = stopRecording();
    EXPECT_LT(soundSeconds(heard), 0.3) << "it played while paused";
    EXPECT_EQ(port_.reports().back(), "100/160 0");
    EXPECT_EQ(SpeechJobController::name(job_.state()), "stopped");
}

TEST_F(ControllersEndToEnd, PauseAndResumeHoldAndContinueTheSound) {
    start();
    ASSERT_TRUE(waitFor("100/170 0"));
    pumpFor(1000ms);
    job_.pauseToggle();
    ASSERT_TRUE(waitFor("100/180 0"));
    pumpFor(1200ms);
    EXPECT_EQ(SpeechJobController::name(job_.state()), "mediapauseing");
    job_.pauseToggle();
    EXPECT_EQ(SpeechJobController::name(job_.state()), "mediaplaying");
    ASSERT_TRUE(waitFor("100/190 0"));
    const WavAudio heard = stopRecording();
    expectHeardTheSpeech(heard, 0.8);
    // The pause is a silence of about its length that the speech alone lacks.
    const auto segments = findSegments(heard.channel(0), heard.sampleRate, -40, 5, 20);
    double longestGap = 0;
    for (size_t i = 1; i < segments.size(); ++i) {
        longestGap = std::max(longestGap,
                              double(segments[i].begin - segments[i - 1].end) / heard.sampleRate);
    }
    EXPECT_GT(longestGap, 1.0);
    EXPECT_EQ(SpeechJobController::name(job_.state()), "stopped");
}

TEST_F(ControllersEndToEnd, StopDuringPlaybackEndsTheSoundAtOnce) {
    start();
    ASSERT_TRUE(waitFor("100/170 0"));
    const auto playing = std::chrono::steady_clock::now();
    pumpFor(1000ms);
    const auto stopping = std::chrono::steady_clock::now();
    job_.stop();
    const WavAudio heard = stopRecording();
    EXPECT_EQ(port_.reports().back(), "100/160 0");
    EXPECT_EQ(SpeechJobController::name(job_.state()), "stopped");
    EXPECT_EQ(PlaybackController::name(playback_.state()), "stopped");
    // The sound began at 170 at the earliest, and ends within 200 ms of the stop.
    const double played = std::chrono::duration<double>(stopping - playing).count();
    const double span = heardSpan(heard);
    ASSERT_GT(span, 0) << "nothing was heard";
    EXPECT_LT(span, played + 0.2);
    EXPECT_GT(span, played - 0.5);
}

} // namespace
} // namespace tolvane::test
