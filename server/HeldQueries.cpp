#include "server/HeldQueries.h"

namespace tolvane::server {

namespace {

void eraseEntry(std::unordered_multimap<std::string, std::uint64_t>& index, const std::string& key,
                std::uint64_t id) {
    const auto [first, last] = index.equal_range(key);
    for (auto it = first; it != last; ++it) {
        if (it->second == id) {
            index.erase(it);
            return;
        }
    }
}

} // namespace

HeldQueries::HeldQueries(std::chrono::milliseconds holdTime)
    : holdTime_(holdTime), timer_([this] { runTimer(); }) {}

HeldQueries::~HeldQueries() {
    stop();
}

std::uint64_t HeldQueries::hold(const std::string& uuid, const std::string& token,
                                Released released) {
    std::unique_lock lock(mutex_);
    const std::uint64_t id = nextId_++;
    if (stopping_) {
        lock.unlock();
        released(Release::Stopping);
        return id;
    }
    const Clock::time_point deadline = Clock::now() + holdTime_;
    const bool earliest = byDeadline_.empty() || deadline < byDeadline_.begin()->first;
    held_.emplace(id, Held{uuid, token, deadline, std::move(released)});
    byJob_.emplace(uuid, id);
    bySession_.emplace(token, id);
    byDeadline_.emplace(deadline, id);
    lock.unlock();
    if (earliest) {
        wake_.notify_one();
    }
    return id;
}

// Removes hold `id` from every index; its callback, or null when it has been
// released already. Called with mutex_ held.
HeldQueries::Released HeldQueries::take(std::uint64_t id) {
    const auto it = held_.find(id);
    if (it == held_.end()) {
        return nullptr;
    }
    Held held = std::move(it->second);
    held_.erase(it);
    eraseEntry(byJob_, held.uuid, id);
    eraseEntry(bySession_, held.token, id);
    byDeadline_.erase({held.deadline, id});
    return std::move(held.released);
}

// Takes every hold `index` files under `key`. Called with mutex_ held.
std::vector<HeldQueries::Released> HeldQueries::takeAll(Index& index, const std::string& key) {
    std::vector<std::uint64_t> ids;
    const auto [first, last] = index.equal_range(key);
    for (auto it = first; it != last; ++it) {
        ids.push_back(it->second);
    }
    std::vector<Released> taken;
    for (const std::uint64_t id : ids) {
        taken.push_back(take(id));
    }
    return taken;
}

void HeldQueries::release(std::uint64_t id, Release why) {
    std::unique_lock lock(mutex_);
    const Released released = take(id);
    lock.unlock();
    if (released) {
        released(why);
    }
}

void HeldQueries::releaseAll(Index& index, const std::string& key, Release why) {
    std::unique_lock lock(mutex_);
    const std::vector<Released> taken = takeAll(index, key);
    lock.unlock();
    for (const Released& released : taken) {
        released(why);
    }
}

void HeldQueries::jobEnded(const std::string& uuid) {
    releaseAll(byJob_, uuid, Release::JobEnded);
}

void HeldQueries::sessionEnded(const std::string& token) {
    releaseAll(bySession_, token, Release::SessionEnded);
}

void HeldQueries::stop() {
    std::vector<Released> taken;
    std::thread timer;
    {
        const std::lock_guard lock(mutex_);
        stopping_ = true;
        timer = std::move(timer_);
        for (auto& [id, held] : held_) {
            taken.push_back(std::move(held.released));
        }
        held_.clear();
        byJob_.clear();
        bySession_.clear();
        byDeadline_.clear();
    }
    wake_.notify_all();
    for (const Released& released : taken) {
        released(Release::Stopping);
    }
    if (timer.joinable()) {
        timer.join();
    }
}

std::size_t HeldQueries::size() const {
    const std::lock_guard lock(mutex_);
    return held_.size();
}

// Sleeps until the earliest deadline (or a new earlier one, or stop) and
// releases the holds whose time has passed.
void HeldQueries::runTimer() {
    std::unique_lock lock(mutex_);
    while (!stopping_) {
        if (byDeadline_.empty()) {
            wake_.wait(lock);
            continue;
        }
        const Clock::time_point due = byDeadline_.begin()->first;
        if (Clock::now() < due) {
            wake_.wait_until(lock, due);
            continue;
        }
        std::vector<Released> taken;
        const Clock::time_point now = Clock::now();
        while (!byDeadline_.empty() && byDeadline_.begin()->first <= now) {
            taken.push_back(take(byDeadline_.begin()->second));
        }
        lock.unlock();
        for (const Released& released : taken) {
            released(Release::TimePassed);
        }
        lock.lock();
    }
}

} // namespace tolvane::server
