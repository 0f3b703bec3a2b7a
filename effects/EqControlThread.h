#pragma once

#include <atomic>
#include <functional>
#include <memory>

namespace tolvane {

// The band equalizer's control thread: runs a filter design for each request,
// so that a change of gains never stalls playback.
//
// Threads: the owner (the engine's application thread) starts and stops the
// thread and posts requests; the control thread runs the design function once
// per request, in order, each with the gains current when it starts. The
// queue, the ready event, the cancelled flag and the design function live in a
// reference-counted state shared with the thread, so a thread that has not
// ended within 500 ms of its quit request is left to finish on that state. The
// cancelled flag is set before the quit request: the thread then skips the
// designs still queued, and the design function checks it before publishing.
class EqControlThread {
  public:
    struct State;
    // Gets the thread's cancelled flag; runs on the control thread.
    using Design = std::function<void(const std::atomic<bool>& cancelled)>;

    EqControlThread();
    ~EqControlThread();
    EqControlThread(const EqControlThread&) = delete;
    EqControlThread& operator=(const EqControlThread&) = delete;

    // Starts the thread and waits until its queue serves; false when no thread
    // could be created. A running thread is kept as it is.
    bool start(Design design);
    bool running() const { return state_ != nullptr; }
    // Posts one design request; false when no thread runs.
    bool requestDesign();
    // Cancels, posts the quit request and waits up to 500 ms for the thread.
    void stop();

  private:
    std::shared_ptr<State> state_;
};

} // namespace tolvane
