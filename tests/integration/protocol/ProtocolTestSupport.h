#pragma once

// Helpers shared by the protocol tests: a dialog port that records every report
// and trace line in order, small HTTP peers on loopback that answer as a test
// tells them, listeners that never answer, and the reference server run as its
// own process.

#include "protocol/InterfacePump.h"
#include "protocol/PlaybackStatus.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/ServerProgram.h"
#include "tests/support/TempDir.h"

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
// number, the text in UTF-8 for codes that carry one, or a playback status) and each trace line as
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
    // A 100/200 record as "PERCENT% BITRATE kbs HH:MM:SS/HH:MM:SS".
    static std::string statusText(const PlaybackStatus& status);

  private:
    void record(std::string event);

    mutable std::mutex mutex_;
    std::vector<std::string> events_;
    std::function<void(uint32_t, uint32_t)> hook_;
    InterfacePump pump_;
};

// Header names compare regardless of case, as HTTP defines them.
struct HeaderNameLess {
    bool operator()(const std::string& a, const std::string& b) const;
};

// One request as the peer received it.
struct Exchange {
    std::string path;
    std::string body;
    std::multimap<std::string, std::string, HeaderNameLess> headers;
    std::multimap<std::string, std::string> params; // the body decoded as a form
    int64_t receivedAt = 0;                         // seconds since the epoch
    bool answered = false;                          // its delay is over and the answer goes
};

// An HTTP server on a free loopback port that answers POSTs to each path with
// the status and body a test set, optionally after a delay. A delay still
// running when the peer goes ends then.
class TestPeer {
  public:
    TestPeer();
    ~TestPeer();

    void answer(const std::string& path, int status, std::string body,
                std::chrono::milliseconds delay = {});
    // As answer(), for requests to `path` whose body holds `bodyPart`; these
    // take precedence over the plain answer of the path.
    void answerWhen(const std::string& path, const std::string& bodyPart, int status,
                    std::string body);
    std::string url(const std::string& path) const;
    std::vector<Exchange> exchanges() const;

  private:
    struct Answer {
        int status = 200;
        std::string body;
        std::chrono::milliseconds delay{};
    };

    // The HTTP server lives in the source file, so the tests that use a peer
    // do not each compile the whole HTTP library.
    struct Server;
    std::unique_ptr<Server> server_;
    int port_ = 0;
    std::thread thread_;
    mutable std::mutex mutex_;
    std::condition_variable closing_; // ends the delays
    bool closed_ = false;
    std::map<std::string, Answer> answers_;
    std::vector<std::pair<std::string, std::string>> conditions_; // path, body part
    std::vector<Answer> conditionalAnswers_;
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
    // The connections made to the port since the last call, each as the bytes
    // it had sent by now; taken from the accept queue without waiting.
    std::vector<std::string> takeConnections();

  private:
    int fd_ = -1;
    std::vector<int> fillers_;
    int port_ = 0;
    bool ok_ = false;
};

// A loopback port nothing listens on.
int closedPort();

// tolvane-server from this build, on a free port with the demo configuration
// and a data folder of its own; stopped with SIGTERM (SIGKILL after 5 s).
class ServerProcess {
  public:
    ServerProcess();
    ~ServerProcess();
    static bool available();
    // "http://127.0.0.1:PORT/tolvane/tolvanedoor.php", or empty when it did not start.
    std::string baseUrl() const { return port_ == 0 ? std::string() : baseUrl_; }
    std::string output() const;
    int port() const { return port_; }
    // Where the server keeps the MP3 files it made.
    const std::filesystem::path& dataDir() const { return dataDir_.path(); }
    // Ends the server as a stop by its administrator does.
    void stop();

  private:
    TempDir dataDir_;
    ServerProgram server_;
    std::string error_;
    int port_ = 0;
    std::string baseUrl_;
};

} // namespace tolvane::test
