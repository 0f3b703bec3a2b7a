#pragma once

// Helpers shared by the server tests: HTTP through libcurl, the client's reply
// scanning (the same sscanf patterns and key searches the client uses), a
// server started in this process on a free loopback port, and MP3 decoding
// through mpg123.

#include "server/ServerApp.h"
#include "tests/support/RedisServer.h"
#include "tests/support/ServerProgram.h"
#include "tests/support/TempDir.h"

#include <cstdint>
#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace tolvane::server::test {

// values[index], or empty past the end: a reply field that may be missing.
std::string at(const std::vector<std::string>& values, std::size_t index);

struct HttpResult {
    long status = 0; // 0 when the transfer failed
    std::string body;
    std::map<std::string, std::string> headers; // names in lower case
    std::string error;                          // libcurl's text when status is 0
    double seconds = 0;                         // time the exchange took

    std::string header(const std::string& name) const {
        const auto it = headers.find(name);
        return it == headers.end() ? std::string() : it->second;
    }
};

// `from`: the loopback address to send from (127.0.0.x), when not the default.
HttpResult httpPost(const std::string& url, const std::string& body,
                    const std::vector<std::string>& headers = {}, const std::string& from = {});
// POSTs `bytes` bytes made as they are sent: `prefix`, then 'a' to the end;
// with `chunked` as a chunked body of no announced length.
HttpResult httpPostGenerated(const std::string& url, const std::string& prefix, std::uint64_t bytes,
                             bool chunked, const std::vector<std::string>& headers = {});
HttpResult httpGet(const std::string& url, const std::vector<std::string>& headers = {},
                   bool headOnly = false);

struct RawExchange {
    std::string reply;   // all bytes the server sent
    bool closed = false; // the server ended the connection
    double seconds = 0;
};
// Sends `request` as it stands over a new loopback connection to `port` and
// reads until the server ends the connection or is silent for `limitSeconds`.
RawExchange rawExchange(int port, const std::string& request, double limitSeconds);

// sscanf(`text`, `pattern`) where the pattern holds only literal text and
// "%[^&]" / "%[^:]" conversions, as the client's patterns do; the values of the
// conversions that matched, in order.
std::vector<std::string> clientScan(const std::string& text, const std::string& pattern);

struct DoorReply {
    std::vector<std::string> fields; // door_netverify ... version, as scanned
};
struct VerifyReply {
    std::vector<std::string> head; // action ... verifytimeid, as scanned
    long total = -1;               // rss_total; -1 when absent
    struct Feed {
        std::vector<std::string> fields; // rssid, title, priority, time
    };
    std::vector<Feed> feeds;
};
struct NewsReply {
    bool marker = false;
    long total = -1; // totalitems; -1 when absent
    long maxrss = -1;
    std::vector<std::vector<std::string>> items; // title, description, time
    std::vector<std::string> status;             // status, errcode, errmsg
};

// Each parses a reply exactly as the client does (marker search, pattern,
// cumulative key search for lists).
DoorReply parseDoor(const std::string& reply);
VerifyReply parseVerify(const std::string& reply);
std::vector<std::string> parseAdd(const std::string& reply); // action status uuid errcode errmsg
std::vector<std::string>
parseQuery(const std::string& reply); // action status tts_status http_file parameter errcode errmsg
NewsReply parseNews(const std::string& reply);

using tolvane::test::TempDir;

// Writes `text` to `path`.
void writeFile(const std::filesystem::path& path, const std::string& text);

// The demo user of the test configurations.
constexpr const char* kEmail = "reader@example.test";
constexpr const char* kPasswordMd5 = "fe01ce2a7fbac8fafaed7c982a04e229"; // "demo"

// A server.ini for tests: the user above (max_text_number 100, feeds 1 and 2),
// feed 1 an RSS file and feed 2 an Atom file written next to it, port 0, and
// `extra` appended (more sections or keys). With TOLVANE_TEST_STORE=redis in
// the environment it also puts sessions, jobs and audio in testRedis(), each
// configuration under a key prefix of its own.
std::string testConfig(const std::string& extra = {});

// The redis-server of this test program, started at the first call; the
// program ends (failing) when it cannot start.
tolvane::test::RedisServer& testRedis();

// "[store]" lines for a server on `redis` under `prefix`.
std::string redisStoreConfig(const tolvane::test::RedisServer& redis, const std::string& prefix);

// Whether the finished MP3 of `uuid` is still kept by the server: its file,
// or its key in Redis.
bool audioKept(ServerApp& app, const std::string& uuid);

// A ServerApp on a free loopback port, configured from `ini` in `dir`.
class RunningServer {
  public:
    RunningServer(const std::filesystem::path& dir, const std::string& ini);
    ~RunningServer();
    bool ok() const { return started_; }
    const std::string& error() const { return error_; }
    std::string base() const; // "http://127.0.0.1:PORT"
    std::string door() const { return base() + "/tolvane/tolvanedoor.php"; }
    ServerApp& app() { return *app_; }

  private:
    std::unique_ptr<ServerApp> app_;
    bool started_ = false;
    std::string error_;
};

// One run of the server program.
class ServerProcess : public tolvane::test::ServerProgram {
  public:
    explicit ServerProcess(const std::vector<std::string>& args);

    // The port from the "listening on" line; 0 when the server ended first.
    int waitForPort();

    // Waits (at most a minute) for the exit; the exit code, or -1.
    int exitStatus();

    // Resident memory of the server in kB, now and at its peak, from /proc;
    // -1 when unknown.
    long residentKb() const { return statusKb("VmRSS:"); }
    long peakResidentKb() const { return statusKb("VmHWM:"); }

  private:
    long statusKb(const std::string& key) const;
};

// Logs in through door and user verify; empty token on failure.
struct Session {
    std::string verifyUrl, addUrl, queryUrl, newsUrl;
    std::string token;
    std::string userId;
};
Session logIn(const std::string& doorUrl, const std::string& email = kEmail,
              const std::string& md5 = kPasswordMd5);

// The add body the client sends, fields in the client's order.
std::string addBody(const Session& session, const std::string& text,
                    const std::string& language = "en-US");
std::string queryBody(const Session& session, const std::string& uuid);

// Polls the job until it leaves "wait"/"ttsing" (at most `polls` times, 50 ms
// apart); the last query reply as the client scans it.
std::vector<std::string> waitForJob(const Session& session, const std::string& uuid,
                                    int polls = 600);

struct DecodedAudio {
    bool ok = false;
    double seconds = 0;
    double rms = 0; // of the 16-bit samples, full scale 32768
    std::string error;
};
// Decodes MP3 bytes with mpg123.
DecodedAudio decodeMp3(const std::string& bytes);

// Walks the MPEG audio frames of `bytes` after the ID3v2.4 tag at its head:
// true when the tag is there, the frames cover the rest of the file and the
// first one holds an Info or Xing header.
bool wellFormedMp3(const std::string& bytes, std::string& why);

} // namespace tolvane::server::test
