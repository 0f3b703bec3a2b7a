#pragma once

#include "tests/support/ChildProcess.h"
#include "tests/support/TempDir.h"

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

namespace tolvane::test {

// nginx of a test's own with the project's sample site
// (resources/nginx/tolvane.conf, rendered by scripts/nginx-conf.sh) in front
// of the given web nodes: on a free loopback port, its pid file, logs and
// temporary files in a temporary folder. Stopped, and its folder removed, at
// the end of its scope.
class NginxServer {
  public:
    NginxServer();
    ~NginxServer();
    NginxServer(const NginxServer&) = delete;
    NginxServer& operator=(const NginxServer&) = delete;

    static bool available();

    // Starts it in front of `nodes` ("127.0.0.1:PORT") and waits until it
    // accepts connections; false with the reason.
    bool start(const std::vector<std::string>& nodes, std::string& error);
    void stop();

    int port() const { return port_; }
    // "http://127.0.0.1:PORT"
    std::string base() const { return "http://127.0.0.1:" + std::to_string(port_); }
    // The requests it passed on, one line each.
    std::string accessLog() const;

  private:
    bool startOn(int port, const std::vector<std::string>& nodes, std::string& error);

    TempDir dir_;
    std::unique_ptr<ChildProcess> process_;
    int port_ = 0;
};

} // namespace tolvane::test
