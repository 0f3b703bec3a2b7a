#include "LocalCluster.h"

#include <curl/curl.h>

#include <chrono>
#include <fstream>
#include <regex>

namespace tolvane::test {

namespace fs = std::filesystem;

namespace {

constexpr const char* kPrefix = "cluster:";

// Every request reaches the nodes from nginx's one address.
std::string clusterConfig(const RedisServer& redis) {
    return std::string("[server]\naddress = 127.0.0.1\nconnections_per_address = 1000\n"
                       "[limits]\nlogin_failures_per_address = 1000\n"
                       "[store]\nbackend = redis\nredis = ") +
           redis.address() + "\nkey_prefix = " + kPrefix +
           "\n[voices]\nVW Lily = f2\n"
           "[user demo]\nemail = demo@tolvane.local\n"
           "password_md5 = fe01ce2a7fbac8fafaed7c982a04e229\nuserid = 1\n"
           "time_wait_max = 60\nmax_text_number = 1000\n";
}

std::size_t collect(char* data, std::size_t size, std::size_t count, void* user) {
    static_cast<std::string*>(user)->append(data, size * count);
    return size * count;
}

// GET `url`; the body of a 200 reply, or empty with the reason.
std::string fetch(const std::string& url, std::string& error) {
    CURL* curl = curl_easy_init();
    std::string body;
    curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, &collect);
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, &body);
    curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(curl, CURLOPT_TIMEOUT, 30L);
    long status = 0;
    const CURLcode code = curl_easy_perform(curl);
    curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &status);
    curl_easy_cleanup(curl);
    if (code != CURLE_OK || status != 200) {
        error = "GET " + url + ": " +
                (code != CURLE_OK ? curl_easy_strerror(code) : "HTTP " + std::to_string(status));
        body.clear();
    }
    return body;
}

} // namespace

LocalCluster::LocalCluster() : dir_("tolvane-cluster") {}

LocalCluster::~LocalCluster() {
    for (const auto* nodes : {&workers_, &web_}) {
        for (const auto& node : *nodes) {
            if (node) {
                node->terminate(std::chrono::seconds(5));
            }
        }
    }
    nginx_.stop();
}

bool LocalCluster::available() {
    return RedisServer::available() && NginxServer::available() && ServerProgram::available();
}

bool LocalCluster::start(int web, int workers, std::string& error) {
    if (!redis_.start(error)) {
        return false;
    }
    const fs::path config = dir_.path() / "server.ini";
    std::ofstream(config) << clusterConfig(redis_);
    const auto startNode = [&](const std::vector<std::string>& role) {
        std::vector<std::string> args = {"--config", config.string()};
        args.insert(args.end(), role.begin(), role.end());
        auto node = std::make_unique<ServerProgram>();
        return node->start(args, error) ? std::move(node) : nullptr;
    };
    std::vector<std::string> nodes;
    for (int i = 0; i < web; ++i) {
        web_.push_back(startNode({"--role", "web", "--port", "0"}));
        std::string door;
        int port = 0;
        if (!web_.back() || !web_.back()->waitForListening(door, port)) {
            error = "a web node did not start: " + error + output();
            return false;
        }
        nodes.push_back("127.0.0.1:" + std::to_string(port));
    }
    for (int i = 0; i < workers; ++i) {
        workers_.push_back(startNode({"--role", "worker", "--workers", "1"}));
        if (!workers_.back() ||
            workers_.back()
                ->waitForOutput(std::regex("working \\("), std::chrono::seconds(30))
                .empty()) {
            error = "a worker did not start: " + error + output();
            return false;
        }
    }
    return nginx_.start(nodes, error);
}

std::vector<std::string> LocalCluster::webLogs() const {
    std::vector<std::string> logs;
    for (const auto& node : web_) {
        logs.push_back(node ? node->out() : std::string());
    }
    return logs;
}

std::string LocalCluster::output() const {
    std::string all;
    for (const auto* nodes : {&web_, &workers_}) {
        for (const auto& node : *nodes) {
            all += node ? node->out() : std::string();
        }
    }
    return all;
}

bool LocalCluster::fetchSpeech(const fs::path& dir, std::string& error) const {
    const std::string audioPrefix = std::string(kPrefix) + "audio:";
    const std::vector<std::string> keys = redis_.keys(audioPrefix);
    if (keys.size() != 1) {
        error = std::to_string(keys.size()) + " finished MP3s in the store";
        return false;
    }
    const std::string uuid = keys[0].substr(audioPrefix.size());
    const std::string mp3 = fetch(nginx_.base() + "/tolvane/audio/" + uuid + ".mp3", error);
    if (mp3.empty()) {
        return false;
    }
    std::ofstream(dir / (uuid + ".mp3"), std::ios::binary) << mp3;
    return true;
}

} // namespace tolvane::test
