// tolvane-server against hostile peers: connections that sit idle or drip
// bytes while real clients read, a feed source that drips, requests that never finish arriving, one
// address taking every connection, bodies far past the limit; and the longest
// legal text in Chinese.
#include "ServerTestSupport.h"

#include <gtest/gtest.h>
#include <httplib.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <csignal>
#include <map>
#include <mutex>
#include <thread>

namespace tolvane::server::test {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// A loopback connection the test holds, sending what it is told; from the
// loopback address `from` when given.
class RawConnection {
  public:
    explicit RawConnection(int port, const char* from = nullptr)
        : fd_(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
        sockaddr_in address{};
        address.sin_family = AF_INET;
        sockaddr_in source = address;
        address.sin_port = htons(static_cast<uint16_t>(port));
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        const bool bound =
            from == nullptr ||
            (::inet_pton(AF_INET, from, &source.sin_addr) == 1 &&
             ::bind(fd_, reinterpret_cast<const sockaddr*>(&source), sizeof source) == 0);
        if (fd_ >= 0 && (!bound || ::connect(fd_, reinterpret_cast<const sockaddr*>(&address),
                                             sizeof address) != 0)) {
            ::close(fd_);
            fd_ = -1;
        }
    }
    ~RawConnection() {
        if (fd_ >= 0) {
            ::close(fd_);
        }
    }
    RawConnection(const RawConnection&) = delete;
    RawConnection& operator=(const RawConnection&) = delete;

    bool connected() const { return fd_ >= 0; }

    bool send(std::string_view bytes) {
        return ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL) ==
               static_cast<ssize_t>(bytes.size());
    }

    // True once the server has ended the connection (end of stream or reset),
    // waiting at most `limit` for it; whatever it sent before is dropped.
    bool endedWithin(std::chrono::milliseconds limit) {
        const auto deadline = Clock::now() + limit;
        for (;;) {
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
            pollfd ready{fd_, POLLIN, 0};
            if (left.count() <= 0 || ::poll(&ready, 1, static_cast<int>(left.count())) <= 0) {
                return false;
            }
            char buffer[4096];
            const ssize_t got = ::recv(fd_, buffer, sizeof buffer, MSG_DONTWAIT);
            if (got == 0 || (got < 0 && errno == ECONNRESET)) {
                return true;
            }
        }
    }

  private:
    int fd_;
};

// A server program of its own, with the test configuration and `extra`.
struct ServerUnderTest {
    explicit ServerUnderTest(const std::string& extra, bool quiet = true)
        : process(([&] {
              writeFile(dir.path() / "news.xml", "<rss><channel></channel></rss>");
              writeFile(dir.path() / "atom.xml", "<feed xmlns=\"http://www.w3.org/2005/Atom\"/>");
              writeFile(dir.path() / "server.ini", testConfig(extra));
              std::vector<std::string> args{"--config", (dir.path() / "server.ini").string()};
              if (quiet) {
                  args.push_back("--quiet");
              }
              return args;
          })()),
          port(process.waitForPort()),
          door("http://127.0.0.1:" + std::to_string(port) + "/tolvane/tolvanedoor.php") {}

    ~ServerUnderTest() {
        process.signal(SIGTERM);
        EXPECT_EQ(process.exitStatus(), 0) << process.out();
    }

    TempDir dir;
    ServerProcess process;
    const int port;
    const std::string door;
};

// How long requests took, from many threads.
class Latencies {
  public:
    void add(double seconds) {
        const std::lock_guard lock(mutex_);
        seconds_.push_back(seconds);
    }
    // The `share` quantile in seconds, and how many there are.
    double quantile(double share) {
        const std::lock_guard lock(mutex_);
        std::sort(seconds_.begin(), seconds_.end());
        return seconds_.empty()
                   ? 0
                   : seconds_[std::min(
                         seconds_.size() - 1,
                         static_cast<std::size_t>(share * static_cast<double>(seconds_.size())))];
    }
    std::size_t count() {
        const std::lock_guard lock(mutex_);
        return seconds_.size();
    }

  private:
    std::mutex mutex_;
    std::vector<double> seconds_;
};

// One reading through the whole protocol: add, poll, download. Empty when it
// worked, else why not. Each request's time goes to `latencies` when given.
std::string readAloud(const Session& session, const std::string& text,
                      Latencies* latencies = nullptr) {
    const auto timed = [&](HttpResult result) {
        if (latencies != nullptr) {
            latencies->add(result.seconds);
        }
        return result;
    };
    const std::vector<std::string> added =
        parseAdd(timed(httpPost(session.addUrl, addBody(session, text))).body);
    if (at(added, 1) != "succeed") {
        return "add refused: " + at(added, 4);
    }
    std::vector<std::string> done;
    for (int poll = 0; poll < 2400; ++poll) {
        done = parseQuery(timed(httpPost(session.queryUrl, queryBody(session, added[2]))).body);
        if (at(done, 2) != "wait" && at(done, 2) != "ttsing") {
            break;
        }
        std::this_thread::sleep_for(50ms);
    }
    if (at(done, 2) != "ttsed") {
        return "job ended '" + at(done, 2) + "' " + at(done, 6);
    }
    const HttpResult audio = timed(httpGet(done[3]));
    std::string why;
    if (audio.status != 200 || !wellFormedMp3(audio.body, why)) {
        return "audio " + std::to_string(audio.status) + " " + audio.error + " " + why;
    }
    return {};
}

// A feed source on loopback that sends its feed a byte a second.
class DrippingFeed {
  public:
    DrippingFeed() {
        server_.Get("/drip.xml", [this](const httplib::Request&, httplib::Response& res) {
            ++fetches_;
            res.set_chunked_content_provider(
                "application/rss+xml", [this](std::size_t offset, httplib::DataSink& sink) {
                    static const std::string kFeed =
                        "<rss><channel><item><title>Late</title></item></channel></rss>";
                    std::unique_lock lock(mutex_);
                    if (wake_.wait_for(lock, 1s, [this] { return stopping_; }) ||
                        offset >= kFeed.size()) {
                        return false;
                    }
                    return sink.write(kFeed.data() + offset, 1);
                });
        });
        port_ = server_.bind_to_any_port("127.0.0.1");
        thread_ = std::thread([this] { server_.listen_after_bind(); });
    }
    ~DrippingFeed() {
        {
            const std::lock_guard lock(mutex_);
            stopping_ = true;
        }
        wake_.notify_all();
        for (int i = 0; i < 5000 && !server_.is_running(); ++i) {
            std::this_thread::sleep_for(1ms);
        }
        server_.stop();
        thread_.join();
    }
    std::string url() const { return "http://127.0.0.1:" + std::to_string(port_) + "/drip.xml"; }
    int fetches() const { return fetches_.load(); }

  private:
    httplib::Server server_;
    int port_ = 0;
    std::thread thread_;
    std::atomic<int> fetches_{0};
    std::mutex mutex_;
    std::condition_variable wake_;
    bool stopping_ = false;
};

// Ten news requests for a feed whose source drips a byte a second, while fifty
// clients read aloud: the news requests share one load and end with its
// time-out; nobody else waits for it.
TEST(ServerHostileTest, SlowFeedHoldsNoThreadOtherRequestsNeed) {
    constexpr int kFeedTimeout = 6; // past the 5 s pause after a failed load
    constexpr int kNews = 10;
    constexpr int kClients = 50;
    DrippingFeed feed;
    // Queries answered at once: the latencies are then those of answering,
    // not of the speech being made while fifty clients share one synthesizer.
    ServerUnderTest server("[server]\nquery_hold = 0\nconnections_per_address = 600\n[limits]\n"
                           "sessions_per_user = 60\njobs_per_user = 60\nfeed_timeout = " +
                           std::to_string(kFeedTimeout) +
                           "\n[user web]\nemail = web@example.test\n"
                           "password_md5 = " +
                           kPasswordMd5 +
                           "\nuserid = 9\nfeeds = 3\n"
                           "[feed 3]\ntitle = Drip\nsource = " +
                           feed.url() + "\n");
    ASSERT_GT(server.port, 0) << server.process.out();
    const Session web = logIn(server.door, "web@example.test");
    ASSERT_FALSE(web.token.empty());

    std::vector<std::thread> threads;
    std::vector<HttpResult> news(kNews);
    for (int i = 0; i < kNews; ++i) {
        threads.emplace_back([&, i] {
            news[i] = httpPost(web.newsUrl, "rss_id=3&verifytimeid=" + web.token + "&rssstart=0");
        });
    }
    Latencies latencies;
    std::atomic<int> failures{0};
    std::string failure;
    std::mutex failureMutex;
    const auto until = Clock::now() + std::chrono::seconds(kFeedTimeout + 2);
    for (int i = 0; i < kClients; ++i) {
        threads.emplace_back([&, i] {
            const Session session = logIn(server.door);
            std::string why = session.token.empty() ? "login failed" : "";
            while (why.empty() && Clock::now() < until) {
                why = readAloud(session, "Client " + std::to_string(i) + " reads.", &latencies);
            }
            if (!why.empty() && failures++ == 0) {
                const std::lock_guard lock(failureMutex);
                failure = why;
            }
        });
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
    for (const HttpResult& result : news) {
        const NewsReply reply = parseNews(result.body);
        EXPECT_TRUE(at(reply.status, 1) == "402" || reply.total > 0) << result.body;
        EXPECT_LE(result.seconds, kFeedTimeout + 1.0);
    }
    EXPECT_EQ(feed.fetches(), 1) << "one load for all ten requests";
    EXPECT_EQ(failures.load(), 0) << failure;
    // The figure to meet is 100 ms (server_bench measures it); a request held
    // behind the feed takes the feed's time-out, and this bound stays well
    // below it on a loaded machine or in a sanitizer build.
    EXPECT_LT(latencies.quantile(0.99), kFeedTimeout / 3.0)
        << latencies.count() << " requests, median " << latencies.quantile(0.5) << " s";
}

TEST(ServerHostileTest, IdleAndDrippingConnectionsStarveNoRealClient) {
    constexpr int kIdle = 200;
    constexpr int kDripping = 50;
    constexpr int kClients = 50;
    ServerUnderTest server("[server]\nconnections_per_address = 600\nrequest_timeout = 120\n"
                           "idle_timeout = 120\n[limits]\nsessions_per_user = 60\n"
                           "jobs_per_user = 60\n");
    ASSERT_GT(server.port, 0) << server.process.out();

    std::vector<std::unique_ptr<RawConnection>> idle;
    std::vector<std::unique_ptr<RawConnection>> dripping;
    for (int i = 0; i < kIdle + kDripping; ++i) {
        (i < kIdle ? idle : dripping).push_back(std::make_unique<RawConnection>(server.port));
        ASSERT_TRUE((i < kIdle ? idle : dripping).back()->connected()) << "connection " << i;
    }
    std::atomic<bool> running{true};
    std::thread dripper([&] {
        const std::string request = "POST /tolvane/add HTTP/1.1\r\nHost: 127.0.0.1\r\n"
                                    "Content-Length: 100\r\n\r\nuser_id=7&text=";
        for (std::size_t sent = 0; running.load(); ++sent) {
            for (const auto& connection : dripping) {
                connection->send(std::string_view(request).substr(sent % request.size(), 1));
            }
            std::this_thread::sleep_for(1s);
        }
    });

    // Each client reads for ten seconds, one text after another.
    std::atomic<int> readings{0};
    std::mutex failuresMutex;
    std::vector<std::string> failures;
    std::vector<std::thread> clients;
    const auto until = Clock::now() + 10s;
    for (int i = 0; i < kClients; ++i) {
        clients.emplace_back([&, i] {
            const Session session = logIn(server.door);
            std::string failure = session.token.empty() ? "login failed" : "";
            while (failure.empty() && Clock::now() < until) {
                failure = readAloud(session, "Client " + std::to_string(i) + " reads aloud.");
                readings += failure.empty() ? 1 : 0;
            }
            if (!failure.empty()) {
                const std::lock_guard lock(failuresMutex);
                failures.push_back(failure);
            }
        });
    }
    for (std::thread& client : clients) {
        client.join();
    }
    running = false;
    dripper.join();
    EXPECT_TRUE(failures.empty()) << failures.size()
                                  << " clients failed, first: " << failures.front();
    EXPECT_GE(readings.load(), kClients);
    // The slow ones were held all along, neither served nor dropped.
    for (const auto& connection : dripping) {
        EXPECT_FALSE(connection->endedWithin(0ms));
    }
}

TEST(ServerHostileTest, DeadlineAndAddressCapEndHostileConnections) {
    constexpr int kCap = 6;
    ServerUnderTest server("[server]\nconnections_per_address = " + std::to_string(kCap) +
                               "\nrequest_timeout = 3\nidle_timeout = 60\n",
                           false);
    ASSERT_GT(server.port, 0) << server.process.out();

    // One address holding every connection it may: the next is closed at once.
    std::vector<std::unique_ptr<RawConnection>> held;
    for (int i = 0; i < kCap; ++i) {
        held.push_back(std::make_unique<RawConnection>(server.port));
    }
    RawConnection extra(server.port);
    EXPECT_TRUE(extra.endedWithin(1500ms)) << "a connection past the cap";
    // Connections that never send are ended by the request deadline too.
    for (const auto& connection : held) {
        EXPECT_TRUE(connection->endedWithin(8s));
    }

    // A request dripping in, headers or body, is ended at its deadline though
    // bytes keep coming (the idle time-out never passes).
    RawConnection headers(server.port);
    RawConnection body(server.port);
    ASSERT_TRUE(body.send("POST /tolvane/add HTTP/1.1\r\nHost: x\r\nContent-Length: 500\r\n\r\n"));
    const auto started = Clock::now();
    bool headersEnded = false;
    bool bodyEnded = false;
    while (!(headersEnded && bodyEnded) && Clock::now() < started + 10s) {
        headersEnded = headersEnded || !headers.send("X") || headers.endedWithin(300ms);
        bodyEnded = bodyEnded || !body.send("a") || body.endedWithin(0ms);
    }
    EXPECT_TRUE(headersEnded && bodyEnded) << "after 10 s";
    EXPECT_NE(server.process.out().find("did not arrive within 3 s"), std::string::npos)
        << server.process.out();
    EXPECT_FALSE(logIn(server.door).token.empty()) << "served again once they are gone";
}

// A thousand idle connections from twenty addresses, each under the cap per
// address, fill the table: a new client gets the longest-idle one's place at
// once instead of waiting out the idle time-out.
TEST(ServerHostileTest, FullConnectionTableMakesRoomForANewClientAtOnce) {
    ServerUnderTest server("[server]\nconnections = 1000\nidle_timeout = 10\n");
    ASSERT_GT(server.port, 0) << server.process.out();
    std::vector<std::unique_ptr<RawConnection>> idle;
    for (int i = 0; i < 1000; ++i) {
        const std::string from = "127.0.0." + std::to_string(1 + i % 20);
        idle.push_back(std::make_unique<RawConnection>(server.port, from.c_str()));
        ASSERT_TRUE(idle.back()->connected()) << "connection " << i << " from " << from;
    }
    const auto started = Clock::now();
    const Session session = logIn(server.door);
    const std::chrono::duration<double> took = Clock::now() - started;
    EXPECT_FALSE(session.token.empty());
    EXPECT_LT(took.count(), 1.0) << "door and login";
    EXPECT_TRUE(idle.front()->endedWithin(1s)) << "the longest-idle connection gave way";
    EXPECT_FALSE(idle.back()->endedWithin(0ms)) << "the most recent one stays";
}

TEST(ServerHostileTest, BodiesPastTheLimitGet413AndTheFailureReplyInBoundedMemory) {
    ServerUnderTest server({});
    ASSERT_GT(server.port, 0) << server.process.out();
    const Session session = logIn(server.door);
    ASSERT_FALSE(session.token.empty());
    const long before = server.process.peakResidentKb();
    ASSERT_GT(before, 0);

    constexpr std::uint64_t k300MB = 300ull << 20;
    const std::string prefix = "user_id=7&language=zh-CN&text=";
    const std::string limit = std::to_string(64 * 1024); // the test users' limits are below it
    struct Case {
        const char* what;
        bool chunked;
        std::vector<std::string> headers;
    };
    const Case cases[] = {
        {"chunked", true, {}},
        {"announced, waiting for 100 Continue", false, {}},
        {"announced, sent at once", false, {"Expect:"}},
    };
    for (const Case& c : cases) {
        const HttpResult result =
            httpPostGenerated(session.addUrl, prefix, k300MB, c.chunked, c.headers);
        EXPECT_EQ(result.status, 413) << c.what << ": " << result.error;
        const std::vector<std::string> reply = parseAdd(result.body);
        EXPECT_EQ(at(reply, 1), "failed") << c.what << ": " << result.body;
        EXPECT_EQ(at(reply, 3), "900") << c.what;
        EXPECT_EQ(at(reply, 4), "Bad request: the body is over " + limit + " bytes") << c.what;
    }
    // Every action answers in its own reply's form.
    const HttpResult door = httpPostGenerated(server.door, "fresh=", 70000, true);
    EXPECT_EQ(door.status, 413);
    EXPECT_EQ(at(parseDoor(door.body).fields, 4), "900") << door.body;

    const long after = server.process.peakResidentKb();
    EXPECT_LT(after - before, 32 * 1024)
        << "peak resident memory went from " << before << " kB to " << after << " kB";
    EXPECT_EQ(readAloud(session, "Still here."), "");
}

std::string times(int count, const std::string& piece) {
    std::string out;
    for (int i = 0; i < count; ++i) {
        out += piece;
    }
    return out;
}

// Feeds made to cost memory, each read twice: the server ends within 10 MB of
// where it began, and each answers with what a reply can carry.
TEST(ServerHostileTest, HostileFeedsLeaveTheServersMemoryAsItWas) {
    const std::string rss = "<rss><channel>";
    const std::string end = "</channel></rss>";
    std::string entities = "<?xml version=\"1.0\"?><!DOCTYPE l [<!ENTITY l0 \"lol\">";
    for (int i = 1; i < 10; ++i) {
        entities += "<!ENTITY l" + std::to_string(i) + " \"" +
                    times(10, "&l" + std::to_string(i - 1) + ";") + "\">";
    }
    std::string many;
    for (int i = 0; i < 10000; ++i) {
        many += "<item><title>Item " + std::to_string(i) + "</title></item>";
    }
    const std::pair<std::string, std::string> feeds[] = {
        {"big", rss +
                    times(100, "<item><title>T</title><description>" +
                                   times(500, "&lt;p&gt;word &lt;b&gt;bold&lt;/b&gt;&lt;/p&gt;") +
                                   "</description></item>") +
                    end},
        {"markup", rss + "<item><title>M</title><description><![CDATA[" +
                       times(100000, "<div><span>text</span></div>") + "]]></description></item>" +
                       end},
        {"nested", rss + "<item><title>N</title><description>" + times(200000, "&lt;b&gt;") +
                       "deep text</description></item>" + end},
        {"deep", rss + "<item><title>" + times(100000, "<a>") + "</title></item>" + end},
        {"entities", entities + "]>" + rss + "<item><title>&l9;</title></item>" + end},
        {"title", rss + "<item><title>" + times(1000000, "ab ") + "</title></item>" + end},
        {"many", rss + many + end},
    };
    std::string sections = "[limits]\nnews_batch = 1\n[user h]\nemail = h@example.test\n"
                           "password_md5 = " +
                           std::string(kPasswordMd5) + "\nuserid = 9\nfeeds = 11";
    for (std::size_t i = 1; i < std::size(feeds); ++i) {
        sections += ", " + std::to_string(11 + i);
    }
    for (std::size_t i = 0; i < std::size(feeds); ++i) {
        sections += "\n[feed " + std::to_string(11 + i) + "]\ntitle = " + feeds[i].first +
                    "\nsource = " + feeds[i].first + ".xml";
    }
    ServerUnderTest server(sections + "\n");
    ASSERT_GT(server.port, 0) << server.process.out();
    for (const auto& [name, xml] : feeds) {
        writeFile(server.dir.path() / (name + ".xml"), xml);
    }
    const Session session = logIn(server.door, "h@example.test");
    ASSERT_FALSE(session.token.empty());
    const auto news = [&](std::size_t feed) {
        return parseNews(httpPost(session.newsUrl, "rss_id=" + std::to_string(11 + feed) +
                                                       "&verifytimeid=" + session.token +
                                                       "&rssstart=0")
                             .body);
    };
    // Sanitizer builds keep freed memory aside, so there it is not compared.
    [[maybe_unused]] const long before = server.process.residentKb();
    std::map<std::string, NewsReply> replies;
    for (int round = 0; round < 2; ++round) {
        for (std::size_t i = 0; i < std::size(feeds); ++i) {
            replies[feeds[i].first] = news(i);
        }
    }
    [[maybe_unused]] const long after = server.process.residentKb();
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
    EXPECT_LT(after - before, 10 * 1024)
        << "resident " << before << " kB before, " << after << " kB after";
#endif
    const auto first = [&](const std::string& feed, std::size_t field) {
        const NewsReply& reply = replies[feed];
        return reply.items.empty() ? "errcode " + at(reply.status, 1) : at(reply.items[0], field);
    };
    EXPECT_EQ(first("big", 1).size(), 511u);
    EXPECT_EQ(first("markup", 1).substr(0, 15), "text text text ");
    EXPECT_EQ(first("nested", 1), "deep text") << "past the HTML parser's depth limit";
    EXPECT_EQ(first("deep", 0), "errcode 402");
    EXPECT_EQ(first("entities", 0), "errcode 402");
    EXPECT_EQ(first("title", 0).size(), 254u) << "cut to 255 bytes, the last blank dropped";
    EXPECT_EQ(replies["many"].maxrss, 200) << "feed_items";
}

TEST(ServerHostileTest, ThousandChineseCharactersPercentEncodedAreSpoken) {
    ServerUnderTest server(std::string("[user long]\nemail = long@example.test\npassword_md5 = ") +
                           kPasswordMd5 + "\nuserid = 9\nmax_text_number = 1000\nfeeds = 1\n");
    ASSERT_GT(server.port, 0) << server.process.out();
    const Session session = logIn(server.door, "long@example.test");
    ASSERT_FALSE(session.token.empty());
    const std::string sentence = "今天天气很好我们一起去公园散步然后回家吃饭";
    std::string text;
    for (std::size_t i = 0; i < 1000; ++i) {
        const std::size_t at = (i * 3) % sentence.size();
        for (std::size_t b = 0; b < 3; ++b) {
            char encoded[4];
            std::snprintf(encoded, sizeof encoded, "%%%02X",
                          static_cast<unsigned char>(sentence[at + b]));
            text += encoded;
        }
    }
    ASSERT_EQ(text.size(), 9000u);
    EXPECT_EQ(readAloud(session, text), "");
}

} // namespace
} // namespace tolvane::server::test
