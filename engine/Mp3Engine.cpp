#include "engine/Mp3Engine.h"

#include "engine/AlsaBackend.h"
#include "engine/WaveOutDeviceList.h"
#include "engine/WaveOutput.h"

#include <cstdarg>

namespace tolvane {

namespace {

constexpr int32_t kEngineVersion = 250;

} // namespace

Mp3Engine::Mp3Engine() : Mp3Engine(AlsaBackend::instance()) {}

Mp3Engine::Mp3Engine(std::shared_ptr<AudioBackend> backend)
    : wave_(std::make_unique<WaveOutput>(backend)),
      devices_(std::make_unique<WaveOutDeviceList>(WaveOutDeviceList::devicesOf(backend))),
      progress_(*wave_) {}

// Teardown order: stop the run, close the stream, then drop the output and
// end the notification thread (the Notifier member's destructor).
Mp3Engine::~Mp3Engine() {
    Stop();
    CloseStream();
    joinThread();
    wave_.reset();
    devices_.reset();
    const char* ignored = nullptr;
    notifier_.setCallback(nullptr, 0, ignored);
}

void Mp3Engine::setError(const char* format, ...) {
    va_list args;
    va_start(args, format);
    error_.format(format, args);
    va_end(args);
}

int32_t Mp3Engine::GetEngineVersion() {
    return kEngineVersion;
}

const char* Mp3Engine::GetLastErrorText() {
    return error_.publish();
}

int32_t Mp3Engine::EnumerateWaveOut() {
    std::string error;
    const int32_t count = devices_->EnumerateWaveOut(error);
    if (count == 0) {
        setError("%s", error.c_str());
    }
    return count;
}

int32_t Mp3Engine::GetWaveOutInfo(uint32_t nIndex, WAVEOUT_INFO* pWaveOutInfo) {
    std::string error;
    if (!devices_->GetWaveOutInfo(nIndex, pWaveOutInfo, error)) {
        setError("%s", error.c_str());
        return 0;
    }
    return 1;
}

int32_t Mp3Engine::SetWaveOutDevice(int32_t nIndex) {
    std::string error;
    if (!devices_->SetWaveOutDevice(nIndex, error)) {
        setError("%s", error.c_str());
        return 0;
    }
    return 1;
}

void Mp3Engine::Release() {
    delete this;
}

int32_t Mp3Engine::SetCallbackFunc(Mp3Callback pCallbackFunc, uint32_t nMask) {
    const char* error = nullptr;
    if (!notifier_.setCallback(std::move(pCallbackFunc), nMask, error)) {
        setError("%s", error);
        return 0;
    }
    return 1;
}

} // namespace tolvane
