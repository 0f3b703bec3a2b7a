#pragma once

#include <chrono>
#include <cstddef>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>

namespace tolvane::server {

class RedisClient;

// Slows password guessing. Failed logins are counted per client address and
// per account; past an allowance, each further failure locks the address (or
// the account) for a delay that doubles from `delay` up to `maxDelay`. A
// locked login is refused without its password being checked. An account's
// lock does not apply to addresses that have logged in to it before, so an
// attacker elsewhere cannot keep its owner out; an address's own lock applies
// to every login from it. Counts are forgotten once no failure has come for
// kForget. Shared through Redis (see share()), the counts and locks hold
// across every server process of the key prefix.
//
// Threads: HTTP threads call attempt() concurrently; mutex_ guards every field
// but the settings and the store, which is set before serving.
class LoginGuard {
  public:
    using Clock = std::chrono::steady_clock;

    struct Settings {
        int accountFailures = 5;  // failed logins of one account before it is slowed
        int addressFailures = 20; // failed logins from one address before it is slowed
        std::chrono::seconds delay{1};
        std::chrono::seconds maxDelay{60};
    };

    static constexpr std::chrono::minutes kForget{15};
    // How long an address stays known to an account after a login.
    static constexpr std::chrono::hours kKnownFor{24 * 30};

    explicit LoginGuard(Settings settings, std::function<Clock::time_point()> now = Clock::now);

    // Counts in Redis under `prefix` from now on, instead of in this process.
    void share(RedisClient& redis, std::string prefix);

    // Returned by attempt() when the shared counts cannot be reached.
    static constexpr int kStoreDown = -1;

    // One login of `userId` (nullopt: no such account) from `address`, whose
    // password was right or not. Returns the seconds to wait when the login is
    // locked (it is refused and does not count), else 0: a wrong password then
    // counts as a failure, a right one makes the address known to the account.
    int attempt(const std::string& address, std::optional<int> userId, bool passwordRight);

  private:
    struct Failures {
        int count = 0;
        Clock::time_point last;
        Clock::time_point lockedUntil;
    };
    struct Account {
        Failures failures;
        std::map<std::string, Clock::time_point> known; // address -> last login
    };

    int attemptShared(const std::string& address, std::optional<int> userId, bool passwordRight);
    void fail(Failures& failures, int allowance, Clock::time_point now) const;
    void remember(Account& account, const std::string& address, Clock::time_point now) const;
    void forgetOldAddresses(Clock::time_point now);

    const Settings settings_;
    const std::function<Clock::time_point()> now_;
    RedisClient* redis_ = nullptr;
    std::string prefix_;
    std::mutex mutex_;
    std::unordered_map<std::string, Failures> addresses_;
    std::unordered_map<int, Account> accounts_;
};

} // namespace tolvane::server
