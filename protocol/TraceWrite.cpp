#include "protocol/TraceWrite.h"

#include <mutex>
#include <utility>

namespace tolvane {

namespace {

// Guards only the pointer swap; the sink is called outside the lock.
std::mutex& sinkMutex() {
    static std::mutex mutex;
    return mutex;
}

std::shared_ptr<const TraceSink>& currentSink() {
    static std::shared_ptr<const TraceSink> sink;
    return sink;
}

} // namespace

void setTraceSink(std::shared_ptr<const TraceSink> sink) {
    if (sink && !*sink) {
        sink.reset();
    }
    std::shared_ptr<const TraceSink> old;
    {
        std::lock_guard lock(sinkMutex());
        old = std::exchange(currentSink(), std::move(sink));
    }
    // `old` is released here, outside the lock, so a sink's destructor may
    // write or install freely.
}

void TraceWrite(std::string_view line) {
    std::shared_ptr<const TraceSink> sink;
    {
        std::lock_guard lock(sinkMutex());
        sink = currentSink();
    }
    if (sink) {
        (*sink)(line);
    }
}

} // namespace tolvane
