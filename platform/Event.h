#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>

namespace tolvane::platform {

// A waitable flag in the manner of the desktop event objects: a manual-reset
// event stays set until reset and releases every waiter; an auto-reset event
// releases one waiter and clears itself.
class Event {
  public:
    enum class Reset { Manual, Auto };

    explicit Event(Reset mode, bool signalled = false);
    Event(const Event&) = delete;
    Event& operator=(const Event&) = delete;

    void set();
    void reset();
    void wait();
    // Returns true when the event was (or became) set within the timeout.
    bool waitFor(std::chrono::milliseconds timeout);
    bool isSet() const;

  private:
    const Reset mode_;
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    bool signalled_;
};

} // namespace tolvane::platform
