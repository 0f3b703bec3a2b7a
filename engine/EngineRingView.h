#pragma once

#include "effects/OutputRingView.h"

namespace tolvane {

struct OutputProgress;
struct StreamWindow;
struct Transport;
class WaveOutput;

// The engine's wave-output ring and play-position counters as the level
// meters and the spectrum read them. Use it only while holding the engine's
// ring lock: the decoding thread then cannot be copying into a buffer, and
// the buffers cannot be freed or reallocated.
class EngineRingView : public OutputRingView {
  public:
    EngineRingView(const StreamWindow& window, const Transport& transport,
                   const OutputProgress& progress, WaveOutput& wave)
        : window_(window), transport_(transport), progress_(progress), wave_(wave) {}

    bool running() const override;
    bool firstBufferDone() const override;
    int64_t devicePosition() const override;
    int64_t completedBytes() const override;
    uint32_t playingIndex() const override;
    uint32_t bufferCount() const override;
    const uint8_t* bufferData(uint32_t index) const override;
    uint32_t bufferBytes(uint32_t index) const override;
    int32_t sampleRate() const override;

  private:
    const StreamWindow& window_;
    const Transport& transport_;
    const OutputProgress& progress_;
    WaveOutput& wave_;
};

} // namespace tolvane
