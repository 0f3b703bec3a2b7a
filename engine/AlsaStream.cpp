// A stream of the ALSA backend.
//
// Threads: each open stream has one writer thread (QueuedStream). It alone
// opens, feeds, pauses, drops and closes the PCM, and it alone runs the
// completion callback. Callers (the decoding thread, the application's
// transport calls) post their requests under `lock_` and wake the writer
// through an eventfd. The PCM is opened non-blocking and the writer never
// waits inside ALSA, so a caller's request is served within one tick (10 ms)
// whatever the device does.
//
// Locking: `lock_` guards the queue, the queued/played counters, the requests
// and the error text. The writer holds it only to copy or update those, never
// while it calls ALSA or the callback.
//
// Positions: frames are counted from open or the last reset. A buffer is done
// once the played count (frames written minus the PCM's delay) has passed its
// last frame. Between two looks at the PCM the reported position runs on at the
// sample rate. While paused the played count is held, since a device that
// drains instead of pausing keeps shrinking its delay.
#include "engine/AlsaStream.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace tolvane {

namespace {

using Clock = std::chrono::steady_clock;

// The PCM's own buffer; the engine's ring of buffers sits in front of it.
constexpr unsigned kLatencyUs = 100000;
// How often the writer looks at the PCM while it has buffers in flight. The pulse
// plugin's poll descriptors do not reliably report free space, so it ticks.
constexpr int kTickMs = 10;
constexpr uint32_t kUnityVolume = 0xFFFFFFFFu;
// How far the position may run on from the last look at the PCM.
constexpr auto kMaxExtrapolation = std::chrono::milliseconds(2 * kTickMs);

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

} // namespace

AlsaStream::~AlsaStream() {
    endWriter();
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
    return startWriter();
}

MMRESULT AlsaStream::openOutput() {
    const MMRESULT result = openDevice();
    if (result != MMSYSERR_NOERROR) {
        pcm_.reset();
    }
    return result;
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

// The frames scaled by the stream's volume (left word for every channel but the
// second, right word for that), or the frames themselves at full volume.
const void* AlsaStream::withGain(const char* data, size_t frames) {
    const uint32_t volume = currentVolume();
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

void AlsaStream::wake() {
    const uint64_t one = 1;
    [[maybe_unused]] const ssize_t ignored = ::write(wakeFd_, &one, sizeof one);
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

} // namespace tolvane
