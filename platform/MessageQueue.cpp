#include "platform/MessageQueue.h"

#include <algorithm>

namespace tolvane::platform {

bool MessageQueue::post(uint32_t message, uintptr_t wParam, intptr_t lParam) {
    {
        std::lock_guard lock(mutex_);
        if (quit_) {
            return false;
        }
        messages_.push_back({message, wParam, lParam});
    }
    changed_.notify_all();
    return true;
}

void MessageQueue::postQuit() {
    {
        std::lock_guard lock(mutex_);
        quit_ = true;
    }
    changed_.notify_all();
}

bool MessageQueue::takeLocked(ThreadMessage& out, bool remove) {
    if (!messages_.empty()) {
        out = messages_.front();
        if (remove) {
            messages_.pop_front();
        }
        return true;
    }
    if (quit_) {
        out = {kWmQuit, 0, 0};
        return true;
    }
    const auto due = std::min_element(timers_.begin(), timers_.end(),
                                      [](auto& a, auto& b) { return a.second < b.second; });
    if (due != timers_.end() && due->second <= Clock::now()) {
        out = {kWmTimer, due->first, 0};
        if (remove) {
            timers_.erase(due);
        }
        return true;
    }
    return false;
}

bool MessageQueue::get(ThreadMessage& out) {
    std::unique_lock lock(mutex_);
    while (!takeLocked(out, true)) {
        const auto next = std::min_element(timers_.begin(), timers_.end(),
                                           [](auto& a, auto& b) { return a.second < b.second; });
        if (next == timers_.end()) {
            changed_.wait(lock);
        } else {
            changed_.wait_until(lock, next->second);
        }
    }
    return out.message != kWmQuit;
}

bool MessageQueue::peek(ThreadMessage& out, bool remove) {
    std::lock_guard lock(mutex_);
    return takeLocked(out, remove);
}

void MessageQueue::setTimer(uint32_t id, std::chrono::milliseconds delay) {
    {
        std::lock_guard lock(mutex_);
        timers_[id] = Clock::now() + delay;
    }
    changed_.notify_all();
}

bool MessageQueue::killTimer(uint32_t id) {
    std::lock_guard lock(mutex_);
    return timers_.erase(id) != 0;
}

void MessageQueue::clear() {
    std::lock_guard lock(mutex_);
    messages_.clear();
    timers_.clear();
    quit_ = false;
}

} // namespace tolvane::platform
