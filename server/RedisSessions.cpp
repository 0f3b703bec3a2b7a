#include "server/RedisSessions.h"

#include "server/RandomId.h"
#include "server/RedisClient.h"

#include <algorithm>

namespace tolvane::server {

namespace {

// Shared by the scripts: a session's end (its key and both places in the
// orders, published on "ended"), and the sweep of sessions unused for the
// lifetime, at most `limit` a call.
const std::string kPrelude = std::string(kRedisScriptPrelude) + R"lua(
local function endSession(member)
  local sep = string.find(member, ':', 1, true)
  local user, token = string.sub(member, 1, sep - 1), string.sub(member, sep + 1)
  redis.call('ZREM', p .. 'sessions', member)
  redis.call('ZREM', p .. 'user-sessions:' .. user, token)
  redis.call('DEL', p .. 'session:' .. token)
  redis.call('PUBLISH', p .. 'ended', 'session ' .. token)
end
local function dropExpired(now, lifetime, limit)
  local old = redis.call('ZRANGEBYSCORE', p .. 'sessions', '-inf', now - lifetime, 'LIMIT', 0, limit)
  for _, member in ipairs(old) do endSession(member) end
end
)lua";

// ARGV: prefix, user, token, lifetime ms, total, per user. 1 when opened, 0
// when the table is full and holds none of the user's sessions.
const std::string kOpen = kPrelude + R"lua(
local user, token = ARGV[2], ARGV[3]
local lifetime, total, perUser = tonumber(ARGV[4]), tonumber(ARGV[5]), tonumber(ARGV[6])
local now = nowMs()
dropExpired(now, lifetime, 1000)
local mineKey = p .. 'user-sessions:' .. user
local mine = redis.call('ZCARD', mineKey)
if mine > 0 and (mine >= perUser or redis.call('ZCARD', p .. 'sessions') >= total) then
  endSession(user .. ':' .. redis.call('ZRANGE', mineKey, 0, 0)[1])
end
if redis.call('ZCARD', p .. 'sessions') >= total then return 0 end
redis.call('SET', p .. 'session:' .. token, user, 'PX', lifetime)
redis.call('ZADD', mineKey, now, token)
redis.call('ZADD', p .. 'sessions', now, user .. ':' .. token)
return 1
)lua";

// ARGV: prefix, token, lifetime ms. The user, or -1 for no live session.
const std::string kFind = kPrelude + R"lua(
local token, lifetime = ARGV[2], tonumber(ARGV[3])
local key = p .. 'session:' .. token
local user = redis.call('GET', key)
if not user then return -1 end
local now = nowMs()
redis.call('PEXPIRE', key, lifetime)
redis.call('ZADD', p .. 'sessions', 'XX', now, user .. ':' .. token)
redis.call('ZADD', p .. 'user-sessions:' .. user, 'XX', now, token)
return tonumber(user)
)lua";

// ARGV: prefix, lifetime ms.
const std::string kSweep = kPrelude + R"lua(
dropExpired(nowMs(), tonumber(ARGV[2]), 10000)
return 0
)lua";

} // namespace

RedisSessions::RedisSessions(RedisClient& redis, std::string prefix, std::chrono::seconds lifetime,
                             std::size_t total, std::size_t perUser)
    : redis_(redis), prefix_(std::move(prefix)),
      lifetimeMs_(std::to_string(std::chrono::milliseconds(lifetime).count())),
      total_(std::to_string(std::max<std::size_t>(total, 1))),
      perUser_(std::to_string(std::max<std::size_t>(perUser, 1))) {}

Stored<std::string> RedisSessions::open(int userId) {
    std::string token = randomToken();
    std::string error;
    const std::optional<RedisReply> reply = redis_.eval(
        kOpen, {prefix_, std::to_string(userId), token, lifetimeMs_, total_, perUser_}, error);
    if (!reply) {
        return Stored<std::string>::unreachable();
    }
    if (reply->integer != 1) {
        return std::nullopt;
    }
    return token;
}

Stored<int> RedisSessions::find(std::string_view token) {
    std::string error;
    const std::optional<RedisReply> reply =
        redis_.eval(kFind, {prefix_, std::string(token), lifetimeMs_}, error);
    if (!reply) {
        return Stored<int>::unreachable();
    }
    if (reply->integer < 0) {
        return std::nullopt;
    }
    return static_cast<int>(reply->integer);
}

void RedisSessions::sweep() {
    std::string error;
    redis_.eval(kSweep, {prefix_, lifetimeMs_}, error);
}

std::size_t RedisSessions::size() const {
    std::string error;
    const std::optional<RedisReply> reply = redis_.run({"ZCARD", prefix_ + "sessions"}, error);
    return reply ? static_cast<std::size_t>(std::max(0LL, reply->integer)) : 0;
}

} // namespace tolvane::server
