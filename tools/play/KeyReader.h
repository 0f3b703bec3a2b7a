#pragma once

#include <chrono>
#include <termios.h>

namespace tolvane::play {

// Single key presses from standard input while it is the terminal of a
// foreground job: the terminal is switched to unbuffered input without echo
// for the reader's lifetime and restored afterwards. Elsewhere (a pipe, a file,
// a background job) no keys are read and wait() only waits.
class KeyReader {
  public:
    KeyReader();
    ~KeyReader();
    KeyReader(const KeyReader&) = delete;
    KeyReader& operator=(const KeyReader&) = delete;

    bool active() const { return active_; }
    // Waits up to `timeout` for a key; the key, or 0 when none came (a
    // signal also ends the wait early).
    char wait(std::chrono::milliseconds timeout);

  private:
    bool active_ = false;    // the terminal's settings are changed
    bool listening_ = false; // keys are read
    termios saved_{};
};

} // namespace tolvane::play
