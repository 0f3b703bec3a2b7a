#pragma once

#include <chrono>
#include <cstddef>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>

namespace tolvane::server {

// The verifytimeid sessions of logged-in users. HTTP threads call every
// operation concurrently; mutex_ guards sessions_. A session lives until it
// has gone unused for the lifetime; when the store is full the least recently
// used session makes room.
class SessionStore {
  public:
    using Clock = std::chrono::steady_clock;

    SessionStore(std::chrono::seconds lifetime, std::size_t capacity,
                 std::function<Clock::time_point()> now = Clock::now);

    // A new session of `userId`; returns its verifytimeid.
    std::string open(int userId);

    // The user of a live session (and marks it used); nullopt when the token is
    // unknown or has expired.
    std::optional<int> find(std::string_view token);

    // Forgets expired sessions.
    void sweep();

    std::size_t size() const;

  private:
    struct Session {
        int userId = 0;
        Clock::time_point lastUsed;
    };

    void evictOldest();

    const std::chrono::seconds lifetime_;
    const std::size_t capacity_;
    const std::function<Clock::time_point()> now_;
    mutable std::mutex mutex_;
    std::unordered_map<std::string, Session> sessions_;
};

} // namespace tolvane::server
