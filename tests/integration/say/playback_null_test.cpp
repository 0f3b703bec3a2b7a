// The playback controller in FILE and MEMORY mode playing into the
// clock-paced null output at eight times real time, so that all its threads
// (worker, download, decoding, output writer, notifications) run in the
// sanitizer builds: whole readings, stop during the download and during the
// sound, and pause, resume and stop racing from other threads. The same
// readings into a real sound sink are in playback_test.cpp.
#include "PlaybackFixture.h"
#include "TimedSpeech.h"

#include "engine/NullBackend.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <regex>
#include <sys/stat.h>
#include <thread>

namespace tolvane::test {
namespace {

using ::testing::Contains;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::Not;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using Mode = PlaybackController::Mode;

constexpr double kSpeed = 8.0;

std::string tone(double seconds) {
    std::string error;
    std::string mp3 = makeToneMp3(seconds, 440, error);
    EXPECT_FALSE(mp3.empty()) << "sox or lame failed: " << error;
    return mp3;
}

// Eight seconds: one at eight times real time.
const std::string& shortTone() {
    static const std::string mp3 = tone(8);
    return mp3;
}

// Twenty-four seconds: three to stop and pause it in while it plays.
const std::string& longTone() {
    static const std::string mp3 = tone(24);
    return mp3;
}

// The positions of the status reports, in seconds.
std::vector<int> positions(const std::vector<std::string>& reports) {
    static const std::regex status("100/200 [0-9]+% [0-9]+ kbs ([0-9]+):([0-9]+):([0-9]+)/.*");
    std::vector<int> seconds;
    std::smatch m;
    for (const std::string& report : reports) {
        if (std::regex_match(report, m, status)) {
            seconds.push_back(std::stoi(m[1]) * 3600 + std::stoi(m[2]) * 60 + std::stoi(m[3]));
        }
    }
    return seconds;
}

class PlaybackNullTest : public PlaybackFixture {
  protected:
    PlaybackNullTest() : PlaybackFixture(std::make_shared<NullBackend>(kSpeed)) {}
};

INSTANTIATE_TEST_SUITE_P(Modes, PlaybackNullTest, ::testing::Values(Mode::kFile, Mode::kMemory),
                         modeName);

TEST_P(PlaybackNullTest, PlaysToTheEndAtTheOutputsPace) {
    AudioPeer peer(shortTone(), {});
    const Clock::time_point start = Clock::now();
    const std::vector<std::string> reports = playToTheEnd(peer.url());
    EXPECT_TRUE(playedToTheEnd(reports)) << codesOf(reports);
    EXPECT_THAT(reports, Contains("100/210 100"));
    EXPECT_THAT(reports,
                Contains(::testing::MatchesRegex("100/200 [0-9]+% 64 kbs 00:00:0[0-8]/00:00:08")));
    const std::vector<int> seen = positions(reports);
    EXPECT_TRUE(std::is_sorted(seen.begin(), seen.end())) << ::testing::PrintToString(seen);
    // Eight seconds of sound at eight times real time, with the end's wait.
    EXPECT_LT(Clock::now() - start, 8s);
    EXPECT_THAT(downloads_.leftovers(), ElementsAre()) << "downloaded audio left behind";
}

TEST_P(PlaybackNullTest, StopDuringAStalledDownloadEndsItAndStartsNoPlayback) {
    // The server stalls after its first chunk, before MEMORY mode has the
    // bytes it opens its stream on; the stop ends the download waiting there.
    AudioPeer::Behaviour stalled;
    stalled.chunk = PlaybackController::kFirstChunk / 2;
    stalled.chunkDelay = 30s;
    AudioPeer peer(shortTone(), stalled);
    playback_.play(peer.url(), 5, 60);
    ASSERT_TRUE(recorder_.pumpUntil([&] { return !recorder_.reports().empty(); }));
    recorder_.pump().pumpUntil([] { return false; }, 200ms);
    job_.stop();
    EXPECT_EQ(peer.bytesSent(), stalled.chunk) << "the stop waited for the server";
    const std::vector<std::string> reports = recorder_.reports();
    EXPECT_THAT(reports, Not(Contains("100/170 0")));
    EXPECT_THAT(reports, Not(Contains(HasSubstr("100/110"))));
    EXPECT_EQ(reports.back(), "100/160 0");
    EXPECT_TRUE(ended());
    EXPECT_THAT(downloads_.leftovers(), ElementsAre());
}

TEST_P(PlaybackNullTest, StopWhileTheSoundPlaysEndsTheReadingThere) {
    AudioPeer peer(longTone(), {});
    startPlaying(peer.url());
    job_.stop();
    const std::vector<std::string> reports = recorder_.reports();
    EXPECT_EQ(reports.back(), "100/160 0");
    EXPECT_THAT(reports, Not(Contains("100/190 0"))) << "the stop is no end of the audio";
    EXPECT_THAT(reports, Not(Contains(HasSubstr("100/110"))));
    EXPECT_TRUE(ended());
    EXPECT_THAT(downloads_.leftovers(), ElementsAre());
}

// Pause and resume called many times from another thread while the worker
// reports: the reading stays whole. Paused, it reports nothing but its pause;
// resumed, it plays to its end.
TEST_P(PlaybackNullTest, PauseAndResumeFromAnotherThread) {
    AudioPeer peer(longTone(), {});
    startPlaying(peer.url());
    std::atomic<bool> done{false};
    std::thread other([&] {
        for (int i = 0; i < 100; ++i) {
            playback_.pause();
            playback_.resume();
        }
        playback_.pause();
        done = true;
    });
    EXPECT_TRUE(recorder_.pumpUntil([&] { return done.load(); }));
    other.join();
    // A report read before the last pause may still come; after the first
    // pause report, only pause reports do.
    recorder_.clear();
    ASSERT_TRUE(pumpUntilReported("100/180 0")) << codes();
    recorder_.clear();
    ASSERT_TRUE(pumpUntilReported("100/180 0")) << codes();
    EXPECT_THAT(recorder_.reports(), ElementsAre("100/180 0"));

    playback_.resume();
    EXPECT_TRUE(recorder_.pumpUntil([&] { return ended(); })) << codes();
    const std::vector<std::string> reports = recorder_.reports();
    EXPECT_EQ(reports.back(), "100/190 0");
    EXPECT_THAT(reports, Not(Contains(HasSubstr("100/110"))));
    EXPECT_THAT(downloads_.leftovers(), ElementsAre());
}

// A stop from a thread that is not the interface thread, while a third one
// pauses and resumes: everything ends, and the controller plays again after.
TEST_P(PlaybackNullTest, StopRacesWithPauseAndResume) {
    AudioPeer peer(longTone(), {});
    startPlaying(peer.url());
    std::atomic<int> toggles{0};
    std::atomic<bool> stopped{false};
    std::thread toggler([&] {
        while (!stopped) {
            playback_.pause();
            playback_.resume();
            ++toggles;
        }
    });
    std::thread stopper([&] {
        while (toggles < 20) {
            std::this_thread::sleep_for(1ms);
        }
        playback_.stop();
        stopped = true;
    });
    EXPECT_TRUE(recorder_.pumpUntil([&] { return stopped.load(); }));
    std::atomic<bool> joined{false};
    std::thread joiner([&] {
        toggler.join();
        stopper.join();
        joined = true;
    });
    EXPECT_TRUE(recorder_.pumpUntil([&] { return joined.load(); }));
    joiner.join();
    EXPECT_TRUE(ended());
    EXPECT_THAT(recorder_.reports(), Not(Contains(HasSubstr("100/110"))));
    EXPECT_THAT(downloads_.leftovers(), ElementsAre());

    AudioPeer again(shortTone(), {});
    const std::vector<std::string> reports = playToTheEnd(again.url());
    EXPECT_TRUE(playedToTheEnd(reports)) << codesOf(reports);
}

// Kept for saving: a whole download stays (FILE: its private file, mode
// 0600; MEMORY: its bytes) after the reading until the next play, which
// keeps nothing of a cut-off download, or the controller's end.
TEST_P(PlaybackNullTest, KeepsAWholeDownloadUntilTheNextPlayOrTheEnd) {
    AudioPeer whole(shortTone(), {});
    AudioPeer::Behaviour cut;
    cut.cutAfter = shortTone().size() / 2;
    AudioPeer broken(shortTone(), cut);
    const auto playOut = [](PlaybackController& playback, const std::string& url) {
        playback.play(url, 5, 10);
        for (int i = 0; i < 2000 && (playback.running() ||
                                     playback.state() != PlaybackController::State::kStopped);
             ++i) {
            std::this_thread::sleep_for(10ms);
        }
    };
    {
        PlaybackController playback{std::make_shared<NullBackend>(kSpeed)};
        playback.setDownloadMode(GetParam());
        playback.setKeepDownload(true);
        playOut(playback, whole.url());
        ASSERT_TRUE(playback.hasKeptDownload());
        std::string bytes;
        std::string error;
        ASSERT_TRUE(playback.keptDownload(bytes, error)) << error;
        EXPECT_TRUE(bytes == shortTone());
        const std::filesystem::path path = playback.keptDownloadPath();
        if (GetParam() == Mode::kFile) {
            EXPECT_THAT(downloads_.leftovers(), ElementsAre(path.filename().string()));
            struct stat info {};
            ASSERT_EQ(::stat(path.c_str(), &info), 0);
            EXPECT_EQ(info.st_mode & 0777, 0600u);
        } else {
            EXPECT_EQ(path, std::filesystem::path());
            EXPECT_THAT(downloads_.leftovers(), ElementsAre());
        }
        playOut(playback, broken.url());
        EXPECT_FALSE(playback.hasKeptDownload());
        EXPECT_FALSE(playback.keptDownload(bytes, error));
        EXPECT_THAT(downloads_.leftovers(), ElementsAre());
        playOut(playback, whole.url());
        EXPECT_TRUE(playback.hasKeptDownload());
    }
    EXPECT_THAT(downloads_.leftovers(), ElementsAre());
}

// The timings in the tag at the head of the audio reach the dialog before the
// sound, in both modes, also when the tag is larger than the first bytes a
// stream opens on. The heard position holds while paused; in FILE mode a
// seek moves it and keeps the pause, while a stream cannot seek.
TEST_P(PlaybackNullTest, ReportsTheTimingsBeforeTheSoundAndSeeksAFile) {
    std::string text;
    for (int i = 0; i < 100; ++i) {
        text += "Word" + std::to_string(i) + ". ";
    }
    const std::string tag = timingsTag(text, evenTimings(text, 0, 150));
    ASSERT_GT(tag.size(), PlaybackController::kFirstChunk * 2);
    AudioPeer peer(tag + longTone(), {});
    startPlaying(peer.url());
    const std::vector<std::string> reports = recorder_.reports();
    const auto timings =
        std::find(reports.begin(), reports.end(), "100/220 100 words 100 sentences");
    EXPECT_LT(timings, std::find(reports.begin(), reports.end(), "100/170 0")) << codes();

    int64_t heard = -1;
    ASSERT_TRUE(playback_.heardPosition(heard, true));
    playback_.pause();
    ASSERT_TRUE(playback_.heardPosition(heard, true));
    const int64_t held = heard;
    std::this_thread::sleep_for(100ms);
    ASSERT_TRUE(playback_.heardPosition(heard, true));
    EXPECT_EQ(heard, held);
    if (GetParam() == Mode::kMemory) {
        EXPECT_FALSE(playback_.seekable());
        EXPECT_FALSE(playback_.seekTo(8000));
    } else {
        EXPECT_TRUE(playback_.seekable());
        ASSERT_TRUE(playback_.seekTo(8000));
        ASSERT_TRUE(playback_.heardPosition(heard, true));
        EXPECT_GE(heard, 8000);
        EXPECT_LT(heard, 8100);
        std::this_thread::sleep_for(100ms);
        int64_t still = -1;
        ASSERT_TRUE(playback_.heardPosition(still, true));
        EXPECT_EQ(still, heard) << "the seek kept the pause";
        playback_.resume();
        std::this_thread::sleep_for(200ms);
        ASSERT_TRUE(playback_.heardPosition(still, true));
        EXPECT_GT(still, heard);
    }
    job_.stop();
    EXPECT_FALSE(playback_.heardPosition(heard, true));
}

} // namespace
} // namespace tolvane::test
