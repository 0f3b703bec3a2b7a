#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <mutex>

namespace tolvane::platform {

struct ThreadMessage {
    uint32_t message = 0;
    uintptr_t wParam = 0;
    intptr_t lParam = 0;
};

constexpr uint32_t kWmQuit = 0x0012;
constexpr uint32_t kWmTimer = 0x0113;
constexpr uint32_t kWmUser = 0x0400;

// The message queue of one worker thread, in the manner of the desktop thread
// queues: any thread posts, the owning thread gets. One-shot timers belong to
// the queue and arrive, when due, as kWmTimer messages carrying the timer id in
// wParam; they are dispatched only by the owner's get(), so a timer never fires
// on another thread. A quit request ends get() once the messages posted before
// it have been taken; messages posted after it are refused.
//
// Locking: one mutex guards the messages, timers and quit state; get() sleeps
// on a condition variable until a message is posted or the next timer is due.
class MessageQueue {
  public:
    using Clock = std::chrono::steady_clock;

    bool post(uint32_t message, uintptr_t wParam = 0, intptr_t lParam = 0);
    void postQuit();
    // Blocks for the next message; false once the quit request is reached.
    bool get(ThreadMessage& out);
    // Takes (or only looks at) the next message without blocking.
    bool peek(ThreadMessage& out, bool remove);
    // Starts or restarts the one-shot timer `id`; it is due after `delay`.
    void setTimer(uint32_t id, std::chrono::milliseconds delay);
    // Cancels a timer that has not fired; false when there was none.
    bool killTimer(uint32_t id);
    // Drops every queued message and timer and clears the quit request, so the
    // queue can serve a new run of its thread.
    void clear();

  private:
    bool takeLocked(ThreadMessage& out, bool remove);

    std::mutex mutex_;
    std::condition_variable changed_;
    std::deque<ThreadMessage> messages_;
    std::map<uint32_t, Clock::time_point> timers_;
    bool quit_ = false;
};

} // namespace tolvane::platform
