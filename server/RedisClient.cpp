#include "server/RedisClient.h"

#include "server/Log.h"

#include <hiredis/hiredis.h>

#include <charconv>
#include <poll.h>
#include <sys/time.h>

namespace tolvane::server {

namespace {

// How long commands fail at once after Redis could not be reached.
constexpr std::chrono::milliseconds kRetryAfter{100};
// Connections kept idle in the pool; more are closed when handed back.
constexpr std::size_t kPoolSize = 16;

timeval toTimeval(std::chrono::milliseconds time) {
    return timeval{static_cast<time_t>(time.count() / 1000),
                   static_cast<suseconds_t>(time.count() % 1000 * 1000)};
}

RedisReply copyReply(const redisReply& reply) {
    RedisReply out;
    switch (reply.type) {
    case REDIS_REPLY_INTEGER:
        out.type = RedisReply::Type::Integer;
        out.integer = reply.integer;
        break;
    case REDIS_REPLY_STRING:
    case REDIS_REPLY_STATUS:
        out.type = RedisReply::Type::Text;
        out.text.assign(reply.str, reply.len);
        break;
    case REDIS_REPLY_ARRAY:
        out.type = RedisReply::Type::Array;
        for (std::size_t i = 0; i < reply.elements; ++i) {
            out.elements.push_back(copyReply(*reply.element[i]));
        }
        break;
    default:
        break;
    }
    return out;
}

// The reply as a copy, or nullopt with Redis's error text.
std::optional<RedisReply> takeReply(redisReply* reply, std::string& error) {
    std::unique_ptr<redisReply, void (*)(void*)> owned(reply, freeReplyObject);
    if (reply->type == REDIS_REPLY_ERROR) {
        error = "Redis: " + std::string(reply->str, reply->len);
        return std::nullopt;
    }
    return copyReply(*reply);
}

} // namespace

std::optional<RedisAddress> RedisAddress::parse(std::string_view text, std::string& error) {
    RedisAddress address;
    if (text.starts_with("unix:")) {
        address.path = text.substr(5);
        if (address.path.empty() || address.path.front() != '/') {
            error = "'" + std::string(text) + "': a unix socket needs an absolute path";
            return std::nullopt;
        }
        return address;
    }
    const std::string_view rest = text.starts_with("tcp://") ? text.substr(6) : std::string_view();
    const std::size_t colon = rest.rfind(':');
    int port = 0;
    const std::string_view portText = colon == std::string_view::npos ? "" : rest.substr(colon + 1);
    const auto [end, ec] =
        std::from_chars(portText.data(), portText.data() + portText.size(), port);
    if (rest.empty() || colon == 0 || colon == std::string_view::npos || portText.empty() ||
        ec != std::errc() || end != portText.data() + portText.size() || port < 1 || port > 65535) {
        error = "'" + std::string(text) + "' is not unix:/path/redis.sock or tcp://host:port";
        return std::nullopt;
    }
    address.host = rest.substr(0, colon);
    address.port = port;
    return address;
}

std::vector<std::string> evalCommand(const std::string& script, std::vector<std::string> args) {
    std::vector<std::string> command{"EVAL", script, "0"};
    for (std::string& arg : args) {
        command.push_back(std::move(arg));
    }
    return command;
}

RedisConnection::RedisConnection(RedisAddress address, std::chrono::milliseconds timeout)
    : address_(std::move(address)), timeout_(timeout) {}

RedisConnection::~RedisConnection() {
    drop();
}

void RedisConnection::drop() {
    if (context_ != nullptr) {
        redisFree(context_);
        context_ = nullptr;
    }
}

bool RedisConnection::connect(std::string& error) {
    if (context_ != nullptr) {
        return true;
    }
    const timeval limit = toTimeval(timeout_);
    context_ = address_.path.empty()
                   ? redisConnectWithTimeout(address_.host.c_str(), address_.port, limit)
                   : redisConnectUnixWithTimeout(address_.path.c_str(), limit);
    if (context_ == nullptr || context_->err != 0) {
        error = "cannot reach Redis at " +
                (address_.path.empty() ? address_.host + ":" + std::to_string(address_.port)
                                       : address_.path) +
                ": " + (context_ != nullptr ? context_->errstr : "out of memory");
        drop();
        return false;
    }
    redisSetTimeout(context_, limit);
    return true;
}

void RedisConnection::setTimeout(std::chrono::milliseconds timeout) {
    timeout_ = timeout;
    if (context_ != nullptr) {
        redisSetTimeout(context_, toTimeval(timeout));
    }
}

namespace {

struct Argv {
    explicit Argv(const std::vector<std::string>& args) {
        for (const std::string& arg : args) {
            pointers.push_back(arg.data());
            lengths.push_back(arg.size());
        }
    }
    std::vector<const char*> pointers;
    std::vector<std::size_t> lengths;
};

} // namespace

std::optional<RedisReply> RedisConnection::run(const std::vector<std::string>& args,
                                               std::string& error) {
    if (!connect(error)) {
        return std::nullopt;
    }
    Argv argv(args);
    auto* reply = static_cast<redisReply*>(redisCommandArgv(
        context_, static_cast<int>(args.size()), argv.pointers.data(), argv.lengths.data()));
    if (reply == nullptr) {
        error = std::string("Redis connection lost: ") + context_->errstr;
        drop();
        return std::nullopt;
    }
    return takeReply(reply, error);
}

bool RedisConnection::send(const std::vector<std::string>& args, std::string& error) {
    if (!connect(error)) {
        return false;
    }
    Argv argv(args);
    int done = 0;
    if (redisAppendCommandArgv(context_, static_cast<int>(args.size()), argv.pointers.data(),
                               argv.lengths.data()) != REDIS_OK) {
        error = std::string("Redis: ") + context_->errstr;
        drop();
        return false;
    }
    while (done == 0) {
        if (redisBufferWrite(context_, &done) != REDIS_OK) {
            error = std::string("Redis connection lost: ") + context_->errstr;
            drop();
            return false;
        }
    }
    return true;
}

std::optional<RedisReply> RedisConnection::next(std::chrono::milliseconds wait,
                                                std::string& error) {
    error.clear();
    if (context_ == nullptr) {
        error = "not connected to Redis";
        return std::nullopt;
    }
    void* reply = nullptr;
    if (redisReaderGetReply(context_->reader, &reply) == REDIS_OK && reply == nullptr) {
        pollfd ready{context_->fd, POLLIN, 0};
        if (::poll(&ready, 1, static_cast<int>(wait.count())) <= 0) {
            return std::nullopt;
        }
        if (redisBufferRead(context_) != REDIS_OK ||
            redisReaderGetReply(context_->reader, &reply) != REDIS_OK) {
            error = std::string("Redis connection lost: ") + context_->errstr;
            drop();
            return std::nullopt;
        }
        if (reply == nullptr) {
            return std::nullopt; // part of a reply; the rest comes with the next read
        }
    }
    if (reply == nullptr) {
        error = "Redis sent a reply that cannot be read";
        drop();
        return std::nullopt;
    }
    return takeReply(static_cast<redisReply*>(reply), error);
}

RedisClient::RedisClient(RedisAddress address, std::chrono::milliseconds timeout)
    : address_(std::move(address)), timeout_(timeout) {}

RedisClient::~RedisClient() = default;

std::optional<RedisReply> RedisClient::run(const std::vector<std::string>& args,
                                           std::string& error) {
    std::unique_ptr<RedisConnection> connection;
    {
        const std::lock_guard lock(mutex_);
        if (std::chrono::steady_clock::now() < downUntil_) {
            error = "Redis at " + (address_.path.empty() ? address_.host : address_.path) +
                    " cannot be reached";
            return std::nullopt;
        }
        if (!idle_.empty()) {
            connection = std::move(idle_.back());
            idle_.pop_back();
        }
    }
    if (!connection) {
        connection = std::make_unique<RedisConnection>(address_, timeout_);
    }
    std::optional<RedisReply> reply = connection->run(args, error);
    const bool reached = reply || connection->connected();
    {
        const std::lock_guard lock(mutex_);
        if (!reached) {
            downUntil_ = std::chrono::steady_clock::now() + kRetryAfter;
        } else if (idle_.size() < kPoolSize) {
            idle_.push_back(std::move(connection));
        }
    }
    noteResult(reached, error);
    if (reached && !reply) {
        // Redis refused the command itself (a script's fault, out of memory).
        logLine("store: " + error);
    }
    return reply;
}

void RedisClient::noteResult(bool reached, const std::string& error) {
    if (reachable_.exchange(reached) != reached) {
        logLine(reached ? "store: Redis reached again" : "store: " + error);
    }
}

} // namespace tolvane::server
