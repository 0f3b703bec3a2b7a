#include "tests/support/NginxServer.h"

#include "tests/support/TestPaths.h"

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <iterator>
#include <thread>

namespace tolvane::test {

namespace {

// A loopback port nothing listens on now (nginx cannot report a port the
// system chose for it).
int freePort() {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    int port = 0;
    if (fd >= 0 && ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0) {
        port = ntohs(address.sin_port);
    }
    if (fd >= 0) {
        ::close(fd);
    }
    return port;
}

bool accepts(int port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const bool connected =
        fd >= 0 && ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    if (fd >= 0) {
        ::close(fd);
    }
    return connected;
}

std::string readFile(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

} // namespace

NginxServer::NginxServer() : dir_("tolvane-nginx") {}

NginxServer::~NginxServer() {
    stop();
}

bool NginxServer::available() {
    return run("nginx", {"-v"}, {.searchPath = true}).exitCode == 0;
}

bool NginxServer::start(const std::vector<std::string>& nodes, std::string& error) {
    // Another program may take the port between its choice and nginx's bind.
    for (int attempt = 0; attempt < 5; ++attempt) {
        if (startOn(freePort(), nodes, error)) {
            return true;
        }
        if (error.find("Address already in use") == std::string::npos) {
            return false;
        }
    }
    return false;
}

bool NginxServer::startOn(int port, const std::vector<std::string>& nodes, std::string& error) {
    stop();
    const std::string dir = dir_.path().string();
    std::vector<std::string> args = {dir, std::to_string(port)};
    args.insert(args.end(), nodes.begin(), nodes.end());
    const RunResult rendered = run(sourceDir() + "/scripts/nginx-conf.sh", args);
    if (rendered.exitCode != 0) {
        error = "scripts/nginx-conf.sh failed" + saidAside(rendered.out + rendered.err);
        return false;
    }
    process_ = std::make_unique<ChildProcess>();
    if (!process_->start("nginx", {"-p", dir, "-c", dir + "/nginx.conf", "-g", "daemon off;"},
                         error, {.mergeStderr = true, .searchPath = true})) {
        return false;
    }
    for (int i = 0; i < 200; ++i) {
        if (accepts(port)) {
            port_ = port;
            return true;
        }
        if (process_->wait(std::chrono::milliseconds(50))) {
            break;
        }
    }
    error = "nginx did not start" +
            saidAside(process_->out() + readFile(dir_.path() / "nginx-error.log"));
    process_.reset();
    return false;
}

void NginxServer::stop() {
    if (process_) {
        process_->terminate(std::chrono::seconds(5));
        process_.reset();
    }
}

std::string NginxServer::accessLog() const {
    return readFile(dir_.path() / "nginx-access.log");
}

} // namespace tolvane::test
