#pragma once

// The decoding thread: one run per Play or PlayLoop turns the open stream into
// 16-bit stereo PCM and keeps the wave-output ring fed.
//
// Threads and locks. The application thread runs the operations; it starts a
// run and waits for its end (Stop, Seek, PlayLoop, CloseStream), so the
// stream description, the window and the frame table never change while a run
// reads them. The decoding thread is the only user of the decoder, the wave
// buffers it fills and the run's own counters. The output backend's thread
// calls OutputProgress::onWaveOut, which only counts and sets `bufferDone`. A
// pusher thread appends to the chunk queue (which has its own lock) and sets
// the memory stream's `dataEvent`. Flags both sides touch (playing, paused,
// looping, loop counters, positions, switches) are atomics. The gain state's
// lock guards the fade state and the gains: the thread holds it for each
// frame's fade step and while it copies the gains for a buffer, never while it
// posts a notification (a waiting one runs the user's function, which may set
// the volume). The effect processors guard their own state: the echo
// processor takes its lock for the history clear and for each buffer; the band
// equalizer and the sub-band gains are read without one. The run fills a
// private buffer and copies it into the ring buffer under the engine's ring
// lock when it hands it on; the level meters and the spectrum read the ring
// under the same lock.
//
// Every wait re-checks its condition after re-arming its event: the thread
// resets `dataEvent` before it looks at the queue, the end mark and the
// playing flag, and waits on the auto-reset `bufferDone` only while the next
// buffer is not done and playing is set; Stop clears playing and then sets
// both events, so no wait outlives a Stop.

#include "engine/EffectChain.h"
#include "engine/ErrorText.h"
#include "engine/GainState.h"
#include "engine/MadDecoder.h"
#include "engine/MemoryStream.h"
#include "engine/Notifier.h"
#include "engine/OutputConversion.h"
#include "engine/RunCounters.h"
#include "engine/StreamDescription.h"
#include "engine/StreamWindow.h"
#include "engine/Transport.h"
#include "platform/Event.h"

#include <mad.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>

namespace tolvane {

class WaveOutput;
class WaveOutDeviceList;

// The pieces of the engine a run works on; the engine owns them all.
struct DecodeContext {
    const StreamDescription& stream;
    StreamWindow& window;
    MemoryStream& memory;
    Transport& transport;
    RunCounters& counters;
    OutputProgress& progress;
    GainState& gains;
    EffectChain& effects;
    WaveOutput& wave;
    WaveOutDeviceList& devices;
    Notifier& notifier;
    std::mutex& ringLock; // guards the ring buffers' contents (see above)
    platform::Event& threadReady;
    ErrorText& error;
};

// One run of the decoding thread, from Play or PlayLoop to the stream's end or
// a Stop. Its parts: the run's start and end and the hand-over of buffers
// (DecodeRun.cpp), feeding the decoder (DecodeInput.cpp), and the sound's
// stages between decoder and ring (DecodeStages.cpp).
class DecodeRun {
  public:
    explicit DecodeRun(const DecodeContext& context)
        : stream_(context.stream), window_(context.window), memory_(context.memory),
          transport_(context.transport), counters_(context.counters), progress_(context.progress),
          gains_(context.gains), effects_(context.effects), wave_(context.wave),
          devices_(context.devices), notifier_(context.notifier), ringLock_(context.ringLock),
          threadReady_(context.threadReady), error_(context.error) {}
    // Plays the stream from the window's decode offset until it ends or
    // playing is cleared, then leaves the transport stopped.
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
        return {gains_.fadeOutRunning, fadeOutBegun_, NOTIFY_FADEOUT_BEGIN, NOTIFY_FADEOUT_END};
    }
    Fade fadeIn() {
        return {gains_.fadeInRunning, fadeInBegun_, NOTIFY_FADEIN_BEGIN, NOTIFY_FADEIN_END};
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

    static constexpr size_t kGuard = MAD_BUFFER_GUARD;

    const StreamDescription& stream_;
    StreamWindow& window_;
    MemoryStream& memory_;
    Transport& transport_;
    RunCounters& counters_;
    OutputProgress& progress_;
    GainState& gains_;
    EffectChain& effects_;
    WaveOutput& wave_;
    WaveOutDeviceList& devices_;
    Notifier& notifier_;
    std::mutex& ringLock_;
    platform::Event& threadReady_;
    ErrorText& error_;

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

} // namespace tolvane
