#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <thread>

namespace httplib {
class Server;
}

namespace tolvane::server {

class ProtocolService;
class SpeechJobs;

// Serves ProtocolService and the finished MP3 files over HTTP with cpp-httplib,
// logging one line per request on stderr.
//
// Threads: serve() runs cpp-httplib's accept loop on
// listener_; requests are answered on cpp-httplib's pool of `threads` threads,
// which call ProtocolService and SpeechJobs (both safe to share). stop() may be
// called from any thread; it returns once the running requests have finished.
class HttpServer {
  public:
    struct Settings {
        std::string address = "127.0.0.1";
        int port = 8080; // 0: any free port
        int threads = 8;
        std::size_t bodyLimit = 64 * 1024;
        bool logRequests = true;
    };

    HttpServer(Settings settings, ProtocolService& service, SpeechJobs& jobs);
    ~HttpServer();
    HttpServer(const HttpServer&) = delete;
    HttpServer& operator=(const HttpServer&) = delete;

    // Binds the address; connections wait until serve(). False with the reason
    // when the address cannot be used.
    bool bind(std::string& error);

    // Starts answering; once it returns, requests are served.
    bool serve(std::string& error);

    // The port requests arrive on (the chosen one when the setting was 0).
    int port() const { return port_; }

    void stop();

  private:
    void route();

    const Settings settings_;
    ProtocolService& service_;
    SpeechJobs& jobs_;
    std::unique_ptr<httplib::Server> server_;
    std::thread listener_;
    int port_ = 0;
    int listenFd_ = -1;
};

} // namespace tolvane::server
