#pragma once

#include "server/FeedCache.h"
#include "server/HeldQueries.h"
#include "server/HttpServer.h"
#include "server/ProtocolService.h"
#include "server/RedisClient.h"
#include "server/RedisEvents.h"
#include "server/RedisJobs.h"
#include "server/ServerConfig.h"
#include "server/SessionTable.h"
#include "server/SpeechJobs.h"

#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

namespace tolvane::server {

// The whole server: sessions, speech jobs, feeds, the protocol and HTTP, and a
// janitor that expires old sessions and job files. With the memory store
// sessions and jobs live here (SessionStore, SpeechJobs); with the Redis store
// in Redis (RedisSessions, RedisJobs), where the role decides what this
// process does: a web node answers HTTP and synthesises nothing, a worker
// synthesises and has no HTTP port, "all" does both.
//
// Threads: the owner calls start() and stop(); HttpServer, SpeechJobs,
// RedisJobs and RedisEvents run their own threads (see there); janitor_ wakes
// once a second to expire sessions and jobs (and, with Redis, to sign the
// workers' life and requeue the jobs of silent ones). mutex_ guards
// stopping_, which wakes the janitor.
class ServerApp {
  public:
    explicit ServerApp(ServerConfig config);
    ~ServerApp();
    ServerApp(const ServerApp&) = delete;
    ServerApp& operator=(const ServerApp&) = delete;

    // Starts synthesis, the janitor and HTTP; once it returns, requests are
    // answered. False with the reason when the server cannot run.
    bool start(std::string& error);

    // Finishes the running requests, stops the workers and removes the job
    // files. Safe to call more than once.
    void stop();

    int port() const { return http_ ? http_->port() : 0; }
    const ServerConfig& config() const { return config_; }
    JobTable& jobs() { return *jobs_; }
    // The jobs in this process's memory; null with the Redis store.
    SpeechJobs* memoryJobs() { return memoryJobs_.get(); }
    // Stops the speech jobs alone, as stop() does first.
    void stopJobs();
    SessionTable& sessions() { return *sessions_; }
    // Null when [server] query_hold is 0.
    HeldQueries* holds() { return holds_.get(); }

  private:
    bool makeTables(std::string& error);
    bool startHttp(std::string& error);
    void runJanitor();

    const ServerConfig config_;
    std::unique_ptr<RedisClient> redis_;
    std::unique_ptr<SessionTable> sessions_;
    std::unique_ptr<SpeechJobs> memoryJobs_;
    std::unique_ptr<RedisJobs> redisJobs_;
    JobTable* jobs_ = nullptr;
    std::unique_ptr<RedisEvents> events_;
    std::unique_ptr<FeedCache> feeds_;
    std::unique_ptr<HeldQueries> holds_;
    std::unique_ptr<ProtocolService> service_;
    std::unique_ptr<HttpServer> http_;
    std::thread janitor_;
    std::mutex mutex_;
    std::condition_variable wake_;
    bool stopping_ = false;
};

} // namespace tolvane::server
