#include "platform/Event.h"

namespace tolvane::platform {

Event::Event(Reset mode, bool signalled) : mode_(mode), signalled_(signalled) {}

void Event::set() {
    {
        std::lock_guard lock(mutex_);
        signalled_ = true;
    }
    if (mode_ == Reset::Manual) {
        changed_.notify_all();
    } else {
        changed_.notify_one();
    }
}

void Event::reset() {
    std::lock_guard lock(mutex_);
    signalled_ = false;
}

void Event::wait() {
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [this] { return signalled_; });
    if (mode_ == Reset::Auto) {
        signalled_ = false;
    }
}

bool Event::waitFor(std::chrono::milliseconds timeout) {
    std::unique_lock lock(mutex_);
    if (!changed_.wait_for(lock, timeout, [this] { return signalled_; })) {
        return false;
    }
    if (mode_ == Reset::Auto) {
        signalled_ = false;
    }
    return true;
}

bool Event::isSet() const {
    std::lock_guard lock(mutex_);
    return signalled_;
}

} // namespace tolvane::platform
