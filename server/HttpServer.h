#pragma once

#include <atomic>
#include <cstddef>
#include <memory>
#include <string>
#include <thread>

struct MHD_Daemon;

namespace tolvane::server {

class ProtocolService;
class JobTable;
class TaskPool;

// Serves ProtocolService and the finished MP3 files over HTTP with
// libmicrohttpd, logging one line per request on stderr. With `connections`
// open, a new one closes the connection idle longest.
//
// Threads: one event thread (serve() starts it) reads and writes every
// connection through epoll, so a connection that waits for bytes costs no
// thread. Its bodies are counted as they arrive and never held past
// `bodyLimit`. A complete protocol request runs on the pool of `threads`
// threads while its connection is parked; a news request waiting for a feed
// and a query held for its job give their thread back and are answered from
// the feed's load or the hold's release. Pages and audio files are answered
// on the event thread. stop() may be called from any thread; it returns once
// the running requests have been answered, so the answers still owed (news
// waiting for a feed, held queries) must come first: ServerApp stops the feeds
// and the holds before the HTTP server.
class HttpServer {
  public:
    struct Settings {
        std::string address = "127.0.0.1";
        int port = 8080; // 0: any free port
        int threads = 8;
        std::size_t bodyLimit = 64 * 1024;
        bool logRequests = true;
        int requestSeconds = 30;        // headers and body of one request arrive within this
        int idleSeconds = 10;           // a connection with nothing moving this long is closed
        int connections = 1000;         // connections at once, from everyone
        int connectionsPerAddress = 64; // connections at once from one address
    };

    HttpServer(Settings settings, ProtocolService& service, JobTable& jobs);
    ~HttpServer();
    HttpServer(const HttpServer&) = delete;
    HttpServer& operator=(const HttpServer&) = delete;

    // Binds and listens; connections wait in the backlog until serve(). False
    // with the reason when the address cannot be used.
    bool bind(std::string& error);

    // Starts answering; once it returns, requests are served.
    bool serve(std::string& error);

    // The port requests arrive on (the chosen one when the setting was 0).
    int port() const { return port_; }

    void stop();

    // The event thread's view of one connection and one request; defined in
    // the source file.
    struct Connection;
    struct Exchange;

  private:
    void runEvents();
    void turn(int millis);
    void wake();
    void closeOverdue();
    void close(Connection& state);
    void makeRoom(Connection* newcomer);

    const Settings settings_;
    ProtocolService& service_;
    JobTable& jobs_;
    std::unique_ptr<TaskPool> pool_;
    MHD_Daemon* daemon_ = nullptr;
    std::thread events_;
    std::atomic<bool> stopping_{false};
    int port_ = 0;
    int listenFd_ = -1;
    int wakeFd_ = -1; // eventfd: the pool has answered, or stop()

    // Event thread only.
    Connection* connections_ = nullptr; // every open connection, linked
    int open_ = 0;                      // connections in that list
    int closing_ = 0;                   // of those, shut down and about to go
    int exchanges_ = 0;                 // requests begun and not yet completed

    friend struct Callbacks;
};

} // namespace tolvane::server
