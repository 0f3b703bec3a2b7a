#pragma once

#include "server/FeedParser.h"
#include "server/ServerConfig.h"

#include <atomic>
#include <chrono>
#include <ctime>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace tolvane::server {

// The items of the configured feeds, read on demand and kept: a file feed is
// read again when the file changes, a URL feed fetched again after the refresh
// time. A feed that fails to load keeps serving its last items.
//
// Threads: HTTP threads call request() and updateTime(); neither waits for a
// feed. A load runs on a thread of its own, one per feed at a time (Entry's
// loader), and answers every request that waits for it when it ends. mutex_
// guards entries_ and stopping_; loads run without it. stop() cancels the
// loads in progress and joins their threads.
class FeedCache {
  public:
    struct Settings {
        std::size_t maxItems = 200;
        std::chrono::seconds refresh{300};
        int timeoutSeconds = 10;
        std::size_t maxBytes = 4 << 20;
    };
    using Items = std::shared_ptr<const std::vector<FeedItem>>;
    using Clock = std::chrono::steady_clock;
    // The feed's items, or nullptr and why it cannot be read.
    using Ready = std::function<void(const Items& items, const std::string& error)>;

    explicit FeedCache(Settings settings);
    ~FeedCache();
    FeedCache(const FeedCache&) = delete;
    FeedCache& operator=(const FeedCache&) = delete;

    // Calls `ready` with the feed's items: on this thread when they are kept
    // and current (a URL feed due for a refresh serves its kept items while it
    // is fetched again, and a load that failed moments ago is not tried again),
    // else on the load's thread once the load in progress, or one started now,
    // has ended.
    void request(const FeedSource& feed, Ready ready);

    // When the feed last changed as far as the server knows ("YYYY-MM-DD
    // HH:MM:SS" UTC): a file's modification time, a URL's last fetch; empty
    // when unknown.
    std::string updateTime(const FeedSource& feed);

    // Cancels the loads in progress (their waiters get a failure), joins their
    // threads; later requests fail at once.
    void stop();

  private:
    struct Stamp {
        long long modifiedNs = -1;
        long long size = -1;
        bool operator==(const Stamp&) const = default;
    };
    struct Entry {
        Items items;
        bool loading = false;
        Stamp stamp;
        Clock::time_point loadedAt;
        Clock::time_point failedAt; // when the last failed load ended
        std::string error;
        std::time_t updated = 0;
        std::vector<Ready> waiters; // requests waiting for the load in progress
        std::thread loader;         // the last load's thread
    };

    bool needsLoad(const FeedSource& feed, const Entry& entry, const Stamp& stamp,
                   Clock::time_point now) const;
    bool load(const FeedSource& feed, std::vector<FeedItem>& items, std::string& error) const;
    void runLoad(const FeedSource& feed, const Stamp& stamp);

    const Settings settings_;
    std::atomic<bool> cancel_{false};
    std::mutex mutex_;
    std::map<int, Entry> entries_;
    bool stopping_ = false;
};

} // namespace tolvane::server
