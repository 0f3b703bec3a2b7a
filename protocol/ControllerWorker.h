#pragma once

#include "platform/Thread.h"
#include "protocol/CurlGlobal.h"
#include "protocol/DialogPort.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>

namespace tolvane {

// What every service controller shares: the dialog port its reports go to,
// its one worker thread, and its hold on libcurl's global state.
//
// Threads: the interface thread sets the port and starts and waits out the
// worker; the worker sends reports. The port pointer is atomic; the thread
// handle is touched by the interface thread only. Waiting for the worker pumps
// the port, because the worker may be blocked sending to it; the port must stay
// alive until every worker that may use it has been waited out. A handler of
// a controller's own report must not wait that controller out: its worker is
// the one waiting for the handler.
class ControllerWorker {
  public:
    ControllerWorker() = default;
    // Waits out a worker still attached.
    ~ControllerWorker();
    ControllerWorker(const ControllerWorker&) = delete;
    ControllerWorker& operator=(const ControllerWorker&) = delete;

    // Null stops the reports.
    void setPort(DialogPort* port) { port_.store(port); }
    DialogPort* port() const { return port_.load(); }

    // One report through the port; nothing while no port is set.
    template <class Code>
    void send(dialog::Message message, Code code, intptr_t argument = 0) const {
        sendNumbers(dialog::number(message), dialog::number(code), argument);
    }
    template <class Code>
    void sendText(dialog::Message message, Code code, const std::u16string& text) const {
        sendNumbers(dialog::number(message), dialog::number(code), DialogPort::textArgument(text));
    }

    // If a worker is attached, waits until it has ended, pumping the port
    // meanwhile, and forgets it; true when there was one.
    bool waitOut();
    // Waits out the previous worker, then runs `body` on a new one.
    bool start(std::function<void()> body);
    // True while the worker's body has not returned.
    bool running() const { return thread_.running(); }

  private:
    void sendNumbers(uint32_t message, uint32_t code, intptr_t argument) const;

    CurlGlobal curl_;
    std::atomic<DialogPort*> port_{nullptr};
    platform::Thread thread_;
};

} // namespace tolvane
