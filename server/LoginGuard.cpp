#include "server/LoginGuard.h"

#include "server/RedisClient.h"

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

// The same rules in Redis. Counts live in "login-address:ADDRESS" and
// "login-account:USER" (hashes of count and lock end, gone kForget after the
// last failure), the addresses known to an account in "login-known:USER" (by
// last login, the kKnownPerAccount latest, gone kKnownFor after the last).
// ARGV: prefix, address, user ('' for none), right (1/0), account allowance,
// address allowance, delay ms, max delay ms, forget ms, known-for ms, known
// per account. The seconds to wait, or 0.
const std::string kAttempt = std::string(kRedisScriptPrelude) + R"lua(
local address, user, right = ARGV[2], ARGV[3], ARGV[4] == '1'
local delay, maxDelay = tonumber(ARGV[7]), tonumber(ARGV[8])
local forget, knownFor = tonumber(ARGV[9]), tonumber(ARGV[10])
local now = nowMs()
local addressKey = p .. 'login-address:' .. address
local accountKey = p .. 'login-account:' .. user
local knownKey = p .. 'login-known:' .. user
local function lockedFor(key)
  local untilMs = tonumber(redis.call('HGET', key, 'until') or '0')
  return math.max(untilMs - now, 0)
end
local wait = lockedFor(addressKey)
if user ~= '' then
  local known = redis.call('ZSCORE', knownKey, address)
  if not known or now - tonumber(known) >= knownFor then wait = math.max(wait, lockedFor(accountKey)) end
end
if wait > 0 then return math.ceil(wait / 1000) end
if right and user ~= '' then
  redis.call('ZADD', knownKey, now, address)
  redis.call('ZREMRANGEBYRANK', knownKey, 0, -1 - tonumber(ARGV[11]))
  redis.call('PEXPIRE', knownKey, knownFor)
  return 0
end
local function fail(key, allowance)
  local over = redis.call('HINCRBY', key, 'count', 1) - allowance
  if over > 0 then
    redis.call('HSET', key, 'until', now + math.min(delay * 2 ^ math.min(over - 1, 20), maxDelay))
  end
  redis.call('PEXPIRE', key, forget)
end
fail(addressKey, tonumber(ARGV[6]))
if user ~= '' then fail(accountKey, tonumber(ARGV[5])) end
return 0
)lua";

long long millisOf(std::chrono::milliseconds time) {
    return time.count();
}

} // namespace

void LoginGuard::share(RedisClient& redis, std::string prefix) {
    redis_ = &redis;
    prefix_ = std::move(prefix);
}

int LoginGuard::attemptShared(const std::string& address, std::optional<int> userId,
                              bool passwordRight) {
    std::string error;
    const std::optional<RedisReply> reply = redis_->eval(
        kAttempt,
        {prefix_, address, userId ? std::to_string(*userId) : "", passwordRight ? "1" : "0",
         std::to_string(settings_.accountFailures), std::to_string(settings_.addressFailures),
         std::to_string(millisOf(settings_.delay)), std::to_string(millisOf(settings_.maxDelay)),
         std::to_string(millisOf(kForget)), std::to_string(millisOf(kKnownFor)),
         std::to_string(kKnownPerAccount)},
        error);
    return reply ? static_cast<int>(reply->integer) : kStoreDown;
}

LoginGuard::LoginGuard(Settings settings, std::function<Clock::time_point()> now)
    : settings_(settings), now_(std::move(now)) {}

int LoginGuard::attempt(const std::string& address, std::optional<int> userId, bool passwordRight) {
    if (redis_ != nullptr) {
        return attemptShared(address, userId, passwordRight);
    }
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
