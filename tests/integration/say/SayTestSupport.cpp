#include "SayTestSupport.h"

#include "platform/Paths.h"
#include "tests/support/TempDir.h"
#include "tests/support/TestPaths.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <netinet/in.h>
#include <poll.h>
#include <sstream>
#include <sys/socket.h>
#include <unistd.h>

namespace tolvane::test {

namespace fs = std::filesystem;

namespace {

std::string readFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

bool sendAll(int fd, const char* data, size_t size) {
    while (size > 0) {
        const ssize_t n = ::send(fd, data, size, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return false;
        }
        data += n;
        size -= size_t(n);
    }
    return true;
}

// Runs a program found on PATH, `args` holding its name first; false with
// what it wrote when it did not end with 0.
bool runProgram(const std::vector<std::string>& args, std::string& error) {
    const RunResult r = run(args[0], {args.begin() + 1, args.end()}, {.searchPath = true});
    if (r.exitCode != 0) {
        error = args[0] + " failed (" + std::to_string(r.exitCode) + "): " + r.err;
    }
    return r.exitCode == 0;
}

} // namespace

AudioPeer::AudioPeer(std::string body, Behaviour behaviour)
    : body_(std::move(body)), behaviour_(behaviour) {
    listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (listener_ < 0 || ::bind(listener_, reinterpret_cast<sockaddr*>(&address), length) != 0 ||
        ::listen(listener_, 16) != 0 ||
        ::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        return;
    }
    port_ = ntohs(address.sin_port);
    acceptor_ = std::thread([this] { acceptLoop(); });
}

AudioPeer::~AudioPeer() {
    closing_ = true;
    if (acceptor_.joinable()) {
        acceptor_.join();
    }
    if (listener_ >= 0) {
        ::close(listener_);
    }
    std::vector<std::thread> connections;
    {
        std::lock_guard lock(mutex_);
        connections.swap(connections_);
    }
    for (std::thread& connection : connections) {
        connection.join();
    }
}

std::string AudioPeer::url() const {
    return "http://127.0.0.1:" + std::to_string(port_) + "/audio.mp3";
}

std::vector<std::string> AudioPeer::requests() const {
    std::lock_guard lock(mutex_);
    return requests_;
}

void AudioPeer::acceptLoop() {
    while (!closing_) {
        pollfd ready{listener_, POLLIN, 0};
        if (::poll(&ready, 1, 20) <= 0) {
            continue;
        }
        const int fd = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd >= 0) {
            std::lock_guard lock(mutex_);
            connections_.emplace_back([this, fd] { serve(fd); });
        }
    }
}

void AudioPeer::serve(int fd) {
    std::string head;
    char buffer[4096];
    while (head.find("\r\n\r\n") == std::string::npos && !closing_) {
        pollfd ready{fd, POLLIN, 0};
        if (::poll(&ready, 1, 20) <= 0) {
            continue;
        }
        const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
        if (n <= 0) {
            break;
        }
        head.append(buffer, size_t(n));
    }
    const std::string requestLine = head.substr(0, head.find("\r\n"));
    {
        std::lock_guard lock(mutex_);
        requests_.push_back(requestLine);
    }
    const bool isHead = requestLine.rfind("HEAD ", 0) == 0;
    const Behaviour& b = behaviour_;
    if (requestLine.empty() || (isHead && !b.answerHead)) {
        ::close(fd);
        return;
    }
    std::ostringstream reply;
    reply << "HTTP/1.1 " << b.status << (b.status == 200 ? " OK" : " Error") << "\r\n"
          << "Content-Type: audio/mpeg\r\nConnection: close\r\n";
    if (!b.location.empty()) {
        reply << "Location: " << b.location << "\r\n";
    }
    if (b.chunked) {
        reply << "Transfer-Encoding: chunked\r\n";
    } else if (b.contentLength) {
        reply << "Content-Length: " << (b.announced >= 0 ? size_t(b.announced) : body_.size())
              << "\r\n";
    }
    reply << "\r\n";
    const std::string header = reply.str();
    if (sendAll(fd, header.data(), header.size()) && !isHead) {
        sendBody(fd);
    }
    ::shutdown(fd, SHUT_WR);
    ::close(fd);
}

void AudioPeer::sendBody(int fd) {
    const Behaviour& b = behaviour_;
    const size_t total = b.endless ? SIZE_MAX : std::min(body_.size(), b.cutAfter);
    bool open = true;
    for (size_t at = 0; open && at < total && !body_.empty() && !closing_;) {
        const size_t offset = at % body_.size();
        const size_t n = std::min({b.chunk, total - at, body_.size() - offset});
        if (b.chunked) {
            char size[24];
            const int length = std::snprintf(size, sizeof size, "%zx\r\n", n);
            open = sendAll(fd, size, size_t(length)) && sendAll(fd, body_.data() + offset, n) &&
                   sendAll(fd, "\r\n", 2);
        } else {
            open = sendAll(fd, body_.data() + offset, n);
        }
        at += n;
        sent_ += n;
        if (b.chunkDelay.count() > 0) {
            for (auto waited = std::chrono::milliseconds(0); waited < b.chunkDelay && !closing_;
                 waited += std::chrono::milliseconds(10)) {
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
            }
        }
    }
    if (open && b.chunked && total == body_.size()) {
        sendAll(fd, "0\r\n\r\n", 5);
    }
}

std::string makeToneMp3(double seconds, double frequency, std::string& error) {
    const TempDir dir("say-tone");
    const fs::path wav = dir.path() / "tone.wav";
    const fs::path mp3 = dir.path() / "tone.mp3";
    if (dir.path().empty()) {
        error = "cannot make a temporary folder";
        return {};
    }
    if (runProgram({"sox", "-n", "-r", "22050", "-c", "1", "-b", "16", wav.string(), "synth",
                    std::to_string(seconds), "sine", std::to_string(frequency), "gain", "-6"},
                   error) &&
        runProgram({"lame", "--quiet", "-b", "64", wav.string(), mp3.string()}, error)) {
        return readFile(mp3);
    }
    return {};
}

DownloadsWatch::DownloadsWatch() : before_(audioFiles()) {}

std::vector<std::string> DownloadsWatch::audioFiles() const {
    std::vector<std::string> names;
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(platform::privateUserDir(), ec)) {
        const std::string name = entry.path().filename().string();
        if (name.rfind("audio-", 0) == 0) {
            names.push_back(name);
        }
    }
    std::sort(names.begin(), names.end());
    return names;
}

std::vector<std::string> DownloadsWatch::leftovers() const {
    std::vector<std::string> left;
    const std::vector<std::string> now = audioFiles();
    std::set_difference(now.begin(), now.end(), before_.begin(), before_.end(),
                        std::back_inserter(left));
    return left;
}

fs::path writeClientConfig(const fs::path& dir, int port, const std::string& downloadMode,
                           const std::string& extra) {
    const fs::path file = dir / "config.ini";
    std::ofstream(file) << "[TolvaneWin32]\nTolvane_Host=127.0.0.1\nTolvane_Port=" << port
                        << "\nUser_Email=demo@tolvane.local\nUser_Pass=demo\nDownload_Mode="
                        << downloadMode << "\n"
                        << extra;
    return file;
}

fs::path sayPath() {
    return fs::path(::tolvane::test::binaryDir()) / "tools" / "tolvane-say";
}

bool SayProcess::start(const std::vector<std::string>& args, std::string& error,
                       const std::string& input) {
    return ChildProcess::start(sayPath(), args, error, {.input = input});
}

std::vector<std::string> SayProcess::lines() const {
    std::vector<std::string> lines;
    std::istringstream in(out());
    for (std::string line; std::getline(in, line);) {
        lines.push_back(line);
    }
    return lines;
}

std::string codesOf(const std::vector<std::string>& lines) {
    std::string codes;
    for (const std::string& line : lines) {
        codes += (codes.empty() ? "" : " ") + line.substr(0, line.find(' '));
    }
    return codes;
}

} // namespace tolvane::test
