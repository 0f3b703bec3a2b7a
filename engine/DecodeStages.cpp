// The sound between decoder and ring: the channel mix and the sub-band
// equalizer on each frame, the fades, and the gains, vocal cut, echo and band
// equalizer on each buffer.
#include "engine/DecodeRun.h"

#include "effects/SampleKernels.h"

#include <algorithm>
#include <cstring>

namespace tolvane {

// Mixes both channels into one at the caller's proportions, in the sub-band
// domain, before synthesis.
void DecodeRun::mixChannels() {
    mad_frame& frame = decoder_->frame;
    if (!effects_.channelMix || frame.header.mode == MAD_MODE_SINGLE_CHANNEL) {
        return;
    }
    SampleKernels::mixSubbands(SampleKernels::best(), frame.sbsample[0], frame.sbsample[1],
                               int(MAD_NSBSAMPLES(&frame.header)), effects_.mixFactor[0].load(),
                               effects_.mixFactor[1].load());
}

void DecodeRun::fadeSteps() {
    std::unique_lock lock(gains_.lock);
    if (gains_.fadeOutRunning) {
        fadeOutStep(lock);
    }
    if (gains_.fadeInRunning) {
        fadeInStep(lock);
    }
}

int32_t DecodeRun::postUnlocked(std::unique_lock<std::mutex>& lock, uint32_t code) {
    lock.unlock();
    const int32_t answer = notifier_.notify(code);
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
    if (gains_.fadeCounter == 0) {
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
    gains_.fadeLevel = level;
    gains_.fadeGain[0] = gains_.fadeGain[1] = gain;
    gains_.setEffectiveGains();
    fade.running = false;
    endFade(lock, fade);
}

void DecodeRun::fadeOutStep(std::unique_lock<std::mutex>& lock) {
    if (!startFadeStep(lock, fadeOut(), fadeIn())) {
        return;
    }
    if (gains_.fadeCounter < gains_.fadeOutFrames) {
        gains_.fadeLevel -= gains_.fadeOutStep;
        if (gains_.fadeLevel > 0) {
            gains_.fadeGain[0] = gains_.fadeGain[1] = levelGain(gains_.fadeLevel);
            ++gains_.fadeCounter;
            gains_.setEffectiveGains();
        } else {
            gains_.fadeCounter = gains_.fadeOutFrames;
        }
    }
    if (gains_.fadeCounter >= gains_.fadeOutFrames) {
        finishFade(lock, fadeOut(), 0.0, 0.0);
    }
}

void DecodeRun::fadeInStep(std::unique_lock<std::mutex>& lock) {
    if (!startFadeStep(lock, fadeIn(), fadeOut())) {
        return;
    }
    if (gains_.fadeCounter < gains_.fadeInFrames) {
        gains_.fadeLevel += gains_.fadeInStep;
        if (gains_.fadeLevel >= 100.0) {
            gains_.fadeCounter = gains_.fadeInFrames;
        } else {
            gains_.fadeLevel = std::max(gains_.fadeLevel, 0.0);
            gains_.fadeGain[0] = gains_.fadeGain[1] = levelGain(gains_.fadeLevel);
            ++gains_.fadeCounter;
            gains_.setEffectiveGains();
        }
    }
    if (gains_.fadeCounter >= gains_.fadeInFrames) {
        finishFade(lock, fadeIn(), 100.0, 1.0);
    }
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
    if (transport_.reverse) {
        auto* pairs = reinterpret_cast<uint32_t*>(samples);
        std::reverse(pairs, pairs + frames);
    }
    applyGains(samples, frames);
    if (effects_.vocalCut) {
        cutVocals(samples, frames);
    }
    if (effects_.echo.enabled()) {
        if (!transport_.playing) {
            return false;
        }
        effects_.echo.process(samples, n);
    }
    uint32_t skip = 0;
    if (!equalize(samples, n, skip)) {
        return false;
    }
    if (n == 0) {
        return true; // the equalizer's start-up silence, dropped
    }
    if (!transport_.playing) {
        return false;
    }
    return offerAndQueue(samples + skip / 2, n - skip);
}

void DecodeRun::applyGains(int16_t* samples, uint32_t frames) {
    double gain[2];
    {
        std::lock_guard lock(gains_.lock);
        gain[0] = gains_.effectiveGain[0];
        gain[1] = gains_.effectiveGain[1];
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
    if (effects_.band.ready()) {
        if (!transport_.playing) {
            return false;
        }
        equalizerWasOn_ = true;
        effects_.band.apply(samples, int32_t(bytes / 4));
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
    std::memcpy(effects_.gapless.data(), samples, bytes);
    if (!drainEqualizer()) {
        return false;
    }
    std::memcpy(samples, effects_.gapless.data(), bytes);
    countdown_ = effects_.equalizerLatency;
    return true;
}

// Plays what the band equalizer still holds: its next latency bytes of output
// for silent input. Of those, the first `countdown_` are start-up silence not
// yet dropped (a run or a switch-on shorter than the latency); the rest is the
// delayed sound. False when the run is to end.
bool DecodeRun::drainEqualizer() {
    const uint32_t block = stream_.framesPerBuffer * stream_.samplesPerFrame * 4;
    uint32_t left = effects_.equalizerLatency;
    while (left > 0) {
        if (!transport_.playing) {
            return false;
        }
        int16_t* samples = currentBuffer();
        std::memset(samples, 0, block);
        effects_.band.apply(samples, int32_t(block / 4));
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

} // namespace tolvane
