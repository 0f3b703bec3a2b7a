#include "tests/support/RedisServer.h"

#include <algorithm>
#include <chrono>
#include <regex>
#include <sstream>
#include <unistd.h>

namespace tolvane::test {

RedisServer::RedisServer() : dir_("tolvane-redis") {}

RedisServer::~RedisServer() {
    stop();
}

bool RedisServer::available() {
    return run("redis-server", {"--version"}, {.searchPath = true}).exitCode == 0;
}

bool RedisServer::start(std::string& error) {
    process_ = std::make_unique<ChildProcess>();
    const std::vector<std::string> args = {
        "--port",           "0",   "--unixsocket", socket().string(),
        "--unixsocketperm", "700", "--save",       "",
        "--appendonly",     "no",  "--dir",        dir_.path().string()};
    if (!process_->start("redis-server", args, error, {.mergeStderr = true, .searchPath = true})) {
        return false;
    }
    if (process_
            ->waitForOutput(std::regex("[Rr]eady to accept connections"), std::chrono::seconds(20))
            .empty()) {
        error = "redis-server did not start: " + process_->out();
        return false;
    }
    return true;
}

void RedisServer::stop() {
    if (process_) {
        process_->terminate(std::chrono::seconds(5));
        process_.reset();
    }
}

std::string RedisServer::command(const std::vector<std::string>& args) const {
    std::vector<std::string> all = {"-s", socket().string()};
    all.insert(all.end(), args.begin(), args.end());
    return run("redis-cli", all, {.searchPath = true}, std::chrono::seconds(10)).out;
}

std::vector<std::string> RedisServer::keys(const std::string& prefix) const {
    std::istringstream lines(command({"--scan", "--pattern", prefix + "*"}));
    std::vector<std::string> found;
    for (std::string line; std::getline(lines, line);) {
        if (!line.empty()) {
            found.push_back(line);
        }
    }
    std::sort(found.begin(), found.end());
    return found;
}

} // namespace tolvane::test
