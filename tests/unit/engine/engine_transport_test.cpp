// Transport in no-device mode: play, stop, seek, loops, reverse play, the
// answers to waiting notifications and managed streams fed while playing.
#include "tests/support/SignalAnalysis.h"
#include "tests/unit/engine/EngineTestSupport.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <condition_variable>
#include <deque>
#include <sys/resource.h>
#include <thread>
#include <unistd.h>

using namespace tolvane;
using namespace tolvane::test;
using namespace std::chrono_literals;

namespace {

class EngineTransport : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_TRUE(Mp3Files::get().ok()) << "test files not made"; }
    static std::filesystem::path file(const std::string& name) { return Mp3Files::get()[name]; }

    // A collector that outlives the engine calling it.
    OutputCollector& collect(OutputCollector::Answer answer = {}) {
        return collectors_.emplace_back(std::move(answer));
    }

    void open(const std::string& name, OutputCollector& collector) {
        ASSERT_EQ(engine.SetCallbackFunc(collector.callback(), kCollectMask), 1);
        ASSERT_EQ(engine.OpenMp3File(file(name).c_str(), 0, 0, 0), 1) << engine.GetLastErrorText();
    }

    std::deque<OutputCollector> collectors_;
    Mp3Engine engine;
};

// Ends the engine's notifications before the test's locals they use go away.
struct Unregister {
    Mp3Engine& engine;
    ~Unregister() {
        engine.CloseStream();
        engine.SetCallbackFunc(nullptr, 0);
    }
};

// The sweep file rises exponentially from 200 Hz to 2000 Hz over 45 s.
double sweepSecondsAt(double frequency) {
    return 45.0 * std::log10(frequency / 200.0);
}

// The pitch of the left channel of samples [from, from + frames).
double pitch(const EngineOutput& out, size_t from, size_t frames) {
    std::vector<double> left;
    for (size_t i = from; i < from + frames && 2 * i < out.samples.size(); ++i) {
        left.push_back(out.samples[2 * i] / 32768.0);
    }
    return estimateFrequency(left, 44100);
}

// Holds the decoding thread in its first wave-buffer offer until released.
class Gate {
  public:
    int32_t hold() {
        std::unique_lock lock(mutex_);
        entered_ = true;
        changed_.notify_all();
        changed_.wait(lock, [this] { return open_; });
        return 0;
    }
    void waitEntered() {
        std::unique_lock lock(mutex_);
        changed_.wait(lock, [this] { return entered_; });
    }
    void release() {
        std::lock_guard lock(mutex_);
        open_ = true;
        changed_.notify_all();
    }

  private:
    std::mutex mutex_;
    std::condition_variable changed_;
    bool entered_ = false;
    bool open_ = false;
};

} // namespace

TEST_F(EngineTransport, StopAndPlayStates) {
    OutputCollector& collector = collect();
    open("cbr44.mp3", collector);
    MP3_STATUS status{};
    ASSERT_EQ(engine.GetStatus(&status), 1);
    EXPECT_EQ(status.fStopped, 1);
    // Stop on a stopped stream: 0 and the error text untouched.
    EXPECT_EQ(engine.OpenMp3File("/nonexistent", 0, 0, 0), 0);
    ASSERT_EQ(engine.OpenMp3File(file("cbr44.mp3").c_str(), 0, 0, 0), 1);
    EXPECT_EQ(engine.Stop(), 0);
    EXPECT_STREQ(engine.GetLastErrorText(), "OpenMp3FileEx->Can't open file:  /nonexistent  !");
    EXPECT_EQ(engine.GetStatus(nullptr), 0);
    EXPECT_STREQ(engine.GetLastErrorText(),
                 "GetStatus->MP3_STATUS *pStatus - this parameter can't be NULL");
}

TEST_F(EngineTransport, PlayTwiceAndStopWhilePlaying) {
    Gate gate;
    OutputCollector& collector = collect([&](uint32_t code, uint32_t index) {
        return code == NOTIFY_WAVE_BUFFER && index == 0 ? gate.hold() : 0;
    });
    const Unregister done{engine};
    open("sweep44.mp3", collector);
    ASSERT_EQ(engine.Play(), 1);
    gate.waitEntered();
    EXPECT_EQ(engine.Play(), 0); // already playing
    MP3_STATUS status{};
    engine.GetStatus(&status);
    EXPECT_EQ(status.fPlaying, 1);
    std::thread releaser([&] {
        std::this_thread::sleep_for(50ms);
        gate.release();
    });
    EXPECT_EQ(engine.Stop(), 1);
    releaser.join();
    EXPECT_TRUE(collector.waitStopped(5s));
    engine.GetStatus(&status);
    EXPECT_EQ(status.fStopped, 1);
    // Far fewer buffers than the 45 s of the file.
    EXPECT_LT(collector.output().bufferBytes.size(), 50u);
}

TEST_F(EngineTransport, PlayingAnsweredOneRefusesTheRun) {
    std::atomic<int> calls{0};
    platform::Event stopped(platform::Event::Reset::Manual);
    Mp3Engine refusing;
    ASSERT_EQ(refusing.SetCallbackFunc(
                  [&](uint32_t code, uintptr_t, uintptr_t) {
                      ++calls;
                      if (code == NOTIFY_STOPPED) {
                          stopped.set();
                      }
                      return code == waitingForm(NOTIFY_PLAYING) ? 1 : 0;
                  },
                  waitingForm(NOTIFY_PLAYING) | NOTIFY_STOPPED | NOTIFY_WAVE_BUFFER),
              1);
    ASSERT_EQ(refusing.OpenMp3File(file("cbr44.mp3").c_str(), 0, 0, 0), 1);
    EXPECT_EQ(refusing.Play(), 1);
    EXPECT_TRUE(stopped.waitFor(5s));
    EXPECT_EQ(calls.load(), 2); // the question and the stop, no buffer
    MP3_STATUS status{};
    refusing.GetStatus(&status);
    EXPECT_EQ(status.fStopped, 1);
}

TEST_F(EngineTransport, WaveBufferAnswers) {
    // 1 for every buffer: nothing is queued, the run goes through, and the
    // position follows the milliseconds handed out.
    std::vector<uint32_t> positions;
    Mp3Engine* self = &engine;
    OutputCollector& dropping = collect([&](uint32_t, uint32_t) {
        MP3_TIME time{};
        self->GetPosition(&time);
        positions.push_back(time.nMilliseconds);
        return 1;
    });
    const Unregister done{engine};
    open("cbr44.mp3", dropping);
    ASSERT_EQ(engine.Play(), 1);
    ASSERT_TRUE(dropping.waitStopped());
    const EngineOutput out = dropping.output();
    ASSERT_GT(positions.size(), 40u);
    uint32_t handed = 0;
    for (size_t i = 0; i < positions.size(); ++i) {
        handed += uint32_t(std::lround(out.bufferBytes[i] / 4 * 1000.0 / 44100));
        EXPECT_EQ(positions[i], handed) << "buffer " << i;
    }

    // 2 for the first buffer: the run stops at once.
    OutputCollector stopper([](uint32_t, uint32_t) { return 2; });
    Mp3Engine stopping;
    ASSERT_EQ(stopping.SetCallbackFunc(stopper.callback(), kCollectMask), 1);
    ASSERT_EQ(stopping.OpenMp3File(file("cbr44.mp3").c_str(), 0, 0, 0), 1);
    ASSERT_EQ(stopping.Play(), 1);
    ASSERT_TRUE(stopper.waitStopped());
    EXPECT_EQ(stopper.output().bufferBytes.size(), 1u);
}

TEST_F(EngineTransport, SeekEdges) {
    OutputCollector& collector = collect();
    open("sweep44.mp3", collector);
    MP3_TIME length{};
    engine.GetSongLengthHMS(&length);
    ASSERT_NEAR(length.nMilliseconds, 45000.0, 100.0);
    MP3_TIME time{};
    MP3_TIME position{};

    time.nMilliseconds = 60000; // from the end, past the length: the start
    EXPECT_EQ(engine.Seek(TIME_FORMAT_MS, &time, SEEK_FROM_END), 1);
    engine.GetPosition(&position);
    EXPECT_EQ(position.nMilliseconds, 0u);

    time.nMilliseconds = 50000; // past the length: the end
    EXPECT_EQ(engine.Seek(TIME_FORMAT_MS, &time, SEEK_FROM_START), 1);
    engine.GetPosition(&position);
    EXPECT_EQ(position.nMilliseconds, length.nMilliseconds);
    EXPECT_EQ(engine.Play(), 1); // nothing left: the run ends at once
    ASSERT_TRUE(collector.waitStopped());
    EXPECT_TRUE(collector.output().bufferBytes.empty());

    time = MP3_TIME{};
    time.nBytes = 5000;
    EXPECT_EQ(engine.Seek(TIME_FORMAT_BYTES, &time, SEEK_FORWARD), 1);
    engine.GetPosition(&position);
    // The Info header's table of contents maps bytes to time, in steps of 1 %.
    EXPECT_NEAR(position.nMilliseconds, 5000.0 * length.nMilliseconds / length.nBytes, 60.0);
    time.nBytes = 1u << 30; // backwards beyond the start: the start
    EXPECT_EQ(engine.Seek(TIME_FORMAT_BYTES, &time, SEEK_BACKWARD), 1);
    engine.GetPosition(&position);
    EXPECT_EQ(position.nMilliseconds, 0u);

    EXPECT_EQ(engine.Seek(TIME_FORMAT_MS, nullptr, SEEK_FROM_START), 0);
    EXPECT_STREQ(engine.GetLastErrorText(), "Seek->MP3_TIME *pTime can't be 0 !");
    EXPECT_EQ(engine.Seek(0, &time, SEEK_FROM_START), 0);
    EXPECT_STREQ(engine.GetLastErrorText(), "Seek->Invalid time format !");
}

TEST_F(EngineTransport, PlayStartsWhereSeekPut) {
    OutputCollector& collector = collect();
    open("sweep44.mp3", collector);
    MP3_TIME time{};
    time.nHmsSecond = 20;
    ASSERT_EQ(engine.Seek(TIME_FORMAT_HMS, &time, SEEK_FROM_START), 1);
    MP3_TIME position{};
    engine.GetPosition(&position);
    EXPECT_EQ(position.nMilliseconds, 20000u);
    EXPECT_EQ(position.nHmsSecond, 20u);
    ASSERT_EQ(engine.Play(), 1);
    ASSERT_TRUE(collector.waitStopped());
    const EngineOutput out = collector.output();
    // The first tenth of a second heard has the sweep's pitch at 20 s.
    EXPECT_NEAR(sweepSecondsAt(pitch(out, 0, 4410)), 20.0, 0.3);
    EXPECT_NEAR(out.samples.size() / 2 / 44100.0, 25.0, 0.3);
}

TEST_F(EngineTransport, LoopPlaysItsFramesAndEnds) {
    std::vector<int32_t> looping;
    Mp3Engine* self = &engine;
    OutputCollector& watching = collect([&](uint32_t code, uint32_t) {
        MP3_STATUS status{};
        self->GetStatus(&status);
        if (code == NOTIFY_WAVE_BUFFER) {
            looping.push_back(status.fLooping);
        }
        return 0;
    });
    const Unregister done{engine};
    open("sweep44.mp3", watching);
    MP3_TIME start{};
    MP3_TIME end{};
    start.nMilliseconds = 1000;
    end.nMilliseconds = 3000;
    EXPECT_EQ(engine.PlayLoop(TIME_FORMAT_MS, &start, TIME_FORMAT_MS, &end, 2), 1);
    ASSERT_TRUE(watching.waitStopped());
    const EngineOutput out = watching.output();
    // Two passes of MulDiv(2000, 44100, 1152000) = 77 frames, each followed by
    // the silent frame that replaces the one lost at the restart.
    EXPECT_EQ(out.samples.size() / 2, size_t(2 * 77 + 1) * 1152);
    EXPECT_EQ(watching.count(NOTIFY_LOOP_BEGIN), 1u);
    EXPECT_EQ(watching.count(NOTIFY_LOOP_END), 1u);
    ASSERT_FALSE(looping.empty());
    EXPECT_EQ(looping.front(), 1);
    // Both passes start with the sweep's pitch at one second.
    EXPECT_NEAR(sweepSecondsAt(pitch(out, 1152, 2048)), 1.0, 0.3);
    EXPECT_NEAR(sweepSecondsAt(pitch(out, 79 * 1152, 2048)), 1.0, 0.3);

    end.nMilliseconds = 500;
    EXPECT_EQ(engine.PlayLoop(TIME_FORMAT_MS, &start, TIME_FORMAT_MS, &end, 1), 0);
    EXPECT_STREQ(engine.GetLastErrorText(),
                 "PlayLoop->Loop end time is smaller than loop start time !");
    EXPECT_EQ(engine.PlayLoop(TIME_FORMAT_BYTES, &start, TIME_FORMAT_MS, &end, 1), 0);
    EXPECT_STREQ(engine.GetLastErrorText(), "PlayLoop->TIME_FORMAT_BYTES not supported !");
    EXPECT_EQ(engine.PlayLoop(TIME_FORMAT_MS, nullptr, TIME_FORMAT_MS, &end, 1), 0);
    EXPECT_STREQ(engine.GetLastErrorText(), "PlayLoop->Invalid time format !");

    // A start past the end is held at the end, as Seek holds it: nothing plays.
    const size_t played = watching.output().samples.size();
    watching.resetStopped();
    start.nMilliseconds = 60000;
    end.nMilliseconds = 70000;
    EXPECT_EQ(engine.PlayLoop(TIME_FORMAT_MS, &start, TIME_FORMAT_MS, &end, 2), 1);
    ASSERT_TRUE(watching.waitStopped());
    EXPECT_EQ(watching.output().samples.size(), played);
}

TEST_F(EngineTransport, ReversePlayCountsDown) {
    std::vector<uint32_t> positions;
    Mp3Engine* self = &engine;
    OutputCollector& collector = collect([&](uint32_t, uint32_t) {
        MP3_TIME time{};
        self->GetPosition(&time);
        positions.push_back(time.nMilliseconds);
        return 0;
    });
    const Unregister done{engine};
    open("sweep44.mp3", collector);
    EXPECT_EQ(engine.ReverseMode(1), 1);
    MP3_STATUS status{};
    engine.GetStatus(&status);
    EXPECT_EQ(status.fReverse, 1);
    MP3_TIME start{};
    start.nSeconds = 10;
    ASSERT_EQ(engine.Seek(TIME_FORMAT_SEC, &start, SEEK_FROM_START), 1);
    ASSERT_EQ(engine.Play(), 1);
    ASSERT_TRUE(collector.waitStopped());
    const EngineOutput out = collector.output();
    ASSERT_GT(positions.size(), 50u);
    for (size_t i = 1; i < positions.size(); ++i) {
        EXPECT_LT(positions[i], positions[i - 1]) << "buffer " << i;
    }
    EXPECT_GT(positions.front(), 9800u);
    // Ten seconds backwards, the pitch falling from the sweep's at 10 s.
    EXPECT_NEAR(out.samples.size() / 2 / 44100.0, 10.0, 0.3);
    EXPECT_NEAR(sweepSecondsAt(pitch(out, 0, 4096)), 10.0, 0.3);
    EXPECT_NEAR(sweepSecondsAt(pitch(out, out.samples.size() / 2 - 8192, 4096)), 0.1, 0.3);
    EXPECT_EQ(engine.PlayLoop(TIME_FORMAT_MS, &start, TIME_FORMAT_MS, &start, 1), 0);
    EXPECT_STREQ(engine.GetLastErrorText(),
                 "PlayLoop->Stream is in reverse mode. Can't play loop !");
}

TEST_F(EngineTransport, ReverseModeRefusals) {
    EXPECT_EQ(engine.ReverseMode(1), 0);
    EXPECT_STREQ(engine.GetLastErrorText(), "ReverseMode->Stream isn't open !");
    const auto bytes = readBytes(file("cbr44.mp3"));
    ASSERT_EQ(engine.OpenStream(1, 1, bytes.data(), 4000, 500), 1);
    EXPECT_EQ(engine.ReverseMode(1), 0);
    EXPECT_STREQ(engine.GetLastErrorText(),
                 "ReverseMode->This is managed stream. Can't use reverse mode !");
    MP3_TIME time{};
    EXPECT_EQ(engine.Seek(TIME_FORMAT_MS, &time, SEEK_FROM_START), 0);
    EXPECT_STREQ(engine.GetLastErrorText(), "Seek->This is managed stream. Can't seek !");
    ASSERT_EQ(engine.OpenMp3File(file("cbr44.mp3").c_str(), 0, 0, 0), 1);
    EXPECT_EQ(engine.ReverseMode(0), 0); // off when it was never on
    EXPECT_STREQ(engine.GetLastErrorText(), "ReverseMode->There is no mp3 frame in this stream !");
}

// Another program cuts the file short while it is decoded: the run plays what
// is still there (100000 bytes, 6.25 s) and ends; then, with the file empty,
// tags and reverse play read zeros where the data was.
TEST_F(EngineTransport, FileCutShortWhileDecoding) {
    const auto path = Mp3Files::get().dir() / "cut.mp3";
    std::filesystem::copy_file(file("sweep44.mp3"), path,
                               std::filesystem::copy_options::overwrite_existing);
    OutputCollector& collector = collect([&](uint32_t, uint32_t index) {
        return index == 2 ? (std::filesystem::resize_file(path, 100000), 0) : 0;
    });
    const Unregister done{engine};
    open(path.filename().string(), collector);
    ASSERT_EQ(engine.Play(), 1);
    ASSERT_TRUE(collector.waitStopped());
    EXPECT_NEAR(collector.output().samples.size() / 2 / 44100.0, 6.25, 0.2);

    std::filesystem::resize_file(path, 0);
    EXPECT_EQ(engine.LoadID3(2, nullptr), 0);
    EXPECT_EQ(engine.ReverseMode(1), 0);
    EXPECT_STREQ(engine.GetLastErrorText(), "ReverseMode->There is no mp3 frame in this stream !");
}

// When the system creates no more threads, Play, PlayLoop and SetCallbackFunc
// fail with their own texts rather than throwing. The limit is set in a child
// process (root drops to nobody, whom the limit binds).
TEST_F(EngineTransport, NoThreadForTheRunIsAnEngineError) {
#ifdef __SANITIZE_THREAD__
    GTEST_SKIP() << "the thread sanitizer starts no thread in a forked child";
#endif
    ASSERT_EQ(engine.OpenMp3File(file("cbr44.mp3").c_str(), 0, 0, 0), 1);
    const auto withoutThreads = [&] {
        const rlimit none{0, 0};
        if ((geteuid() == 0 && (setgid(65534) != 0 || setuid(65534) != 0)) ||
            setrlimit(RLIMIT_NPROC, &none) != 0) {
            _exit(2);
        }
        const auto report = [&](int32_t result) {
            std::fprintf(stderr, "%d %s\n", result, engine.GetLastErrorText());
        };
        MP3_TIME time{};
        report(engine.Play());
        report(engine.PlayLoop(TIME_FORMAT_MS, &time, TIME_FORMAT_MS, &time, 1));
        report(engine.SetCallbackFunc(collect().callback(), NOTIFY_STOPPED));
        _exit(0);
    };
    EXPECT_EXIT(withoutThreads(), ::testing::ExitedWithCode(0),
                "0 Play->Can't create decoding thread !\n"
                "0 Mp3Engine::PlayLoopM->Can't create decoding thread!\n"
                "0 SetCallbackFunc->Can't create callback thread !");
}

// A managed stream fed only when the engine says it has run dry plays the
// same samples as the whole file, and ends on the end mark.
TEST_F(EngineTransport, SlowPusherAndEndOfData) {
    const auto bytes = readBytes(file("cbr44.mp3"));
    EngineOutput whole;
    std::string error;
    ASSERT_TRUE(engineDecode(file("cbr44.mp3"), whole, error)) << error;

    std::mutex mutex;
    std::condition_variable changed;
    size_t starved = 0;
    OutputCollector& collector = collect([](uint32_t, uint32_t) { return 0; });
    auto inner = collector.callback();
    const Unregister done{engine};
    ASSERT_EQ(engine.SetCallbackFunc(
                  [&](uint32_t code, uintptr_t p1, uintptr_t p2) {
                      if (code == NOTIFY_STREAM_NO_DATA) {
                          std::lock_guard lock(mutex);
                          ++starved;
                          changed.notify_all();
                      }
                      return inner(code, p1, p2);
                  },
                  kCollectMask),
              1);
    const size_t chunk = 1000;
    ASSERT_EQ(engine.OpenStream(1, 1, bytes.data(), chunk, 500), 1);
    ASSERT_EQ(engine.Play(), 1);
    size_t pushed = chunk;
    for (size_t round = 1; pushed < bytes.size(); ++round) {
        std::unique_lock lock(mutex);
        ASSERT_TRUE(changed.wait_for(lock, 10s, [&] { return starved >= round; }));
        lock.unlock();
        const size_t n = std::min(chunk, bytes.size() - pushed);
        ASSERT_EQ(engine.PushDataToStream(bytes.data() + pushed, uint32_t(n)), 1);
        pushed += n;
    }
    ASSERT_EQ(engine.PushDataToStream(nullptr, 0), 1);
    ASSERT_TRUE(collector.waitStopped(10s));
    const EngineOutput out = collector.output();
    EXPECT_GE(collector.count(NOTIFY_STREAM_DATA_USED), bytes.size() / chunk - 1);
    EXPECT_TRUE(out.samples == whole.samples)
        << out.samples.size() << " samples against " << whole.samples.size();
}

TEST_F(EngineTransport, ReferenceChunksStayHeldUntilRead) {
    const auto bytes = readBytes(file("sweep44.mp3"));
    Gate gate;
    OutputCollector& collector = collect([&](uint32_t code, uint32_t index) {
        return code == NOTIFY_WAVE_BUFFER && index == 0 ? gate.hold() : 0;
    });
    const Unregister done{engine};
    ASSERT_EQ(engine.SetCallbackFunc(collector.callback(), kCollectMask), 1);
    ASSERT_EQ(engine.OpenStream(0, 1, bytes.data(), 2000, 500), 1);
    const uint8_t* big = bytes.data() + 2000;
    ASSERT_EQ(engine.PushDataToStream(big, 200000), 1);
    ASSERT_EQ(engine.Play(), 1);
    gate.waitEntered();
    // The decoder has read only the start of the big chunk.
    EXPECT_EQ(engine.IsBufferReleased(bytes.data()), 1);
    EXPECT_EQ(engine.IsBufferReleased(big), 0);
    STREAM_LOAD_INFO load{};
    ASSERT_EQ(engine.GetStreamLoad(&load), 1);
    EXPECT_EQ(load.nBuffers, 1u);
    EXPECT_GT(load.nBytes, 150000u);
    gate.release();
    EXPECT_EQ(engine.Stop(), 1);
    EXPECT_EQ(engine.IsBufferReleased(big), 1);
}

// Stop and destruction must not hang while the thread waits for pushed data.
TEST_F(EngineTransport, StopWhileWaitingForData) {
    const auto bytes = readBytes(file("cbr44.mp3"));
    for (int round = 0; round < 2; ++round) {
        OutputCollector collector;
        auto* waiting = new Mp3Engine;
        ASSERT_EQ(waiting->SetCallbackFunc(collector.callback(), kCollectMask), 1);
        ASSERT_EQ(waiting->OpenStream(1, 1, bytes.data(), 3000, 500), 1);
        ASSERT_EQ(waiting->Play(), 1);
        while (collector.count(NOTIFY_STREAM_NO_DATA) == 0) {
            std::this_thread::sleep_for(1ms);
        }
        if (round == 0) {
            EXPECT_EQ(waiting->Stop(), 1);
            EXPECT_TRUE(collector.waitStopped(5s));
        }
        waiting->Release();
    }
}

// Pause on a stopped stream is reported as paused; Play then plays.
TEST_F(EngineTransport, PlayAfterPauseWhileStopped) {
    OutputCollector& collector = collect();
    open("cbr44.mp3", collector);
    ASSERT_EQ(engine.Pause(), 1);
    MP3_STATUS status{};
    engine.GetStatus(&status);
    EXPECT_EQ(status.fPaused, 1);
    EXPECT_EQ(status.fStopped, 0);
    ASSERT_EQ(engine.Play(), 1);
    ASSERT_TRUE(collector.waitStopped());
    EXPECT_GT(collector.output().bufferBytes.size(), 40u);
    engine.GetStatus(&status);
    EXPECT_EQ(status.fStopped, 1);
}
