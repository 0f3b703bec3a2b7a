#pragma once

#include "protocol/DialogPort.h"

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>

namespace tolvane {

// A dialog port for front ends without a toolkit event loop (the headless
// client, tests): reports sent on the interface thread run the handler at once;
// reports sent from any other thread are queued and their sender blocks until
// the interface thread runs them in pump(), in arrival order.
//
// Threads: the thread that constructs the pump is the interface thread; only it
// calls pump() and pumpUntil(). mutex_ guards the queue and each call's done
// flag; senders sleep on served_ until their call has run. The pump must outlive
// every worker that may send to it.
class InterfacePump : public DialogPort {
  public:
    using Handler = std::function<void(uint32_t message, uint32_t code, intptr_t argument)>;

    explicit InterfacePump(Handler handler);
    InterfacePump(const InterfacePump&) = delete;
    InterfacePump& operator=(const InterfacePump&) = delete;

    void send(uint32_t message, uint32_t code, intptr_t argument) override;
    // Runs every report queued so far (and those queued while it runs).
    void pump() override;
    // Pumps until `done` returns true or `timeout` has passed; true when done.
    bool pumpUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout);

    bool onInterfaceThread() const { return std::this_thread::get_id() == interfaceThread_; }

  private:
    struct Call {
        uint32_t message;
        uint32_t code;
        intptr_t argument;
        std::thread::id sender;
        bool done = false;
    };

    const Handler handler_;
    const std::thread::id interfaceThread_;
    std::mutex mutex_;
    std::condition_variable queued_;
    std::condition_variable served_;
    std::deque<Call*> calls_;
};

} // namespace tolvane
