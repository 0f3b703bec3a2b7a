#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>

namespace tolvane {

// The ordered chunks of a managed memory stream. In reference mode an entry
// points at the caller's memory, which must stay valid until the chunk is
// released; in copying mode the queue keeps its own copy and the caller's
// memory is free at once. Appending and searching may happen on any thread
// while the decoding thread reads: every operation takes the queue's lock.
class ChunkQueue {
  public:
    explicit ChunkQueue(bool copying) : copying_(copying) {}
    ChunkQueue(const ChunkQueue&) = delete;
    ChunkQueue& operator=(const ChunkQueue&) = delete;

    // Appends a chunk; false when memory for it cannot be had.
    bool append(const void* data, size_t size);
    // Copies up to `size` bytes from the head onward into `out` (null discards
    // them), removing every chunk read to its end. Returns the bytes read;
    // `removed` is the number of chunks removed.
    size_t read(uint8_t* out, size_t size, size_t& removed);
    // True while a chunk pushed with this pointer is still queued.
    bool holds(const void* pushed) const;
    // The head chunk's unread bytes as the queue holds them (the copy in
    // copying mode); false when the queue is empty.
    bool head(const uint8_t*& data, size_t& size) const;
    void clear();

    size_t entries() const;
    size_t bytesLeft() const;
    bool copying() const { return copying_; }

  private:
    struct Entry {
        const void* pushed;
        const uint8_t* data;             // the caller's memory or `copy`
        std::unique_ptr<uint8_t[]> copy; // copying mode only
        size_t size;
        size_t offset = 0; // read cursor within the entry
    };

    const bool copying_;
    mutable std::mutex mutex_;
    std::deque<Entry> entries_;
    size_t bytesLeft_ = 0;
};

} // namespace tolvane
