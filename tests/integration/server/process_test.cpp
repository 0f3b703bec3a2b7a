// tolvane-server as its own process: command line, configuration faults,
// signals, and fifty clients at once.
#include "ServerTestSupport.h"

#include <gtest/gtest.h>
#include <httplib.h>

#include <atomic>
#include <csignal>
#include <fstream>
#include <mutex>
#include <regex>
#include <thread>

namespace tolvane::server::test {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using tolvane::test::RunResult;

RunResult runServer(const std::vector<std::string>& args) {
    return tolvane::test::run(tolvane::test::ServerProgram::path(), args, {.mergeStderr = true},
                              1min);
}

TEST(ServerProgramTest, CommandLineAndConfigurationFaultsAreReportedClearly) {
    const RunResult help = runServer({"--help"});
    EXPECT_EQ(help.exitCode, 0);
    EXPECT_NE(help.out.find("Usage: tolvane-server"), std::string::npos);

    const RunResult unknown = runServer({"--colour", "blue"});
    EXPECT_EQ(unknown.exitCode, 2);
    EXPECT_NE(unknown.out.find("unknown option '--colour'"), std::string::npos) << unknown.out;
    EXPECT_EQ(runServer({"--port", "http"}).exitCode, 2);
    EXPECT_EQ(runServer({"--workers"}).exitCode, 2);

    TempDir dir;
    const RunResult missing = runServer({"--config", (dir.path() / "none.ini").string()});
    EXPECT_EQ(missing.exitCode, 1);
    EXPECT_NE(missing.out.find("none.ini"), std::string::npos) << missing.out;

    const std::pair<std::string, std::string> faults[] = {
        {"[user x]\nemail = x@y\npassword_md5 = demo\nuserid = 1\n",
         "[user x] password_md5: must be 32 hexadecimal digits"},
        // espeak-ng itself would speak without a variant it does not have.
        {"[voices]\nLily = nosuchvariant\n",
         "[voices] Lily: espeak-ng has no variant 'nosuchvariant'"},
    };
    for (const auto& [ini, fault] : faults) {
        writeFile(dir.path() / "bad.ini", ini);
        const RunResult bad = runServer({"--config", (dir.path() / "bad.ini").string()});
        EXPECT_EQ(bad.exitCode, 1);
        EXPECT_NE(bad.out.find(fault), std::string::npos) << bad.out;
    }
}

TEST(ServerProgramTest, SecondServerOnTheSamePortFailsAndSignalsStopCleanly) {
    TempDir dir;
    writeFile(dir.path() / "server.ini", "[server]\nport = 0\n[limits]\ncolour = blue\n");
    ServerProcess first({"--config", (dir.path() / "server.ini").string(), "--workers", "1"});
    const int port = first.waitForPort();
    ASSERT_GT(port, 0) << first.out();
    EXPECT_NE(first.out().find("unknown key [limits] colour ignored"), std::string::npos);

    const RunResult second = runServer(
        {"--config", (dir.path() / "server.ini").string(), "--port", std::to_string(port)});
    EXPECT_EQ(second.exitCode, 1);
    EXPECT_NE(second.out.find("cannot listen on 127.0.0.1:" + std::to_string(port)),
              std::string::npos)
        << second.out;

    EXPECT_EQ(
        parseDoor(httpPost("http://127.0.0.1:" + std::to_string(port) + "/tolvane/tolvanedoor.php",
                           "fresh=1")
                      .body)
            .fields.size(),
        8u);
    first.signal(SIGINT);
    EXPECT_EQ(first.exitStatus(), 0) << first.out();
    EXPECT_NE(first.out().find("stopping (SIGINT)"), std::string::npos);
}

// Fifty clients at once, each reading one text through the whole protocol,
// twice over; the server's memory and files stay bounded.
TEST(ServerLoadTest, FiftyClientsAtOnceAllGetCompleteAudio) {
    constexpr int kClients = 50;
    constexpr int kKeptJobs = 60;
    TempDir dir;
    writeFile(dir.path() / "news.xml", "<rss><channel></channel></rss>");
    writeFile(dir.path() / "atom.xml", "<feed xmlns=\"http://www.w3.org/2005/Atom\"/>");
    // The clients share one account, so it may hold a session and a job for each, and
    // one address, so it may hold a few connections for each. Queries are answered at
    // once, so the first one tells whether the job had been made before add answered.
    writeFile(dir.path() / "server.ini",
              testConfig("[server]\nquery_hold = 0\nconnections_per_address = " +
                         std::to_string(4 * kClients) +
                         "\n[limits]\nkept_jobs = " + std::to_string(kKeptJobs) +
                         "\nsessions_per_user = " + std::to_string(kClients) +
                         "\njobs_per_user = " + std::to_string(kClients) + "\n"));
    ServerProcess server({"--config", (dir.path() / "server.ini").string(), "--data",
                          (dir.path() / "audio").string()});
    const int port = server.waitForPort();
    ASSERT_GT(port, 0) << server.out();
    const std::string door =
        "http://127.0.0.1:" + std::to_string(port) + "/tolvane/tolvanedoor.php";

    std::vector<long> resident;
    for (int round = 0; round < 2; ++round) {
        std::atomic<int> complete{0};
        std::atomic<int> waited{0};
        std::mutex failuresMutex;
        std::vector<std::string> failures;
        const auto fail = [&](const std::string& why) {
            const std::lock_guard lock(failuresMutex);
            failures.push_back(why);
        };
        std::vector<std::thread> clients;
        for (int i = 0; i < kClients; ++i) {
            clients.emplace_back([&, i] {
                const Session session = logIn(door);
                if (session.token.empty()) {
                    return fail("login failed");
                }
                const std::vector<std::string> added =
                    parseAdd(httpPost(session.addUrl,
                                      addBody(session, "Client " + std::to_string(i) +
                                                           " reads this short sentence aloud now."))
                                 .body);
                if (added.size() != 5 || added[1] != "succeed") {
                    return fail("add refused: " + (added.size() == 5 ? added[4] : ""));
                }
                const auto first =
                    parseQuery(httpPost(session.queryUrl, queryBody(session, added[2])).body);
                if (first.size() == 7 && (first[2] == "wait" || first[2] == "ttsing")) {
                    ++waited;
                }
                const std::vector<std::string> done = waitForJob(session, added[2], 1200);
                if (done.size() != 7 || done[2] != "ttsed") {
                    return fail("job ended " + (done.size() == 7 ? done[2] + " " + done[6] : ""));
                }
                const HttpResult audio = httpGet(done[3]);
                std::string why;
                if (audio.status != 200 ||
                    audio.header("content-length") != std::to_string(audio.body.size()) ||
                    !wellFormedMp3(audio.body, why)) {
                    return fail("bad audio: " + std::to_string(audio.status) + " " + why);
                }
                ++complete;
            });
        }
        for (std::thread& client : clients) {
            client.join();
        }
        EXPECT_TRUE(failures.empty()) << failures.size() << " failed, first: " << failures.front();
        EXPECT_EQ(complete.load(), kClients);
        EXPECT_GT(waited.load(), 0) << "add answered before synthesis, jobs waited in the queue";
        resident.push_back(server.residentKb());
        std::size_t files = 0;
        for (const auto& entry : fs::directory_iterator(dir.path() / "audio")) {
            files += entry.path().extension() == ".mp3" ? 1 : 0;
        }
        EXPECT_LE(files, static_cast<std::size_t>(kKeptJobs));
    }
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
    EXPECT_LT(resident[1], resident[0] + 4 * 1024)
        << "resident memory grew from " << resident[0] << " kB to " << resident[1] << " kB";
#endif
    server.signal(SIGTERM);
    EXPECT_EQ(server.exitStatus(), 0) << server.out();
    EXPECT_TRUE(fs::is_empty(dir.path() / "audio")) << "job files are removed at exit";
}

// One user logging in over and over, as a faulty or hostile client might, far
// past the server's whole session table: the other users stay logged in.
TEST(ServerSessionTest, TenThousandLoginsOfOneUserNeverLogAnotherOut) {
    TempDir dir;
    writeFile(dir.path() / "server.ini",
              testConfig("[limits]\nsessions = 64\n[user u8]\nemail = u8@example.test\n"
                         "password_md5 = " +
                         std::string(kPasswordMd5) + "\nuserid = 8\nfeeds = 1\n"));
    writeFile(dir.path() / "news.xml", "<rss><channel></channel></rss>");
    ServerProcess server({"--config", (dir.path() / "server.ini").string(), "--quiet"});
    const int port = server.waitForPort();
    ASSERT_GT(port, 0) << server.out();
    const std::string other =
        logIn("http://127.0.0.1:" + std::to_string(port) + "/tolvane/tolvanedoor.php",
              "u8@example.test")
            .token;

    httplib::Client client("127.0.0.1", port);
    client.set_keep_alive(true);
    client.set_tcp_nodelay(true);
    const auto post = [&](const char* path, const std::string& body) {
        const auto res = client.Post(path, body, "application/x-www-form-urlencoded");
        return res ? res->body : "no reply: " + httplib::to_string(res.error());
    };
    const auto newsErrcode = [&](const std::string& token) {
        return at(parseNews(post("/tolvane/news", "rss_id=1&verifytimeid=" + token + "&rssstart=0"))
                      .status,
                  1);
    };
    const std::string login = std::string("user_email=") + kEmail + "&pass_md5=" + kPasswordMd5;
    const auto deadline = std::chrono::steady_clock::now() + 2min;
    std::vector<std::string> tokens;
    for (int i = 0; i < 10000 && std::chrono::steady_clock::now() < deadline; ++i) {
        const std::string reply = post("/tolvane/userverify", login);
        tokens.push_back(at(parseVerify(reply).head, 9));
        ASSERT_EQ(tokens.back().size(), 32u) << "login " << i << ": " << reply;
        if (i % 1000 == 999) { // idle in between, so the least recently used
            ASSERT_EQ(newsErrcode(other), "0") << "the other user, after login " << i;
        }
    }
    ASSERT_EQ(tokens.size(), 10000u) << "logins in two minutes";
    EXPECT_EQ(newsErrcode(tokens[10000 - 16]), "0") << "the user keeps sixteen sessions";
    EXPECT_EQ(newsErrcode(tokens[10000 - 17]), "303");
    server.signal(SIGTERM);
    EXPECT_EQ(server.exitStatus(), 0) << server.out();
}

} // namespace
} // namespace tolvane::server::test
