#pragma once

#include "engine/ChunkQueue.h"
#include "platform/Event.h"

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace tolvane {

// A stream handed over in memory: the chunks queued in the caller's memory or
// copied, and for a managed stream the pushes that feed it while it plays. The
// queues take their own locks; a pusher on any thread appends and then sets
// `dataEvent`, which wakes a decoding thread waiting for data.
struct MemoryStream {
    ChunkQueue& queue() { return copyMode ? copyingQueue : referenceQueue; }

    platform::Event dataEvent{platform::Event::Reset::Manual};
    std::atomic<bool> copyMode{false};
    std::atomic<bool> endOfData{false};
    std::atomic<bool> managed{false};
    ChunkQueue referenceQueue{false};
    ChunkQueue copyingQueue{true};
    size_t skip = 0; // tag and header bytes the first run drops
    // A managed stream's window: a copy of its first chunk, which the queue
    // frees once the decoder has read it.
    std::vector<uint8_t> firstChunk;
};

} // namespace tolvane
