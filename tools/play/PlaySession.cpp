#include "tools/play/PlaySession.h"

#include "engine/Mp3Engine.h"
#include "tools/play/Interrupt.h"
#include "tools/play/KeyReader.h"
#include "tools/play/PlaybackPlan.h"
#include "tools/play/Report.h"

#include <string>

namespace tolvane::play {

namespace {

// Wave buffers queued ahead of the device: short enough that pause, stop, the
// position and the level data follow the sound closely.
constexpr int32_t kBufferMs = 500;
constexpr auto kTick = std::chrono::milliseconds(100);

} // namespace

PlaySession::PlaySession(const PlayOptions& options, View& view)
    : options_(options), view_(view), engine_(std::make_unique<Mp3Engine>()) {}

PlaySession::~PlaySession() {
    engine_->SetCallbackFunc(nullptr, 0);
}

bool PlaySession::open() {
    if (options_.device && !engine_->SetWaveOutDevice(*options_.device)) {
        return false;
    }
    if (!engine_->OpenMp3File(options_.file.c_str(), kBufferMs, 0, 0)) {
        return false;
    }
    MP3_STREAM_INFO info{};
    MP3_TIME length{};
    engine_->GetMp3Info(&info);
    engine_->GetSongLengthHMS(&length);
    sampleRate_ = uint32_t(info.nSampleRate);
    lengthMs_ = length.nMilliseconds;
    plan_ = std::make_unique<PlaybackPlan>(options_, lengthMs_);
    // Counting buffers for the fade-out makes the position count what was
    // decoded rather than what was heard: at most kBufferMs ahead.
    const uint32_t mask = NOTIFY_STOPPED | (plan_->wantsBuffers() ? NOTIFY_WAVE_BUFFER : 0);
    auto onEvent = [this](uint32_t code, uintptr_t, uintptr_t bytes) -> int32_t {
        if (code == NOTIFY_STOPPED) {
            stopped_.set();
        } else {
            plan_->onBuffer(*engine_, uint32_t(bytes), sampleRate_);
        }
        return 0;
    };
    return engine_->SetCallbackFunc(onEvent, mask) && plan_->prepare(*engine_) &&
           view_.prepare(*engine_);
}

int PlaySession::run() {
    Interrupt interrupt;
    if (!open()) {
        return engineFailure(*engine_);
    }
    // A run that fails on its way leaves a new error text behind.
    const std::string errorBefore = engine_->GetLastErrorText();
    if (!plan_->start(*engine_)) {
        return engineFailure(*engine_);
    }
    loop();
    const int viewStatus = view_.finish();
    engine_->CloseStream();
    if (errorBefore != engine_->GetLastErrorText()) {
        return engineFailure(*engine_);
    }
    return viewStatus;
}

void PlaySession::loop() {
    KeyReader keys;
    auto shown = std::chrono::steady_clock::time_point();
    while (!stopped_.isSet()) {
        if (Interrupt::requested()) {
            engine_->Stop();
            break;
        }
        const char key = keys.wait(kTick);
        MP3_STATUS status{};
        engine_->GetStatus(&status);
        if (key == ' ') {
            status.fPaused ? engine_->Resume() : engine_->Pause();
        } else if (key == 'q' || key == 'Q') {
            engine_->Stop();
            break;
        }
        // After the run's end the engine is back at the start: keep the last view.
        const auto now = std::chrono::steady_clock::now();
        if (!stopped_.isSet() && now - shown >= view_.period()) {
            shown = now;
            if (!view_.update(*engine_, lengthMs_)) {
                engine_->Stop();
                break;
            }
        }
    }
}

} // namespace tolvane::play
