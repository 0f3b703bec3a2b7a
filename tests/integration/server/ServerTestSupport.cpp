#include "ServerTestSupport.h"

#include <curl/curl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cctype>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <iterator>
#include <mutex>
#include <regex>
#include <sstream>
#include <thread>

namespace tolvane::server::test {

namespace fs = std::filesystem;

namespace {

void initCurl() {
    static std::once_flag once;
    std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

std::size_t appendBody(char* data, std::size_t size, std::size_t count, void* user) {
    static_cast<std::string*>(user)->append(data, size * count);
    return size * count;
}

std::size_t appendHeader(char* data, std::size_t size, std::size_t count, void* user) {
    auto* headers = static_cast<std::map<std::string, std::string>*>(user);
    std::string line(data, size * count);
    const std::size_t colon = line.find(':');
    if (colon != std::string::npos) {
        std::string name = line.substr(0, colon);
        for (char& c : name) {
            c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        }
        std::string value = line.substr(colon + 1);
        value.erase(0, value.find_first_not_of(' '));
        value.erase(value.find_last_not_of("\r\n ") + 1);
        (*headers)[name] = value;
    }
    return size * count;
}

HttpResult perform(CURL* curl) {
    HttpResult result;
    char error[CURL_ERROR_SIZE] = {};
    curl_easy_setopt(curl, CURLOPT_ERRORBUFFER, error);
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, &appendBody);
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, &result.body);
    curl_easy_setopt(curl, CURLOPT_HEADERFUNCTION, &appendHeader);
    curl_easy_setopt(curl, CURLOPT_HEADERDATA, &result.headers);
    curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(curl, CURLOPT_TIMEOUT, 60L);
    const auto started = std::chrono::steady_clock::now();
    const CURLcode code = curl_easy_perform(curl);
    result.seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    if (code != CURLE_OK) {
        result.error = error[0] ? error : curl_easy_strerror(code);
    } else {
        curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &result.status);
    }
    curl_easy_cleanup(curl);
    return result;
}

// The client's scan of a numbered list: entry i is looked for as `key` and i
// from where entry i - 1 stood, and read with the pattern made for i. Stops at
// the first entry it cannot find.
std::vector<std::vector<std::string>>
scanList(const std::string& reply, std::size_t from, long count, const std::string& key,
         const std::function<std::string(const std::string& n)>& pattern) {
    std::vector<std::vector<std::string>> entries;
    for (long i = 0; i < count; ++i) {
        const std::string n = std::to_string(i);
        const std::size_t found = reply.find(key + n, from);
        if (found == std::string::npos) {
            break;
        }
        from = found;
        entries.push_back(clientScan(reply.substr(found), pattern(n)));
    }
    return entries;
}

} // namespace

std::string at(const std::vector<std::string>& values, std::size_t index) {
    return index < values.size() ? values[index] : std::string();
}

HttpResult httpPost(const std::string& url, const std::string& body,
                    const std::vector<std::string>& headers, const std::string& from) {
    initCurl();
    CURL* curl = curl_easy_init();
    curl_slist* list = nullptr;
    for (const std::string& header : headers) {
        list = curl_slist_append(list, header.c_str());
    }
    curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
    curl_easy_setopt(curl, CURLOPT_HTTPHEADER, list);
    curl_easy_setopt(curl, CURLOPT_POSTFIELDSIZE, static_cast<long>(body.size()));
    curl_easy_setopt(curl, CURLOPT_POSTFIELDS, body.c_str());
    if (!from.empty()) {
        curl_easy_setopt(curl, CURLOPT_INTERFACE, from.c_str());
    }
    HttpResult result = perform(curl);
    curl_slist_free_all(list);
    return result;
}

RawExchange rawExchange(int port, const std::string& request, double limitSeconds) {
    RawExchange exchange;
    const auto started = std::chrono::steady_clock::now();
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const auto micros = static_cast<long>(limitSeconds * 1e6);
    const timeval limit{micros / 1000000, micros % 1000000};
    if (::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit) != 0 ||
        ::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
        ::send(fd, request.data(), request.size(), MSG_NOSIGNAL) !=
            static_cast<ssize_t>(request.size())) {
        exchange.reply = std::string("cannot send: ") + std::strerror(errno);
    } else {
        char buffer[4096];
        ssize_t got = 0;
        while ((got = ::recv(fd, buffer, sizeof buffer, 0)) > 0) {
            exchange.reply.append(buffer, static_cast<std::size_t>(got));
        }
        exchange.closed = got == 0 || errno == ECONNRESET;
    }
    ::close(fd);
    exchange.seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    return exchange;
}

HttpResult httpPostGenerated(const std::string& url, const std::string& prefix, std::uint64_t bytes,
                             bool chunked, const std::vector<std::string>& headers) {
    struct Source {
        const std::string& prefix;
        std::uint64_t left;
        std::uint64_t sent = 0;
    } source{prefix, bytes};
    const auto read = +[](char* buffer, size_t size, size_t count, void* data) -> size_t {
        auto& from = *static_cast<Source*>(data);
        const std::size_t room = std::min<std::uint64_t>(size * count, from.left);
        const std::size_t prefix =
            from.sent < from.prefix.size() ? std::min(room, from.prefix.size() - from.sent) : 0;
        if (prefix > 0) {
            std::memcpy(buffer, from.prefix.data() + from.sent, prefix);
        }
        std::memset(buffer + prefix, 'a', room - prefix);
        from.sent += room;
        from.left -= room;
        return room;
    };
    initCurl();
    CURL* curl = curl_easy_init();
    curl_slist* list = nullptr;
    for (const std::string& header : headers) {
        list = curl_slist_append(list, header.c_str());
    }
    if (chunked) {
        list = curl_slist_append(list, "Transfer-Encoding: chunked");
    }
    curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
    curl_easy_setopt(curl, CURLOPT_HTTPHEADER, list);
    curl_easy_setopt(curl, CURLOPT_POST, 1L);
    if (!chunked) {
        curl_easy_setopt(curl, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(bytes));
    }
    curl_easy_setopt(curl, CURLOPT_READFUNCTION, read);
    curl_easy_setopt(curl, CURLOPT_READDATA, &source);
    HttpResult result = perform(curl);
    curl_slist_free_all(list);
    return result;
}

HttpResult httpGet(const std::string& url, const std::vector<std::string>& headers, bool headOnly) {
    initCurl();
    CURL* curl = curl_easy_init();
    curl_slist* list = nullptr;
    for (const std::string& header : headers) {
        list = curl_slist_append(list, header.c_str());
    }
    curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
    curl_easy_setopt(curl, CURLOPT_HTTPHEADER, list);
    curl_easy_setopt(curl, CURLOPT_NOBODY, headOnly ? 1L : 0L);
    HttpResult result = perform(curl);
    curl_slist_free_all(list);
    return result;
}

std::vector<std::string> clientScan(const std::string& text, const std::string& pattern) {
    std::string format;
    for (std::size_t i = 0; i < pattern.size(); ++i) {
        if (pattern.compare(i, 5, "%[^&]") == 0 || pattern.compare(i, 5, "%[^:]") == 0) {
            format += "%1023" + pattern.substr(i + 1, 4);
            i += 4;
        } else {
            format += pattern[i];
        }
    }
    std::array<std::array<char, 1024>, 12> values{};
    const int matched = std::sscanf(
        text.c_str(), format.c_str(), values[0].data(), values[1].data(), values[2].data(),
        values[3].data(), values[4].data(), values[5].data(), values[6].data(), values[7].data(),
        values[8].data(), values[9].data(), values[10].data(), values[11].data());
    std::vector<std::string> out;
    for (int i = 0; i < matched; ++i) {
        out.emplace_back(values[static_cast<std::size_t>(i)].data());
    }
    return out;
}

DoorReply parseDoor(const std::string& reply) {
    DoorReply door;
    const std::size_t marker = reply.find("item=tolvanedoor");
    if (marker != std::string::npos) {
        door.fields = clientScan(reply.substr(marker),
                                 "item=tolvanedoor&door_netverify=%[^&]&door_add=%[^&]&door_query="
                                 "%[^&]&door_rss=%[^&]&errcode=%[^&]&errmsg=%[^&]&project=%[^&]&"
                                 "version=%[^&]&");
    }
    return door;
}

VerifyReply parseVerify(const std::string& reply) {
    VerifyReply verify;
    const std::size_t marker = reply.find("item=tolvane");
    const std::size_t count = reply.find("rss_total=");
    if (marker == std::string::npos || count == std::string::npos) {
        return verify;
    }
    verify.total =
        std::atol(at(clientScan(reply.substr(count), "rss_total=%[^&]&end=end"), 0).c_str());
    verify.total = std::max(verify.total, 0L);
    verify.head = clientScan(
        reply.substr(marker),
        "item=tolvane&action=%[^&]&status=%[^&]&time_wait_max=%[^&]&max_text_number=%[^&]&"
        "domain_limit=%[^&]&usertype=%[^&]&userid=%[^&]&errcode=%[^&]&errmsg=%[^&]&"
        "verifytimeid=%[^&]&");
    for (std::vector<std::string>& fields :
         scanList(reply, marker, verify.total, "rssid", [](const std::string& n) {
             return "rssid" + n + "=%[^&]&title" + n + "=%[^&]&priority" + n + "=%[^&]&time" + n +
                    "=%[^&]&";
         })) {
        verify.feeds.push_back({std::move(fields)});
    }
    return verify;
}

std::vector<std::string> parseAdd(const std::string& reply) {
    return clientScan(
        reply, "item=tolvane&action=%[^&]&status=%[^&]&uuid=%[^&]&errcode=%[^&]&errmsg=%[^&]");
}

std::vector<std::string> parseQuery(const std::string& reply) {
    return clientScan(reply, "item=tolvane&action=%[^&]&status=%[^&]&tts_status=%[^&]&http_file="
                             "%[^&]&parameter=%[^&]&errcode=%[^&]&errmsg=%[^&]");
}

NewsReply parseNews(const std::string& reply) {
    NewsReply news;
    const std::size_t marker = reply.find("item=tolvane&action=simplepie");
    const std::size_t counts = reply.find("totalitems=");
    news.marker = marker != std::string::npos;
    if (!news.marker || counts == std::string::npos) {
        return news;
    }
    const auto values = clientScan(reply.substr(counts), "totalitems=%[^&]&maxrss=%[^&]&end=end");
    news.total = std::atol(at(values, 0).c_str());
    news.maxrss = std::atol(at(values, 1).c_str());
    news.items = scanList(reply, marker, news.total, "title", [](const std::string& n) {
        return "title" + n + "=%[^&]&description" + n + "=%[^&]&time" + n + "=%[^&]&";
    });
    const std::size_t status = reply.find("status=", marker);
    if (status != std::string::npos) {
        news.status = clientScan(reply.substr(status), "status=%[^&]&errcode=%[^&]&errmsg=%[^&]&");
    }
    return news;
}

void writeFile(const fs::path& path, const std::string& text) {
    std::ofstream out(path, std::ios::binary);
    out << text;
}

namespace {

// The [store] section of the next test configuration, when the tests run
// against Redis.
std::string redisTestStore() {
    const char* store = std::getenv("TOLVANE_TEST_STORE");
    if (store == nullptr || std::string(store) != "redis") {
        return {};
    }
    static std::atomic<int> configs{0};
    return redisStoreConfig(testRedis(), "test" + std::to_string(++configs) + ":");
}

} // namespace

std::string testConfig(const std::string& extra) {
    return std::string("[server]\naddress = 127.0.0.1\nport = 0\nworkers = 2\nlog = requests\n"
                       "[limits]\nnews_batch = 3\n"
                       "[voices]\nVW Lily = f2\n"
                       "[user reader]\nemail = ") +
           kEmail + "\npassword_md5 = " + kPasswordMd5 +
           "\nuserid = 7\nusertype = tester\ntime_wait_max = 30\nmax_text_number = 100\n"
           "domain_limit = example.test\nfeeds = 1, 2\n"
           "[feed 1]\ntitle = Test News\npriority = 3\nsource = news.xml\n"
           "[feed 2]\ntitle = 测试新闻\npriority = 1\nsource = atom.xml\n" +
           extra + redisTestStore();
}

tolvane::test::RedisServer& testRedis() {
    static tolvane::test::RedisServer redis;
    static const bool started = [] {
        std::string error;
        if (!redis.start(error)) {
            std::fprintf(stderr, "cannot start redis-server: %s\n", error.c_str());
            std::exit(1);
        }
        return true;
    }();
    (void)started;
    return redis;
}

std::string redisStoreConfig(const tolvane::test::RedisServer& redis, const std::string& prefix) {
    return "\n[store]\nbackend = redis\nredis = " + redis.address() + "\nkey_prefix = " + prefix +
           "\nclaim_timeout = 3\n";
}

bool audioKept(ServerApp& app, const std::string& uuid) {
    if (SpeechJobs* jobs = app.memoryJobs()) {
        return fs::exists(jobs->dataDir() / (uuid + ".mp3"));
    }
    return !testRedis().keys(app.config().keyPrefix + "audio:" + uuid).empty();
}

RunningServer::RunningServer(const fs::path& dir, const std::string& ini) {
    writeFile(dir / "server.ini", ini);
    std::vector<std::string> warnings;
    std::optional<ServerConfig> config = ServerConfig::load(dir / "server.ini", error_, warnings);
    if (!config) {
        return;
    }
    app_ = std::make_unique<ServerApp>(std::move(*config));
    started_ = app_->start(error_);
}

RunningServer::~RunningServer() {
    if (app_) {
        app_->stop();
    }
}

std::string RunningServer::base() const {
    return "http://127.0.0.1:" + std::to_string(app_ ? app_->port() : 0);
}

Session logIn(const std::string& doorUrl, const std::string& email, const std::string& md5) {
    Session session;
    const DoorReply door = parseDoor(httpPost(doorUrl, "fresh=42").body);
    session.verifyUrl = at(door.fields, 0);
    session.addUrl = at(door.fields, 1);
    session.queryUrl = at(door.fields, 2);
    session.newsUrl = at(door.fields, 3);
    const VerifyReply verify =
        parseVerify(httpPost(session.verifyUrl, "user_email=" + email + "&pass_md5=" + md5 +
                                                    "&language=en-US&clienttype=win32C++"
                                                    "&clientver=tolvane23&fresh=42")
                        .body);
    if (at(verify.head, 1) == "succeed") {
        session.token = at(verify.head, 9);
        session.userId = at(verify.head, 6);
    }
    return session;
}

std::string addBody(const Session& session, const std::string& text, const std::string& language) {
    return "user_id=" + session.userId + "&language=" + language + "&text=" + text +
           "&rate=50&volume=100&punctuation=0&format=6&voice=VW%20Lily&time_max=30&verifytimeid=" +
           session.token +
           "&useragent=win32[CPU Number:2; CPU Type: 586]&clienttype=win32C%2B%2B"
           "&clientver=tolvane23&fresh=42";
}

std::string queryBody(const Session& session, const std::string& uuid) {
    return "user_id=" + session.userId + "&language=en-US&uuid=" + uuid +
           "&verifytimeid=" + session.token +
           "&clienttype=win32C%2B%2B&clientver=tolvane23&fresh=42";
}

std::vector<std::string> waitForJob(const Session& session, const std::string& uuid, int polls) {
    std::vector<std::string> fields;
    for (int i = 0; i < polls; ++i) {
        fields = parseQuery(httpPost(session.queryUrl, queryBody(session, uuid)).body);
        const std::string state = at(fields, 2);
        if (state != "wait" && state != "ttsing") {
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return fields;
}

DecodedAudio decodeMp3(const std::string& bytes) {
    DecodedAudio audio;
    TempDir dir;
    writeFile(dir.path() / "in.mp3", bytes);
    const std::string command = "mpg123 -q -s -m -r 22050 -e s16 '" +
                                (dir.path() / "in.mp3").string() + "' > '" +
                                (dir.path() / "out.raw").string() + "' 2>/dev/null";
    if (std::system(command.c_str()) != 0) {
        audio.error = "mpg123 failed";
        return audio;
    }
    std::ifstream in(dir.path() / "out.raw", std::ios::binary);
    std::vector<char> raw((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const std::size_t samples = raw.size() / 2;
    double sum = 0;
    for (std::size_t i = 0; i < samples; ++i) {
        int16_t sample = 0;
        std::memcpy(&sample, raw.data() + 2 * i, 2);
        sum += static_cast<double>(sample) * sample;
    }
    audio.ok = samples > 0;
    audio.seconds = static_cast<double>(samples) / 22050.0;
    audio.rms = samples > 0 ? std::sqrt(sum / static_cast<double>(samples)) / 32768.0 : 0;
    if (!audio.ok) {
        audio.error = "no samples decoded";
    }
    return audio;
}

bool wellFormedMp3(const std::string& bytes, std::string& why) {
    static constexpr int kRatesV1[] = {0,   32,  40,  48,  56,  64,  80, 96,
                                       112, 128, 160, 192, 224, 256, 320};
    static constexpr int kRatesV2[] = {0,  8,  16, 24,  32,  40,  48, 56,
                                       64, 80, 96, 112, 128, 144, 160};
    static constexpr int kSampleRates[3][3] = {
        {44100, 48000, 32000}, {22050, 24000, 16000}, {11025, 12000, 8000}};
    // The tag: "ID3", version 4.0, flags, a synchsafe size.
    if (bytes.size() < 10 || bytes.compare(0, 5, std::string("ID3\x04\x00", 5)) != 0) {
        why = "no ID3v2.4 tag at the head";
        return false;
    }
    std::size_t offset = 10;
    for (int i = 6; i < 10; ++i) {
        offset += static_cast<std::size_t>(static_cast<uint8_t>(bytes[i]) & 0x7F) << (7 * (9 - i));
    }
    int frames = 0;
    while (offset + 4 <= bytes.size()) {
        const auto b = [&](std::size_t i) { return static_cast<uint8_t>(bytes[offset + i]); };
        if (b(0) != 0xFF || (b(1) & 0xE0) != 0xE0 || ((b(1) >> 1) & 3) != 1) {
            why = "no Layer III frame header at byte " + std::to_string(offset);
            return false;
        }
        const int version = (b(1) >> 3) & 3; // 3 MPEG-1, 2 MPEG-2, 0 MPEG-2.5
        const int bitrateIndex = b(2) >> 4;
        const int rateIndex = (b(2) >> 2) & 3;
        if (version == 1 || bitrateIndex == 0 || bitrateIndex == 15 || rateIndex == 3) {
            why = "bad frame header at byte " + std::to_string(offset);
            return false;
        }
        const int row = version == 3 ? 0 : version == 2 ? 1 : 2;
        const int bitrate = (version == 3 ? kRatesV1 : kRatesV2)[bitrateIndex] * 1000;
        const int sampleRate = kSampleRates[row][rateIndex];
        const std::size_t length = static_cast<std::size_t>(
            (version == 3 ? 144 : 72) * bitrate / sampleRate + ((b(2) >> 1) & 1));
        if (frames == 0) {
            const std::string first = bytes.substr(offset, length);
            if (first.find("Info") == std::string::npos &&
                first.find("Xing") == std::string::npos) {
                why = "the first frame holds no Info or Xing header";
                return false;
            }
        }
        offset += length;
        ++frames;
    }
    if (offset != bytes.size()) {
        why =
            "frames end at byte " + std::to_string(offset) + " of " + std::to_string(bytes.size());
        return false;
    }
    return frames > 1;
}

ServerProcess::ServerProcess(const std::vector<std::string>& args) {
    std::string error;
    EXPECT_TRUE(start(args, error)) << error;
}

int ServerProcess::waitForPort() {
    std::string door;
    int port = 0;
    return waitForListening(door, port) ? port : 0;
}

int ServerProcess::exitStatus() {
    return wait(std::chrono::minutes(1)) ? exitCode() : -1;
}

long ServerProcess::statusKb(const std::string& key) const {
    std::ifstream status("/proc/" + std::to_string(pid()) + "/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind(key, 0) == 0) {
            return std::stol(line.substr(key.size()));
        }
    }
    return -1;
}

} // namespace tolvane::server::test
