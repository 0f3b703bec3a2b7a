// tolvane-say's command line and report lines, and its exit status for
// readings that fail before any audio plays, against a stand-in server.
#include "FakeSpeechServer.h"
#include "SayTestSupport.h"

#include "protocol/DialogCodes.h"
#include "protocol/PlaybackStatus.h"
#include "tools/say/ReportLine.h"
#include "tools/say/SayOptions.h"
#include "ui/core/MainDialogCore.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <fstream>

namespace tolvane::test {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;
using namespace std::chrono_literals;
using namespace tolvane::say;

TEST(SayOptionsTest, ReadsOptionsAndTheText) {
    ParsedOptions p = parseSayOptions({"--config", "a.ini", "--lang=en-US", "--trace", "Hello",
                                       "world", "--", "--not-an-option"});
    ASSERT_TRUE(p.ok) << p.error;
    EXPECT_EQ(p.options.configPath, "a.ini");
    EXPECT_EQ(p.options.language, "en-US");
    EXPECT_TRUE(p.options.trace);
    EXPECT_THAT(p.options.words, ElementsAre("Hello", "world", "--not-an-option"));
    EXPECT_FALSE(p.options.fromStdin);

    for (const std::vector<std::string>& stdinArgs :
         {std::vector<std::string>{}, {"-"}, {"--lang", "zh-CN", "-"}}) {
        p = parseSayOptions(stdinArgs);
        ASSERT_TRUE(p.ok) << p.error;
        EXPECT_TRUE(p.options.fromStdin);
        EXPECT_TRUE(p.options.words.empty());
    }
    p = parseSayOptions({"--feed", "2"});
    ASSERT_TRUE(p.ok) << p.error;
    EXPECT_EQ(p.options.feed, 2);
    EXPECT_FALSE(p.options.fromStdin);
    EXPECT_FALSE(p.options.rate || p.options.volume || p.options.voice);

    p = parseSayOptions({"--rate", "80", "--volume=0", "--voice", "VW Lily", "Hi"});
    ASSERT_TRUE(p.ok) << p.error;
    EXPECT_EQ(p.options.rate, 80);
    EXPECT_EQ(p.options.volume, 0);
    EXPECT_EQ(p.options.voice, "VW Lily");
}

TEST(SayOptionsTest, UsageErrorsSayWhatIsWrong) {
    const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
        {{"--lang", "fr-FR", "x"}, "--lang takes zh-CN or en-US, not \"fr-FR\""},
        {{"--lang"}, "--lang needs a value"},
        {{"--feed", "0"}, "--feed takes a feed number from 1, not \"0\""},
        {{"--feed", "2x"}, "--feed takes a feed number from 1, not \"2x\""},
        {{"--feed", "1", "text"}, "--feed reads a feed; give no text with it"},
        {{"--config="}, "--config needs a file name"},
        {{"--volume", "101"}, "--volume takes a whole number from 0 to 100, not \"101\""},
        {{"--rate=fast"}, "--rate takes a whole number from 0 to 100, not \"fast\""},
        {{"--voice", ""}, "--voice takes a name of one line, at most 255 bytes"},
        {{"--speed", "3"}, "unknown option --speed"},
        {{"--file", "a.pdf", "text"}, "--file reads a document; give no text or feed with it"},
        {{"--feed", "1", "--file=a.pdf"}, "--file reads a document; give no text or feed with it"},
        {{"--file="}, "--file needs a file name"},
        {{"--resume", "text"}, "--resume goes with --file"},
    };
    for (const auto& [args, error] : cases) {
        const ParsedOptions p = parseSayOptions(args);
        EXPECT_FALSE(p.ok) << args[0];
        EXPECT_EQ(p.error, error);
    }
}

TEST(ReportLineTest, EachReportHasItsPayload) {
    const std::u16string text = u"查询转换状态成功,开始朗读...";
    const intptr_t textArgument = DialogPort::textArgument(text);
    EXPECT_EQ(reportLine(100, dialog::number(dialog::JobCode::AudioReady), textArgument),
              "100/150 查询转换状态成功,开始朗读...");
    EXPECT_EQ(reportLine(100, dialog::number(dialog::JobCode::PlaybackProgress), 42), "100/210 42");
    EXPECT_EQ(reportLine(100, dialog::number(dialog::JobCode::PlaybackPlaying), 0), "100/170");
    EXPECT_EQ(reportLine(100, dialog::number(dialog::JobCode::Stopped), 0), "100/160");
    PlaybackStatus status{37, 64, 0, 1, 5, 1, 2, 3};
    EXPECT_EQ(reportLine(100, dialog::number(dialog::JobCode::PlaybackStatus),
                         reinterpret_cast<intptr_t>(&status)),
              "100/200 37% 64 kbs 00:01:05/01:02:03");
    EXPECT_EQ(reportLine(200, dialog::number(dialog::NetworkVerifyCode::Started), 0), "200/210");
    EXPECT_EQ(reportLine(200, dialog::number(dialog::NetworkVerifyCode::Succeeded), 200),
              "200/220 200");
    EXPECT_EQ(reportLine(200, dialog::number(dialog::NetworkVerifyCode::Offline), 0), "200/230 0");
    EXPECT_EQ(reportLine(300, dialog::number(dialog::UserVerifyCode::Failed), textArgument),
              "300/310 查询转换状态成功,开始朗读...");
    EXPECT_EQ(MainDialogCore::traceLine(100, dialog::number(dialog::JobCode::Failed)),
              "Add&Query Error");
    EXPECT_EQ(MainDialogCore::traceLine(400, dialog::number(dialog::NewsItemsCode::Arrived)),
              "RSS Succeed");
    EXPECT_EQ(MainDialogCore::traceLine(100, dialog::number(dialog::JobCode::PlaybackStatus)), "");
}

// tolvane-say run to its end against `server` with `args` after the config.
struct SayRun {
    int exitCode = -1;
    std::vector<std::string> lines;
    std::string err;
};

SayRun runSay(const std::filesystem::path& config, std::vector<std::string> args,
              const std::string& input = {}) {
    SayProcess say;
    std::string error;
    if (!config.empty()) {
        args.insert(args.begin(), {"--config", config.string()});
    }
    EXPECT_TRUE(say.start(args, error, input)) << error;
    EXPECT_TRUE(say.wait(30s)) << "tolvane-say hangs: " << say.out();
    return {say.exitCode(), say.lines(), say.err()};
}

TEST(SayProcessTest, UsageErrorsExitWith2) {
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{"--lang", "de-DE", "x"}, {"--feed"}, {"--bogus"}}) {
        const SayRun run = runSay({}, args);
        EXPECT_EQ(run.exitCode, 2);
        EXPECT_THAT(run.err, HasSubstr("usage: tolvane-say"));
        EXPECT_TRUE(run.lines.empty());
    }
    const SayRun empty = runSay({}, {}, "  \n\t\n");
    EXPECT_EQ(empty.exitCode, 2);
    EXPECT_THAT(empty.err, HasSubstr("no text to read"));
    const SayRun missing = runSay("/nonexistent/config.ini", {"x"});
    EXPECT_EQ(missing.exitCode, 2);
    EXPECT_THAT(missing.err, HasSubstr("cannot read /nonexistent/config.ini"));
    const SayRun help = runSay({}, {"--help"});
    EXPECT_EQ(help.exitCode, 0);
    // A document that cannot be read fails before any server is asked.
    const SayRun absent = runSay({}, {"--file", "/nonexistent/book.epub"});
    EXPECT_EQ(absent.exitCode, 1);
    EXPECT_THAT(absent.err,
                HasSubstr("the file cannot be read: cannot open /nonexistent/book.epub"));
    EXPECT_TRUE(absent.lines.empty());
}

class SayFailureTest : public ::testing::Test {
  protected:
    std::filesystem::path config(const std::string& extra = {}) {
        return writeClientConfig(dir_.path(), server_.port(), "FILE", extra);
    }

    TempDir dir_;
    FakeSpeechServer server_{2};
};

TEST_F(SayFailureTest, AFailedJobExitsWith1AndItsText) {
    struct Case {
        std::string path;
        std::string reply;
        std::string last;
    };
    const Case cases[] = {
        {"/add", "item=tolvane&action=add&status=failed&uuid=null&errcode=901&errmsg=queue full",
         "100/110 Failed to send request,read again [901, queue full]"},
        {"/query",
         "item=tolvane&action=query&status=failed&tts_status=null&http_file=null&"
         "parameter=null&errcode=105&errmsg=unknown uuid",
         "100/110 Failed to query,read again! [105, unknown uuid]"},
        {"/query",
         "item=tolvane&action=query&status=succeed&tts_status=wait&http_file=null&"
         "parameter=null&errcode=0&errmsg=null",
         "100/110 Failed to query,read again!"},
    };
    for (const Case& c : cases) {
        server_.peer.answer("/add", 200, FakeSpeechServer::kAdded);
        server_.peer.answer(c.path, 200, c.reply);
        const SayRun run = runSay(config(), {"--lang", "en-US", "Hello"});
        EXPECT_EQ(run.exitCode, 1) << c.last;
        ASSERT_FALSE(run.lines.empty());
        EXPECT_EQ(run.lines.back(), c.last);
        EXPECT_EQ(run.err, "tolvane-say: " + c.last.substr(8) + "\n");
    }
    // time_wait_max 2 from the login: two queries answered "wait", then the failure.
    EXPECT_THAT(codesOf(runSay(config(), {"--lang", "en-US", "Hello"}).lines),
                ::testing::EndsWith("100/140 100/140 100/110"));
}

TEST_F(SayFailureTest, ASilentEndExitsWith1) {
    server_.peer.answer("/query", 200, "<html>maintenance</html>");
    const SayRun run = runSay(config(), {"--lang", "en-US", "--trace", "Hello"});
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_EQ(run.lines.back(), "100/140 Send query,waiting...");
    EXPECT_THAT(run.err, HasSubstr("Query succeed\n"));
    EXPECT_THAT(run.err, HasSubstr("tolvane-say: the server's reply ended the reading"));
}

TEST_F(SayFailureTest, TextComesFromStandardInputWithoutArguments) {
    server_.peer.answer("/query", 200, "<html>maintenance</html>");
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{"--lang", "zh-CN"}, {"--lang", "zh-CN", "-"}}) {
        const SayRun run = runSay(config(), args, "  第一行\nsecond line & more\n\n");
        EXPECT_EQ(run.exitCode, 1);
        EXPECT_EQ(run.lines.front(), "200/210");
    }
    std::vector<std::string> texts;
    for (const Exchange& exchange : server_.peer.exchanges()) {
        if (exchange.path == "/add") {
            texts.push_back(exchange.params.find("text")->second);
            EXPECT_EQ(exchange.params.find("language")->second, "zh-CN");
        }
    }
    EXPECT_THAT(texts, ElementsAre("第一行\nsecond line & more", "第一行\nsecond line & more"));
}

// The speech options replace the configured settings for the run only.
TEST_F(SayFailureTest, SpeechOptionsReplaceTheConfiguredSettings) {
    server_.peer.answer("/query", 200, "<html>maintenance</html>");
    const auto path = config("Speech_Rate=30\nSpeech_Punctuation=1\nSpeech_Voice=Kept\n");
    const auto fileText = [&] {
        std::ifstream in(path);
        return std::string(std::istreambuf_iterator<char>(in), {});
    };
    const std::string before = fileText();
    runSay(path, {"--lang", "en-US", "Hello"});
    runSay(path,
           {"--lang", "en-US", "--rate", "80", "--volume", "60", "--voice", "Ann Lee", "Hello"});
    std::vector<std::string> fields;
    for (const Exchange& exchange : server_.peer.exchanges()) {
        if (exchange.path == "/add") {
            const std::string& body = exchange.body;
            const size_t start = body.find("&rate=");
            fields.push_back(body.substr(start, body.find("&time_max=") - start));
        }
    }
    EXPECT_THAT(fields, ElementsAre("&rate=30&volume=100&punctuation=1&format=6&voice=Kept",
                                    "&rate=80&volume=60&punctuation=1&format=6&voice=Ann+Lee"));
    EXPECT_EQ(fileText(), before);
}

TEST_F(SayFailureTest, LoginFailuresAndAMissingFeedExitWith1) {
    const SayRun unreachable =
        runSay(writeClientConfig(dir_.path(), closedPort(), "FILE"), {"--lang", "en-US", "Hello"});
    EXPECT_EQ(unreachable.exitCode, 1);
    EXPECT_THAT(unreachable.lines.back(), HasSubstr("200/240 Failed to Network Status["));

    const SayRun noFeed = runSay(config(), {"--lang", "en-US", "--feed", "3"});
    EXPECT_EQ(noFeed.exitCode, 1);
    EXPECT_EQ(noFeed.err, "tolvane-say: there is no feed 3; the user has 2\n");

    server_.peer.answer("/verify", 200,
                        "item=tolvane&action=userverify&status=failed&time_wait_max=null&"
                        "max_text_number=null&domain_limit=null&usertype=null&userid=null&"
                        "errcode=302&errmsg=wrong password&verifytimeid=null&rss_total=0&end=end");
    const SayRun refused = runSay(config(), {"--lang", "en-US", "Hello"});
    EXPECT_EQ(refused.exitCode, 1);
    EXPECT_EQ(refused.lines.back(), "300/310 Failed to Verify [302, wrong password]");
    EXPECT_EQ(server_.requestsTo("/add"), 0u);
}

// Time-outs libcurl would refuse are held to a sane range, each with a note on
// stderr, and the reading goes on with them.
TEST_F(SayFailureTest, HostileTimeOutsAreHeldToARangeAndNoted) {
    server_.peer.answer("/query", 200, "<html>maintenance</html>");
    const SayRun run =
        runSay(config("Connect_TimeOut=-5\nTimeOut=1099511627776\n"), {"--lang", "en-US", "Hi"});
    EXPECT_THAT(codesOf(run.lines), ::testing::StartsWith("200/210 200/220 300/320 300/330"));
    EXPECT_THAT(run.err,
                HasSubstr("tolvane-say: Connect_TimeOut \"-5\" is less than 1; using the "
                          "default, 10\ntolvane-say: TimeOut \"1099511627776\" is more than "
                          "3600; using 3600\n"));
}

// A door reply may name addresses of other protocols: each is refused before
// any connection and ends its request as that service's bad reply, so neither
// the listener they name nor a local file ever serves as the server.
TEST_F(SayFailureTest, DoorAddressesOfOtherProtocolsAreBadReplies) {
    SilentListener listener(false);
    ASSERT_TRUE(listener.ok());
    const std::string local = "127.0.0.1:" + std::to_string(listener.port());
    const std::filesystem::path loginFile = dir_.path() / "login.txt";
    std::ofstream(loginFile) << FakeSpeechServer::verified(60);
    struct Case {
        std::string key;
        std::string address;
        std::vector<std::string> args;
        std::string last;
    };
    const Case cases[] = {
        {"door_netverify",
         "file://" + loginFile.string(),
         {"Hello"},
         "300/310 Failed to Verify Parse"},
        {"door_add",
         "gopher://" + local + "/_SET%20pwned%201",
         {"Hello"},
         "100/110 Failed to send request,read again"},
        {"door_add", "smtp://" + local, {"Hello"}, "100/110 Failed to send request,read again"},
        {"door_query",
         "dict://" + local + "/SET:pwned:1",
         {"Hello"},
         "100/110 Failed to query,read again!"},
        {"door_rss", "telnet://" + local, {"--feed", "1"}, "400/410 Failed to rss item parse"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.address);
        server_.peer.answer("/tolvane/tolvanedoor.php", 200, server_.door(c.key, c.address));
        std::vector<std::string> args = {"--lang", "en-US"};
        args.insert(args.end(), c.args.begin(), c.args.end());
        const SayRun run = runSay(config("TimeOut=2\n"), args);
        EXPECT_EQ(run.exitCode, 1);
        ASSERT_FALSE(run.lines.empty());
        EXPECT_EQ(run.lines.back(), c.last);
    }
    EXPECT_THAT(listener.takeConnections(), ElementsAre());
}

} // namespace
} // namespace tolvane::test
