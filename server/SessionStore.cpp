#include "server/SessionStore.h"

#include "server/RandomId.h"

#include <algorithm>

namespace tolvane::server {

SessionStore::SessionStore(std::chrono::seconds lifetime, std::size_t capacity,
                           std::function<Clock::time_point()> now)
    : lifetime_(lifetime), capacity_(std::max<std::size_t>(capacity, 1)), now_(std::move(now)) {}

std::string SessionStore::open(int userId) {
    std::string token = randomToken();
    const std::lock_guard lock(mutex_);
    if (sessions_.size() >= capacity_) {
        const Clock::time_point now = now_();
        std::erase_if(sessions_,
                      [&](const auto& entry) { return now - entry.second.lastUsed >= lifetime_; });
    }
    if (sessions_.size() >= capacity_) {
        evictOldest();
    }
    sessions_[token] = Session{userId, now_()};
    return token;
}

std::optional<int> SessionStore::find(std::string_view token) {
    const std::lock_guard lock(mutex_);
    const auto it = sessions_.find(std::string(token));
    if (it == sessions_.end()) {
        return std::nullopt;
    }
    const Clock::time_point now = now_();
    if (now - it->second.lastUsed >= lifetime_) {
        sessions_.erase(it);
        return std::nullopt;
    }
    it->second.lastUsed = now;
    return it->second.userId;
}

void SessionStore::sweep() {
    const std::lock_guard lock(mutex_);
    const Clock::time_point now = now_();
    std::erase_if(sessions_,
                  [&](const auto& entry) { return now - entry.second.lastUsed >= lifetime_; });
}

std::size_t SessionStore::size() const {
    const std::lock_guard lock(mutex_);
    return sessions_.size();
}

void SessionStore::evictOldest() {
    const auto oldest =
        std::min_element(sessions_.begin(), sessions_.end(), [](const auto& a, const auto& b) {
            return a.second.lastUsed < b.second.lastUsed;
        });
    if (oldest != sessions_.end()) {
        sessions_.erase(oldest);
    }
}

} // namespace tolvane::server
