#pragma once

#include "protocol/DialogCodes.h"

#include <cstdint>
#include <string>
#include <string_view>
#include <thread>

namespace tolvane {

// The one way controllers reach the main dialog. Implemented by the GUI (a
// blocking queued call onto the interface thread), by the headless client and by
// tests (see InterfacePump).
class DialogPort {
  public:
    virtual ~DialogPort() = default;

    // Called from a worker or from the interface thread; returns after the
    // interface thread has handled the report. `argument` is 0, an integer, or a
    // pointer to a NUL-terminated UTF-16 text (or a record) owned by the sender
    // and valid only during the call.
    virtual void send(uint32_t message, uint32_t code, intptr_t argument) = 0;

    // Called on the interface thread while it waits for a worker: serves the
    // reports workers are blocked on, so the worker can end.
    virtual void pump() = 0;

    static intptr_t textArgument(const std::u16string& text) {
        return reinterpret_cast<intptr_t>(text.c_str());
    }
    // The text a text argument points to; valid as long as the argument is.
    static std::u16string_view textOf(intptr_t argument) {
        return argument == 0 ? std::u16string_view()
                             : std::u16string_view(reinterpret_cast<const char16_t*>(argument));
    }
};

// Marks, for as long as it lives, that the calling (interface) thread is
// handling a report that the thread `sender` sent and is blocked on. Port
// implementations open one around every handler call that serves another
// thread, so a wait for a worker from inside its own report can be told apart
// from a wait that pumping will end.
class HandlingReport {
  public:
    explicit HandlingReport(std::thread::id sender);
    ~HandlingReport();
    HandlingReport(const HandlingReport&) = delete;
    HandlingReport& operator=(const HandlingReport&) = delete;

    // True when the calling thread is, further up its stack, handling a report
    // of `worker`: waiting for that worker would never end.
    static bool blocks(std::thread::id worker);
};

// True, after saying so on standard error, when waiting for `worker` now would
// deadlock because the caller handles one of its reports; `who` names the
// waiting operation. The caller then skips the wait.
bool refuseWaitFromOwnReport(std::thread::id worker, std::string_view who);

} // namespace tolvane
