#include "protocol/ControllerWorker.h"

#include <cstdio>

namespace tolvane {

ControllerWorker::~ControllerWorker() {
    waitOut();
}

void ControllerWorker::sendNumbers(uint32_t message, uint32_t code, intptr_t argument) const {
    if (DialogPort* port = port_.load()) {
        port->send(message, code, argument);
    }
}

bool ControllerWorker::waitOut() {
    if (!thread_.attached() ||
        refuseWaitFromOwnReport(thread_.id(), "a controller's wait for its worker")) {
        return false;
    }
    DialogPort* port = port_.load();
    platform::waitPumping(thread_, port ? std::function<void()>([port] { port->pump(); })
                                        : std::function<void()>());
    return true;
}

bool ControllerWorker::start(std::function<void()> body) {
    waitOut();
    if (!thread_.start(std::move(body))) {
        // The system refused a thread (its limit reached): the request is not
        // made and no report follows, so say why where it can be seen.
        std::fprintf(stderr, "tolvane: cannot start a worker thread; the request is not made\n");
        return false;
    }
    return true;
}

} // namespace tolvane
