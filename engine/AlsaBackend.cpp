// ALSA backend.
//
// Threads: each open stream has one writer thread. It alone opens, feeds,
// pauses, drops and closes the PCM, and it alone runs the completion callback.
// Callers (the decoding thread, the application's transport calls) change the
// stream's state under `lock_`, wake the writer through an eventfd, and for
// pause, restart, reset and close wait on `changed_` until the writer confirms.
// The PCM is opened non-blocking and the writer never waits inside ALSA, so a
// caller's request is served within one tick (10 ms) whatever the device does.
//
// Locking: `lock_` guards the queue, the queued/played counters, the requests and
// the error text. The writer holds it only to copy or update those, never while
// it calls ALSA or the callback. Each header's dwFlags is shared through
// std::atomic_ref: the writer sets WHDR_DONE before the callback and clears
// WHDR_INQUEUE after it, and unprepare() waits for the latter.
//
// Positions: frames are counted from open or the last reset. A buffer is done
// once the played count (frames written minus the PCM's delay) has passed its
// last frame. Between two looks at the PCM the reported position runs on at the
// sample rate. While paused the played count is held, since a device that
// drains instead of pausing keeps shrinking its delay.
#include "engine/AlsaBackend.h"

#include <alsa/asoundlib.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

namespace tolvane {

struct DeviceVolumes {
    uint32_t get(int32_t deviceNumber) {
        std::lock_guard guard(lock);
        const auto it = words.find(deviceNumber);
        return it == words.end() ? 0xFFFFFFFFu : it->second;
    }
    void set(int32_t deviceNumber, uint32_t volume) {
        std::lock_guard guard(lock);
        words[deviceNumber] = volume;
    }

    std::mutex lock;
    std::map<int32_t, uint32_t> words;
};

namespace {

// The PCM's own buffer; the engine's ring of buffers sits in front of it.
constexpr unsigned kLatencyUs = 100000;
// How often the writer looks at the PCM while it has buffers in flight. The pulse
// plugin's poll descriptors do not reliably report free space, so it ticks.
constexpr int kTickMs = 10;
constexpr uint32_t kUnityVolume = 0xFFFFFFFFu;
// How far the position may run on from the last look at the PCM.
constexpr auto kMaxExtrapolation = std::chrono::milliseconds(2 * kTickMs);

using Clock = std::chrono::steady_clock;

std::string alsaText(const std::string& what, int err) {
    return what + ": " + snd_strerror(err);
}

struct PcmClose {
    void operator()(snd_pcm_t* pcm) const { snd_pcm_close(pcm); }
};
using PcmHandle = std::unique_ptr<snd_pcm_t, PcmClose>;

struct HintsFree {
    void operator()(void** hints) const { snd_device_name_free_hint(hints); }
};
struct TextFree {
    void operator()(char* text) const { std::free(text); }
};
using HintText = std::unique_ptr<char, TextFree>;

// Result codes for a failed snd_pcm_open.
MMRESULT openResult(int err) {
    switch (-err) {
    case EBUSY:
    case EAGAIN:
        return MMSYSERR_ALLOCATED;
    case ENOMEM:
        return MMSYSERR_NOMEM;
    case ENOENT:
    case ENODEV:
    case ENXIO:
        return MMSYSERR_NODRIVER;
    default:
        return MMSYSERR_ERROR;
    }
}

// ALSA's version as a driver version: major in the high byte, minor in the low.
uint32_t driverVersion() {
    unsigned major = 0;
    unsigned minor = 0;
    if (std::sscanf(snd_asoundlib_version(), "%u.%u", &major, &minor) != 2) {
        return 0;
    }
    return (major & 0xFF) << 8 | (minor & 0xFF);
}

void copyName(char (&to)[32], const char* from) {
    const size_t n = std::min(std::strlen(from), sizeof to - 1);
    std::memcpy(to, from, n);
    to[n] = '\0';
}

bool formatPlayable(const WAVEFORMATEX& f) {
    return f.wFormatTag == WAVE_FORMAT_PCM && (f.wBitsPerSample == 8 || f.wBitsPerSample == 16) &&
           f.nChannels >= 1 && f.nChannels <= 8 && f.nSamplesPerSec > 0 &&
           f.nBlockAlign == f.nChannels * f.wBitsPerSample / 8 &&
           f.nAvgBytesPerSec == f.nSamplesPerSec * f.nBlockAlign;
}

std::atomic_ref<uint32_t> flagsOf(WAVEHDR* header) {
    return std::atomic_ref<uint32_t>(header->dwFlags);
}

class AlsaStream final : public AudioStream {
  public:
    AlsaStream(int32_t deviceNumber, std::string pcmName, const WAVEFORMATEX& format,
               WaveOutProc callback, uintptr_t instance, std::shared_ptr<DeviceVolumes> volumes,
               bool usePcmPause)
        : deviceNumber_(deviceNumber), pcmName_(std::move(pcmName)), format_(format),
          callback_(callback), instance_(instance), volumes_(std::move(volumes)),
          usePcmPause_(usePcmPause), volume_(volumes_->get(deviceNumber)) {}
    ~AlsaStream() override;

    // Starts the writer and returns the result of opening the PCM.
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
        uint64_t begin; // first frame, counted from open or the last reset
        uint64_t end;   // one past the last frame
    };

    // Writer thread.
    void run();
    MMRESULT openDevice();
    void serve();
    void applyReset();
    void applyPause();
    void applyRestart();
    void dropKeepingPending();
    void writeQueued();
    void updatePlayed();
    void reportPlayed();
    void waitForWork();
    bool recover(int err, const char* what);
    void failDevice(const std::string& text);
    void complete(std::deque<Entry>& entries);
    const void* withGain(const char* data, size_t frames);
    void notify(uint32_t message, uintptr_t param);

    // Any thread.
    template <typename Change> MMRESULT request(Change change);
    bool onWriter() const { return std::this_thread::get_id() == writerId_.load(); }
    bool hasFailed() const {
        std::lock_guard guard(lock_);
        return failed_;
    }
    void wake();
    void setError(const std::string& text);

    const int32_t deviceNumber_;
    const std::string pcmName_;
    const WAVEFORMATEX format_;
    const WaveOutProc callback_;
    const uintptr_t instance_;
    const std::shared_ptr<DeviceVolumes> volumes_;
    const bool usePcmPause_;
    std::atomic<uint32_t> volume_;
    std::thread writer_;
    std::atomic<std::thread::id> writerId_; // the writer's id while it runs
    int wakeFd_ = -1;

    mutable std::mutex lock_;
    std::condition_variable changed_;
    std::deque<Entry> queue_; // queued, not yet reported done
    uint64_t queuedEnd_ = 0;  // frames queued since open or reset
    uint64_t played_ = 0;     // frames heard since open or reset, at playedAt_
    Clock::time_point playedAt_;
    uint64_t playedLimit_ = 0; // frames written at playedAt_
    bool advancing_ = false;   // the PCM was running at playedAt_
    uint64_t reported_ = 0;    // the highest position handed out
    uint64_t requestSeq_ = 0;  // requests posted
    uint64_t appliedSeq_ = 0;  // requests the writer has carried out
    uint64_t resetsWanted_ = 0;
    bool wantPaused_ = false;
    bool quit_ = false;
    bool closed_ = false;
    bool opened_ = false; // the open result is known
    bool exited_ = false;
    bool failed_ = false; // the device failed; nothing more plays
    MMRESULT openResult_ = MMSYSERR_NOERROR;
    std::string lastError_;

    // Writer only.
    PcmHandle pcm_;
    uint64_t written_ = 0; // frames handed to the PCM since open or reset
    uint64_t resetsDone_ = 0;
    bool paused_ = false;
    bool pcmPaused_ = false; // snd_pcm_pause is in effect
    bool canPause_ = false;
    snd_pcm_uframes_t bufferFrames_ = 0;
    snd_pcm_uframes_t chunkFrames_ = 0;
    std::vector<char> scratch_;
    std::deque<Entry> finished_;
};

AlsaStream::~AlsaStream() {
    if (writer_.joinable()) {
        {
            std::lock_guard guard(lock_);
            closed_ = true;
            quit_ = true;
            ++resetsWanted_;
            ++requestSeq_;
        }
        wake();
        writer_.join();
    }
    if (wakeFd_ >= 0) {
        ::close(wakeFd_);
    }
}

MMRESULT AlsaStream::start() {
    wakeFd_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (wakeFd_ < 0) {
        setError(std::string("eventfd: ") + std::strerror(errno));
        return MMSYSERR_NOMEM;
    }
    try {
        writer_ = std::thread([this] { run(); });
    } catch (const std::system_error& e) {
        setError(std::string("cannot start the writer thread: ") + e.what());
        return MMSYSERR_NOMEM;
    }
    std::unique_lock lock(lock_);
    changed_.wait(lock, [this] { return opened_; });
    if (openResult_ != MMSYSERR_NOERROR) {
        lock.unlock();
        writer_.join();
    }
    return openResult_;
}

void AlsaStream::run() {
    writerId_.store(std::this_thread::get_id());
    const MMRESULT result = openDevice();
    if (result == MMSYSERR_NOERROR) {
        notify(WOM_OPEN, 0);
    } else {
        pcm_.reset();
    }
    {
        std::lock_guard guard(lock_);
        openResult_ = result;
        opened_ = true;
    }
    changed_.notify_all();
    if (result != MMSYSERR_NOERROR) {
        writerId_.store(std::thread::id());
        return;
    }
    serve();
    pcm_.reset(); // snd_pcm_close drops what is still in the PCM
    notify(WOM_CLOSE, 0);
    writerId_.store(std::thread::id());
    {
        std::lock_guard guard(lock_);
        exited_ = true;
    }
    changed_.notify_all();
}

MMRESULT AlsaStream::openDevice() {
    snd_pcm_t* raw = nullptr;
    int err = snd_pcm_open(&raw, pcmName_.c_str(), SND_PCM_STREAM_PLAYBACK, SND_PCM_NONBLOCK);
    if (err < 0) {
        setError(alsaText("snd_pcm_open(" + pcmName_ + ")", err));
        return openResult(err);
    }
    pcm_.reset(raw);
    const snd_pcm_format_t sampleFormat =
        format_.wBitsPerSample == 8 ? SND_PCM_FORMAT_U8 : SND_PCM_FORMAT_S16_LE;
    err = snd_pcm_set_params(raw, sampleFormat, SND_PCM_ACCESS_RW_INTERLEAVED, format_.nChannels,
                             format_.nSamplesPerSec, 1, kLatencyUs);
    if (err < 0) {
        setError(alsaText("snd_pcm_set_params(" + pcmName_ + ")", err));
        return err == -EINVAL ? WAVERR_BADFORMAT : MMSYSERR_ERROR;
    }
    snd_pcm_uframes_t bufferFrames = 0;
    snd_pcm_uframes_t periodFrames = 0;
    if ((err = snd_pcm_get_params(raw, &bufferFrames, &periodFrames)) < 0) {
        setError(alsaText("snd_pcm_get_params", err));
        return MMSYSERR_ERROR;
    }
    snd_pcm_hw_params_t* hw = nullptr;
    snd_pcm_hw_params_alloca(&hw);
    canPause_ = usePcmPause_ && snd_pcm_hw_params_current(raw, hw) == 0 &&
                snd_pcm_hw_params_can_pause(hw) == 1;
    // Start as soon as anything is written: the last buffer of a stream may be
    // shorter than the default threshold of a full PCM buffer.
    snd_pcm_sw_params_t* sw = nullptr;
    snd_pcm_sw_params_alloca(&sw);
    if ((err = snd_pcm_sw_params_current(raw, sw)) < 0 ||
        (err = snd_pcm_sw_params_set_start_threshold(raw, sw, 1)) < 0 ||
        (err = snd_pcm_sw_params(raw, sw)) < 0) {
        setError(alsaText("snd_pcm_sw_params", err));
        return MMSYSERR_ERROR;
    }
    bufferFrames_ = bufferFrames;
    chunkFrames_ = std::max<snd_pcm_uframes_t>(bufferFrames, 1);
    scratch_.resize(chunkFrames_ * format_.nBlockAlign);
    return MMSYSERR_NOERROR;
}

void AlsaStream::serve() {
    for (;;) {
        uint64_t seq = 0;
        bool reset = false;
        bool wantPaused = false;
        bool quit = false;
        {
            std::lock_guard guard(lock_);
            seq = requestSeq_;
            reset = resetsWanted_ != resetsDone_;
            resetsDone_ = resetsWanted_;
            wantPaused = wantPaused_;
            quit = quit_;
        }
        if (reset) {
            applyReset();
        }
        const bool failed = hasFailed();
        if (failed) {
            paused_ = wantPaused;
        } else if (wantPaused && !paused_) {
            applyPause();
        } else if (!wantPaused && paused_) {
            applyRestart();
        }
        {
            std::lock_guard guard(lock_);
            appliedSeq_ = seq;
        }
        changed_.notify_all();
        if (quit) {
            return;
        }
        if (!paused_ && !failed) {
            writeQueued();
            updatePlayed();
        }
        reportPlayed();
        waitForWork();
    }
}

void AlsaStream::applyReset() {
    if (!hasFailed()) {
        int err = snd_pcm_drop(pcm_.get());
        if (err >= 0) {
            err = snd_pcm_prepare(pcm_.get());
        }
        if (err < 0) {
            failDevice(alsaText("reset", err));
        }
    }
    pcmPaused_ = false;
    written_ = 0;
    std::deque<Entry> dropped;
    {
        std::lock_guard guard(lock_);
        dropped.swap(queue_);
        queuedEnd_ = 0;
        played_ = 0;
        reported_ = 0;
        advancing_ = false;
    }
    complete(dropped);
}

void AlsaStream::applyPause() {
    paused_ = true;
    updatePlayed();
    if (snd_pcm_state(pcm_.get()) != SND_PCM_STATE_RUNNING) {
        return;
    }
    if (canPause_) {
        const int err = snd_pcm_pause(pcm_.get(), 1);
        if (err == 0) {
            pcmPaused_ = true;
            return;
        }
        setError(alsaText("snd_pcm_pause", err));
    }
    dropKeepingPending();
}

void AlsaStream::applyRestart() {
    paused_ = false;
    if (!pcmPaused_) {
        return;
    }
    pcmPaused_ = false;
    const int err = snd_pcm_pause(pcm_.get(), 0);
    if (err < 0) {
        setError(alsaText("snd_pcm_pause", err));
        dropKeepingPending();
    }
}

// Stops the PCM at once and rewinds the write position to what has been heard,
// so the frames the PCM dropped are written again after restart.
void AlsaStream::dropKeepingPending() {
    int err = snd_pcm_drop(pcm_.get());
    if (err >= 0) {
        err = snd_pcm_prepare(pcm_.get());
    }
    if (err < 0) {
        failDevice(alsaText("snd_pcm_drop", err));
        return;
    }
    std::lock_guard guard(lock_);
    written_ = played_;
}

void AlsaStream::writeQueued() {
    for (int recoveries = 0; recoveries < 3;) {
        const snd_pcm_sframes_t avail = snd_pcm_avail(pcm_.get());
        if (avail < 0) {
            if (!recover(int(avail), "snd_pcm_avail")) {
                return;
            }
            ++recoveries;
            continue;
        }
        const char* data = nullptr;
        size_t frames = 0;
        {
            std::lock_guard guard(lock_);
            if (failed_) {
                return;
            }
            for (const Entry& e : queue_) {
                if (e.end > written_) {
                    data = e.header->lpData + (written_ - e.begin) * format_.nBlockAlign;
                    frames = std::min<uint64_t>({e.end - written_, uint64_t(avail), chunkFrames_});
                    break;
                }
            }
        }
        if (frames == 0) {
            return;
        }
        const snd_pcm_sframes_t n = snd_pcm_writei(pcm_.get(), withGain(data, frames), frames);
        if (n == -EAGAIN) {
            return;
        }
        if (n < 0) {
            if (!recover(int(n), "snd_pcm_writei")) {
                return;
            }
            ++recoveries;
            continue;
        }
        written_ += uint64_t(n);
    }
}

void AlsaStream::updatePlayed() {
    snd_pcm_sframes_t delay = 0;
    const int err = snd_pcm_delay(pcm_.get(), &delay);
    if (err == -EPIPE || err == -ESTRPIPE) {
        recover(err, "snd_pcm_delay");
        return;
    }
    const bool measured = err >= 0;
    if (err < 0) {
        // The pulse plugin has no timing information just after it starts or
        // underruns; the data still in the PCM's buffer is the next best measure.
        const snd_pcm_sframes_t avail = snd_pcm_avail(pcm_.get());
        if (avail < 0) {
            recover(int(avail), "snd_pcm_avail");
            return;
        }
        delay =
            snd_pcm_sframes_t(bufferFrames_ - std::min(snd_pcm_uframes_t(avail), bufferFrames_));
    }
    const uint64_t inDevice = delay > 0 ? std::min<uint64_t>(uint64_t(delay), written_) : 0;
    const bool running = snd_pcm_state(pcm_.get()) == SND_PCM_STATE_RUNNING;
    std::lock_guard guard(lock_);
    played_ = std::max(played_, written_ - inDevice);
    playedAt_ = Clock::now();
    playedLimit_ = written_;
    advancing_ = measured && running && !paused_;
}

void AlsaStream::reportPlayed() {
    {
        std::lock_guard guard(lock_);
        while (!queue_.empty() && queue_.front().end <= played_) {
            finished_.push_back(queue_.front());
            queue_.pop_front();
        }
    }
    complete(finished_);
}

void AlsaStream::waitForWork() {
    bool busy = false;
    {
        std::lock_guard guard(lock_);
        busy = !paused_ && !failed_ && !queue_.empty();
    }
    pollfd fd{wakeFd_, POLLIN, 0};
    if (poll(&fd, 1, busy ? kTickMs : -1) > 0) {
        uint64_t count = 0;
        [[maybe_unused]] const ssize_t ignored = ::read(wakeFd_, &count, sizeof count);
    }
}

// Handles an underrun or suspend; false (and the stream failed) for anything else.
bool AlsaStream::recover(int err, const char* what) {
    if (err == -EPIPE) {
        // An underrun: everything written has been played.
        std::lock_guard guard(lock_);
        played_ = std::max(played_, written_);
        advancing_ = false;
    }
    const int result = snd_pcm_recover(pcm_.get(), err, 1);
    if (result < 0) {
        failDevice(alsaText(what, err));
        return false;
    }
    return true;
}

// The device cannot play any more: report every queued buffer done so nobody
// waits for it, and refuse further writes.
void AlsaStream::failDevice(const std::string& text) {
    setError(text);
    std::deque<Entry> dropped;
    {
        std::lock_guard guard(lock_);
        failed_ = true;
        dropped.swap(queue_);
    }
    complete(dropped);
}

void AlsaStream::complete(std::deque<Entry>& entries) {
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

// The frames scaled by the stream's volume (left word for every channel but the
// second, right word for that), or the frames themselves at full volume.
const void* AlsaStream::withGain(const char* data, size_t frames) {
    const uint32_t volume = volume_.load(std::memory_order_relaxed);
    if (volume == kUnityVolume) {
        return data;
    }
    const uint32_t left = volume & 0xFFFF;
    const uint32_t right = volume >> 16;
    const int32_t gains[2] = {int32_t(left + (left >> 15)), int32_t(right + (right >> 15))};
    const size_t channels = format_.nChannels;
    char* out = scratch_.data();
    for (size_t i = 0; i < frames * channels; ++i) {
        const int32_t gain = gains[i % channels == 1 ? 1 : 0];
        if (format_.wBitsPerSample == 8) {
            const int32_t centred = int32_t(uint8_t(data[i])) - 128;
            out[i] = char(uint8_t(((centred * gain + 32768) >> 16) + 128));
        } else {
            int16_t sample = 0;
            std::memcpy(&sample, data + 2 * i, 2);
            sample = int16_t((sample * gain + 32768) >> 16);
            std::memcpy(out + 2 * i, &sample, 2);
        }
    }
    return out;
}

void AlsaStream::notify(uint32_t message, uintptr_t param) {
    if (callback_ != nullptr) {
        callback_(this, message, instance_, param, 0);
    }
}

template <typename Change> MMRESULT AlsaStream::request(Change change) {
    if (onWriter()) {
        return MMSYSERR_ERROR;
    }
    uint64_t seq = 0;
    {
        std::lock_guard guard(lock_);
        if (closed_) {
            return MMSYSERR_INVALHANDLE;
        }
        change();
        seq = ++requestSeq_;
    }
    wake();
    std::unique_lock lock(lock_);
    changed_.wait(lock, [&] { return appliedSeq_ >= seq || exited_; });
    return MMSYSERR_NOERROR;
}

void AlsaStream::wake() {
    const uint64_t one = 1;
    [[maybe_unused]] const ssize_t ignored = ::write(wakeFd_, &one, sizeof one);
}

void AlsaStream::setError(const std::string& text) {
    std::lock_guard guard(lock_);
    lastError_ = text;
}

MMRESULT AlsaStream::prepare(WAVEHDR* header) {
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

MMRESULT AlsaStream::unprepare(WAVEHDR* header) {
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

MMRESULT AlsaStream::write(WAVEHDR* header) {
    if (header == nullptr) {
        return MMSYSERR_INVALPARAM;
    }
    {
        std::lock_guard guard(lock_);
        if (closed_) {
            return MMSYSERR_INVALHANDLE;
        }
        if (failed_) {
            return MMSYSERR_NODRIVER;
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
        const uint64_t frames = header->dwBufferLength / format_.nBlockAlign;
        queue_.push_back({header, queuedEnd_, queuedEnd_ + frames});
        queuedEnd_ += frames;
    }
    wake();
    return MMSYSERR_NOERROR;
}

MMRESULT AlsaStream::pause() {
    return request([this] { wantPaused_ = true; });
}

MMRESULT AlsaStream::restart() {
    return request([this] { wantPaused_ = false; });
}

MMRESULT AlsaStream::reset() {
    return request([this] { ++resetsWanted_; });
}

MMRESULT AlsaStream::close() {
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
        ++requestSeq_;
    }
    wake();
    writer_.join();
    return MMSYSERR_NOERROR;
}

MMRESULT AlsaStream::position(uint64_t& frames) {
    std::lock_guard guard(lock_);
    if (closed_) {
        return MMSYSERR_INVALHANDLE;
    }
    // Between two looks at the PCM the position runs on at the sample rate, never
    // past what was written and never backwards.
    uint64_t estimate = played_;
    if (advancing_) {
        const auto elapsed = std::min<Clock::duration>(Clock::now() - playedAt_, kMaxExtrapolation);
        const auto extra =
            uint64_t(std::chrono::duration<double>(elapsed).count() * format_.nSamplesPerSec);
        estimate += std::min(extra, playedLimit_ - played_);
    }
    reported_ = std::max(reported_, estimate);
    frames = reported_;
    return MMSYSERR_NOERROR;
}

MMRESULT AlsaStream::setVolume(uint32_t volume) {
    {
        std::lock_guard guard(lock_);
        if (closed_) {
            return MMSYSERR_INVALHANDLE;
        }
    }
    volume_.store(volume, std::memory_order_relaxed);
    volumes_->set(deviceNumber_, volume);
    return MMSYSERR_NOERROR;
}

MMRESULT AlsaStream::getVolume(uint32_t& volume) {
    std::lock_guard guard(lock_);
    if (closed_) {
        return MMSYSERR_INVALHANDLE;
    }
    volume = volume_.load(std::memory_order_relaxed);
    return MMSYSERR_NOERROR;
}

std::string AlsaStream::lastError() const {
    std::lock_guard guard(lock_);
    return lastError_;
}

} // namespace

std::shared_ptr<AlsaBackend> AlsaBackend::instance() {
    static const std::shared_ptr<AlsaBackend> shared = std::make_shared<AlsaBackend>();
    return shared;
}

AlsaBackend::AlsaBackend(bool usePcmPause)
    : volumes_(std::make_shared<DeviceVolumes>()), usePcmPause_(usePcmPause) {}

// The records describe what this backend feeds any PCM (ALSA converts where the
// device needs it): the standard 8- and 16-bit formats, two channels, and a
// separate volume for left and right. ALSA names no maker or product.
MMRESULT AlsaBackend::listDevices(std::vector<AudioDevice>& devices) {
    devices.clear();
    void** hints = nullptr;
    const int err = snd_device_name_hint(-1, "pcm", &hints);
    if (err < 0) {
        return fail(MMSYSERR_NODRIVER, alsaText("snd_device_name_hint", err));
    }
    const std::unique_ptr<void*, HintsFree> release(hints);
    const uint32_t version = driverVersion();
    for (void** hint = hints; *hint != nullptr; ++hint) {
        const HintText name(snd_device_name_get_hint(*hint, "NAME"));
        const HintText direction(snd_device_name_get_hint(*hint, "IOID"));
        if (!name || (direction && std::strcmp(direction.get(), "Output") != 0)) {
            continue;
        }
        const HintText description(snd_device_name_get_hint(*hint, "DESC"));
        AudioDevice device{};
        device.caps.vDriverVersion = version;
        copyName(device.caps.szPname, name.get());
        device.caps.dwFormats = WAVE_FORMAT_STANDARD_MASK;
        device.caps.wChannels = 2;
        device.caps.dwSupport = WAVECAPS_VOLUME | WAVECAPS_LRVOLUME | WAVECAPS_SAMPLEACCURATE;
        device.name = name.get();
        device.description = description ? description.get() : "";
        std::replace(device.description.begin(), device.description.end(), '\n', ' ');
        devices.push_back(std::move(device));
    }
    return MMSYSERR_NOERROR;
}

MMRESULT AlsaBackend::open(int32_t deviceNumber, const WAVEFORMATEX& format, WaveOutProc callback,
                           uintptr_t instance, std::shared_ptr<AudioStream>& stream) {
    if (!formatPlayable(format)) {
        return fail(WAVERR_BADFORMAT, "only 8- and 16-bit PCM with consistent sizes is played");
    }
    std::string pcmName;
    const MMRESULT resolved = resolve(deviceNumber, pcmName);
    if (resolved != MMSYSERR_NOERROR) {
        return resolved;
    }
    auto opened = std::make_shared<AlsaStream>(deviceNumber, pcmName, format, callback, instance,
                                               volumes_, usePcmPause_);
    const MMRESULT result = opened->start();
    if (result != MMSYSERR_NOERROR) {
        return fail(result, opened->lastError());
    }
    stream = std::move(opened);
    return MMSYSERR_NOERROR;
}

MMRESULT AlsaBackend::setDeviceVolume(int32_t deviceNumber, uint32_t volume) {
    std::string ignored;
    const MMRESULT resolved = resolve(deviceNumber, ignored);
    if (resolved == MMSYSERR_NOERROR) {
        volumes_->set(deviceNumber, volume);
    }
    return resolved;
}

MMRESULT AlsaBackend::getDeviceVolume(int32_t deviceNumber, uint32_t& volume) {
    std::string ignored;
    const MMRESULT resolved = resolve(deviceNumber, ignored);
    if (resolved == MMSYSERR_NOERROR) {
        volume = volumes_->get(deviceNumber);
    }
    return resolved;
}

std::string AlsaBackend::lastError() const {
    std::lock_guard guard(errorLock_);
    return lastError_;
}

MMRESULT AlsaBackend::resolve(int32_t deviceNumber, std::string& pcmName) {
    if (deviceNumber == WAVE_MAPPER) {
        pcmName = "default";
        return MMSYSERR_NOERROR;
    }
    std::vector<AudioDevice> devices;
    const MMRESULT listed = listDevices(devices);
    if (listed != MMSYSERR_NOERROR) {
        return listed;
    }
    if (deviceNumber < 0 || size_t(deviceNumber) >= devices.size()) {
        return fail(MMSYSERR_BADDEVICEID,
                    "no output device number " + std::to_string(deviceNumber));
    }
    pcmName = devices[size_t(deviceNumber)].name;
    return MMSYSERR_NOERROR;
}

MMRESULT AlsaBackend::fail(MMRESULT code, std::string text) {
    std::lock_guard guard(errorLock_);
    lastError_ = std::move(text);
    return code;
}

} // namespace tolvane
