#pragma once

#include "server/Fault.h"
#include "server/FeedCache.h"
#include "server/LoginGuard.h"
#include "server/ServerConfig.h"

#include <cstddef>
#include <functional>
#include <string>
#include <string_view>

namespace tolvane::server {

class SessionTable;
class JobTable;
class HeldQueries;

// The protocol's requests answered from their bodies, without HTTP, so the
// HTTP server, the tests and the fuzzer run the same code.
//
// Threads: called from any number of HTTP threads at once; its own fields are
// set before serving starts and only read afterwards; SessionTable, JobTable,
// FeedCache, HeldQueries and LoginGuard guard their own state. A held query is
// answered on the thread that released it (see HeldQueries).
class ProtocolService {
  public:
    static constexpr std::string_view kDoorPath = "/tolvane/tolvanedoor.php";
    static constexpr std::string_view kVerifyPath = "/tolvane/userverify";
    static constexpr std::string_view kAddPath = "/tolvane/add";
    static constexpr std::string_view kQueryPath = "/tolvane/query";
    static constexpr std::string_view kNewsPath = "/tolvane/news";
    static constexpr std::string_view kAudioPath = "/tolvane/audio/";

    struct Answer {
        int httpStatus = 200;
        std::string body;
        std::string note; // for the request log: why it failed
    };

    // Without `holds`, every query is answered at once.
    ProtocolService(const ServerConfig& config, SessionTable& sessions, JobTable& jobs,
                    FeedCache& feeds, HeldQueries* holds = nullptr);

    // The host (and port) links name when public_url is not set and the
    // request gave no usable Host.
    void setDefaultHost(std::string host) { defaultHost_ = std::move(host); }

    Answer door(std::string_view body, std::string_view host) const;
    // `address` is the client's, for the count of failed logins.
    Answer userVerify(std::string_view body, const std::string& address);
    Answer add(std::string_view body);
    // Query and news requests answer through `done`, so the calling thread
    // never waits. A query whose job is still waiting or being read is held
    // (see HeldQueries) and answered once the job ends, its session ends, the
    // hold time passes or the server stops; any other at once.
    using Done = std::function<void(Answer)>;
    void query(std::string_view body, std::string_view host, Done done);
    // A news request is answered at once when the feed's items are at hand or
    // the request fails, else from the feed's load once it ends.
    void news(std::string_view body, Done done);

    // The failure reply of the action at `path` (the door's for any other
    // path) to a body longer than `limit` bytes: errcode 900, HTTP 413.
    Answer tooLarge(std::string_view path, std::size_t limit) const;

    // "<public_url><path>" for links in replies when public_url is set, else
    // "http://<host><path>" where `host` is the request's Host header when it is
    // a plain host[:port], and the listening address otherwise.
    std::string link(std::string_view host, std::string_view path) const;

    // The failed-login counts; shared through the store before serving.
    LoginGuard& logins() { return logins_; }

  private:
    struct QueryAsked;

    const UserAccount* userById(int userId) const;
    Answer queryAnswer(const QueryAsked& asked, bool& pending);
    Answer newsBatch(const FeedCache::Items& items, const std::string& error, std::size_t start,
                     const std::string& language) const;

    const ServerConfig& config_;
    SessionTable& sessions_;
    JobTable& jobs_;
    FeedCache& feeds_;
    HeldQueries* const holds_;
    LoginGuard logins_;
    std::string defaultHost_ = "127.0.0.1:8080";
};

} // namespace tolvane::server
