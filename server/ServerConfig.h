#pragma once

#include <cstddef>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace tolvane::platform {
class IniFile;
}

namespace tolvane::server {

// One account that may log in, from a "[user NAME]" section.
struct UserAccount {
    std::string email;       // matched ignoring ASCII case
    std::string passwordMd5; // 32 lowercase hexadecimal digits
    int userId = 0;
    std::string userType = "normal";
    int timeWaitMax = 60;     // seconds the client keeps polling a job
    int maxTextNumber = 1000; // longest text, in UTF-16 units as the client counts
    std::string domainLimit;  // passed on to the client, which ignores it
    std::vector<int> feeds;   // ids of the feeds the user may read, in list order
};

// One news feed, from a "[feed ID]" section.
struct FeedSource {
    int id = 0;
    std::string title;
    int priority = 0;
    std::string location; // absolute file path, or an http(s) URL
    bool isUrl = false;
};

// Where sessions, jobs and finished audio live: this process's memory, or a
// Redis server that several server processes share.
enum class StoreBackend { Memory, Redis };

// What one server process does: answer HTTP, synthesise, or both.
enum class ServerRole { All, Web, Worker };

// Everything the server reads from server.ini, with the defaults it runs with
// when a key (or the whole file) is missing.
struct ServerConfig {
    std::string address = "127.0.0.1";
    int port = 8080;                // 0: any free port
    std::filesystem::path dataDir;  // empty: a private temporary folder removed at exit
    int workers = 2;                // synthesis worker threads
    int httpThreads = 8;            // threads answering protocol requests
    int requestTimeoutSeconds = 30; // a request's headers and body arrive within this
    int idleTimeoutSeconds = 10;    // a connection with nothing moving this long is closed
    int maxConnections = 1000;      // connections at once
    int connectionsPerAddress = 64; // connections at once from one client address
    // Milliseconds a query about a job still waiting or being read is held for
    // the job to end; 0: answered at once.
    int queryHoldMillis = 2000;
    bool logRequests = true;
    std::string publicUrl; // base of the service addresses in replies; empty: the request's Host

    int queueSize = 64;               // jobs waiting or being synthesised at once
    int jobsPerUser = 16;             // of those, one user's
    int keptJobs = 1000;              // finished jobs kept; the oldest go first
    int fileExpirySeconds = 600;      // a finished MP3 stays this long
    int sessionSeconds = 86400;       // a verifytimeid lives this long unused
    int maxSessions = 4096;           // sessions held at once, of all users
    int sessionsPerUser = 16;         // a further login ends the user's least recently used
    int loginFailures = 5;            // failed logins of one account before its logins are slowed
    int loginFailuresPerAddress = 20; // the same for one client address
    int loginDelaySeconds = 1;        // the first wait; it doubles with each further failure
    int loginDelayMaxSeconds = 60;    // up to this
    int newsBatch = 10;               // news items per reply
    int feedMaxItems = 200;           // items kept per feed
    int feedRefreshSeconds = 300;     // a URL feed is fetched again after this
    int feedTimeoutSeconds = 10;
    std::size_t feedMaxBytes = 4 << 20;
    std::size_t maxBodyBytes = 0; // 0: derived from the users' text limits
    int maxSpeechSeconds = 600;   // longer speech fails the job

    int sampleRate = 22050;                           // MP3 sample rate, mono
    int bitrate = 64;                                 // kbit/s, constant bit rate
    int vbrQuality = -1;                              // 0 (best) to 9: variable bit rate instead
    std::map<std::string, std::string> voiceVariants; // lower-case voice name -> variant
    std::vector<std::string> voiceNames; // as the file spells them, in its order, each once

    StoreBackend store = StoreBackend::Memory;
    std::string redis = "tcp://127.0.0.1:6379"; // unix:/path/redis.sock or tcp://host:port
    std::string keyPrefix = "tolvane:";         // of every Redis key and channel the server uses
    int claimTimeoutSeconds = 30;      // a job whose worker is silent this long is taken again
    ServerRole role = ServerRole::All; // from the command line only

    std::vector<UserAccount> users;
    std::vector<FeedSource> feeds;

    // Reads `file`; relative paths in it resolve against its folder. Keys the
    // server does not know are reported in `warnings`, faults in `error`.
    static std::optional<ServerConfig> load(const std::filesystem::path& file, std::string& error,
                                            std::vector<std::string>& warnings);

    // The same from a parsed file whose relative paths resolve against `baseDir`.
    static std::optional<ServerConfig> fromIni(const platform::IniFile& ini,
                                               const std::filesystem::path& baseDir,
                                               std::string& error,
                                               std::vector<std::string>& warnings);

    // Checks ranges and cross references (after command-line overrides too).
    bool validate(std::string& error) const;

    // The request body limit in force: maxBodyBytes, or enough for the longest
    // text any user may send, percent-encoded.
    std::size_t bodyLimit() const;

    const UserAccount* findUser(std::string_view email) const;
    const FeedSource* findFeed(int id) const;
};

} // namespace tolvane::server
