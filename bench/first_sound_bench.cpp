// What a reader feels: the time from the add request to "audio ready"
// (100/150) and to "playing" (100/170), for one sentence and 300 and 1000
// characters of English and Chinese, against two reference servers in one
// run: the demo configuration's query_hold and query_hold = 0. Beside them the
// time the server needs to make the speech: add, then a query every 10 ms until
// it is made. FILE and MEMORY download modes; medians of `runs` readings.
// Plays into the default audio device (the PulseAudio null sink in the test
// setup). With `stop`, only the time Stop takes while the first query is
// out, `runs` times, the stops spread over the first second of the query.
//
//   build/default/bench/first_sound_bench [runs] [stop]
#include "Percentile.h"
#include "bench/DemoServer.h"
#include "platform/Text.h"
#include "playback/PlaybackController.h"
#include "protocol/DialogCodes.h"
#include "protocol/InterfacePump.h"
#include "protocol/NetworkVerifyController.h"
#include "protocol/RequestBody.h"
#include "protocol/SpeechJobController.h"
#include "protocol/Transfer.h"
#include "protocol/UserVerifyController.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace tolvane;
using Clock = std::chrono::steady_clock;
using Mode = PlaybackController::Mode;

constexpr const char* kEnglish =
    "Tolvane reads the news aloud for people who would rather listen than read, and this "
    "paragraph is long enough to show how the time to the first sound grows with the text. ";
constexpr const char* kChinese = "托尔瓦内把新闻读给愿意听而不愿意看的人听,这一段文字足够长,"
                                 "可以看出第一个声音出现的时间如何随着文本的长度而增加。";

struct Case {
    const char* name;
    std::u16string text;
    const char* language;
};

// `paragraph` repeated and cut to `units` UTF-16 units, as the client counts.
std::u16string cut(const char* paragraph, std::size_t units) {
    std::u16string text;
    while (text.size() < units) {
        text += platform::utf8ToUtf16(paragraph);
    }
    return text.substr(0, units);
}

double millisSince(Clock::time_point start, Clock::time_point end) {
    return std::chrono::duration<double, std::milli>(end - start).count();
}

using bench::median;

// One server and the demo user's login on it.
struct Peer {
    explicit Peer(const std::vector<bench::DemoServer::Setting>& settings) : server(settings) {}

    bench::DemoServer server;
    std::string addUrl, queryUrl, token;
    int32_t userId = 0;
    int32_t timeMax = 0;
};

struct Reading {
    std::optional<Clock::time_point> ready;
    std::optional<Clock::time_point> playing;
    bool querySent = false;
    bool failed = false;
};

class Bench {
  public:
    Bench() : pump_([this](uint32_t message, uint32_t code, intptr_t) { report(message, code); }) {
        door_.setPort(&pump_);
        verify_.setPort(&pump_);
        job_.setPort(&pump_);
        job_.setPlayback(&playback_);
    }

    bool logIn(Peer& peer) {
        door_.start(peer.server.baseUrl(), 5, 30);
        pump_.pumpUntil([&] { return !door_.running(); }, std::chrono::seconds(10));
        verify_.start(door_.doorNetverify(), "demo@tolvane.local", "demo", "en-US", 5, 30);
        pump_.pumpUntil([&] { return !verify_.running(); }, std::chrono::seconds(10));
        peer.addUrl = door_.doorAdd();
        peer.queryUrl = door_.doorQuery();
        peer.token = verify_.verifytimeid();
        peer.userId = verify_.userId();
        peer.timeMax = verify_.timeWaitMax();
        return !peer.token.empty();
    }

    // Milliseconds from Play Now to audio ready and to playing; nullopt when
    // the reading failed.
    std::optional<std::pair<double, double>> read(const Peer& peer, const Case& text, Mode mode) {
        playback_.setDownloadMode(mode);
        reading_ = {};
        const auto start = Clock::now();
        startReading(peer, text);
        pump_.pumpUntil([&] { return reading_.playing || reading_.failed; },
                        std::chrono::seconds(60));
        job_.stop();
        if (!reading_.ready || !reading_.playing) {
            return std::nullopt;
        }
        return std::make_pair(millisSince(start, *reading_.ready),
                              millisSince(start, *reading_.playing));
    }

    // Milliseconds Stop takes `into` the first query, while the speech is
    // being made: the query held by one server, answered at once by the
    // other. Nullopt when the speech was made before the stop or the reading
    // failed.
    std::optional<double> stopTime(const Peer& peer, const Case& text,
                                   std::chrono::milliseconds into) {
        reading_ = {};
        startReading(peer, text);
        pump_.pumpUntil([&] { return reading_.querySent; }, std::chrono::seconds(10));
        pump_.pumpUntil([] { return false; }, into);
        const bool counts = reading_.querySent && !reading_.ready && !reading_.failed;
        const auto start = Clock::now();
        job_.stop();
        const double took = millisSince(start, Clock::now());
        return counts ? std::optional<double>(took) : std::nullopt;
    }

  private:
    void startReading(const Peer& peer, const Case& text) {
        job_.setLanguage(text.language);
        job_.setService(peer.addUrl, peer.queryUrl, 5, 30);
        SpeechJobController::Job request;
        request.text = text.text;
        request.userId = peer.userId;
        request.timeMax = peer.timeMax;
        request.verifytimeid = peer.token;
        job_.start(request);
    }

    void report(uint32_t message, uint32_t code) {
        if (message != dialog::number(dialog::Message::SpeechJob)) {
            return;
        }
        if (code == dialog::number(dialog::JobCode::AudioReady)) {
            reading_.ready = Clock::now();
        } else if (code == dialog::number(dialog::JobCode::PlaybackPlaying) && !reading_.playing) {
            reading_.playing = Clock::now();
        } else if (code == dialog::number(dialog::JobCode::QuerySent)) {
            reading_.querySent = true;
        } else if (code == dialog::number(dialog::JobCode::Failed)) {
            reading_.failed = true;
        }
    }

    Reading reading_;
    InterfacePump pump_;
    PlaybackController playback_;
    NetworkVerifyController door_;
    UserVerifyController verify_;
    SpeechJobController job_;
};

// Milliseconds from the add request until a query finds the speech made,
// asking every 10 ms; negative when the job fails. The add names the voice the
// client names by default.
double makeTime(const Peer& peer, const Case& text) {
    Transfer transfer;
    const auto start = Clock::now();
    const TransferResult added = transfer.post(peer.addUrl,
                                               RequestBody()
                                                   .number("user_id", peer.userId)
                                                   .text("language", text.language)
                                                   .text("text", platform::utf16ToUtf8(text.text))
                                                   .text("voice", "VW Lily")
                                                   .text("verifytimeid", peer.token)
                                                   .str(),
                                               5, 30);
    const std::size_t at = added.reply.find("uuid=");
    if (at == std::string::npos) {
        return -1;
    }
    const std::string uuid = added.reply.substr(at + 5, added.reply.find('&', at) - at - 5);
    const std::string query = RequestBody()
                                  .number("user_id", peer.userId)
                                  .text("uuid", uuid)
                                  .text("verifytimeid", peer.token)
                                  .str();
    for (;;) {
        const std::string reply = transfer.post(peer.queryUrl, query, 5, 30).reply;
        if (reply.find("tts_status=ttsed") != std::string::npos) {
            return millisSince(start, Clock::now());
        }
        if (reply.find("tts_status=wait") == std::string::npos &&
            reply.find("tts_status=ttsing") == std::string::npos) {
            return -1;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

// Stop while the longest case's first query is out, `runs` times at points
// spread over the query's first second.
void reportStops(Bench& bench, const std::vector<std::unique_ptr<Peer>>& peers, const Case& text,
                 int runs) {
    std::vector<double> stops[2];
    for (int run = 0; run < runs; ++run) {
        const std::chrono::milliseconds into(50 + run * 950 / runs);
        for (int p = 0; p < 2; ++p) {
            if (const auto took = bench.stopTime(*peers[p], text, into)) {
                stops[p].push_back(*took);
            }
        }
    }
    const auto most = [](const std::vector<double>& values) {
        return values.empty() ? 0 : *std::max_element(values.begin(), values.end());
    };
    std::printf("Stop 50-1000 ms into the first query of %s, before the speech is made: "
                "hold median %.1f ms (max %.0f, %zu stops), at once median %.1f ms "
                "(max %.0f, %zu stops)\n",
                text.name, median(stops[0]), most(stops[0]), stops[0].size(), median(stops[1]),
                most(stops[1]), stops[1].size());
}

} // namespace

int main(int argc, char** argv) {
    const int runs = argc > 1 ? std::max(1, std::atoi(argv[1])) : 3;
    const bool stopsOnly = argc > 2 && std::string(argv[2]) == "stop";
    // Index 0: the demo configuration's hold; 1: queries answered at once.
    std::vector<std::unique_ptr<Peer>> peers;
    peers.push_back(std::make_unique<Peer>(std::vector<bench::DemoServer::Setting>{}));
    peers.push_back(std::make_unique<Peer>(
        std::vector<bench::DemoServer::Setting>{{"server", "query_hold", "0"}}));
    Bench bench;
    for (auto& peer : peers) {
        if (peer->server.baseUrl().empty() || !bench.logIn(*peer)) {
            std::fprintf(stderr, "first_sound_bench: a tolvane-server did not start or log in\n");
            return 1;
        }
    }
    const std::vector<Case> cases = {
        {"en sentence", u"The weather is fine today, so we will walk to the market.", "en-US"},
        {"en 300", cut(kEnglish, 300), "en-US"},
        {"en 1000", cut(kEnglish, 1000), "en-US"},
        {"zh sentence", u"今天天气很好,我们走路去市场。", "zh-CN"},
        {"zh 300", cut(kChinese, 300), "zh-CN"},
        {"zh 1000", cut(kChinese, 1000), "zh-CN"},
    };

    if (stopsOnly) {
        reportStops(bench, peers, cases.back(), runs);
        return 0;
    }
    std::printf("Play Now -> audio ready (100/150) and -> playing (100/170), ms, median of %d;\n"
                "hold: the demo configuration's query_hold, at once: query_hold = 0\n\n",
                runs);
    std::printf("%-12s %6s | %-16s | %-16s | %-16s | %s\n", "", "make", "ready hold/once",
                "FILE play h/o", "MEMORY play h/o", "ready(hold) - make");
    bool allNear = true;
    for (const Case& text : cases) {
        std::vector<double> make;
        std::vector<double> ready[2];
        std::vector<double> playing[2][2]; // [mode][peer]
        for (int run = 0; run < runs; ++run) {
            make.push_back(makeTime(*peers[1], text));
            for (const Mode mode : {Mode::kFile, Mode::kMemory}) {
                const int m = mode == Mode::kFile ? 0 : 1;
                for (int p = 0; p < 2; ++p) {
                    const auto times = bench.read(*peers[p], text, mode);
                    if (!times || make.back() < 0) {
                        std::fprintf(stderr, "first_sound_bench: %s did not play\n", text.name);
                        return 1;
                    }
                    ready[p].push_back(times->first);
                    playing[m][p].push_back(times->second);
                }
            }
        }
        const double late = median(ready[0]) - median(make);
        allNear = allNear && late <= 100;
        std::printf("%-12s %6.0f | %7.0f %8.0f | %7.0f %8.0f | %7.0f %8.0f | %+.0f\n", text.name,
                    median(make), median(ready[0]), median(ready[1]), median(playing[0][0]),
                    median(playing[0][1]), median(playing[1][0]), median(playing[1][1]), late);
    }
    std::printf("\nwith the hold, every case ready within 100 ms of its make time: %s\n",
                allNear ? "yes" : "no");
    reportStops(bench, peers, cases.back(), runs);
    return 0;
}
