#include "server/SessionStore.h"

#include "server/RandomId.h"

#include <algorithm>
#include <utility>

namespace tolvane::server {

SessionStore::SessionStore(std::chrono::seconds lifetime, std::size_t total, std::size_t perUser,
                           std::function<Clock::time_point()> now)
    : lifetime_(lifetime), total_(std::max<std::size_t>(total, 1)),
      perUser_(std::max<std::size_t>(perUser, 1)), now_(std::move(now)) {}

Stored<std::string> SessionStore::open(int userId) {
    std::string token = randomToken();
    std::unique_lock lock(mutex_);
    const Clock::time_point now = now_();
    dropExpired(now);
    const auto mine = byUser_.find(userId);
    if (mine != byUser_.end() && (mine->second.size() >= perUser_ || sessions_.size() >= total_)) {
        erase(mine->second.front());
    }
    if (sessions_.size() >= total_) {
        tellEnded(lock);
        return std::nullopt;
    }
    UseOrder& userOrder = byUser_[userId];
    byUse_.push_back(token);
    userOrder.push_back(token);
    sessions_[token] = Session{userId, now, std::prev(byUse_.end()), std::prev(userOrder.end())};
    tellEnded(lock);
    return token;
}

Stored<int> SessionStore::find(std::string_view token) {
    std::unique_lock lock(mutex_);
    const auto it = sessions_.find(std::string(token));
    if (it == sessions_.end()) {
        return std::nullopt;
    }
    Session& session = it->second;
    const Clock::time_point now = now_();
    if (now - session.lastUsed >= lifetime_) {
        erase(it->first);
        tellEnded(lock);
        return std::nullopt;
    }
    session.lastUsed = now;
    byUse_.splice(byUse_.end(), byUse_, session.inAll);
    UseOrder& userOrder = byUser_[session.userId];
    userOrder.splice(userOrder.end(), userOrder, session.inUser);
    return session.userId;
}

void SessionStore::sweep() {
    std::unique_lock lock(mutex_);
    dropExpired(now_());
    tellEnded(lock);
}

std::size_t SessionStore::size() const {
    const std::lock_guard lock(mutex_);
    return sessions_.size();
}

// byUse_ runs from the least recently used, so the expired sessions are the
// ones at its front.
void SessionStore::dropExpired(Clock::time_point now) {
    while (!byUse_.empty() && now - sessions_.at(byUse_.front()).lastUsed >= lifetime_) {
        erase(byUse_.front());
    }
}

void SessionStore::erase(const std::string& token) {
    const auto it = sessions_.find(token);
    ended_.push_back(token);
    const auto user = byUser_.find(it->second.userId);
    user->second.erase(it->second.inUser);
    if (user->second.empty()) {
        byUser_.erase(user);
    }
    byUse_.erase(it->second.inAll); // may be where `token` lives
    sessions_.erase(it);
}

void SessionStore::tellEnded(std::unique_lock<std::mutex>& lock) {
    const std::vector<std::string> ended = std::exchange(ended_, {});
    lock.unlock();
    if (Listener* listener = listener_.load(); listener != nullptr) {
        for (const std::string& token : ended) {
            listener->sessionEnded(token);
        }
    }
}

} // namespace tolvane::server
