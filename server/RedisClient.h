#pragma once

#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

struct redisContext;

namespace tolvane::server {

// Where a Redis server listens: "unix:/path/redis.sock" or "tcp://host:port".
struct RedisAddress {
    std::string path; // the socket's, for a unix socket
    std::string host; // for TCP
    int port = 0;

    // nullopt with the reason in `error` when `text` is neither form.
    static std::optional<RedisAddress> parse(std::string_view text, std::string& error);
};

// One reply, copied out of hiredis's so it outlives the connection.
struct RedisReply {
    enum class Type { Nil, Integer, Text, Array };
    Type type = Type::Nil;
    long long integer = 0;
    std::string text; // a string or status reply
    std::vector<RedisReply> elements;

    bool isNil() const { return type == Type::Nil; }
};

// The EVAL command of `script` with no keys (they are made inside the script
// from ARGV[1], the key prefix) and `args`.
std::vector<std::string> evalCommand(const std::string& script, std::vector<std::string> args);

// The start every server script shares: `p`, the key prefix, from ARGV[1],
// and nowMs(), Redis's own clock in milliseconds, which every server process
// sees alike. A constant, so scripts in other files may be made from it
// during static initialisation.
inline constexpr std::string_view kRedisScriptPrelude = R"lua(
local p = ARGV[1]
local function nowMs()
  local t = redis.call('TIME')
  return tonumber(t[1]) * 1000 + math.floor(tonumber(t[2]) / 1000)
end
)lua";

// One connection to Redis with hiredis's synchronous API, for one thread at a
// time. A command that cannot be sent or answered drops the connection; the
// next command connects again, so the caller only retries.
class RedisConnection {
  public:
    RedisConnection(RedisAddress address, std::chrono::milliseconds timeout);
    ~RedisConnection();
    RedisConnection(const RedisConnection&) = delete;
    RedisConnection& operator=(const RedisConnection&) = delete;

    // Runs one command; nullopt with the reason in `error` when Redis could
    // not be reached, the connection broke, or Redis answered with an error.
    std::optional<RedisReply> run(const std::vector<std::string>& args, std::string& error);

    // Sends a command without reading its reply (SUBSCRIBE); false when the
    // connection could not be made or broke.
    bool send(const std::vector<std::string>& args, std::string& error);

    // The next reply the server pushes (a subscribed channel's message),
    // waiting at most `wait`: nullopt with `error` empty when none came in
    // time, with the reason when the connection broke.
    std::optional<RedisReply> next(std::chrono::milliseconds wait, std::string& error);

    // The read and write time-out of later commands (BLPOP needs more than
    // its own wait).
    void setTimeout(std::chrono::milliseconds timeout);

    bool connected() const { return context_ != nullptr; }

  private:
    bool connect(std::string& error);
    void drop();

    const RedisAddress address_;
    std::chrono::milliseconds timeout_;
    redisContext* context_ = nullptr;
};

// The connections the server's request threads share: each command runs on a
// connection taken from a small pool and handed back once answered, so the
// threads never wait for each other's round trips. When Redis cannot be
// reached, commands for the next 100 ms fail at once instead of each waiting
// for its own connect time-out; a command after that tries again, so service
// returns by itself when Redis does. The first failure and the return are
// logged once each.
//
// Threads: any thread calls run(); mutex_ guards idle_ and downUntil_.
class RedisClient {
  public:
    RedisClient(RedisAddress address, std::chrono::milliseconds timeout);
    ~RedisClient();
    RedisClient(const RedisClient&) = delete;
    RedisClient& operator=(const RedisClient&) = delete;

    std::optional<RedisReply> run(const std::vector<std::string>& args, std::string& error);

    std::optional<RedisReply> eval(const std::string& script, std::vector<std::string> args,
                                   std::string& error) {
        return run(evalCommand(script, std::move(args)), error);
    }

    const RedisAddress& address() const { return address_; }

  private:
    void noteResult(bool ok, const std::string& error);

    const RedisAddress address_;
    const std::chrono::milliseconds timeout_;
    std::mutex mutex_;
    std::vector<std::unique_ptr<RedisConnection>> idle_;
    std::chrono::steady_clock::time_point downUntil_{};
    std::atomic<bool> reachable_{true};
};

} // namespace tolvane::server
