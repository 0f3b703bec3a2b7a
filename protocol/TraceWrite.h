#pragma once

#include <functional>
#include <memory>
#include <string_view>

namespace tolvane {

// Receives the trace lines (UTF-8, one event each). Called on the writing
// thread, possibly on several threads at once; it must not wait for the
// interface thread (the GUI queues the line to its window instead).
using TraceSink = std::function<void(std::string_view line)>;

// Installs the sink the trace lines go to; an empty sink closes the trace. A
// write already under way finishes on the old sink, which the shared pointer
// keeps alive; installing never waits for writers, and writers never wait for
// an installer.
void setTraceSink(std::shared_ptr<const TraceSink> sink);

// Appends one line to the trace; nothing happens while no sink is set. Callable
// from any thread.
void TraceWrite(std::string_view line);

} // namespace tolvane
