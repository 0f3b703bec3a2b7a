#include "server/ServerApp.h"

#include "platform/SystemText.h"
#include "server/Log.h"
#include "server/RedisSessions.h"
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

RedisJobs::Settings redisJobSettings(const ServerConfig& config) {
    RedisJobs::Settings settings;
    settings.workers = config.role == ServerRole::Web ? 0 : config.workers;
    settings.queueSize = config.queueSize;
    settings.jobsPerUser = config.jobsPerUser;
    settings.keptJobs = config.keptJobs;
    settings.fileExpiry = std::chrono::seconds(config.fileExpirySeconds);
    settings.claimTimeout = std::chrono::seconds(config.claimTimeoutSeconds);
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

bool ServerApp::makeTables(std::string& error) {
    const auto lifetime = std::chrono::seconds(config_.sessionSeconds);
    const auto total = static_cast<std::size_t>(config_.maxSessions);
    const auto perUser = static_cast<std::size_t>(config_.sessionsPerUser);
    if (config_.store == StoreBackend::Memory) {
        sessions_ = std::make_unique<SessionStore>(lifetime, total, perUser);
        memoryJobs_ = std::make_unique<SpeechJobs>(jobSettings(config_));
        jobs_ = memoryJobs_.get();
        return true;
    }
    const std::optional<RedisAddress> address = RedisAddress::parse(config_.redis, error);
    if (!address) {
        error = "[store] redis: " + error;
        return false;
    }
    redis_ = std::make_unique<RedisClient>(*address, std::chrono::milliseconds(1000));
    // A server that starts while Redis is away says so, and serves once it is back.
    if (std::string why; !redis_->run({"PING"}, why)) {
        logLine("warning: " + why + "; requests that need the store fail until it is reached");
    }
    sessions_ =
        std::make_unique<RedisSessions>(*redis_, config_.keyPrefix, lifetime, total, perUser);
    redisJobs_ = std::make_unique<RedisJobs>(*redis_, config_.keyPrefix, redisJobSettings(config_));
    jobs_ = redisJobs_.get();
    return true;
}

bool ServerApp::start(std::string& error) {
    xmlInitParser();
    if (!Synthesizer::instance().initialize(error) || !checkEncoder(config_, error) ||
        !checkVoices(config_, error) || !makeTables(error)) {
        return false;
    }
    feeds_ = std::make_unique<FeedCache>(feedSettings(config_));
    if (config_.queryHoldMillis > 0 && config_.role != ServerRole::Worker) {
        holds_ = std::make_unique<HeldQueries>(std::chrono::milliseconds(config_.queryHoldMillis));
        jobs_->setListener(holds_.get());
        sessions_->setListener(holds_.get());
        if (redis_) {
            events_ = std::make_unique<RedisEvents>(redis_->address(), config_.keyPrefix, *holds_,
                                                    *holds_);
            events_->start();
        }
    }
    service_ =
        std::make_unique<ProtocolService>(config_, *sessions_, *jobs_, *feeds_, holds_.get());
    if (redis_) {
        service_->logins().share(*redis_, config_.keyPrefix);
    }
    if (memoryJobs_ && !memoryJobs_->start(error)) {
        return false;
    }
    if (redisJobs_) {
        redisJobs_->start();
    }
    if (config_.role != ServerRole::Worker && !startHttp(error)) {
        stop();
        return false;
    }
    janitor_ = std::thread([this] { runJanitor(); });
    return true;
}

bool ServerApp::startHttp(std::string& error) {
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
    if (!http_->bind(error)) {
        return false;
    }
    const bool anyAddress = config_.address == "0.0.0.0" || config_.address == "::";
    const std::string host = anyAddress ? "127.0.0.1" : config_.address;
    const bool ipv6 = host.find(':') != std::string::npos;
    service_->setDefaultHost((ipv6 ? "[" + host + "]" : host) + ":" + std::to_string(port()));
    return http_->serve(error);
}

void ServerApp::stopJobs() {
    if (memoryJobs_) {
        memoryJobs_->stop();
    }
    if (redisJobs_) {
        redisJobs_->stop();
    }
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
    if (events_) {
        events_->stop();
    }
    if (http_) {
        http_->stop();
    }
    if (janitor_.joinable()) {
        janitor_.join();
    }
    stopJobs();
}

void ServerApp::runJanitor() {
    std::unique_lock lock(mutex_);
    while (!wake_.wait_for(lock, std::chrono::seconds(1), [this] { return stopping_; })) {
        lock.unlock();
        if (memoryJobs_) {
            memoryJobs_->expire();
        }
        if (redisJobs_) {
            redisJobs_->tick();
        }
        sessions_->sweep();
        lock.lock();
    }
}

} // namespace tolvane::server
