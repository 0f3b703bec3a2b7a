// The clock-paced null backend: the clock at the chosen multiple of real time,
// done reports in queue order and never before their frames have been heard,
// pause holding the position, reset dropping the queue in order while keeping
// the pause.
#include "engine/NullBackend.h"

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

namespace tolvane {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

constexpr uint32_t kRate = 8000; // mono 16-bit: 8000 frames a second

// What the writer reported: WOM_* messages, with the buffer's index and the
// stream's position at the time for WOM_DONE.
struct Report {
    uint32_t message;
    uintptr_t index;
    uint64_t position;
    bool done;
    std::thread::id thread;
};

class Recorder {
  public:
    static void callback(HWAVEOUT stream, uint32_t message, uintptr_t instance, uintptr_t param,
                         uintptr_t) {
        auto* self = reinterpret_cast<Recorder*>(instance);
        Report report{message, 0, 0, false, std::this_thread::get_id()};
        if (message == WOM_DONE) {
            std::this_thread::sleep_for(self->slowness.load());
            auto* header = reinterpret_cast<WAVEHDR*>(param);
            report.index = header->dwUser;
            report.done =
                (std::atomic_ref<uint32_t>(header->dwFlags).load() & WHDR_DONE) == WHDR_DONE;
            stream->position(report.position);
        }
        std::lock_guard lock(self->mutex_);
        self->reports_.push_back(report);
        self->changed_.notify_all();
    }

    // How long each done report takes.
    std::atomic<std::chrono::milliseconds> slowness{0ms};

    std::vector<Report> reports() {
        std::lock_guard lock(mutex_);
        return reports_;
    }
    size_t dones() {
        std::lock_guard lock(mutex_);
        return doneCount();
    }
    // Waits (at most 20 s) until `count` buffers have been reported done.
    bool waitDones(size_t count) {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, 20s, [&] { return doneCount() >= count; });
    }

  private:
    size_t doneCount() const {
        size_t n = 0;
        for (const Report& r : reports_) {
            n += r.message == WOM_DONE ? 1 : 0;
        }
        return n;
    }

    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<Report> reports_;
};

class NullBackendTest : public ::testing::Test {
  protected:
    void open(double speed) {
        backend_ = std::make_shared<NullBackend>(speed);
        WAVEFORMATEX format{WAVE_FORMAT_PCM, 1, kRate, 2 * kRate, 2, 16, 0};
        ASSERT_EQ(backend_->open(WAVE_MAPPER, format, &Recorder::callback,
                                 reinterpret_cast<uintptr_t>(&recorder_), stream_),
                  MMSYSERR_NOERROR);
    }
    // Queues buffer `index` of `ms` milliseconds.
    void queue(size_t index, uint32_t ms) {
        WAVEHDR& header = headers_.at(index);
        samples_.at(index).assign(kRate * ms / 1000, 0);
        header = WAVEHDR{};
        header.lpData = reinterpret_cast<char*>(samples_[index].data());
        header.dwBufferLength = uint32_t(samples_[index].size() * 2);
        header.dwUser = index;
        ASSERT_EQ(stream_->prepare(&header), MMSYSERR_NOERROR);
        ASSERT_EQ(stream_->write(&header), MMSYSERR_NOERROR);
    }
    uint64_t position() {
        uint64_t frames = 0;
        EXPECT_EQ(stream_->position(frames), MMSYSERR_NOERROR);
        return frames;
    }
    std::vector<uintptr_t> doneOrder() {
        std::vector<uintptr_t> order;
        for (const Report& r : recorder_.reports()) {
            if (r.message == WOM_DONE) {
                order.push_back(r.index);
            }
        }
        return order;
    }

    Recorder recorder_;
    std::shared_ptr<NullBackend> backend_;
    std::shared_ptr<AudioStream> stream_;
    std::vector<std::vector<int16_t>> samples_ = std::vector<std::vector<int16_t>>(8);
    std::vector<WAVEHDR> headers_ = std::vector<WAVEHDR>(8);
};

// Two seconds of sound at eight times real time: the position follows the
// clock, never ahead of it and never back, and each buffer is reported once its
// last frame has been heard.
TEST_F(NullBackendTest, ReportsEachBufferInQueueOrderOnceTheClockHasPlayedIt) {
    open(8.0);
    const Clock::time_point start = Clock::now();
    for (size_t i = 0; i < 5; ++i) {
        queue(i, 400);
    }
    uint64_t frames = 0;
    while (recorder_.dones() < 5 && Clock::now() - start < 20s) {
        const uint64_t now = position();
        const double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
        EXPECT_LE(double(now), elapsed * kRate * 8.0 + 1.0) << "ahead of the clock";
        EXPECT_GE(now, frames) << "the position went back";
        frames = now;
        std::this_thread::sleep_for(5ms);
    }
    const Clock::duration took = Clock::now() - start;
    EXPECT_GE(took, 250ms);
    EXPECT_LT(took, 1500ms) << "not faster than real time";
    EXPECT_EQ(position(), 2u * kRate);
    EXPECT_EQ(stream_->close(), MMSYSERR_NOERROR);

    const std::vector<Report> reports = recorder_.reports();
    ASSERT_EQ(reports.size(), 7u);
    EXPECT_EQ(reports.front().message, WOM_OPEN);
    EXPECT_EQ(reports.back().message, WOM_CLOSE);
    EXPECT_EQ(doneOrder(), (std::vector<uintptr_t>{0, 1, 2, 3, 4}));
    for (size_t i = 1; i <= 5; ++i) {
        EXPECT_TRUE(reports[i].done) << "WHDR_DONE is set before the callback";
        EXPECT_GE(reports[i].position, i * 2 * kRate / 5) << "reported before it was heard";
    }
    for (const Report& r : reports) {
        EXPECT_NE(r.thread, std::this_thread::get_id());
    }
    EXPECT_EQ(stream_->close(), MMSYSERR_INVALHANDLE);
    EXPECT_EQ(stream_->position(frames), MMSYSERR_INVALHANDLE);
}

TEST_F(NullBackendTest, PauseHoldsThePositionAndRestartGoesOnFromIt) {
    open(1.0);
    queue(0, 2000);
    const Clock::time_point start = Clock::now();
    while (position() == 0 && Clock::now() - start < 10s) {
        std::this_thread::sleep_for(1ms);
    }
    ASSERT_EQ(stream_->pause(), MMSYSERR_NOERROR);
    const uint64_t held = position();
    std::this_thread::sleep_for(200ms);
    EXPECT_EQ(position(), held);
    // Written while paused, it waits too.
    queue(1, 10);
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(position(), held);
    EXPECT_EQ(recorder_.dones(), 0u);

    ASSERT_EQ(stream_->restart(), MMSYSERR_NOERROR);
    EXPECT_EQ(stream_->restart(), MMSYSERR_NOERROR) << "nothing when not paused";
    const Clock::time_point resumed = Clock::now();
    while (position() == held && Clock::now() - resumed < 10s) {
        std::this_thread::sleep_for(1ms);
    }
    EXPECT_GT(position(), held);
    // Within 100 ms of where it was held, not the 300 ms of the pause further on.
    EXPECT_LT(position(), held + kRate / 10) << "it went on from where it was held";
    ASSERT_EQ(stream_->reset(), MMSYSERR_NOERROR);
    EXPECT_EQ(stream_->close(), MMSYSERR_NOERROR);
}

TEST_F(NullBackendTest, ResetReportsTheQueueInOrderBeforeItReturnsAndKeepsThePause) {
    open(1.0);
    for (size_t i = 0; i < 4; ++i) {
        queue(i, 1000);
    }
    EXPECT_EQ(stream_->unprepare(&headers_[2]), WAVERR_STILLPLAYING);
    EXPECT_EQ(stream_->close(), WAVERR_STILLPLAYING);
    ASSERT_EQ(stream_->pause(), MMSYSERR_NOERROR);
    recorder_.slowness = 10ms;
    ASSERT_EQ(stream_->reset(), MMSYSERR_NOERROR);
    EXPECT_EQ(doneOrder(), (std::vector<uintptr_t>{0, 1, 2, 3}));
    EXPECT_EQ(position(), 0u);
    for (size_t i = 0; i < 4; ++i) {
        EXPECT_EQ(stream_->unprepare(&headers_[i]), MMSYSERR_NOERROR);
    }

    // Still paused: a new buffer waits until restart.
    queue(4, 20);
    std::this_thread::sleep_for(60ms);
    EXPECT_EQ(position(), 0u);
    EXPECT_EQ(recorder_.dones(), 4u);
    ASSERT_EQ(stream_->restart(), MMSYSERR_NOERROR);
    ASSERT_TRUE(recorder_.waitDones(5));
    EXPECT_EQ(position(), kRate / 50);
    EXPECT_EQ(stream_->close(), MMSYSERR_NOERROR);
    EXPECT_EQ(recorder_.reports().back().message, WOM_CLOSE);
}

} // namespace
} // namespace tolvane
