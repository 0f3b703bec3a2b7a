// Null backend.
//
// Threads: each open stream has one writer thread (QueuedStream), which alone
// runs the completion callback. Posted requests and writes wake it through
// `wake_`, a condition variable on the stream's `lock_`, which guards the
// queue, the clock and the requests; the writer releases it around every
// callback.
//
// The clock: `played_` frames had been heard at `playedAt_`; from there the
// position runs on at the sample rate times the speed while not paused, up to
// the end of what is queued. A stream that ran dry starts its clock again when
// the next buffer comes. The writer sleeps until the steady-clock time at which
// the first queued buffer's last frame is heard, so waking late never adds up.
#include "engine/NullBackend.h"

#include "engine/QueuedStream.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <deque>

namespace tolvane {

namespace {

using Clock = std::chrono::steady_clock;

// The one device: number 0, which WAVE_MAPPER also opens.
bool isDevice(int32_t deviceNumber) {
    return deviceNumber == WAVE_MAPPER || deviceNumber == 0;
}

bool formatPlayable(const WAVEFORMATEX& f) {
    return f.wFormatTag == WAVE_FORMAT_PCM && (f.wBitsPerSample == 8 || f.wBitsPerSample == 16) &&
           f.nChannels >= 1 && f.nSamplesPerSec > 0 &&
           f.nBlockAlign == f.nChannels * f.wBitsPerSample / 8;
}

class NullStream final : public QueuedStream {
  public:
    NullStream(const WAVEFORMATEX& format, double speed, WaveOutProc callback, uintptr_t instance,
               std::shared_ptr<std::atomic<uint32_t>> deviceVolume)
        : QueuedStream(format.nBlockAlign, callback, instance, deviceVolume->load()),
          framesPerSecond_(format.nSamplesPerSec * speed), deviceVolume_(std::move(deviceVolume)) {}
    ~NullStream() override { endWriter(); }

    // Starts the writer; returns once it has sent WOM_OPEN.
    MMRESULT start() { return startWriter(); }

    MMRESULT position(uint64_t& frames) override;

  private:
    void serve() override;
    void wake() override { wake_.notify_all(); }
    void queueing() override;
    void rememberVolume(uint32_t volume) override { deviceVolume_->store(volume); }

    // Under lock_.
    uint64_t heardAt(Clock::time_point now) const;
    Clock::time_point headEndsAt() const;

    const double framesPerSecond_;
    const std::shared_ptr<std::atomic<uint32_t>> deviceVolume_;

    // Under lock_.
    std::condition_variable wake_; // the writer waits on it
    uint64_t played_ = 0;
    Clock::time_point playedAt_ = Clock::now();
    bool paused_ = false;
    uint64_t resetsDone_ = 0;
};

// Each round carries out the requests, reports what has been heard, confirms
// the round and sleeps until the next buffer ends or something is posted.
void NullStream::serve() {
    std::unique_lock lock(lock_);
    for (;;) {
        const uint64_t seq = requestSeq_;
        const Clock::time_point now = Clock::now();
        std::deque<Entry> done;
        if (resetsDone_ != resetsWanted_) {
            resetsDone_ = resetsWanted_;
            done.swap(queue_);
            queuedEnd_ = 0;
            played_ = 0;
            playedAt_ = now;
        }
        if (paused_ != wantPaused_) {
            played_ = heardAt(now);
            playedAt_ = now;
            paused_ = wantPaused_;
        }
        const uint64_t heard = heardAt(now);
        while (!queue_.empty() && queue_.front().end <= heard) {
            done.push_back(queue_.front());
            queue_.pop_front();
        }
        const bool quit = quit_;
        lock.unlock();
        complete(done);
        lock.lock();
        appliedSeq_ = seq;
        changed_.notify_all();
        if (quit) {
            return;
        }
        const auto posted = [&] { return requestSeq_ != seq; };
        if (paused_ || queue_.empty()) {
            wake_.wait(lock, posted);
        } else {
            wake_.wait_until(lock, headEndsAt(), posted);
        }
    }
}

// A stream that ran dry starts to play the new buffer now, not when the last
// one ended.
void NullStream::queueing() {
    const Clock::time_point now = Clock::now();
    if (heardAt(now) >= queuedEnd_) {
        played_ = queuedEnd_;
        playedAt_ = now;
    }
}

uint64_t NullStream::heardAt(Clock::time_point now) const {
    if (paused_ || queuedEnd_ <= played_) {
        return played_;
    }
    const double elapsed = std::chrono::duration<double>(now - playedAt_).count();
    const double frames = std::clamp(elapsed * framesPerSecond_, 0.0, double(queuedEnd_ - played_));
    return played_ + uint64_t(frames);
}

Clock::time_point NullStream::headEndsAt() const {
    const uint64_t end = queue_.front().end;
    if (end <= played_) {
        return playedAt_;
    }
    const std::chrono::duration<double> span(double(end - played_) / framesPerSecond_);
    return playedAt_ + std::chrono::ceil<Clock::duration>(span);
}

MMRESULT NullStream::position(uint64_t& frames) {
    std::lock_guard guard(lock_);
    if (closed_) {
        return MMSYSERR_INVALHANDLE;
    }
    frames = heardAt(Clock::now());
    return MMSYSERR_NOERROR;
}

} // namespace

NullBackend::NullBackend(double speed)
    : speed_(speed > 0.0 ? speed : 1.0),
      volume_(std::make_shared<std::atomic<uint32_t>>(0xFFFFFFFFu)) {}

MMRESULT NullBackend::listDevices(std::vector<AudioDevice>& devices) {
    AudioDevice device{};
    std::snprintf(device.caps.szPname, sizeof device.caps.szPname, "Null output");
    device.caps.dwFormats = WAVE_FORMAT_STANDARD_MASK;
    device.caps.wChannels = 2;
    device.caps.dwSupport = WAVECAPS_VOLUME | WAVECAPS_LRVOLUME | WAVECAPS_SAMPLEACCURATE;
    device.name = "null";
    device.description = "Plays nothing, paced by the clock";
    devices.assign(1, device);
    return MMSYSERR_NOERROR;
}

MMRESULT NullBackend::open(int32_t deviceNumber, const WAVEFORMATEX& format, WaveOutProc callback,
                           uintptr_t instance, std::shared_ptr<AudioStream>& stream) {
    if (!isDevice(deviceNumber)) {
        return fail(MMSYSERR_BADDEVICEID,
                    "no output device number " + std::to_string(deviceNumber));
    }
    if (!formatPlayable(format)) {
        return fail(WAVERR_BADFORMAT, "only 8- and 16-bit PCM with consistent sizes is played");
    }
    auto opened = std::make_shared<NullStream>(format, speed_, callback, instance, volume_);
    const MMRESULT result = opened->start();
    if (result != MMSYSERR_NOERROR) {
        return fail(result, opened->lastError());
    }
    stream = std::move(opened);
    return MMSYSERR_NOERROR;
}

MMRESULT NullBackend::setDeviceVolume(int32_t deviceNumber, uint32_t volume) {
    if (!isDevice(deviceNumber)) {
        return MMSYSERR_BADDEVICEID;
    }
    volume_->store(volume);
    return MMSYSERR_NOERROR;
}

MMRESULT NullBackend::getDeviceVolume(int32_t deviceNumber, uint32_t& volume) {
    if (!isDevice(deviceNumber)) {
        return MMSYSERR_BADDEVICEID;
    }
    volume = volume_->load();
    return MMSYSERR_NOERROR;
}

} // namespace tolvane
