#include "playback/StreamFeed.h"

#include "engine/Mp3EngineApi.h"

#include <chrono>

namespace tolvane {

namespace {

constexpr std::chrono::milliseconds kGiveUpCheck{10};

} // namespace

bool StreamFeed::accept(const char* data, size_t size, std::string& error) {
    std::lock_guard lock(mutex_);
    received_ += size;
    if (engine_ == nullptr) {
        head_.append(data, size);
        changed_.notify_all();
        return true;
    }
    if (mp3::pushDataToStream(engine_, data, uint32_t(size)) == 0) {
        error = mp3::errorText(engine_);
        return false;
    }
    return true;
}

void StreamFeed::end() {
    std::lock_guard lock(mutex_);
    ended_ = true;
    if (engine_ != nullptr) {
        mp3::pushDataToStream(engine_, nullptr, 0);
    }
    changed_.notify_all();
}

size_t StreamFeed::waitFor(size_t bytes, const std::function<bool()>& giveUp) {
    std::unique_lock lock(mutex_);
    while (head_.size() < bytes && !ended_ && !giveUp()) {
        changed_.wait_for(lock, kGiveUpCheck);
    }
    return head_.size();
}

bool StreamFeed::open(Mp3Engine* engine, size_t bytes, int32_t bufferMs, std::string& error) {
    std::string first;
    {
        std::lock_guard lock(mutex_);
        first = head_.substr(0, bytes);
    }
    if (mp3::openStream(engine, 1, 1, first.data(), uint32_t(first.size()), bufferMs) == 0) {
        error = mp3::errorText(engine);
        return false;
    }
    std::lock_guard lock(mutex_);
    if (head_.size() > first.size() &&
        mp3::pushDataToStream(engine, head_.data() + first.size(),
                              uint32_t(head_.size() - first.size())) == 0) {
        error = mp3::errorText(engine);
        return false;
    }
    head_.clear();
    head_.shrink_to_fit();
    engine_ = engine;
    if (ended_) {
        mp3::pushDataToStream(engine, nullptr, 0);
    }
    return true;
}

std::string StreamFeed::head(size_t bytes) const {
    std::lock_guard lock(mutex_);
    return head_.substr(0, bytes);
}

bool StreamFeed::ended() const {
    std::lock_guard lock(mutex_);
    return ended_;
}

uint64_t StreamFeed::received() const {
    std::lock_guard lock(mutex_);
    return received_;
}

} // namespace tolvane
