// tolvane-say against a stand-in server whose audio peer misbehaves on purpose,
// and reading a news feed item by item to its end.
#include "FakeSpeechServer.h"
#include "SayTestSupport.h"
#include "TimedSpeech.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <regex>

namespace tolvane::test {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::Not;
using namespace std::chrono_literals;

class SayDownloadTest : public ::testing::Test {
  protected:
    void SetUp() override {
        std::string error;
        tone_ = makeToneMp3(0.4, 660, error);
        ASSERT_FALSE(tone_.empty()) << error;
    }

    struct Outcome {
        int exitCode = -1;
        std::vector<std::string> lines;
        std::string err;
    };

    Outcome say(const std::vector<std::string>& args, const std::string& extraConfig = {}) {
        const auto config = writeClientConfig(dir_.path(), server_.port(), "FILE", extraConfig);
        SayProcess process;
        std::string error;
        std::vector<std::string> all = {"--config", config.string(), "--lang", "en-US"};
        all.insert(all.end(), args.begin(), args.end());
        EXPECT_TRUE(process.start(all, error)) << error;
        EXPECT_TRUE(process.wait(30s)) << "tolvane-say hangs: " << process.out();
        return {process.exitCode(), process.lines(), process.err()};
    }

    std::string tone_;
    TempDir dir_;
    FakeSpeechServer server_;
    DownloadsWatch downloads_;
};

TEST_F(SayDownloadTest, AudioFailuresExitWith1AndTheirText) {
    struct Case {
        AudioPeer::Behaviour behaviour;
        std::string text;
        std::string config;
    };
    std::vector<Case> cases(5);
    cases[0].behaviour.status = 404;
    cases[0].text = "100/110 The requested URL returned error: 404";
    cases[1].behaviour.announced = int64_t(tone_.size() * 2);
    cases[1].text =
        "100/110 transfer closed with " + std::to_string(tone_.size()) + " bytes remaining to read";
    cases[2].behaviour.cutAfter = 1500; // the server goes away
    cases[2].behaviour.chunk = 500;
    cases[2].text = "100/110 transfer closed with";
    cases[3].behaviour.chunk = 400;
    cases[3].behaviour.chunkDelay = 400ms;
    cases[3].text = "100/110 Operation timed out after";
    cases[3].config = "TimeOut=1\n";
    cases[4].behaviour.status = 302; // a redirect with nowhere to go
    cases[4].text = "100/110 The server answered HTTP status 302 instead of the audio";
    for (const Case& c : cases) {
        AudioPeer audio(tone_, c.behaviour);
        server_.audioAt(audio.url());
        const Outcome run = say({"Hello"}, c.config);
        EXPECT_EQ(run.exitCode, 1) << c.text;
        EXPECT_THAT(run.lines, ::testing::Contains(HasSubstr(c.text)));
        EXPECT_THAT(run.err, HasSubstr("tolvane-say: " + c.text.substr(8)));
        EXPECT_THAT(downloads_.leftovers(), ElementsAre());
    }
}

TEST_F(SayDownloadTest, AudioWithoutContentLengthIsReadToTheEnd) {
    AudioPeer::Behaviour behaviour;
    behaviour.contentLength = false;
    AudioPeer audio(tone_, behaviour);
    server_.audioAt(audio.url());
    const Outcome run = say({"Hello"});
    EXPECT_EQ(run.exitCode, 0) << run.err;
    EXPECT_EQ(run.lines.back(), "100/190");
    EXPECT_THAT(run.lines, ::testing::Contains("100/210 100"));
}

// --follow: each word of audio with timings as it is heard, with its time,
// while the reading plays; without it only the timings' report.
TEST_F(SayDownloadTest, FollowPrintsEachWordAsItIsHeard) {
    const std::string text = "One two. 三四。";
    std::string error;
    const std::string mp3 = timedToneMp3(1.6, text, evenTimings(text, 100, 300), error);
    ASSERT_FALSE(mp3.empty()) << error;
    AudioPeer audio(mp3, {});
    server_.audioAt(audio.url());
    Outcome run = say({"--follow", text});
    EXPECT_EQ(run.exitCode, 0) << run.err;
    // The reports but progress and status, the playing one once.
    std::vector<std::string> shown;
    bool playing = false;
    for (const std::string& line : run.lines) {
        if (line == "100/170" && std::exchange(playing, true)) {
            continue;
        }
        if (line.rfind("word ", 0) == 0 || line.rfind("100/1", 0) == 0 ||
            line.rfind("100/22", 0) == 0) {
            shown.push_back(line);
        }
    }
    EXPECT_THAT(shown, ElementsAre(HasSubstr("100/120"), HasSubstr("100/130"), HasSubstr("100/140"),
                                   HasSubstr("100/150"), "100/220 4 words 2 sentences", "100/170",
                                   "word 0.100 One", "word 0.400 two.", "word 0.700 三",
                                   "word 1.000 四", "100/190"));

    run = say({text});
    EXPECT_EQ(run.exitCode, 0) << run.err;
    EXPECT_THAT(run.lines, ::testing::Contains("100/220 4 words 2 sentences"));
    EXPECT_THAT(run.lines, Not(::testing::Contains(HasSubstr("word "))));
}

TEST_F(SayDownloadTest, AFeedIsReadItemByItemToItsEnd) {
    AudioPeer audio(tone_, {});
    server_.audioAt(audio.url());
    server_.peer.answerWhen("/news", "rssstart=0&", 200,
                            "item=tolvane&action=simplepie&title0=First&description0=One&"
                            "time0=t&title1=Second&description1=null&time1=t&status=succeed&"
                            "errcode=0&errmsg=null&totalitems=2&maxrss=2&end=end");
    server_.peer.answerWhen("/news", "rssstart=2&", 200,
                            "item=tolvane&action=simplepie&status=succeed&errcode=0&errmsg=null&"
                            "totalitems=0&maxrss=2&end=end");
    const Outcome run = say({"--feed", "2"});
    EXPECT_EQ(run.exitCode, 0) << run.err;
    // As the dialog does: each item read to its end, then the next batch.
    const std::regex reading("200/210 200/220 300/320 300/330 400/420 400/440 "
                             "(100/120 100/130 100/140 100/150 (100/210 )+(100/170 100/200 )+"
                             "100/190 ){2}400/420 400/430");
    EXPECT_TRUE(std::regex_match(codesOf(run.lines), reading)) << codesOf(run.lines);
    std::vector<std::string> texts;
    std::vector<std::string> feeds;
    for (const Exchange& exchange : server_.peer.exchanges()) {
        if (exchange.path == "/add") {
            texts.push_back(exchange.params.find("text")->second);
        }
        if (exchange.path == "/news") {
            feeds.push_back(exchange.params.find("rss_id")->second + "@" +
                            exchange.params.find("rssstart")->second);
        }
    }
    EXPECT_THAT(texts, ElementsAre("First,One", "Second,"));
    EXPECT_THAT(feeds, ElementsAre("12@0", "12@2"));
}

} // namespace
} // namespace tolvane::test
