#include "engine/Mp3Engine.h"
#include "platform/Event.h"
#include "tools/play/Commands.h"
#include "tools/play/Interrupt.h"
#include "tools/play/KeyReader.h"
#include "tools/play/PlaybackPlan.h"
#include "tools/play/Report.h"
#include "tools/play/StatusLine.h"

#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <unistd.h>

// Threads: the main thread starts the run, reads keys, polls the engine for
// the status line and stops the run on request; the engine's callback thread
// sets `stopped` when the run ends and, with --fade-out, counts the buffers.
namespace tolvane::play {

namespace {

// Wave buffers queued ahead of the device: short enough that pause, stop and
// the position follow the sound closely.
constexpr int32_t kBufferMs = 500;
constexpr auto kTick = std::chrono::milliseconds(100);

class PlaySession {
  public:
    explicit PlaySession(const PlayOptions& options)
        : options_(options), engine_(std::make_unique<Mp3Engine>()),
          showStatus_(isatty(STDERR_FILENO) != 0) {}

    // The callback goes first: it uses the members destroyed before the engine.
    ~PlaySession() { engine_->SetCallbackFunc(nullptr, 0); }
    PlaySession(const PlaySession&) = delete;
    PlaySession& operator=(const PlaySession&) = delete;

    int run();

  private:
    bool open();
    void loop();
    void showStatus();

    const PlayOptions& options_;
    std::unique_ptr<Mp3Engine> engine_;
    std::unique_ptr<PlaybackPlan> plan_;
    platform::Event stopped_{platform::Event::Reset::Manual};
    uint32_t lengthMs_ = 0;
    uint32_t sampleRate_ = 0;
    bool showStatus_ = false;
    bool meters_ = false;
};

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
    return engine_->SetCallbackFunc(onEvent, mask) && plan_->prepare(*engine_);
}

int PlaySession::run() {
    Interrupt interrupt;
    if (!open()) {
        return engineFailure(*engine_);
    }
    uint32_t left = 0;
    uint32_t right = 0;
    meters_ = engine_->GetVUData(&left, &right) == 1;
    // A run that fails on its way leaves a new error text behind.
    const std::string errorBefore = engine_->GetLastErrorText();
    if (!plan_->start(*engine_)) {
        return engineFailure(*engine_);
    }
    loop();
    engine_->CloseStream();
    if (errorBefore != engine_->GetLastErrorText()) {
        return engineFailure(*engine_);
    }
    return kExitOk;
}

void PlaySession::loop() {
    KeyReader keys;
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
        // After the run's end the engine is back at the start: keep the last line.
        if (!stopped_.isSet()) {
            showStatus();
        }
    }
    if (showStatus_) {
        std::fputs("\n", stderr);
    }
}

void PlaySession::showStatus() {
    if (!showStatus_) {
        return;
    }
    MP3_STATUS status{};
    MP3_TIME position{};
    engine_->GetStatus(&status);
    if (status.fStopped) {
        return;
    }
    engine_->GetPosition(&position);
    StatusLine::State state;
    state.paused = status.fPaused;
    state.reverse = status.fReverse;
    state.looping = status.fLooping;
    state.positionMs = position.nMilliseconds;
    state.lengthMs = lengthMs_;
    state.bitrateKbps = uint32_t(engine_->GetBitrate(0));
    uint32_t left = 0;
    uint32_t right = 0;
    if (meters_ && engine_->GetVUData(&left, &right)) {
        state.levelLeft = left;
        state.levelRight = right;
    }
    std::fprintf(stderr, "\r%s\x1b[K", StatusLine::render(state).c_str());
    std::fflush(stderr);
}

} // namespace

int runPlay(const PlayOptions& options) {
    return PlaySession(options).run();
}

} // namespace tolvane::play
