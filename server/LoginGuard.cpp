#include "server/LoginGuard.h"

#include <algorithm>

namespace tolvane::server {

namespace {

using Clock = LoginGuard::Clock;

// Addresses with failures kept at most. Past it those without a lock are
// forgotten, and if all are locked, all: so many addresses are left to the
// accounts' counts.
constexpr std::size_t kMaxAddresses = 65536;
// Addresses known to one account at most; the least recently used goes.
constexpr std::size_t kKnownPerAccount = 32;

int secondsUntil(Clock::time_point until, Clock::time_point now) {
    if (until <= now) {
        return 0;
    }
    const auto millis = std::chrono::duration_cast<std::chrono::milliseconds>(until - now).count();
    return static_cast<int>((millis + 999) / 1000);
}

} // namespace

LoginGuard::LoginGuard(Settings settings, std::function<Clock::time_point()> now)
    : settings_(settings), now_(std::move(now)) {}

int LoginGuard::attempt(const std::string& address, std::optional<int> userId, bool passwordRight) {
    const std::lock_guard lock(mutex_);
    const Clock::time_point now = now_();
    Failures* fromAddress = nullptr;
    if (const auto it = addresses_.find(address); it != addresses_.end()) {
        if (now - it->second.last >= kForget) {
            addresses_.erase(it);
        } else {
            fromAddress = &it->second;
        }
    }
    Account* account = userId ? &accounts_[*userId] : nullptr;
    if (account != nullptr && now - account->failures.last >= kForget) {
        account->failures = {};
    }

    int wait = fromAddress != nullptr ? secondsUntil(fromAddress->lockedUntil, now) : 0;
    if (account != nullptr) {
        const auto known = account->known.find(address);
        if (known == account->known.end() || now - known->second >= kKnownFor) {
            wait = std::max(wait, secondsUntil(account->failures.lockedUntil, now));
        }
    }
    if (wait > 0) {
        return wait;
    }
    if (passwordRight && account != nullptr) {
        remember(*account, address, now);
        return 0;
    }
    if (fromAddress == nullptr) {
        if (addresses_.size() >= kMaxAddresses) {
            forgetOldAddresses(now);
        }
        fromAddress = &addresses_[address];
    }
    fail(*fromAddress, settings_.addressFailures, now);
    if (account != nullptr) {
        fail(account->failures, settings_.accountFailures, now);
    }
    return 0;
}

void LoginGuard::fail(Failures& failures, int allowance, Clock::time_point now) const {
    ++failures.count;
    failures.last = now;
    const int over = failures.count - allowance;
    if (over > 0) {
        const auto doubled = settings_.delay * (1LL << std::min(over - 1, 20));
        failures.lockedUntil = now + std::min<std::chrono::seconds>(doubled, settings_.maxDelay);
    }
}

void LoginGuard::remember(Account& account, const std::string& address,
                          Clock::time_point now) const {
    account.known[address] = now;
    if (account.known.size() > kKnownPerAccount) {
        account.known.erase(
            std::min_element(account.known.begin(), account.known.end(),
                             [](const auto& a, const auto& b) { return a.second < b.second; }));
    }
}

void LoginGuard::forgetOldAddresses(Clock::time_point now) {
    std::erase_if(addresses_, [now](const auto& entry) { return entry.second.lockedUntil <= now; });
    if (addresses_.size() >= kMaxAddresses) {
        addresses_.clear();
    }
}

} // namespace tolvane::server
