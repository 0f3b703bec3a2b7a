// The sound streams as the desktop's mixer lists them: while tolvane-say reads
// aloud and tolvane-play plays into a null sink of the test's own, `pactl list
// sink-inputs` shows each stream's application name, icon and role, and a
// property the user sets in PULSE_PROP keeps the user's value.
#include "ProtocolTestSupport.h"
#include "SayTestSupport.h"

#include "tests/support/ChildProcess.h"
#include "tests/support/NullSink.h"
#include "tests/support/TempDir.h"
#include "tests/support/TestPaths.h"

#include <gtest/gtest.h>

#include <fstream>
#include <map>
#include <regex>
#include <sstream>

namespace tolvane::test {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using Properties = std::map<std::string, std::string>;

// The properties of the stream process `pid` plays, as `pactl list
// sink-inputs` shows them; empty while it has none.
Properties streamOf(pid_t pid, std::string& listing) {
    const RunResult pactl = run("pactl", {"list", "sink-inputs"}, {.searchPath = true}, 30s);
    listing = pactl.out + pactl.err;
    const std::regex property("^\\s+([A-Za-z0-9_.-]+) = \"(.*)\"$");
    std::istringstream lines(pactl.out);
    Properties current;
    std::string line;
    const auto ours = [&] { return current["application.process.id"] == std::to_string(pid); };
    while (std::getline(lines, line)) {
        std::smatch match;
        if (line.starts_with("Sink Input #")) {
            if (ours()) {
                return current;
            }
            current.clear();
        } else if (std::regex_match(line, match, property)) {
            current[match[1]] = match[2];
        }
    }
    return ours() ? current : Properties();
}

// Waits until the running `child` plays a stream and returns its properties.
Properties waitForStream(const ChildProcess& child, std::string& listing) {
    const auto end = std::chrono::steady_clock::now() + 30s;
    while (std::chrono::steady_clock::now() < end && child.exitCode() == -1) {
        if (Properties found = streamOf(child.pid(), listing); !found.empty()) {
            return found;
        }
        std::this_thread::sleep_for(100ms);
    }
    return {};
}

class StreamIdentity : public ::testing::Test {
  protected:
    void SetUp() override {
        std::string error;
        ASSERT_TRUE(sink_.create(error)) << error;
    }

    // Runs `program` with `userProps` as PULSE_PROP and returns its stream's
    // properties once it plays; the program must then end with status 0.
    Properties streamWhilePlaying(const std::string& program, const std::vector<std::string>& args,
                                  const std::string& userProps) {
        ChildProcess child;
        std::string error;
        // Only what the test sets: no labels from the environment ctest runs in.
        const std::vector<std::string> env{"PULSE_PROP=" + userProps, "PULSE_PROP_OVERRIDE="};
        EXPECT_TRUE(child.start(program, args, error, {.env = env, .mergeStderr = true})) << error;
        std::string listing;
        Properties stream = waitForStream(child, listing);
        EXPECT_FALSE(stream.empty()) << "no stream of " << program << " appeared:\n"
                                     << listing << child.out();
        EXPECT_TRUE(child.wait(60s));
        EXPECT_EQ(child.exitCode(), 0) << child.out();
        return stream;
    }

    NullSink sink_;
    TempDir dir_;
};

TEST_F(StreamIdentity, PlayerIsTolvanePlayWithTheRoleMusicUnlessTheUserSaysOtherwise) {
    std::string error;
    const std::string mp3 = makeToneMp3(2.0, 440, error);
    ASSERT_FALSE(mp3.empty()) << error;
    const fs::path file = dir_.path() / "tone.mp3";
    std::ofstream(file, std::ios::binary) << mp3;
    const std::string player = ::tolvane::test::binaryDir() + "/tools/tolvane-play";

    Properties stream = streamWhilePlaying(player, {"play", file.string()}, "");
    EXPECT_EQ(stream["application.name"], "Tolvane Play");
    EXPECT_EQ(stream["application.icon_name"], "tolvane");
    EXPECT_EQ(stream["media.role"], "music");

    // What the user names stays the user's; the rest is still filled in.
    stream = streamWhilePlaying(player, {"play", file.string()},
                                "media.role='test' application.icon_name=\"mine\"");
    EXPECT_EQ(stream["application.name"], "Tolvane Play");
    EXPECT_EQ(stream["application.icon_name"], "mine");
    EXPECT_EQ(stream["media.role"], "test");
}

TEST_F(StreamIdentity, ReadingAloudIsTolvaneWithTheRoleSpeech) {
    ASSERT_TRUE(ServerProcess::available()) << "tolvane-server is not built";
    ServerProcess server;
    ASSERT_FALSE(server.baseUrl().empty()) << server.output();
    const fs::path config = writeClientConfig(dir_.path(), server.port(), "FILE");
    Properties stream =
        streamWhilePlaying(sayPath().string(),
                           {"--config", config.string(), "--lang", "en-US",
                            "This sentence is read aloud for long enough to look at its stream."},
                           "");
    EXPECT_EQ(stream["application.name"], "Tolvane");
    EXPECT_EQ(stream["application.icon_name"], "tolvane");
    EXPECT_EQ(stream["media.role"], "speech");
}

} // namespace
} // namespace tolvane::test
