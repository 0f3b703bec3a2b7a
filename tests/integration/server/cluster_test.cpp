// Several tolvane-server processes on one redis-server of the test's own:
// web nodes that answer HTTP and worker processes that synthesise, one user
// base across them all.
#include "ServerTestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <csignal>
#include <thread>

namespace tolvane::server::test {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

double secondsSince(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

// A user allowed long texts, so a job takes long enough to catch its worker
// in the middle of it.
const std::string kLongUser =
    "[user long]\nemail = long@example.test\npassword_md5 = fe01ce2a7fbac8fafaed7c982a04e229\n"
    "userid = 9\nmax_text_number = 6000\n";

std::string longText() {
    std::string text;
    while (text.size() < 5000) {
        text += "The quick brown fox jumps over the lazy dog, and keeps on running. ";
    }
    return text;
}

// One redis-server and the configuration the nodes share.
class ClusterTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(tolvane::test::RedisServer::available()) << "redis-server is not installed";
        ASSERT_TRUE(tolvane::test::ServerProgram::available());
        std::string error;
        ASSERT_TRUE(redis_.start(error)) << error;
    }

    void configure(const std::string& extra) {
        writeFile(dir_.path() / "news.xml", "<rss version=\"2.0\"><channel></channel></rss>");
        writeFile(dir_.path() / "atom.xml", "<rss version=\"2.0\"><channel></channel></rss>");
        writeFile(dir_.path() / "server.ini",
                  testConfig("[server]\nquery_hold = 0\n" + extra + kLongUser) +
                      redisStoreConfig(redis_, "cluster:"));
    }

    // A web node's base URL ("http://127.0.0.1:PORT"), or empty.
    std::string startWeb() {
        auto& node = nodes_.emplace_back(std::make_unique<ServerProcess>(std::vector<std::string>{
            "--config", (dir_.path() / "server.ini").string(), "--role", "web"}));
        const int port = node->waitForPort();
        return port == 0 ? std::string() : "http://127.0.0.1:" + std::to_string(port);
    }

    // A worker process with one synthesis thread, once it works.
    ServerProcess* startWorker() {
        auto& node = nodes_.emplace_back(std::make_unique<ServerProcess>(
            std::vector<std::string>{"--config", (dir_.path() / "server.ini").string(), "--role",
                                     "worker", "--workers", "1"}));
        return node->waitForOutput(std::regex("working \\("), 30s).empty() ? nullptr : node.get();
    }

    // The keys under the prefix, but the workers' signs of life and the
    // addresses an account logged in from (kept 30 days by the login rules).
    std::vector<std::string> jobAndSessionKeys() {
        std::vector<std::string> keys = redis_.keys("cluster:");
        std::erase_if(keys, [](const std::string& key) {
            return key.starts_with("cluster:worker:") || key.starts_with("cluster:login-known:");
        });
        return keys;
    }

    tolvane::test::RedisServer redis_;
    TempDir dir_;
    std::vector<std::unique_ptr<ServerProcess>> nodes_;
};

// The service links of node `base` for a session opened elsewhere.
Session on(const std::string& base, Session session) {
    session.addUrl = base + "/tolvane/add";
    session.queryUrl = base + "/tolvane/query";
    session.newsUrl = base + "/tolvane/news";
    return session;
}

TEST_F(ClusterTest, LoginAddQueryAndDownloadEachOnAnotherNodeAndTheSessionCapHoldsAcrossThem) {
    configure("[limits]\nsessions_per_user = 2\n");
    const std::string a = startWeb(), b = startWeb(), c = startWeb();
    ASSERT_FALSE(a.empty() || b.empty() || c.empty());
    ASSERT_TRUE(startWorker());

    const Session session = logIn(a + "/tolvane/tolvanedoor.php");
    ASSERT_FALSE(session.token.empty());
    const std::vector<std::string> added = parseAdd(
        httpPost(b + "/tolvane/add", addBody(session, "Read on one node, made on another.")).body);
    ASSERT_EQ(at(added, 1), "succeed") << at(added, 4);
    const std::vector<std::string> done = waitForJob(on(c, session), added[2]);
    ASSERT_EQ(at(done, 2), "ttsed") << at(done, 6);
    EXPECT_EQ(at(done, 3), c + "/tolvane/audio/" + added[2] + ".mp3");

    const HttpResult whole = httpGet(a + "/tolvane/audio/" + added[2] + ".mp3");
    ASSERT_EQ(whole.status, 200);
    const DecodedAudio audio = decodeMp3(whole.body);
    ASSERT_TRUE(audio.ok) << audio.error;
    EXPECT_GT(audio.seconds, 1.0);
    const HttpResult part =
        httpGet(a + "/tolvane/audio/" + added[2] + ".mp3", {"Range: bytes=100-199"});
    EXPECT_EQ(part.status, 206);
    EXPECT_EQ(part.body, whole.body.substr(100, 100));
    EXPECT_EQ(part.header("content-range"), "bytes 100-199/" + std::to_string(whole.body.size()));
    EXPECT_EQ(httpGet(b + "/tolvane/audio/" + added[2] + ".mp3", {}, true).header("content-length"),
              std::to_string(whole.body.size()));

    // Two sessions per user: the third login, on yet another node, ends the
    // least recently used one on every node.
    const Session second = logIn(b + "/tolvane/tolvanedoor.php");
    const Session third = logIn(c + "/tolvane/tolvanedoor.php");
    ASSERT_FALSE(second.token.empty() || third.token.empty());
    for (const std::string& node : {a, b, c}) {
        EXPECT_EQ(at(waitForJob(on(node, session), added[2], 1), 5), "303") << node;
        EXPECT_EQ(at(waitForJob(on(node, second), added[2], 1), 2), "ttsed") << node;
        EXPECT_EQ(at(waitForJob(on(node, third), added[2], 1), 2), "ttsed") << node;
    }
}

TEST_F(ClusterTest, FailedLoginsCountAcrossNodes) {
    configure("[limits]\nlogin_failures = 2\nlogin_delay = 30\nlogin_delay_max = 30\n");
    const std::string nodes[] = {startWeb(), startWeb(), startWeb()};
    const auto login = [](const std::string& node, const std::string& md5) {
        const HttpResult result = httpPost(node + "/tolvane/userverify",
                                           std::string("user_email=") + kEmail +
                                               "&pass_md5=" + md5 + "&language=en-US&fresh=1");
        return std::to_string(result.status) + " " + at(parseVerify(result.body).head, 7);
    };
    const std::string wrong(32, '0');
    for (const std::string& node : nodes) {
        ASSERT_FALSE(node.empty());
        EXPECT_EQ(login(node, wrong), "200 302") << node;
    }
    // The third failure, the allowance's first past two, locked the account
    // everywhere: even the right password waits.
    EXPECT_EQ(login(nodes[0], kPasswordMd5), "429 306");
}

TEST_F(ClusterTest, JobOfAKilledWorkerIsFinishedByAnotherAndTheReadingCompletes) {
    configure("");
    const std::string web = startWeb();
    ASSERT_FALSE(web.empty());
    ServerProcess* first = startWorker();
    ASSERT_TRUE(first);
    const Session session = logIn(web + "/tolvane/tolvanedoor.php", "long@example.test");
    ASSERT_FALSE(session.token.empty());
    const std::vector<std::string> added =
        parseAdd(httpPost(session.addUrl, addBody(session, longText())).body);
    ASSERT_EQ(at(added, 1), "succeed") << at(added, 4);
    std::string state;
    for (int i = 0; i < 500 && state != "ttsing"; ++i) {
        state = at(parseQuery(httpPost(session.queryUrl, queryBody(session, added[2])).body), 2);
        std::this_thread::sleep_for(10ms);
    }
    ASSERT_EQ(state, "ttsing");
    ASSERT_TRUE(startWorker());
    ASSERT_TRUE(first->signal(SIGKILL));
    const auto killed = Clock::now();

    const std::vector<std::string> done = waitForJob(session, added[2]);
    ASSERT_EQ(at(done, 2), "ttsed") << at(done, 6);
    // Taken again once the dead worker's sign of life lapsed (claim_timeout 3 s).
    EXPECT_GT(secondsSince(killed), 1.0);
    const HttpResult mp3 = httpGet(done[3]);
    ASSERT_EQ(mp3.status, 200);
    const DecodedAudio audio = decodeMp3(mp3.body);
    ASSERT_TRUE(audio.ok) << audio.error;
    EXPECT_GT(audio.seconds, 60.0);
    // Whichever process's janitor found the lapsed sign said so.
    EXPECT_TRUE(std::any_of(nodes_.begin(), nodes_.end(), [](const auto& node) {
        return node->out().find("went back to the queue") != std::string::npos;
    }));
}

TEST_F(ClusterTest, RedisAwayForFiveSecondsGives903ThenServiceReturnsWithoutARestart) {
    configure("");
    const std::string web = startWeb();
    ASSERT_FALSE(web.empty());
    ASSERT_TRUE(startWorker());
    const std::string door = web + "/tolvane/tolvanedoor.php";

    // Eight clients log in, read and log in again when their session is gone.
    std::atomic<bool> stop{false};
    std::atomic<int> storeFaults{0}, other{0};
    std::atomic<long long> lastSuccess{0};
    std::vector<std::thread> clients;
    for (int i = 0; i < 8; ++i) {
        clients.emplace_back([&] {
            Session session;
            while (!stop) {
                if (session.token.empty()) {
                    session = logIn(door);
                }
                const HttpResult reply =
                    httpPost(web + "/tolvane/add", addBody(session, "Still here."));
                const std::vector<std::string> fields = parseAdd(reply.body);
                std::string code = at(fields, 3);
                if (at(fields, 1) == "succeed") {
                    const std::vector<std::string> state = waitForJob(session, fields[2]);
                    if (at(state, 2) == "ttsed") {
                        lastSuccess = Clock::now().time_since_epoch().count();
                        continue;
                    }
                    code = at(state, 5);
                }
                if (code == "903") {
                    EXPECT_TRUE(at(fields, 3) != "903" || reply.status == 503) << reply.status;
                    ++storeFaults;
                    std::this_thread::sleep_for(20ms);
                } else if (code == "303" || session.token.empty()) {
                    session = {};
                    std::this_thread::sleep_for(20ms);
                } else {
                    ++other;
                    ADD_FAILURE() << reply.status << " " << reply.body;
                }
            }
        });
    }
    std::this_thread::sleep_for(2s);
    redis_.stop();
    std::this_thread::sleep_for(5s);
    const int faultsWhileAway = storeFaults;
    std::string error;
    ASSERT_TRUE(redis_.start(error)) << error;
    const auto back = Clock::now();
    long long before = lastSuccess;
    while (lastSuccess == before && secondsSince(back) < 10) {
        std::this_thread::sleep_for(10ms);
    }
    const double recovered = secondsSince(back);
    std::this_thread::sleep_for(1s);
    stop = true;
    for (std::thread& client : clients) {
        client.join();
    }
    EXPECT_GT(faultsWhileAway, 10);
    EXPECT_EQ(other, 0);
    // A whole reading (login, add, made by the worker, ttsed) within 2 s.
    EXPECT_LT(recovered, 2.0);
    for (const auto& node : nodes_) {
        EXPECT_EQ(node->exitCode(), -1) << node->out();
    }
    std::printf("903 replies while away: %d; a reading completed %.2f s after Redis returned\n",
                faultsWhileAway, recovered);
}

TEST_F(ClusterTest, NothingIsLeftInRedisOnceJobsAndSessionsExpire) {
    configure("[limits]\nfile_expiry = 1\nsession_lifetime = 1\n");
    const std::string web = startWeb();
    ASSERT_FALSE(web.empty());
    ASSERT_TRUE(startWorker());
    const Session session = logIn(web + "/tolvane/tolvanedoor.php");
    std::vector<std::string> uuids;
    for (const char* text : {"One.", "Two.", "Three."}) {
        const std::vector<std::string> added =
            parseAdd(httpPost(session.addUrl, addBody(session, text)).body);
        ASSERT_EQ(at(added, 1), "succeed");
        ASSERT_EQ(at(waitForJob(session, added[2]), 2), "ttsed");
        uuids.push_back(added[2]);
    }
    EXPECT_FALSE(jobAndSessionKeys().empty());
    std::vector<std::string> left;
    for (int i = 0; i < 50; ++i) {
        std::this_thread::sleep_for(100ms);
        left = jobAndSessionKeys();
        if (left.empty()) {
            break;
        }
    }
    EXPECT_TRUE(left.empty()) << left.front();
    EXPECT_EQ(httpGet(web + "/tolvane/audio/" + uuids[0] + ".mp3").status, 404);
}

} // namespace
} // namespace tolvane::server::test
