#pragma once

#include "engine/AudioBackend.h"

#include <atomic>
#include <memory>
#include <mutex>

namespace tolvane {

// An output without a device, paced by the clock: each stream's writer thread
// "plays" a queued buffer by waiting until the stream's clock has run through
// its frames, then reports it done, so that the engine's transport, positions
// and completion callbacks run as they do on a sound card, only nothing is
// heard. Streams run at `speed` times real time. It lists one device, which
// WAVE_MAPPER also opens.
class NullBackend final : public AudioBackend {
  public:
    explicit NullBackend(double speed = 1.0);

    MMRESULT listDevices(std::vector<AudioDevice>& devices) override;
    MMRESULT open(int32_t deviceNumber, const WAVEFORMATEX& format, WaveOutProc callback,
                  uintptr_t instance, std::shared_ptr<AudioStream>& stream) override;
    MMRESULT setDeviceVolume(int32_t deviceNumber, uint32_t volume) override;
    MMRESULT getDeviceVolume(int32_t deviceNumber, uint32_t& volume) override;
    std::string lastError() const override { return failure_.text(); }

  private:
    MMRESULT fail(MMRESULT code, std::string text) { return failure_.fail(code, std::move(text)); }

    const double speed_;
    // The one device's volume, shared with its streams, which may outlive this.
    const std::shared_ptr<std::atomic<uint32_t>> volume_;
    FailureText failure_;
};

} // namespace tolvane
