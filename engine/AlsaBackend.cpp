// ALSA backend: the device list from ALSA's PCM hints, the volumes remembered
// per device number, and opening a stream (AlsaStream.cpp) on a device.
#include "engine/AlsaBackend.h"

#include "engine/AlsaStream.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace tolvane {

namespace {

struct HintsFree {
    void operator()(void** hints) const { snd_device_name_free_hint(hints); }
};
struct TextFree {
    void operator()(char* text) const { std::free(text); }
};
using HintText = std::unique_ptr<char, TextFree>;

// ALSA's version as a driver version: major in the high byte, minor in the low.
uint32_t driverVersion() {
    unsigned major = 0;
    unsigned minor = 0;
    if (std::sscanf(snd_asoundlib_version(), "%u.%u", &major, &minor) != 2) {
        return 0;
    }
    return (major & 0xFF) << 8 | (minor & 0xFF);
}

void copyName(char (&to)[32], const char* from) {
    const size_t n = std::min(std::strlen(from), sizeof to - 1);
    std::memcpy(to, from, n);
    to[n] = '\0';
}

bool formatPlayable(const WAVEFORMATEX& f) {
    return f.wFormatTag == WAVE_FORMAT_PCM && (f.wBitsPerSample == 8 || f.wBitsPerSample == 16) &&
           f.nChannels >= 1 && f.nChannels <= 8 && f.nSamplesPerSec > 0 &&
           f.nBlockAlign == f.nChannels * f.wBitsPerSample / 8 &&
           f.nAvgBytesPerSec == f.nSamplesPerSec * f.nBlockAlign;
}

} // namespace

std::shared_ptr<AlsaBackend> AlsaBackend::instance() {
    static const std::shared_ptr<AlsaBackend> shared = std::make_shared<AlsaBackend>();
    return shared;
}

AlsaBackend::AlsaBackend(bool usePcmPause)
    : volumes_(std::make_shared<DeviceVolumes>()), usePcmPause_(usePcmPause) {}

// The records describe what this backend feeds any PCM (ALSA converts where the
// device needs it): the standard 8- and 16-bit formats, two channels, and a
// separate volume for left and right. ALSA names no maker or product.
MMRESULT AlsaBackend::listDevices(std::vector<AudioDevice>& devices) {
    devices.clear();
    void** hints = nullptr;
    const int err = snd_device_name_hint(-1, "pcm", &hints);
    if (err < 0) {
        return fail(MMSYSERR_NODRIVER, alsaText("snd_device_name_hint", err));
    }
    const std::unique_ptr<void*, HintsFree> release(hints);
    const uint32_t version = driverVersion();
    for (void** hint = hints; *hint != nullptr; ++hint) {
        const HintText name(snd_device_name_get_hint(*hint, "NAME"));
        const HintText direction(snd_device_name_get_hint(*hint, "IOID"));
        if (!name || (direction && std::strcmp(direction.get(), "Output") != 0)) {
            continue;
        }
        const HintText description(snd_device_name_get_hint(*hint, "DESC"));
        AudioDevice device{};
        device.caps.vDriverVersion = version;
        copyName(device.caps.szPname, name.get());
        device.caps.dwFormats = WAVE_FORMAT_STANDARD_MASK;
        device.caps.wChannels = 2;
        device.caps.dwSupport = WAVECAPS_VOLUME | WAVECAPS_LRVOLUME | WAVECAPS_SAMPLEACCURATE;
        device.name = name.get();
        device.description = description ? description.get() : "";
        std::replace(device.description.begin(), device.description.end(), '\n', ' ');
        devices.push_back(std::move(device));
    }
    return MMSYSERR_NOERROR;
}

MMRESULT AlsaBackend::open(int32_t deviceNumber, const WAVEFORMATEX& format, WaveOutProc callback,
                           uintptr_t instance, std::shared_ptr<AudioStream>& stream) {
    if (!formatPlayable(format)) {
        return fail(WAVERR_BADFORMAT, "only 8- and 16-bit PCM with consistent sizes is played");
    }
    std::string pcmName;
    const MMRESULT resolved = resolve(deviceNumber, pcmName);
    if (resolved != MMSYSERR_NOERROR) {
        return resolved;
    }
    auto opened = std::make_shared<AlsaStream>(deviceNumber, pcmName, format, callback, instance,
                                               volumes_, usePcmPause_);
    const MMRESULT result = opened->start();
    if (result != MMSYSERR_NOERROR) {
        return fail(result, opened->lastError());
    }
    stream = std::move(opened);
    return MMSYSERR_NOERROR;
}

MMRESULT AlsaBackend::setDeviceVolume(int32_t deviceNumber, uint32_t volume) {
    std::string ignored;
    const MMRESULT resolved = resolve(deviceNumber, ignored);
    if (resolved == MMSYSERR_NOERROR) {
        volumes_->set(deviceNumber, volume);
    }
    return resolved;
}

MMRESULT AlsaBackend::getDeviceVolume(int32_t deviceNumber, uint32_t& volume) {
    std::string ignored;
    const MMRESULT resolved = resolve(deviceNumber, ignored);
    if (resolved == MMSYSERR_NOERROR) {
        volume = volumes_->get(deviceNumber);
    }
    return resolved;
}

MMRESULT AlsaBackend::resolve(int32_t deviceNumber, std::string& pcmName) {
    if (deviceNumber == WAVE_MAPPER) {
        pcmName = "default";
        return MMSYSERR_NOERROR;
    }
    std::vector<AudioDevice> devices;
    const MMRESULT listed = listDevices(devices);
    if (listed != MMSYSERR_NOERROR) {
        return listed;
    }
    if (deviceNumber < 0 || size_t(deviceNumber) >= devices.size()) {
        return fail(MMSYSERR_BADDEVICEID,
                    "no output device number " + std::to_string(deviceNumber));
    }
    pcmName = devices[size_t(deviceNumber)].name;
    return MMSYSERR_NOERROR;
}

} // namespace tolvane
