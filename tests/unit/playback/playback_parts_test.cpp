// The pieces of playback that need no sound: the private download file, the
// stream feed's collecting and waiting, the download percent and the
// controller's answers while nothing plays.
#include "platform/Paths.h"
#include "playback/PlaybackController.h"
#include "playback/StreamFeed.h"
#include "playback/TempAudioFile.h"
#include "protocol/AudioDownload.h"

#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <sys/stat.h>
#include <thread>

namespace tolvane {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

TEST(TempAudioFileTest, IsAFreshPrivateFileRemovedWithTheObject) {
    fs::path first;
    {
        TempAudioFile a;
        TempAudioFile b;
        std::string error;
        ASSERT_TRUE(a.create(error)) << error;
        ASSERT_TRUE(b.create(error)) << error;
        first = a.path();
        EXPECT_NE(a.path(), b.path());
        EXPECT_EQ(a.path().parent_path(), platform::privateUserDir());
        EXPECT_EQ(a.path().extension(), ".mp3");
        struct stat st {};
        ASSERT_EQ(::stat(a.path().c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 0777, 0600u);
        ASSERT_TRUE(a.write("ID3", 3, error)) << error;
        ASSERT_TRUE(a.write("\xff\xfb", 2, error)) << error;
        ASSERT_TRUE(a.close(error)) << error;
        std::ifstream in(a.path(), std::ios::binary);
        EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), "ID3\xff\xfb");
    }
    EXPECT_FALSE(fs::exists(first));
}

TEST(StreamFeedTest, CollectsUntilEnoughHasArrivedOrTheDownloadEnds) {
    StreamFeed feed;
    std::string error;
    ASSERT_TRUE(feed.accept("abc", 3, error));
    EXPECT_EQ(feed.waitFor(2, [] { return false; }), 3u);

    std::thread download([&] {
        std::this_thread::sleep_for(50ms);
        std::string ignored;
        feed.accept("defg", 4, ignored);
        std::this_thread::sleep_for(50ms);
        feed.end();
    });
    EXPECT_EQ(feed.waitFor(6, [] { return false; }), 7u);
    EXPECT_EQ(feed.waitFor(1000, [] { return false; }), 7u) << "returns once the download ended";
    download.join();
    EXPECT_TRUE(feed.ended());
    EXPECT_EQ(feed.received(), 7u);

    StreamFeed idle;
    bool asked = false;
    EXPECT_EQ(idle.waitFor(10, [&] { return asked = true; }), 0u);
    EXPECT_TRUE(asked);
}

TEST(AudioDownloadTest, PercentIsHeldTo0To100) {
    EXPECT_EQ(AudioDownload::percentOf(0, 1000), 0);
    EXPECT_EQ(AudioDownload::percentOf(999, 1000), 99);
    EXPECT_EQ(AudioDownload::percentOf(1000, 1000), 100);
    EXPECT_EQ(AudioDownload::percentOf(5000, 1000), 100);
    EXPECT_EQ(AudioDownload::percentOf(500, -1), 0);
    EXPECT_EQ(AudioDownload::percentOf(500, 0), 0);
    // Beyond what 32-bit arithmetic holds: 3 GB of 4 GB.
    EXPECT_EQ(AudioDownload::percentOf(3000000000ull, 4000000000ll), 75);
}

TEST(PlaybackControllerTest, AnswersWhileNothingPlays) {
    PlaybackController playback;
    int playing = 0;
    int stopDone = 0;
    PlaybackNotifications n;
    n.playing = [&] { ++playing; };
    n.stopDone = [&] { ++stopDone; };
    playback.setNotifications(std::move(n));
    EXPECT_EQ(PlaybackController::name(playback.state()), "stopped");
    playback.pause();
    playback.resume(); // tells the speech job it plays even without an engine
    EXPECT_EQ(playing, 1);
    playback.stop();
    EXPECT_EQ(stopDone, 1);
    EXPECT_EQ(PlaybackController::name(playback.state()), "stopped");
    EXPECT_FALSE(playback.running());

    EXPECT_EQ(PlaybackController::modeNamed("MEMORY"), PlaybackController::Mode::kMemory);
    EXPECT_EQ(PlaybackController::modeNamed("FILE"), PlaybackController::Mode::kFile);
    EXPECT_EQ(PlaybackController::modeNamed("memory"), PlaybackController::Mode::kFile)
        << "the configuration store settles the letter case";
}

} // namespace
} // namespace tolvane
