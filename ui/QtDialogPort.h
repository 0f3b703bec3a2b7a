#pragma once

#include "protocol/DialogPort.h"

#include <QObject>
#include <QPointer>

#include <functional>

namespace tolvane::ui {

// The dialog port of the window: a report sent on the interface thread runs
// its handler at once; one sent from a worker becomes a blocking queued call
// onto the interface thread, so the worker waits until it was handled, as the
// controllers expect. Waiting for a worker pumps the interface thread's
// events, so the reports it sends meanwhile are served and the window keeps
// painting.
//
// Threads: constructed on the interface thread, which owns `context_`; send()
// may come from any thread, pump() only from the interface thread. The port
// must outlive every controller that reports to it.
class QtDialogPort : public DialogPort {
  public:
    using Handler = std::function<void(uint32_t message, uint32_t code, intptr_t argument)>;

    QtDialogPort();
    ~QtDialogPort() override;

    // The dialog's handler; empty while no dialog exists (reports are then
    // served and dropped, so their senders can end).
    void setHandler(Handler handler);

    void send(uint32_t message, uint32_t code, intptr_t argument) override;
    void pump() override;

  private:
    void handle(uint32_t message, uint32_t code, intptr_t argument);

    QObject* context_; // lives on the interface thread; the queued calls run there
    Handler handler_;  // touched on the interface thread only
};

} // namespace tolvane::ui
