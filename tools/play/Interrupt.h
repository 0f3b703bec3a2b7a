#pragma once

namespace tolvane::play {

// Turns Ctrl-C (SIGINT) and SIGTERM into a request the main loop polls, so a
// run is stopped through the engine and the output is finished properly.
// SIGPIPE is ignored: a closed pipe shows up as a write error instead.
// One instance at a time; the previous handlers come back when it ends.
class Interrupt {
  public:
    Interrupt();
    ~Interrupt();
    Interrupt(const Interrupt&) = delete;
    Interrupt& operator=(const Interrupt&) = delete;

    static bool requested();
};

} // namespace tolvane::play
