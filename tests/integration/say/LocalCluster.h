#pragma once

// Several speech servers for one user base on loopback, as scripts/cluster.sh
// runs them: a redis-server and an nginx of the test's own, web nodes behind
// nginx and synthesis worker processes, all sharing the Redis store. The
// servers know the user of writeClientConfig (demo@tolvane.local, "demo").
#include "tests/support/NginxServer.h"
#include "tests/support/RedisServer.h"
#include "tests/support/ServerProgram.h"
#include "tests/support/TempDir.h"

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

namespace tolvane::test {

class LocalCluster {
  public:
    LocalCluster();
    // The servers stop first, while Redis still answers them.
    ~LocalCluster();
    LocalCluster(const LocalCluster&) = delete;
    LocalCluster& operator=(const LocalCluster&) = delete;

    // True when redis-server, nginx and the server program are there.
    static bool available();

    // Starts Redis, `web` web nodes, `workers` worker processes (one
    // synthesis thread each) and nginx in front of the web nodes; false with
    // the reason.
    bool start(int web, int workers, std::string& error);

    // nginx's port: the one the client is given.
    int port() const { return nginx_.port(); }
    // The request lines each web node logged, one string per node.
    std::vector<std::string> webLogs() const;
    // nginx's access log: a line per request it passed on, with the status.
    std::string proxyLog() const { return nginx_.accessLog(); }
    // Every process's output, for a failure message.
    std::string output() const;

    // Fetches the MP3 of the one job in the store through nginx into `dir` as
    // UUID.mp3, the folder compareHeard reads; false with the reason.
    bool fetchSpeech(const std::filesystem::path& dir, std::string& error) const;

  private:
    RedisServer redis_;
    NginxServer nginx_;
    TempDir dir_;
    std::vector<std::unique_ptr<ServerProgram>> web_;
    std::vector<std::unique_ptr<ServerProgram>> workers_;
};

} // namespace tolvane::test
