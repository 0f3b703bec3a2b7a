#include "server/FeedCache.h"

#include "server/Log.h"
#include "server/UrlFetcher.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace tolvane::server {

namespace {

// A feed that failed to load is not tried again sooner than this, so a broken
// source is not hammered by every request.
constexpr std::chrono::seconds kRetryAfterFailure{5};

bool statFile(const std::string& path, struct stat& st) {
    return ::stat(path.c_str(), &st) == 0;
}

bool readFile(const std::string& path, std::size_t maxBytes, std::string& bytes,
              std::string& error) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        error = std::string("cannot open the feed file: ") + std::strerror(errno);
        return false;
    }
    bytes.clear();
    char buffer[65536];
    bool ok = true;
    for (;;) {
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0) {
            error = std::string("cannot read the feed file: ") + std::strerror(errno);
            ok = false;
            break;
        }
        if (n == 0) {
            break;
        }
        if (bytes.size() + static_cast<std::size_t>(n) > maxBytes) {
            error = "feed file larger than " + std::to_string(maxBytes) + " bytes";
            ok = false;
            break;
        }
        bytes.append(buffer, static_cast<std::size_t>(n));
    }
    ::close(fd);
    return ok;
}

} // namespace

FeedCache::FeedCache(Settings settings) : settings_(settings) {}

bool FeedCache::needsLoad(const FeedSource& feed, const Entry& entry, const Stamp& stamp,
                          Clock::time_point now) const {
    const bool recentFailure =
        !entry.error.empty() && now - entry.failedAt < kRetryAfterFailure && entry.stamp == stamp;
    if (recentFailure) {
        return false;
    }
    if (!entry.items || !entry.error.empty()) {
        return true;
    }
    return feed.isUrl ? now - entry.loadedAt >= settings_.refresh : !(entry.stamp == stamp);
}

bool FeedCache::load(const FeedSource& feed, std::vector<FeedItem>& items,
                     std::string& error) const {
    std::string bytes;
    const bool read = feed.isUrl ? fetchUrl(feed.location, settings_.timeoutSeconds,
                                            settings_.maxBytes, bytes, error)
                                 : readFile(feed.location, settings_.maxBytes, bytes, error);
    if (!read) {
        return false;
    }
    return parseFeed(bytes, settings_.maxItems, items, error);
}

FeedCache::Items FeedCache::items(const FeedSource& feed, std::string& error) {
    Stamp stamp;
    if (struct stat st{}; !feed.isUrl && statFile(feed.location, st)) {
        stamp = Stamp{static_cast<long long>(st.st_mtim.tv_sec) * 1000000000LL + st.st_mtim.tv_nsec,
                      static_cast<long long>(st.st_size)};
    }
    std::unique_lock lock(mutex_);
    Entry* entry = &entries_[feed.id];
    loaded_.wait(lock, [&] { return !entry->loading; });
    const Clock::time_point now = Clock::now();
    if (needsLoad(feed, *entry, stamp, now)) {
        entry->loading = true;
        lock.unlock();
        auto fresh = std::make_shared<std::vector<FeedItem>>();
        std::string loadError;
        const bool ok = load(feed, *fresh, loadError);
        lock.lock();
        entry->loading = false;
        entry->stamp = stamp;
        if (ok) {
            entry->items = std::move(fresh);
            entry->loadedAt = now;
            entry->error.clear();
            entry->updated = feed.isUrl ? std::time(nullptr) : stamp.modifiedNs / 1000000000LL;
        } else {
            entry->error = loadError;
            entry->failedAt = now;
            logLine("feed " + std::to_string(feed.id) + " (" + feed.location + "): " + loadError +
                    (entry->items ? " (serving the items read before)" : ""));
        }
        loaded_.notify_all();
    }
    if (!entry->items) {
        error = entry->error;
        return nullptr;
    }
    return entry->items;
}

std::string FeedCache::updateTime(const FeedSource& feed) {
    if (struct stat st{}; !feed.isUrl && statFile(feed.location, st)) {
        return formatUtc(st.st_mtime);
    }
    const std::lock_guard lock(mutex_);
    const auto it = entries_.find(feed.id);
    return it != entries_.end() && it->second.updated != 0 ? formatUtc(it->second.updated) : "";
}

} // namespace tolvane::server
