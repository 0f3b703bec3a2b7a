#pragma once

// The reference server from this build with its demo configuration, on a free
// loopback port, for the benchmarks that need a real peer; stopped with
// SIGTERM when the object goes. baseUrl() is empty when it did not start.
#include <string>
#include <sys/types.h>

namespace tolvane::bench {

class DemoServer {
  public:
    DemoServer();
    ~DemoServer();
    DemoServer(const DemoServer&) = delete;
    DemoServer& operator=(const DemoServer&) = delete;

    // "http://127.0.0.1:PORT/tolvane/tolvanedoor.php"
    const std::string& baseUrl() const { return baseUrl_; }
    const std::string& port() const { return port_; }

  private:
    // The server names its address once it listens.
    void readAddress(int fd);

    pid_t pid_ = -1;
    std::string baseUrl_;
    std::string port_;
};

} // namespace tolvane::bench
