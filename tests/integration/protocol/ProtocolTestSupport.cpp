#include "ProtocolTestSupport.h"

#include "platform/Text.h"
#include "protocol/DialogCodes.h"
#include "protocol/SpeechTimings.h"
#include "protocol/TraceWrite.h"
#include "tests/support/TestPaths.h"

#include <httplib.h>

#include <arpa/inet.h>
#include <cerrno>
#include <cstdio>
#include <ctime>
#include <netinet/in.h>
#include <poll.h>
#include <regex>
#include <strings.h>
#include <sys/socket.h>
#include <unistd.h>

namespace tolvane::test {

std::string utf8(std::u16string_view text) {
    return platform::utf16ToUtf8(text);
}

RecordingPort::RecordingPort()
    : pump_([this](uint32_t message, uint32_t code, intptr_t argument) {
          std::string event = std::to_string(message) + "/" + std::to_string(code) + " ";
          if (message == dialog::number(dialog::Message::SpeechJob) &&
              code == dialog::number(dialog::JobCode::PlaybackStatus)) {
              event += statusText(*reinterpret_cast<const PlaybackStatus*>(argument));
          } else if (message == dialog::number(dialog::Message::SpeechJob) &&
                     code == dialog::number(dialog::JobCode::PlaybackTimings)) {
              const auto& timings = *reinterpret_cast<const SpeechTimings*>(argument);
              event += std::to_string(timings.words.size()) + " words " +
                       std::to_string(timings.sentences.size()) + " sentences";
          } else {
              event += carriesText(message, code) ? utf8(DialogPort::textOf(argument))
                                                  : std::to_string(argument);
          }
          record(std::move(event));
          if (hook_) {
              hook_(message, code);
          }
      }) {
    setTraceSink(std::make_shared<const TraceSink>(
        [this](std::string_view line) { record("trace " + std::string(line)); }));
}

RecordingPort::~RecordingPort() {
    setTraceSink(nullptr);
}

std::string RecordingPort::statusText(const PlaybackStatus& s) {
    char text[96];
    std::snprintf(text, sizeof text, "%d%% %d kbs %02d:%02d:%02d/%02d:%02d:%02d", s.percent,
                  s.bitrate, s.positionHours, s.positionMinutes, s.positionSeconds, s.lengthHours,
                  s.lengthMinutes, s.lengthSeconds);
    return text;
}

bool RecordingPort::carriesText(uint32_t message, uint32_t code) {
    return (message == dialog::number(dialog::Message::SpeechJob) &&
            code >= dialog::number(dialog::JobCode::Failed) &&
            code <= dialog::number(dialog::JobCode::AudioReady)) ||
           (message == dialog::number(dialog::Message::NetworkVerify) &&
            code == dialog::number(dialog::NetworkVerifyCode::Error)) ||
           message == dialog::number(dialog::Message::UserVerify) ||
           message == dialog::number(dialog::Message::NewsItems);
}

void RecordingPort::record(std::string event) {
    std::lock_guard lock(mutex_);
    events_.push_back(std::move(event));
}

std::vector<std::string> RecordingPort::events() const {
    std::lock_guard lock(mutex_);
    return events_;
}

std::vector<std::string> RecordingPort::reports() const {
    std::vector<std::string> out;
    for (const std::string& event : events()) {
        if (event.rfind("trace ", 0) != 0) {
            out.push_back(event);
        }
    }
    return out;
}

void RecordingPort::clear() {
    std::lock_guard lock(mutex_);
    events_.clear();
}

bool RecordingPort::pumpUntil(const std::function<bool()>& done) {
    return pump_.pumpUntil(done, std::chrono::seconds(20));
}

bool HeaderNameLess::operator()(const std::string& a, const std::string& b) const {
    return ::strcasecmp(a.c_str(), b.c_str()) < 0;
}

struct TestPeer::Server {
    httplib::Server http;
};

TestPeer::TestPeer() : server_(std::make_unique<Server>()) {
    server_->http.Post(".*", [this](const httplib::Request& request, httplib::Response& response) {
        Answer answer{404, "", {}};
        size_t index = 0;
        {
            std::lock_guard lock(mutex_);
            index = exchanges_.size();
            Exchange exchange{
                request.path, request.body, {}, {}, static_cast<int64_t>(std::time(nullptr))};
            exchange.headers.insert(request.headers.begin(), request.headers.end());
            exchange.params.insert(request.params.begin(), request.params.end());
            exchanges_.push_back(std::move(exchange));
            if (const auto it = answers_.find(request.path); it != answers_.end()) {
                answer = it->second;
            }
            for (size_t i = 0; i < conditions_.size(); ++i) {
                if (conditions_[i].first == request.path &&
                    request.body.find(conditions_[i].second) != std::string::npos) {
                    answer = conditionalAnswers_[i];
                    break;
                }
            }
        }
        {
            std::unique_lock lock(mutex_);
            closing_.wait_for(lock, answer.delay, [this] { return closed_; });
            exchanges_[index].answered = true;
        }
        response.status = answer.status;
        response.set_content(answer.body, "text/html");
    });
    port_ = server_->http.bind_to_any_port("127.0.0.1");
    thread_ = std::thread([this] { server_->http.listen_after_bind(); });
    while (!server_->http.is_running()) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

TestPeer::~TestPeer() {
    {
        std::lock_guard lock(mutex_);
        closed_ = true;
    }
    closing_.notify_all();
    server_->http.stop();
    thread_.join();
}

void TestPeer::answer(const std::string& path, int status, std::string body,
                      std::chrono::milliseconds delay) {
    std::lock_guard lock(mutex_);
    answers_[path] = Answer{status, std::move(body), delay};
}

void TestPeer::answerWhen(const std::string& path, const std::string& bodyPart, int status,
                          std::string body) {
    std::lock_guard lock(mutex_);
    conditions_.emplace_back(path, bodyPart);
    conditionalAnswers_.push_back(Answer{status, std::move(body), {}});
}

std::string TestPeer::url(const std::string& path) const {
    return "http://127.0.0.1:" + std::to_string(port_) + path;
}

std::vector<Exchange> TestPeer::exchanges() const {
    std::lock_guard lock(mutex_);
    return exchanges_;
}

namespace {

int listeningSocket(int backlog, int& port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        return -1;
    }
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(fd, backlog) != 0 ||
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        ::close(fd);
        return -1;
    }
    port = ntohs(address.sin_port);
    return fd;
}

} // namespace

SilentListener::SilentListener(bool fullBacklog) {
    fd_ = listeningSocket(fullBacklog ? 0 : 16, port_);
    if (fd_ < 0) {
        return;
    }
    ok_ = true;
    if (!fullBacklog) {
        return;
    }
    // Connections the kernel completes fill the accept queue; once it is full,
    // further handshakes are dropped and a client's connect waits.
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<uint16_t>(port_));
    for (int i = 0; i < 4; ++i) {
        const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
        if (fd < 0) {
            break;
        }
        ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
        fillers_.push_back(fd);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
}

SilentListener::~SilentListener() {
    for (int fd : fillers_) {
        ::close(fd);
    }
    if (fd_ >= 0) {
        ::close(fd_);
    }
}

std::vector<std::string> SilentListener::takeConnections() {
    std::vector<std::string> sent;
    pollfd ready{fd_, POLLIN, 0};
    while (fd_ >= 0 && ::poll(&ready, 1, 0) == 1) {
        const int fd = ::accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
        if (fd < 0) {
            break;
        }
        char buffer[512];
        const ssize_t got = ::recv(fd, buffer, sizeof buffer, 0);
        sent.emplace_back(buffer, got > 0 ? size_t(got) : 0);
        ::close(fd);
    }
    return sent;
}

int closedPort() {
    int port = 0;
    const int fd = listeningSocket(1, port);
    if (fd >= 0) {
        ::close(fd);
    }
    return port;
}

namespace {
const std::string kServerConfig = ::tolvane::test::sourceDir() + "/resources/server-demo.ini";
} // namespace

bool ServerProcess::available() {
    return ServerProgram::available();
}

ServerProcess::ServerProcess() : dataDir_("protocol-server") {
    if (dataDir_.path().empty()) {
        error_ = "can't make the server's data folder\n";
        return;
    }
    if (!server_.start({"--config", kServerConfig, "--address", "127.0.0.1", "--port", "0",
                        "--data", dataDir_.path().string(), "--quiet"},
                       error_)) {
        error_ += "\n";
        return;
    }
    if (!server_.waitForListening(baseUrl_, port_)) {
        port_ = 0;
    }
}

ServerProcess::~ServerProcess() {
    stop();
}

void ServerProcess::stop() {
    server_.terminate(std::chrono::seconds(5));
}

std::string ServerProcess::output() const {
    return error_ + server_.out();
}

} // namespace tolvane::test
