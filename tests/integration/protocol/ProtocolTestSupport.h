#pragma once

// Helpers shared by the protocol tests: a dialog port that records every report
// and trace line in order, small HTTP peers on loopback that answer as a test
// tells them, listeners that never answer, and the reference server run as its
// own process.

#include "protocol/InterfacePump.h"

#include <httplib.h>

#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace tolvane::test {

std::string utf8(std::u16string_view text);

// Records what the dialog would see: each report as "MSG/CODE ARG" (ARG the
// number, or the text in UTF-8 for codes that carry one) and each trace line as
// "trace LINE", in the order they arrive. Installs itself as the trace sink for
// its lifetime. Construct it on the thread that plays the interface thread.
class RecordingPort {
  public:
    RecordingPort();
    ~RecordingPort();

    DialogPort* port() { return &pump_; }
    InterfacePump& pump() { return pump_; }

    // Called on the interface thread after each report is recorded.
    void onReport(std::function<void(uint32_t message, uint32_t code)> hook) {
        hook_ = std::move(hook);
    }

    std::vector<std::string> events() const;
    // Only the reports, without the trace lines.
    std::vector<std::string> reports() const;
    void clear();

    // Pumps until `done`; false after 20 s.
    bool pumpUntil(const std::function<bool()>& done);

    static bool carriesText(uint32_t message, uint32_t code);

  private:
    void record(std::string event);

    mutable std::mutex mutex_;
    std::vector<std::string> events_;
    std::function<void(uint32_t, uint32_t)> hook_;
    InterfacePump pump_;
};

// One request as the peer received it.
struct Exchange {
    std::string path;
    std::string body;
    httplib::Headers headers;
    httplib::Params params; // the body decoded as a form
    int64_t receivedAt = 0; // seconds since the epoch
};

// An HTTP server on a free loopback port that answers POSTs to each path with
// the status and body a test set, optionally after a delay.
class TestPeer {
  public:
    TestPeer();
    ~TestPeer();

    void answer(const std::string& path, int status, std::string body,
                std::chrono::milliseconds delay = {});
    std::string url(const std::string& path) const;
    std::vector<Exchange> exchanges() const;

  private:
    struct Answer {
        int status = 200;
        std::string body;
        std::chrono::milliseconds delay{};
    };

    httplib::Server server_;
    int port_ = 0;
    std::thread thread_;
    mutable std::mutex mutex_;
    std::map<std::string, Answer> answers_;
    std::vector<Exchange> exchanges_;
};

// A loopback port that accepts connections in the kernel but never answers
// (`fullBacklog` false: the request is sent and no reply comes), or whose
// accept queue is full so that a new connection is never established.
class SilentListener {
  public:
    explicit SilentListener(bool fullBacklog);
    ~SilentListener();
    int port() const { return port_; }
    bool ok() const { return ok_; }

  private:
    int fd_ = -1;
    std::vector<int> fillers_;
    int port_ = 0;
    bool ok_ = false;
};

// A loopback port nothing listens on.
int closedPort();

// tolvane-server from this build, on a free port with the demo configuration.
class ServerProcess {
  public:
    ServerProcess();
    ~ServerProcess();
    static bool available();
    // "http://127.0.0.1:PORT/tolvane/tolvanedoor.php", or empty when it did not start.
    std::string baseUrl() const { return port_ == 0 ? std::string() : baseUrl_; }
    std::string output() const;

  private:
    void readOutput(int fd);

    int pid_ = -1;
    int port_ = 0;
    std::string baseUrl_;
    std::filesystem::path dataDir_;
    std::thread reader_;
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    bool closed_ = false;
    std::string output_;
};

// A fresh folder removed at the end of the scope.
class TempDir {
  public:
    TempDir();
    ~TempDir();
    const std::filesystem::path& path() const { return path_; }

  private:
    std::filesystem::path path_;
};

} // namespace tolvane::test
