#include "engine/DecodeRun.h"

#include "engine/FrameHeader.h"
#include "engine/WaveOutDeviceList.h"
#include "engine/WaveOutput.h"
#include "platform/MulDiv.h"

#include <cstring>
#include <string>

namespace tolvane {

using platform::MulDiv;

void OutputProgress::onWaveOut(HWAVEOUT, uint32_t uMsg, uintptr_t dwInstance, uintptr_t dwParam1,
                               uintptr_t) {
    auto* progress = reinterpret_cast<OutputProgress*>(dwInstance);
    if (uMsg == WOM_DONE) {
        const auto* header = reinterpret_cast<const WAVEHDR*>(dwParam1);
        const uint32_t count = progress->wave.GetBufferCount();
        progress->bytesPlayed += header->dwBufferLength;
        progress->nextBuffer = count ? uint32_t((header->dwUser + 1) % count) : 0;
        progress->bufferDone.set();
        progress->bufferCompleted = true;
    } else if (uMsg == WOM_CLOSE) {
        progress->bufferDone.set();
    }
}

int32_t DecodeRun::run() {
    counters_.msHanded = 0;
    if (notifier_.notify(NOTIFY_PLAYING) == 1) {
        return earlyEnd();
    }
    counters_.currentBitrate = 0;
    counters_.framesDecoded = 0;
    counters_.bitrateSum = 0;
    if (window_.decodeOffset + kGuard >= window_.lastByte) {
        if (!transport_.reverse) {
            return earlyEnd();
        }
        window_.decodeOffset = window_.lastByte;
    }
    if (!stream_.noDevice && !openDevice()) {
        return 0;
    }
    for (uint32_t i = 0; i < wave_.GetBufferCount(); ++i) {
        wave_.SetBufferDone(i);
        wave_.UnprepareHeader(i);
    }
    effects_.echo.clearHistory();
    if (effects_.band.ready()) {
        effects_.band.clear();
    }
    countdown_ = effects_.equalizerLatency;
    pcm_.reset(new (std::nothrow) int16_t[stream_.bufferBytes / 2]);
    if (!pcm_) {
        failStart("ThreadFunc->Memory allocation error !");
        return 0;
    }
    if (!prepareInput()) {
        return 0;
    }
    transport_.startResult = 1;
    signalReady();
    frameLoop();
    return endRun();
}

void DecodeRun::signalReady() {
    if (!ready_) {
        ready_ = true;
        threadReady_.set();
    }
}

// Nothing to play, or the caller declined: the run ends before it began.
int32_t DecodeRun::earlyEnd() {
    transport_.startResult = 1;
    clearTransport();
    counters_.clearBitrates();
    window_.decodeOffset = window_.firstFrame;
    counters_.positionBase = 0;
    transport_.loopMode = false;
    counters_.bytePosition = 0;
    transport_.looping = false;
    notifier_.notify(NOTIFY_STOPPED);
    signalReady();
    return 1;
}

// The transport as a run leaves it: no fade running, stopped, nothing played.
void DecodeRun::clearTransport() {
    {
        std::lock_guard lock(gains_.lock);
        gains_.fadeOutRunning = gains_.fadeInRunning = false;
    }
    transport_.playing = false;
    transport_.paused = false;
    progress_.bytesPlayed = 0;
    progress_.nextBuffer = 0;
    progress_.bufferCompleted = false;
}

// A run that cannot start leaves the engine stopped and tells Play why.
int32_t DecodeRun::failStart(const char* message) {
    error_.set(message);
    transport_.startResult = 0;
    transport_.looping = false;
    transport_.playing = false;
    wave_.Close();
    notifier_.notify(NOTIFY_STOPPED);
    signalReady();
    return 0;
}

bool DecodeRun::openDevice() {
    const int32_t device = devices_.selectedDevice();
    if (wave_.OpenAudioOutput(device, &OutputProgress::onWaveOut,
                              reinterpret_cast<uintptr_t>(&progress_), CALLBACK_FUNCTION)) {
        return true;
    }
    std::string message = "_ThreadFunc->Can't open wave output";
    if (device == WAVE_MAPPER) {
        message += ": WAVE_MAPPER";
    } else if (std::string name; devices_.deviceName(device, name)) {
        message += ": " + name;
    }
    failStart(message.c_str());
    return false;
}

void DecodeRun::frameLoop() {
    MadDecoder& d = *decoder_;
    if (memory_.managed && !refillManaged()) {
        return;
    }
    while (transport_.playing) {
        if (mad_frame_decode(&d.frame, &d.stream) != 0) {
            if (MAD_RECOVERABLE(d.stream.error)) {
                continue;
            }
            if (!nextInput()) {
                break;
            }
            continue;
        }
        if (transport_.reverse && positionOf(d.stream.this_frame) < blockFrom_) {
            mad_synth_frame(&d.synth, &d.frame); // primes the filter; not heard
            continue;
        }
        if (!fitsStream(d.frame.header)) {
            continue;
        }
        counters_.bytePosition = positionOf(d.stream.this_frame);
        bool silent = false;
        if (transport_.loopMode && transport_.looping) {
            const LoopResult result = loopStep();
            if (result == LoopResult::EndRun) {
                break;
            }
            silent = result == LoopResult::Restarted;
        }
        if (!silent) {
            mixChannels();
            if (effects_.subband.enabled()) {
                effects_.subband.apply(d.frame);
            }
        }
        fadeSteps();
        countFrame(silent ? 0 : d.frame.header.bitrate);
        if (!silent) {
            mad_synth_frame(&d.synth, &d.frame);
        }
        if (!transport_.playing) {
            break;
        }
        appendFrame(silent);
        if (framesInBuffer_ >= stream_.framesPerBuffer && !completeBuffer()) {
            break;
        }
    }
}

// Frames of another sampling rate or length (a false sync, a spliced stream)
// would not fit the wave buffers; they are passed over like damaged frames.
bool DecodeRun::fitsStream(const mad_header& header) const {
    return header.samplerate == stream_.sampleRate &&
           FrameHeader::samplesPerFrame(header) == stream_.samplesPerFrame;
}

uint32_t DecodeRun::positionOf(const uint8_t* frame) const {
    return uint32_t(inputBase_ + size_t(frame - decoder_->stream.buffer));
}

DecodeRun::LoopResult DecodeRun::loopStep() {
    if (!loopBegun_) {
        loopBegun_ = true;
        if (notifier_.notify(NOTIFY_LOOP_BEGIN) == 1) {
            transport_.looping = false;
            transport_.loopDone = transport_.loopRepeats;
            transport_.loopCounter = transport_.loopFrames + 1;
            transport_.keepPlaying = true;
        }
    }
    if (transport_.loopDone >= transport_.loopRepeats) {
        transport_.looping = false;
        endLoop();
        return transport_.keepPlaying ? LoopResult::Go : LoopResult::EndRun;
    }
    LoopResult result = LoopResult::Go;
    if (transport_.loopCounter >= transport_.loopFrames) {
        // Back to the loop start; this frame is lost and a silent one takes its place.
        transport_.loopCounter = 0;
        ++transport_.loopDone;
        resetDecoder();
        startForward();
        result = LoopResult::Restarted;
    }
    ++transport_.loopCounter;
    return result;
}

void DecodeRun::endLoop() {
    if (loopBegun_) {
        loopBegun_ = false;
        notifier_.notify(NOTIFY_LOOP_END);
    }
}

void DecodeRun::countFrame(unsigned long bitrate) {
    counters_.currentBitrate = uint32_t(bitrate);
    ++counters_.framesDecoded;
    counters_.bitrateSum += uint32_t(bitrate / 1000);
}

void DecodeRun::appendFrame(bool silent) {
    const mad_pcm& pcm = decoder_->synth.pcm;
    const uint32_t length = silent ? stream_.samplesPerFrame : pcm.length;
    if (bytes_ + length * 4 > stream_.bufferBytes) {
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

// Copies the samples into the current ring buffer, offers it to the caller's
// wave-buffer notification, then queues it and waits until the next buffer of
// the ring is free.
bool DecodeRun::offerAndQueue(const int16_t* samples, uint32_t bytes) {
    char* ring = wave_.GetBufferData(index_);
    {
        std::lock_guard lock(ringLock_);
        std::memcpy(ring, samples, bytes);
        wave_.SetBufferBytes(index_, bytes);
    }
    if (notifier_.wants(NOTIFY_WAVE_BUFFER)) {
        counters_.msHanded +=
            uint32_t(MulDiv(int32_t(bytes / 4), 1000, int32_t(stream_.sampleRate)));
        const int32_t answer =
            notifier_.notify(NOTIFY_WAVE_BUFFER, reinterpret_cast<uintptr_t>(ring), bytes);
        if (answer == 2 || !transport_.playing) {
            transport_.playing = false;
            return false;
        }
        if (answer != 0) {
            advanceBuffer();
            return true;
        }
    }
    if (!wave_.PlayBuffer(index_) && !stream_.noDevice && transport_.playing) {
        // The device refused the buffer: end the run rather than race through
        // the stream unheard.
        error_.set(wave_.GetLastErrorText().c_str());
        transport_.playing = false;
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
    while (!wave_.IsBufferDone(index_) && transport_.playing) {
        progress_.bufferDone.wait();
    }
    wave_.UnprepareHeader(index_);
}

int32_t DecodeRun::endRun() {
    if (transport_.playing && bytes_ > 0) {
        // The partly filled last buffer is heard too.
        completeBuffer();
    }
    if (transport_.playing && equalizerWasOn_) {
        drainEqualizer();
    }
    tail_.reset();
    work_.reset();
    drainOutput();
    clearTransport();
    decoder_.reset();
    counters_.clearBitrates();
    window_.decodeOffset = window_.firstFrame;
    counters_.bytePosition = 0;
    counters_.positionBase = 0;
    transport_.loopMode = false;
    wave_.ResetOutput();
    wave_.Close();
    transport_.looping = false;
    if (memory_.managed && memory_.queue().entries() > 0) {
        memory_.queue().clear();
        notifier_.notify(NOTIFY_STREAM_DATA_USED, 0, 0);
    }
    endLoop();
    {
        std::unique_lock lock(gains_.lock);
        endFade(lock, fadeOut());
        endFade(lock, fadeIn());
    }
    notifier_.notify(NOTIFY_STOPPED);
    return 1;
}

// After the data ended every queued buffer is played out; after a stop the
// device drops what it holds.
void DecodeRun::drainOutput() {
    const uint32_t count = wave_.GetBufferCount();
    if (transport_.playing) {
        for (uint32_t i = 0; i < count && transport_.playing; ++i) {
            while (!wave_.IsBufferDone(i) && transport_.playing) {
                progress_.bufferDone.wait();
            }
            wave_.UnprepareHeader(i);
        }
    }
    if (!transport_.playing) {
        wave_.ResetOutput();
        for (uint32_t i = 0; i < count; ++i) {
            wave_.UnprepareHeader(i);
        }
    }
}

} // namespace tolvane
