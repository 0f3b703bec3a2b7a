#pragma once

#include "platform/Event.h"

#include <chrono>
#include <functional>
#include <memory>
#include <thread>

namespace tolvane::platform {

// A worker thread that can be waited for with a time limit, as the desktop
// thread handles can. The finished flag lives in state shared with the running
// body, so a thread given up with detach() touches nothing of this object.
class Thread {
  public:
    Thread() = default;
    Thread(const Thread&) = delete;
    Thread& operator=(const Thread&) = delete;
    // Joins a thread still attached: the owner must have asked it to end.
    ~Thread();

    // Starts `body` on a new thread; false while a previous thread is attached
    // or when the system cannot create one.
    bool start(std::function<void()> body);
    // True while a thread is attached and its body has not returned.
    bool running() const;
    // True when a thread is attached (running or ended but not yet joined).
    bool attached() const { return thread_.joinable(); }
    // Waits for the body to return and reaps the thread.
    void join();
    // As join(), but gives up after `timeout`; true when the thread was reaped.
    bool join(std::chrono::milliseconds timeout);
    // Lets a thread that would not end run on unattended.
    void detach();
    std::thread::id id() const { return thread_.get_id(); }

  private:
    std::thread thread_;
    std::shared_ptr<Event> finished_;
};

// Waits until `thread` has ended while calling `pump` every few milliseconds, so
// the interface thread keeps serving the messages the worker sends it meanwhile
// (a worker blocked on a synchronous report would otherwise never end). With an
// empty pump it is a plain join.
void waitPumping(Thread& thread, const std::function<void()>& pump);

} // namespace tolvane::platform
