// The decoding thread: one run per Play or PlayLoop turns the open stream into
// 16-bit stereo PCM and keeps the wave-output ring fed.
//
// Threads and locks. The application thread runs the operations; it starts a
// run and waits for its end (Stop, Seek, PlayLoop, CloseStream), so the
// stream description, the window and the frame table never change while a run
// reads them. The decoding thread is the only user of the decoder, the wave
// buffers it fills and the run's own counters. The output backend's thread
// calls onWaveOut, which only counts and sets bufferDoneEvent_. A pusher
// thread appends to the chunk queue (which has its own lock) and sets
// streamDataEvent_. Flags both sides touch (playing, paused, looping, loop
// counters, positions, switches) are atomics. volumeLock_ guards the fade
// state and the gains: the thread holds it for each frame's fade step and
// while it copies the gains for a buffer, never while it posts a notification
// (a waiting one runs the user's function, which may set the volume). The
// effect processors guard their own state: the echo processor takes its lock
// for the history clear and for each buffer; the band equalizer and the
// sub-band gains are read without one. The run fills a private buffer and
// copies it into the ring buffer under ringLock_ when it hands it on; the
// level meters and the spectrum read the ring under the same lock.
//
// Every wait re-checks its condition after re-arming its event: the thread
// resets streamDataEvent_ before it looks at the queue, the end mark and the
// playing flag, and waits on the auto-reset bufferDoneEvent_ only while the
// next buffer is not done and playing is set; Stop clears playing and then
// sets both events, so no wait outlives a Stop.
#include "effects/SampleKernels.h"
#include "engine/FrameHeader.h"
#include "engine/MadDecoder.h"
#include "engine/Mp3Engine.h"
#include "engine/OutputConversion.h"
#include "engine/WaveOutDeviceList.h"
#include "engine/WaveOutput.h"
#include "platform/MulDiv.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <mutex>
#include <new>

namespace tolvane {

using platform::MulDiv;

namespace {

constexpr size_t kGuard = MAD_BUFFER_GUARD;
constexpr size_t kMaxFrameBytes = 5761;
constexpr size_t kBackOffBytes = 1024; // twice the largest Layer III reservoir

// The gain of a volume or fade level of 0..100.
} // namespace

class DecodeRun {
  public:
    explicit DecodeRun(Mp3Engine& engine) : e_(engine), wave_(*engine.wave_) {}
    int32_t run();

  private:
    enum class LoopResult { Go, Restarted, EndRun };

    // One of the two fades as the steps they share see it: the engine's
    // running flag, this run's begin mark and the fade's notifications.
    struct Fade {
        bool& running;
        bool& begun;
        uint32_t beginCode;
        uint32_t endCode;
    };

    int32_t earlyEnd();
    void clearTransport();
    int32_t failStart(const char* message);
    bool openDevice();
    void signalReady();
    bool prepareInput();
    void resetDecoder();

    void frameLoop();
    bool nextInput();
    bool refillManaged();
    size_t readQueue(uint8_t* out, size_t size);
    bool endManagedData(size_t keep);
    bool tailCopy();
    bool endOfPass();
    void startForward();
    void startBlock();
    bool stepBack();

    bool fitsStream(const mad_header& header) const;
    uint32_t positionOf(const uint8_t* frame) const;
    LoopResult loopStep();
    void mixChannels();
    void fadeSteps();
    Fade fadeOut() {
        return {e_.fadeOutRunning_, fadeOutBegun_, NOTIFY_FADEOUT_BEGIN, NOTIFY_FADEOUT_END};
    }
    Fade fadeIn() {
        return {e_.fadeInRunning_, fadeInBegun_, NOTIFY_FADEIN_BEGIN, NOTIFY_FADEIN_END};
    }
    void fadeOutStep(std::unique_lock<std::mutex>& lock);
    void fadeInStep(std::unique_lock<std::mutex>& lock);
    bool startFadeStep(std::unique_lock<std::mutex>& lock, Fade fade, Fade other);
    void finishFade(std::unique_lock<std::mutex>& lock, Fade fade, double level, double gain);
    int32_t postUnlocked(std::unique_lock<std::mutex>& lock, uint32_t code);
    void endFade(std::unique_lock<std::mutex>& lock, Fade fade);
    void endLoop();
    void countFrame(unsigned long bitrate);
    void appendFrame(bool silent);

    int16_t* currentBuffer() { return pcm_.get(); }
    bool completeBuffer();
    void applyGains(int16_t* samples, uint32_t frames);
    void cutVocals(int16_t* samples, uint32_t frames);
    bool equalize(int16_t* samples, uint32_t& bytes, uint32_t& skip);
    bool playEqualizerTail(int16_t* samples, uint32_t bytes);
    bool drainEqualizer();
    void discardBuffer();
    bool offerAndQueue(const int16_t* samples, uint32_t bytes);
    void advanceBuffer();
    int32_t endRun();
    void drainOutput();

    Mp3Engine& e_;
    WaveOutput& wave_;
    std::unique_ptr<MadDecoder> decoder_;
    bool ready_ = false;

    // Decoder input: the offset of the decoder's buffer start from the first
    // audio frame, the tail copy of an unmanaged pass, the managed work buffer.
    size_t inputBase_ = 0;
    std::unique_ptr<uint8_t[]> tail_;
    std::unique_ptr<uint8_t[]> work_;
    size_t workSize_ = 0;
    size_t workLength_ = 0;
    size_t streamRead_ = 0; // managed bytes taken from the queue this run
    bool guardAdded_ = false;

    // Reverse play: the block of frames [blockStart_, blockEnd_); frames
    // before offset blockFrom_ are decoded only to prime the decoder.
    size_t blockEnd_ = 0;
    size_t blockStart_ = 0;
    size_t blockFrom_ = 0;

    // Output: the buffer being filled (as large as a ring buffer) and the
    // index of the ring buffer it goes to.
    std::unique_ptr<int16_t[]> pcm_;
    uint32_t index_ = 0;
    uint32_t bytes_ = 0;
    uint32_t framesInBuffer_ = 0;
    uint64_t totalFrames_ = 0;
    DitherState dither_[2];

    // Band equalizer: bytes of its output still to drop (the silence it
    // starts from), and whether it filtered the previous buffer.
    uint32_t countdown_ = 0;
    bool equalizerWasOn_ = false;

    // Begin events posted in this run and not yet ended.
    bool loopBegun_ = false;
    bool fadeOutBegun_ = false;
    bool fadeInBegun_ = false;
};

void Mp3Engine::runDecodeThread() {
    DecodeRun run(*this);
    run.run();
}

void Mp3Engine::onWaveOut(HWAVEOUT, uint32_t uMsg, uintptr_t dwInstance, uintptr_t dwParam1,
                          uintptr_t) {
    auto* engine = reinterpret_cast<Mp3Engine*>(dwInstance);
    if (uMsg == WOM_DONE) {
        const auto* header = reinterpret_cast<const WAVEHDR*>(dwParam1);
        const uint32_t count = engine->wave_->GetBufferCount();
        engine->bytesPlayed_ += header->dwBufferLength;
        engine->nextBuffer_ = count ? uint32_t((header->dwUser + 1) % count) : 0;
        engine->bufferDoneEvent_.set();
        engine->bufferCompleted_ = true;
    } else if (uMsg == WOM_CLOSE) {
        engine->bufferDoneEvent_.set();
    }
}

int32_t DecodeRun::run() {
    e_.msHanded_ = 0;
    if (e_.notifier_.notify(NOTIFY_PLAYING) == 1) {
        return earlyEnd();
    }
    e_.currentBitrate_ = 0;
    e_.framesDecoded_ = 0;
    e_.bitrateSum_ = 0;
    if (e_.decodeOffset_ + kGuard >= e_.lastByte_) {
        if (!e_.reverse_) {
            return earlyEnd();
        }
        e_.decodeOffset_ = e_.lastByte_;
    }
    if (!e_.noDevice_ && !openDevice()) {
        return 0;
    }
    for (uint32_t i = 0; i < wave_.GetBufferCount(); ++i) {
        wave_.SetBufferDone(i);
        wave_.UnprepareHeader(i);
    }
    e_.echo_.clearHistory();
    if (e_.band_.ready()) {
        e_.band_.clear();
    }
    countdown_ = e_.equalizerLatency_;
    pcm_.reset(new (std::nothrow) int16_t[e_.bufferBytes_ / 2]);
    if (!pcm_) {
        failStart("ThreadFunc->Memory allocation error !");
        return 0;
    }
    if (!prepareInput()) {
        return 0;
    }
    e_.threadStartResult_ = 1;
    signalReady();
    frameLoop();
    return endRun();
}

void DecodeRun::signalReady() {
    if (!ready_) {
        ready_ = true;
        e_.threadReadyEvent_.set();
    }
}

// Nothing to play, or the caller declined: the run ends before it began.
int32_t DecodeRun::earlyEnd() {
    e_.threadStartResult_ = 1;
    clearTransport();
    e_.currentBitrate_ = e_.framesDecoded_ = e_.bitrateSum_ = 0;
    e_.decodeOffset_ = e_.firstFrame_;
    e_.positionBase_ = 0;
    e_.loopMode_ = false;
    e_.bytePosition_ = 0;
    e_.looping_ = false;
    e_.notifier_.notify(NOTIFY_STOPPED);
    signalReady();
    return 1;
}

// The transport as a run leaves it: no fade running, stopped, nothing played.
void DecodeRun::clearTransport() {
    {
        std::lock_guard lock(e_.volumeLock_);
        e_.fadeOutRunning_ = e_.fadeInRunning_ = false;
    }
    e_.playing_ = false;
    e_.paused_ = false;
    e_.bytesPlayed_ = 0;
    e_.nextBuffer_ = 0;
    e_.bufferCompleted_ = false;
}

// A run that cannot start leaves the engine stopped and tells Play why.
int32_t DecodeRun::failStart(const char* message) {
    e_.setError("%s", message);
    e_.threadStartResult_ = 0;
    e_.looping_ = false;
    e_.playing_ = false;
    wave_.Close();
    e_.notifier_.notify(NOTIFY_STOPPED);
    signalReady();
    return 0;
}

bool DecodeRun::openDevice() {
    const int32_t device = e_.devices_->selectedDevice();
    if (wave_.OpenAudioOutput(device, &Mp3Engine::onWaveOut, reinterpret_cast<uintptr_t>(&e_),
                              CALLBACK_FUNCTION)) {
        return true;
    }
    std::string message = "_ThreadFunc->Can't open wave output";
    if (device == WAVE_MAPPER) {
        message += ": WAVE_MAPPER";
    } else if (std::string name; e_.devices_->deviceName(device, name)) {
        message += ": " + name;
    }
    failStart(message.c_str());
    return false;
}

void DecodeRun::resetDecoder() {
    if (decoder_) {
        decoder_->reset(e_.freeRate_);
    } else {
        decoder_.reset(new (std::nothrow) MadDecoder);
        if (decoder_) {
            decoder_->stream.freerate = e_.freeRate_;
        }
    }
}

bool DecodeRun::prepareInput() {
    resetDecoder();
    if (!decoder_) {
        failStart("ThreadFunc->Memory allocation error !");
        return false;
    }
    if (e_.managed_) {
        workSize_ = size_t(e_.framesPerBuffer_) * kMaxFrameBytes + kGuard;
        work_.reset(new (std::nothrow) uint8_t[workSize_]);
        if (!work_) {
            failStart("ThreadFunc->Memory allocation error !");
            return false;
        }
        if (e_.managedSkip_ > 0) {
            // The tags and the VBR header frame at the stream's start are no audio.
            size_t removed = 0;
            e_.queue().read(nullptr, e_.managedSkip_, removed);
            e_.managedSkip_ = 0;
        }
        workLength_ = 0;
        return true; // the first frame decode finds no data and refills
    }
    if (e_.reverse_) {
        if (e_.frameTable_.empty()) {
            failStart("_ThreadFunc->pFramePtr is 0 !");
            return false;
        }
        const size_t count = e_.frameTable_.size();
        const int32_t end =
            MulDiv(int32_t(e_.positionBase_.load()), int32_t(count), int32_t(e_.lengthMs_));
        blockEnd_ = end < 0 ? count - 1 : std::min(size_t(end), count - 1);
        blockStart_ = blockEnd_ >= e_.framesPerBuffer_ ? blockEnd_ - e_.framesPerBuffer_ : 0;
        startBlock();
        return true;
    }
    startForward();
    return true;
}

void DecodeRun::startForward() {
    mad_stream& stream = decoder_->stream;
    inputBase_ = 0;
    tail_.reset();
    mad_stream_buffer(&stream, e_.window_ + e_.firstFrame_, e_.audioSize_);
    mad_stream_skip(&stream, e_.decodeOffset_ - e_.firstFrame_);
}

// Decodes the reverse block from some frames before its start, so the first
// frame heard has the decoder's history behind it: at least two frames, and
// enough bytes that a Layer III bit reservoir is filled again.
void DecodeRun::startBlock() {
    const auto& table = e_.frameTable_;
    size_t decodeFrom = blockStart_;
    while (decodeFrom > 0 && (blockStart_ - decodeFrom < Mp3Engine::kBackOffFrames ||
                              table[blockStart_] - table[decodeFrom] < kBackOffBytes)) {
        --decodeFrom;
    }
    blockFrom_ = table[blockStart_];
    inputBase_ = 0;
    const size_t length = std::min<size_t>(table[blockEnd_] + kGuard, e_.audioSize_);
    mad_stream_buffer(&decoder_->stream, e_.window_ + e_.firstFrame_, length);
    mad_stream_skip(&decoder_->stream, std::min<size_t>(table[decodeFrom], length));
}

void DecodeRun::frameLoop() {
    MadDecoder& d = *decoder_;
    if (e_.managed_ && !refillManaged()) {
        return;
    }
    while (e_.playing_) {
        if (mad_frame_decode(&d.frame, &d.stream) != 0) {
            if (MAD_RECOVERABLE(d.stream.error)) {
                continue;
            }
            if (!nextInput()) {
                break;
            }
            continue;
        }
        if (e_.reverse_ && positionOf(d.stream.this_frame) < blockFrom_) {
            mad_synth_frame(&d.synth, &d.frame); // primes the filter; not heard
            continue;
        }
        if (!fitsStream(d.frame.header)) {
            continue;
        }
        e_.bytePosition_ = positionOf(d.stream.this_frame);
        bool silent = false;
        if (e_.loopMode_ && e_.looping_) {
            const LoopResult result = loopStep();
            if (result == LoopResult::EndRun) {
                break;
            }
            silent = result == LoopResult::Restarted;
        }
        if (!silent) {
            mixChannels();
            if (e_.subband_.enabled()) {
                e_.subband_.apply(d.frame);
            }
        }
        fadeSteps();
        countFrame(silent ? 0 : d.frame.header.bitrate);
        if (!silent) {
            mad_synth_frame(&d.synth, &d.frame);
        }
        if (!e_.playing_) {
            break;
        }
        appendFrame(silent);
        if (framesInBuffer_ >= e_.framesPerBuffer_ && !completeBuffer()) {
            break;
        }
    }
}

// Frames of another sampling rate or length (a false sync, a spliced stream)
// would not fit the wave buffers; they are passed over like damaged frames.
bool DecodeRun::fitsStream(const mad_header& header) const {
    return header.samplerate == e_.sampleRate_ &&
           FrameHeader::samplesPerFrame(header) == e_.samplesPerFrame_;
}

uint32_t DecodeRun::positionOf(const uint8_t* frame) const {
    return uint32_t(inputBase_ + size_t(frame - decoder_->stream.buffer));
}

// The decoder ran out of data: continue with the next piece of input, or
// return false when the data ends.
bool DecodeRun::nextInput() {
    if (e_.managed_) {
        return refillManaged();
    }
    if (e_.reverse_) {
        return stepBack();
    }
    return tail_ ? endOfPass() : tailCopy();
}

// Keeps the unread rest of the work buffer, appends what the pusher has
// queued, and waits for more while the queue is empty.
bool DecodeRun::refillManaged() {
    mad_stream& stream = decoder_->stream;
    size_t keep = 0;
    if (workLength_ > 0) {
        const uint8_t* rest = stream.next_frame;
        keep = size_t(work_.get() + workLength_ - rest);
        // A rest that fills the buffer can never decode; drop it.
        keep = keep >= workSize_ - kGuard ? 0 : keep;
        std::memmove(work_.get(), rest, keep);
    }
    size_t got = 0;
    while ((got = readQueue(work_.get() + keep, workSize_ - kGuard - keep)) == 0) {
        if (!e_.playing_ || e_.endOfData_) {
            return endManagedData(keep);
        }
        e_.streamDataEvent_.reset();
        const int32_t answer = e_.notifier_.notify(NOTIFY_STREAM_NO_DATA);
        if (answer == 1) {
            e_.endOfData_ = true;
            return endManagedData(keep);
        }
        if (answer != 2 && e_.queue().entries() == 0 && !e_.endOfData_ && e_.playing_) {
            e_.streamDataEvent_.wait();
        }
    }
    if (!e_.playing_) {
        return false;
    }
    guardAdded_ = false;
    workLength_ = keep + got;
    inputBase_ = streamRead_ - workLength_;
    mad_stream_buffer(&stream, work_.get(), workLength_);
    return true;
}

size_t DecodeRun::readQueue(uint8_t* out, size_t size) {
    size_t removed = 0;
    const size_t got = e_.queue().read(out, size, removed);
    streamRead_ += got;
    if (removed > 0) {
        ChunkQueue& queue = e_.queue();
        e_.notifier_.notify(NOTIFY_STREAM_DATA_USED, queue.entries(), queue.bytesLeft());
    }
    return got;
}

// At the end of a managed stream the last frame still needs guard bytes
// after it to decode; it gets them once.
bool DecodeRun::endManagedData(size_t keep) {
    if (!e_.playing_ || guardAdded_ || keep == 0) {
        return false;
    }
    guardAdded_ = true;
    std::memset(work_.get() + keep, 0, kGuard);
    workLength_ = keep + kGuard;
    inputBase_ = streamRead_ - keep;
    mad_stream_buffer(&decoder_->stream, work_.get(), workLength_);
    return true;
}

// The last frames of a pass are decoded from a copy followed by zeros, since
// the decoder needs guard bytes after a frame and none may be read past the
// last audio byte.
bool DecodeRun::tailCopy() {
    const uint8_t* audio = e_.window_ + e_.firstFrame_;
    const uint8_t* rest = decoder_->stream.next_frame;
    const size_t length = size_t(audio + e_.audioSize_ - rest);
    tail_.reset(new (std::nothrow) uint8_t[length + kGuard + 1]);
    if (!tail_) {
        return false;
    }
    std::memcpy(tail_.get(), rest, length);
    std::memset(tail_.get() + length, 0, kGuard + 1);
    inputBase_ = size_t(rest - audio);
    mad_stream_buffer(&decoder_->stream, tail_.get(), length + kGuard);
    return true;
}

// The data of a pass has ended: a loop starts its next repetition, anything
// else ends the run.
bool DecodeRun::endOfPass() {
    tail_.reset();
    if (!e_.loopMode_) {
        return false;
    }
    if (e_.loopDone_ >= e_.loopRepeats_) {
        e_.looping_ = false;
        endLoop();
        return false;
    }
    e_.loopCounter_ = 0;
    e_.looping_ = true;
    ++e_.loopDone_;
    resetDecoder();
    startForward();
    return true;
}

bool DecodeRun::stepBack() {
    if (blockStart_ == 0 || blockEnd_ == 0 || !e_.playing_ || e_.frameTable_.empty()) {
        return false;
    }
    blockEnd_ = blockStart_;
    blockStart_ = blockEnd_ >= e_.framesPerBuffer_ ? blockEnd_ - e_.framesPerBuffer_ : 0;
    resetDecoder();
    startBlock();
    return true;
}

DecodeRun::LoopResult DecodeRun::loopStep() {
    if (!loopBegun_) {
        loopBegun_ = true;
        if (e_.notifier_.notify(NOTIFY_LOOP_BEGIN) == 1) {
            e_.looping_ = false;
            e_.loopDone_ = e_.loopRepeats_;
            e_.loopCounter_ = e_.loopFrames_ + 1;
            e_.keepPlaying_ = true;
        }
    }
    if (e_.loopDone_ >= e_.loopRepeats_) {
        e_.looping_ = false;
        endLoop();
        return e_.keepPlaying_ ? LoopResult::Go : LoopResult::EndRun;
    }
    LoopResult result = LoopResult::Go;
    if (e_.loopCounter_ >= e_.loopFrames_) {
        // Back to the loop start; this frame is lost and a silent one takes its place.
        e_.loopCounter_ = 0;
        ++e_.loopDone_;
        resetDecoder();
        startForward();
        result = LoopResult::Restarted;
    }
    ++e_.loopCounter_;
    return result;
}

void DecodeRun::endLoop() {
    if (loopBegun_) {
        loopBegun_ = false;
        e_.notifier_.notify(NOTIFY_LOOP_END);
    }
}

// Mixes both channels into one at the caller's proportions, in the sub-band
// domain, before synthesis.
void DecodeRun::mixChannels() {
    mad_frame& frame = decoder_->frame;
    if (!e_.channelMix_ || frame.header.mode == MAD_MODE_SINGLE_CHANNEL) {
        return;
    }
    SampleKernels::mixSubbands(SampleKernels::best(), frame.sbsample[0], frame.sbsample[1],
                               int(MAD_NSBSAMPLES(&frame.header)), e_.mixFactor_[0].load(),
                               e_.mixFactor_[1].load());
}

void DecodeRun::fadeSteps() {
    std::unique_lock lock(e_.volumeLock_);
    if (e_.fadeOutRunning_) {
        fadeOutStep(lock);
    }
    if (e_.fadeInRunning_) {
        fadeInStep(lock);
    }
}

int32_t DecodeRun::postUnlocked(std::unique_lock<std::mutex>& lock, uint32_t code) {
    lock.unlock();
    const int32_t answer = e_.notifier_.notify(code);
    lock.lock();
    return answer;
}

void DecodeRun::endFade(std::unique_lock<std::mutex>& lock, Fade fade) {
    if (fade.begun) {
        fade.begun = false;
        postUnlocked(lock, fade.endCode);
    }
}

// The start of a fade step: the other fade gives way, a fade started anew
// (its count back at 0) ends the turn it interrupted, and the first step posts
// the begin notification, whose answer 1 cancels the fade. False when the
// step goes no further.
bool DecodeRun::startFadeStep(std::unique_lock<std::mutex>& lock, Fade fade, Fade other) {
    if (other.begun) {
        other.running = false;
        endFade(lock, other);
    }
    if (e_.fadeCounter_ == 0) {
        endFade(lock, fade);
    }
    int32_t answer = 0;
    if (!fade.begun) {
        fade.begun = true;
        answer = postUnlocked(lock, fade.beginCode);
    }
    if (answer == 1) {
        fade.running = false;
        endFade(lock, fade);
        return false;
    }
    return answer == 0 && fade.running;
}

// The fade has arrived: its level and gain hold from now on.
void DecodeRun::finishFade(std::unique_lock<std::mutex>& lock, Fade fade, double level,
                           double gain) {
    e_.fadeLevel_ = level;
    e_.fadeGain_[0] = e_.fadeGain_[1] = gain;
    e_.setEffectiveGains();
    fade.running = false;
    endFade(lock, fade);
}

void DecodeRun::fadeOutStep(std::unique_lock<std::mutex>& lock) {
    Mp3Engine& e = e_;
    if (!startFadeStep(lock, fadeOut(), fadeIn())) {
        return;
    }
    if (e.fadeCounter_ < e.fadeOutFrames_) {
        e.fadeLevel_ -= e.fadeOutStep_;
        if (e.fadeLevel_ > 0) {
            e.fadeGain_[0] = e.fadeGain_[1] = levelGain(e.fadeLevel_);
            ++e.fadeCounter_;
            e.setEffectiveGains();
        } else {
            e.fadeCounter_ = e.fadeOutFrames_;
        }
    }
    if (e.fadeCounter_ >= e.fadeOutFrames_) {
        finishFade(lock, fadeOut(), 0.0, 0.0);
    }
}

void DecodeRun::fadeInStep(std::unique_lock<std::mutex>& lock) {
    Mp3Engine& e = e_;
    if (!startFadeStep(lock, fadeIn(), fadeOut())) {
        return;
    }
    if (e.fadeCounter_ < e.fadeInFrames_) {
        e.fadeLevel_ += e.fadeInStep_;
        if (e.fadeLevel_ >= 100.0) {
            e.fadeCounter_ = e.fadeInFrames_;
        } else {
            e.fadeLevel_ = std::max(e.fadeLevel_, 0.0);
            e.fadeGain_[0] = e.fadeGain_[1] = levelGain(e.fadeLevel_);
            ++e.fadeCounter_;
            e.setEffectiveGains();
        }
    }
    if (e.fadeCounter_ >= e.fadeInFrames_) {
        finishFade(lock, fadeIn(), 100.0, 1.0);
    }
}

void DecodeRun::countFrame(unsigned long bitrate) {
    e_.currentBitrate_ = uint32_t(bitrate);
    ++e_.framesDecoded_;
    e_.bitrateSum_ += uint32_t(bitrate / 1000);
}

void DecodeRun::appendFrame(bool silent) {
    const mad_pcm& pcm = decoder_->synth.pcm;
    const uint32_t length = silent ? e_.samplesPerFrame_ : pcm.length;
    if (bytes_ + length * 4 > e_.bufferBytes_) {
        return;
    }
    int16_t* out = currentBuffer() + bytes_ / 2;
    if (silent) {
        std::memset(out, 0, length * 4);
        bytes_ += length * 4;
    } else {
        bytes_ += convertFrame(pcm, dither_, out);
    }
    ++framesInBuffer_;
    ++totalFrames_;
}

// Runs the per-buffer stages on the filled buffer and hands it on. False when
// the run is to end.
bool DecodeRun::completeBuffer() {
    uint32_t n = bytes_;
    if (n == 0) {
        framesInBuffer_ = 0;
        return true;
    }
    int16_t* samples = currentBuffer();
    const uint32_t frames = n / 4;
    if (e_.reverse_) {
        auto* pairs = reinterpret_cast<uint32_t*>(samples);
        std::reverse(pairs, pairs + frames);
    }
    applyGains(samples, frames);
    if (e_.vocalCut_) {
        cutVocals(samples, frames);
    }
    if (e_.echo_.enabled()) {
        if (!e_.playing_) {
            return false;
        }
        e_.echo_.process(samples, n);
    }
    uint32_t skip = 0;
    if (!equalize(samples, n, skip)) {
        return false;
    }
    if (n == 0) {
        return true; // the equalizer's start-up silence, dropped
    }
    if (!e_.playing_) {
        return false;
    }
    return offerAndQueue(samples + skip / 2, n - skip);
}

void DecodeRun::applyGains(int16_t* samples, uint32_t frames) {
    double gain[2];
    {
        std::lock_guard lock(e_.volumeLock_);
        gain[0] = e_.effectiveGain_[0];
        gain[1] = e_.effectiveGain_[1];
    }
    if (gain[0] == 1.0 && gain[1] == 1.0) {
        return;
    }
    SampleKernels::applyGains(SampleKernels::best(), samples, frames, gain);
}

// The difference saturates: wrapping around in 16 bits would click.
void DecodeRun::cutVocals(int16_t* samples, uint32_t frames) {
    SampleKernels::cutVocals(SampleKernels::best(), samples, frames);
}

// The band equalizer's stage. While it is on it filters the buffer and the
// first latency bytes of its output, the silence it starts from, are dropped:
// `skip` bytes of this buffer, or the whole buffer (`bytes` becomes 0). Just
// after it went off, what it still holds is played before this buffer.
bool DecodeRun::equalize(int16_t* samples, uint32_t& bytes, uint32_t& skip) {
    if (e_.band_.ready()) {
        if (!e_.playing_) {
            return false;
        }
        equalizerWasOn_ = true;
        e_.band_.apply(samples, int32_t(bytes / 4));
        if (countdown_ >= bytes) {
            countdown_ -= bytes;
            discardBuffer();
            bytes = 0;
        } else {
            skip = countdown_;
            countdown_ = 0;
        }
        return true;
    }
    if (equalizerWasOn_) {
        return playEqualizerTail(samples, bytes);
    }
    return true;
}

// The buffer waits in the gapless buffer while the tail is played from the
// same memory, then comes back unequalized.
bool DecodeRun::playEqualizerTail(int16_t* samples, uint32_t bytes) {
    equalizerWasOn_ = false;
    std::memcpy(e_.gapless_.data(), samples, bytes);
    if (!drainEqualizer()) {
        return false;
    }
    std::memcpy(samples, e_.gapless_.data(), bytes);
    countdown_ = e_.equalizerLatency_;
    return true;
}

// Plays what the band equalizer still holds: its next latency bytes of output
// for silent input. Of those, the first `countdown_` are start-up silence not
// yet dropped (a run or a switch-on shorter than the latency); the rest is the
// delayed sound. False when the run is to end.
bool DecodeRun::drainEqualizer() {
    const uint32_t block = e_.framesPerBuffer_ * e_.samplesPerFrame_ * 4;
    uint32_t left = e_.equalizerLatency_;
    while (left > 0) {
        if (!e_.playing_) {
            return false;
        }
        int16_t* samples = currentBuffer();
        std::memset(samples, 0, block);
        e_.band_.apply(samples, int32_t(block / 4));
        const uint32_t out = std::min(block, left);
        const uint32_t skip = std::min(countdown_, out);
        left -= out;
        countdown_ -= skip;
        if (out > skip && !offerAndQueue(samples + skip / 2, out - skip)) {
            return false;
        }
    }
    return true;
}

// Nothing of the buffer is handed on; decoding goes on into it.
void DecodeRun::discardBuffer() {
    bytes_ = 0;
    framesInBuffer_ = 0;
}

// Copies the samples into the current ring buffer, offers it to the caller's
// wave-buffer notification, then queues it and waits until the next buffer of
// the ring is free.
bool DecodeRun::offerAndQueue(const int16_t* samples, uint32_t bytes) {
    char* ring = wave_.GetBufferData(index_);
    {
        std::lock_guard lock(e_.ringLock_);
        std::memcpy(ring, samples, bytes);
        wave_.SetBufferBytes(index_, bytes);
    }
    if (e_.notifier_.wants(NOTIFY_WAVE_BUFFER)) {
        e_.msHanded_ += uint32_t(MulDiv(int32_t(bytes / 4), 1000, int32_t(e_.sampleRate_)));
        const int32_t answer =
            e_.notifier_.notify(NOTIFY_WAVE_BUFFER, reinterpret_cast<uintptr_t>(ring), bytes);
        if (answer == 2 || !e_.playing_) {
            e_.playing_ = false;
            return false;
        }
        if (answer != 0) {
            advanceBuffer();
            return true;
        }
    }
    if (!wave_.PlayBuffer(index_) && !e_.noDevice_ && e_.playing_) {
        // The device refused the buffer: end the run rather than race through
        // the stream unheard.
        e_.setError("%s", wave_.GetLastErrorText().c_str());
        e_.playing_ = false;
        return false;
    }
    advanceBuffer();
    return true;
}

// Moves to the next ring buffer once the device is done with it: a buffer
// not queued (the caller kept it) may be followed by one still playing.
void DecodeRun::advanceBuffer() {
    index_ = index_ + 1 < wave_.GetBufferCount() ? index_ + 1 : 0;
    bytes_ = 0;
    framesInBuffer_ = 0;
    while (!wave_.IsBufferDone(index_) && e_.playing_) {
        e_.bufferDoneEvent_.wait();
    }
    wave_.UnprepareHeader(index_);
}

int32_t DecodeRun::endRun() {
    if (e_.playing_ && bytes_ > 0) {
        // The partly filled last buffer is heard too.
        completeBuffer();
    }
    if (e_.playing_ && equalizerWasOn_) {
        drainEqualizer();
    }
    tail_.reset();
    work_.reset();
    drainOutput();
    clearTransport();
    decoder_.reset();
    e_.currentBitrate_ = e_.framesDecoded_ = e_.bitrateSum_ = 0;
    e_.decodeOffset_ = e_.firstFrame_;
    e_.bytePosition_ = 0;
    e_.positionBase_ = 0;
    e_.loopMode_ = false;
    wave_.ResetOutput();
    wave_.Close();
    e_.looping_ = false;
    if (e_.managed_ && e_.queue().entries() > 0) {
        e_.queue().clear();
        e_.notifier_.notify(NOTIFY_STREAM_DATA_USED, 0, 0);
    }
    endLoop();
    {
        std::unique_lock lock(e_.volumeLock_);
        endFade(lock, fadeOut());
        endFade(lock, fadeIn());
    }
    e_.notifier_.notify(NOTIFY_STOPPED);
    return 1;
}

// After the data ended every queued buffer is played out; after a stop the
// device drops what it holds.
void DecodeRun::drainOutput() {
    const uint32_t count = wave_.GetBufferCount();
    if (e_.playing_) {
        for (uint32_t i = 0; i < count && e_.playing_; ++i) {
            while (!wave_.IsBufferDone(i) && e_.playing_) {
                e_.bufferDoneEvent_.wait();
            }
            wave_.UnprepareHeader(i);
        }
    }
    if (!e_.playing_) {
        wave_.ResetOutput();
        for (uint32_t i = 0; i < count; ++i) {
            wave_.UnprepareHeader(i);
        }
    }
}

} // namespace tolvane
