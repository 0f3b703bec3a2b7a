#pragma once

#include "platform/Event.h"
#include "tools/play/PlayOptions.h"

#include <chrono>
#include <cstdint>
#include <memory>

namespace tolvane {
class Mp3Engine;
}

namespace tolvane::play {

class PlaybackPlan;

// One run of a file on an output device, for play and spectrum: opens the
// file on the chosen device, applies the options through a PlaybackPlan,
// starts the run, reads keys (space pauses and resumes, q stops), stops on
// Ctrl-C, and lets a view show the run until it ends.
//
// Threads: the main thread runs the session and calls the view; the engine's
// callback thread sets `stopped_` when the run ends and, with --fade-out,
// counts the buffers.
class PlaySession {
  public:
    // Shows a run; every call comes from the main thread.
    class View {
      public:
        virtual ~View() = default;
        // How often update() is called while the run plays or is paused.
        virtual std::chrono::milliseconds period() const = 0;
        // Once the stream is open and the options applied, before the run
        // starts. False ends the session with the engine's error text.
        virtual bool prepare(Mp3Engine& engine) = 0;
        // `lengthMs` is the stream's length. False stops the run.
        virtual bool update(Mp3Engine& engine, uint32_t lengthMs) = 0;
        // Once the run has ended or been stopped: the view's exit status
        // (kExitOk, or kExitFailed with its reason printed).
        virtual int finish() = 0;
    };

    PlaySession(const PlayOptions& options, View& view);
    // The callback goes first: it uses the members destroyed before the engine.
    ~PlaySession();
    PlaySession(const PlaySession&) = delete;
    PlaySession& operator=(const PlaySession&) = delete;

    // The exit status: kExitOk, or kExitFailed with the engine's text printed.
    int run();

  private:
    bool open();
    void loop();

    const PlayOptions& options_;
    View& view_;
    std::unique_ptr<Mp3Engine> engine_;
    std::unique_ptr<PlaybackPlan> plan_;
    platform::Event stopped_{platform::Event::Reset::Manual};
    uint32_t lengthMs_ = 0;
    uint32_t sampleRate_ = 0;
};

} // namespace tolvane::play
