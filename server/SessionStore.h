#pragma once

#include "server/SessionTable.h"

#include <atomic>
#include <chrono>
#include <cstddef>
#include <functional>
#include <list>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace tolvane::server {

// The session table in this process's memory. A session lives until it has
// gone unused for the lifetime. Each user holds at most `perUser` sessions: a
// further login ends that user's least recently used one. The table holds at
// most `total`: once full, a user with a session gives up the least recently
// used one for the new login, and a user without one is refused, so no login
// ever ends another user's session.
//
// Threads: HTTP threads and the janitor call every operation concurrently;
// mutex_ guards sessions_, byUse_, byUser_ and ended_. The listener hears of
// the sessions an operation ended once that operation has released mutex_.
class SessionStore final : public SessionTable {
  public:
    using Clock = std::chrono::steady_clock;

    static constexpr std::size_t kPerUser = 16;

    SessionStore(std::chrono::seconds lifetime, std::size_t total, std::size_t perUser = kPerUser,
                 std::function<Clock::time_point()> now = Clock::now);

    void setListener(Listener* listener) override { listener_ = listener; }
    Stored<std::string> open(int userId) override;
    Stored<int> find(std::string_view token) override;
    void sweep() override;
    std::size_t size() const override;

  private:
    // Tokens, least recently used first.
    using UseOrder = std::list<std::string>;

    struct Session {
        int userId = 0;
        Clock::time_point lastUsed;
        UseOrder::iterator inAll;  // in byUse_
        UseOrder::iterator inUser; // in byUser_[userId]
    };

    void dropExpired(Clock::time_point now);
    void erase(const std::string& token);
    // Tells the listener of the sessions ended under `lock`, releasing it.
    void tellEnded(std::unique_lock<std::mutex>& lock);

    const std::chrono::seconds lifetime_;
    const std::size_t total_;
    const std::size_t perUser_;
    const std::function<Clock::time_point()> now_;
    mutable std::mutex mutex_;
    std::unordered_map<std::string, Session> sessions_;
    UseOrder byUse_;
    std::unordered_map<int, UseOrder> byUser_; // no empty lists
    std::vector<std::string> ended_;           // erased, the listener not yet told
    std::atomic<Listener*> listener_{nullptr};
};

} // namespace tolvane::server
