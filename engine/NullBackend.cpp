// Null backend.
//
// Threads: each open stream has one writer thread, which alone runs the
// completion callback. Callers change the stream's state under `lock_` and
// wake the writer through `wake_`; pause, restart, reset and close then wait
// on `changed_` until the writer has carried the request out.
//
// Locking: `lock_` guards the queue, the clock and the requests. The writer
// releases it around every callback. As in every backend, each header's
// dwFlags is shared through std::atomic_ref: the writer sets WHDR_DONE before
// the callback and clears WHDR_INQUEUE after it, and unprepare() waits for the
// latter.
//
// The clock: `played_` frames had been heard at `playedAt_`; from there the
// position runs on at the sample rate times the speed while not paused, up to
// the end of what is queued. A stream that ran dry starts its clock again when
// the next buffer comes. The writer sleeps until the steady-clock time at which
// the first queued buffer's last frame is heard, so waking late never adds up.
#include "engine/NullBackend.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <deque>
#include <system_error>
#include <thread>

namespace tolvane {

namespace {

using Clock = std::chrono::steady_clock;

// The one device: number 0, which WAVE_MAPPER also opens.
bool isDevice(int32_t deviceNumber) {
    return deviceNumber == WAVE_MAPPER || deviceNumber == 0;
}

std::atomic_ref<uint32_t> flagsOf(WAVEHDR* header) {
    return std::atomic_ref<uint32_t>(header->dwFlags);
}

bool formatPlayable(const WAVEFORMATEX& f) {
    return f.wFormatTag == WAVE_FORMAT_PCM && (f.wBitsPerSample == 8 || f.wBitsPerSample == 16) &&
           f.nChannels >= 1 && f.nSamplesPerSec > 0 &&
           f.nBlockAlign == f.nChannels * f.wBitsPerSample / 8;
}

class NullStream final : public AudioStream {
  public:
    NullStream(const WAVEFORMATEX& format, double speed, WaveOutProc callback, uintptr_t instance,
               std::shared_ptr<std::atomic<uint32_t>> deviceVolume)
        : blockAlign_(format.nBlockAlign), framesPerSecond_(format.nSamplesPerSec * speed),
          callback_(callback), instance_(instance), deviceVolume_(std::move(deviceVolume)),
          volume_(deviceVolume_->load()) {}
    ~NullStream() override;

    // Starts the writer; returns once it has sent WOM_OPEN.
    MMRESULT start();

    MMRESULT prepare(WAVEHDR* header) override;
    MMRESULT unprepare(WAVEHDR* header) override;
    MMRESULT write(WAVEHDR* header) override;
    MMRESULT pause() override;
    MMRESULT restart() override;
    MMRESULT reset() override;
    MMRESULT close() override;
    MMRESULT position(uint64_t& frames) override;
    MMRESULT setVolume(uint32_t volume) override;
    MMRESULT getVolume(uint32_t& volume) override;
    std::string lastError() const override;

  private:
    struct Entry {
        WAVEHDR* header;
        uint64_t end; // one past its last frame, counted from open or the last reset
    };

    // Writer thread.
    void run();
    void serve();
    void complete(std::deque<Entry>& entries);
    void notify(uint32_t message, uintptr_t param);

    // Under lock_.
    uint64_t heardAt(Clock::time_point now) const;
    Clock::time_point headEndsAt() const;

    template <typename Change> MMRESULT request(Change change);
    bool onWriter() const { return std::this_thread::get_id() == writerId_.load(); }

    const uint32_t blockAlign_;
    const double framesPerSecond_;
    const WaveOutProc callback_;
    const uintptr_t instance_;
    const std::shared_ptr<std::atomic<uint32_t>> deviceVolume_;
    std::atomic<uint32_t> volume_;
    std::thread writer_;
    std::atomic<std::thread::id> writerId_;

    mutable std::mutex lock_;
    std::condition_variable wake_;    // the writer waits on it
    std::condition_variable changed_; // callers wait on it
    std::deque<Entry> queue_;         // queued, not yet reported done
    uint64_t queuedEnd_ = 0;
    uint64_t played_ = 0;
    Clock::time_point playedAt_ = Clock::now();
    bool paused_ = false;
    bool wantPaused_ = false;
    uint64_t resetsWanted_ = 0;
    uint64_t resetsDone_ = 0;
    uint64_t seq_ = 0;        // requests and writes posted
    uint64_t appliedSeq_ = 0; // what the writer had seen when it last finished a round
    bool opened_ = false;
    bool closed_ = false;
    bool quit_ = false;
    bool exited_ = false;
    std::string lastError_;
};

NullStream::~NullStream() {
    if (!writer_.joinable()) {
        return;
    }
    {
        std::lock_guard guard(lock_);
        closed_ = true;
        quit_ = true;
        ++resetsWanted_;
        ++seq_;
    }
    wake_.notify_all();
    writer_.join();
}

MMRESULT NullStream::start() {
    try {
        writer_ = std::thread([this] { run(); });
    } catch (const std::system_error& e) {
        std::lock_guard guard(lock_);
        lastError_ = std::string("cannot start the writer thread: ") + e.what();
        return MMSYSERR_NOMEM;
    }
    std::unique_lock lock(lock_);
    changed_.wait(lock, [this] { return opened_; });
    return MMSYSERR_NOERROR;
}

void NullStream::run() {
    writerId_.store(std::this_thread::get_id());
    notify(WOM_OPEN, 0);
    {
        std::lock_guard guard(lock_);
        opened_ = true;
    }
    changed_.notify_all();
    serve();
    notify(WOM_CLOSE, 0);
    writerId_.store(std::thread::id());
    {
        std::lock_guard guard(lock_);
        exited_ = true;
    }
    changed_.notify_all();
}

// Each round carries out the requests, reports what has been heard, confirms
// the round and sleeps until the next buffer ends or something is posted.
void NullStream::serve() {
    std::unique_lock lock(lock_);
    for (;;) {
        const uint64_t seq = seq_;
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
        const auto posted = [&] { return seq_ != seq; };
        if (paused_ || queue_.empty()) {
            wake_.wait(lock, posted);
        } else {
            wake_.wait_until(lock, headEndsAt(), posted);
        }
    }
}

void NullStream::complete(std::deque<Entry>& entries) {
    for (const Entry& e : entries) {
        flagsOf(e.header).fetch_or(WHDR_DONE, std::memory_order_release);
        notify(WOM_DONE, reinterpret_cast<uintptr_t>(e.header));
        {
            std::lock_guard guard(lock_);
            flagsOf(e.header).fetch_and(~WHDR_INQUEUE, std::memory_order_release);
        }
        changed_.notify_all();
    }
    entries.clear();
}

void NullStream::notify(uint32_t message, uintptr_t param) {
    if (callback_ != nullptr) {
        callback_(this, message, instance_, param, 0);
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

template <typename Change> MMRESULT NullStream::request(Change change) {
    if (onWriter()) {
        return MMSYSERR_ERROR;
    }
    std::unique_lock lock(lock_);
    if (closed_) {
        return MMSYSERR_INVALHANDLE;
    }
    change();
    const uint64_t seq = ++seq_;
    wake_.notify_all();
    changed_.wait(lock, [&] { return appliedSeq_ >= seq || exited_; });
    return MMSYSERR_NOERROR;
}

MMRESULT NullStream::prepare(WAVEHDR* header) {
    if (header == nullptr) {
        return MMSYSERR_INVALPARAM;
    }
    std::lock_guard guard(lock_);
    if (closed_) {
        return MMSYSERR_INVALHANDLE;
    }
    flagsOf(header).fetch_or(WHDR_PREPARED);
    return MMSYSERR_NOERROR;
}

MMRESULT NullStream::unprepare(WAVEHDR* header) {
    if (header == nullptr) {
        return MMSYSERR_INVALPARAM;
    }
    std::unique_lock lock(lock_);
    if (closed_) {
        return MMSYSERR_INVALHANDLE;
    }
    const auto flags = flagsOf(header);
    if ((flags.load() & WHDR_INQUEUE) != 0) {
        if ((flags.load() & WHDR_DONE) == 0 || onWriter()) {
            return WAVERR_STILLPLAYING;
        }
        // Done, but its callback may still be reading the header.
        changed_.wait(lock, [&] { return (flags.load() & WHDR_INQUEUE) == 0; });
    }
    flags.fetch_and(~WHDR_PREPARED);
    return MMSYSERR_NOERROR;
}

MMRESULT NullStream::write(WAVEHDR* header) {
    if (header == nullptr) {
        return MMSYSERR_INVALPARAM;
    }
    {
        std::lock_guard guard(lock_);
        if (closed_) {
            return MMSYSERR_INVALHANDLE;
        }
        const auto flags = flagsOf(header);
        const uint32_t current = flags.load();
        if ((current & WHDR_PREPARED) == 0) {
            return WAVERR_UNPREPARED;
        }
        if ((current & WHDR_INQUEUE) != 0) {
            return WAVERR_STILLPLAYING;
        }
        flags.store((current & ~WHDR_DONE) | WHDR_INQUEUE, std::memory_order_release);
        const Clock::time_point now = Clock::now();
        if (heardAt(now) >= queuedEnd_) {
            // Ran dry: this buffer starts to play now, not when the last one ended.
            played_ = queuedEnd_;
            playedAt_ = now;
        }
        queuedEnd_ += header->dwBufferLength / blockAlign_;
        queue_.push_back({header, queuedEnd_});
        ++seq_;
    }
    wake_.notify_all();
    return MMSYSERR_NOERROR;
}

MMRESULT NullStream::pause() {
    return request([this] { wantPaused_ = true; });
}

MMRESULT NullStream::restart() {
    return request([this] { wantPaused_ = false; });
}

MMRESULT NullStream::reset() {
    return request([this] { ++resetsWanted_; });
}

MMRESULT NullStream::close() {
    if (onWriter()) {
        return MMSYSERR_ERROR;
    }
    {
        std::lock_guard guard(lock_);
        if (closed_) {
            return MMSYSERR_INVALHANDLE;
        }
        if (!queue_.empty()) {
            return WAVERR_STILLPLAYING;
        }
        closed_ = true;
        quit_ = true;
        ++seq_;
    }
    wake_.notify_all();
    writer_.join();
    return MMSYSERR_NOERROR;
}

MMRESULT NullStream::position(uint64_t& frames) {
    std::lock_guard guard(lock_);
    if (closed_) {
        return MMSYSERR_INVALHANDLE;
    }
    frames = heardAt(Clock::now());
    return MMSYSERR_NOERROR;
}

MMRESULT NullStream::setVolume(uint32_t volume) {
    std::lock_guard guard(lock_);
    if (closed_) {
        return MMSYSERR_INVALHANDLE;
    }
    volume_.store(volume);
    deviceVolume_->store(volume);
    return MMSYSERR_NOERROR;
}

MMRESULT NullStream::getVolume(uint32_t& volume) {
    std::lock_guard guard(lock_);
    if (closed_) {
        return MMSYSERR_INVALHANDLE;
    }
    volume = volume_.load();
    return MMSYSERR_NOERROR;
}

std::string NullStream::lastError() const {
    std::lock_guard guard(lock_);
    return lastError_;
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

std::string NullBackend::lastError() const {
    std::lock_guard guard(errorLock_);
    return lastError_;
}

MMRESULT NullBackend::fail(MMRESULT code, std::string text) {
    std::lock_guard guard(errorLock_);
    lastError_ = std::move(text);
    return code;
}

} // namespace tolvane
