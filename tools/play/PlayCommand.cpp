#include "engine/Mp3Engine.h"
#include "tools/play/Commands.h"
#include "tools/play/PlaySession.h"
#include "tools/play/Report.h"
#include "tools/play/StatusLine.h"

#include <cstdio>
#include <unistd.h>

namespace tolvane::play {

namespace {

// play's view: on a terminal, one status line on standard error with the
// state, position, bit rate and level meters, rewritten in place.
class StatusView : public PlaySession::View {
  public:
    std::chrono::milliseconds period() const override { return std::chrono::milliseconds(100); }

    bool prepare(Mp3Engine&) override {
        active_ = isatty(STDERR_FILENO) != 0;
        return true;
    }

    bool update(Mp3Engine& engine, uint32_t lengthMs) override {
        if (!active_) {
            return true;
        }
        MP3_STATUS status{};
        MP3_TIME position{};
        engine.GetStatus(&status);
        if (status.fStopped) {
            return true;
        }
        engine.GetPosition(&position);
        StatusLine::State state;
        state.paused = status.fPaused;
        state.reverse = status.fReverse;
        state.looping = status.fLooping;
        state.positionMs = position.nMilliseconds;
        state.lengthMs = lengthMs;
        state.bitrateKbps = uint32_t(engine.GetBitrate(0));
        uint32_t left = 0;
        uint32_t right = 0;
        if (engine.GetVUData(&left, &right)) {
            state.levelLeft = left;
            state.levelRight = right;
        }
        std::fprintf(stderr, "\r%s\x1b[K", StatusLine::render(state).c_str());
        std::fflush(stderr);
        return true;
    }

    int finish() override {
        if (active_) {
            std::fputs("\n", stderr);
        }
        return kExitOk;
    }

  private:
    bool active_ = false;
};

} // namespace

int runPlay(const PlayOptions& options) {
    StatusView view;
    return PlaySession(options, view).run();
}

} // namespace tolvane::play
