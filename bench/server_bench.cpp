// Speech server benchmark, one command: synthesis and encoding throughput
// (seconds of speech per second of CPU), then the latency of each request
// while fifty clients at once read a text each through the whole protocol.
//   server_bench [clients] [poll-ms]
#include "server/Mp3Encoder.h"
#include "server/ServerApp.h"
#include "server/Synthesizer.h"

#include <curl/curl.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <ctime>
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
    Synthesizer::Voice english{"en-us+f2", 175, 100, 0};
    Synthesizer::Voice mandarin{"cmn+f2", 175, 100, 0};
    double speech = 0;
    double synthCpu = 0;
    double encodeCpu = 0;
    for (int round = 0; round < 10; ++round) {
        for (const char* text : kTexts) {
            std::vector<int16_t> pcm;
            double start = cpuSeconds();
            synthesizer.speak(text, text[0] & 0x80 ? mandarin : english, 1u << 30, cancel, pcm,
                              error);
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

void benchLoad(int clients, int pollMs) {
    ServerConfig config;
    config.port = 0;
    config.logRequests = false;
    // Every client logs in to the one account and keeps its session.
    config.sessionsPerUser = clients;
    UserAccount user;
    user.email = "bench@example.test";
    user.passwordMd5 = "fe01ce2a7fbac8fafaed7c982a04e229";
    user.userId = 1;
    config.users.push_back(user);
    ServerApp app(config);
    std::string error;
    if (!app.start(error)) {
        std::fprintf(stderr, "%s\n", error.c_str());
        return;
    }
    const std::string door =
        "http://127.0.0.1:" + std::to_string(app.port()) + "/tolvane/tolvanedoor.php";
    Latencies latencies;
    std::atomic<int> done{0};
    const auto started = Clock::now();
    std::vector<std::thread> threads;
    for (int i = 0; i < clients; ++i) {
        threads.emplace_back([&, i] {
            double seconds = 0;
            const std::string doorReply = post(door, "fresh=1", seconds);
            latencies.add("door", seconds);
            const std::string login = post(
                field(doorReply, "door_netverify"),
                "user_email=bench@example.test&pass_md5=fe01ce2a7fbac8fafaed7c982a04e229", seconds);
            latencies.add("login", seconds);
            const std::string token = field(login, "verifytimeid");
            const std::string added = post(
                field(doorReply, "door_add"),
                "user_id=1&text=" + std::string(kTexts[i % 4]) + "&verifytimeid=" + token, seconds);
            latencies.add("add", seconds);
            const std::string query =
                "user_id=1&uuid=" + field(added, "uuid") + "&verifytimeid=" + token;
            for (int poll = 0; poll < 10000; ++poll) {
                const std::string reply = post(field(doorReply, "door_query"), query, seconds);
                latencies.add("query", seconds);
                const std::string state = field(reply, "tts_status");
                if (state == "ttsed") {
                    post(field(reply, "http_file"), "", seconds, true);
                    latencies.add("get", seconds);
                    ++done;
                    break;
                }
                if (state != "wait" && state != "ttsing") {
                    std::fprintf(stderr, "job failed: %s\n", reply.c_str());
                    break;
                }
                std::this_thread::sleep_for(std::chrono::milliseconds(pollMs));
            }
        });
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
    const double wall = std::chrono::duration<double>(Clock::now() - started).count();
    std::printf(
        "load: %d clients at once, %d workers, query every %d ms: %d of %d jobs in %.2f s\n",
        clients, config.workers, pollMs, done.load(), clients, wall);
    latencies.print();
    app.stop();
}

} // namespace

int main(int argc, char** argv) {
    const int clients = argc > 1 ? std::max(1, std::atoi(argv[1])) : 50;
    const int pollMs = argc > 2 ? std::max(1, std::atoi(argv[2])) : 250;
    curl_global_init(CURL_GLOBAL_DEFAULT);
    benchSynthesis();
    benchLoad(clients, pollMs);
    curl_global_cleanup();
    return 0;
}
