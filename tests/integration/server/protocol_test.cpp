// The whole protocol against a server on a loopback port, every reply read the
// way the client reads it.
#include "ServerTestSupport.h"
#include "server/Synthesizer.h"
#include "tests/support/TestPaths.h"

#include <gtest/gtest.h>
#include <httplib.h>

#include <atomic>
#include <fstream>
#include <iterator>
#include <thread>
#include <utility>

namespace tolvane::server::test {
namespace {

std::string repeat(const std::string& piece, int times) {
    std::string out;
    for (int i = 0; i < times; ++i) {
        out += piece;
    }
    return out;
}

const std::string kTenWords = "Please read this short sentence aloud for me right now.";

std::string rssFeed() {
    std::string items;
    const auto item = [&](const std::string& title, const std::string& description) {
        items += "<item>" + (title.empty() ? "" : "<title>" + title + "</title>") +
                 (description.empty() ? "" : "<description>" + description + "</description>") +
                 "<pubDate>Mon, 06 May 2024 08:00:00 +0000</pubDate></item>\n";
    };
    item("First &amp; foremost",
         "&lt;p&gt;Hello &lt;b&gt;world&lt;/b&gt;&lt;/p&gt;&lt;script&gt;hidden()&lt;/script&gt;");
    item(repeat("长", 100), repeat("0123456789", 60));
    item("status=broken", "see title3 and rssid1 here");
    item("Only a title", "");
    item("", "Only a description");
    item("", "");
    item("Sixth", "Six");
    item("Seventh", "Seven");
    return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<rss version=\"2.0\"><channel>"
           "<title>t</title>\n" +
           items + "</channel></rss>\n";
}

const char* kAtomFeed = R"(<?xml version="1.0" encoding="UTF-8"?>
<feed xmlns="http://www.w3.org/2005/Atom">
  <title>测试</title>
  <entry><title>第一条</title><updated>2024-05-06T08:00:00Z</updated><summary>你好</summary></entry>
  <entry><title type="html">&lt;b&gt;Second&lt;/b&gt;</title><content type="xhtml"><div xmlns="http://www.w3.org/1999/xhtml"><p>Rich</p><p>text</p></div></content></entry>
</feed>
)";

class ProtocolTest : public ::testing::Test {
  protected:
    void SetUp() override {
        writeFile(dir_.path() / "news.xml", rssFeed());
        writeFile(dir_.path() / "atom.xml", kAtomFeed);
        server_ = std::make_unique<RunningServer>(dir_.path(), testConfig(extraConfig()));
        ASSERT_TRUE(server_->ok()) << server_->error();
        session_ = logIn(server_->door());
        ASSERT_FALSE(session_.token.empty());
    }
    virtual std::string extraConfig() { return {}; }

    std::vector<std::string> add(const std::string& text, const std::string& language = "en-US") {
        return parseAdd(httpPost(session_.addUrl, addBody(session_, text, language)).body);
    }
    std::vector<std::string> news(int feed, int start, const std::string& token) {
        return {httpPost(session_.newsUrl, "rss_id=" + std::to_string(feed) +
                                               "&language=en-US&verifytimeid=" + token +
                                               "&clienttype=win32C%2B%2B&clientver=tolvane23"
                                               "&rssstart=" +
                                               std::to_string(start) + "&fresh=1")
                    .body};
    }

    TempDir dir_;
    std::unique_ptr<RunningServer> server_;
    Session session_;
};

TEST_F(ProtocolTest, DoorNamesEveryServiceOnTheHostTheClientUsed) {
    const std::string port = std::to_string(server_->app().port());
    for (const std::string host : {"127.0.0.1", "localhost"}) {
        const HttpResult result =
            httpPost("http://" + host + ":" + port + "/tolvane/tolvanedoor.php", "fresh=1234");
        ASSERT_EQ(result.status, 200) << result.error;
        const DoorReply door = parseDoor(result.body);
        ASSERT_EQ(door.fields.size(), 8u) << result.body;
        for (std::size_t i = 0; i < 4; ++i) {
            EXPECT_EQ(door.fields[i].rfind("http://" + host + ":" + port + "/tolvane/", 0), 0u)
                << door.fields[i];
            EXPECT_LE(door.fields[i].size(), 255u);
        }
        EXPECT_EQ(door.fields[4], "0");
        EXPECT_EQ(door.fields[6], "tolvane-server");
        EXPECT_FALSE(door.fields[7].empty());
    }
    // A Host that is not a plain host[:port] is not copied into the links.
    for (const std::string host : {"evil.test/x?", "evil.test&door_add=x", "a:b:c", ":80"}) {
        const DoorReply door =
            parseDoor(httpPost(server_->door(), "fresh=1", {"Host: " + host}).body);
        ASSERT_EQ(door.fields.size(), 8u) << host;
        EXPECT_EQ(door.fields[1], server_->base() + "/tolvane/add") << host;
    }

    const HttpResult get = httpGet(server_->door());
    EXPECT_EQ(get.status, 405);
    EXPECT_EQ(get.header("allow"), "POST");
}

TEST_F(ProtocolTest, OtherMethodsGet405AtOnceWithoutTheirBodyAndTheConnectionEnds) {
    struct Case {
        std::string request, allow;
    };
    const Case cases[] = {
        {"PUT /tolvane/add HTTP/1.1\r\nHost: x\r\nContent-Length: 100000\r\n\r\nab", "POST"},
        {"DELETE / HTTP/1.1\r\nHost: x\r\n\r\n", "GET, HEAD"},
        {"BREW /tolvane/query HTTP/1.1\r\nHost: x\r\nContent-Length: 9000\r\n\r\nab", "POST"},
        {"PATCH /tolvane/audio/" + std::string(36, '0') +
             ".mp3 HTTP/1.1\r\nRange: bytes=2-3\r\nTransfer-Encoding: chunked\r\n\r\n1",
         "GET, HEAD"},
    };
    for (const Case& c : cases) {
        // A PUT used to hold its thread for the ten-second read time-out, and
        // every connection stayed open five seconds more.
        const RawExchange exchange = rawExchange(server_->app().port(), c.request, 4.0);
        const std::string& reply = exchange.reply;
        EXPECT_TRUE(reply.starts_with("HTTP/1.1 405 Method Not Allowed\r\n") &&
                    reply.find("\r\nAllow: " + c.allow + "\r\n") != std::string::npos &&
                    reply.ends_with("\r\n\r\n405 Method Not Allowed: use " + c.allow + "\n"))
            << reply;
        EXPECT_TRUE(exchange.closed && exchange.seconds < 1.0) << exchange.seconds << " s";
    }
    EXPECT_EQ(at(add("Still here"), 1), "succeed");
}

// Requests a proxy in front could read otherwise (where the body ends, which
// host, which path) are refused before their body is read.
TEST_F(ProtocolTest, AmbiguousRequestsGet400AndTheConnectionEnds) {
    const std::string door = "POST /tolvane/tolvanedoor.php HTTP/1.1\r\nHost: x\r\n";
    const std::string chunks = "\r\n7\r\nfresh=1\r\n0\r\n\r\n";
    const std::pair<std::string, std::string> cases[] = {
        {door + "Content-Length: 7\r\nTransfer-Encoding: chunked\r\n" + chunks,
         "both Content-Length and Transfer-Encoding"},
        {door + "Content-Length: 7\r\nContent-Length: 8\r\n\r\nfresh=1x",
         "more than one Content-Length"},
        {door + "Transfer-Encoding: gzip, chunked\r\n" + chunks,
         "Transfer-Encoding other than chunked"},
        {"POST /tolvane/tolvanedoor.php HTTP/1.0\r\nTransfer-Encoding: chunked\r\n" + chunks,
         "Transfer-Encoding before HTTP/1.1"},
        {"POST /tolvane/tolvanedoor.php HTTP/1.1\r\nContent-Length: 7\r\n\r\nfresh=1",
         "an HTTP/1.1 request needs one Host"},
        {"GET /intl/en-US/feedback.html%00.txt HTTP/1.1\r\nHost: x\r\n\r\n",
         "the request target holds %00"},
    };
    for (const auto& [request, why] : cases) {
        const RawExchange exchange = rawExchange(server_->app().port(), request, 4.0);
        EXPECT_TRUE(exchange.reply.starts_with("HTTP/1.1 400 Bad Request\r\n") &&
                    exchange.reply.ends_with("\r\n\r\n400 Bad Request: " + why + "\n"))
            << exchange.reply;
        EXPECT_TRUE(exchange.closed && exchange.seconds < 1.0) << exchange.seconds << " s";
    }
    const RawExchange old = rawExchange(server_->app().port(), "GET / HTTP/1.0\r\n\r\n", 4.0);
    EXPECT_NE(old.reply.find(" 200 OK\r\n"), std::string::npos) << "HTTP/1.0 needs no Host";
}

TEST_F(ProtocolTest, HomeAndFeedbackPagesAreUtf8HtmlNamingTheSupportAddress) {
    const std::pair<std::string, std::string> pages[] = {
        {"/", "reads text aloud"},
        {"/intl/en-US/feedback.html", "send an e-mail to"},
        {"/intl/zh-CN/feedback.html", "请发送电子邮件至"},
    };
    for (const auto& [path, phrase] : pages) {
        const HttpResult page = httpGet(server_->base() + path);
        ASSERT_EQ(page.status, 200) << path << ": " << page.error;
        EXPECT_EQ(page.header("content-type"), "text/html; charset=utf-8") << path;
        EXPECT_NE(page.body.find(phrase), std::string::npos) << path << ": " << page.body;
        EXPECT_NE(page.body.find("mailto:support@tolvane.local"), std::string::npos) << path;
    }
    // Page paths match literally, not as patterns.
    EXPECT_EQ(httpGet(server_->base() + "/intl/en-US/feedbackXhtml").status, 404);
    EXPECT_EQ(httpPost(server_->base() + "/", "x=1").status, 404);
}

TEST_F(ProtocolTest, LoginGivesLimitsTokenAndFeedsAndRefusesStrangers) {
    const HttpResult ok =
        httpPost(session_.verifyUrl, std::string("user_email=READER@example.test"
                                                 "&pass_md5=FE01CE2A7FBAC8FAFAED7C982A04E229"
                                                 "&language=en-US&fresh=1"));
    const VerifyReply verify = parseVerify(ok.body);
    ASSERT_EQ(verify.head.size(), 10u) << ok.body;
    EXPECT_EQ(verify.head[1], "succeed");
    EXPECT_EQ(verify.head[2], "30");
    EXPECT_EQ(verify.head[3], "100");
    EXPECT_EQ(verify.head[5], "tester");
    EXPECT_EQ(verify.head[6], "7");
    EXPECT_EQ(verify.head[9].size(), 32u);
    EXPECT_NE(verify.head[9], session_.token) << "every login opens its own session";
    ASSERT_EQ(verify.total, 2);
    ASSERT_EQ(verify.feeds.size(), 2u);
    EXPECT_EQ(verify.feeds[0].fields,
              (std::vector<std::string>{"1", "Test News", "3", at(verify.feeds[0].fields, 3)}));
    EXPECT_EQ(at(verify.feeds[1].fields, 1), "测试新闻");
    EXPECT_EQ(at(verify.feeds[1].fields, 3).size(), 19u) << "YYYY-MM-DD HH:MM:SS";

    struct Case {
        std::string body, errcode, errmsg;
    };
    const Case cases[] = {
        {"user_email=reader@example.test&pass_md5=00000000000000000000000000000000&language=en-US",
         "302", "Wrong password"},
        {"user_email=nobody@example.test&pass_md5=fe01ce2a7fbac8fafaed7c982a04e229&language=en-US",
         "301", "Unknown user"},
        {"user_email=reader@example.test&pass_md5=0&language=en-US", "900",
         "Bad request: pass_md5 must be 32 hexadecimal digits"},
        {"user_email=reader@example.test&pass_md5=00000000000000000000000000000000&language=zh-CN",
         "302", "密码错误"},
    };
    for (const Case& c : cases) {
        const VerifyReply failed = parseVerify(httpPost(session_.verifyUrl, c.body).body);
        ASSERT_EQ(failed.head.size(), 10u) << c.body;
        EXPECT_EQ(failed.head[1], "failed");
        EXPECT_EQ(failed.head[7], c.errcode);
        EXPECT_EQ(failed.head[8], c.errmsg);
        EXPECT_EQ(failed.total, 0);
    }
}

TEST_F(ProtocolTest, SpeechJobMakesSpeechLengthMp3ServedByHeadGetAndRanges) {
    const std::vector<std::string> added = add(kTenWords);
    ASSERT_EQ(added.size(), 5u);
    ASSERT_EQ(added[1], "succeed") << added[4];
    EXPECT_EQ(added[2].size(), 36u);

    const std::vector<std::string> done = waitForJob(session_, added[2]);
    ASSERT_EQ(done.size(), 7u);
    ASSERT_EQ(done[2], "ttsed") << done[6];
    const std::vector<std::string> parts =
        clientScan(done[4], "%[^:]:%[^:]:%[^:]:%[^:]:%[^:]:%[^:]");
    ASSERT_EQ(parts.size(), 6u) << done[4];
    EXPECT_EQ(parts[0], "en-us+f2");
    EXPECT_EQ(parts[4], "22050");
    EXPECT_EQ(done[3], server_->base() + "/tolvane/audio/" + added[2] + ".mp3");

    const HttpResult head = httpGet(done[3], {}, true);
    const HttpResult get = httpGet(done[3]);
    ASSERT_EQ(get.status, 200) << get.error;
    EXPECT_EQ(head.status, 200);
    EXPECT_EQ(head.header("content-length"), std::to_string(get.body.size()));
    EXPECT_EQ(get.header("content-type"), "audio/mpeg");
    std::string why;
    EXPECT_TRUE(wellFormedMp3(get.body, why)) << why;
    const DecodedAudio audio = decodeMp3(get.body);
    ASSERT_TRUE(audio.ok) << audio.error;
    EXPECT_GE(audio.seconds, 2.0);
    EXPECT_LE(audio.seconds, 4.0);
    EXPECT_NEAR(audio.seconds * 1000, std::stod(parts[5]), 150);

    const HttpResult range = httpGet(done[3], {"Range: bytes=100-199"});
    EXPECT_EQ(range.status, 206);
    EXPECT_EQ(range.body, get.body.substr(100, 100));
    const HttpResult tail = httpGet(done[3], {"Range: bytes=-10"});
    EXPECT_EQ(tail.body, get.body.substr(get.body.size() - 10));
    const HttpResult past = httpGet(done[3], {"Range: bytes=99999999-"});
    EXPECT_EQ(past.status, 416);
    EXPECT_EQ(past.header("content-range"), "bytes */" + std::to_string(get.body.size()));
    EXPECT_EQ(httpGet(server_->base() + "/tolvane/audio/" + std::string(36, '0') + ".mp3").status,
              404);
}

// Milliseconds of what the espeak-ng voice `name` makes of `text` on its own,
// at the rate and variant the tests ask for.
double msAlone(const std::string& name, const std::string& text) {
    Synthesizer& synthesizer = Synthesizer::instance();
    const std::atomic<bool> cancel{false};
    std::vector<int16_t> pcm;
    std::string error;
    EXPECT_TRUE(synthesizer.speakAs(name, text, {"f2", 175, 100, 0}, 1u << 24, cancel, pcm, error))
        << error;
    return static_cast<double>(pcm.size()) * 1000 / synthesizer.sampleRate();
}

// Whether `ms` of speech is within a tenth of the length the voice `right`
// gives `text` and nearer to it than to the length the voice `wrong` gives.
// (espeak-ng carries a little of one speech into the next, so the same text
// by the same voice varies by a few percent.)
::testing::AssertionResult spokenBy(double ms, const std::string& right, const std::string& wrong,
                                    const std::string& text) {
    const double expected = msAlone(right, text);
    const double other = msAlone(wrong, text);
    if (std::abs(ms - expected) <= expected / 10 &&
        std::abs(ms - expected) < std::abs(ms - other)) {
        return ::testing::AssertionSuccess();
    }
    return ::testing::AssertionFailure() << text << ": " << ms << " ms, " << right << " alone "
                                         << expected << " ms, " << wrong << " alone " << other;
}

const std::string kMandarin = "cmn-latn-pinyin+f2";
const std::string kEnglish = "en-us+f2";
// espeak-ng's cmn voice reads each character's tone digit as an English number.
const std::string kWrongMandarin = "cmn+f2";

TEST_F(ProtocolTest, ChineseTextIsSpokenWithTheMandarinVoice) {
    const std::string text = "今天天气很好，我们去公园散步吧。";
    const std::vector<std::string> added = add(text, "en-US");
    ASSERT_EQ(at(added, 1), "succeed") << at(added, 4);
    const std::vector<std::string> done = waitForJob(session_, added[2]);
    ASSERT_EQ(at(done, 2), "ttsed") << at(done, 6);
    EXPECT_EQ(done[4].rfind(kMandarin + ":", 0), 0u) << done[4];
    const DecodedAudio audio = decodeMp3(httpGet(done[3]).body);
    ASSERT_TRUE(audio.ok) << audio.error;
    EXPECT_TRUE(spokenBy(audio.seconds * 1000, kMandarin, kWrongMandarin, text));
    EXPECT_GT(audio.rms, 0.02) << "the speech is not silent";
}

TEST_F(ProtocolTest, EachScriptIsSpokenByItsOwnVoiceAndNewsItemsToo) {
    // The voices the job names; when one voice speaks it all, which one and
    // which other it must not sound like.
    struct Case {
        std::string text, language, voices, right, wrong;
    };
    std::vector<Case> cases = {
        {"今天的新闻很好。", "zh-CN", kMandarin, kMandarin, kWrongMandarin},
        {"The weather is fine.", "zh-CN", kEnglish, kEnglish, kWrongMandarin},
        {"今天的新闻: Apple released iOS 20 in California.", "zh-CN", kMandarin + "," + kEnglish},
        {"2024", "zh-CN", kMandarin, kMandarin, kEnglish},
    };
    // The demo's Chinese feed, read as the client reads an item: its title, a
    // comma and its description.
    std::ifstream demo(tolvane::test::sourceDir() + "/resources/server/feeds/tolvane-jianxun.xml");
    writeFile(dir_.path() / "atom.xml", std::string(std::istreambuf_iterator<char>(demo), {}));
    for (int start : {0, 3}) {
        for (const auto& item : parseNews(at(news(2, start, session_.token), 0)).items) {
            const std::string text = at(item, 0) + "," + at(item, 1);
            if (text.find("tolvane-server") != std::string::npos) {
                cases.push_back({text, "en-US", kMandarin + "," + kEnglish});
            } else {
                cases.push_back({text, "en-US", kMandarin, kMandarin, kWrongMandarin});
            }
        }
    }
    ASSERT_EQ(cases.size(), 8u) << "four items in the demo feed";
    for (const Case& c : cases) {
        const std::vector<std::string> added = add(c.text, c.language);
        ASSERT_EQ(at(added, 1), "succeed") << c.text << ": " << at(added, 4);
        const std::vector<std::string> parts = clientScan(at(waitForJob(session_, added[2]), 4),
                                                          "%[^:]:%[^:]:%[^:]:%[^:]:%[^:]:%[^:]");
        ASSERT_EQ(parts.size(), 6u) << c.text;
        EXPECT_EQ(parts[0], c.voices) << c.text;
        if (!c.right.empty()) {
            EXPECT_TRUE(spokenBy(std::stod(parts[5]), c.right, c.wrong, c.text));
        }
    }
}

TEST_F(ProtocolTest, TextOfExactlyTheLimitIsAcceptedAndOneMoreRefused) {
    for (const std::string unit : {"a", "字"}) {
        EXPECT_EQ(at(add(repeat(unit, 100)), 1), "succeed");
        const std::vector<std::string> refused = add(repeat(unit, 101));
        EXPECT_EQ(at(refused, 1), "failed");
        EXPECT_EQ(at(refused, 2), "null");
        EXPECT_EQ(at(refused, 3), "102");
        EXPECT_EQ(at(refused, 4), "Text longer than 100 characters");
    }
}

TEST_F(ProtocolTest, JobRequestsFailWithClearCodes) {
    const auto failure = [&](const std::string& body, const std::string& url) {
        const std::vector<std::string> fields = url == session_.addUrl
                                                    ? parseAdd(httpPost(url, body).body)
                                                    : parseQuery(httpPost(url, body).body);
        EXPECT_EQ(at(fields, 1), "failed") << body;
        return at(fields, fields.size() == 5 ? 3 : 5);
    };
    Session stranger = session_;
    stranger.token = std::string(32, 'a');
    Session otherUser = session_;
    otherUser.userId = "8";
    EXPECT_EQ(failure(addBody(session_, " \t "), session_.addUrl), "101");
    EXPECT_EQ(failure(addBody(session_, "%FF%FE"), session_.addUrl), "103");
    EXPECT_EQ(failure(addBody(stranger, "Hello"), session_.addUrl), "303");
    EXPECT_EQ(failure(addBody(otherUser, "Hello"), session_.addUrl), "304");
    std::string badRate = addBody(session_, "Hello");
    badRate.replace(badRate.find("rate=50"), 7, "rate=101");
    EXPECT_EQ(failure(badRate, session_.addUrl), "104");
    std::string badFormat = addBody(session_, "Hello");
    badFormat.replace(badFormat.find("format=6"), 8, "format=7");
    EXPECT_EQ(failure(badFormat, session_.addUrl), "104");
    std::string badTimeMax = addBody(session_, "Hello");
    badTimeMax.replace(badTimeMax.find("time_max=30"), 11, "time_max=-1");
    const auto codeAndMessage = [&](const std::string& body) {
        const std::vector<std::string> fields = parseAdd(httpPost(session_.addUrl, body).body);
        return at(fields, 3) + " " + at(fields, 4);
    };
    EXPECT_EQ(codeAndMessage(badTimeMax), "104 Bad parameter: time_max must be 0 or more");
    EXPECT_EQ(codeAndMessage(addBody(session_, "Hello%00world")),
              "103 Text is not valid UTF-8: it holds a NUL character");
    EXPECT_EQ(failure(queryBody(session_, std::string(36, '0')), session_.queryUrl), "105");
    EXPECT_EQ(failure(queryBody(stranger, std::string(36, '0')), session_.queryUrl), "303");
    const std::string uuid = at(add("Hello"), 2);
    EXPECT_EQ(failure(queryBody(otherUser, uuid), session_.queryUrl), "304");
}

TEST_F(ProtocolTest, NewsComesInBatchesToTheEndOfTheFeed) {
    std::vector<std::vector<std::string>> items;
    int start = 0;
    for (int batch = 0; batch < 10; ++batch) {
        const NewsReply reply = parseNews(news(1, start, session_.token)[0]);
        ASSERT_TRUE(reply.marker);
        ASSERT_EQ(reply.status.size(), 3u);
        EXPECT_EQ(reply.status[0], "succeed");
        EXPECT_EQ(reply.maxrss, 7) << "the item with neither title nor text is left out";
        if (reply.total == 0) {
            break;
        }
        EXPECT_LE(reply.total, 3);
        ASSERT_EQ(static_cast<long>(reply.items.size()), reply.total);
        items.insert(items.end(), reply.items.begin(), reply.items.end());
        start += static_cast<int>(reply.total);
    }
    ASSERT_EQ(items.size(), 7u);
    for (const auto& item : items) {
        ASSERT_EQ(item.size(), 3u);
    }
    EXPECT_EQ(items[0][0], "First and foremost");
    EXPECT_EQ(items[0][1], "Hello world");
    EXPECT_EQ(items[0][2], "Mon, 06 May 2024 08:00:00 +0000");
    EXPECT_EQ(items[1][0], repeat("长", 85)) << "255 bytes, cut between characters";
    EXPECT_EQ(items[1][1].size(), 511u);
    EXPECT_EQ(items[2][0], "status =broken");
    EXPECT_EQ(items[2][1], "see title 3 and rssid 1 here");
    EXPECT_EQ(items[3][1], "null");
    EXPECT_EQ(items[4][0], "null");

    const NewsReply atom = parseNews(news(2, 0, session_.token)[0]);
    ASSERT_EQ(atom.items.size(), 2u);
    EXPECT_EQ(atom.items[0], (std::vector<std::string>{"第一条", "你好", "2024-05-06T08:00:00Z"}));
    EXPECT_EQ(atom.items[1], (std::vector<std::string>{"Second", "Rich text", "null"}));

    EXPECT_EQ(at(parseNews(news(3, 0, session_.token)[0]).status, 1), "401");
    EXPECT_EQ(at(parseNews(news(1, -1, session_.token)[0]).status, 1), "104");
    EXPECT_EQ(at(parseNews(news(1, 0, "nope")[0]).status, 1), "303");
}

TEST_F(ProtocolTest, BadInputGetsAClearFailureAndTheServerKeepsServing) {
    const std::string addUrl = session_.addUrl;
    const std::string goodAdd = addBody(session_, "Hello");
    struct Case {
        std::string url, body, detail;
    };
    const Case cases[] = {
        {addUrl, "user_id=7&text=Hello", "missing field 'verifytimeid'"},
        {addUrl, goodAdd + "&colour=blue", "unknown field 'colour'"},
        {addUrl, "text=Hello&user_id=7&verifytimeid=" + session_.token,
         "field 'user_id' out of order"},
        {addUrl, "user_id=7&user_id=7", "field 'user_id' given twice"},
        {addUrl, "user_id=7&text=50%&verifytimeid=x", "bad percent-encoding in field 'text'"},
        {addUrl, "user_id=7&text=%G1&verifytimeid=x", "bad percent-encoding in field 'text'"},
        {addUrl, "user_id=seven&text=a&verifytimeid=x", "field 'user_id' is not a whole number"},
        {addUrl, std::string("\x01\xFF\x00junk", 7), "field '\\x01?' has no '='"},
        {addUrl, "", "missing field 'user_id'"},
        {addUrl, "user_id=7&&text=a", "empty field"},
        {server_->door(), "fresh=1&more=2", "unknown field 'more'"},
        {session_.newsUrl, "rss_id=1", "missing field 'verifytimeid'"},
    };
    for (const Case& c : cases) {
        const HttpResult result = httpPost(c.url, c.body);
        EXPECT_EQ(result.status, 400) << c.body;
        const bool door = c.url == server_->door();
        const std::string errcode = door              ? at(parseDoor(result.body).fields, 4)
                                    : c.url == addUrl ? at(parseAdd(result.body), 3)
                                                      : at(parseNews(result.body).status, 1);
        const std::string errmsg = door              ? at(parseDoor(result.body).fields, 5)
                                   : c.url == addUrl ? at(parseAdd(result.body), 4)
                                                     : at(parseNews(result.body).status, 2);
        EXPECT_EQ(errcode, "900") << result.body;
        if (c.detail.find("\\x01") == std::string::npos) {
            EXPECT_EQ(errmsg, "Bad request: " + c.detail) << c.body;
        }
    }
    const HttpResult huge = httpPost(addUrl, "user_id=7&text=" + std::string(1 << 20, 'a'));
    EXPECT_EQ(huge.status, 413) << huge.error;
    EXPECT_EQ(httpPost(server_->base() + "/tolvane/unknown", "x=1").status, 404);
    EXPECT_EQ(httpGet(server_->base() + "/../../etc/passwd").status, 404);
    EXPECT_EQ(httpGet(server_->base() + "/tolvane/audio/../server.ini").status, 404);

    const DoorReply door = parseDoor(httpPost(server_->door(), "fresh=1").body);
    EXPECT_EQ(door.fields.size(), 8u) << "still serving";
    EXPECT_EQ(at(add("Still here"), 1), "succeed");
}

// Room for two sessions in all; the reader and user 8 take them.
class SessionCapTest : public ProtocolTest {
    std::string extraConfig() override {
        return "[limits]\nsessions = 2\n[user b]\nemail = b@example.test\npassword_md5 = " +
               std::string(kPasswordMd5) + "\nuserid = 8\nfeeds = 1\n[user c]\nemail = " +
               "c@example.test\npassword_md5 = " + kPasswordMd5 + "\nuserid = 9\n";
    }
};

TEST_F(SessionCapTest, FullServerRefusesNewcomersWith305AndLogsNobodyOut) {
    const Session b = logIn(server_->door(), "b@example.test");
    const HttpResult refused = httpPost(session_.verifyUrl, "user_email=c@example.test&pass_md5=" +
                                                                std::string(kPasswordMd5));
    EXPECT_EQ(refused.status, 503);
    const std::vector<std::string> head = parseVerify(refused.body).head;
    EXPECT_EQ(at(head, 7) + " " + at(head, 8) + " " + at(head, 9),
              "305 Too many users logged in, try again later null")
        << refused.body;
    const auto newsStatus = [&](const Session& s) {
        return at(parseNews(news(1, 0, s.token)[0]).status, 1);
    };
    EXPECT_EQ(newsStatus(b), "0");
    // The reader holds a session, so gives it up for a new login.
    const Session again = logIn(server_->door());
    EXPECT_EQ(newsStatus(session_), "303");
    EXPECT_EQ(newsStatus(again), "0");
    EXPECT_EQ(newsStatus(b), "0");
}

TEST(PublicUrlTest, ServiceAddressesStartWithPublicUrlWhateverTheHost) {
    TempDir dir;
    RunningServer server(dir.path(), testConfig("[server]\npublic_url = https://a.test/tts/\n"));
    ASSERT_TRUE(server.ok()) << server.error();
    for (const std::string host : {"Host: other.test:81", "Host: a:b:c"}) {
        const DoorReply door = parseDoor(httpPost(server.door(), "fresh=1", {host}).body);
        EXPECT_EQ(at(door.fields, 0), "https://a.test/tts/tolvane/userverify") << host;
    }
}

// Five wrong logins per account and twenty per address are free; then waits
// of 1 s, doubling up to 2 s.
class LoginGuardTest : public ProtocolTest {
    std::string extraConfig() override {
        return "[limits]\nlogin_failures = 5\nlogin_failures_per_address = 20\n"
               "login_delay = 1\nlogin_delay_max = 2\n";
    }
};

TEST_F(LoginGuardTest, ThousandWrongLoginsAreSlowedAndTheRightUserStillLogsIn) {
    const std::string right = std::string("user_email=") + kEmail + "&pass_md5=" + kPasswordMd5;
    const std::string wrong =
        std::string("user_email=") + kEmail + "&pass_md5=" + std::string(32, '0');
    const auto login = [&](const std::string& body, const std::string& from) {
        const HttpResult result = httpPost(session_.verifyUrl, body, {}, from);
        const std::vector<std::string> head = parseVerify(result.body).head;
        return std::to_string(result.status) + " " + at(head, 7) + " " + at(head, 8);
    };
    // The attacker guesses from 127.0.0.9; the reader logged in from 127.0.0.1.
    int tried = 0;
    const auto started = std::chrono::steady_clock::now();
    for (int i = 0; i < 1000; ++i) {
        const std::string reply = login(wrong, "127.0.0.9");
        if (reply == "200 302 Wrong password") {
            ++tried;
        } else {
            ASSERT_TRUE(reply == "429 306 Too many failed logins, try again in 1 s" ||
                        reply == "429 306 Too many failed logins, try again in 2 s")
                << "login " << i << ": " << reply;
        }
    }
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    EXPECT_GE(tried, 5);
    EXPECT_LE(tried, 5 + 1 + static_cast<int>(seconds / 2) + 1) << "in " << seconds << " s";

    // The reader's own address is let in at once; a new one waits out the lock.
    EXPECT_EQ(login(right, "127.0.0.1"), "200 0 null");
    EXPECT_EQ(login(right, "127.0.0.2").substr(0, 8), "429 306 ");
    std::this_thread::sleep_for(std::chrono::milliseconds(2100));
    EXPECT_EQ(login(right, "127.0.0.2"), "200 0 null");

    // Past twenty failures from one address, every login from it waits.
    for (int i = 0; i < 20; ++i) {
        login("user_email=nobody" + std::to_string(i) + "@example.test&pass_md5=" + kPasswordMd5,
              "127.0.0.9");
    }
    EXPECT_EQ(login(right, "127.0.0.9").substr(0, 8), "429 306 ");
    EXPECT_EQ(login(right, "127.0.0.3"), "200 0 null");
}

class QueueTest : public ProtocolTest {
    std::string extraConfig() override { return "[limits]\nqueue_size = 1\nfile_expiry = 1\n"; }
};

TEST_F(QueueTest, FullQueueRefusesAndFinishedFilesExpire) {
    const std::string text = repeat("word ", 19);
    const std::vector<std::string> first = add(text);
    ASSERT_EQ(at(first, 1), "succeed");
    const HttpResult busy = httpPost(session_.addUrl, addBody(session_, text));
    EXPECT_EQ(busy.status, 503);
    EXPECT_EQ(at(parseAdd(busy.body), 3), "901");

    const std::vector<std::string> done = waitForJob(session_, first[2]);
    ASSERT_EQ(at(done, 2), "ttsed");
    EXPECT_EQ(httpGet(done[3]).status, 200);
    EXPECT_TRUE(audioKept(server_->app(), first[2]));
    long status = 200;
    for (int i = 0; i < 100 && status == 200; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        status = httpGet(done[3]).status;
    }
    EXPECT_EQ(status, 404);
    EXPECT_FALSE(audioKept(server_->app(), first[2]));
    EXPECT_EQ(at(waitForJob(session_, first[2], 1), 5), "105");
}

// One worker; room for eight jobs, four of one user's. User 8 fills its share
// with long texts, then the reader adds one: it is taken in turn, before user
// 8's later jobs. Queries are answered at once, so the last one tells how far
// the queue has come.
TEST(JobShareTest, AnotherUsersJobStartsWhileOneAccountFloods) {
    TempDir dir;
    std::string ini =
        testConfig("[server]\nquery_hold = 0\n"
                   "[limits]\nqueue_size = 8\njobs_per_user = 4\n[user b]\n"
                   "email = b@example.test\npassword_md5 = " +
                   std::string(kPasswordMd5) + "\nuserid = 8\nmax_text_number = 1000\n");
    ini.replace(ini.find("workers = 2"), 11, "workers = 1");
    RunningServer server(dir.path(), ini);
    ASSERT_TRUE(server.ok()) << server.error();
    const Session flooder = logIn(server.door(), "b@example.test");
    const Session reader = logIn(server.door());
    const auto add = [](const Session& session, int words) {
        const HttpResult result =
            httpPost(session.addUrl, addBody(session, repeat("word ", words)));
        const std::vector<std::string> fields = parseAdd(result.body);
        return at(fields, 1) == "succeed" ? fields[2]
                                          : std::to_string(result.status) + " " + at(fields, 4);
    };
    std::vector<std::string> flood;
    for (int i = 0; i < 4; ++i) {
        flood.push_back(add(flooder, 199));
        ASSERT_EQ(flood.back().size(), 36u) << flood.back();
    }
    EXPECT_EQ(add(flooder, 199),
              "503 Server busy, try again later: 4 of your texts are waiting or being read");
    const std::string mine = add(reader, 5);
    ASSERT_EQ(mine.size(), 36u) << mine;
    EXPECT_EQ(at(waitForJob(reader, mine), 2), "ttsed");
    const std::string last = at(waitForJob(flooder, flood.back(), 1), 2);
    EXPECT_TRUE(last == "wait" || last == "ttsing") << "the flood's fourth job is " << last;
}

class UrlFeedTest : public ProtocolTest {
  protected:
    void SetUp() override {
        feedServer_.Get("/feed.xml", [this](const httplib::Request&, httplib::Response& res) {
            ++hits_;
            res.set_content(kAtomFeed, "application/atom+xml");
        });
        feedPort_ = feedServer_.bind_to_any_port("127.0.0.1");
        feedThread_ = std::thread([this] { feedServer_.listen_after_bind(); });
        ProtocolTest::SetUp();
    }
    void TearDown() override {
        for (int i = 0; i < 5000 && !feedServer_.is_running(); ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        feedServer_.stop();
        feedThread_.join();
    }
    std::string extraConfig() override {
        const std::string base = "http://127.0.0.1:" + std::to_string(feedPort_);
        return "[user web]\nemail = web@example.test\npassword_md5 = " + std::string(kPasswordMd5) +
               "\nuserid = 9\nfeeds = 3, 4\n[feed 3]\ntitle = Web\nsource = " + base +
               "/feed.xml\n[feed 4]\ntitle = Gone\nsource = " + base + "/missing.xml\n";
    }

    httplib::Server feedServer_;
    int feedPort_ = 0;
    std::thread feedThread_;
    std::atomic<int> hits_{0};
};

TEST_F(UrlFeedTest, UrlFeedIsFetchedOnceAndKeptAndFetchFailuresAreReported) {
    const Session web = logIn(server_->door(), "web@example.test");
    ASSERT_FALSE(web.token.empty());
    for (int i = 0; i < 3; ++i) {
        const NewsReply reply = parseNews(news(3, 0, web.token)[0]);
        ASSERT_EQ(reply.items.size(), 2u);
        EXPECT_EQ(reply.items[0][0], "第一条");
    }
    EXPECT_EQ(hits_.load(), 1);
    const NewsReply gone = parseNews(news(4, 0, web.token)[0]);
    EXPECT_EQ(at(gone.status, 1), "402");
    EXPECT_NE(at(gone.status, 2).find("404"), std::string::npos) << at(gone.status, 2);
    EXPECT_EQ(at(parseNews(news(1, 0, web.token)[0]).status, 1), "401") << "not this user's feed";
}

} // namespace
} // namespace tolvane::server::test
