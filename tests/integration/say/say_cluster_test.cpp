// tolvane-say reading through nginx in front of two web nodes and two
// synthesis workers sharing one redis-server: the whole reading reported, the
// requests spread over both web nodes, and the speech the cluster made heard
// in a null sink of the test's own.
#include "LocalCluster.h"
#include "SayTestSupport.h"
#include "SpeechHeard.h"

#include "tests/support/MonitorRecorder.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

namespace tolvane::test {
namespace {

using namespace std::chrono_literals;

TEST(SayThroughCluster, ReadsATextThroughNginxInFrontOfTwoWebNodesAndTwoWorkers) {
    ASSERT_TRUE(LocalCluster::available()) << "redis-server, nginx or tolvane-server is missing";
    LocalCluster cluster;
    std::string error;
    ASSERT_TRUE(cluster.start(2, 2, error)) << error;
    MonitorRecorder recorder;
    ASSERT_TRUE(recorder.start(error)) << error;
    TempDir dir;
    const auto config = writeClientConfig(dir.path(), cluster.port(), "FILE");

    SayProcess say;
    ASSERT_TRUE(say.start({"--config", config.string(), "--lang", "en-US",
                           "The quick brown fox jumps over the lazy dog, twice."},
                          error))
        << error;
    ASSERT_TRUE(say.wait(60s)) << say.out();
    std::this_thread::sleep_for(300ms);
    WavAudio heard;
    ASSERT_TRUE(recorder.stop(heard, error)) << error;
    EXPECT_EQ(say.exitCode(), 0) << say.out() << say.err() << cluster.output();
    EXPECT_THAT(say.lines(), ::testing::Contains("100/150 Succeed to query,playing..."));
    ASSERT_FALSE(say.lines().empty());
    EXPECT_EQ(say.lines().back().substr(0, 7), "100/190") << say.out();

    // nginx spread the exchange over both nodes (the login made on one held
    // on the other) and passed the audio on; no request failed on the way.
    for (const std::string& log : cluster.webLogs()) {
        EXPECT_THAT(log, ::testing::HasSubstr("\"POST /tolvane/")) << log;
    }
    const std::string proxied = cluster.proxyLog();
    EXPECT_THAT(proxied,
                ::testing::ContainsRegex("\"GET /tolvane/audio/[-0-9a-f]+\\.mp3 [^\"]*\" 200 "));
    EXPECT_THAT(proxied, ::testing::Not(::testing::ContainsRegex("\" [45][0-9][0-9] "))) << proxied;

    ASSERT_TRUE(cluster.fetchSpeech(dir.path(), error)) << error;
    expectHeardTheSpeech(heard, dir.path());
}

} // namespace
} // namespace tolvane::test
