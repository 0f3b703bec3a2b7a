#pragma once

#include "tests/support/ChildProcess.h"
#include "tests/support/TempDir.h"

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

namespace tolvane::test {

// A redis-server of a test's own: on a unix socket in a temporary folder, no
// TCP port, nothing saved to disk. Stopped, and its folder removed, at the
// end of its scope.
class RedisServer {
  public:
    RedisServer();
    ~RedisServer();
    RedisServer(const RedisServer&) = delete;
    RedisServer& operator=(const RedisServer&) = delete;

    static bool available();

    // Starts it (again, on the same socket and empty, after stop()) and waits
    // until it accepts connections; false with the reason.
    bool start(std::string& error);
    // Ends it with SIGTERM; its data is gone.
    void stop();

    // "unix:/path/redis.sock", as server.ini's [store] redis names it.
    std::string address() const { return "unix:" + socket().string(); }
    std::filesystem::path socket() const { return dir_.path() / "redis.sock"; }

    // redis-cli's output for one command (a list's elements one a line).
    std::string command(const std::vector<std::string>& args) const;
    // The keys that start with `prefix`, sorted.
    std::vector<std::string> keys(const std::string& prefix) const;

  private:
    TempDir dir_;
    std::unique_ptr<ChildProcess> process_;
};

} // namespace tolvane::test
