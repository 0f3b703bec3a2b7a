#pragma once

#include "server/FeedParser.h"
#include "server/ServerConfig.h"

#include <chrono>
#include <condition_variable>
#include <ctime>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace tolvane::server {

// The items of the configured feeds, read on demand and kept: a file feed is
// read again when the file changes, a URL feed fetched again after the refresh
// time. A feed that fails to load keeps serving its last items.
//
// Threads: HTTP threads call items() and updateTime(). The first caller to
// find a feed missing or stale loads it without holding mutex_; other callers
// of that feed wait on loaded_ meanwhile. mutex_ guards entries_.
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

    explicit FeedCache(Settings settings);

    // The feed's items; nullptr with `error` when it cannot be read and no
    // earlier items are kept.
    Items items(const FeedSource& feed, std::string& error);

    // When the feed last changed as far as the server knows ("YYYY-MM-DD
    // HH:MM:SS" UTC): a file's modification time, a URL's last fetch; empty
    // when unknown.
    std::string updateTime(const FeedSource& feed);

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
        Clock::time_point failedAt;
        std::string error;
        std::time_t updated = 0;
    };

    bool needsLoad(const FeedSource& feed, const Entry& entry, const Stamp& stamp,
                   Clock::time_point now) const;
    bool load(const FeedSource& feed, std::vector<FeedItem>& items, std::string& error) const;

    const Settings settings_;
    std::mutex mutex_;
    std::condition_variable loaded_;
    std::map<int, Entry> entries_;
};

} // namespace tolvane::server
