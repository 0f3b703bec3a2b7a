#pragma once

#include "server/JobTable.h"
#include "server/SessionTable.h"

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <unordered_map>
#include <utility>
#include <vector>

namespace tolvane::server {

// Queries whose job is still waiting or being read, held until the job ends,
// the hold time passes, their session ends or the server stops, so a client
// that asks once a second hears of its speech as soon as it is made. A held
// query is only an entry here: its connection waits parked and no thread waits
// for it.
//
// Threads: HTTP threads call hold() and release(); the job table's workers
// call jobEnded() and jobsStopping(), the session table's callers
// sessionEnded(); one timer thread releases the holds whose time has passed;
// the owner calls stop(). mutex_ guards every field but the timer thread. Each
// hold's `released` runs exactly once, without the lock, on the thread that
// released it.
class HeldQueries : public JobTable::Listener, public SessionTable::Listener {
  public:
    using Clock = std::chrono::steady_clock;

    enum class Release { JobEnded, TimePassed, SessionEnded, Stopping };
    using Released = std::function<void(Release why)>;

    explicit HeldQueries(std::chrono::milliseconds holdTime);
    ~HeldQueries() override;
    HeldQueries(const HeldQueries&) = delete;
    HeldQueries& operator=(const HeldQueries&) = delete;

    // Holds a query about job `uuid` under session `token` for at most the
    // hold time; once stopped, releases it at once (Stopping). Its id.
    std::uint64_t hold(const std::string& uuid, const std::string& token, Released released);

    // Releases hold `id` now, unless it has been released already.
    void release(std::uint64_t id, Release why);

    void jobEnded(const std::string& uuid) override;
    void jobsStopping() override { stop(); }
    void sessionEnded(const std::string& token) override;

    // Releases every hold (Stopping), and each later one at once; joins the
    // timer thread. Safe to call more than once.
    void stop();

    std::size_t size() const;

  private:
    struct Held {
        std::string uuid;
        std::string token;
        Clock::time_point deadline;
        Released released;
    };
    using Index = std::unordered_multimap<std::string, std::uint64_t>;

    Released take(std::uint64_t id);
    std::vector<Released> takeAll(Index& index, const std::string& key);
    // Takes every hold under `key` and answers each for `why`, outside the lock.
    void releaseAll(Index& index, const std::string& key, Release why);
    void runTimer();

    const std::chrono::milliseconds holdTime_;
    mutable std::mutex mutex_;
    std::condition_variable wake_;
    std::map<std::uint64_t, Held> held_;
    Index byJob_;
    Index bySession_;
    std::set<std::pair<Clock::time_point, std::uint64_t>> byDeadline_;
    std::uint64_t nextId_ = 1;
    bool stopping_ = false;
    std::thread timer_;
};

} // namespace tolvane::server
