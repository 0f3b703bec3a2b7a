#pragma once

#include "server/FeedCache.h"
#include "server/HeldQueries.h"
#include "server/HttpServer.h"
#include "server/ProtocolService.h"
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
// janitor that expires old sessions and job files.
//
// Threads: the owner calls start() and stop(); HttpServer and SpeechJobs run
// their own threads (see there); janitor_ wakes once a second to expire
// sessions and jobs. mutex_ guards stopping_, which wakes the janitor.
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
    SpeechJobs& jobs() { return *jobs_; }
    SessionTable& sessions() { return *sessions_; }
    // Null when [server] query_hold is 0.
    HeldQueries* holds() { return holds_.get(); }

  private:
    void runJanitor();

    const ServerConfig config_;
    std::unique_ptr<SessionTable> sessions_;
    std::unique_ptr<SpeechJobs> jobs_;
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
