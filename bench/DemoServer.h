#pragma once

// The reference server from this build with its demo configuration, on a free
// loopback port, for the benchmarks that need a real peer; stopped with
// SIGTERM when the object goes. baseUrl() is empty when it did not start; a
// worker process (--role worker) has none and is ready() once it works.
#include <string>
#include <sys/types.h>
#include <vector>

namespace tolvane::bench {

class DemoServer {
  public:
    // One key of the demo configuration set to another value.
    struct Setting {
        std::string section;
        std::string key;
        std::string value;
    };

    // With `settings`, the server reads a copy of the demo configuration (in
    // a temporary folder, removed with the object) that holds them; `args`
    // are added to its command line (e.g. --role web).
    explicit DemoServer(const std::vector<Setting>& settings = {},
                        const std::vector<std::string>& args = {});
    ~DemoServer();
    DemoServer(const DemoServer&) = delete;
    DemoServer& operator=(const DemoServer&) = delete;

    // "http://127.0.0.1:PORT/tolvane/tolvanedoor.php"
    const std::string& baseUrl() const { return baseUrl_; }
    const std::string& port() const { return port_; }
    bool ready() const { return ready_; }
    // CPU seconds (user and system) the server process has used so far.
    double cpuSeconds() const;

  private:
    // The server names its address once it listens, a worker says it works.
    void readAddress(int fd);

    // A copy of the demo configuration with `settings`, its feed paths made
    // absolute; empty when it cannot be written.
    std::string writeConfig(const std::vector<Setting>& settings);

    pid_t pid_ = -1;
    std::string configDir_;
    std::string baseUrl_;
    std::string port_;
    bool ready_ = false;
};

} // namespace tolvane::bench
