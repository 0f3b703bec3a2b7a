#pragma once

#include "engine/AudioBackend.h"

#include <memory>
#include <mutex>

namespace tolvane {

struct DeviceVolumes;

// Plays through ALSA. The device list is ALSA's PCM hints that can play;
// WAVE_MAPPER opens ALSA's "default" PCM (on desktops it reaches PulseAudio or
// PipeWire). Each stream runs one writer thread that alone touches its PCM.
class AlsaBackend final : public AudioBackend {
  public:
    // The backend shared by the process, so that a volume set on a device number
    // holds for every engine, as the device's own volume would.
    static std::shared_ptr<AlsaBackend> instance();

    // With `usePcmPause` false, pause always drops the PCM's data and writes it
    // again on restart, as for devices that cannot pause.
    explicit AlsaBackend(bool usePcmPause = true);

    MMRESULT listDevices(std::vector<AudioDevice>& devices) override;
    MMRESULT open(int32_t deviceNumber, const WAVEFORMATEX& format, WaveOutProc callback,
                  uintptr_t instance, std::shared_ptr<AudioStream>& stream) override;
    MMRESULT setDeviceVolume(int32_t deviceNumber, uint32_t volume) override;
    MMRESULT getDeviceVolume(int32_t deviceNumber, uint32_t& volume) override;
    std::string lastError() const override { return failure_.text(); }

  private:
    // The ALSA name of a device number, or MMSYSERR_BADDEVICEID.
    MMRESULT resolve(int32_t deviceNumber, std::string& pcmName);
    MMRESULT fail(MMRESULT code, std::string text) { return failure_.fail(code, std::move(text)); }

    const std::shared_ptr<DeviceVolumes> volumes_;
    const bool usePcmPause_;
    FailureText failure_;
};

} // namespace tolvane
