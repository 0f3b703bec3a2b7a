#include "server/HttpServer.h"

#include "platform/SystemText.h"
#include "server/ByteRange.h"
#include "server/JobTable.h"
#include "server/Log.h"
#include "server/ProtocolService.h"
#include "server/TaskPool.h"
#include "server/Utf8.h"
#include "server/WebPages.h"

#include <microhttpd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <netdb.h>
#include <poll.h>
#include <pthread.h>
#include <string_view>
#include <sys/eventfd.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

namespace tolvane::server {

namespace {

using Clock = std::chrono::steady_clock;

constexpr const char* kReplyType = "text/plain; charset=utf-8";
constexpr const char* kPageType = "text/html; charset=utf-8";
constexpr int kBacklog = 256;
// How long one turn of the event loop may wait: the granularity of the
// request deadline and of noticing stop().
constexpr int kTurnMillis = 200;
// How long stop() lets running requests finish before it closes them.
constexpr auto kStopGrace = std::chrono::seconds(5);
// Connections the library may hold past [server] connections: newcomers that
// each close the longest-idle one, until those have gone on the next turn.
constexpr int kSpareConnections = 64;

enum class Action { None, Door, Verify, Add, Query, News };

Action actionAt(std::string_view path) {
    const std::pair<std::string_view, Action> actions[] = {
        {ProtocolService::kDoorPath, Action::Door}, {ProtocolService::kVerifyPath, Action::Verify},
        {ProtocolService::kAddPath, Action::Add},   {ProtocolService::kQueryPath, Action::Query},
        {ProtocolService::kNewsPath, Action::News},
    };
    for (const auto& [actionPath, action] : actions) {
        if (path == actionPath) {
            return action;
        }
    }
    return Action::None;
}

// The job id of "/tolvane/audio/<36 of [0-9a-f-]>.mp3", or empty.
std::string_view audioId(std::string_view path) {
    constexpr std::string_view kSuffix = ".mp3";
    const std::string_view prefix = ProtocolService::kAudioPath;
    if (path.size() != prefix.size() + 36 + kSuffix.size() || !path.starts_with(prefix) ||
        !path.ends_with(kSuffix)) {
        return {};
    }
    const std::string_view id = path.substr(prefix.size(), 36);
    const bool wellFormed = std::all_of(id.begin(), id.end(), [](char c) {
        return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || c == '-';
    });
    return wellFormed ? id : std::string_view();
}

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

std::string header(MHD_Connection* connection, const char* name) {
    const char* value = MHD_lookup_connection_value(connection, MHD_HEADER_KIND, name);
    return value != nullptr ? value : "";
}

// The headers that say where a request's body ends and which host it is for,
// as sent (names matched ignoring case).
struct Framing {
    std::vector<std::string> lengths;
    std::vector<std::string> encodings;
    int hosts = 0;
};

MHD_Result collectFraming(void* context, MHD_ValueKind, const char* key, const char* value) {
    auto& framing = *static_cast<Framing*>(context);
    const std::string name = platform::asciiLowered(key != nullptr ? key : "");
    if (name == "content-length") {
        framing.lengths.emplace_back(value != nullptr ? value : "");
    } else if (name == "transfer-encoding") {
        framing.encodings.emplace_back(value != nullptr ? value : "");
    } else if (name == "host") {
        ++framing.hosts;
    }
    return MHD_YES;
}

// Why a request is refused because a proxy in front of the server could read
// it otherwise (where its body ends, which host or path it names), or empty.
// `target` is the request line's target before percent-decoding.
std::string ambiguity(MHD_Connection* connection, std::string_view version,
                      std::string_view target) {
    if (target.find("%00") != std::string_view::npos) {
        return "the request target holds %00";
    }
    Framing framing;
    MHD_get_connection_values(connection, MHD_HEADER_KIND, &collectFraming, &framing);
    const bool http11 = version == MHD_HTTP_VERSION_1_1;
    if (framing.hosts > 1 || (framing.hosts == 0 && http11)) {
        return http11 ? "an HTTP/1.1 request needs one Host" : "more than one Host";
    }
    if (framing.lengths.size() > 1) {
        return "more than one Content-Length";
    }
    if (!framing.lengths.empty() &&
        (framing.lengths[0].empty() ||
         framing.lengths[0].find_first_not_of("0123456789") != std::string::npos)) {
        return "Content-Length is not a number";
    }
    if (framing.encodings.empty()) {
        return {};
    }
    if (!framing.lengths.empty()) {
        return "both Content-Length and Transfer-Encoding";
    }
    if (!http11) {
        return "Transfer-Encoding before HTTP/1.1";
    }
    if (framing.encodings.size() > 1 || platform::asciiLowered(framing.encodings[0]) != "chunked") {
        return "Transfer-Encoding other than chunked";
    }
    return {};
}

std::string clientAddress(MHD_Connection* connection) {
    const MHD_ConnectionInfo* info =
        MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CLIENT_ADDRESS);
    char host[NI_MAXHOST] = "?";
    if (info != nullptr && info->client_addr != nullptr) {
        const socklen_t length =
            info->client_addr->sa_family == AF_INET6 ? sizeof(sockaddr_in6) : sizeof(sockaddr_in);
        ::getnameinfo(info->client_addr, length, host, sizeof host, nullptr, 0, NI_NUMERICHOST);
    }
    return host;
}

void logFromLibrary(void* context, const char* format, va_list args) {
    if (!*static_cast<const bool*>(context)) {
        return;
    }
    char text[512];
    std::vsnprintf(text, sizeof text, format, args);
    std::string line = text;
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) {
        line.pop_back();
    }
    logLine("http: " + line);
}

bool resolve(const std::string& address, int port, addrinfo*& result, std::string& error) {
    addrinfo hints{};
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_PASSIVE | AI_NUMERICSERV;
    const std::string service = std::to_string(port);
    const int status = ::getaddrinfo(address.c_str(), service.c_str(), &hints, &result);
    if (status != 0) {
        error = "cannot use address '" + address + "': " + gai_strerror(status);
        return false;
    }
    return true;
}

// Lets the process hold `wanted` descriptors when the hard limit allows.
void allowDescriptors(rlim_t wanted) {
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur >= wanted) {
        return;
    }
    limit.rlim_cur = limit.rlim_max == RLIM_INFINITY ? wanted : std::min(wanted, limit.rlim_max);
    if (::setrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur < wanted) {
        logLine("warning: only " + std::to_string(limit.rlim_cur) +
                " file descriptors allowed; [server] connections may not all be served");
    }
}

} // namespace

// One open connection. `deadline` bounds the arrival of the current request's
// headers and body: it runs from the connection's start or the end of the
// previous request, and stops once a body is complete. Between requests (or
// before its first headers are in) a connection is idle.
struct HttpServer::Connection {
    int fd = -1;
    Clock::time_point deadline;
    Clock::time_point idleSince = Clock::now();
    bool timed = true;
    bool busy = false; // a request's headers are in and it is not yet completed
    bool closing = false;
    std::string target; // the current request line's target, before decoding
    Connection* next = nullptr;
    Connection* previous = nullptr;
};

// One request, from its headers to its completion.
struct HttpServer::Exchange {
    Clock::time_point started = Clock::now();
    std::string address, method, path, host;
    Action action = Action::None;
    std::string body;
    std::uint64_t bodyBytes = 0; // all that arrived, also past the limit
    bool dispatched = false;     // handed to the pool; the connection is parked
    std::atomic<bool> answered{false};
    ProtocolService::Answer answer; // the pool's answer, read once `answered`
    bool replied = false;           // a response is queued
    unsigned status = 0;
    std::uint64_t bytes = 0;
    std::string note;
};

// The libmicrohttpd callbacks, all run on the event thread.
struct Callbacks {
    using Exchange = HttpServer::Exchange;
    using Connection = HttpServer::Connection;

    static bool queue(MHD_Connection* connection, Exchange& exchange, unsigned status,
                      MHD_Response* response, std::uint64_t bytes) {
        if (response == nullptr) {
            return false;
        }
        MHD_add_response_header(response, "Server", "tolvane-server");
        const bool queued = MHD_queue_response(connection, status, response) == MHD_YES;
        MHD_destroy_response(response);
        exchange.replied = queued;
        exchange.status = status;
        exchange.bytes = bytes;
        return queued;
    }

    static MHD_Response* textResponse(const std::string& text, const char* type) {
        MHD_Response* response = MHD_create_response_from_buffer(
            text.size(), const_cast<char*>(text.data()), MHD_RESPMEM_MUST_COPY);
        if (response != nullptr) {
            MHD_add_response_header(response, "Content-Type", type);
        }
        return response;
    }

    static bool text(MHD_Connection* connection, Exchange& exchange, unsigned status,
                     const std::string& body, const char* type = kReplyType) {
        return queue(connection, exchange, status, textResponse(body, type), body.size());
    }

    static bool answer(MHD_Connection* connection, Exchange& exchange,
                       const ProtocolService::Answer& answer) {
        exchange.note = answer.note;
        return text(connection, exchange, static_cast<unsigned>(answer.httpStatus), answer.body);
    }

    // 405 with the methods the path answers. A method the server does not
    // serve also ends the connection: its body is never read.
    static bool refuseMethod(MHD_Connection* connection, Exchange& exchange, bool served) {
        const std::string allowed = exchange.action != Action::None ? "POST" : "GET, HEAD";
        const std::string body = "405 Method Not Allowed: use " + allowed + "\n";
        MHD_Response* response = textResponse(body, kReplyType);
        if (response != nullptr) {
            MHD_add_response_header(response, "Allow", allowed.c_str());
            if (!served) {
                MHD_add_response_header(response, "Connection", "close");
            }
        }
        return queue(connection, exchange, 405, response, body.size());
    }

    static bool audio(HttpServer& server, MHD_Connection* connection, Exchange& exchange,
                      std::string_view id) {
        const Stored<AudioFile> file = server.jobs_.openAudio(std::string(id));
        if (file.storeDown()) {
            exchange.note = "the store cannot be reached";
            return text(connection, exchange, 503, "503 Service Unavailable: try again later\n");
        }
        if (!file) {
            return text(connection, exchange, 404,
                        "404 Not Found: unknown or expired audio file\n");
        }
        const ByteRange range = fitRange(header(connection, "Range"), file->size);
        if (range.kind == ByteRange::Kind::Unsatisfiable) {
            const std::string body = "416 Range Not Satisfiable\n";
            MHD_Response* response = textResponse(body, kReplyType);
            if (response != nullptr) {
                const std::string all = "bytes */" + std::to_string(file->size);
                MHD_add_response_header(response, "Content-Range", all.c_str());
            }
            return queue(connection, exchange, 416, response, body.size());
        }
        const bool part = range.kind == ByteRange::Kind::Part;
        const std::uint64_t first = part ? range.first : 0;
        const std::uint64_t length = part ? range.last - range.first + 1 : file->size;
        // The response closes its own descriptor; the job's stays with the job.
        const int fd = ::fcntl(*file->fd, F_DUPFD_CLOEXEC, 0);
        if (fd < 0) {
            return text(connection, exchange, 503, "503 Service Unavailable\n");
        }
        MHD_Response* response = MHD_create_response_from_fd_at_offset64(length, fd, first);
        if (response == nullptr) {
            ::close(fd);
            return false;
        }
        MHD_add_response_header(response, "Content-Type", "audio/mpeg");
        MHD_add_response_header(response, "Accept-Ranges", "bytes");
        MHD_add_response_header(response, "Cache-Control", "no-store");
        if (part) {
            const std::string span = "bytes " + std::to_string(range.first) + "-" +
                                     std::to_string(range.last) + "/" + std::to_string(file->size);
            MHD_add_response_header(response, "Content-Range", span.c_str());
        }
        return queue(connection, exchange, part ? 206 : 200, response, length);
    }

    // 400 naming the fault; the connection ends, its body unread.
    static bool refuseRequest(MHD_Connection* connection, Exchange& exchange,
                              const std::string& why) {
        const std::string body = "400 Bad Request: " + why + "\n";
        MHD_Response* response = textResponse(body, kReplyType);
        if (response != nullptr) {
            MHD_add_response_header(response, "Connection", "close");
        }
        exchange.note = why;
        return queue(connection, exchange, 400, response, body.size());
    }

    // A request's first call: its headers are in. Answers what needs no body.
    static bool begin(HttpServer& server, MHD_Connection* connection, Exchange& exchange,
                      std::string_view version) {
        exchange.action = actionAt(exchange.path);
        const std::string& method = exchange.method;
        const bool served = method == "GET" || method == "HEAD" || method == "POST";
        const Connection* state = connectionOf(connection);
        if (const std::string why = ambiguity(connection, version, state ? state->target : "");
            served && !why.empty()) {
            return refuseRequest(connection, exchange, why);
        }
        if (!served || (exchange.action != Action::None) != (method == "POST")) {
            if (method == "POST") {
                return text(connection, exchange, 404, "404 Not Found\n");
            }
            return refuseMethod(connection, exchange, served);
        }
        if (exchange.action != Action::None) {
            exchange.host = header(connection, "Host");
            std::uint64_t announced = 0;
            const std::string length = header(connection, "Content-Length");
            std::from_chars(length.data(), length.data() + length.size(), announced);
            // A client that waits for 100 Continue is refused before it sends
            // the body. One that sends it at once gets the refusal once it has
            // sent it (read and dropped): closing the connection on unread
            // bytes would reset it, and the client would lose the reply.
            if (announced > server.settings_.bodyLimit &&
                platform::asciiLowered(header(connection, "Expect")) == "100-continue") {
                return answer(connection, exchange,
                              server.service_.tooLarge(exchange.path, server.settings_.bodyLimit));
            }
            return true; // the body follows
        }
        if (const std::string_view id = audioId(exchange.path); !id.empty()) {
            return audio(server, connection, exchange, id);
        }
        for (const WebPage& page : webPages()) {
            if (exchange.path == page.path) {
                return text(connection, exchange, 200, std::string(page.html), kPageType);
            }
        }
        return text(connection, exchange, 404, "404 Not Found\n");
    }

    // Runs the protocol request; `deliver` gets its answer, here or later
    // (news from the feed's load, a held query once released).
    static void run(ProtocolService& service, const Exchange& exchange,
                    const ProtocolService::Done& deliver) {
        switch (exchange.action) {
        case Action::Door:
            return deliver(service.door(exchange.body, exchange.host));
        case Action::Verify:
            return deliver(service.userVerify(exchange.body, exchange.address));
        case Action::Add:
            return deliver(service.add(exchange.body));
        case Action::Query:
            return service.query(exchange.body, exchange.host, deliver);
        case Action::News:
        case Action::None:
            break;
        }
        service.news(exchange.body, deliver);
    }

    // The body is complete: the protocol request runs on the pool while the
    // connection is parked; its answer wakes the connection.
    static bool dispatch(HttpServer& server, MHD_Connection* connection, Exchange& exchange) {
        if (exchange.bodyBytes > server.settings_.bodyLimit) {
            return answer(connection, exchange,
                          server.service_.tooLarge(exchange.path, server.settings_.bodyLimit));
        }
        exchange.dispatched = true;
        MHD_suspend_connection(connection);
        const auto deliver = [&server, &exchange, connection](ProtocolService::Answer answer) {
            exchange.answer = std::move(answer);
            exchange.answered.store(true, std::memory_order_release);
            MHD_resume_connection(connection);
            server.wake();
        };
        ProtocolService& service = server.service_;
        if (!server.pool_->post(
                [&service, &exchange, deliver] { run(service, exchange, deliver); })) {
            deliver({503, "503 Service Unavailable\n", "stopping"});
        }
        return true;
    }

    static MHD_Result onRequest(void* context, MHD_Connection* connection, const char* url,
                                const char* method, const char* version, const char* upload,
                                size_t* uploadSize, void** requestContext) {
        HttpServer& server = *static_cast<HttpServer*>(context);
        auto* exchange = static_cast<Exchange*>(*requestContext);
        if (exchange == nullptr) {
            exchange = new Exchange;
            *requestContext = exchange;
            ++server.exchanges_;
            if (Connection* state = connectionOf(connection)) {
                state->busy = true;
            }
            exchange->address = clientAddress(connection);
            exchange->method = method;
            exchange->path = url;
            return begin(server, connection, *exchange, version != nullptr ? version : "") ? MHD_YES
                                                                                           : MHD_NO;
        }
        if (*uploadSize != 0) {
            // Counted as it arrives; past the limit it is read and dropped, so
            // the refusal can still be sent (this library queues a reply only
            // before the body or after it). The request deadline ends a body
            // that never stops.
            const std::size_t limit = server.settings_.bodyLimit;
            if (!exchange->replied && exchange->bodyBytes + *uploadSize <= limit) {
                exchange->body.append(upload, *uploadSize);
            } else {
                exchange->body.clear();
                exchange->body.shrink_to_fit();
            }
            exchange->bodyBytes += *uploadSize;
            *uploadSize = 0;
            return MHD_YES;
        }
        if (exchange->replied) {
            return MHD_YES;
        }
        if (!exchange->dispatched) {
            if (Connection* state = connectionOf(connection)) {
                state->timed = false;
            }
            return dispatch(server, connection, *exchange) ? MHD_YES : MHD_NO;
        }
        if (!exchange->answered.load(std::memory_order_acquire)) {
            return MHD_YES; // woken before the answer; it comes with the next wake
        }
        return answer(connection, *exchange, exchange->answer) ? MHD_YES : MHD_NO;
    }

    static Connection* connectionOf(MHD_Connection* connection) {
        const MHD_ConnectionInfo* info =
            MHD_get_connection_info(connection, MHD_CONNECTION_INFO_SOCKET_CONTEXT);
        return info != nullptr ? static_cast<Connection*>(info->socket_context) : nullptr;
    }

    // Keeps the request line's target as sent: the library decodes it, and a
    // %00 would cut it short.
    static void* onTarget(void*, const char* uri, MHD_Connection* connection) {
        if (Connection* state = connectionOf(connection)) {
            state->target = uri != nullptr ? uri : "";
        }
        return nullptr;
    }

    static void onCompleted(void* context, MHD_Connection* connection, void** requestContext,
                            MHD_RequestTerminationCode termination) {
        HttpServer& server = *static_cast<HttpServer*>(context);
        auto* exchange = static_cast<Exchange*>(*requestContext);
        *requestContext = nullptr;
        if (exchange == nullptr) {
            return;
        }
        --server.exchanges_;
        if (Connection* state = connectionOf(connection)) {
            state->timed = true;
            state->busy = false;
            state->idleSince = Clock::now();
            state->deadline =
                state->idleSince + std::chrono::seconds(server.settings_.requestSeconds);
        }
        if (server.settings_.logRequests) {
            std::string line = exchange->address + " \"" + printable(exchange->method) + " " +
                               printable(exchange->path) + "\" ";
            line += exchange->replied ? std::to_string(exchange->status) : std::string("-");
            line += " " + std::to_string(exchange->replied ? exchange->bytes : 0) + "B";
            const auto micros = std::chrono::duration_cast<std::chrono::microseconds>(
                                    Clock::now() - exchange->started)
                                    .count();
            char elapsed[32];
            std::snprintf(elapsed, sizeof elapsed, " %.1fms", static_cast<double>(micros) / 1000.0);
            line += elapsed;
            std::string note = exchange->note;
            if (termination != MHD_REQUEST_TERMINATED_COMPLETED_OK) {
                note += std::string(note.empty() ? "" : "; ") +
                        (termination == MHD_REQUEST_TERMINATED_TIMEOUT_REACHED
                             ? "connection idle too long"
                             : "connection ended before the reply was sent");
            }
            if (!note.empty()) {
                line += " (" + printable(note) + ")";
            }
            logLine(line);
        }
        delete exchange;
    }

    static void onConnection(void* context, MHD_Connection* connection, void** socketContext,
                             MHD_ConnectionNotificationCode code) {
        HttpServer& server = *static_cast<HttpServer*>(context);
        if (code == MHD_CONNECTION_NOTIFY_STARTED) {
            auto* state = new Connection;
            const MHD_ConnectionInfo* info =
                MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CONNECTION_FD);
            state->fd = info != nullptr ? info->connect_fd : -1;
            state->deadline = Clock::now() + std::chrono::seconds(server.settings_.requestSeconds);
            state->next = server.connections_;
            if (server.connections_ != nullptr) {
                server.connections_->previous = state;
            }
            server.connections_ = state;
            *socketContext = state;
            ++server.open_;
            server.makeRoom(state);
            return;
        }
        auto* state = static_cast<Connection*>(*socketContext);
        if (state == nullptr) {
            return;
        }
        (state->previous != nullptr ? state->previous->next : server.connections_) = state->next;
        if (state->next != nullptr) {
            state->next->previous = state->previous;
        }
        --server.open_;
        server.closing_ -= state->closing ? 1 : 0;
        delete state;
        *socketContext = nullptr;
    }
};

HttpServer::HttpServer(Settings settings, ProtocolService& service, JobTable& jobs)
    : settings_(std::move(settings)), service_(service), jobs_(jobs) {}

HttpServer::~HttpServer() {
    stop();
    if (daemon_ != nullptr) {
        MHD_stop_daemon(daemon_);
    }
    if (listenFd_ >= 0) {
        ::close(listenFd_);
    }
    if (wakeFd_ >= 0) {
        ::close(wakeFd_);
    }
}

bool HttpServer::bind(std::string& error) {
    addrinfo* addresses = nullptr;
    if (!resolve(settings_.address, settings_.port, addresses, error)) {
        return false;
    }
    const std::string where = settings_.address + ":" + std::to_string(settings_.port);
    int fd = -1;
    int failure = 0;
    for (addrinfo* a = addresses; a != nullptr && fd < 0; a = a->ai_next) {
        fd = ::socket(a->ai_family, a->ai_socktype | SOCK_CLOEXEC | SOCK_NONBLOCK, a->ai_protocol);
        if (fd < 0) {
            failure = errno;
            continue;
        }
        // SO_REUSEADDR only: a second server on the port must fail, not share it.
        const int yes = 1;
        ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
        if (::bind(fd, a->ai_addr, a->ai_addrlen) != 0 || ::listen(fd, kBacklog) != 0) {
            failure = errno;
            ::close(fd);
            fd = -1;
        }
    }
    ::freeaddrinfo(addresses);
    if (fd < 0) {
        error = "cannot listen on " + where +
                (failure != 0 ? ": " + std::string(std::strerror(failure)) : "");
        return false;
    }
    listenFd_ = fd;
    sockaddr_storage bound{};
    socklen_t length = sizeof bound;
    if (::getsockname(fd, reinterpret_cast<sockaddr*>(&bound), &length) == 0) {
        port_ = ntohs(bound.ss_family == AF_INET6 ? reinterpret_cast<sockaddr_in6&>(bound).sin6_port
                                                  : reinterpret_cast<sockaddr_in&>(bound).sin_port);
    }
    allowDescriptors(static_cast<rlim_t>(settings_.connections) + kSpareConnections + 64);

    const unsigned flags = MHD_USE_EPOLL | MHD_ALLOW_SUSPEND_RESUME | MHD_USE_ERROR_LOG;
    daemon_ = MHD_start_daemon(
        flags, 0, nullptr, nullptr, &Callbacks::onRequest, this, MHD_OPTION_EXTERNAL_LOGGER,
        &logFromLibrary, const_cast<bool*>(&settings_.logRequests), MHD_OPTION_LISTEN_SOCKET, fd,
        MHD_OPTION_CONNECTION_TIMEOUT, static_cast<unsigned>(settings_.idleSeconds),
        MHD_OPTION_CONNECTION_LIMIT,
        static_cast<unsigned>(settings_.connections + kSpareConnections),
        MHD_OPTION_PER_IP_CONNECTION_LIMIT, static_cast<unsigned>(settings_.connectionsPerAddress),
        MHD_OPTION_URI_LOG_CALLBACK, &Callbacks::onTarget, nullptr, MHD_OPTION_NOTIFY_COMPLETED,
        &Callbacks::onCompleted, this, MHD_OPTION_NOTIFY_CONNECTION, &Callbacks::onConnection, this,
        MHD_OPTION_SIGPIPE_HANDLED_BY_APP, 1, MHD_OPTION_END);
    if (daemon_ == nullptr) {
        error = "cannot serve HTTP on " + where;
        return false;
    }
    listenFd_ = -1; // the library's now: it closes it when it stops
    return true;
}

bool HttpServer::serve(std::string& error) {
    if (daemon_ == nullptr) {
        error = "the HTTP server is not bound";
        return false;
    }
    wakeFd_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (wakeFd_ < 0) {
        error = std::string("cannot make the event loop's wake-up: ") + std::strerror(errno);
        return false;
    }
    pool_ = std::make_unique<TaskPool>(settings_.threads);
    events_ = std::thread([this] { runEvents(); });
    return true;
}

void HttpServer::runEvents() {
    // Writes to a peer that has gone raise SIGPIPE on this thread only, where
    // it stays blocked; the write then fails with EPIPE.
    sigset_t pipe;
    sigemptyset(&pipe);
    sigaddset(&pipe, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &pipe, nullptr);

    while (!stopping_.load()) {
        turn(kTurnMillis);
        closeOverdue();
    }
    // No new connections; running requests finish, idle ones are closed.
    const int listening = MHD_quiesce_daemon(daemon_);
    if (listening >= 0) {
        ::close(listening); // handed back: the library no longer closes it
    }
    const auto grace = Clock::now() + kStopGrace;
    while (exchanges_ > 0 && Clock::now() < grace) {
        turn(50);
    }
    // Parked requests wake once the pool has answered them.
    pool_->stop();
    for (int round = 0; round < 20 && exchanges_ > 0; ++round) {
        turn(50);
    }
    MHD_stop_daemon(daemon_);
    daemon_ = nullptr;
}

// Waits at most `millis` for the sockets, the library's own timers or a wake
// from the pool, then lets the library do what is ready.
void HttpServer::turn(int millis) {
    MHD_UNSIGNED_LONG_LONG due = 0;
    if (MHD_get_timeout(daemon_, &due) == MHD_YES) {
        millis =
            static_cast<int>(std::min<MHD_UNSIGNED_LONG_LONG>(due, static_cast<unsigned>(millis)));
    }
    const MHD_DaemonInfo* info = MHD_get_daemon_info(daemon_, MHD_DAEMON_INFO_EPOLL_FD);
    pollfd fds[2] = {{info != nullptr ? info->epoll_fd : -1, POLLIN, 0}, {wakeFd_, POLLIN, 0}};
    if (::poll(fds, 2, millis) > 0 && (fds[1].revents & POLLIN) != 0) {
        std::uint64_t count = 0;
        [[maybe_unused]] const auto drained = ::read(wakeFd_, &count, sizeof count);
    }
    MHD_run(daemon_);
}

void HttpServer::wake() {
    const std::uint64_t one = 1;
    [[maybe_unused]] const auto written = ::write(wakeFd_, &one, sizeof one);
}

// Ends connections whose request has not arrived whole in time.
void HttpServer::closeOverdue() {
    const auto now = Clock::now();
    for (Connection* state = connections_; state != nullptr; state = state->next) {
        if (state->timed && !state->closing && state->deadline <= now) {
            close(*state);
            if (settings_.logRequests) {
                logLine("closed a connection whose request did not arrive within " +
                        std::to_string(settings_.requestSeconds) + " s");
            }
        }
    }
}

// Shutting the socket down makes the next read see its end, and the library
// closes the connection.
void HttpServer::close(Connection& state) {
    state.closing = true;
    ++closing_;
    if (state.fd >= 0) {
        ::shutdown(state.fd, SHUT_RDWR);
    }
}

// With more than [server] connections open, the longest-idle one gives way to
// `newcomer`, which is itself closed when every other one is busy: a full
// table never makes a new client wait for an idle time-out.
void HttpServer::makeRoom(Connection* newcomer) {
    if (open_ - closing_ <= settings_.connections) {
        return;
    }
    Connection* oldest = nullptr;
    for (Connection* state = connections_; state != nullptr; state = state->next) {
        if (state != newcomer && !state->busy && !state->closing &&
            (oldest == nullptr || state->idleSince < oldest->idleSince)) {
            oldest = state;
        }
    }
    close(oldest != nullptr ? *oldest : *newcomer);
    if (settings_.logRequests) {
        const auto idle = std::chrono::duration_cast<std::chrono::seconds>(
            Clock::now() - (oldest != nullptr ? oldest->idleSince : Clock::now()));
        logLine(oldest != nullptr ? "connections full: closed the longest-idle one (idle " +
                                        std::to_string(idle.count()) + " s) for a new one"
                                  : "connections full and all busy: closed a new one");
    }
}

void HttpServer::stop() {
    stopping_.store(true);
    if (wakeFd_ >= 0) {
        wake();
    }
    if (events_.joinable()) {
        events_.join();
    }
    if (pool_) {
        pool_->stop();
    }
}

} // namespace tolvane::server
