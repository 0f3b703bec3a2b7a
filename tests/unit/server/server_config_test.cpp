#include "platform/IniFile.h"
#include "server/CommandLine.h"
#include "server/FeedParser.h"
#include "server/ServerConfig.h"
#include "tests/support/TestPaths.h"

#include <gtest/gtest.h>

#include <fstream>
#include <iterator>

namespace tolvane::server {
namespace {

using platform::IniFile;

std::optional<ServerConfig> read(const std::string& text, std::string& error,
                                 std::vector<std::string>* warnings = nullptr) {
    std::vector<std::string> ignored;
    return ServerConfig::fromIni(IniFile::parse(text), "/etc/tolvane", error,
                                 warnings ? *warnings : ignored);
}

const std::string kUser = "[User Anna]\nEmail = Anna@Example.Test\n"
                          "password_md5 = FE01CE2A7FBAC8FAFAED7C982A04E229\nuserid = 5\n";

TEST(ServerConfigTest, ReadsSettingsUsersAndFeedsWithPathsBesideTheFile) {
    std::string error;
    std::vector<std::string> warnings;
    const auto config = read("[server]\nport = 9000\ndata = audio\nworkers = 3\nlog = none\n"
                             "public_url = https://speech.example.test:8443/tts//\n"
                             "[limits]\nnews_batch = 4\nfeed_max_bytes = 1000\nspeed = 2\n"
                             "sessions_per_user = 4\n"
                             "[voices]\nVW Lily = f2\n" +
                                 kUser +
                                 "max_text_number = 500\nfeeds = 2 , 1\n"
                                 "[feed 1]\ntitle = Local\nsource = feeds/a.xml\n"
                                 "[feed 2]\ntitle = Web\npriority = -3\n"
                                 "source = https://example.test/rss\n[misc]\n",
                             error, &warnings);
    ASSERT_TRUE(config) << error;
    EXPECT_EQ(config->port, 9000);
    EXPECT_EQ(config->dataDir, "/etc/tolvane/audio");
    EXPECT_EQ(config->workers, 3);
    EXPECT_FALSE(config->logRequests);
    EXPECT_EQ(config->publicUrl, "https://speech.example.test:8443/tts");
    EXPECT_EQ(config->newsBatch, 4);
    EXPECT_EQ(config->sessionsPerUser, 4);
    EXPECT_EQ(config->maxSessions, 4096);
    EXPECT_EQ(config->feedMaxBytes, 1000u);
    EXPECT_EQ(config->voiceVariants.at("vw lily"), "f2");
    ASSERT_EQ(config->users.size(), 1u);
    const UserAccount& user = config->users[0];
    EXPECT_EQ(user.passwordMd5, "fe01ce2a7fbac8fafaed7c982a04e229");
    EXPECT_EQ(user.maxTextNumber, 500);
    EXPECT_EQ(user.timeWaitMax, 60);
    EXPECT_EQ(user.feeds, (std::vector<int>{2, 1}));
    EXPECT_EQ(config->findUser("anna@example.test"), &user);
    EXPECT_EQ(config->findFeed(1)->location, "/etc/tolvane/feeds/a.xml");
    EXPECT_FALSE(config->findFeed(1)->isUrl);
    EXPECT_TRUE(config->findFeed(2)->isUrl);
    EXPECT_EQ(config->findFeed(2)->priority, -3);
    EXPECT_EQ(warnings, (std::vector<std::string>{"unknown key [limits] speed ignored",
                                                  "unknown section [misc] ignored"}));
    EXPECT_GE(config->bodyLimit(), 64u * 1024);
}

TEST(ServerConfigTest, PlusInAnEmailMatchesTheBlankAFormDecoderMakesOfIt) {
    std::string error;
    const auto config =
        read("[user b]\nemail = me+tts@example.test\npassword_md5 = " + std::string(32, 'a') +
                 "\nuserid = 1\n",
             error);
    ASSERT_TRUE(config) << error;
    EXPECT_NE(config->findUser("me tts@example.test"), nullptr);
    EXPECT_NE(config->findUser("ME+TTS@example.test"), nullptr);
    EXPECT_EQ(config->findUser("metts@example.test"), nullptr);
}

TEST(ServerConfigTest, RefusesFaultyConfigurationsWithTheirPlace) {
    struct Case {
        std::string text, error;
    };
    const Case cases[] = {
        {"[server]\nport = eighty\n", "[server] port: 'eighty' is not a whole number"},
        {"[server]\nworkers = 0\n", "[server] workers: must be from 1 to 64"},
        {"[server]\nlog = all\n", "[server] log: must be 'requests' or 'none'"},
        {"[limits]\nsessions_per_user = 0\n",
         "[limits] sessions_per_user: must be from 1 to 10000"},
        {"[limits]\nlogin_delay = 30\nlogin_delay_max = 10\n",
         "[limits] login_delay_max: must be at least login_delay (30)"},
        {"[server]\npublic_url = ftp://example.test\n",
         "[server] public_url: 'ftp://example.test' is not http:// or https://, a host with an "
         "optional port, and a path of letters, digits and / - . _ ~"},
        {"[user x]\nemail = x@y\npassword_md5 = demo\nuserid = 1\n",
         "[user x] password_md5: must be 32 hexadecimal digits"},
        {"[user x]\npassword_md5 = " + std::string(32, '0') + "\nuserid = 1\n",
         "[user x] email: missing"},
        {kUser + "feeds = 4\n",
         "user Anna@Example.Test lists feed 4, which has no [feed 4] section"},
        {kUser + "feeds = one\n", "[User Anna] feeds: 'one' is not a whole number"},
        {kUser + "[user copy]\nemail = anna@example.test\npassword_md5 = " + std::string(32, '0') +
             "\nuserid = 6\n",
         "user anna@example.test is configured twice"},
        {"[feed 1]\ntitle = A & B\nsource = a.xml\n",
         "feed 1: title must be one line of 1 to 255 bytes of UTF-8 without '&'"},
        {"[feed x]\ntitle = A\nsource = a.xml\n", "[feed x] id: 'x' is not a whole number"},
        {"[feed 1]\ntitle = A\n", "[feed 1] source: missing"},
        {"[voices]\nLily = f2\nA & B = f1\n",
         "[voices] 'A & B': clients would be sent 'A and B'; a voice name must go as written: no "
         "'&', control characters, runs of blanks, text read as a reply key ('status=', "
         "'title3') or more than 255 bytes"},
        {"[voices]\nLily\xFF = f2\n", "[voices] 'Lily\xEF\xBF\xBD': a voice name must be UTF-8"},
        {"[store]\nbackend = disk\n", "[store] backend: must be 'memory' or 'redis'"},
        {"[store]\nredis = localhost:6379\n",
         "[store] redis: 'localhost:6379' is not unix:/path/redis.sock or tcp://host:port"},
        {"[store]\nredis = tcp://localhost:0\n",
         "[store] redis: 'tcp://localhost:0' is not unix:/path/redis.sock or tcp://host:port"},
        {"[store]\nredis = unix:run/redis.sock\n",
         "[store] redis: 'unix:run/redis.sock': a unix socket needs an absolute path"},
        {"[store]\nkey_prefix = a b\n",
         "[store] key_prefix: must be 1 to 64 letters, digits or ':' '_' '-' '.', not 'a b'"},
        {"[store]\nclaim_timeout = 1\n", "[store] claim_timeout: must be from 3 to 3600"},
        {"[voices]\nLily = ../../tmp/x\n",
         "[voices] Lily: '../../tmp/x' is not an espeak-ng variant name (letters, digits, '-' "
         "and '_')"},
    };
    for (const Case& c : cases) {
        std::string error;
        EXPECT_FALSE(read(c.text, error)) << c.text;
        EXPECT_EQ(error, c.error) << c.text;
    }
}

TEST(ServerConfigTest, DemoConfigurationLoadsAndItsFeedsRead) {
    std::string error;
    std::vector<std::string> warnings;
    const auto config = ServerConfig::load(
        ::tolvane::test::sourceDir() + "/resources/server-demo.ini", error, warnings);
    ASSERT_TRUE(config) << error;
    EXPECT_TRUE(warnings.empty()) << warnings.front();
    const UserAccount* demo = config->findUser("demo@tolvane.local");
    ASSERT_NE(demo, nullptr);
    EXPECT_EQ(demo->passwordMd5, "fe01ce2a7fbac8fafaed7c982a04e229");
    ASSERT_EQ(demo->feeds.size(), 2u);
    for (int id : demo->feeds) {
        const FeedSource* feed = config->findFeed(id);
        ASSERT_NE(feed, nullptr);
        std::ifstream in(feed->location);
        const std::string xml((std::istreambuf_iterator<char>(in)),
                              std::istreambuf_iterator<char>());
        std::vector<FeedItem> items;
        EXPECT_TRUE(parseFeed(xml, 100, items, error)) << feed->location << ": " << error;
        EXPECT_GE(items.size(), 4u);
    }
}

TEST(CommandLineTest, FlagsOverrideTheConfiguration) {
    std::string error;
    const auto line = CommandLine::parse({"--config", "s.ini", "--address=0.0.0.0", "--port", "0",
                                          "--data", "/tmp/a", "--workers=4", "--quiet"},
                                         error);
    ASSERT_TRUE(line) << error;
    ServerConfig config;
    line->apply(config);
    EXPECT_EQ(*line->config, "s.ini");
    EXPECT_EQ(config.address, "0.0.0.0");
    EXPECT_EQ(config.port, 0);
    EXPECT_EQ(config.dataDir, "/tmp/a");
    EXPECT_EQ(config.workers, 4);
    EXPECT_FALSE(config.logRequests);
    EXPECT_EQ(config.role, ServerRole::All);
    EXPECT_TRUE(config.validate(error)) << error;

    // Web and worker processes share their jobs through Redis only.
    std::string ini = "[store]\nbackend = redis\nredis = tcp://10.0.0.5:6380\nkey_prefix = tts:\n";
    auto shared = read(ini, error);
    ASSERT_TRUE(shared) << error;
    EXPECT_EQ(shared->store, StoreBackend::Redis);
    EXPECT_EQ(shared->redis, "tcp://10.0.0.5:6380");
    EXPECT_EQ(shared->keyPrefix, "tts:");
    EXPECT_EQ(shared->claimTimeoutSeconds, 30);
    for (const auto& [role, expected] :
         {std::pair{"web", ServerRole::Web}, std::pair{"worker", ServerRole::Worker}}) {
        const auto roleLine = CommandLine::parse({"--role", role}, error);
        ASSERT_TRUE(roleLine) << error;
        roleLine->apply(config);
        roleLine->apply(*shared);
        EXPECT_EQ(config.role, expected);
        EXPECT_FALSE(config.validate(error)) << role;
        EXPECT_EQ(error, "--role web and --role worker need [store] backend = redis: with the "
                         "memory store one process holds every job");
        EXPECT_TRUE(shared->validate(error)) << error;
    }

    for (const std::vector<std::string>& bad :
         std::vector<std::vector<std::string>>{{"--port", "65536"},
                                               {"--port"},
                                               {"--workers", "0"},
                                               {"--role", "both"},
                                               {"-x"},
                                               {"serve"}}) {
        EXPECT_FALSE(CommandLine::parse(bad, error)) << bad[0];
    }
    EXPECT_EQ(error, "unknown option 'serve'");
}

} // namespace
} // namespace tolvane::server
