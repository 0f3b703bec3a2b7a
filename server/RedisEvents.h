#pragma once

#include "server/JobTable.h"
#include "server/RedisClient.h"
#include "server/SessionTable.h"

#include <atomic>
#include <string>
#include <thread>

namespace tolvane::server {

// Hears the ends of jobs and sessions that any server process of the key
// prefix publishes on the channel "ended" ("job UUID", "session TOKEN") and
// tells the listeners, so a query held here is answered as soon as its job
// ends on whichever worker made it. Messages published while Redis cannot be
// reached are lost; such a hold ends at its time, answering as things stand.
//
// Threads: one thread of its own subscribes, reads and calls the listeners,
// connecting again (every 200 ms) while Redis is away; stop() joins it.
class RedisEvents {
  public:
    RedisEvents(RedisAddress address, std::string prefix, JobTable::Listener& jobs,
                SessionTable::Listener& sessions);
    ~RedisEvents();
    RedisEvents(const RedisEvents&) = delete;
    RedisEvents& operator=(const RedisEvents&) = delete;

    void start();
    void stop();

  private:
    void run();
    void deliver(const RedisReply& message);

    const RedisAddress address_;
    const std::string channel_;
    JobTable::Listener& jobs_;
    SessionTable::Listener& sessions_;
    std::atomic<bool> stopping_{false};
    std::thread thread_;
};

} // namespace tolvane::server
