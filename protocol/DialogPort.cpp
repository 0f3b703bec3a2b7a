#include "protocol/DialogPort.h"

#include <algorithm>
#include <iostream>
#include <vector>

namespace tolvane {

namespace {
// The senders whose reports this thread is handling, innermost last; handlers
// nest when a handler waits for another worker and pumps meanwhile.
thread_local std::vector<std::thread::id> handledSenders;
} // namespace

HandlingReport::HandlingReport(std::thread::id sender) {
    handledSenders.push_back(sender);
}

HandlingReport::~HandlingReport() {
    handledSenders.pop_back();
}

bool HandlingReport::blocks(std::thread::id worker) {
    return worker != std::thread::id() &&
           std::find(handledSenders.begin(), handledSenders.end(), worker) != handledSenders.end();
}

bool refuseWaitFromOwnReport(std::thread::id worker, std::string_view who) {
    if (!HandlingReport::blocks(worker)) {
        return false;
    }
    std::cerr << "tolvane: " << who
              << " was called while handling a report of the worker it waits for; the worker "
                 "ends once the report is handled, so the wait is skipped"
              << std::endl;
    return true;
}

} // namespace tolvane
