#include "engine/ChunkQueue.h"

#include <algorithm>
#include <cstring>
#include <new>

namespace tolvane {

bool ChunkQueue::append(const void* data, size_t size) {
    Entry entry{data, static_cast<const uint8_t*>(data), nullptr, size};
    if (copying_) {
        entry.copy.reset(new (std::nothrow) uint8_t[size]);
        if (!entry.copy) {
            return false;
        }
        std::memcpy(entry.copy.get(), data, size);
        entry.data = entry.copy.get();
    }
    std::lock_guard lock(mutex_);
    try {
        entries_.push_back(std::move(entry));
    } catch (const std::bad_alloc&) {
        return false;
    }
    bytesLeft_ += size;
    return true;
}

size_t ChunkQueue::read(uint8_t* out, size_t size, size_t& removed) {
    removed = 0;
    size_t done = 0;
    std::lock_guard lock(mutex_);
    while (done < size && !entries_.empty()) {
        Entry& head = entries_.front();
        const size_t n = std::min(size - done, head.size - head.offset);
        if (out) {
            std::memcpy(out + done, head.data + head.offset, n);
        }
        head.offset += n;
        done += n;
        if (head.offset == head.size) {
            entries_.pop_front();
            ++removed;
        }
    }
    bytesLeft_ -= done;
    return done;
}

bool ChunkQueue::holds(const void* pushed) const {
    std::lock_guard lock(mutex_);
    return std::any_of(entries_.begin(), entries_.end(),
                       [pushed](const Entry& entry) { return entry.pushed == pushed; });
}

bool ChunkQueue::head(const uint8_t*& data, size_t& size) const {
    std::lock_guard lock(mutex_);
    if (entries_.empty()) {
        return false;
    }
    const Entry& entry = entries_.front();
    data = entry.data + entry.offset;
    size = entry.size - entry.offset;
    return true;
}

void ChunkQueue::clear() {
    std::lock_guard lock(mutex_);
    entries_.clear();
    bytesLeft_ = 0;
}

size_t ChunkQueue::entries() const {
    std::lock_guard lock(mutex_);
    return entries_.size();
}

size_t ChunkQueue::bytesLeft() const {
    std::lock_guard lock(mutex_);
    return bytesLeft_;
}

} // namespace tolvane
