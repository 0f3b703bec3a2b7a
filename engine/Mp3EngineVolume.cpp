// The device's and the player's volume, and the fades the decoding thread
// performs.
#include "engine/Mp3Engine.h"
#include "engine/OutputConversion.h"
#include "engine/TimeFormat.h"
#include "engine/WaveOutput.h"
#include "platform/MulDiv.h"

#include <algorithm>

namespace tolvane {

using platform::MulDiv;

namespace {

uint32_t percent(uint32_t value) {
    return std::min<uint32_t>(value, 100);
}

} // namespace

int32_t Mp3Engine::UseInternalVolume(int32_t fEnable) {
    gains_.internalVolume = fEnable != 0;
    return 1;
}

int32_t Mp3Engine::SetVolume(uint32_t nLeftVolume, uint32_t nRightVolume) {
    if (gains_.internalVolume) {
        return SetPlayerVolume(nLeftVolume, nRightVolume);
    }
    return SetWaveOutVolume(nLeftVolume, nRightVolume);
}

int32_t Mp3Engine::SetWaveOutVolume(uint32_t nLeftVolume, uint32_t nRightVolume) {
    wave_->SetOutputVolume(uint16_t(percent(nLeftVolume) * 0xFFFF / 100),
                           uint16_t(percent(nRightVolume) * 0xFFFF / 100));
    return 1;
}

int32_t Mp3Engine::SetPlayerVolume(uint32_t nLeftVolume, uint32_t nRightVolume) {
    std::lock_guard lock(gains_.lock);
    gains_.fadeLevel = 100.0;
    gains_.volume[0] = percent(nLeftVolume);
    gains_.volume[1] = percent(nRightVolume);
    gains_.volumeGain[0] = levelGain(gains_.volume[0]);
    gains_.volumeGain[1] = levelGain(gains_.volume[1]);
    gains_.setEffectiveGains();
    return 1;
}

int32_t Mp3Engine::GetVolume(uint32_t* pnLeftVolume, uint32_t* pnRightVolume) {
    if (gains_.internalVolume) {
        return GetPlayerVolume(pnLeftVolume, pnRightVolume);
    }
    return GetWaveOutVolume(pnLeftVolume, pnRightVolume);
}

int32_t Mp3Engine::GetWaveOutVolume(uint32_t* pnLeftVolume, uint32_t* pnRightVolume) {
    if (!pnLeftVolume || !pnRightVolume) {
        setError("GetVolume->Invalid parameters !");
        return 0;
    }
    uint16_t left = 0;
    uint16_t right = 0;
    wave_->GetOutputVolume(&left, &right);
    *pnLeftVolume = uint32_t(MulDiv(left, 100, 0xFFFF));
    *pnRightVolume = uint32_t(MulDiv(right, 100, 0xFFFF));
    return 1;
}

int32_t Mp3Engine::GetPlayerVolume(uint32_t* pnLeftVolume, uint32_t* pnRightVolume) {
    if (!pnLeftVolume || !pnRightVolume) {
        setError("GetVolume->Invalid parameters !");
        return 0;
    }
    std::lock_guard lock(gains_.lock);
    *pnLeftVolume = gains_.volume[0];
    *pnRightVolume = gains_.volume[1];
    return 1;
}

int32_t Mp3Engine::FadeVolume(int32_t fMode, uint32_t fFormat, MP3_TIME* pTime) {
    return fade(fMode, fFormat, pTime, false);
}

int32_t Mp3Engine::FadeVolumeRestart(int32_t fMode, uint32_t fFormat, MP3_TIME* pTime) {
    return fade(fMode, fFormat, pTime, true);
}

// Sets up a fade that the decoding thread performs frame by frame, from the
// current level or (restart) from the far end.
int32_t Mp3Engine::fade(int32_t fMode, uint32_t fFormat, MP3_TIME* pTime, bool restart) {
    if (!pTime) {
        setError("FadeVolume->MP3_TIME *pTime can't be 0");
        return 0;
    }
    if (fMode != FADE_IN && fMode != FADE_OUT) {
        setError("FadeVolume->Invalid fMode !");
        return 0;
    }
    const uint32_t frames = frameCount(toMilliseconds(fFormat, *pTime));
    std::lock_guard lock(gains_.lock);
    gains_.fadeCounter = 0;
    if (frames == 0) {
        gains_.fadeInRunning = gains_.fadeOutRunning = false;
        const double gain = fMode == FADE_IN ? 1.0 : 0.0;
        gains_.fadeLevel = fMode == FADE_IN ? 100.0 : 0.0;
        gains_.fadeGain[0] = gains_.fadeGain[1] = gain;
        gains_.setEffectiveGains();
        return 1;
    }
    if (fMode == FADE_IN) {
        gains_.fadeOutRunning = false;
        gains_.fadeInFrames = frames;
        if (restart) {
            gains_.fadeLevel = 0.0;
        }
        gains_.fadeInStep = std::max(0.0, (100.0 - gains_.fadeLevel) / frames);
        gains_.fadeInRunning = true;
    } else {
        gains_.fadeInRunning = false;
        gains_.fadeOutFrames = frames;
        if (restart) {
            gains_.fadeLevel = 100.0;
        }
        gains_.fadeOutStep = gains_.fadeLevel / frames;
        gains_.fadeOutRunning = true;
    }
    return 1;
}

} // namespace tolvane
