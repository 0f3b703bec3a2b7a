// Queries held until their job ends, against a server on a loopback port: many
// held at once without threads, each answered as its job ends, its session
// ends, its hold passes or the server stops.
#include "ServerTestSupport.h"

#include <curl/curl.h>
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <future>
#include <thread>

namespace tolvane::server::test {
namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

std::string words(int count) {
    std::string text;
    for (int i = 0; i < count; ++i) {
        text += "word ";
    }
    return text;
}

double secondsSince(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

std::size_t threadCount() {
    std::size_t count = 0;
    for ([[maybe_unused]] const auto& task :
         std::filesystem::directory_iterator("/proc/self/task")) {
        ++count;
    }
    return count;
}

struct Timed {
    long status = 0;
    std::string body;
    double waited = 0; // from the request sent to its reply's end
    Clock::time_point arrived;
};

std::size_t collect(char* data, std::size_t size, std::size_t count, void* body) {
    static_cast<std::string*>(body)->append(data, size * count);
    return size * count;
}

// POSTs every (url, body) over one libcurl multi handle, opening a hundred
// connections a turn (more at once would overflow the server's listen
// backlog, and the kernel would make the rest wait a second), calling
// `meanwhile` between turns; the replies in the requests' order.
std::vector<Timed> postAtOnce(
    const std::vector<std::pair<std::string, std::string>>& requests,
    const std::function<void()>& meanwhile = [] {}) {
    std::vector<Timed> replies(requests.size());
    CURLM* multi = curl_multi_init();
    std::vector<CURL*> handles;
    for (int running = 1; running > 0 || handles.size() < requests.size();) {
        for (int turn = 0; turn < 100 && handles.size() < requests.size(); ++turn) {
            const std::size_t i = handles.size();
            CURL* curl = curl_easy_init();
            curl_easy_setopt(curl, CURLOPT_URL, requests[i].first.c_str());
            curl_easy_setopt(curl, CURLOPT_POSTFIELDS, requests[i].second.c_str());
            curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, &collect);
            curl_easy_setopt(curl, CURLOPT_WRITEDATA, &replies[i].body);
            curl_easy_setopt(curl, CURLOPT_PRIVATE, reinterpret_cast<char*>(i));
            curl_easy_setopt(curl, CURLOPT_TIMEOUT, 60L);
            curl_multi_add_handle(multi, curl);
            handles.push_back(curl);
        }
        curl_multi_perform(multi, &running);
        for (int left = 0; CURLMsg* message = curl_multi_info_read(multi, &left);) {
            char* index = nullptr;
            curl_easy_getinfo(message->easy_handle, CURLINFO_PRIVATE, &index);
            Timed& reply = replies[reinterpret_cast<std::size_t>(index)];
            reply.arrived = Clock::now();
            curl_easy_getinfo(message->easy_handle, CURLINFO_RESPONSE_CODE, &reply.status);
            double total = 0;
            double sent = 0;
            curl_easy_getinfo(message->easy_handle, CURLINFO_TOTAL_TIME, &total);
            curl_easy_getinfo(message->easy_handle, CURLINFO_PRETRANSFER_TIME, &sent);
            reply.waited = total - sent;
        }
        meanwhile();
        curl_multi_poll(multi, nullptr, 0, 5, nullptr);
    }
    for (CURL* curl : handles) {
        curl_multi_remove_handle(multi, curl);
        curl_easy_cleanup(curl);
    }
    curl_multi_cleanup(multi);
    return replies;
}

// A server with one worker, queries held `holdMillis`, a user "long" who may
// send long texts and hold 32 jobs, and `extra` settings.
std::string heldConfig(int holdMillis, const std::string& extra = {}) {
    std::string ini =
        testConfig("[server]\nquery_hold = " + std::to_string(holdMillis) + "\n" + extra +
                   "[user long]\nemail = long@example.test\n" + "password_md5 = " + kPasswordMd5 +
                   "\nuserid = 99\nmax_text_number = 1000\n");
    ini.replace(ini.find("workers = 2"), 11, "workers = 1");
    return ini;
}

constexpr const char* kLongUser = "long@example.test";
constexpr const char* kLongShare = "[limits]\njobs_per_user = 32\n";

// An add body read at the slowest rate, which takes longest to make.
std::string slowly(std::string addBody) {
    return addBody.replace(addBody.find("rate=50"), 7, "rate=0");
}

// Keeps the one worker busy for seconds with long texts of `session`'s, read
// slowly: its later jobs wait behind them.
void occupyWorker(const Session& session, int texts = 15) {
    const std::string body = slowly(addBody(session, words(199)));
    for (int i = 0; i < texts; ++i) {
        ASSERT_EQ(at(parseAdd(httpPost(session.addUrl, body).body), 1), "succeed");
    }
}

// 200 users with 5 jobs each, their share, queue one worker's minutes of work;
// then each asks about each job at once. Every query is held on a parked
// connection, none on a thread of its own, and each is answered when its job
// ends or its hold passes.
TEST(HeldQueryTest, ThousandQueriesHeldAtOnceHoldNoThreadAndAllAreAnswered) {
    constexpr int kUsers = 200;
    constexpr int kJobsEach = 5;
    constexpr double kHold = 3.0;
    std::string users;
    for (int u = 0; u < kUsers; ++u) {
        users += "[user u" + std::to_string(u) + "]\nemail = u" + std::to_string(u) +
                 "@example.test\npassword_md5 = " + kPasswordMd5 +
                 "\nuserid = " + std::to_string(1000 + u) + "\nmax_text_number = 1000\n";
    }
    TempDir dir;
    RunningServer server(dir.path(), heldConfig(3000, "connections = 1200\n"
                                                      "connections_per_address = 1200\n"
                                                      "[limits]\nqueue_size = 1000\n"
                                                      "jobs_per_user = 5\n" +
                                                          users));
    ASSERT_TRUE(server.ok()) << server.error();
    std::vector<Session> sessions;
    std::vector<std::pair<std::string, std::string>> adds;
    for (int u = 0; u < kUsers; ++u) {
        sessions.push_back(logIn(server.door(), "u" + std::to_string(u) + "@example.test"));
        ASSERT_FALSE(sessions.back().token.empty());
        for (int j = 0; j < kJobsEach; ++j) {
            adds.emplace_back(sessions.back().addUrl, slowly(addBody(sessions.back(), words(120))));
        }
    }
    std::vector<std::pair<std::string, std::string>> queries;
    const std::vector<Timed> added = postAtOnce(adds);
    for (std::size_t i = 0; i < added.size(); ++i) {
        const std::vector<std::string> fields = parseAdd(added[i].body);
        ASSERT_EQ(at(fields, 1), "succeed") << at(fields, 4);
        queries.emplace_back(sessions[i / kJobsEach].queryUrl,
                             queryBody(sessions[i / kJobsEach], fields[2]));
    }

    // A query's hold begins once the server has read it; `lastHeld` is when
    // the number held last rose.
    const std::size_t threadsBefore = threadCount();
    std::size_t mostHeld = 0;
    std::size_t mostThreads = 0;
    Clock::time_point lastHeld;
    const std::vector<Timed> replies = postAtOnce(queries, [&] {
        if (const std::size_t held = server.app().holds()->size(); held > mostHeld) {
            mostHeld = held;
            lastHeld = Clock::now();
        }
        mostThreads = std::max(mostThreads, threadCount());
    });
    EXPECT_GE(mostHeld, 990u);
    EXPECT_LE(mostThreads, threadsBefore + 2) << "held queries took threads";
    int held = 0;
    for (const Timed& reply : replies) {
        const std::vector<std::string> fields = parseQuery(reply.body);
        ASSERT_EQ(reply.status, 200) << reply.body;
        EXPECT_LT(std::chrono::duration<double>(reply.arrived - lastHeld).count(), kHold + 0.2);
        if (at(fields, 2) == "ttsed") {
            EXPECT_NE(at(fields, 3).find("/tolvane/audio/"), std::string::npos);
        } else {
            ASSERT_TRUE(at(fields, 2) == "wait" || at(fields, 2) == "ttsing") << reply.body;
            // libcurl times a multi transfer once a turn, up to a turn early.
            EXPECT_GE(reply.waited, kHold - 0.05) << "answered before its hold passed";
            ++held;
        }
    }
    EXPECT_GE(held, 900);
    EXPECT_EQ(server.app().holds()->size(), 0u);
}

// The moment the job table says the job is made, and the moment the held
// query's reply arrives: the job's end wakes the query.
TEST(HeldQueryTest, JobEndWakesItsHeldQueryAtOnce) {
    TempDir dir;
    RunningServer server(dir.path(), heldConfig(10000, kLongShare));
    ASSERT_TRUE(server.ok()) << server.error();
    const Session session = logIn(server.door(), kLongUser);
    occupyWorker(session, 2);
    const std::string uuid =
        at(parseAdd(httpPost(session.addUrl, addBody(session, words(19))).body), 2);
    const auto start = Clock::now();
    std::future<std::vector<std::string>> reply = std::async(std::launch::async, [&] {
        return parseQuery(httpPost(session.queryUrl, queryBody(session, uuid)).body);
    });
    std::optional<Clock::time_point> made;
    while (!made && secondsSince(start) < 30) {
        const auto status = server.app().jobs().status(uuid, std::stoi(session.userId));
        if (status && status->ttsStatus == "ttsed") {
            made = Clock::now();
        }
        std::this_thread::sleep_for(200us);
    }
    ASSERT_TRUE(made);
    const std::vector<std::string> fields = reply.get();
    const double late = secondsSince(*made);
    EXPECT_EQ(at(fields, 2), "ttsed");
    EXPECT_LT(late, 0.020) << "the reply came " << late * 1000 << " ms after the job ended";
    EXPECT_GT(std::chrono::duration<double>(*made - start).count(), 0.1) << "the job was not held";
}

// Adds a short job of `session`'s and asks about it; the query's reply.
std::future<HttpResult> heldQuery(const Session& session) {
    const std::string uuid =
        at(parseAdd(httpPost(session.addUrl, addBody(session, words(5))).body), 2);
    return std::async(std::launch::async, [session, uuid] {
        return httpPost(session.queryUrl, queryBody(session, uuid));
    });
}

// The number of held queries once it reaches `count`, or after 5 s.
std::size_t waitHeld(RunningServer& server, std::size_t count) {
    for (int i = 0; i < 5000 && server.app().holds()->size() < count; ++i) {
        std::this_thread::sleep_for(1ms);
    }
    return server.app().holds()->size();
}

// A held query whose session ends, by a newer login or by expiry, gets errcode
// 303 at once rather than after its hold.
TEST(HeldQueryTest, SessionEndAnswersItsHeldQueryAtOnce) {
    TempDir dir;
    RunningServer server(dir.path(),
                         heldConfig(10000, std::string(kLongShare) + "sessions_per_user = 1\n"
                                                                     "session_lifetime = 2\n"));
    ASSERT_TRUE(server.ok()) << server.error();
    const Session replaced = logIn(server.door(), kLongUser);
    occupyWorker(replaced);
    auto replacedReply = heldQuery(replaced);
    ASSERT_EQ(waitHeld(server, 1), 1u);
    const auto relogin = Clock::now();
    const Session current = logIn(server.door(), kLongUser);
    const HttpResult loggedOut = replacedReply.get();
    EXPECT_LT(secondsSince(relogin), 0.1);
    EXPECT_EQ(at(parseQuery(loggedOut.body), 5), "303") << loggedOut.body;

    const auto asked = Clock::now();
    auto expiringReply = heldQuery(current);
    ASSERT_EQ(waitHeld(server, 1), 1u);
    while (server.app().sessions().size() > 0 && secondsSince(asked) < 10) {
        std::this_thread::sleep_for(1ms);
    }
    const auto swept = Clock::now();
    const HttpResult expired = expiringReply.get();
    EXPECT_LT(secondsSince(swept), 0.1);
    EXPECT_LT(secondsSince(asked), 4.0);
    EXPECT_EQ(at(parseQuery(expired.body), 5), "303") << expired.body;
}

// Queries held when the job table stops, or the whole server, get 902 (HTTP
// 503) at once, not after their hold or the server's grace time.
TEST(HeldQueryTest, StopAnswersHeldQueriesAtOnce) {
    for (const bool wholeServer : {false, true}) {
        TempDir dir;
        RunningServer server(dir.path(), heldConfig(10000, kLongShare));
        ASSERT_TRUE(server.ok()) << server.error();
        const Session session = logIn(server.door(), kLongUser);
        occupyWorker(session);
        std::vector<std::future<HttpResult>> replies;
        for (int i = 0; i < 3; ++i) {
            replies.push_back(heldQuery(session));
        }
        ASSERT_EQ(waitHeld(server, 3), 3u);
        const auto stop = Clock::now();
        if (wholeServer) {
            server.app().stop();
        } else {
            server.app().stopJobs();
        }
        for (auto& reply : replies) {
            const HttpResult result = reply.get();
            EXPECT_EQ(result.status, 503) << result.body;
            EXPECT_EQ(at(parseQuery(result.body), 5), "902") << result.body;
        }
        EXPECT_LT(secondsSince(stop), 1.0) << (wholeServer ? "server" : "job table");
    }
}

} // namespace
} // namespace tolvane::server::test
