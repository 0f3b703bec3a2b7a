#pragma once

#include "engine/AudioBackend.h"
#include "engine/WaveTypes.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace tolvane {

// The engine's list of output devices and the device number its decoding
// thread opens. The application's thread enumerates and selects; the decoding
// thread reads the selection and a device's name, so the list is guarded by a
// lock and the selection is atomic.
class WaveOutDeviceList {
  public:
    // Lists the output devices in device-number order.
    using Enumerator = std::function<std::vector<WAVEOUTCAPSA>()>;

    // Lists the ALSA backend's devices.
    WaveOutDeviceList();
    explicit WaveOutDeviceList(Enumerator enumerate);

    // The devices `backend` lists.
    static Enumerator devicesOf(std::shared_ptr<AudioBackend> backend);

    // Replaces the list; the number of devices, or 0 with `error` set (the
    // previous list is then kept).
    int32_t EnumerateWaveOut(std::string& error);
    // Fills `pWaveOutInfo` with device `nIndex`, enumerating first if the list is
    // empty; false with `error` set.
    bool GetWaveOutInfo(uint32_t nIndex, WAVEOUT_INFO* pWaveOutInfo, std::string& error);
    // Selects device `nIndex` (WAVE_MAPPER or a list index), enumerating first if
    // the list is empty; false with `error` set.
    bool SetWaveOutDevice(int32_t nIndex, std::string& error);

    // The device number to open: WAVE_MAPPER until another is selected.
    int32_t selectedDevice() const { return selected_.load(); }
    // The listed name of device `nIndex`; false when it is not a list index.
    bool deviceName(int32_t nIndex, std::string& name) const;
    int32_t count() const;

  private:
    Enumerator enumerate_;
    mutable std::mutex lock_;
    std::unique_ptr<WAVEOUTCAPSA[]> list_; // guarded by lock_
    int32_t count_ = 0;                    // guarded by lock_
    std::atomic<int32_t> selected_{WAVE_MAPPER};
};

} // namespace tolvane
