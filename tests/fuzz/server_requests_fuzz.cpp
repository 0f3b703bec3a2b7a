// Arbitrary bodies for every request of the speech server's protocol. The
// first byte picks the request; in the rest "@T" stands for a live
// verifytimeid and "@U" for a waiting job's uuid, so the fuzzer reaches past
// the session checks. No worker synthesises: jobs only queue (and the queue
// fills). Every answer must keep the reply grammar the client scans.
#include "server/FeedCache.h"
#include "server/ProtocolService.h"
#include "server/ServerConfig.h"
#include "server/SessionStore.h"
#include "server/SpeechJobs.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <future>
#include <string>

namespace {

using namespace tolvane::server;
namespace fs = std::filesystem;

struct World {
    World() {
        std::string pattern = (fs::temp_directory_path() / "tolvane-fuzz-XXXXXX").string();
        if (::mkdtemp(pattern.data()) == nullptr) {
            std::abort();
        }
        dir = pattern;
        std::ofstream(dir / "news.xml")
            << "<rss><channel><item><title>A &amp; B</title><description>&lt;p&gt;x=1&lt;/p&gt;"
               "</description></item><item><title>title1</title></item></channel></rss>";
        UserAccount user;
        user.email = "fuzz@example.test";
        user.passwordMd5 = "fe01ce2a7fbac8fafaed7c982a04e229";
        user.userId = 1;
        user.maxTextNumber = 200;
        user.feeds = {1};
        config.users.push_back(user);
        config.feeds.push_back(FeedSource{1, "News", 0, (dir / "news.xml").string(), false});
        config.newsBatch = 2;
        SpeechJobs::Settings settings;
        settings.workers = 0;
        settings.queueSize = 4;
        jobs = std::make_unique<SpeechJobs>(settings);
        std::string error;
        if (!jobs->start(error)) {
            std::fprintf(stderr, "%s\n", error.c_str());
            std::abort();
        }
        token = sessions.open(1).value_or("");
        SpeechJobs::Request request;
        request.userId = 1;
        request.text = "waiting";
        jobs->add(request, uuid);
        service = std::make_unique<ProtocolService>(config, sessions, *jobs, feeds);
    }
    ~World() {
        jobs->stop();
        std::error_code ec;
        fs::remove_all(dir, ec);
    }

    fs::path dir;
    ServerConfig config;
    SessionStore sessions{std::chrono::seconds(3600), 16};
    FeedCache feeds{FeedCache::Settings{}};
    std::unique_ptr<SpeechJobs> jobs;
    std::unique_ptr<ProtocolService> service;
    std::string token;
    std::string uuid;
};

void replaceAll(std::string& text, const std::string& from, const std::string& to) {
    for (std::size_t at = text.find(from); at != std::string::npos;
         at = text.find(from, at + to.size())) {
        text.replace(at, from.size(), to);
    }
}

// The reply is "item=..." followed by "&key=value" pairs with non-empty values
// free of '&' (the door reply ends with one '&' more).
void checkGrammar(const std::string& reply) {
    if (reply.rfind("item=tolvane", 0) != 0) {
        std::abort();
    }
    std::size_t start = 0;
    while (start < reply.size()) {
        std::size_t end = reply.find('&', start);
        if (end == std::string::npos) {
            end = reply.size();
        }
        const std::string pair = reply.substr(start, end - start);
        const std::size_t equals = pair.find('=');
        if (equals == std::string::npos || equals == 0 || equals + 1 == pair.size()) {
            std::abort();
        }
        start = end + 1;
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) {
        return 0;
    }
    static World world;
    std::string body(reinterpret_cast<const char*>(data) + 1, size - 1);
    replaceAll(body, "@T", world.token);
    replaceAll(body, "@U", world.uuid);
    ProtocolService& service = *world.service;
    ProtocolService::Answer answer;
    switch (data[0] % 5) {
    case 0:
        answer = service.door(body, "fuzz.test:8080");
        break;
    case 1:
        answer = service.userVerify(body, "127.0.0.1");
        break;
    case 2:
        answer = service.add(body);
        break;
    default: {
        // Answered here or from the feed's load, on its thread; a query is
        // answered here, as no query is held.
        std::promise<ProtocolService::Answer> later;
        const auto done = [&later](ProtocolService::Answer a) { later.set_value(std::move(a)); };
        if (data[0] % 5 == 3) {
            service.query(body, "fuzz.test:8080", done);
        } else {
            service.news(body, done);
        }
        answer = later.get_future().get();
        break;
    }
    }
    checkGrammar(answer.body);
    return 0;
}
