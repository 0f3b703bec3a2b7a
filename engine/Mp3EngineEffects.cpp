#include "engine/EngineRingView.h"
#include "engine/Mp3Engine.h"

#include <algorithm>
#include <chrono>
#include <cstdint>

// The effect, tag and analysis operations: each forwards to its processor and
// turns the processor's failure into the engine's error text.
namespace tolvane {

namespace {
// How long a no-device change waits for the band equalizer's designs.
constexpr std::chrono::seconds kDesignWait{30};
} // namespace

void Mp3Engine::settleEqualizer() {
    if (isStreamOpen() && stream_.noDevice) {
        effects_.band.waitForDesigns(kDesignWait);
    }
}

int32_t Mp3Engine::MixChannels(int32_t fEnable, uint32_t nLeftPercent, uint32_t nRightPercent) {
    // Percentages from about 800 up would not fit the 4.28 fixed-point factor:
    // they are held at its largest value instead of overflowing the conversion.
    auto factor = [](uint32_t percent) {
        return int32_t(std::min(percent * 0.01 * 0x10000000 + 0.5, double(INT32_MAX)));
    };
    effects_.mixFactor[0] = factor(nLeftPercent);
    effects_.mixFactor[1] = factor(nRightPercent);
    effects_.channelMix = fEnable != 0;
    return 1;
}

int32_t Mp3Engine::VocalCut(int32_t fEnable) {
    effects_.vocalCut = fEnable != 0;
    return 1;
}

int32_t Mp3Engine::EnableEQ(int32_t fEnable, int32_t fExternal) {
    if (!fExternal) {
        effects_.subband.setEnabled(fEnable != 0);
        return 1;
    }
    const char* error = nullptr;
    if (!effects_.band.enable(fEnable != 0, error)) {
        setError("%s", error);
        return 0;
    }
    settleEqualizer();
    return 1;
}

int32_t Mp3Engine::CreateEqBands(int32_t* pnFreqPoint, int32_t nNumOfPoints) {
    // The band layout is replaced with playback stopped.
    stopAndJoin();
    const char* error = nullptr;
    if (!effects_.band.createBands(pnFreqPoint, nNumOfPoints, error)) {
        setError("%s", error);
        return 0;
    }
    settleEqualizer();
    return 1;
}

int32_t Mp3Engine::GetEqBands(int32_t* pnFreqPoint) {
    return effects_.band.getBands(pnFreqPoint);
}

int32_t Mp3Engine::SetEqGains(int32_t fExternal, int32_t nPreAmpGain, int32_t* pnEQGain,
                              int32_t nNumberOfGains) {
    return setEqGains(fExternal, nPreAmpGain, pnEQGain, nNumberOfGains, false);
}

int32_t Mp3Engine::SetEqGainsMilli(int32_t fExternal, int32_t nPreAmpGain, int32_t* pnEQGain,
                                   int32_t nNumberOfGains) {
    return setEqGains(fExternal, nPreAmpGain, pnEQGain, nNumberOfGains, true);
}

int32_t Mp3Engine::setEqGains(int32_t fExternal, int32_t nPreAmpGain, int32_t* pnEQGain,
                              int32_t nNumberOfGains, bool milli) {
    if (!fExternal) {
        effects_.subband.setGains(nPreAmpGain, pnEQGain, milli);
        return 1;
    }
    effects_.band.setGains(nPreAmpGain, pnEQGain, nNumberOfGains, milli);
    settleEqualizer();
    return 1;
}

int32_t Mp3Engine::GetEqGains(int32_t fExternal, int32_t* pnPreAmpGain, int32_t* pnEQGain) {
    return fExternal ? effects_.band.getGains(pnPreAmpGain, pnEQGain, false)
                     : effects_.subband.getGains(pnPreAmpGain, pnEQGain, false);
}

int32_t Mp3Engine::GetEqGainsMilli(int32_t fExternal, int32_t* pnPreAmpGain, int32_t* pnEQGain) {
    return fExternal ? effects_.band.getGains(pnPreAmpGain, pnEQGain, true)
                     : effects_.subband.getGains(pnPreAmpGain, pnEQGain, true);
}

int32_t Mp3Engine::SetSfxParam(int32_t fEnable, int32_t nMode, int32_t nDelayMs, int32_t nInputGain,
                               int32_t nEchoGain, int32_t nOutputGain) {
    const char* error = nullptr;
    if (!effects_.echo.SetSfxParam(fEnable, nMode, nDelayMs, nInputGain, nEchoGain, nOutputGain,
                                   error)) {
        setError("%s", error);
        return 0;
    }
    return 1;
}

int32_t Mp3Engine::GetSfxParam(int32_t* pnMode, int32_t* pnDelayMs, int32_t* pnInputGain,
                               int32_t* pnEchoGain, int32_t* pnOutputGain) {
    const char* error = nullptr;
    if (!effects_.echo.GetSfxParam(pnMode, pnDelayMs, pnInputGain, pnEchoGain, pnOutputGain,
                                   error)) {
        setError("%s", error);
        return 0;
    }
    return 1;
}

int32_t Mp3Engine::SetSfxModeData(int32_t nMode, int32_t* pnLeftData, int32_t* pnRightData,
                                  int32_t nSize) {
    const char* error = nullptr;
    if (!effects_.echo.SetSfxModeData(nMode, pnLeftData, pnRightData, nSize, error)) {
        setError("%s", error);
        return 0;
    }
    return 1;
}

int32_t Mp3Engine::GetSfxModeData(int32_t nMode, int32_t* pnLeftData, int32_t* pnRightData) {
    return EchoProcessor::GetSfxModeData(nMode, pnLeftData, pnRightData);
}

int32_t Mp3Engine::LoadID3(int32_t nId3Version, ID3_TAG_INFO* pId3Info) {
    std::string error;
    const bool open = isStreamOpen();
    if (!id3_.load(nId3Version, open ? window_.data : nullptr, open ? window_.size : 0,
                   window_.id3v1, pId3Info, error)) {
        if (!error.empty()) {
            setError("%s", error.c_str());
        }
        return 0;
    }
    return 1;
}

int32_t Mp3Engine::GetVUData(uint32_t* pnLeftChannel, uint32_t* pnRightChannel) {
    std::scoped_lock lock(spectrumLock_, ringLock_);
    const char* error = nullptr;
    if (!spectrum_.getVuData(ringView(), pnLeftChannel, pnRightChannel, error)) {
        setError("%s", error);
        return 0;
    }
    return 1;
}

int32_t Mp3Engine::GetFFTValues(FFT_STRUCT* pFFTStruct) {
    std::scoped_lock lock(spectrumLock_, ringLock_);
    const char* error = nullptr;
    if (!spectrum_.getFftValues(ringView(), pFFTStruct, error)) {
        setError("%s", error);
        return 0;
    }
    return 1;
}

EngineRingView Mp3Engine::ringView() {
    return EngineRingView(window_, transport_, progress_, *wave_);
}

} // namespace tolvane
