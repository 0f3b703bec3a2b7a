// The playback controller fetching and playing audio from peers that misbehave
// on purpose, in FILE and MEMORY mode, with its notifications turned into
// reports by the speech job as the dialog receives them. The same controller
// over the null output, racing its own threads, is in playback_null_test.cpp.
#include "PlaybackFixture.h"

#include "engine/AlsaBackend.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <regex>

namespace tolvane::test {
namespace {

using ::testing::Contains;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::Not;
using namespace std::chrono_literals;
using Mode = PlaybackController::Mode;

const std::string& toneMp3() {
    static const std::string mp3 = [] {
        std::string error;
        return makeToneMp3(0.5, 440, error);
    }();
    return mp3;
}

class PlaybackTest : public PlaybackFixture {
  protected:
    PlaybackTest() : PlaybackFixture(AlsaBackend::instance()) {}

    void SetUp() override {
        ASSERT_FALSE(toneMp3().empty()) << "sox or lame failed";
        PlaybackFixture::SetUp();
    }
};

INSTANTIATE_TEST_SUITE_P(Modes, PlaybackTest, ::testing::Values(Mode::kFile, Mode::kMemory),
                         modeName);

TEST_P(PlaybackTest, PlaysTheWholeAudioAndLeavesNoFile) {
    AudioPeer peer(toneMp3(), {});
    const std::vector<std::string> reports = playToTheEnd(peer.url());
    EXPECT_TRUE(playedToTheEnd(reports)) << codes(reports);
    EXPECT_THAT(reports, Contains("100/210 100"));
    EXPECT_THAT(reports, Contains(::testing::MatchesRegex("100/200 [0-9]+% [0-9]+ kbs "
                                                          "00:00:0[01]/00:00:00")));
    EXPECT_THAT(peer.requests(),
                ElementsAre("HEAD /audio.mp3 HTTP/1.1", "GET /audio.mp3 HTTP/1.1"));
}

TEST_P(PlaybackTest, AudioWithoutAnnouncedLengthIsStillPlayed) {
    AudioPeer::Behaviour noLength;
    noLength.contentLength = false;
    AudioPeer::Behaviour noHead;
    noHead.answerHead = false;
    noHead.chunk = 2000;
    for (const AudioPeer::Behaviour& behaviour : {noLength, noHead}) {
        AudioPeer peer(toneMp3(), behaviour);
        const std::vector<std::string> reports = playToTheEnd(peer.url());
        EXPECT_TRUE(playedToTheEnd(reports)) << codes(reports);
        // Progress reads 0 until the whole audio has come.
        std::vector<std::string> progress;
        for (const std::string& report : reports) {
            if (report.rfind("100/210", 0) == 0) {
                progress.push_back(report);
            }
        }
        ASSERT_GE(progress.size(), 2u);
        EXPECT_EQ(progress.back(), "100/210 100");
        progress.pop_back();
        EXPECT_THAT(progress, ::testing::Each("100/210 0"));
    }
}

TEST_P(PlaybackTest, ALengthAnnouncedTooShortHoldsProgressAt100) {
    AudioPeer::Behaviour behaviour;
    behaviour.chunk = 1000;
    AudioPeer headOnly(toneMp3(), behaviour);
    // HEAD tells half the size; the GET of the same peer delivers it all.
    behaviour.announced = int64_t(toneMp3().size() / 2);
    AudioPeer peer(toneMp3(), behaviour);
    const std::vector<std::string> reports = playToTheEnd(peer.url());
    EXPECT_THAT(reports, Contains(HasSubstr("100/110 transfer closed")).Times(0));
    EXPECT_THAT(reports, Not(Contains(::testing::MatchesRegex("100/210 1[0-9][1-9]"))));
}

TEST_P(PlaybackTest, DownloadFailuresAreReportedAndEndWithTheEndOfReading) {
    const size_t size = toneMp3().size();
    struct Case {
        AudioPeer::Behaviour behaviour;
        std::string report;
        int timeOut = 10;
    };
    std::vector<Case> cases(5);
    cases[0].behaviour.status = 404;
    cases[0].report = "100/110 The requested URL returned error: 404";
    cases[1].behaviour.announced = int64_t(size + 5000);
    cases[1].report = "100/110 transfer closed with 5000 bytes remaining to read";
    cases[2].behaviour.cutAfter = size / 2; // the server goes away mid-download
    cases[2].behaviour.chunk = 1000;
    cases[2].report = "100/110 transfer closed with " + std::to_string(size - size / 2) +
                      " bytes remaining to read";
    cases[3].behaviour.chunk = 500;
    cases[3].behaviour.chunkDelay = 300ms;
    cases[3].behaviour.answerHead = false;
    cases[3].timeOut = 1;
    cases[3].report = "100/110 Operation timed out after";
    cases[4].behaviour.contentLength = false;
    cases[4].behaviour.cutAfter = 0;
    for (Case& c : cases) {
        AudioPeer peer(toneMp3(), c.behaviour);
        const std::vector<std::string> reports = playToTheEnd(peer.url(), c.timeOut);
        ASSERT_FALSE(reports.empty());
        EXPECT_EQ(reports.back(), "100/190 0");
        if (c.report.empty()) {
            // An empty body downloads fine but is no audio: the engine says why.
            EXPECT_THAT(reports, Contains(HasSubstr("100/110 Open"))) << codes(reports);
        } else {
            EXPECT_THAT(reports, Contains(HasSubstr(c.report))) << codes(reports);
        }
    }
}

// Not the engine's text about an empty or foreign download.
TEST_P(PlaybackTest, ARedirectWithNowhereToGoIsReportedAsItIs) {
    AudioPeer::Behaviour moved;
    moved.status = 302;
    AudioPeer nowhere("moved", moved);
    const std::vector<std::string> reports = playToTheEnd(nowhere.url());
    EXPECT_THAT(reports,
                ElementsAre("100/110 The server answered HTTP status 302 instead of the audio",
                            "100/190 0"));
}

TEST_P(PlaybackTest, ADownloadWithoutEndStopsAtTheLimit) {
    AudioPeer::Behaviour endless;
    endless.chunked = true;
    endless.endless = true;
    AudioPeer peer(std::string(5000, '\0'), endless);
    playback_.setDownloadMaxBytes(ConfigStore::kBytesPerMb);
    const std::vector<std::string> reports = playToTheEnd(peer.url());
    EXPECT_THAT(reports, Contains("100/110 The audio is larger than the download limit of 1 MB"));
    EXPECT_EQ(reports.back(), "100/190 0");
    EXPECT_THAT(reports, Contains(HasSubstr("100/110")).Times(1)) << codes(reports);
}

TEST_P(PlaybackTest, OnlyHttpIsFollowed) {
    const std::vector<std::string> reports = playToTheEnd("file:///etc/passwd");
    EXPECT_THAT(reports,
                ElementsAre(HasSubstr("100/110 Protocol \"file\" not supported"), "100/190 0"));
}

TEST_P(PlaybackTest, StopDuringTheDownloadStartsNoPlayback) {
    // Slow enough that the stop comes before MEMORY mode has the bytes it opens
    // its stream on.
    AudioPeer::Behaviour slow;
    slow.chunk = PlaybackController::kFirstChunk / 2;
    slow.chunkDelay = 300ms;
    AudioPeer peer(toneMp3(), slow);
    playback_.play(peer.url(), 5, 30);
    playback_.play(peer.url(), 5, 30); // ignored while the first one runs
    ASSERT_TRUE(recorder_.pumpUntil([&] { return !recorder_.reports().empty(); }));
    job_.stop();
    EXPECT_LT(peer.bytesSent(), toneMp3().size());
    std::this_thread::sleep_for(300ms);
    recorder_.pump().pump();
    const std::vector<std::string> reports = recorder_.reports();
    EXPECT_THAT(reports, Not(Contains("100/170 0")));
    EXPECT_THAT(reports, Not(Contains(HasSubstr("100/110"))));
    EXPECT_EQ(reports.back(), "100/160 0");
    EXPECT_EQ(PlaybackController::name(playback_.state()), "stopped");
    EXPECT_FALSE(playback_.running());
    EXPECT_EQ(peer.requests().size(), 2u) << "HEAD and one GET";
    EXPECT_THAT(downloads_.leftovers(), ElementsAre());
}

} // namespace
} // namespace tolvane::test
