#include "server/FeedCache.h"

#include "server/Log.h"
#include "server/UrlFetcher.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <malloc.h>
#include <sys/stat.h>
#include <unistd.h>

namespace tolvane::server {

namespace {

// A feed that failed to load is not tried again sooner than this, so a broken
// source is not hammered by every request.
constexpr std::chrono::seconds kRetryAfterFailure{5};

constexpr const char* kStopping = "the server is stopping";

bool statFile(const std::string& path, struct stat& st) {
    return ::stat(path.c_str(), &st) == 0;
}

bool readFile(const std::string& path, std::size_t maxBytes, std::string& bytes,
              std::string& error) {
    // Without O_NONBLOCK a FIFO would hold the load until a writer came.
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) {
        error = std::string("cannot open the feed file: ") + std::strerror(errno);
        return false;
    }
    if (struct stat st{}; ::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        error = "the feed source is not a regular file";
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

FeedCache::~FeedCache() {
    stop();
}

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
                                            settings_.maxBytes, cancel_, bytes, error)
                                 : readFile(feed.location, settings_.maxBytes, bytes, error);
    if (!read) {
        return false;
    }
    return parseFeed(bytes, settings_.maxItems, items, error);
}

void FeedCache::request(const FeedSource& feed, Ready ready) {
    Stamp stamp;
    if (struct stat st{}; !feed.isUrl && statFile(feed.location, st)) {
        stamp = Stamp{static_cast<long long>(st.st_mtim.tv_sec) * 1000000000LL + st.st_mtim.tv_nsec,
                      static_cast<long long>(st.st_size)};
    }
    std::thread finished; // the feed's previous load, joined outside the lock
    std::unique_lock lock(mutex_);
    if (stopping_) {
        lock.unlock();
        return ready(nullptr, kStopping);
    }
    Entry& entry = entries_[feed.id];
    if (!entry.loading && needsLoad(feed, entry, stamp, Clock::now())) {
        entry.loading = true;
        finished = std::move(entry.loader);
        entry.loader = std::thread([this, feed, stamp] { runLoad(feed, stamp); });
    }
    const bool waits = entry.loading && !(feed.isUrl && entry.items);
    if (waits) {
        entry.waiters.push_back(std::move(ready));
    }
    const Items items = entry.items;
    const std::string error = entry.error;
    lock.unlock();
    if (finished.joinable()) {
        finished.join();
    }
    if (!waits) {
        ready(items, items ? std::string() : error);
    }
}

void FeedCache::runLoad(const FeedSource& feed, const Stamp& stamp) {
    auto fresh = std::make_shared<std::vector<FeedItem>>();
    std::string loadError;
    const bool ok = load(feed, *fresh, loadError);
    // A load's bytes and parsed document come and go at once, on a thread of
    // their own: hand the freed pages back, or the process keeps the peak of
    // its largest feed for good.
    ::malloc_trim(0);
    std::unique_lock lock(mutex_);
    Entry& entry = entries_[feed.id];
    entry.loading = false;
    entry.stamp = stamp;
    if (ok) {
        entry.items = std::move(fresh);
        entry.loadedAt = Clock::now();
        entry.error.clear();
        entry.updated = feed.isUrl ? std::time(nullptr) : stamp.modifiedNs / 1000000000LL;
    } else {
        entry.error = cancel_.load() ? kStopping : loadError;
        entry.failedAt = Clock::now();
        logLine("feed " + std::to_string(feed.id) + " (" + feed.location + "): " + entry.error +
                (entry.items ? " (serving the items read before)" : ""));
    }
    const std::vector<Ready> waiters = std::move(entry.waiters);
    entry.waiters.clear();
    const Items items = entry.items;
    const std::string error = items ? std::string() : entry.error;
    lock.unlock();
    for (const Ready& ready : waiters) {
        ready(items, error);
    }
}

void FeedCache::stop() {
    std::vector<std::thread> loaders;
    {
        const std::lock_guard lock(mutex_);
        stopping_ = true;
        cancel_ = true;
        for (auto& [id, entry] : entries_) {
            loaders.push_back(std::move(entry.loader));
        }
    }
    for (std::thread& loader : loaders) {
        if (loader.joinable()) {
            loader.join();
        }
    }
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
