// The engine playing through the clock-paced null output, so that the output
// writer, the notification thread and the band equalizer's control thread all
// run beside the decoding thread as they do on a sound card, in every build:
// whole runs with their notifications, notifications re-registered and the
// equalizer redesigned while the sound plays, and the position following the
// output's clock, held while paused.
#include "engine/NullBackend.h"
#include "tests/unit/engine/EngineTestSupport.h"

#include <gtest/gtest.h>

#include <deque>
#include <thread>

using namespace tolvane;
using namespace tolvane::test;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

namespace {

constexpr int32_t kBufferMs = 500;
constexpr uint32_t kEventMask = kCollectMask & ~NOTIFY_WAVE_BUFFER;

class EngineNullOutput : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_TRUE(Mp3Files::get().ok()) << "test files not made"; }
    void TearDown() override {
        if (engine_) {
            engine_->CloseStream();
            engine_->SetCallbackFunc(nullptr, 0);
        }
    }

    void open(const std::string& name, double speed) {
        engine_ = std::make_unique<Mp3Engine>(std::make_shared<NullBackend>(speed));
        ASSERT_EQ(engine_->OpenMp3File(Mp3Files::get()[name].c_str(), kBufferMs, 0, 0), 1)
            << engine_->GetLastErrorText();
    }
    // A collector that outlives the engine calling it.
    OutputCollector& collector() { return collectors_.emplace_back(); }

    uint32_t positionMs() {
        MP3_TIME time{};
        EXPECT_EQ(engine_->GetPosition(&time), 1);
        return time.nMilliseconds;
    }
    MP3_STATUS status() {
        MP3_STATUS s{};
        EXPECT_EQ(engine_->GetStatus(&s), 1);
        return s;
    }

    std::deque<OutputCollector> collectors_;
    std::unique_ptr<Mp3Engine> engine_;
};

TEST_F(EngineNullOutput, PlaysToTheEndOnTheNullDeviceWithItsNotifications) {
    open("cbr44.mp3", 8.0);
    ASSERT_EQ(engine_->EnumerateWaveOut(), 1);
    WAVEOUT_INFO info{};
    ASSERT_EQ(engine_->GetWaveOutInfo(0, &info), 1);
    EXPECT_STREQ(info.szName, "Null output");
    ASSERT_EQ(engine_->SetWaveOutDevice(0), 1);
    MP3_TIME length{};
    ASSERT_EQ(engine_->GetSongLengthHMS(&length), 1);

    OutputCollector& events = collector();
    ASSERT_EQ(engine_->SetCallbackFunc(events.callback(), kEventMask), 1);
    ASSERT_EQ(engine_->Play(), 1) << engine_->GetLastErrorText();
    uint32_t last = 0;
    while (status().fPlaying == 1) {
        const uint32_t now = positionMs();
        EXPECT_GE(now, last) << "the position went back";
        EXPECT_LE(now, length.nMilliseconds);
        last = now;
        std::this_thread::sleep_for(10ms);
    }
    ASSERT_TRUE(events.waitStopped());
    EXPECT_GT(last, length.nMilliseconds / 2) << "the position followed the output";
    const std::vector<uint32_t> seen = events.output().events;
    ASSERT_FALSE(seen.empty());
    EXPECT_EQ(seen.front(), NOTIFY_PLAYING);
    EXPECT_EQ(seen.back(), NOTIFY_STOPPED);
    EXPECT_EQ(events.count(NOTIFY_STOPPED), 1u);
    EXPECT_EQ(status().fStopped, 1);

    // The same engine plays again from the start.
    events.resetStopped();
    ASSERT_EQ(engine_->Play(), 1) << engine_->GetLastErrorText();
    ASSERT_TRUE(events.waitStopped());
    EXPECT_EQ(events.count(NOTIFY_PLAYING), 2u);
}

// The last function registered is the one told that the run ended, whatever
// the threads of the functions before it were doing.
TEST_F(EngineNullOutput, NotificationsReRegisteredWhilePlaying) {
    open("sweep44.mp3", 4.0);
    OutputCollector& first = collector();
    OutputCollector& second = collector();
    ASSERT_EQ(engine_->SetCallbackFunc(first.callback(), kCollectMask), 1);
    ASSERT_EQ(engine_->Play(), 1) << engine_->GetLastErrorText();
    for (int i = 0; i < 60; ++i) {
        OutputCollector& now = i % 2 == 0 ? second : first;
        // Waiting wave-buffer events on every other function: the decoding
        // thread waits for them while the registration changes.
        const uint32_t mask = i % 4 < 2 ? kCollectMask : kEventMask;
        ASSERT_EQ(engine_->SetCallbackFunc(i % 5 == 4 ? nullptr : now.callback(), mask), 1);
        if (i % 7 == 0) {
            EXPECT_EQ(engine_->Pause(), 1);
            EXPECT_EQ(engine_->Resume(), 1);
        }
        positionMs();
        std::this_thread::sleep_for(2ms);
    }
    OutputCollector& last = collector();
    ASSERT_EQ(engine_->SetCallbackFunc(last.callback(), kEventMask), 1);
    // 45 s of sound at four times real time: still playing unless it broke off.
    ASSERT_EQ(status().fPlaying, 1);
    EXPECT_EQ(engine_->Stop(), 1);
    EXPECT_TRUE(last.waitStopped(20s));
    EXPECT_EQ(last.count(NOTIFY_STOPPED), 1u);
    EXPECT_EQ(status().fStopped, 1);
}

// The control thread designs each change while the decoding thread filters
// the buffers; the settings that stay are the last ones made.
TEST_F(EngineNullOutput, EqualizerRedesignedWhilePlaying) {
    open("sweep44.mp3", 4.0);
    OutputCollector& events = collector();
    ASSERT_EQ(engine_->SetCallbackFunc(events.callback(), kEventMask), 1);
    const int32_t bands = engine_->GetEqGains(1, nullptr, nullptr);
    ASSERT_GT(bands, 0);
    std::vector<int32_t> gains(size_t(bands), 0);
    ASSERT_EQ(engine_->Play(), 1) << engine_->GetLastErrorText();
    for (int i = 0; i < 80; ++i) {
        for (size_t b = 0; b < gains.size(); ++b) {
            gains[b] = int32_t((i * 3 + int(b) * 5) % 25) - 12;
        }
        ASSERT_EQ(engine_->SetEqGains(1, -(i % 6), gains.data(), bands), 1);
        if (i % 10 == 5) {
            EXPECT_EQ(engine_->EnableEQ(0, 1), 1);
            EXPECT_EQ(engine_->EnableEQ(1, 0), 1);
        } else {
            EXPECT_EQ(engine_->EnableEQ(1, 1), 1) << engine_->GetLastErrorText();
        }
        std::this_thread::sleep_for(3ms);
    }
    ASSERT_EQ(status().fPlaying, 1);
    EXPECT_EQ(status().fEqualizer, 1);
    int32_t preamp = 0;
    std::vector<int32_t> kept(size_t(bands), 99);
    EXPECT_EQ(engine_->GetEqGains(1, &preamp, kept.data()), bands);
    EXPECT_EQ(preamp, -(79 % 6));
    EXPECT_EQ(kept, gains);
    EXPECT_EQ(engine_->Stop(), 1);
    ASSERT_TRUE(events.waitStopped(20s));

    // Played again with the equalizer on from the first buffer, then switched
    // off in mid-run.
    events.resetStopped();
    ASSERT_EQ(engine_->Play(), 1) << engine_->GetLastErrorText();
    std::this_thread::sleep_for(50ms);
    EXPECT_EQ(engine_->EnableEQ(0, 1), 1);
    EXPECT_EQ(engine_->Stop(), 1);
    ASSERT_TRUE(events.waitStopped(20s));
}

TEST_F(EngineNullOutput, PositionFollowsTheOutputClockAndHoldsWhilePaused) {
    open("sweep44.mp3", 8.0);
    const Clock::time_point start = Clock::now();
    ASSERT_EQ(engine_->Play(), 1) << engine_->GetLastErrorText();
    std::this_thread::sleep_for(500ms);
    const uint32_t played = positionMs();
    const double wallMs = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
    EXPECT_LE(played, wallMs * 8) << "ahead of the output's clock";
    EXPECT_GT(played, wallMs * 2) << "not faster than real time at eight times real time";

    ASSERT_EQ(engine_->Pause(), 1);
    const uint32_t held = positionMs();
    EXPECT_EQ(status().fPaused, 1);
    std::this_thread::sleep_for(200ms);
    EXPECT_EQ(positionMs(), held);
    ASSERT_EQ(engine_->Resume(), 1);
    const Clock::time_point resumed = Clock::now();
    while (positionMs() == held && Clock::now() - resumed < 10s) {
        std::this_thread::sleep_for(1ms);
    }
    EXPECT_GT(positionMs(), held);
    EXPECT_EQ(engine_->Stop(), 1);
    EXPECT_EQ(positionMs(), 0u);
}

// A notification function that takes every wave buffer, as the playback
// controller's does: GetPosition then counts the buffers handed to it, which
// run ahead of the sound by the ring; the heard position stays with the output.
TEST_F(EngineNullOutput, HeardPositionFollowsTheOutputWhenTheBuffersGoToTheCallback) {
    open("sweep44.mp3", 1.0);
    ASSERT_EQ(
        engine_->SetCallbackFunc([](uint32_t, uintptr_t, uintptr_t) { return 0; }, 0xFFFFFFFF), 1);
    const Clock::time_point start = Clock::now();
    ASSERT_EQ(engine_->Play(), 1) << engine_->GetLastErrorText();
    std::this_thread::sleep_for(300ms);
    MP3_TIME heard{};
    ASSERT_EQ(engine_->GetHeardPosition(&heard), 1);
    const uint32_t handed = positionMs();
    const double wallMs = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
    EXPECT_LE(heard.nMilliseconds, wallMs + 25) << "ahead of the output's clock";
    EXPECT_GT(heard.nMilliseconds, wallMs / 2);
    EXPECT_GT(handed, heard.nMilliseconds + kBufferMs / 2) << "the buffers did not run ahead";
    ASSERT_EQ(engine_->Pause(), 1);
    ASSERT_EQ(engine_->GetHeardPosition(&heard), 1);
    const uint32_t held = heard.nMilliseconds;
    std::this_thread::sleep_for(100ms);
    ASSERT_EQ(engine_->GetHeardPosition(&heard), 1);
    EXPECT_EQ(heard.nMilliseconds, held);
    EXPECT_EQ(engine_->GetHeardPosition(nullptr), 0);
    EXPECT_EQ(engine_->Stop(), 1);
}

} // namespace
