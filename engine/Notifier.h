#pragma once

#include "platform/EngineRecords.h"

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>

namespace tolvane {

// Delivers engine events to the user's notification function on a thread of
// its own, so the function never runs on the decoding thread.
//
// Threads: the application thread registers and unregisters (setCallback);
// the decoding thread is the only poster (notify); the callback thread is the
// only caller of the user's function. Each callback thread owns its queue,
// its event and its copy of the function in a reference-counted state, so a
// thread that does not end within 500 ms of its quit request is left to finish
// on that state and never touches the engine again: the call in progress ends,
// and the events still queued are dropped without calling the function, since
// the engine they tell about may be gone by then. `mutex_` guards which
// state is current; the mask is atomic because the poster reads it unlocked.
class Notifier {
  public:
    struct State;

    Notifier();
    ~Notifier();
    Notifier(const Notifier&) = delete;
    Notifier& operator=(const Notifier&) = delete;

    // Registers `callback` for the events in `mask` (a null callback
    // unregisters). False with `error` set when the thread cannot start.
    bool setCallback(Mp3Callback callback, uint32_t mask, const char*& error);

    // Sends an event in the forms the mask asks for, the waiting form first.
    // `code` is an asynchronous bit, or NOTIFY_WAVE_BUFFER. Returns the
    // function's result for the waiting form, else 0.
    int32_t notify(uint32_t code, uintptr_t param1 = 0, uintptr_t param2 = 0);

    bool wants(uint32_t code) const { return (mask_.load() & code) != 0; }
    uint32_t mask() const { return mask_.load(); }

    // Posts one code (asynchronous ≤ 0xFFFF, else waiting) unconditionally;
    // returns the function's result for a waiting code, 0 otherwise.
    int32_t post(uint32_t code, uintptr_t param1, uintptr_t param2);

    // Callback threads alive in the process, detached ones included.
    static int liveThreads();

    // The thread-message numbers that carry event codes, both ways.
    static uint32_t messageForCode(uint32_t code);
    static uint32_t codeForMessage(uint32_t message, bool& waiting);

  private:
    void stopThread();

    std::mutex mutex_;
    std::shared_ptr<State> state_;
    std::atomic<uint32_t> mask_{0};
};

} // namespace tolvane
