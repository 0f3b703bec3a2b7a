#pragma once

#include <cstdint>

namespace tolvane {

// What the level meters and the spectrum see of the output ring: the wave
// buffers queued to the device and where the device is in them. The engine
// adapts its WaveOutput and play-position bookkeeping to it. All calls come
// from the application's thread while the decoding thread refills buffers and
// the device's completion callback updates the counters; a value may be one
// buffer out of date, which only shows as a momentary wrong level.
class OutputRingView {
  public:
    virtual ~OutputRingView() = default;

    // A stream is open and playback is running.
    virtual bool running() const = 0;
    // Some buffer has finished playing since the device was opened.
    virtual bool firstBufferDone() const = 0;
    // Bytes the device has played since it was opened.
    virtual int64_t devicePosition() const = 0;
    // Total bytes of the ring buffers that have finished playing.
    virtual int64_t completedBytes() const = 0;
    // Index of the ring buffer that plays now.
    virtual uint32_t playingIndex() const = 0;
    virtual uint32_t bufferCount() const = 0;
    // A buffer's samples (16-bit signed stereo, interleaved left first) and
    // the number of bytes queued from them.
    virtual const uint8_t* bufferData(uint32_t index) const = 0;
    virtual uint32_t bufferBytes(uint32_t index) const = 0;
    // The stream's sample rate in Hz.
    virtual int32_t sampleRate() const = 0;
};

} // namespace tolvane
