#include "server/ServerApp.h"

#include "platform/SystemText.h"
#include "server/Log.h"
#include "server/SessionStore.h"
#include "server/Synthesizer.h"

#include <libxml/parser.h>

#include <set>
#include <string_view>

namespace tolvane::server {

namespace {

SpeechJobs::Settings jobSettings(const ServerConfig& config) {
    SpeechJobs::Settings settings;
    settings.dataDir = config.dataDir;
    settings.workers = config.workers;
    settings.queueSize = config.queueSize;
    settings.jobsPerUser = config.jobsPerUser;
    settings.keptJobs = config.keptJobs;
    settings.fileExpiry = std::chrono::seconds(config.fileExpirySeconds);
    settings.maxSpeechSeconds = config.maxSpeechSeconds;
    settings.audio.outputRate = config.sampleRate;
    settings.audio.bitrate = config.bitrate;
    settings.audio.vbrQuality = config.vbrQuality;
    return settings;
}

FeedCache::Settings feedSettings(const ServerConfig& config) {
    FeedCache::Settings settings;
    settings.maxItems = static_cast<std::size_t>(config.feedMaxItems);
    settings.refresh = std::chrono::seconds(config.feedRefreshSeconds);
    settings.timeoutSeconds = config.feedTimeoutSeconds;
    settings.maxBytes = config.feedMaxBytes;
    return settings;
}

// Encodes a moment of silence with the configured settings, so a setting LAME
// refuses stops the server at start instead of failing every job.
bool checkEncoder(const ServerConfig& config, std::string& error) {
    Mp3Encoder::Settings audio;
    audio.inputRate = Synthesizer::instance().sampleRate();
    audio.outputRate = config.sampleRate;
    audio.bitrate = config.bitrate;
    audio.vbrQuality = config.vbrQuality;
    std::vector<uint8_t> mp3;
    bool hasHeader = false;
    if (!Mp3Encoder::encode(std::vector<int16_t>(audio.inputRate / 10), audio, mp3, error,
                            &hasHeader)) {
        return false;
    }
    if (!hasHeader) {
        logLine("warning: " + std::to_string(config.bitrate) +
                " kbit/s frames are too small for the MP3 Info header; raise [audio] bitrate");
    }
    return true;
}

bool checkVoices(const ServerConfig& config, std::string& error) {
    const std::set<std::string> installed = Synthesizer::instance().installedVariants();
    for (const std::string& name : config.voiceNames) {
        const std::string& variant = config.voiceVariants.at(platform::asciiLowered(name));
        if (!variant.empty() && installed.count(variant) == 0) {
            error = "[voices] " + name + ": espeak-ng has no variant '" + variant + "'";
            return false;
        }
        if (!variant.empty() && !Synthesizer::instance().checkVoice("en-us+" + variant, error)) {
            error = "[voices] " + name + ": " + error;
            return false;
        }
    }
    return true;
}

} // namespace

ServerApp::ServerApp(ServerConfig config) : config_(std::move(config)) {}

ServerApp::~ServerApp() {
    stop();
}

bool ServerApp::start(std::string& error) {
    xmlInitParser();
    if (!Synthesizer::instance().initialize(error) || !checkEncoder(config_, error) ||
        !checkVoices(config_, error)) {
        return false;
    }
    sessions_ = std::make_unique<SessionStore>(std::chrono::seconds(config_.sessionSeconds),
                                               static_cast<std::size_t>(config_.maxSessions),
                                               static_cast<std::size_t>(config_.sessionsPerUser));
    jobs_ = std::make_unique<SpeechJobs>(jobSettings(config_));
    feeds_ = std::make_unique<FeedCache>(feedSettings(config_));
    if (config_.queryHoldMillis > 0) {
        holds_ = std::make_unique<HeldQueries>(std::chrono::milliseconds(config_.queryHoldMillis));
        jobs_->setListener(holds_.get());
        sessions_->setListener(holds_.get());
    }
    service_ =
        std::make_unique<ProtocolService>(config_, *sessions_, *jobs_, *feeds_, holds_.get());
    HttpServer::Settings http;
    http.address = config_.address;
    http.port = config_.port;
    http.threads = config_.httpThreads;
    http.bodyLimit = config_.bodyLimit();
    http.logRequests = config_.logRequests;
    http.requestSeconds = config_.requestTimeoutSeconds;
    http.idleSeconds = config_.idleTimeoutSeconds;
    http.connections = config_.maxConnections;
    http.connectionsPerAddress = config_.connectionsPerAddress;
    http_ = std::make_unique<HttpServer>(http, *service_, *jobs_);
    if (!jobs_->start(error)) {
        return false;
    }
    if (!http_->bind(error)) {
        stop();
        return false;
    }
    const bool anyAddress = config_.address == "0.0.0.0" || config_.address == "::";
    const std::string host = anyAddress ? "127.0.0.1" : config_.address;
    const bool ipv6 = host.find(':') != std::string::npos;
    service_->setDefaultHost((ipv6 ? "[" + host + "]" : host) + ":" + std::to_string(port()));
    janitor_ = std::thread([this] { runJanitor(); });
    if (!http_->serve(error)) {
        stop();
        return false;
    }
    return true;
}

void ServerApp::stop() {
    {
        const std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    wake_.notify_all();
    // News requests waiting for a feed and held queries are answered before
    // HTTP stops.
    if (feeds_) {
        feeds_->stop();
    }
    if (holds_) {
        holds_->stop();
    }
    if (http_) {
        http_->stop();
    }
    if (janitor_.joinable()) {
        janitor_.join();
    }
    if (jobs_) {
        jobs_->stop();
    }
}

void ServerApp::runJanitor() {
    std::unique_lock lock(mutex_);
    while (!wake_.wait_for(lock, std::chrono::seconds(1), [this] { return stopping_; })) {
        lock.unlock();
        jobs_->expire();
        sessions_->sweep();
        lock.lock();
    }
}

} // namespace tolvane::server
