#include "server/RedisEvents.h"

namespace tolvane::server {

namespace {

constexpr std::chrono::milliseconds kPoll{200};

} // namespace

RedisEvents::RedisEvents(RedisAddress address, std::string prefix, JobTable::Listener& jobs,
                         SessionTable::Listener& sessions)
    : address_(std::move(address)), channel_(prefix + "ended"), jobs_(jobs), sessions_(sessions) {}

RedisEvents::~RedisEvents() {
    stop();
}

void RedisEvents::start() {
    thread_ = std::thread([this] { run(); });
}

void RedisEvents::stop() {
    stopping_ = true;
    if (thread_.joinable()) {
        thread_.join();
    }
}

void RedisEvents::run() {
    RedisConnection connection(address_, std::chrono::milliseconds(1000));
    while (!stopping_) {
        std::string error;
        if (!connection.connected() && !connection.send({"SUBSCRIBE", channel_}, error)) {
            std::this_thread::sleep_for(kPoll);
            continue;
        }
        const std::optional<RedisReply> message = connection.next(kPoll, error);
        if (message) {
            deliver(*message);
        } else if (!error.empty()) {
            std::this_thread::sleep_for(kPoll);
        }
    }
}

// A message is ["message", channel, text]; the subscription's own reply is
// ["subscribe", channel, count].
void RedisEvents::deliver(const RedisReply& message) {
    if (message.elements.size() != 3 || message.elements[0].text != "message") {
        return;
    }
    const std::string& text = message.elements[2].text;
    if (text.starts_with("job ")) {
        jobs_.jobEnded(text.substr(4));
    } else if (text.starts_with("session ")) {
        sessions_.sessionEnded(text.substr(8));
    }
}

} // namespace tolvane::server
