#pragma once

#include "server/SessionTable.h"

#include <chrono>
#include <cstddef>
#include <string>

namespace tolvane::server {

class RedisClient;

// The session table in Redis, shared by every server process of one key
// prefix, with SessionStore's rules: a session lives until it has gone unused
// for the lifetime; a user holds at most `perUser` and a further login ends
// that user's least recently used one; at most `total` in all, and once full
// only a user who holds one can log in (giving it up).
//
// Keys, after the prefix: "session:TOKEN" holds the user id and expires with
// the session's lifetime (each use sets it again); the sorted sets "sessions"
// (USER:TOKEN by last use) and "user-sessions:USER" (TOKEN by last use) order
// them for the caps and for the sweep that forgets expired ones. Each rule
// runs as one Lua script, so logins on several servers at once keep the
// caps. A session's end is published on the channel "ended" as
// "session TOKEN", so a server holding a query under it answers at once.
//
// Threads: any thread calls any operation; RedisClient guards the
// connections, Redis orders the scripts.
class RedisSessions final : public SessionTable {
  public:
    RedisSessions(RedisClient& redis, std::string prefix, std::chrono::seconds lifetime,
                  std::size_t total, std::size_t perUser);

    // Ends are heard through the channel (see RedisEvents), not from here.
    void setListener(Listener* /*listener*/) override {}
    Stored<std::string> open(int userId) override;
    Stored<int> find(std::string_view token) override;
    void sweep() override;
    std::size_t size() const override;

  private:
    RedisClient& redis_;
    const std::string prefix_;
    const std::string lifetimeMs_;
    const std::string total_;
    const std::string perUser_;
};

} // namespace tolvane::server
