#include "server/ServerConfig.h"

#include "platform/IniFile.h"
#include "platform/SystemText.h"
#include "server/RedisClient.h"
#include "server/Reply.h"
#include "server/ServiceAddress.h"
#include "server/Utf8.h"

#include <algorithm>
#include <charconv>
#include <cstdint>
#include <set>
#include <span>

namespace tolvane::server {

namespace fs = std::filesystem;

namespace {

constexpr std::size_t kVoiceNameBytes = 255;

struct IntKey {
    std::string_view section;
    std::string_view key;
    int ServerConfig::*field;
    int min;
    int max;
};

constexpr IntKey kIntKeys[] = {
    {"server", "port", &ServerConfig::port, 0, 65535},
    {"server", "workers", &ServerConfig::workers, 1, 64},
    {"server", "http_threads", &ServerConfig::httpThreads, 1, 256},
    {"server", "request_timeout", &ServerConfig::requestTimeoutSeconds, 1, 3600},
    {"server", "idle_timeout", &ServerConfig::idleTimeoutSeconds, 1, 3600},
    {"server", "connections", &ServerConfig::maxConnections, 1, 100000},
    {"server", "connections_per_address", &ServerConfig::connectionsPerAddress, 1, 100000},
    {"server", "query_hold", &ServerConfig::queryHoldMillis, 0, 10000},
    {"limits", "queue_size", &ServerConfig::queueSize, 1, 100000},
    {"limits", "jobs_per_user", &ServerConfig::jobsPerUser, 1, 100000},
    {"limits", "kept_jobs", &ServerConfig::keptJobs, 1, 1000000},
    {"limits", "file_expiry", &ServerConfig::fileExpirySeconds, 1, 30 * 86400},
    {"limits", "session_lifetime", &ServerConfig::sessionSeconds, 1, 365 * 86400},
    {"limits", "sessions", &ServerConfig::maxSessions, 1, 1000000},
    {"limits", "sessions_per_user", &ServerConfig::sessionsPerUser, 1, 10000},
    {"limits", "login_failures", &ServerConfig::loginFailures, 0, 1000000},
    {"limits", "login_failures_per_address", &ServerConfig::loginFailuresPerAddress, 0, 1000000},
    {"limits", "login_delay", &ServerConfig::loginDelaySeconds, 1, 3600},
    {"limits", "login_delay_max", &ServerConfig::loginDelayMaxSeconds, 1, 86400},
    {"limits", "news_batch", &ServerConfig::newsBatch, 1, 100},
    {"limits", "feed_items", &ServerConfig::feedMaxItems, 1, 10000},
    {"limits", "feed_refresh", &ServerConfig::feedRefreshSeconds, 1, 7 * 86400},
    {"limits", "feed_timeout", &ServerConfig::feedTimeoutSeconds, 1, 300},
    {"limits", "max_speech_seconds", &ServerConfig::maxSpeechSeconds, 1, 3600},
    {"audio", "sample_rate", &ServerConfig::sampleRate, 8000, 48000},
    {"audio", "bitrate", &ServerConfig::bitrate, 8, 320},
    {"audio", "vbr_quality", &ServerConfig::vbrQuality, -1, 9},
    {"store", "claim_timeout", &ServerConfig::claimTimeoutSeconds, 3, 3600},
};

struct SizeKey {
    std::string_view section;
    std::string_view key;
    std::size_t ServerConfig::*field;
    std::size_t max;
};

constexpr SizeKey kSizeKeys[] = {
    {"limits", "feed_max_bytes", &ServerConfig::feedMaxBytes, std::size_t(1) << 30},
    {"limits", "max_body", &ServerConfig::maxBodyBytes, std::size_t(1) << 30},
};

constexpr std::string_view kUserKeys[] = {"email",        "password_md5",  "userid",
                                          "usertype",     "time_wait_max", "max_text_number",
                                          "domain_limit", "feeds"};
constexpr std::string_view kFeedKeys[] = {"title", "priority", "source"};

// The form an e-mail address is compared in: ASCII case folded, and a blank
// read as '+', since a client that does not percent-encode sends '+' bare.
std::string emailKey(std::string_view email) {
    std::string key = platform::asciiLowered(email);
    std::replace(key.begin(), key.end(), ' ', '+');
    return key;
}

template <typename T> bool parseNumber(std::string_view text, T& out) {
    const auto [ptr, ec] = std::from_chars(text.data(), text.data() + text.size(), out);
    return !text.empty() && ec == std::errc() && ptr == text.data() + text.size();
}

bool startsWith(std::string_view text, std::string_view prefix) {
    return text.size() >= prefix.size() &&
           platform::asciiLowered(text.substr(0, prefix.size())) == prefix;
}

std::string where(std::string_view section, std::string_view key) {
    return "[" + std::string(section) + "] " + std::string(key);
}

// Key prefixes go into Redis keys and channel names as they stand.
bool validKeyPrefix(std::string_view prefix) {
    return !prefix.empty() && prefix.size() <= 64 &&
           std::all_of(prefix.begin(), prefix.end(), [](char c) {
               return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                      c == ':' || c == '_' || c == '-' || c == '.';
           });
}

class Reader {
  public:
    Reader(const platform::IniFile& ini, const fs::path& baseDir, std::string& error,
           std::vector<std::string>& warnings)
        : ini_(ini), baseDir_(baseDir), error_(error), warnings_(warnings) {}

    bool read(ServerConfig& config) {
        for (const std::string& section : ini_.sectionNames()) {
            const std::string name = platform::asciiLowered(section);
            bool ok = true;
            if (name == "server" || name == "limits" || name == "audio" || name == "store") {
                ok = readPlain(section, config);
            } else if (name == "voices") {
                for (const auto& [key, value] : ini_.entries(section)) {
                    const std::string lowered = platform::asciiLowered(key);
                    if (config.voiceVariants.count(lowered) == 0) {
                        config.voiceNames.push_back(key);
                    }
                    config.voiceVariants[lowered] = value;
                }
            } else if (startsWith(name, "user ")) {
                ok = readUser(section, config);
            } else if (startsWith(name, "feed ")) {
                ok = readFeed(section, config);
            } else {
                warnings_.push_back("unknown section [" + section + "] ignored");
            }
            if (!ok) {
                return false;
            }
        }
        return true;
    }

  private:
    bool fail(std::string_view section, std::string_view key, const std::string& what) {
        error_ = where(section, key) + ": " + what;
        return false;
    }

    bool readInt(std::string_view section, std::string_view key, const std::string& value, int min,
                 int max, int& out) {
        long long number = 0;
        if (!parseNumber(value, number)) {
            return fail(section, key, "'" + value + "' is not a whole number");
        }
        if (number < min || number > max) {
            return fail(section, key,
                        "must be from " + std::to_string(min) + " to " + std::to_string(max));
        }
        out = static_cast<int>(number);
        return true;
    }

    bool readPlainKey(std::string_view section, const std::string& key, const std::string& value,
                      ServerConfig& config, bool& known) {
        known = true;
        const std::string s = platform::asciiLowered(section);
        for (const IntKey& entry : kIntKeys) {
            if (entry.section == s && entry.key == key) {
                return readInt(section, key, value, entry.min, entry.max, config.*entry.field);
            }
        }
        for (const SizeKey& entry : kSizeKeys) {
            if (entry.section == s && entry.key == key) {
                std::size_t number = 0;
                if (!parseNumber(value, number) || number > entry.max) {
                    return fail(section, key, "'" + value + "' is not a byte count");
                }
                config.*entry.field = number;
                return true;
            }
        }
        if (s == "server" && key == "address") {
            config.address = value;
        } else if (s == "server" && key == "data") {
            config.dataDir = value.empty() ? fs::path() : baseDir_ / value;
        } else if (s == "server" && key == "public_url") {
            config.publicUrl = value;
            while (config.publicUrl.size() > 1 && config.publicUrl.back() == '/') {
                config.publicUrl.pop_back();
            }
        } else if (s == "store" && key == "backend") {
            if (value != "memory" && value != "redis") {
                return fail(section, key, "must be 'memory' or 'redis'");
            }
            config.store = value == "redis" ? StoreBackend::Redis : StoreBackend::Memory;
        } else if (s == "store" && key == "redis") {
            if (std::string why; !RedisAddress::parse(value, why)) {
                return fail(section, key, why);
            }
            config.redis = value;
        } else if (s == "store" && key == "key_prefix") {
            if (!validKeyPrefix(value)) {
                return fail(section, key,
                            "must be 1 to 64 letters, digits or ':' '_' '-' '.', not '" + value +
                                "'");
            }
            config.keyPrefix = value;
        } else if (s == "server" && key == "log") {
            if (value != "requests" && value != "none") {
                return fail(section, key, "must be 'requests' or 'none'");
            }
            config.logRequests = value == "requests";
        } else {
            known = false;
        }
        return true;
    }

    bool readPlain(const std::string& section, ServerConfig& config) {
        for (const auto& [rawKey, value] : ini_.entries(section)) {
            const std::string key = platform::asciiLowered(rawKey);
            bool known = false;
            if (!readPlainKey(section, key, value, config, known)) {
                return false;
            }
            if (!known) {
                warnings_.push_back("unknown key " + where(section, rawKey) + " ignored");
            }
        }
        return true;
    }

    void warnUnknownKeys(const std::string& section, std::span<const std::string_view> known) {
        for (const auto& [key, value] : ini_.entries(section)) {
            if (std::find(known.begin(), known.end(), platform::asciiLowered(key)) == known.end()) {
                warnings_.push_back("unknown key " + where(section, key) + " ignored");
            }
        }
    }

    bool readFeedList(const std::string& section, const std::string& value, UserAccount& user) {
        std::size_t start = 0;
        while (start <= value.size()) {
            std::size_t end = value.find(',', start);
            if (end == std::string::npos) {
                end = value.size();
            }
            std::string item(value.substr(start, end - start));
            item.erase(0, item.find_first_not_of(' '));
            item.erase(item.find_last_not_of(' ') + 1);
            int id = 0;
            if (!item.empty() && !readInt(section, "feeds", item, 0, INT32_MAX, id)) {
                return false;
            }
            if (!item.empty()) {
                user.feeds.push_back(id);
            }
            start = end + 1;
        }
        return true;
    }

    bool readUser(const std::string& section, ServerConfig& config) {
        warnUnknownKeys(section, kUserKeys);
        UserAccount user;
        user.email = ini_.value(section, "email").value_or("");
        user.passwordMd5 = platform::asciiLowered(ini_.value(section, "password_md5").value_or(""));
        user.userType = ini_.value(section, "usertype").value_or(user.userType);
        user.domainLimit = ini_.value(section, "domain_limit").value_or("");
        if (user.email.empty()) {
            return fail(section, "email", "missing");
        }
        if (user.passwordMd5.size() != 32 ||
            user.passwordMd5.find_first_not_of("0123456789abcdef") != std::string::npos) {
            return fail(section, "password_md5", "must be 32 hexadecimal digits");
        }
        const auto optionalInt = [&](std::string_view key, int min, int max, int& out) {
            const std::optional<std::string> value = ini_.value(section, key);
            return !value || readInt(section, key, *value, min, max, out);
        };
        if (!ini_.value(section, "userid")) {
            return fail(section, "userid", "missing");
        }
        if (!optionalInt("userid", 0, INT32_MAX, user.userId) ||
            !optionalInt("time_wait_max", 0, 86400, user.timeWaitMax) ||
            !optionalInt("max_text_number", 1, 1000000, user.maxTextNumber) ||
            !readFeedList(section, ini_.value(section, "feeds").value_or(""), user)) {
            return false;
        }
        config.users.push_back(std::move(user));
        return true;
    }

    bool readFeed(const std::string& section, ServerConfig& config) {
        warnUnknownKeys(section, kFeedKeys);
        FeedSource feed;
        std::string idText(section.substr(5));
        idText.erase(0, idText.find_first_not_of(' '));
        if (!readInt(section, "id", idText, 0, INT32_MAX, feed.id)) {
            return false;
        }
        feed.title = ini_.value(section, "title").value_or("");
        const std::optional<std::string> priority = ini_.value(section, "priority");
        if (priority &&
            !readInt(section, "priority", *priority, INT32_MIN, INT32_MAX, feed.priority)) {
            return false;
        }
        const std::string source = ini_.value(section, "source").value_or("");
        if (source.empty()) {
            return fail(section, "source", "missing");
        }
        feed.isUrl = startsWith(source, "http://") || startsWith(source, "https://");
        feed.location = feed.isUrl ? source : (baseDir_ / source).lexically_normal().string();
        config.feeds.push_back(std::move(feed));
        return true;
    }

    const platform::IniFile& ini_;
    fs::path baseDir_;
    std::string& error_;
    std::vector<std::string>& warnings_;
};

// Why a [voices] entry cannot be used, or empty. Names go to clients in the
// door reply and come back in add requests, so a name the reply would change
// could never be matched; variants name espeak-ng variant files.
std::string voiceFault(const std::string& name, const std::string& variant) {
    if (!isValidUtf8(name)) {
        return "'" + repairUtf8(name) + "': a voice name must be UTF-8";
    }
    if (const std::string sent = Reply::clean(name, kVoiceNameBytes); sent != name) {
        return "'" + name + "': clients would be sent '" + sent +
               "'; a voice name must go as written: no '&', control characters, runs of "
               "blanks, text read as a reply key ('status=', 'title3') or more than " +
               std::to_string(kVoiceNameBytes) + " bytes";
    }
    const bool plain =
        variant.size() <= 64 && std::all_of(variant.begin(), variant.end(), [](char c) {
            return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                   c == '-' || c == '_';
        });
    if (!plain) {
        return name + ": '" + variant +
               "' is not an espeak-ng variant name (letters, digits, '-' and '_')";
    }
    return {};
}

bool validText(std::string_view text) {
    return !text.empty() && text.size() <= 255 && isValidUtf8(text) &&
           std::none_of(text.begin(), text.end(),
                        [](char c) { return static_cast<unsigned char>(c) < 0x20 || c == '&'; });
}

} // namespace

std::optional<ServerConfig> ServerConfig::load(const fs::path& file, std::string& error,
                                               std::vector<std::string>& warnings) {
    std::string readError;
    const std::optional<platform::IniFile> ini = platform::IniFile::load(file, &readError);
    if (!ini) {
        error = file.string() + ": " + readError;
        return std::nullopt;
    }
    std::optional<ServerConfig> config =
        fromIni(*ini, fs::absolute(file).parent_path(), error, warnings);
    if (!config) {
        error = file.string() + ": " + error;
    }
    return config;
}

std::optional<ServerConfig> ServerConfig::fromIni(const platform::IniFile& ini,
                                                  const fs::path& baseDir, std::string& error,
                                                  std::vector<std::string>& warnings) {
    ServerConfig config;
    Reader reader(ini, baseDir, error, warnings);
    if (!reader.read(config) || !config.validate(error)) {
        return std::nullopt;
    }
    return config;
}

bool ServerConfig::validate(std::string& error) const {
    std::set<std::string> emails;
    std::set<int> ids;
    for (const UserAccount& user : users) {
        if (!emails.insert(emailKey(user.email)).second) {
            error = "user " + user.email + " is configured twice";
            return false;
        }
        if (!ids.insert(user.userId).second) {
            error = "userid " + std::to_string(user.userId) + " is given to two users";
            return false;
        }
        if (!validText(user.userType) && !user.userType.empty()) {
            error = "user " + user.email + ": usertype must be one line of at most 255 bytes";
            return false;
        }
        for (int feed : user.feeds) {
            if (!findFeed(feed)) {
                error = "user " + user.email + " lists feed " + std::to_string(feed) +
                        ", which has no [feed " + std::to_string(feed) + "] section";
                return false;
            }
        }
    }
    for (const std::string& name : voiceNames) {
        if (const std::string fault =
                voiceFault(name, voiceVariants.at(platform::asciiLowered(name)));
            !fault.empty()) {
            error = "[voices] " + fault;
            return false;
        }
    }
    std::set<int> feedIds;
    for (const FeedSource& feed : feeds) {
        if (!feedIds.insert(feed.id).second) {
            error = "feed " + std::to_string(feed.id) + " is configured twice";
            return false;
        }
        if (!validText(feed.title)) {
            error = "feed " + std::to_string(feed.id) +
                    ": title must be one line of 1 to 255 bytes of UTF-8 without '&'";
            return false;
        }
    }
    static constexpr int kMpegRates[] = {8000,  11025, 12000, 16000, 22050,
                                         24000, 32000, 44100, 48000};
    if (std::find(std::begin(kMpegRates), std::end(kMpegRates), sampleRate) ==
        std::end(kMpegRates)) {
        error = "[audio] sample_rate: " + std::to_string(sampleRate) +
                " is not an MP3 sample rate (8000, 11025, 12000, 16000, 22050, 24000, 32000, "
                "44100 or 48000)";
        return false;
    }
    if (!publicUrl.empty() && !isPublicUrl(publicUrl)) {
        error = "[server] public_url: '" + publicUrl +
                "' is not http:// or https://, a host with an optional port, and a path of "
                "letters, digits and / - . _ ~";
        return false;
    }
    if (loginDelayMaxSeconds < loginDelaySeconds) {
        error = "[limits] login_delay_max: must be at least login_delay (" +
                std::to_string(loginDelaySeconds) + ")";
        return false;
    }
    if (role != ServerRole::All && store != StoreBackend::Redis) {
        error = "--role web and --role worker need [store] backend = redis: with the memory "
                "store one process holds every job";
        return false;
    }
    if (port < 0 || port > 65535 || workers < 1 || workers > 64) {
        error = "port must be from 0 to 65535 and workers from 1 to 64";
        return false;
    }
    return true;
}

std::size_t ServerConfig::bodyLimit() const {
    if (maxBodyBytes != 0) {
        return maxBodyBytes;
    }
    std::size_t longest = 1000;
    for (const UserAccount& user : users) {
        longest = std::max<std::size_t>(longest, static_cast<std::size_t>(user.maxTextNumber));
    }
    // A UTF-16 unit is at most 3 UTF-8 bytes, each at most 3 bytes percent-encoded.
    return std::max<std::size_t>(64 * 1024, longest * 9 + 8 * 1024);
}

const UserAccount* ServerConfig::findUser(std::string_view email) const {
    const std::string key = emailKey(email);
    for (const UserAccount& user : users) {
        if (emailKey(user.email) == key) {
            return &user;
        }
    }
    return nullptr;
}

const FeedSource* ServerConfig::findFeed(int id) const {
    for (const FeedSource& feed : feeds) {
        if (feed.id == id) {
            return &feed;
        }
    }
    return nullptr;
}

} // namespace tolvane::server
