#pragma once

#include "engine/QueuedStream.h"

#include <alsa/asoundlib.h>

#include <chrono>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace tolvane {

// The volume remembered for each device number of the ALSA backend.
struct DeviceVolumes {
    uint32_t get(int32_t deviceNumber) {
        std::lock_guard guard(lock);
        const auto it = words.find(deviceNumber);
        return it == words.end() ? 0xFFFFFFFFu : it->second;
    }
    void set(int32_t deviceNumber, uint32_t volume) {
        std::lock_guard guard(lock);
        words[deviceNumber] = volume;
    }

    std::mutex lock;
    std::map<int32_t, uint32_t> words;
};

inline std::string alsaText(const std::string& what, int err) {
    return what + ": " + snd_strerror(err);
}

struct PcmClose {
    void operator()(snd_pcm_t* pcm) const { snd_pcm_close(pcm); }
};
using PcmHandle = std::unique_ptr<snd_pcm_t, PcmClose>;

// One stream on an ALSA PCM; its writer thread alone touches the PCM.
class AlsaStream final : public QueuedStream {
  public:
    AlsaStream(int32_t deviceNumber, std::string pcmName, const WAVEFORMATEX& format,
               WaveOutProc callback, uintptr_t instance, std::shared_ptr<DeviceVolumes> volumes,
               bool usePcmPause)
        : QueuedStream(format.nBlockAlign, callback, instance, volumes->get(deviceNumber)),
          deviceNumber_(deviceNumber), pcmName_(std::move(pcmName)), format_(format),
          volumes_(std::move(volumes)), usePcmPause_(usePcmPause) {}
    ~AlsaStream() override;

    // Starts the writer and returns the result of opening the PCM.
    MMRESULT start();

    MMRESULT position(uint64_t& frames) override;

  private:
    // Writer thread.
    MMRESULT openOutput() override;
    MMRESULT openDevice();
    void serve() override;
    void closeOutput() override { pcm_.reset(); } // snd_pcm_close drops what is still in it
    void applyReset();
    void applyPause();
    void applyRestart();
    void dropKeepingPending();
    void writeQueued();
    void updatePlayed();
    void reportPlayed();
    void waitForWork();
    bool recover(int err, const char* what);
    const void* withGain(const char* data, size_t frames);

    // Any thread.
    void wake() override;
    void rememberVolume(uint32_t volume) override { volumes_->set(deviceNumber_, volume); }
    bool hasFailed() const {
        std::lock_guard guard(lock_);
        return failed_;
    }

    const int32_t deviceNumber_;
    const std::string pcmName_;
    const WAVEFORMATEX format_;
    const std::shared_ptr<DeviceVolumes> volumes_;
    const bool usePcmPause_;
    int wakeFd_ = -1;

    // Under lock_.
    uint64_t played_ = 0; // frames heard since open or reset, at playedAt_
    std::chrono::steady_clock::time_point playedAt_;
    uint64_t playedLimit_ = 0; // frames written at playedAt_
    bool advancing_ = false;   // the PCM was running at playedAt_
    uint64_t reported_ = 0;    // the highest position handed out

    // Writer only.
    PcmHandle pcm_;
    uint64_t written_ = 0; // frames handed to the PCM since open or reset
    uint64_t resetsDone_ = 0;
    bool paused_ = false;
    bool pcmPaused_ = false; // snd_pcm_pause is in effect
    bool canPause_ = false;
    snd_pcm_uframes_t bufferFrames_ = 0;
    snd_pcm_uframes_t chunkFrames_ = 0;
    std::vector<char> scratch_;
    std::deque<Entry> finished_;
};

} // namespace tolvane
