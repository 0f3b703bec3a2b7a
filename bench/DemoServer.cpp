#include "bench/DemoServer.h"

#include "tests/support/TestPaths.h"

#include <csignal>
#include <regex>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

extern char** environ;

namespace tolvane::bench {

DemoServer::DemoServer() {
    int out[2];
    if (pipe(out) != 0) {
        return;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], 2);
    std::string path = test::binaryDir() + "/server/tolvane-server";
    std::vector<std::string> args{
        path,     "--config", test::sourceDir() + "/resources/server-demo.ini",
        "--port", "0",        "--quiet"};
    std::vector<char*> argv;
    for (std::string& arg : args) {
        argv.push_back(arg.data());
    }
    argv.push_back(nullptr);
    if (posix_spawn(&pid_, path.c_str(), &actions, nullptr, argv.data(), environ) != 0) {
        pid_ = -1;
    }
    posix_spawn_file_actions_destroy(&actions);
    close(out[1]);
    readAddress(out[0]);
    close(out[0]);
}

DemoServer::~DemoServer() {
    if (pid_ > 0) {
        kill(pid_, SIGTERM);
        waitpid(pid_, nullptr, 0);
    }
}

// The server names its address once it listens.
void DemoServer::readAddress(int fd) {
    std::string log;
    char buffer[512];
    static const std::regex listening("listening on (http://[^:]+:(\\d+)/\\S*)");
    std::smatch match;
    for (ssize_t n; pid_ > 0 && (n = read(fd, buffer, sizeof buffer)) > 0;) {
        log.append(buffer, size_t(n));
        if (std::regex_search(log, match, listening)) {
            baseUrl_ = match[1];
            port_ = match[2];
            return;
        }
    }
}

} // namespace tolvane::bench
