#include "server/HttpServer.h"

#include "server/Log.h"
#include "server/ProtocolService.h"
#include "server/SpeechJobs.h"
#include "server/Utf8.h"
#include "server/WebPages.h"

#include <httplib.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <netdb.h>
#include <sys/socket.h>
#include <unistd.h>

namespace tolvane::server {

namespace {

using Clock = std::chrono::steady_clock;

constexpr const char* kReplyType = "text/plain; charset=utf-8";
constexpr const char* kPageType = "text/html; charset=utf-8";
// cpp-httplib listens with a backlog of 5, too short for a burst of clients;
// listen() again on the bound socket raises it.
constexpr int kBacklog = 256;

// Per request, on the pool thread that answers it: when it started and what
// the answer says about a failure, for the log line written after it.
thread_local Clock::time_point tStarted{};
thread_local std::string tNote;

// Request text fit for one log line: well-formed UTF-8 without control
// characters or quotes, bounded.
std::string printable(std::string_view text) {
    const std::string repaired = repairUtf8(text);
    const std::string_view kept = cutUtf8(repaired, 200);
    std::string out;
    for (char c : kept) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte == 0x7F || c == '"' || c == '\\') {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\x%02X", byte);
            out += escaped;
        } else {
            out += c;
        }
    }
    return kept.size() < repaired.size() ? out + "..." : out;
}

void logRequest(const httplib::Request& req, const httplib::Response& res) {
    std::string line = req.remote_addr + " \"" + printable(req.method) + " " + printable(req.path) +
                       "\" " + std::to_string(res.status) + " ";
    const std::size_t bytes = res.content_provider_ ? res.content_length_ : res.body.size();
    line += std::to_string(bytes) + "B";
    if (tStarted != Clock::time_point{}) {
        const auto micros =
            std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - tStarted).count();
        char elapsed[32];
        std::snprintf(elapsed, sizeof elapsed, " %.1fms", static_cast<double>(micros) / 1000.0);
        line += elapsed;
    }
    if (!tNote.empty()) {
        line += " (" + printable(tNote) + ")";
    }
    logLine(line);
    tStarted = Clock::time_point{};
    tNote.clear();
}

void reply(httplib::Response& res, const ProtocolService::Answer& answer) {
    res.status = answer.httpStatus;
    res.set_content(answer.body, kReplyType);
    tNote = answer.note;
}

const char* reason(int status) {
    switch (status) {
    case 400:
        return "Bad Request";
    case 404:
        return "Not Found";
    case 405:
        return "Method Not Allowed";
    case 413:
        return "Payload Too Large";
    case 414:
        return "URI Too Long";
    case 416:
        return "Range Not Satisfiable";
    case 503:
        return "Service Unavailable";
    default:
        return status >= 500 ? "Server Error" : "Client Error";
    }
}

// cpp-httplib 0.11 cuts byte ranges from every reply without checking them
// against the length, and a range past the end gives a wrapped Content-Length.
// So a reply that is not cut drops the ranges, and the audio reply brings them
// within the file first. The request object is cpp-httplib's own mutable one;
// handlers only see it const.
httplib::Ranges& rangesOf(const httplib::Request& req) {
    return const_cast<httplib::Request&>(req).ranges;
}

// Brings the one requested range within `size` (RFC 9110: a last byte past the
// end means the end; a suffix range counts back from it). False when the range
// cannot be satisfied. Several ranges are not served: the whole file goes out.
bool fitRanges(httplib::Ranges& ranges, std::uint64_t size) {
    if (ranges.size() != 1) {
        ranges.clear();
        return true;
    }
    const auto length = static_cast<ssize_t>(size);
    auto& [first, last] = ranges.front();
    if (first < 0) {
        if (last <= 0) {
            return false;
        }
        first = std::max<ssize_t>(0, length - last);
        last = length - 1;
    } else {
        if (first >= length) {
            return false;
        }
        last = last < 0 || last >= length ? length - 1 : last;
    }
    return first <= last;
}

bool isServedMethod(const std::string& method) {
    return method == "GET" || method == "HEAD" || method == "POST";
}

// The methods a path answers, for a 405's Allow header.
const char* allowedMethods(std::string_view path) {
    for (const std::string_view post :
         {ProtocolService::kDoorPath, ProtocolService::kVerifyPath, ProtocolService::kAddPath,
          ProtocolService::kQueryPath, ProtocolService::kNewsPath}) {
        if (path == post) {
            return "POST";
        }
    }
    return "GET, HEAD";
}

// Answers a method the server does not serve with 405 and ends the connection
// at once, leaving the body unread. cpp-httplib would read a PUT's body before
// finding no handler (waiting out the read time-out for a body that never
// comes) and keep the connection open after a method it does not know, whose
// body it would then take for the next request. It gives a handler no way to
// close the connection, but closes it when a content provider fails: this one
// writes the whole reply and then reports failure. The pre-routing handler
// sends the methods cpp-httplib knows here; the ones it does not know arrive
// as a 400 for a request line it could not parse, with the method read.
void refuseMethod(const httplib::Request& req, httplib::Response& res) {
    rangesOf(req).clear();
    const std::string& path = req.path.empty() ? req.target : req.path;
    const std::string allowed = allowedMethods(path);
    const auto text =
        std::make_shared<const std::string>("405 Method Not Allowed: use " + allowed + "\n");
    res.status = 405;
    res.set_header("Allow", allowed);
    res.set_header("Connection", "close");
    res.set_content_provider(
        text->size(), kReplyType,
        [text](std::size_t offset, std::size_t length, httplib::DataSink& sink) {
            sink.write(text->data() + offset, length);
            return false;
        });
}

// cpp-httplib matches GET paths as regular expressions; a page path is meant
// literally.
std::string literalPattern(std::string_view path) {
    std::string pattern;
    for (char c : path) {
        if (std::strchr(".+*?()[]{}|^$\\", c) != nullptr) {
            pattern += '\\';
        }
        pattern += c;
    }
    return pattern;
}

bool resolvable(const std::string& address, std::string& error) {
    addrinfo hints{};
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_PASSIVE;
    addrinfo* result = nullptr;
    const int status = ::getaddrinfo(address.c_str(), nullptr, &hints, &result);
    if (status != 0) {
        error = "cannot use address '" + address + "': " + gai_strerror(status);
        return false;
    }
    ::freeaddrinfo(result);
    return true;
}

} // namespace

HttpServer::HttpServer(Settings settings, ProtocolService& service, SpeechJobs& jobs)
    : settings_(std::move(settings)), service_(service), jobs_(jobs),
      server_(std::make_unique<httplib::Server>()) {}

HttpServer::~HttpServer() {
    stop();
}

void HttpServer::route() {
    httplib::Server& server = *server_;
    const auto post = [&](std::string_view path, auto handler) {
        server.Post(std::string(path),
                    [handler](const httplib::Request& req, httplib::Response& res) {
                        reply(res, handler(req));
                    });
        server.Get(std::string(path), [](const httplib::Request&, httplib::Response& res) {
            res.status = 405;
            res.set_header("Allow", "POST");
            res.set_content("405 Method Not Allowed: use POST\n", kReplyType);
        });
    };
    const auto host = [](const httplib::Request& req) { return req.get_header_value("Host"); };
    post(ProtocolService::kDoorPath,
         [this, host](const httplib::Request& req) { return service_.door(req.body, host(req)); });
    post(ProtocolService::kVerifyPath,
         [this](const httplib::Request& req) { return service_.userVerify(req.body); });
    post(ProtocolService::kAddPath,
         [this](const httplib::Request& req) { return service_.add(req.body); });
    post(ProtocolService::kQueryPath,
         [this, host](const httplib::Request& req) { return service_.query(req.body, host(req)); });
    post(ProtocolService::kNewsPath,
         [this](const httplib::Request& req) { return service_.news(req.body); });

    // GET and HEAD (cpp-httplib answers HEAD from the GET handler without the
    // body); byte ranges are cut from the provider by cpp-httplib.
    const std::string audio = std::string(ProtocolService::kAudioPath) + "([0-9a-f-]{36})\\.mp3";
    server.Get(audio, [this](const httplib::Request& req, httplib::Response& res) {
        const std::optional<AudioFile> file = jobs_.openAudio(req.matches[1]);
        if (!file) {
            rangesOf(req).clear();
            res.status = 404;
            res.set_content("404 Not Found: unknown or expired audio file\n", kReplyType);
            return;
        }
        res.set_header("Accept-Ranges", "bytes");
        res.set_header("Cache-Control", "no-store");
        if (!fitRanges(rangesOf(req), file->size)) {
            rangesOf(req).clear();
            res.status = 416;
            res.set_header("Content-Range", "bytes */" + std::to_string(file->size));
            res.set_content("416 Range Not Satisfiable\n", kReplyType);
            return;
        }
        res.set_content_provider(
            file->size, "audio/mpeg",
            [fd = file->fd](std::size_t offset, std::size_t length, httplib::DataSink& sink) {
                char buffer[64 * 1024];
                const std::size_t wanted = std::min(length, sizeof buffer);
                ssize_t got = 0;
                do {
                    got = ::pread(*fd, buffer, wanted, static_cast<off_t>(offset));
                } while (got < 0 && errno == EINTR);
                return got > 0 && sink.write(buffer, static_cast<std::size_t>(got));
            });
    });

    for (const WebPage& page : webPages()) {
        server.Get(literalPattern(page.path),
                   [html = page.html](const httplib::Request&, httplib::Response& res) {
                       res.set_content(html.data(), html.size(), kPageType);
                   });
    }

    server.set_error_handler(httplib::Server::HandlerWithResponse([](const httplib::Request& req,
                                                                     httplib::Response& res) {
        if (!req.method.empty() && !isServedMethod(req.method)) {
            refuseMethod(req, res);
            return httplib::Server::HandlerResponse::Handled;
        }
        if (!res.body.empty()) {
            return httplib::Server::HandlerResponse::Unhandled;
        }
        res.set_content(std::to_string(res.status) + " " + reason(res.status) + "\n", kReplyType);
        return httplib::Server::HandlerResponse::Handled;
    }));
    server.set_pre_routing_handler([](const httplib::Request& req, httplib::Response& res) {
        tStarted = Clock::now();
        tNote.clear();
        if (!isServedMethod(req.method)) {
            res.status = 405; // answered by the error handler, before any body is read
            return httplib::Server::HandlerResponse::Handled;
        }
        if (req.path.rfind(ProtocolService::kAudioPath, 0) != 0) {
            rangesOf(req).clear();
        }
        return httplib::Server::HandlerResponse::Unhandled;
    });
    if (settings_.logRequests) {
        server.set_logger(logRequest);
    }
}

bool HttpServer::bind(std::string& error) {
    if (!resolvable(settings_.address, error)) {
        return false;
    }
    route();
    httplib::Server& server = *server_;
    const int threads = settings_.threads;
    server.new_task_queue = [threads] { return new httplib::ThreadPool(threads); };
    server.set_payload_max_length(settings_.bodyLimit);
    server.set_keep_alive_max_count(100);
    // cpp-httplib writes a reply's header and body apart; with Nagle's
    // algorithm the body waits for the client's delayed ACK, some 40 ms per
    // request on a kept-alive connection.
    server.set_tcp_nodelay(true);
    server.set_keep_alive_timeout(5);
    server.set_read_timeout(10, 0);
    server.set_write_timeout(10, 0);
    server.set_default_headers({{"Server", "tolvane-server"}});
    // Replaces cpp-httplib's default options, which also set SO_REUSEPORT and
    // would let a second server share the port silently.
    server.set_socket_options([this](int fd) {
        const int yes = 1;
        if (::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes) != 0) {
            logLine(std::string("cannot set SO_REUSEADDR: ") + std::strerror(errno));
        }
        listenFd_ = fd;
    });
    errno = 0;
    bool bound = false;
    if (settings_.port == 0) {
        port_ = server.bind_to_any_port(settings_.address);
        bound = port_ > 0;
    } else {
        bound = server.bind_to_port(settings_.address, settings_.port);
        port_ = settings_.port;
    }
    if (!bound) {
        error = "cannot listen on " + settings_.address + ":" + std::to_string(settings_.port) +
                (errno != 0 ? std::string(": ") + std::strerror(errno) : std::string());
        return false;
    }
    if (::listen(listenFd_, kBacklog) != 0) {
        logLine(std::string("cannot raise the listen backlog: ") + std::strerror(errno));
    }
    return true;
}

bool HttpServer::serve(std::string& error) {
    httplib::Server& server = *server_;
    listener_ = std::thread([&server] { server.listen_after_bind(); });
    // stop() only reaches a server that has begun its accept loop.
    const auto deadline = Clock::now() + std::chrono::seconds(10);
    while (!server.is_running() && Clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    if (!server.is_running()) {
        error = "the HTTP server did not start";
        return false;
    }
    return true;
}

void HttpServer::stop() {
    if (listener_.joinable()) {
        server_->stop();
        listener_.join();
    }
}

} // namespace tolvane::server
