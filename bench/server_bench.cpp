// Speech server benchmark, one command: synthesis and encoding throughput
// (seconds of speech per second of CPU), then the latency of each request
// while fifty clients at once read a text each through the whole protocol.
// Then the same clients reading for half a minute beside idle and dripping
// connections, then two 300 MB bodies and the process's peak memory; and
// again beside ten news requests for a feed whose source drips. Last, with a
// redis-server of its own: the request latencies with sessions and jobs in
// Redis against the memory store, and readings per second of one `all`
// process against one web node and two worker processes over Redis.
//   server_bench [clients] [poll-ms] [seconds] [synthesis|load|hostile|slow-feed|store|cluster]
#include "bench/DemoServer.h"
#include "server/Mp3Encoder.h"
#include "server/ServerApp.h"
#include "server/Synthesizer.h"
#include "tests/support/RedisServer.h"

#include <curl/curl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fstream>
#include <latch>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

using namespace tolvane::server;
using Clock = std::chrono::steady_clock;

namespace {

double cpuSeconds() {
    timespec ts{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

const char* const kTexts[] = {
    "The quick brown fox jumps over the lazy dog near the quiet river bank.",
    "Please read this short sentence aloud for me right now, and then stop.",
    "今天天气很好，我们一起去公园散步，然后回家吃饭。",
    "Tolvane reads news items aloud one after another, title first, then the text.",
};

void benchSynthesis() {
    Synthesizer& synthesizer = Synthesizer::instance();
    std::string error;
    if (!synthesizer.initialize(error)) {
        std::fprintf(stderr, "%s\n", error.c_str());
        return;
    }
    const std::atomic<bool> cancel{false};
    const Synthesizer::Voice voice{"f2", 175, 100, 0};
    double speech = 0;
    double synthCpu = 0;
    double encodeCpu = 0;
    for (int round = 0; round < 10; ++round) {
        for (const char* text : kTexts) {
            std::vector<int16_t> pcm;
            double start = cpuSeconds();
            synthesizer.speak(text, voice, 1u << 30, cancel, pcm, error);
            synthCpu += cpuSeconds() - start;
            speech += static_cast<double>(pcm.size()) / synthesizer.sampleRate();
            std::vector<uint8_t> mp3;
            start = cpuSeconds();
            Mp3Encoder::encode(pcm, {synthesizer.sampleRate(), 22050, 64, -1}, mp3, error);
            encodeCpu += cpuSeconds() - start;
        }
    }
    std::printf("synthesis: %.1f s of speech\n", speech);
    std::printf("  espeak-ng      %8.1f s speech / CPU s\n", speech / synthCpu);
    std::printf("  LAME 64 kbit/s %8.1f s speech / CPU s\n", speech / encodeCpu);
    std::printf("  both           %8.1f s speech / CPU s\n", speech / (synthCpu + encodeCpu));
}

std::size_t collect(char* data, std::size_t size, std::size_t count, void* user) {
    static_cast<std::string*>(user)->append(data, size * count);
    return size * count;
}

// One request; its reply body and how long it took.
std::string post(const std::string& url, const std::string& body, double& seconds,
                 bool get = false) {
    CURL* curl = curl_easy_init();
    std::string reply;
    curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
    if (!get) {
        curl_easy_setopt(curl, CURLOPT_POSTFIELDS, body.c_str());
    }
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, &collect);
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, &reply);
    curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
    const auto start = Clock::now();
    curl_easy_perform(curl);
    seconds = std::chrono::duration<double>(Clock::now() - start).count();
    curl_easy_cleanup(curl);
    return reply;
}

std::string field(const std::string& reply, const std::string& key) {
    const std::size_t at = reply.find("&" + key + "=");
    if (at == std::string::npos) {
        return {};
    }
    const std::size_t start = at + key.size() + 2;
    return reply.substr(start, reply.find('&', start) - start);
}

class Latencies {
  public:
    void add(const std::string& kind, double seconds) {
        const std::lock_guard lock(mutex_);
        samples_[kind].push_back(seconds * 1000);
    }
    void print() {
        std::printf("  %-8s %7s %9s %9s %9s\n", "request", "count", "p50 ms", "p99 ms", "max ms");
        for (auto& [kind, values] : samples_) {
            std::sort(values.begin(), values.end());
            const auto pick = [&](double q) {
                return values[std::min(values.size() - 1,
                                       static_cast<std::size_t>(q * values.size()))];
            };
            std::printf("  %-8s %7zu %9.2f %9.2f %9.2f\n", kind.c_str(), values.size(), pick(0.5),
                        pick(0.99), values.back());
        }
    }

  private:
    std::mutex mutex_;
    std::map<std::string, std::vector<double>> samples_;
};

// The service addresses the door names, and a session.
struct Client {
    std::string verify, add, query, token;
};

Client logIn(const std::string& door, Latencies& latencies) {
    Client client;
    double seconds = 0;
    const std::string doorReply = post(door, "fresh=1", seconds);
    latencies.add("door", seconds);
    client.verify = field(doorReply, "door_netverify");
    client.add = field(doorReply, "door_add");
    client.query = field(doorReply, "door_query");
    const std::string login =
        post(client.verify,
             "user_email=bench@example.test&pass_md5=fe01ce2a7fbac8fafaed7c982a04e229", seconds);
    latencies.add("login", seconds);
    client.token = field(login, "verifytimeid");
    return client;
}

// One text through add, query until done, and the download; false when the
// job failed or a request went unanswered.
// The query body and the audio address of a finished job.
struct FinishedJob {
    std::string query;
    std::string audio;
};

bool readAloud(const Client& client, const std::string& text, int pollMs, Latencies& latencies,
               FinishedJob* finished = nullptr) {
    double seconds = 0;
    const std::string added =
        post(client.add, "user_id=1&text=" + text + "&verifytimeid=" + client.token, seconds);
    latencies.add("add", seconds);
    const std::string query =
        "user_id=1&uuid=" + field(added, "uuid") + "&verifytimeid=" + client.token;
    for (int poll = 0; poll < 10000; ++poll) {
        const std::string reply = post(client.query, query, seconds);
        latencies.add("query", seconds);
        const std::string state = field(reply, "tts_status");
        if (state == "ttsed") {
            const std::string audio = post(field(reply, "http_file"), "", seconds, true);
            latencies.add("get", seconds);
            if (finished) {
                *finished = {query, field(reply, "http_file")};
            }
            return !audio.empty();
        }
        if (state != "wait" && state != "ttsing") {
            std::fprintf(stderr, "job failed: %s\n", reply.c_str());
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(pollMs));
    }
    return false;
}

ServerConfig benchConfig(int clients) {
    ServerConfig config;
    config.port = 0;
    config.logRequests = false;
    // Every client logs in to the one account and keeps its session and a job, and
    // connects from the one address.
    config.sessionsPerUser = clients;
    config.jobsPerUser = clients;
    config.connectionsPerAddress = 4 * clients + 16;
    UserAccount user;
    user.email = "bench@example.test";
    user.passwordMd5 = "fe01ce2a7fbac8fafaed7c982a04e229";
    user.userId = 1;
    config.users.push_back(user);
    return config;
}

// Starts `app`; false, with the reason on stderr, when it cannot run.
bool startServer(ServerApp& app) {
    std::string error;
    if (!app.start(error)) {
        std::fprintf(stderr, "%s\n", error.c_str());
        return false;
    }
    return true;
}

std::string base(const ServerApp& app) {
    return "http://127.0.0.1:" + std::to_string(app.port());
}

// Each of `clients` at once logs in and reads `readings` texts one after
// another; the latency of each kind of request. Then, once all are done and
// no speech is being made, each asks `quietRounds` times about its last job
// and downloads it.
void benchLoad(int clients, int pollMs, const ServerConfig& config, const char* label = "load",
               int readings = 1, int quietRounds = 0) {
    ServerApp app(config);
    if (!startServer(app)) {
        return;
    }
    const std::string door = base(app) + "/tolvane/tolvanedoor.php";
    Latencies latencies;
    Latencies quiet;
    std::atomic<int> done{0};
    std::latch loaded(clients);
    const auto started = Clock::now();
    std::vector<std::thread> threads;
    for (int i = 0; i < clients; ++i) {
        threads.emplace_back([&, i] {
            const Client client = logIn(door, latencies);
            FinishedJob last;
            for (int n = 0; n < readings; ++n) {
                done += readAloud(client, kTexts[(i + n) % 4], pollMs, latencies, &last) ? 1 : 0;
            }
            loaded.arrive_and_wait();
            double seconds = 0;
            for (int round = 0; round < quietRounds && !last.audio.empty(); ++round) {
                post(client.query, last.query, seconds);
                quiet.add("query", seconds);
                post(last.audio, "", seconds, true);
                quiet.add("get", seconds);
            }
        });
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
    const double wall = std::chrono::duration<double>(Clock::now() - started).count();
    std::printf("%s: %d clients at once, %d workers, query every %d ms: %d of %d jobs in %.2f s\n",
                label, clients, config.workers, pollMs, done.load(), clients * readings, wall);
    latencies.print();
    if (quietRounds > 0) {
        std::printf(" then %d query and get rounds a client, no speech being made:\n", quietRounds);
        quiet.print();
    }
    app.stop();
}

int connectLoopback(int port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (fd >= 0 &&
        ::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

long peakResidentKb() {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("VmHWM:", 0) == 0) {
            return std::stol(line.substr(6));
        }
    }
    return -1;
}

// A body of `bytes` made as it is sent, chunked or with its length announced;
// the HTTP status of the answer.
long postHuge(const std::string& url, std::uint64_t bytes, bool chunked) {
    std::uint64_t left = bytes;
    const auto read = +[](char* buffer, size_t size, size_t count, void* data) -> size_t {
        auto& remaining = *static_cast<std::uint64_t*>(data);
        const std::size_t room = std::min<std::uint64_t>(size * count, remaining);
        std::memset(buffer, 'a', room);
        remaining -= room;
        return room;
    };
    CURL* curl = curl_easy_init();
    curl_slist* headers =
        chunked ? curl_slist_append(nullptr, "Transfer-Encoding: chunked") : nullptr;
    std::string reply;
    curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
    curl_easy_setopt(curl, CURLOPT_POST, 1L);
    curl_easy_setopt(curl, CURLOPT_HTTPHEADER, headers);
    if (!chunked) {
        curl_easy_setopt(curl, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(bytes));
    }
    curl_easy_setopt(curl, CURLOPT_READFUNCTION, read);
    curl_easy_setopt(curl, CURLOPT_READDATA, &left);
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, &collect);
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, &reply);
    curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
    long status = 0;
    if (curl_easy_perform(curl) == CURLE_OK) {
        curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &status);
    }
    curl_slist_free_all(headers);
    curl_easy_cleanup(curl);
    return status;
}

// Real clients reading one text after another while 200 connections sit idle
// and 50 drip a byte a second; then bodies of 300 MB, chunked and announced.
void benchHostile(int clients, int pollMs, int seconds) {
    constexpr int kIdle = 200;
    constexpr int kDripping = 50;
    ServerConfig config = benchConfig(clients);
    config.connectionsPerAddress += kIdle + kDripping;
    config.requestTimeoutSeconds = seconds + 60;
    config.idleTimeoutSeconds = seconds + 60;
    ServerApp app(config);
    if (!startServer(app)) {
        return;
    }
    const std::string url = base(app);
    std::vector<int> hostile;
    for (int i = 0; i < kIdle + kDripping; ++i) {
        hostile.push_back(connectLoopback(app.port()));
    }
    std::atomic<bool> running{true};
    std::thread dripper([&] {
        const std::string request =
            "POST /tolvane/add HTTP/1.1\r\nHost: x\r\nContent-Length: 99\r\n\r\n";
        for (std::size_t sent = 0; running.load(); ++sent) {
            for (int i = kIdle; i < kIdle + kDripping; ++i) {
                ::send(hostile[static_cast<std::size_t>(i)], &request[sent % request.size()], 1,
                       MSG_NOSIGNAL);
            }
            std::this_thread::sleep_for(std::chrono::seconds(1));
        }
    });
    Latencies latencies;
    std::atomic<int> done{0};
    std::atomic<int> failed{0};
    const auto until = Clock::now() + std::chrono::seconds(seconds);
    std::vector<std::thread> threads;
    for (int i = 0; i < clients; ++i) {
        threads.emplace_back([&, i] {
            const Client client = logIn(url + "/tolvane/tolvanedoor.php", latencies);
            while (Clock::now() < until) {
                (readAloud(client, kTexts[i % 4], pollMs, latencies) ? done : failed) += 1;
            }
        });
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
    running = false;
    dripper.join();
    std::printf("hostile: %d clients for %d s beside %d idle and %d dripping connections: "
                "%d readings, %d failed\n",
                clients, seconds, kIdle, kDripping, done.load(), failed.load());
    latencies.print();
    for (int fd : hostile) {
        ::close(fd);
    }
    const long before = peakResidentKb();
    const long chunked = postHuge(url + "/tolvane/add", 300ull << 20, true);
    const long announced = postHuge(url + "/tolvane/add", 300ull << 20, false);
    std::printf("300 MB bodies: chunked %ld, announced %ld; peak RSS %ld kB before, %ld kB after "
                "(this process: server and clients)\n",
                chunked, announced, before, peakResidentKb());
    app.stop();
}

// A feed source on loopback that answers every request with a feed sent a
// byte a second, until it is destroyed.
class DrippingSource {
  public:
    DrippingSource() : fd_(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        ::bind(fd_, reinterpret_cast<const sockaddr*>(&address), sizeof address);
        ::listen(fd_, 16);
        ::getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &length);
        port_ = ntohs(address.sin_port);
        accepter_ = std::thread([this] {
            for (int peer; (peer = ::accept(fd_, nullptr, nullptr)) >= 0;) {
                drippers_.emplace_back([this, peer] { drip(peer); });
            }
        });
    }
    ~DrippingSource() {
        running_ = false;
        ::shutdown(fd_, SHUT_RDWR);
        accepter_.join();
        for (std::thread& dripper : drippers_) {
            dripper.join();
        }
        ::close(fd_);
    }
    std::string url() const { return "http://127.0.0.1:" + std::to_string(port_) + "/feed.xml"; }

  private:
    void drip(int peer) {
        const std::string feed = "<rss><channel><item><title>Late</title></item></channel></rss>";
        const std::string head = "HTTP/1.1 200 OK\r\nContent-Type: application/rss+xml\r\n"
                                 "Content-Length: " +
                                 std::to_string(feed.size()) + "\r\n\r\n";
        ::send(peer, head.data(), head.size(), MSG_NOSIGNAL);
        for (std::size_t sent = 0; running_.load() && sent < feed.size(); ++sent) {
            if (::send(peer, &feed[sent], 1, MSG_NOSIGNAL) != 1) {
                break;
            }
            std::this_thread::sleep_for(std::chrono::seconds(1));
        }
        ::close(peer);
    }

    int fd_;
    int port_ = 0;
    std::atomic<bool> running_{true};
    std::thread accepter_;
    std::vector<std::thread> drippers_; // accepter_'s only until it is joined
};

// Ten news requests for a feed whose source drips a byte a second, beside the
// clients reading for `seconds`: how long the news requests took, and every
// other request's latency.
void benchSlowFeed(int clients, int pollMs, int seconds) {
    constexpr int kNews = 10;
    DrippingSource source;
    ServerConfig config = benchConfig(clients);
    config.feedTimeoutSeconds = 10;
    config.feeds.push_back(FeedSource{1, "Drip", 0, source.url(), true});
    config.users[0].feeds = {1};
    ServerApp app(config);
    if (!startServer(app)) {
        return;
    }
    const std::string door = base(app) + "/tolvane/tolvanedoor.php";
    Latencies latencies;
    Latencies news;
    std::atomic<int> failedNews{0};
    std::atomic<int> done{0};
    std::atomic<int> failed{0};
    const Client reader = logIn(door, latencies);
    const std::string newsUrl = base(app) + "/tolvane/news";
    const auto until = Clock::now() + std::chrono::seconds(seconds);
    std::vector<std::thread> threads;
    for (int i = 0; i < kNews; ++i) {
        threads.emplace_back([&] {
            double took = 0;
            const std::string reply =
                post(newsUrl, "rss_id=1&verifytimeid=" + reader.token + "&rssstart=0", took);
            news.add("news", took);
            failedNews += field(reply, "errcode") == "402" ? 1 : 0;
        });
    }
    for (int i = 0; i < clients; ++i) {
        threads.emplace_back([&, i] {
            const Client client = logIn(door, latencies);
            while (Clock::now() < until) {
                (readAloud(client, kTexts[i % 4], pollMs, latencies) ? done : failed) += 1;
            }
        });
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
    std::printf("slow feed: %d news requests for a feed dripping a byte a second "
                "(feed_timeout %d s), %d answered with the feed failure; beside them %d clients "
                "for %d s: %d readings, %d failed\n",
                kNews, config.feedTimeoutSeconds, failedNews.load(), clients, seconds, done.load(),
                failed.load());
    news.print();
    latencies.print();
    app.stop();
}

// The store's cost: the same load with sessions, jobs and audio in memory and
// in Redis (one process, role all), 25 readings a client, queries answered
// at once so that each one is a read of the store; then queries and
// downloads alone, where no synthesis competes for the cores.
void benchStore(int clients, int pollMs, tolvane::test::RedisServer& redis) {
    ServerConfig config = benchConfig(clients);
    config.queryHoldMillis = 0;
    benchLoad(clients, pollMs, config, "store memory", 25, 50);
    config.store = StoreBackend::Redis;
    config.redis = redis.address();
    config.keyPrefix = "bench-store:";
    benchLoad(clients, pollMs, config, "store redis", 25, 50);
}

// Sentences long enough that making the speech, not HTTP or the store,
// bounds a reading.
const char* const kLongTexts[] = {
    "The committee met on Tuesday to review the plans for the new library, and after a long "
    "discussion about the budget, the opening hours and the number of reading rooms, it agreed "
    "to ask the architects for a second proposal before the end of the month.",
    "Rain is expected across the north of the country tomorrow morning, clearing slowly from the "
    "west during the afternoon; temperatures will stay a little below the seasonal average, and "
    "the wind will ease by the evening along the coast.",
    "今天上午，市图书馆举行了新馆开放仪式，许多市民一早就来到现场排队参观。新馆共有五层，"
    "设有儿童阅读区、电子阅览室和多个自习室，每天开放十二个小时。",
};

// What one set of servers did over the rounds of benchCluster.
struct Throughput {
    int done = 0;
    int failed = 0;
    double wall = 0;
    double cpu = 0; // the servers' CPU seconds

    void print(const char* name) const {
        std::printf(" %s: %d readings (%d failed) in %.1f s: %.2f readings/s; servers' CPU "
                    "%.1f s (%.2f cores, %.1f ms a reading)\n",
                    name, done, failed, wall, done / wall, cpu, cpu / wall,
                    done > 0 ? 1000 * cpu / done : 0.0);
    }
};

// `clients` at once reading the long texts one after another through `door`
// for `seconds`, added to `result` with the CPU the `servers` used meanwhile.
void readFor(const std::string& door, int clients, int seconds, int pollMs,
             const std::vector<const tolvane::bench::DemoServer*>& servers, Throughput& result) {
    const auto serverCpu = [&] {
        double total = 0;
        for (const auto* server : servers) {
            total += server->cpuSeconds();
        }
        return total;
    };
    const double cpuBefore = serverCpu();
    Latencies latencies;
    std::atomic<int> done{0};
    std::atomic<int> failed{0};
    const auto started = Clock::now();
    const auto until = started + std::chrono::seconds(seconds);
    std::vector<std::thread> threads;
    for (int i = 0; i < clients; ++i) {
        threads.emplace_back([&, i] {
            const Client client = logIn(door, latencies);
            for (int n = i; Clock::now() < until; ++n) {
                (readAloud(client, kLongTexts[n % 3], pollMs, latencies) ? done : failed) += 1;
            }
        });
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
    result.done += done;
    result.failed += failed;
    result.wall += std::chrono::duration<double>(Clock::now() - started).count();
    result.cpu += serverCpu() - cpuBefore;
}

// One `all` process (memory store, the demo configuration's two synthesis
// threads under its one speech lock) against one web node and two worker
// processes of one synthesis thread each over Redis, the same clients on
// each. The two take turns in rounds of 5 s, so that other load on the
// machine falls on both alike.
void benchCluster(int clients, int pollMs, int seconds, tolvane::test::RedisServer& redis) {
    using tolvane::bench::DemoServer;
    std::vector<DemoServer::Setting> settings = {
        {"user demo", "email", "bench@example.test"},
        {"limits", "jobs_per_user", std::to_string(2 * clients)},
        {"limits", "sessions_per_user", std::to_string(2 * clients)}};
    const DemoServer all(settings);
    settings.push_back({"store", "backend", "redis"});
    settings.push_back({"store", "redis", redis.address()});
    settings.push_back({"store", "key_prefix", "bench-cluster:"});
    const DemoServer web(settings, {"--role", "web"});
    const DemoServer first(settings, {"--role", "worker", "--workers", "1"});
    const DemoServer second(settings, {"--role", "worker", "--workers", "1"});
    if (all.baseUrl().empty() || web.baseUrl().empty() || !first.ready() || !second.ready()) {
        std::fprintf(stderr, "the all process, the web node or a worker did not start\n");
        return;
    }
    constexpr int kRound = 5;
    Throughput single;
    Throughput several;
    for (int round = 0; round < std::max(1, seconds / kRound); ++round) {
        readFor(all.baseUrl(), clients, kRound, pollMs, {&all}, single);
        readFor(web.baseUrl(), clients, kRound, pollMs, {&web, &first, &second}, several);
    }
    std::printf("cluster: %d clients reading long texts, rounds of %d s taking turns\n", clients,
                kRound);
    single.print("one all process (memory store)");
    several.print("one web node and two workers (Redis store)");
    std::printf(" ratio: %.2fx\n", single.done > 0
                                       ? (several.done / several.wall) / (single.done / single.wall)
                                       : 0.0);
}

} // namespace

int main(int argc, char** argv) {
    const int clients = argc > 1 ? std::max(1, std::atoi(argv[1])) : 50;
    const int pollMs = argc > 2 ? std::max(1, std::atoi(argv[2])) : 250;
    const int hostileSeconds = argc > 3 ? std::max(1, std::atoi(argv[3])) : 30;
    const std::string part = argc > 4 ? argv[4] : "";
    const auto runs = [&](const char* name) { return part.empty() || part == name; };
    curl_global_init(CURL_GLOBAL_DEFAULT);
    if (runs("synthesis")) {
        benchSynthesis();
    }
    if (runs("load")) {
        benchLoad(clients, pollMs, benchConfig(clients));
    }
    if (runs("hostile")) {
        benchHostile(clients, pollMs, hostileSeconds);
    }
    if (runs("slow-feed")) {
        benchSlowFeed(clients, pollMs, hostileSeconds);
    }
    if (runs("store") || runs("cluster")) {
        tolvane::test::RedisServer redis;
        std::string error;
        if (!redis.start(error)) {
            std::fprintf(stderr, "no redis-server: %s\n", error.c_str());
        } else {
            if (runs("store")) {
                benchStore(clients, pollMs, redis);
            }
            if (runs("cluster")) {
                // Enough clients to keep every synthesis thread busy.
                benchCluster(std::min(clients, 8), pollMs, hostileSeconds, redis);
            }
        }
    }
    curl_global_cleanup();
    return 0;
}
